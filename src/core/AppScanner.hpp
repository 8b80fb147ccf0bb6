#pragma once
// Installed applications and where each can be reinstalled from: the platform's app store, a
// Homebrew cask, or only by downloading it by hand. The same list feeds the audit, the backup's
// apps.json and the reinstall guide apps.md.

#include "core/FileAccess.hpp"

#include <nlohmann/json.hpp>

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace stowage {

// ---- AppSource -------------------------------------------------------------------------------

enum class AppSource { appStore, homebrewCask, manual };

std::string toString(AppSource source);
std::optional<AppSource> appSourceFromString(const std::string& raw);
/// "App Store", "Homebrew cask", "Manual download".
std::string label(AppSource source);

void to_json(nlohmann::json& j, AppSource source);
/// An unknown raw value throws nlohmann::json::exception.
void from_json(const nlohmann::json& j, AppSource& source);

// ---- InstalledApp ----------------------------------------------------------------------------

/// One application bundle; `path` identifies it.
struct InstalledApp {
    /// Bundle folder name without its ".app" suffix.
    std::string name;
    std::optional<std::string> bundleID;
    std::optional<std::string> version;
    /// Absolute path of the bundle folder.
    std::string path;
    AppSource source = AppSource::manual;
    /// Set only for `homebrewCask`.
    std::optional<std::string> caskToken;
    /// Numeric store identifier; set only for `appStore`, and only when known.
    std::optional<std::string> appStoreID;

    /// "brew install --cask <token>" for a cask with a token; absent otherwise.
    std::optional<std::string> caskCommand() const;
    /// The store page (or, without an identifier, a store search) in the store's URL scheme for
    /// store apps, a web search for manual ones, nothing for casks (their command is the way back).
    std::optional<std::string> reinstallURL() const;

    bool operator==(const InstalledApp&) const = default;
};

/// Keys are the field names; optional fields are left out when absent and may be missing on read.
void to_json(nlohmann::json& j, const InstalledApp& app);
void from_json(const nlohmann::json& j, InstalledApp& app);

// ---- AppScanner ------------------------------------------------------------------------------

/// Lists the direct ".app" children of the application folders. Stateless between calls: every
/// file access goes through `access`, every external tool through the shell runner.
struct AppScanner {
    /// Folders searched in order; a leading "~" is expanded. When two folders hold an app of the
    /// same name, the first folder's copy is listed.
    std::vector<std::string> roots;
    FileAccessPtr access;

    /// "/Applications" then "~/Applications".
    static std::vector<std::string> defaultRoots();

    AppScanner(std::vector<std::string> scanRoots, FileAccessPtr fileAccess);
    /// Over the default roots.
    explicit AppScanner(FileAccessPtr fileAccess);

    /// Every app, stably sorted by name (locale-aware, case-insensitive). A set or map left absent
    /// is obtained with brewCaskTokens() or masTrackIDs(); callers that already ran those tools
    /// pass their results in.
    std::vector<InstalledApp>
    scan(const std::optional<std::set<std::string>>& caskTokens = std::nullopt,
         const std::optional<std::map<std::string, std::string>>& masIDs = std::nullopt) const;

    /// Installed cask names from "brew list --cask"; empty when Homebrew is absent.
    static std::set<std::string> brewCaskTokens();
    /// App name → store identifier from "mas list"; empty when the store tool is absent.
    static std::map<std::string, std::string> masTrackIDs();

    /// The text of manifest/apps.md for `apps`, each section in the order of the input list.
    static std::string reinstallMarkdown(const std::vector<InstalledApp>& apps);

    // Pure steps of the above, exposed so that callers holding tool output can reuse them.

    /// Whitespace-separated tokens of a cask listing.
    static std::set<std::string> parseCaskList(const std::string& output);
    /// Lines "<digits> <name> (<version>)"; lines without a numeric identifier or a name are skipped,
    /// and a later line for the same name wins.
    static std::map<std::string, std::string> parseMasList(const std::string& output);
    /// The cask name Homebrew would most likely give an app: lower-cased letters and digits, runs of
    /// spaces, "-" and "_" collapsed to one "-", everything else dropped, no "-" at either end.
    static std::string caskCandidate(const std::string& appName);
    /// Bundle identifier and short version string from an Info.plist in XML or binary form; each is
    /// absent when the data is not a dictionary or the value is not a string.
    static std::pair<std::optional<std::string>, std::optional<std::string>> bundleInfo(const Bytes& plist);
};

} // namespace stowage
