#include "core/AppScanner.hpp"

#include "core/Paths.hpp"
#include "core/Shell.hpp"

#include <glib.h>
#include <plist/plist.h>
#include <unicode/coll.h>
#include <unicode/locid.h>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <limits>
#include <memory>
#include <unistd.h>

namespace stowage {

namespace {

// Base addresses of the links we hand out. All three are long-standing public entry points:
// - the store's own URL scheme ("macappstore") on the store's host, opening the app's page
//   (path "/app/id<number>") or a store search (path "/search", query key "term") in the store app;
// - the store's public web page for an app, used in the written guide because it opens anywhere;
// - a general web search (query key "q") for apps that only come back by downloading them.
constexpr const char* storeSchemeBase = "macappstore://apps.apple.com";
constexpr const char* storeWebBase = "https://apps.apple.com";
constexpr const char* webSearchBase = "https://duckduckgo.com/?q=";

// An Info.plist is a few kilobytes; anything far larger is not one and is not worth parsing.
constexpr std::size_t maxInfoPlistBytes = 16u * 1024 * 1024;

bool isAsciiAlnum(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

/// Percent-encodes a query value. Beyond the characters that may not appear in a query at all,
/// "&", "=" and "+" are encoded too: left bare they would end the value, start another pair or read
/// as a space, so an app called "C++ & Co" would search for something else.
std::string encodeQueryValue(const std::string& value) {
    static const std::string safe = "-._~!$'()*,;:@/?";
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(value.size() * 3);
    for (unsigned char c : value) {
        if (isAsciiAlnum(c) || safe.find(static_cast<char>(c)) != std::string::npos) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 0xF];
        }
    }
    return out;
}

/// The query value of the guide's search links: spaces become "+", other characters that would
/// break the link ("&", "+", "#", "%", quotes, controls…) are percent-encoded, and non-ASCII text
/// stays readable as it is.
std::string guideSearchTerm(const std::string& name) {
    static const std::string safe = "-._~!$'()*,;:@/?";
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : name) {
        if (c == ' ') {
            out += '+';
        } else if (c >= 0x80 || isAsciiAlnum(c) || safe.find(static_cast<char>(c)) != std::string::npos) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 0xF];
        }
    }
    return out;
}

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

std::string trimBlanks(const std::string& s) {
    std::size_t b = 0, e = s.size();
    while (b < e && isBlank(s[b]))
        ++b;
    while (e > b && isBlank(s[e - 1]))
        --e;
    return s.substr(b, e - b);
}

bool endsWith(const std::string& s, const std::string& suffix) {
    return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

/// Locale-aware, case-insensitive ordering of app names. The POSIX locale's collation orders by
/// code point (every capital before every small letter), so it is replaced by the root collation.
class NameCollator {
public:
    NameCollator() {
        UErrorCode status = U_ZERO_ERROR;
        icu::Locale locale = icu::Locale::getDefault();
        const std::string variant = locale.getVariant();
        const std::string language = locale.getLanguage();
        if (variant == "POSIX" || language.empty() || language == "c")
            locale = icu::Locale::getRoot();
        collator_.reset(icu::Collator::createInstance(locale, status));
        if (U_FAILURE(status)) {
            collator_.reset();
            return;
        }
        collator_->setStrength(icu::Collator::SECONDARY);
    }

    bool less(const std::string& a, const std::string& b) const {
        if (!collator_)
            return a < b;
        UErrorCode status = U_ZERO_ERROR;
        UCollationResult r = collator_->compareUTF8(a, b, status);
        if (U_FAILURE(status))
            return a < b;
        return r == UCOL_LESS;
    }

private:
    std::unique_ptr<icu::Collator> collator_;
};

struct PlistDeleter {
    void operator()(void* p) const {
        if (p)
            plist_free(static_cast<plist_t>(p));
    }
};

std::optional<std::string> plistString(plist_t dict, const char* key) {
    plist_t node = plist_dict_get_item(dict, key);
    if (!node || plist_get_node_type(node) != PLIST_STRING)
        return std::nullopt;
    uint64_t length = 0;
    const char* text = plist_get_string_ptr(node, &length);
    if (!text)
        return std::nullopt;
    return std::string(text, static_cast<std::size_t>(length));
}

bool isChannel(const std::string& channel) {
    if (channel.empty() || channel.size() > 100 || channel[0] == '-')
        return false;
    return std::all_of(channel.begin(), channel.end(),
                       [](unsigned char c) { return isAsciiAlnum(c) || c == '.' || c == '_' || c == '/' || c == '-'; });
}

std::vector<std::string> splitAt(const std::string& text, char separator) {
    std::vector<std::string> pieces;
    std::size_t start = 0;
    while (true) {
        std::size_t end = text.find(separator, start);
        pieces.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos)
            return pieces;
        start = end + 1;
    }
}

std::vector<std::string> outputLines(const std::string& text) {
    std::vector<std::string> lines;
    for (std::string line : splitAt(text, '\n')) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (!line.empty())
            lines.push_back(std::move(line));
    }
    return lines;
}

/// A version as shown in a guide: printable ASCII without blanks, backticks or markup.
std::optional<std::string> plausibleVersion(const std::string& version) {
    if (version.empty() || version.size() > 100 || version == "-")
        return std::nullopt;
    for (unsigned char c : version)
        if (c <= ' ' || c >= 0x7F || c == '`' || c == '*' || c == '<' || c == '>' || c == '\\')
            return std::nullopt;
    return version;
}

/// A name from a desktop entry as shown on one line: control characters (an escaped "\n" in the
/// file decodes to a real line break) become spaces, and the ends are trimmed.
std::string displayName(const std::string& raw) {
    std::string out;
    for (unsigned char c : raw)
        out += (c < 0x20 || c == 0x7F) ? ' ' : static_cast<char>(c);
    return trimBlanks(out);
}

// Desktop entries are small text files; anything far larger is not one.
constexpr std::size_t maxDesktopEntryBytes = 1024 * 1024;
// Folder nesting below an applications folder that is still searched; deeper trees (or symbolic
// link loops) are not an app menu.
constexpr int maxDesktopDepth = 8;
// Paths handed to one owner query; keeps the argument list far below the system's limit.
constexpr std::size_t ownerBatchSize = 200;

struct KeyFileDeleter {
    void operator()(GKeyFile* k) const { g_key_file_free(k); }
};
using KeyFilePtr = std::unique_ptr<GKeyFile, KeyFileDeleter>;

constexpr const char* entryGroup = "Desktop Entry";

std::optional<std::string> keyString(GKeyFile* file, const char* key) {
    gchar* value = g_key_file_get_string(file, entryGroup, key, nullptr);
    if (!value)
        return std::nullopt;
    std::string out = value;
    g_free(value);
    return out;
}

bool keyBool(GKeyFile* file, const char* key) {
    GError* error = nullptr;
    gboolean value = g_key_file_get_boolean(file, entryGroup, key, &error);
    if (error) {
        g_error_free(error);
        return false;
    }
    return value;
}

std::vector<std::string> keyList(GKeyFile* file, const char* key) {
    gsize length = 0;
    gchar** values = g_key_file_get_string_list(file, entryGroup, key, &length, nullptr);
    std::vector<std::string> out;
    if (!values)
        return out;
    for (gsize i = 0; i < length; ++i)
        out.emplace_back(values[i]);
    g_strfreev(values);
    return out;
}

/// Name[lang] for the first preferred language that has a translation (each language's own
/// fallbacks, "de_DE.UTF-8" → "de_DE" → "de", included), else the untranslated Name.
std::optional<std::string> localizedName(GKeyFile* file, const std::vector<std::string>& languages) {
    for (const std::string& language : languages) {
        gchar* found = g_key_file_get_locale_for_key(file, entryGroup, "Name", language.c_str());
        if (!found)
            continue;
        g_free(found);
        gchar* value = g_key_file_get_locale_string(file, entryGroup, "Name", language.c_str(), nullptr);
        if (value) {
            std::string out = value;
            g_free(value);
            return out;
        }
    }
    return keyString(file, "Name");
}

bool isExecutableFile(const FileAccessProvider& access, const std::string& path) {
    auto info = access.info(path);
    if (info && info->isSymlink) {
        // A link's own bits say nothing; a dangling link runs nothing.
        std::error_code ec;
        const std::string target = std::filesystem::canonical(path, ec).string();
        info = ec ? std::nullopt : access.info(target);
    }
    return info && !info->isDirectory && (info->posixPermissions & 0111) != 0;
}

/// The program the Exec line starts, with a leading "env VAR=value…" skipped; empty when the line
/// does not parse.
std::string execProgram(const std::string& exec) {
    gint argc = 0;
    gchar** argv = nullptr;
    if (!g_shell_parse_argv(exec.c_str(), &argc, &argv, nullptr))
        return {};
    std::vector<std::string> args(argv, argv + argc);
    g_strfreev(argv);
    std::size_t i = 0;
    if (i < args.size() && (args[i] == "env" || args[i] == "/usr/bin/env")) {
        ++i;
        while (i < args.size() && args[i].find('=') != std::string::npos)
            ++i;
    }
    return i < args.size() ? args[i] : std::string();
}

/// The first 16 bytes of a file without reading the rest (an AppImage is often hundreds of MB).
Bytes fileHead(const std::string& path) {
    Bytes head(16);
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) {
        // A symbolic link to the AppImage is common; follow it, still never blocking on a FIFO.
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0)
            return {};
    }
    ssize_t got = ::read(fd, head.data(), head.size());
    ::close(fd);
    head.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    return head;
}

/// One desktop entry that the desktop would show, before its source is known.
struct ShownEntry {
    InstalledApp app;
    std::optional<std::string> flatpakID; // X-Flatpak
    std::optional<std::string> snapName;  // X-SnapInstanceName
    std::string program;
};

std::string envOr(const char* name, const std::string& fallback) {
    const char* value = std::getenv(name);
    return value && *value ? std::string(value) : fallback;
}

} // namespace

std::vector<std::string> splitWords(const std::string& line) {
    std::vector<std::string> out;
    std::string piece;
    for (char c : line) {
        if (c == ' ' || c == '\t') {
            if (!piece.empty())
                out.push_back(std::move(piece));
            piece.clear();
        } else {
            piece += c;
        }
    }
    if (!piece.empty())
        out.push_back(std::move(piece));
    return out;
}

// ---- AppSource -------------------------------------------------------------------------------

std::string toString(AppSource source) {
    switch (source) {
    case AppSource::appStore:
        return "appStore";
    case AppSource::homebrewCask:
        return "homebrewCask";
    case AppSource::manual:
        return "manual";
    case AppSource::distributionPackage:
        return "distributionPackage";
    case AppSource::flatpak:
        return "flatpak";
    case AppSource::snap:
        return "snap";
    case AppSource::appImage:
        return "appImage";
    case AppSource::nix:
        return "nix";
    }
    return {};
}

std::optional<AppSource> appSourceFromString(const std::string& raw) {
    for (AppSource s : {AppSource::appStore, AppSource::homebrewCask, AppSource::manual, AppSource::distributionPackage,
                        AppSource::flatpak, AppSource::snap, AppSource::appImage, AppSource::nix})
        if (toString(s) == raw)
            return s;
    return std::nullopt;
}

std::string label(AppSource source) {
    switch (source) {
    case AppSource::appStore:
        return "App Store";
    case AppSource::homebrewCask:
        return "Homebrew cask";
    case AppSource::manual:
        return "Manual download";
    case AppSource::distributionPackage:
        return "Distribution package";
    case AppSource::flatpak:
        return "Flatpak";
    case AppSource::snap:
        return "Snap";
    case AppSource::appImage:
        return "AppImage";
    case AppSource::nix:
        return "Nix";
    }
    return {};
}

void to_json(nlohmann::json& j, AppSource source) {
    j = toString(source);
}

void from_json(const nlohmann::json& j, AppSource& source) {
    auto parsed = appSourceFromString(j.get<std::string>());
    if (!parsed)
        throw nlohmann::json::other_error::create(501, "unknown app source value " + j.dump(), &j);
    source = *parsed;
}

// ---- InstalledApp ----------------------------------------------------------------------------

std::optional<std::string> InstalledApp::caskCommand() const {
    if (source != AppSource::homebrewCask || !caskToken)
        return std::nullopt;
    return "brew install --cask " + *caskToken;
}

std::optional<std::string> InstalledApp::reinstallCommand() const {
    // Every part below passed isPackageName or isChannel when it was read; a record decoded from
    // a stored apps.json is checked again, since that file may have been edited.
    auto valid = [](const std::optional<std::string>& part) { return part && AppScanner::isPackageName(*part); };
    switch (source) {
    case AppSource::homebrewCask:
        return caskCommand();
    case AppSource::distributionPackage:
        if (!valid(packageName) || !packageManager)
            return std::nullopt;
        if (*packageManager == "dpkg")
            return "sudo apt-get install -y " + *packageName;
        if (*packageManager == "rpm")
            return "sudo dnf install -y " + *packageName;
        if (*packageManager == "pacman")
            return "sudo pacman -S --needed " + *packageName;
        return std::nullopt;
    case AppSource::flatpak:
        if (!valid(packageName) || !valid(origin) || (installation != "user" && installation != "system"))
            return std::nullopt;
        return "flatpak install -y --" + *installation + " " + *origin + " " + *packageName;
    case AppSource::snap: {
        if (!valid(packageName))
            return std::nullopt;
        std::string command = "sudo snap install " + *packageName;
        if (channel && isChannel(*channel))
            command += " --channel=" + *channel;
        if (classic)
            command += " --classic";
        return command;
    }
    case AppSource::nix:
        if (!valid(packageName))
            return std::nullopt;
        return "nix profile install nixpkgs#" + *packageName;
    case AppSource::appStore:
    case AppSource::manual:
    case AppSource::appImage:
        return std::nullopt;
    }
    return std::nullopt;
}

std::optional<std::string> InstalledApp::reinstallURL() const {
    switch (source) {
    case AppSource::appStore:
        if (appStoreID)
            return std::string(storeSchemeBase) + "/app/id" + *appStoreID;
        return std::string(storeSchemeBase) + "/search?term=" + encodeQueryValue(name);
    case AppSource::manual:
        return std::string(webSearchBase) + encodeQueryValue(name + (desktopID ? " linux download" : " mac download"));
    case AppSource::appImage:
        return std::string(webSearchBase) + encodeQueryValue(name + " AppImage download");
    case AppSource::homebrewCask:
    case AppSource::distributionPackage:
    case AppSource::flatpak:
    case AppSource::snap:
    case AppSource::nix:
        return std::nullopt;
    }
    return std::nullopt;
}

void to_json(nlohmann::json& j, const InstalledApp& app) {
    j = nlohmann::json{{"name", app.name}, {"path", app.path}, {"source", app.source}};
    if (app.bundleID)
        j["bundleID"] = *app.bundleID;
    if (app.version)
        j["version"] = *app.version;
    if (app.caskToken)
        j["caskToken"] = *app.caskToken;
    if (app.appStoreID)
        j["appStoreID"] = *app.appStoreID;
    auto put = [&j](const char* key, const std::optional<std::string>& value) {
        if (value)
            j[key] = *value;
    };
    put("desktopID", app.desktopID);
    put("packageName", app.packageName);
    put("packageManager", app.packageManager);
    put("origin", app.origin);
    put("installation", app.installation);
    put("channel", app.channel);
    put("executable", app.executable);
    if (app.classic)
        j["classic"] = true;
}

void from_json(const nlohmann::json& j, InstalledApp& app) {
    auto optionalField = [&j](const char* key) -> std::optional<std::string> {
        auto it = j.find(key);
        if (it == j.end() || it->is_null())
            return std::nullopt;
        return it->get<std::string>();
    };
    j.at("name").get_to(app.name);
    j.at("path").get_to(app.path);
    j.at("source").get_to(app.source);
    app.bundleID = optionalField("bundleID");
    app.version = optionalField("version");
    app.caskToken = optionalField("caskToken");
    app.appStoreID = optionalField("appStoreID");
    app.desktopID = optionalField("desktopID");
    app.packageName = optionalField("packageName");
    app.packageManager = optionalField("packageManager");
    app.origin = optionalField("origin");
    app.installation = optionalField("installation");
    app.channel = optionalField("channel");
    app.executable = optionalField("executable");
    auto classic = j.find("classic");
    app.classic = classic != j.end() && classic->is_boolean() && classic->get<bool>();
}

// ---- AppScanner ------------------------------------------------------------------------------

std::vector<std::string> AppScanner::defaultRoots() {
    return {"/Applications", "~/Applications"};
}

AppScanner::AppScanner(std::vector<std::string> scanRoots, FileAccessPtr fileAccess)
    : roots(std::move(scanRoots)), access(std::move(fileAccess)) {}

AppScanner::AppScanner(FileAccessPtr fileAccess) : AppScanner(defaultRoots(), std::move(fileAccess)) {
    desktop = DesktopEntryRoots::fromEnvironment();
}

DesktopEntryRoots DesktopEntryRoots::fromEnvironment() {
    DesktopEntryRoots roots;
    const std::string home = paths::homeFolder();
    auto absolute = [](const std::string& p) { return !p.empty() && p[0] == '/'; };
    auto add = [&roots](std::string folder) {
        while (folder.size() > 1 && folder.back() == '/')
            folder.pop_back();
        if (std::find(roots.applicationFolders.begin(), roots.applicationFolders.end(), folder) ==
            roots.applicationFolders.end())
            roots.applicationFolders.push_back(folder);
    };

    std::string dataHome = envOr("XDG_DATA_HOME", "");
    if (!absolute(dataHome))
        dataHome = paths::join(home, ".local/share");
    add(paths::join(dataHome, "applications"));
    for (const std::string& dir : splitAt(envOr("XDG_DATA_DIRS", "/usr/local/share:/usr/share"), ':'))
        if (absolute(dir))
            add(paths::join(dir, "applications"));

    roots.flatpakUserDir = paths::join(dataHome, "flatpak");
    roots.flatpakSystemDir = envOr("FLATPAK_SYSTEM_DIR", "/var/lib/flatpak");
    std::string snapRoot = envOr("SNAPPY_GLOBAL_ROOT", "/");
    roots.snapDesktopDir = paths::join(snapRoot, "var/lib/snapd/desktop/applications");
    add(paths::join(roots.flatpakUserDir, "exports/share/applications"));
    add(paths::join(roots.flatpakSystemDir, "exports/share/applications"));
    add(roots.snapDesktopDir);

    for (const std::string& desktopName : splitAt(envOr("XDG_CURRENT_DESKTOP", ""), ':'))
        if (!desktopName.empty())
            roots.currentDesktops.push_back(desktopName);

    auto addLanguage = [&roots](const std::string& language) {
        std::string base = language.substr(0, language.find_first_of(".@"));
        if (!language.empty() && base != "C" && base != "POSIX")
            roots.languages.push_back(language);
    };
    for (const std::string& language : splitAt(envOr("LANGUAGE", ""), ':'))
        addLanguage(language);
    for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        std::string value = envOr(variable, "");
        if (!value.empty()) {
            addLanguage(value);
            break;
        }
    }
    for (const std::string& dir : splitAt(envOr("PATH", ""), ':'))
        if (absolute(dir))
            roots.searchPath.push_back(dir);
    return roots;
}

std::set<std::string> AppScanner::parseCaskList(const std::string& output) {
    std::set<std::string> tokens;
    std::string piece;
    for (char c : output) {
        if (c == ' ' || c == '\n' || c == '\r' || c == '\t') {
            if (!piece.empty())
                tokens.insert(piece);
            piece.clear();
        } else {
            piece += c;
        }
    }
    if (!piece.empty())
        tokens.insert(piece);
    return tokens;
}

std::map<std::string, std::string> AppScanner::parseMasList(const std::string& output) {
    std::map<std::string, std::string> ids;
    std::size_t start = 0;
    while (start <= output.size()) {
        std::size_t end = output.find('\n', start);
        if (end == std::string::npos)
            end = output.size();
        // The listing right-aligns identifiers of different widths, so a line may begin with
        // padding; it is not part of the identifier.
        std::string line = output.substr(start, end - start);
        while (!line.empty() && line.back() == '\r')
            line.pop_back();
        std::size_t lead = 0;
        while (lead < line.size() && (line[lead] == ' ' || line[lead] == '\t'))
            ++lead;
        line.erase(0, lead);
        start = end + 1;
        if (line.empty())
            continue;

        std::size_t space = line.find(' ');
        if (space == std::string::npos)
            continue;
        std::string id = line.substr(0, space);
        if (id.empty() || !std::all_of(id.begin(), id.end(), [](char c) { return c >= '0' && c <= '9'; }))
            continue;
        std::string name = trimBlanks(line.substr(space));
        if (auto paren = name.rfind(" ("); paren != std::string::npos)
            name = trimBlanks(name.substr(0, paren));
        if (name.empty())
            continue;
        ids[name] = id;
    }
    return ids;
}

std::string AppScanner::caskCandidate(const std::string& appName) {
    icu::UnicodeString text = icu::UnicodeString::fromUTF8(appName);
    text.toLower(icu::Locale::getRoot());
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
    if (U_SUCCESS(status)) {
        icu::UnicodeString composed = nfc->normalize(text, status);
        if (U_SUCCESS(status))
            text = composed;
    }

    // Letters and digits are kept together with the combining marks that belong to them, so a
    // letter written with a separate accent stays whole.
    icu::UnicodeString kept;
    bool lastKept = false;
    for (int32_t i = 0; i < text.length();) {
        UChar32 c = text.char32At(i);
        i += U16_LENGTH(c);
        const uint32_t category = U_GET_GC_MASK(c);
        if ((category & U_GC_L_MASK) || u_isdigit(c)) {
            kept.append(c);
            lastKept = true;
        } else if (category & U_GC_M_MASK) {
            if (lastKept)
                kept.append(c);
        } else if (c == ' ' || c == '-' || c == '_') {
            kept.append(UChar32('-'));
            lastKept = false;
        } else {
            lastKept = false;
        }
    }

    std::string utf8;
    kept.toUTF8String(utf8);
    std::string candidate;
    for (char c : utf8)
        if (!(c == '-' && !candidate.empty() && candidate.back() == '-'))
            candidate += c;
    std::size_t b = candidate.find_first_not_of('-');
    if (b == std::string::npos)
        return {};
    std::size_t e = candidate.find_last_not_of('-');
    return candidate.substr(b, e - b + 1);
}

std::pair<std::optional<std::string>, std::optional<std::string>> AppScanner::bundleInfo(const Bytes& data) {
    if (data.empty() || data.size() > maxInfoPlistBytes)
        return {};
    // A terminating NUL behind the data keeps any parser path that expects C text inside the buffer.
    std::string buffer(data.begin(), data.end());
    plist_t raw = nullptr;
    plist_from_memory(buffer.c_str(), static_cast<uint32_t>(data.size()), &raw);
    std::unique_ptr<void, PlistDeleter> root(raw);
    if (!raw || plist_get_node_type(raw) != PLIST_DICT)
        return {};
    return {plistString(raw, "CFBundleIdentifier"), plistString(raw, "CFBundleShortVersionString")};
}

std::set<std::string> AppScanner::brewCaskTokens() {
    if (Shell::run("which", {"brew"}).status != 0)
        return {};
    return parseCaskList(Shell::run("brew", {"list", "--cask"}).out);
}

std::map<std::string, std::string> AppScanner::masTrackIDs() {
    if (Shell::run("which", {"mas"}).status != 0)
        return {};
    Shell::Output listing = Shell::run("mas", {"list"});
    if (listing.status != 0)
        return {};
    return parseMasList(listing.out);
}

std::vector<InstalledApp> AppScanner::scan(const std::optional<std::set<std::string>>& caskTokens,
                                           const std::optional<std::map<std::string, std::string>>& masIDs) const {
    std::vector<InstalledApp> apps = scanBundles(caskTokens, masIDs);
    if (desktop) {
        std::vector<InstalledApp> entries = scanDesktopEntries(*desktop);
        apps.insert(apps.end(), std::make_move_iterator(entries.begin()), std::make_move_iterator(entries.end()));
    }
    const NameCollator collator;
    std::stable_sort(apps.begin(), apps.end(), [&collator](const InstalledApp& a, const InstalledApp& b) {
        return collator.less(a.name, b.name);
    });
    return apps;
}

std::vector<InstalledApp>
AppScanner::scanBundles(const std::optional<std::set<std::string>>& caskTokens,
                        const std::optional<std::map<std::string, std::string>>& masIDs) const {
    const std::set<std::string> casks = caskTokens ? *caskTokens : brewCaskTokens();
    const std::map<std::string, std::string> storeIDs = masIDs ? *masIDs : masTrackIDs();

    std::vector<InstalledApp> apps;
    std::set<std::string> seen;
    for (const std::string& configuredRoot : roots) {
        const std::string root = paths::expandTilde(configuredRoot);
        access->beginAccess(root);
        for (const std::string& path : access->children(root)) {
            const std::string folderName = paths::lastComponent(path);
            if (!endsWith(folderName, ".app"))
                continue;
            std::string name = folderName.substr(0, folderName.size() - 4);
            // A bare ".app" names no application.
            if (name.empty() || !seen.insert(name).second)
                continue;

            InstalledApp app;
            app.name = name;
            app.path = path;
            if (auto data = access->readAtMost(path + "/Contents/Info.plist",
                                               static_cast<std::int64_t>(maxInfoPlistBytes), nullptr))
                std::tie(app.bundleID, app.version) = bundleInfo(*data);

            if (access->exists(path + "/Contents/_MASReceipt/receipt")) {
                app.source = AppSource::appStore;
                if (auto it = storeIDs.find(name); it != storeIDs.end())
                    app.appStoreID = it->second;
            } else if (std::string candidate = caskCandidate(name); !candidate.empty() && casks.count(candidate)) {
                app.source = AppSource::homebrewCask;
                app.caskToken = candidate;
            } else {
                app.source = AppSource::manual;
            }
            apps.push_back(std::move(app));
        }
        access->endAccess(root);
    }
    return apps;
}

// ---- Desktop entries -------------------------------------------------------------------------

namespace {

/// Collects "<id> → path" for the ".desktop" files below `dir`, the id being the path relative to
/// the applications folder with "/" replaced by "-".
void collectEntries(const FileAccessProvider& access, const std::string& dir, const std::string& prefix, int depth,
                    std::set<std::string>& visited, std::vector<std::pair<std::string, std::string>>& out) {
    // A folder reached twice (through a link back up the tree) is read once.
    std::error_code canonicalError;
    if (!visited.insert(std::filesystem::canonical(dir, canonicalError).string()).second && !canonicalError)
        return;
    for (const std::string& path : access.children(dir)) {
        const std::string leaf = paths::lastComponent(path);
        auto info = access.info(path);
        if (!info)
            continue;
        bool isDir = info->isDirectory;
        if (info->isSymlink) {
            // Packagers link entries (and folders of them) into these folders; follow the link.
            std::error_code ec;
            isDir = std::filesystem::is_directory(path, ec);
        }
        if (isDir) {
            if (depth < maxDesktopDepth)
                collectEntries(access, path, prefix + leaf + "-", depth + 1, visited, out);
        } else if (endsWith(leaf, ".desktop") && leaf.size() > 8) {
            out.emplace_back(prefix + leaf, path);
        }
    }
}

bool listsAny(const std::vector<std::string>& list, const std::vector<std::string>& desktops) {
    return std::any_of(list.begin(), list.end(), [&desktops](const std::string& item) {
        return std::find(desktops.begin(), desktops.end(), item) != desktops.end();
    });
}

/// Whether the desktop shows the entry at all (the rules every Linux desktop menu follows).
bool shown(GKeyFile* file, const DesktopEntryRoots& config, const FileAccessProvider& access) {
    if (keyString(file, "Type") != "Application" || keyBool(file, "NoDisplay") || keyBool(file, "Hidden"))
        return false;
    if (g_key_file_has_key(file, entryGroup, "OnlyShowIn", nullptr) &&
        !listsAny(keyList(file, "OnlyShowIn"), config.currentDesktops))
        return false;
    if (listsAny(keyList(file, "NotShowIn"), config.currentDesktops))
        return false;
    if (auto tryExec = keyString(file, "TryExec"); tryExec && !tryExec->empty()) {
        if (tryExec->find('/') != std::string::npos)
            return tryExec->front() == '/' && isExecutableFile(access, *tryExec);
        return std::any_of(config.searchPath.begin(), config.searchPath.end(), [&](const std::string& dir) {
            return isExecutableFile(access, paths::join(dir, *tryExec));
        });
    }
    return true;
}

/// Runs `tool` once per batch of `operands` (after "--") and concatenates the outputs.
std::string runBatched(const std::string& tool, const std::vector<std::string>& leading,
                       const std::vector<std::string>& operands) {
    std::string out;
    for (std::size_t i = 0; i < operands.size(); i += ownerBatchSize) {
        std::vector<std::string> args = leading;
        args.push_back("--");
        auto end = operands.begin() + static_cast<std::ptrdiff_t>(std::min(operands.size(), i + ownerBatchSize));
        args.insert(args.end(), operands.begin() + static_cast<std::ptrdiff_t>(i), end);
        out += Shell::run(tool, args).out;
        if (!out.empty() && out.back() != '\n')
            out += '\n';
    }
    return out;
}

/// Owners (and versions) of `files` from whichever package database the system has.
std::pair<std::string, std::map<std::string, AppScanner::PackageRecord>>
packageOwners(const std::vector<std::string>& files) {
    std::map<std::string, AppScanner::PackageRecord> owners;
    if (files.empty())
        return {};
    if (Shell::exists("dpkg-query")) {
        // dpkg-query reads its operands as patterns; a path with pattern characters could match
        // other files, so it is not asked about.
        std::vector<std::string> plain;
        for (const std::string& f : files)
            if (f.find_first_of("*?[]\\") == std::string::npos)
                plain.push_back(f);
        std::map<std::string, std::string> byPath =
            AppScanner::parseDpkgOwners(runBatched("dpkg-query", {"-S"}, plain));
        std::set<std::string> packages;
        for (const auto& [path, package] : byPath)
            packages.insert(package);
        std::map<std::string, std::string> versions = AppScanner::parseNameVersionLines(
            runBatched("dpkg-query", {"-W", "-f=${Package}\t${Version}\n"}, {packages.begin(), packages.end()}));
        for (const auto& [path, package] : byPath) {
            AppScanner::PackageRecord record{package, std::nullopt};
            if (auto it = versions.find(package); it != versions.end())
                record.version = plausibleVersion(it->second);
            owners[path] = record;
        }
        return {"dpkg", owners};
    }
    if (Shell::exists("rpm")) {
        // rpm prints one line per operand in order ("file … is not owned by any package" for the
        // others); when the count does not match, the lines cannot be paired and nothing is used.
        for (std::size_t i = 0; i < files.size(); i += ownerBatchSize) {
            std::vector<std::string> batch(files.begin() + static_cast<std::ptrdiff_t>(i),
                                           files.begin() +
                                               static_cast<std::ptrdiff_t>(std::min(files.size(), i + ownerBatchSize)));
            std::vector<std::string> args = {"-qf", "--queryformat", "%{NAME}\t%{VERSION}-%{RELEASE}\n", "--"};
            args.insert(args.end(), batch.begin(), batch.end());
            std::vector<std::string> lines = outputLines(Shell::run("rpm", args).out);
            if (lines.size() != batch.size())
                continue;
            for (std::size_t k = 0; k < batch.size(); ++k) {
                auto parsed = AppScanner::parseNameVersionLines(lines[k]);
                if (parsed.size() == 1)
                    owners[batch[k]] = {parsed.begin()->first, plausibleVersion(parsed.begin()->second)};
            }
        }
        return {"rpm", owners};
    }
    if (Shell::exists("pacman"))
        return {"pacman", AppScanner::parsePacmanOwners(runBatched("pacman", {"-Qo"}, files))};
    return {};
}

} // namespace

std::vector<InstalledApp> AppScanner::scanDesktopEntries(const DesktopEntryRoots& config) const {
    std::vector<ShownEntry> entries;
    std::set<std::string> seen;
    for (const std::string& folder : config.applicationFolders) {
        access->beginAccess(folder);
        std::vector<std::pair<std::string, std::string>> found;
        std::set<std::string> visited;
        collectEntries(*access, folder, "", 0, visited, found);
        for (const auto& [id, path] : found) {
            // The first folder's entry of an id decides, even when it hides the app.
            if (!seen.insert(id).second)
                continue;
            // Only a regular file of plausible size is read (through its link, if it is one): a FIFO
            // would block the scan and a link to a device would never end.
            std::error_code typeError;
            const auto status = std::filesystem::status(path, typeError);
            if (typeError || !std::filesystem::is_regular_file(status) ||
                std::filesystem::file_size(path, typeError) > maxDesktopEntryBytes || typeError)
                continue;
            auto data = access->read(path);
            if (!data)
                continue;
            KeyFilePtr file(g_key_file_new());
            if (!g_key_file_load_from_data(file.get(), reinterpret_cast<const gchar*>(data->data()), data->size(),
                                           G_KEY_FILE_NONE, nullptr) ||
                !g_key_file_has_group(file.get(), entryGroup))
                continue;
            if (!shown(file.get(), config, *access))
                continue;
            std::string name = displayName(localizedName(file.get(), config.languages).value_or(""));
            if (name.empty())
                continue;

            ShownEntry entry;
            entry.app.name = name;
            entry.app.path = path;
            entry.app.desktopID = id;
            entry.app.source = AppSource::manual;
            if (auto v = keyString(file.get(), "X-AppImage-Version"))
                entry.app.version = plausibleVersion(*v);
            entry.flatpakID = keyString(file.get(), "X-Flatpak");
            entry.snapName = keyString(file.get(), "X-SnapInstanceName");
            entry.program = execProgram(keyString(file.get(), "Exec").value_or(""));
            entries.push_back(std::move(entry));
        }
        access->endAccess(folder);
    }

    auto stem = [](const std::string& id) { return id.substr(0, id.size() - 8); };
    auto under = [](const std::string& path, const std::string& dir) {
        return !dir.empty() && paths::isUnder(path, dir);
    };
    std::vector<std::string> ownerQueries;
    bool needFlatpak = false, needSnap = false;
    for (ShownEntry& e : entries) {
        InstalledApp& app = e.app;
        std::error_code ec;
        const std::string real = std::filesystem::canonical(app.path, ec).string();
        if (under(app.path, paths::join(config.flatpakUserDir, "exports")) ||
            under(app.path, paths::join(config.flatpakSystemDir, "exports")) || e.flatpakID) {
            app.source = AppSource::flatpak;
            std::string id = e.flatpakID.value_or(stem(*app.desktopID));
            if (isPackageName(id))
                app.packageName = id;
            if (under(app.path, paths::join(config.flatpakUserDir, "exports")))
                app.installation = "user";
            else if (under(app.path, paths::join(config.flatpakSystemDir, "exports")))
                app.installation = "system";
            needFlatpak = true;
        } else if (under(app.path, config.snapDesktopDir) || e.snapName) {
            app.source = AppSource::snap;
            // snapd names its entries "<snap>_<app>.desktop".
            std::string snap = e.snapName.value_or(stem(*app.desktopID).substr(0, stem(*app.desktopID).find('_')));
            if (isPackageName(snap))
                app.packageName = snap;
            needSnap = true;
        } else if (auto nix = nixStorePackage(ec ? std::string() : real)) {
            app.source = AppSource::nix;
            app.packageName = nix->name;
            if (!app.version)
                app.version = nix->version;
        } else if (!e.program.empty() && e.program.front() == '/' && isAppImageHeader(fileHead(e.program))) {
            app.source = AppSource::appImage;
            app.executable = e.program;
        } else if (!ec) {
            ownerQueries.push_back(real);
        }
    }

    // One query of each tool for all entries that need it.
    if (!ownerQueries.empty()) {
        auto [manager, owners] = packageOwners(ownerQueries);
        for (ShownEntry& e : entries) {
            if (e.app.source != AppSource::manual)
                continue;
            std::error_code ec;
            auto it = owners.find(std::filesystem::canonical(e.app.path, ec).string());
            if (ec || it == owners.end())
                continue;
            e.app.source = AppSource::distributionPackage;
            e.app.packageManager = manager;
            e.app.packageName = it->second.name;
            if (!e.app.version)
                e.app.version = it->second.version;
        }
    }
    if (needFlatpak && Shell::exists("flatpak")) {
        auto records = parseFlatpakList(
            Shell::run("flatpak", {"list", "--app", "--columns=application,origin,installation,version"}).out);
        for (ShownEntry& e : entries) {
            if (e.app.source != AppSource::flatpak || !e.app.packageName)
                continue;
            for (const FlatpakRecord& r : records) {
                if (r.id != *e.app.packageName || (e.app.installation && *e.app.installation != r.installation))
                    continue;
                e.app.origin = r.origin;
                e.app.installation = r.installation;
                if (!e.app.version)
                    e.app.version = r.version;
                break;
            }
        }
    }
    if (needSnap && Shell::exists("snap")) {
        auto records = parseSnapList(Shell::run("snap", {"list"}).out);
        for (ShownEntry& e : entries) {
            if (e.app.source != AppSource::snap || !e.app.packageName)
                continue;
            for (const SnapRecord& r : records) {
                if (r.name != *e.app.packageName)
                    continue;
                e.app.channel = r.channel;
                e.app.classic = r.classic;
                if (!e.app.version)
                    e.app.version = r.version;
            }
        }
    }

    std::vector<InstalledApp> apps;
    apps.reserve(entries.size());
    for (ShownEntry& e : entries)
        apps.push_back(std::move(e.app));
    return apps;
}

// ---- Parsers of the Linux package tools ------------------------------------------------------

bool AppScanner::isPackageName(const std::string& name) {
    if (name.empty() || name.size() > 200 || name[0] == '-' || name[0] == '.')
        return false;
    return std::all_of(name.begin(), name.end(),
                       [](unsigned char c) { return isAsciiAlnum(c) || c == '.' || c == '_' || c == '+' || c == '-'; });
}

std::map<std::string, std::string> AppScanner::parseDpkgOwners(const std::string& output) {
    std::map<std::string, std::string> owners;
    for (const std::string& line : outputLines(output)) {
        if (line.rfind("diversion by ", 0) == 0)
            continue;
        std::size_t sep = line.find(": ");
        if (sep == std::string::npos || sep + 2 >= line.size() || line[sep + 2] != '/')
            continue;
        std::string first = line.substr(0, line.find(", "));
        if (first.size() > sep)
            first = line.substr(0, sep);
        first = first.substr(0, first.find(':'));
        if (isPackageName(first))
            owners.emplace(line.substr(sep + 2), first);
    }
    return owners;
}

std::map<std::string, std::string> AppScanner::parseNameVersionLines(const std::string& output) {
    std::map<std::string, std::string> versions;
    for (const std::string& line : outputLines(output)) {
        auto fields = splitAt(line, '\t');
        if (fields.size() == 2 && isPackageName(fields[0]) && plausibleVersion(fields[1]))
            versions[fields[0]] = fields[1];
    }
    return versions;
}

std::map<std::string, AppScanner::PackageRecord> AppScanner::parsePacmanOwners(const std::string& output) {
    static const std::string owned = " is owned by ";
    std::map<std::string, PackageRecord> owners;
    for (const std::string& line : outputLines(output)) {
        std::size_t at = line.rfind(owned);
        if (at == std::string::npos || line.empty() || line[0] != '/')
            continue;
        auto rest = splitWords(line.substr(at + owned.size()));
        if (rest.size() != 2 || !isPackageName(rest[0]))
            continue;
        owners[line.substr(0, at)] = {rest[0], plausibleVersion(rest[1])};
    }
    return owners;
}

std::vector<AppScanner::FlatpakRecord> AppScanner::parseFlatpakList(const std::string& output) {
    std::vector<FlatpakRecord> records;
    for (const std::string& line : outputLines(output)) {
        auto fields = splitAt(line, '\t');
        if (fields.size() < 3 || fields.size() > 4)
            continue;
        for (std::string& f : fields)
            f = trimBlanks(f);
        if (!isPackageName(fields[0]) || !isPackageName(fields[1]) || !isPackageName(fields[2]))
            continue;
        FlatpakRecord record{fields[0], fields[1], fields[2], std::nullopt};
        if (fields.size() == 4)
            record.version = plausibleVersion(fields[3]);
        records.push_back(std::move(record));
    }
    return records;
}

std::vector<AppScanner::SnapRecord> AppScanner::parseSnapList(const std::string& output) {
    std::vector<SnapRecord> records;
    bool header = true;
    for (const std::string& line : outputLines(output)) {
        auto fields = splitWords(line);
        if (header) {
            header = false;
            if (!fields.empty() && fields[0] == "Name")
                continue;
        }
        // Name Version Rev Tracking Publisher Notes: six columns, every one filled ("-" if empty).
        if (fields.size() != 6 || !isPackageName(fields[0]))
            continue;
        SnapRecord record;
        record.name = fields[0];
        record.version = plausibleVersion(fields[1]);
        if (isChannel(fields[3]))
            record.channel = fields[3];
        for (const std::string& note : splitAt(fields[5], ',')) {
            if (note == "classic")
                record.classic = true;
            if (note == "base" || note == "core" || note == "snapd" || note == "gadget" || note == "kernel")
                record.system = true;
        }
        // The core snaps ("core", "core22"…) and snapd itself, whatever their notes say.
        const bool coreSnap =
            record.name.rfind("core", 0) == 0 && std::all_of(record.name.begin() + 4, record.name.end(),
                                                             [](unsigned char c) { return c >= '0' && c <= '9'; });
        if (record.name == "snapd" || coreSnap)
            record.system = true;
        records.push_back(std::move(record));
    }
    return records;
}

std::optional<AppScanner::PackageRecord> AppScanner::nixStorePackage(const std::string& realPath) {
    static const std::string store = "/nix/store/";
    if (realPath.compare(0, store.size(), store) != 0)
        return std::nullopt;
    std::string entry = realPath.substr(store.size());
    entry = entry.substr(0, entry.find('/'));
    std::size_t dash = entry.find('-');
    if (dash == std::string::npos)
        return std::nullopt;
    entry = entry.substr(dash + 1);
    std::string name = entry;
    std::optional<std::string> version;
    for (std::size_t i = 0; i + 1 < entry.size(); ++i) {
        if (entry[i] == '-' && entry[i + 1] >= '0' && entry[i + 1] <= '9') {
            name = entry.substr(0, i);
            version = plausibleVersion(entry.substr(i + 1));
            break;
        }
    }
    if (!isPackageName(name))
        return std::nullopt;
    return PackageRecord{name, version};
}

bool AppScanner::isAppImageHeader(const Bytes& head) {
    return head.size() >= 11 && head[0] == 0x7F && head[1] == 'E' && head[2] == 'L' && head[3] == 'F' &&
           head[8] == 'A' && head[9] == 'I' && (head[10] == 1 || head[10] == 2);
}

std::string AppScanner::reinstallMarkdown(const std::vector<InstalledApp>& apps) {
    std::map<AppSource, std::vector<const InstalledApp*>> by;
    bool desktopEntries = false;
    for (const InstalledApp& app : apps) {
        by[app.source].push_back(&app);
        desktopEntries = desktopEntries || app.desktopID.has_value();
    }
    const auto& manual = by[AppSource::manual];
    const auto& casks = by[AppSource::homebrewCask];
    const auto& store = by[AppSource::appStore];
    // Text put between backticks must not close them or break the line.
    auto codeSafe = [](const std::string& text) {
        return !text.empty() && std::none_of(text.begin(), text.end(),
                                             [](unsigned char c) { return c == '`' || c < 0x20 || c == 0x7F; });
    };

    std::string md = "# Installed apps\n\n";
    md += std::to_string(apps.size()) + " app(s) found \u00B7 " + std::to_string(manual.size()) +
          " need manual reinstall, " + std::to_string(casks.size()) + " via Homebrew, " + std::to_string(store.size()) +
          " from the App Store";
    // The Linux sources join the summary only when present, so a Mac's guide reads as before.
    const std::pair<AppSource, const char*> linuxCounts[] = {
        {AppSource::distributionPackage, " from distribution packages"},
        {AppSource::flatpak, " from Flatpak"},
        {AppSource::snap, " from Snap"},
        {AppSource::nix, " from Nix"},
        {AppSource::appImage, " AppImage(s)"}};
    for (const auto& [source, words] : linuxCounts)
        if (!by[source].empty())
            md += ", " + std::to_string(by[source].size()) + words;
    md += ".\n";

    if (!manual.empty()) {
        md += "\n## Manual downloads \u2014 redownload these yourself\n\n";
        md += desktopEntries ? "Not from any package manager, so nothing else will bring them back:\n\n"
                             : "Not in Homebrew or the App Store, so nothing else will bring them back:\n\n";
        for (const InstalledApp* app : manual) {
            md += "- **" + app->name + "**";
            if (app->version)
                md += " v" + *app->version;
            if (app->bundleID)
                md += " \u00B7 `" + *app->bundleID + "`";
            else if (app->desktopID && codeSafe(*app->desktopID))
                md += " \u00B7 `" + *app->desktopID + "`";
            md += " \u2014 search: " + std::string(webSearchBase) + guideSearchTerm(app->name) +
                  (app->desktopID ? "+linux+download\n" : "+mac+download\n");
        }
    }

    if (!casks.empty()) {
        md += "\n## Homebrew casks \u2014 covered by `brew bundle --file manifest/Brewfile`\n\n";
        for (const InstalledApp* app : casks)
            md += "- " + app->name + " \u2014 `brew install --cask " + app->caskToken.value_or("") + "`\n";
    }

    if (!store.empty()) {
        md += "\n## App Store \u2014 reinstall from your Purchases (also in manifest/appstore.txt)\n\n";
        for (const InstalledApp* app : store) {
            md += "- " + app->name;
            if (app->version)
                md += " v" + *app->version;
            if (app->appStoreID)
                md += " \u2014 " + std::string(storeWebBase) + "/app/id" + *app->appStoreID;
            md += "\n";
        }
    }

    // Sources whose command brings the app back.
    const std::pair<AppSource, const char*> commandSections[] = {
        {AppSource::distributionPackage, "\n## Distribution packages \u2014 reinstall with the package manager\n\n"},
        {AppSource::flatpak, "\n## Flatpak \u2014 also replayed from manifest/flatpak-apps.txt\n\n"},
        {AppSource::snap, "\n## Snap \u2014 also replayed from manifest/snaps.txt\n\n"},
        {AppSource::nix, "\n## Nix \u2014 or rebuild from your Nix configuration\n\n"}};
    for (const auto& [source, heading] : commandSections) {
        if (by[source].empty())
            continue;
        md += heading;
        for (const InstalledApp* app : by[source]) {
            md += "- " + app->name;
            if (app->version)
                md += " v" + *app->version;
            if (auto command = app->reinstallCommand())
                md += " \u2014 `" + *command + "`";
            md += "\n";
        }
    }

    if (!by[AppSource::appImage].empty()) {
        md += "\n## AppImages \u2014 redownload these yourself\n\n";
        for (const InstalledApp* app : by[AppSource::appImage]) {
            md += "- **" + app->name + "**";
            if (app->version)
                md += " v" + *app->version;
            if (app->executable && codeSafe(*app->executable))
                md += " \u00B7 `" + *app->executable + "`";
            md += " \u2014 search: " + std::string(webSearchBase) + guideSearchTerm(app->name) + "+AppImage+download\n";
        }
    }
    return md;
}

} // namespace stowage
