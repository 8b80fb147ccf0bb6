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
#include <cstdlib>
#include <future>
#include <memory>
#include <system_error>

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

Shell::Output runTool(const std::string& tool, const std::vector<std::string>& arguments) {
    return Shell::run(tool, arguments, std::nullopt, toolTimeout);
}

/// A tool run started now on a thread of its own, so that the slow tools wait side by side; when no
/// thread can be had it runs when its answer is asked for.
std::future<Shell::Output> startTool(std::string tool, std::vector<std::string> arguments) {
    auto work = [tool = std::move(tool), arguments = std::move(arguments)] { return runTool(tool, arguments); };
    try {
        return std::async(std::launch::async, work);
    } catch (const std::system_error&) {
        return std::async(std::launch::deferred, work);
    }
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
constexpr const char* fenceClose = "```\n";

} // namespace

// ---- Tool lists ------------------------------------------------------------------------------

std::vector<std::string> exportManifests(const std::string& root, FileAccessProvider& access,
                                         std::vector<std::string>& warnings) {
    ListWriter lists(root, access);
    try {
        access.createDirectory(paths::join(root, "manifest"));
    } catch (const std::exception&) {
    }

    // Every tool is started first and their answers are taken in a fixed order, so the lists and
    // warnings are the same as when they ran one after another.
    const bool hasBrew = Shell::exists("brew");
    std::future<Shell::Output> dump, cron, mas, pip, code, npm, cargo;
    if (hasBrew)
        dump = startTool("brew", {"bundle", "dump", "--file", lists.pathOf("Brewfile"), "--force"});
    cron = startTool("crontab", {"-l"});
    if (Shell::exists("mas"))
        mas = startTool("mas", {"list"});
    if (Shell::exists("pip3"))
        pip = startTool("pip3", {"list", "--format=freeze"});
    if (Shell::exists("code"))
        code = startTool("code", {"--list-extensions"});
    if (Shell::exists("npm"))
        npm = startTool("npm", {"ls", "-g", "--depth=0"});
    if (Shell::exists("cargo"))
        cargo = startTool("cargo", {"install", "--list"});

    // Homebrew writes the Brewfile itself; only it reports problems.
    if (!hasBrew) {
        warnings.push_back("Homebrew not found \u2014 skipping Brewfile.");
    } else {
        Shell::Output result = dump.get();
        if (result.status != 0)
            warnings.push_back("brew bundle dump failed: " + firstCharacters(result.err, 120));
        else
            lists.record("Brewfile");
    }

    // "crontab -l" fails when the user has no crontab; that is not worth a file.
    Shell::Output crontab = cron.get();
    if (crontab.status == 0)
        lists.saveIfAny("crontab.txt", crontab);

    // The remaining tools' exit status is not looked at: whatever a failed or timed-out run
    // printed is still the best list there is.
    if (mas.valid())
        lists.saveIfAny("appstore.txt", mas.get());
    if (pip.valid())
        lists.saveIfAny("pip-global.txt", pip.get());
    if (code.valid())
        lists.saveIfAny("vscode-extensions.txt", code.get());

    if (npm.valid()) {
        auto names = parseNpmGlobalPackages(npm.get().out);
        std::string text = joinLines(names);
        if (!names.empty() && !trimmed(text).empty())
            lists.save("npm-global.txt", text);
    }
    if (cargo.valid()) {
        auto names = parseCargoInstalledCrates(cargo.get().out);
        std::string text = joinLines(names);
        if (!names.empty() && !trimmed(text).empty())
            lists.save("cargo-installed.txt", text);
    }
    return std::move(lists).produced();
}

void exportInstalledApps(const std::string& root, const FileAccessPtr& access, BackupResult& result) {
    std::vector<InstalledApp> apps;
    try {
        apps = AppScanner({"/Applications", "~/Applications"}, access).scan(std::nullopt, std::nullopt);
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
    result.manualApps = static_cast<int>(std::count_if(
        apps.begin(), apps.end(), [](const InstalledApp& app) { return app.source == AppSource::manual; }));
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
        if (has("manifest/apps.md")) {
            line("Open `manifest/apps.md` for every installed app and how to reinstall it \u2014 especially the "
                 "**manual downloads** no tool can recover.");
            line("");
        }
        line("Other lists to replay by hand:");
        for (const std::string& entry : m.manifests)
            if (entry != "manifest/Brewfile")
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
