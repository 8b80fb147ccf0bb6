#include "core/AppScanner.hpp"

#include "core/Paths.hpp"
#include "core/Shell.hpp"

#include <plist/plist.h>
#include <unicode/coll.h>
#include <unicode/locid.h>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <memory>

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

} // namespace

// ---- AppSource -------------------------------------------------------------------------------

std::string toString(AppSource source) {
    switch (source) {
    case AppSource::appStore:
        return "appStore";
    case AppSource::homebrewCask:
        return "homebrewCask";
    case AppSource::manual:
        return "manual";
    }
    return {};
}

std::optional<AppSource> appSourceFromString(const std::string& raw) {
    for (AppSource s : {AppSource::appStore, AppSource::homebrewCask, AppSource::manual})
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

std::optional<std::string> InstalledApp::reinstallURL() const {
    switch (source) {
    case AppSource::appStore:
        if (appStoreID)
            return std::string(storeSchemeBase) + "/app/id" + *appStoreID;
        return std::string(storeSchemeBase) + "/search?term=" + encodeQueryValue(name);
    case AppSource::manual:
        return std::string(webSearchBase) + encodeQueryValue(name + " mac download");
    case AppSource::homebrewCask:
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
}

// ---- AppScanner ------------------------------------------------------------------------------

std::vector<std::string> AppScanner::defaultRoots() {
    return {"/Applications", "~/Applications"};
}

AppScanner::AppScanner(std::vector<std::string> scanRoots, FileAccessPtr fileAccess)
    : roots(std::move(scanRoots)), access(std::move(fileAccess)) {}

AppScanner::AppScanner(FileAccessPtr fileAccess) : AppScanner(defaultRoots(), std::move(fileAccess)) {}

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

    const NameCollator collator;
    std::stable_sort(apps.begin(), apps.end(), [&collator](const InstalledApp& a, const InstalledApp& b) {
        return collator.less(a.name, b.name);
    });
    return apps;
}

std::string AppScanner::reinstallMarkdown(const std::vector<InstalledApp>& apps) {
    std::vector<const InstalledApp*> manual, casks, store;
    for (const InstalledApp& app : apps) {
        switch (app.source) {
        case AppSource::manual:
            manual.push_back(&app);
            break;
        case AppSource::homebrewCask:
            casks.push_back(&app);
            break;
        case AppSource::appStore:
            store.push_back(&app);
            break;
        }
    }

    std::string md = "# Installed apps\n\n";
    md += std::to_string(apps.size()) + " app(s) found \u00B7 " + std::to_string(manual.size()) +
          " need manual reinstall, " + std::to_string(casks.size()) + " via Homebrew, " + std::to_string(store.size()) +
          " from the App Store.\n";

    if (!manual.empty()) {
        md += "\n## Manual downloads \u2014 redownload these yourself\n\n";
        md += "Not in Homebrew or the App Store, so nothing else will bring them back:\n\n";
        for (const InstalledApp* app : manual) {
            md += "- **" + app->name + "**";
            if (app->version)
                md += " v" + *app->version;
            if (app->bundleID)
                md += " \u00B7 `" + *app->bundleID + "`";
            md += " \u2014 search: " + std::string(webSearchBase) + guideSearchTerm(app->name) + "+mac+download\n";
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
    return md;
}

} // namespace stowage
