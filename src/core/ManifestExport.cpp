#include "core/ManifestExport.hpp"

#include "core/AppScanner.hpp"
#include "core/Json.hpp"
#include "core/Paths.hpp"
#include "core/Shell.hpp"
#include "core/Wording.hpp"

#include <unicode/brkiter.h>
#include <unicode/datefmt.h>
#include <unicode/locid.h>
#include <unicode/timezone.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <set>
#include <thread>

namespace stowage {

namespace {

constexpr double toolTimeout = 120.0;

/// Trimmed of Unicode whitespace and newlines, the same rule as the shell runner's trimmedOut.
std::string trimmed(const std::string& text) {
    Shell::Output o;
    o.out = text;
    return o.trimmedOut();
}

std::string joinLines(const std::vector<std::string>& names) {
    std::string text;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i > 0)
            text += '\n';
        text += names[i];
    }
    return text;
}

/// Writes the lists of one run into root/manifest and records what it produced.
class ListWriter {
public:
    ListWriter(const std::string& root, FileAccessProvider& access)
        : dir_(paths::join(root, "manifest")), access_(access) {}

    std::string pathOf(const std::string& name) const { return paths::join(dir_, name); }

    void record(const std::string& name) { produced_.push_back("manifest/" + name); }

    /// A failed write is not a reason to drop the list from the manifest: the tool did answer.
    void save(const std::string& name, const std::string& text) {
        try {
            access_.write(toBytes(text), pathOf(name));
        } catch (const std::exception&) {
        }
        record(name);
    }

    /// Saves `output` when it holds more than whitespace.
    void saveIfAny(const std::string& name, const Shell::Output& output) {
        if (!output.trimmedOut().empty())
            save(name, output.out);
    }

    std::vector<std::string> produced() && { return std::move(produced_); }

private:
    std::string dir_;
    FileAccessProvider& access_;
    std::vector<std::string> produced_;
};

// Tools start in "/", not wherever the user happens to be: npm, cargo and others read settings from
// the folders around their working directory, and that folder may be a downloaded stranger's.
Shell::Output runTool(const std::string& tool, const std::vector<std::string>& arguments) {
    return Shell::run(tool, arguments, std::string("/"), toolTimeout);
}

// ---- Line splitting --------------------------------------------------------------------------

/// Length of the newline sequence at `i` (0 when there is none).
size_t newlineAt(const std::string& s, size_t i) {
    auto b = [&](size_t k) { return k < s.size() ? static_cast<unsigned char>(s[k]) : 0u; };
    unsigned c = b(i);
    if (c == '\r')
        return b(i + 1) == '\n' ? 2 : 1;
    if (c == '\n' || c == 0x0B || c == 0x0C)
        return 1;
    if (c == 0xC2 && b(i + 1) == 0x85)
        return 2; // NEL
    if (c == 0xE2 && b(i + 1) == 0x80 && (b(i + 2) == 0xA8 || b(i + 2) == 0xA9))
        return 3; // LINE / PARAGRAPH SEPARATOR
    return 0;
}

// ---- Restore guide ---------------------------------------------------------------------------

icu::Locale userLocale() {
    for (const char* var : {"LC_ALL", "LC_TIME", "LANG"}) {
        const char* value = std::getenv(var);
        if (value == nullptr || *value == '\0')
            continue;
        std::string name = value;
        std::string base = name.substr(0, name.find_first_of(".@"));
        if (base == "C" || base == "POSIX")
            return icu::Locale("en_US_POSIX");
        icu::Locale locale = icu::Locale::createCanonical(name.c_str());
        if (!locale.isBogus())
            return locale;
    }
    return icu::Locale::getDefault();
}

icu::TimeZone* userTimeZone() {
    const char* tz = std::getenv("TZ");
    if (tz != nullptr && *tz != '\0') {
        std::string id = tz[0] == ':' ? tz + 1 : tz;
        icu::TimeZone* zone = icu::TimeZone::createTimeZone(icu::UnicodeString::fromUTF8(id));
        if (zone != nullptr && *zone != icu::TimeZone::getUnknown())
            return zone;
        delete zone;
    }
    return icu::TimeZone::detectHostTimeZone();
}

std::string withTilde(const std::string& path, const std::optional<std::string>& recordedHome) {
    if (!recordedHome || recordedHome->empty() || *recordedHome == "/")
        return paths::abbreviateHome(path);
    if (path == *recordedHome)
        return "~";
    if (paths::isUnder(path, *recordedHome))
        return "~" + path.substr(recordedHome->size());
    return path;
}

constexpr const char* fenceOpen = "```sh\n";

/// A list that RESTORE.md replays with one command, in the order of the guide.
struct ReplayStep {
    const char* entry;
    const char* command;
    const char* caption = nullptr;
};

const std::vector<ReplayStep>& replaySteps() {
    // "read -r" with a tab as the only separator keeps every field whole and unexpanded; each
    // command inside a loop reads /dev/null so it cannot swallow the rest of the list.
    static const std::vector<ReplayStep> steps = {
        {"manifest/apt-manual.txt", "xargs -a manifest/apt-manual.txt sudo apt-get install -y"},
        {"manifest/dnf-user.txt", "xargs -a manifest/dnf-user.txt sudo dnf install -y"},
        {"manifest/pacman-native.txt", "sudo pacman -S --needed - < manifest/pacman-native.txt"},
        {"manifest/flatpak-remotes.txt",
         "while IFS=\"$(printf '\\t')\" read -r name url installation; do flatpak remote-add --if-not-exists "
         "\"--$installation\" \"$name\" \"$url\" < /dev/null; done < manifest/flatpak-remotes.txt"},
        {"manifest/flatpak-apps.txt",
         "while IFS=\"$(printf '\\t')\" read -r id origin installation; do flatpak install -y \"--$installation\" "
         "\"$origin\" \"$id\" < /dev/null; done < manifest/flatpak-apps.txt"},
        {"manifest/snaps.txt",
         "while IFS=\"$(printf '\\t')\" read -r name channel confinement; do if [ \"$confinement\" = classic ]; "
         "then sudo snap install \"$name\" --channel=\"$channel\" --classic < /dev/null; else sudo snap install "
         "\"$name\" --channel=\"$channel\" < /dev/null; fi; done < manifest/snaps.txt"},
        {"manifest/pipx.txt", "xargs -n 1 -a manifest/pipx.txt pipx install"},
        {"manifest/go-binaries.txt", "xargs -n 1 -a manifest/go-binaries.txt go install"},
        {"manifest/dconf.ini", "dconf load / < manifest/dconf.ini"},
        {"manifest/systemd-user-enabled.txt",
         "xargs -d '\\n' -a manifest/systemd-user-enabled.txt systemctl --user enable",
         "After step 2 has put your unit files back:"},
    };
    return steps;
}

bool replayed(const std::string& entry) {
    const auto& steps = replaySteps();
    return std::any_of(steps.begin(), steps.end(), [&entry](const ReplayStep& s) { return entry == s.entry; });
}
constexpr const char* fenceClose = "```\n";

} // namespace

// ---- Tool lists ------------------------------------------------------------------------------

namespace {

/// What one independent step of the export produced: lists to save (or, with `written`, a list
/// the tool wrote itself and that is only recorded) and warnings.
struct StepResult {
    struct List {
        std::string name;
        std::string text;
        bool written = false;
    };
    std::vector<List> lists;
    std::vector<std::string> warnings;

    void addIfAny(const std::string& name, const std::string& text) {
        if (!trimmed(text).empty())
            lists.push_back({name, text, false});
    }
    /// One line per entry, each ended by a line feed; nothing when there is no entry.
    void addLines(const std::string& name, const std::vector<std::string>& entries) {
        std::string text;
        for (const std::string& entry : entries)
            text += entry + "\n";
        addIfAny(name, text);
    }
};

using Step = std::function<StepResult()>;

std::vector<std::string> splitAt(const std::string& text, char separator) {
    std::vector<std::string> pieces;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find(separator, start)) != std::string::npos; start = end + 1)
        pieces.push_back(text.substr(start, end - start));
    pieces.push_back(text.substr(start));
    return pieces;
}

std::vector<std::string> lines(const std::string& out) {
    return splitManifestLines(out);
}

bool allOf(const std::string& text, const char* extra) {
    return std::all_of(text.begin(), text.end(), [extra](unsigned char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               (c != 0 && std::strchr(extra, c) != nullptr);
    });
}

/// A Debian package as apt-mark prints it: a name, optionally ":<architecture>".
bool isDebianPackage(const std::string& entry) {
    std::size_t colon = entry.find(':');
    if (colon == std::string::npos)
        return AppScanner::isPackageName(entry);
    return AppScanner::isPackageName(entry.substr(0, colon)) && AppScanner::isPackageName(entry.substr(colon + 1));
}

/// A remote's address as it may stand in a replayed command: a web, OCI or file URL without
/// blanks, quotes, backslashes, "$" or backticks.
bool isRemoteURL(const std::string& url) {
    static const char* schemes[] = {"https://", "http://", "oci+https://", "oci+http://", "file:///"};
    if (url.size() > 2048 ||
        std::none_of(std::begin(schemes), std::end(schemes), [&url](const char* s) { return url.rfind(s, 0) == 0; }))
        return false;
    return allOf(url, "-._~:/?#[]@!&()*+,;=%");
}

/// A systemd unit name: letters, digits and ":-_.\@", with a type suffix.
bool isUnitName(const std::string& unit) {
    return !unit.empty() && unit.size() <= 256 && unit[0] != '-' && unit.find('.') != std::string::npos &&
           allOf(unit, ":-_.\\@");
}

/// Keeps the lines of `out` that pass `valid`, in order, each once.
std::vector<std::string> validLines(const std::string& out, const std::function<bool(const std::string&)>& valid) {
    std::vector<std::string> kept;
    std::set<std::string> seen;
    for (std::string line : lines(out)) {
        line = trimmed(line);
        if (valid(line) && seen.insert(line).second)
            kept.push_back(line);
    }
    return kept;
}

/// The steps of the export, in the order their lists are recorded. Each is independent of the
/// others, so they may run at the same time.
std::vector<Step> exportSteps(const std::string& manifestDir) {
    std::vector<Step> steps;

    // Homebrew writes the Brewfile itself; only it reports problems.
    steps.push_back([manifestDir] {
        StepResult r;
        if (!Shell::exists("brew")) {
            r.warnings.push_back("Homebrew not found \u2014 skipping Brewfile.");
            return r;
        }
        Shell::Output dump =
            runTool("brew", {"bundle", "dump", "--file", paths::join(manifestDir, "Brewfile"), "--force"});
        if (dump.status != 0)
            r.warnings.push_back("brew bundle dump failed: " + firstCharacters(dump.err, 120));
        else
            r.lists.push_back({"Brewfile", {}, true});
        return r;
    });

    // "crontab -l" fails when the user has no crontab; that is not worth a file.
    steps.push_back([] {
        StepResult r;
        Shell::Output cron = runTool("crontab", {"-l"});
        if (cron.status == 0)
            r.addIfAny("crontab.txt", cron.out);
        return r;
    });

    // These tools' exit status is not looked at: whatever a failed or timed-out run printed is
    // still the best list there is.
    auto verbatim = [&steps](const char* tool, std::vector<std::string> args, const char* name) {
        steps.push_back([tool, args, name] {
            StepResult r;
            if (Shell::exists(tool))
                r.addIfAny(name, runTool(tool, args).out);
            return r;
        });
    };
    verbatim("mas", {"list"}, "appstore.txt");
    verbatim("pip3", {"list", "--format=freeze"}, "pip-global.txt");
    verbatim("code", {"--list-extensions"}, "vscode-extensions.txt");

    steps.push_back([] {
        StepResult r;
        if (Shell::exists("npm")) {
            auto names = parseNpmGlobalPackages(runTool("npm", {"ls", "-g", "--depth=0"}).out);
            std::string text = joinLines(names);
            if (!names.empty() && !trimmed(text).empty())
                r.lists.push_back({"npm-global.txt", text, false});
        }
        return r;
    });
    steps.push_back([] {
        StepResult r;
        if (Shell::exists("cargo")) {
            auto names = parseCargoInstalledCrates(runTool("cargo", {"install", "--list"}).out);
            std::string text = joinLines(names);
            if (!names.empty() && !trimmed(text).empty())
                r.lists.push_back({"cargo-installed.txt", text, false});
        }
        return r;
    });

    // The Linux package tools. Their lists are replayed by commands in RESTORE.md, so every entry
    // is checked against the form its tool gives it, and anything else is dropped.
    steps.push_back([] {
        StepResult r;
        if (Shell::exists("apt-mark"))
            r.addLines("apt-manual.txt", validLines(runTool("apt-mark", {"showmanual"}).out, isDebianPackage));
        return r;
    });
    steps.push_back([] {
        StepResult r;
        if (Shell::exists("dnf"))
            r.addLines("dnf-user.txt",
                       validLines(runTool("dnf", {"repoquery", "--userinstalled", "--queryformat", "%{name}\n"}).out,
                                  AppScanner::isPackageName));
        return r;
    });
    steps.push_back([] {
        StepResult r;
        if (Shell::exists("pacman")) {
            r.addLines("pacman-native.txt", validLines(runTool("pacman", {"-Qqen"}).out, AppScanner::isPackageName));
            r.addLines("pacman-foreign.txt", validLines(runTool("pacman", {"-Qqem"}).out, AppScanner::isPackageName));
        }
        return r;
    });
    steps.push_back([] {
        StepResult r;
        if (!Shell::exists("flatpak"))
            return r;
        std::vector<std::string> apps;
        for (const auto& app : AppScanner::parseFlatpakList(
                 runTool("flatpak", {"list", "--app", "--columns=application,origin,installation"}).out))
            if (app.installation == "user" || app.installation == "system")
                apps.push_back(app.id + "\t" + app.origin + "\t" + app.installation);
        std::vector<std::string> remotes;
        for (const std::string& line : lines(runTool("flatpak", {"remotes", "--columns=name,url,options"}).out)) {
            std::vector<std::string> columns = splitWords(line);
            if (columns.size() < 2 || !AppScanner::isPackageName(columns[0]) || !isRemoteURL(columns[1]))
                continue;
            std::string installation;
            for (std::size_t i = 2; i < columns.size(); ++i)
                for (const std::string& option : splitAt(columns[i], ','))
                    if (option == "user" || option == "system")
                        installation = option;
            if (!installation.empty())
                remotes.push_back(columns[0] + "\t" + columns[1] + "\t" + installation);
        }
        r.addLines("flatpak-apps.txt", apps);
        r.addLines("flatpak-remotes.txt", remotes);
        return r;
    });
    steps.push_back([] {
        StepResult r;
        if (!Shell::exists("snap"))
            return r;
        std::vector<std::string> snaps;
        for (const auto& snap : AppScanner::parseSnapList(runTool("snap", {"list"}).out))
            if (!snap.system)
                snaps.push_back(snap.name + "\t" + snap.channel.value_or("latest/stable") + "\t" +
                                (snap.classic ? "classic" : "strict"));
        r.addLines("snaps.txt", snaps);
        return r;
    });
    steps.push_back([] {
        StepResult r;
        if (!Shell::exists("pipx"))
            return r;
        std::vector<std::string> names;
        for (const std::string& line : lines(runTool("pipx", {"list", "--short"}).out)) {
            auto columns = splitWords(line);
            if (!columns.empty() && AppScanner::isPackageName(columns[0]))
                names.push_back(columns[0]);
        }
        r.addLines("pipx.txt", names);
        return r;
    });
    steps.push_back([] {
        StepResult r;
        if (!Shell::exists("go"))
            return r;
        auto env = lines(runTool("go", {"env", "GOBIN", "GOPATH"}).out);
        std::string bin = env.size() == 2 ? trimmed(env[0]) : std::string();
        if (bin.empty() && !env.empty()) {
            std::string gopath = trimmed(env.back());
            gopath = gopath.substr(0, gopath.find(':'));
            if (!gopath.empty() && gopath[0] == '/')
                bin = paths::join(gopath, "bin");
        }
        if (bin.empty() || bin[0] != '/')
            bin = paths::join(paths::homeFolder(), "go/bin");
        r.addLines("go-binaries.txt", parseGoBinaryModules(runTool("go", {"version", "-m", bin}).out));
        return r;
    });
    steps.push_back([] {
        StepResult r;
        if (!Shell::exists("systemctl"))
            return r;
        std::vector<std::string> units;
        for (const std::string& line : lines(runTool("systemctl", {"--user", "list-unit-files", "--state=enabled",
                                                                   "--no-legend", "--plain", "--no-pager"})
                                                 .out)) {
            auto columns = splitWords(line);
            if (columns.size() >= 2 && columns[1] == "enabled" && isUnitName(columns[0]))
                units.push_back(columns[0]);
        }
        r.addLines("systemd-user-enabled.txt", units);
        return r;
    });
    steps.push_back([] {
        StepResult r;
        if (Shell::exists("dconf")) {
            Shell::Output dump = runTool("dconf", {"dump", "/"});
            if (dump.status == 0)
                r.addIfAny("dconf.ini", dump.out);
        }
        return r;
    });
    return steps;
}

/// Runs every step on at most `parallelism` threads and returns the results in step order. A step
/// that throws contributes nothing; when no thread can be started, the steps run here.
std::vector<StepResult> runSteps(const std::vector<Step>& steps, unsigned parallelism) {
    std::vector<StepResult> results(steps.size());
    std::atomic<std::size_t> next{0};
    auto worker = [&] {
        for (std::size_t i = next++; i < steps.size(); i = next++) {
            try {
                results[i] = steps[i]();
            } catch (const std::exception&) {
                results[i] = {};
            }
        }
    };
    std::vector<std::thread> threads;
    const unsigned count = std::min<unsigned>(std::max(parallelism, 1u), static_cast<unsigned>(steps.size()));
    for (unsigned t = 1; t < count; ++t) {
        try {
            threads.emplace_back(worker);
        } catch (const std::system_error&) {
            break;
        }
    }
    worker();
    for (std::thread& t : threads)
        t.join();
    return results;
}

} // namespace

std::vector<std::string> exportManifests(const std::string& root, FileAccessProvider& access,
                                         std::vector<std::string>& warnings, unsigned parallelism) {
    ListWriter lists(root, access);
    try {
        access.createDirectory(paths::join(root, "manifest"));
    } catch (const std::exception&) {
    }
    // The tools only read and print; the files are written here, one after another, in step order.
    for (StepResult& result : runSteps(exportSteps(paths::join(root, "manifest")), parallelism)) {
        warnings.insert(warnings.end(), result.warnings.begin(), result.warnings.end());
        for (const StepResult::List& list : result.lists) {
            if (list.written)
                lists.record(list.name);
            else
                lists.save(list.name, list.text);
        }
    }
    return std::move(lists).produced();
}

void exportInstalledApps(const std::string& root, const FileAccessPtr& access, BackupResult& result) {
    std::vector<InstalledApp> apps;
    try {
        apps = AppScanner(access).scan(std::nullopt, std::nullopt);
    } catch (const std::exception&) {
        return; // the scanner drops what it cannot read; anything else leaves the lists out
    }
    if (apps.empty())
        return;

    const std::string dir = paths::join(root, "manifest");
    try {
        access->write(toBytes(AppScanner::reinstallMarkdown(apps)), paths::join(dir, "apps.md"));
    } catch (const std::exception&) {
    }
    result.manifests.push_back("manifest/apps.md");

    std::optional<std::string> encoded;
    try {
        encoded = nlohmann::json(apps).dump(); // compact: a list for programs, not people
    } catch (const nlohmann::json::exception&) {
        // A name that is not valid UTF-8 cannot be carried by JSON; apps.md still lists it.
    }
    if (encoded) {
        try {
            access->write(toBytes(*encoded), paths::join(dir, "apps.json"));
        } catch (const std::exception&) {
        }
        result.manifests.push_back("manifest/apps.json");
    }

    result.installedApps = static_cast<int>(apps.size());
    result.manualApps = static_cast<int>(std::count_if(apps.begin(), apps.end(), [](const InstalledApp& app) {
        return app.source == AppSource::manual || app.source == AppSource::appImage;
    }));
}

// ---- Parsers ---------------------------------------------------------------------------------

std::vector<std::string> splitManifestLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t i = 0; i < text.size();) {
        size_t n = newlineAt(text, i);
        if (n == 0) {
            ++i;
            continue;
        }
        if (i > start)
            lines.push_back(text.substr(start, i - start));
        i += n;
        start = i;
    }
    if (start < text.size())
        lines.push_back(text.substr(start));
    return lines;
}

std::vector<std::string> parseNpmGlobalPackages(const std::string& output) {
    static const std::string branch = "\u2500\u2500 ";
    std::vector<std::string> names;
    for (const std::string& line : splitManifestLines(output)) {
        size_t at = line.find(branch);
        if (at == std::string::npos)
            continue;
        std::string rest = line.substr(at + branch.size());
        size_t lastAt = rest.rfind('@');
        names.push_back(lastAt != std::string::npos && lastAt > 0 ? rest.substr(0, lastAt) : rest);
    }
    return names;
}

std::vector<std::string> parseCargoInstalledCrates(const std::string& output) {
    std::vector<std::string> names;
    for (const std::string& line : splitManifestLines(output)) {
        // Any Unicode white space counts, not only ASCII blanks.
        UChar32 first = icu::UnicodeString::fromUTF8(line).char32At(0);
        if (u_isUWhiteSpace(first))
            continue;
        // The line starts with a non-blank, so its first space-separated piece begins at 0.
        names.push_back(line.substr(0, line.find(' ')));
    }
    return names;
}

std::vector<std::string> parseGoBinaryModules(const std::string& output) {
    auto plainPath = [](const std::string& p) {
        return !p.empty() && p.size() <= 512 && std::isalnum(static_cast<unsigned char>(p[0])) && allOf(p, "-._~/+");
    };
    std::vector<std::string> entries;
    std::set<std::string> seen;
    std::string package, version;
    auto finish = [&] {
        if (!package.empty()) {
            std::string v = version.empty() || version == "(devel)" ? "latest" : version;
            if (v != "latest" && !(v[0] == 'v' && allOf(v, "-.+")))
                v = "latest";
            if (seen.insert(package + "@" + v).second)
                entries.push_back(package + "@" + v);
        }
        package.clear();
        version.clear();
    };
    for (const std::string& line : lines(output)) {
        if (line[0] != '\t' && line[0] != ' ') {
            finish(); // "<file>: go1.22.1" starts the next binary
            continue;
        }
        auto columns = splitWords(line);
        if (columns.size() >= 2 && columns[0] == "path")
            package = plainPath(columns[1]) ? columns[1] : std::string();
        else if (columns.size() >= 3 && columns[0] == "mod" && plainPath(columns[1]))
            version = columns[2];
    }
    finish();
    return entries;
}

std::string firstCharacters(const std::string& text, int count) {
    icu::UnicodeString u = icu::UnicodeString::fromUTF8(text);
    int32_t end = 0;
    if (count > 0) {
        UErrorCode status = U_ZERO_ERROR;
        std::unique_ptr<icu::BreakIterator> it(
            icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
        if (U_SUCCESS(status) && it) {
            it->setText(u);
            end = it->first();
            for (int i = 0; i < count; ++i) {
                int32_t next = it->next();
                if (next == icu::BreakIterator::DONE)
                    break;
                end = next;
            }
        } else {
            // Without break data, code points are the closest safe unit.
            end = u.moveIndex32(0, count);
        }
    }
    std::string out;
    u.tempSubString(0, end).toUTF8String(out);
    return out;
}

// ---- Restore guide ---------------------------------------------------------------------------

std::string formatGuideDate(Timestamp t, const std::string& locale, const std::string& timeZone) {
    icu::Locale loc = locale.empty() ? userLocale() : icu::Locale::createCanonical(locale.c_str());
    std::unique_ptr<icu::DateFormat> format(
        icu::DateFormat::createDateTimeInstance(icu::DateFormat::kMedium, icu::DateFormat::kShort, loc));
    if (!format)
        return json::iso8601(t);
    icu::TimeZone* zone =
        timeZone.empty() ? userTimeZone() : icu::TimeZone::createTimeZone(icu::UnicodeString::fromUTF8(timeZone));
    if (zone != nullptr)
        format->adoptTimeZone(zone);
    auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
    icu::UnicodeString text;
    format->format(static_cast<UDate>(millis), text);
    std::string out;
    text.toUTF8String(out);
    return out;
}

std::string restoreGuide(const BackupManifest& m, const std::string& locale, const std::string& timeZone) {
    std::string doc;
    auto line = [&doc](const std::string& text) {
        doc += text;
        doc += '\n';
    };

    line("# Stowage restore");
    line("");
    line("Generated " + formatGuideDate(m.createdAt, locale, timeZone) + ".");
    line(wording::localized("Run these steps on your **fresh** Mac, in order."));

    if (!m.manifests.empty()) {
        auto has = [&m](const char* entry) {
            return std::find(m.manifests.begin(), m.manifests.end(), entry) != m.manifests.end();
        };
        line("");
        line("## 1. Reproducible (reinstall from manifests)");
        line("");
        if (has("manifest/Brewfile")) {
            doc += fenceOpen;
            line("brew bundle --file manifest/Brewfile");
            doc += fenceClose;
            line("");
        }
        // Each list below is replayed by its block; the lists are read as data, never as shell text.
        for (const ReplayStep& step : replaySteps()) {
            if (!has(step.entry))
                continue;
            if (step.caption)
                line(step.caption);
            doc += fenceOpen;
            line(step.command);
            doc += fenceClose;
            line("");
        }
        if (has("manifest/apps.md")) {
            line("Open `manifest/apps.md` for every installed app and how to reinstall it \u2014 especially the "
                 "**manual downloads** no tool can recover.");
            line("");
        }
        line("Other lists to replay by hand:");
        for (const std::string& entry : m.manifests)
            if (entry != "manifest/Brewfile" && !replayed(entry))
                line("- `" + entry + "`");
    }

    if (!m.configs.empty()) {
        line("");
        line("## 2. Config");
        line("");
        line("Restore your dotfiles & editor settings:");
        line("");
        doc += fenceOpen;
        line("stowage restore --config");
        doc += fenceClose;
        line("");
        line("This writes " + std::to_string(m.configs.size()) + " file(s) back to their original locations.");
    }

    if (m.hasSecrets) {
        line("");
        line("## 3. Secrets (encrypted)");
        line("");
        line("`secrets.stowage` holds " + std::to_string(m.secretPaths.size()) + " secret file(s), AES-GCM encrypted.");
        line("You need the **recovery code** you saved at backup time.");
        line("`stowage` asks for it without showing it, so it stays out of the process list and your shell "
             "history (a script can give it with `--recovery-code-file FILE` or `STOWAGE_RECOVERY_CODE`).");
        line("");
        doc += fenceOpen;
        line("stowage restore --secrets");
        doc += fenceClose;
        line("");
        line("Files restored to their original paths (0600 where applicable):");
        size_t listed = std::min<size_t>(m.secretPaths.size(), 40);
        for (size_t i = 0; i < listed; ++i)
            line("- `" + withTilde(m.secretPaths[i], m.homeFolder) + "`");
    }

    line("");
    line("## 4. Manual steps no tool can do for you");
    line("");
    line("- Re-auth CLIs: `gh auth login`, `gcloud auth login`, `aws sso login`, `az login`");
    line("- Re-add 2FA / authenticator seeds");
    line("- App Store Connect `.p8` keys can't be re-downloaded \u2014 if lost, revoke & reissue, then update CI");
    line("- Re-register any SSH public keys whose private keys you rotated");
    return doc;
}

void writeRestoreDoc(const BackupManifest& manifest, const std::string& root, FileAccessProvider& access) {
    access.write(toBytes(restoreGuide(manifest)), paths::join(root, "RESTORE.md"));
}

} // namespace stowage
