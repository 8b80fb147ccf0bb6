#pragma once
// Installed applications and where each can be reinstalled from: the platform's app store, a
// Homebrew cask, a distribution package, Flatpak, Snap, Nix, or only by downloading it by hand.
// The same list feeds the audit, the backup's apps.json and the reinstall guide apps.md.
//
// Two kinds of installation are read: application bundles (".app" folders) where they exist, and
// on a freedesktop system the desktop entries the desktop itself would show in its app menu. Tool
// output (package owners, flatpak and snap listings) is untrusted: it is parsed strictly, and a
// name that is not a plausible package name is dropped rather than ever reaching a command line.

#include "core/FileAccess.hpp"

#include <nlohmann/json.hpp>

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace stowage {

// ---- AppSource -------------------------------------------------------------------------------

/// The first three are the bundle sources and keep their raw values; the others are the sources of
/// desktop entries. A desktop entry nothing identifies is `manual`, so older readers of apps.json
/// meet a new raw value only for an app that really has a new source.
enum class AppSource { appStore, homebrewCask, manual, distributionPackage, flatpak, snap, appImage, nix };

std::string toString(AppSource source);
std::optional<AppSource> appSourceFromString(const std::string& raw);
/// "App Store", "Homebrew cask", "Manual download", "Distribution package", "Flatpak", "Snap",
/// "AppImage", "Nix".
std::string label(AppSource source);

void to_json(nlohmann::json& j, AppSource source);
/// An unknown raw value throws nlohmann::json::exception.
void from_json(const nlohmann::json& j, AppSource& source);

// ---- InstalledApp ----------------------------------------------------------------------------

/// One application bundle or desktop entry; `path` identifies it.
struct InstalledApp {
    /// Bundle folder name without its ".app" suffix; for a desktop entry its (localized) Name.
    std::string name;
    std::optional<std::string> bundleID;
    std::optional<std::string> version;
    /// Absolute path of the bundle folder or of the desktop entry file.
    std::string path;
    AppSource source = AppSource::manual;
    /// Set only for `homebrewCask`.
    std::optional<std::string> caskToken;
    /// Numeric store identifier; set only for `appStore`, and only when known.
    std::optional<std::string> appStoreID;

    /// Desktop file id ("org.gnome.Terminal.desktop"); set only for desktop entries.
    std::optional<std::string> desktopID;
    /// Distribution package name, Flatpak application id, snap name or Nix package name.
    std::optional<std::string> packageName;
    /// For `distributionPackage`: the package database that owns the entry, "dpkg", "rpm" or "pacman".
    std::optional<std::string> packageManager;
    /// For `flatpak`: the remote it was installed from and its installation ("user" or "system").
    std::optional<std::string> origin;
    std::optional<std::string> installation;
    /// For `snap`: the tracked channel ("latest/stable"), and whether it uses classic confinement.
    std::optional<std::string> channel;
    bool classic = false;
    /// For `appImage`: the AppImage file the entry launches.
    std::optional<std::string> executable;

    /// "brew install --cask <token>" for a cask with a token; absent otherwise.
    std::optional<std::string> caskCommand() const;
    /// The command line that brings the app back, safe to paste into a POSIX shell: the cask
    /// command, "sudo apt-get install -y <pkg>" (dpkg), "sudo dnf install -y <pkg>" (rpm),
    /// "sudo pacman -S --needed <pkg>", "flatpak install -y --user|--system <origin> <id>",
    /// "sudo snap install <name> [--channel=<channel>] [--classic]",
    /// "nix profile install nixpkgs#<name>"; absent when the source has none or a part is unknown.
    std::optional<std::string> reinstallCommand() const;
    /// The store page (or, without an identifier, a store search) in the store's URL scheme for
    /// store apps, a web search for manual ones (" linux download" for desktop entries, " mac
    /// download" for bundles) and AppImages (" AppImage download"), nothing for the others (their
    /// command is the way back).
    std::optional<std::string> reinstallURL() const;

    bool operator==(const InstalledApp&) const = default;
};

/// Keys are the field names; optional fields are left out when absent and may be missing on read;
/// "classic" is written only when true.
void to_json(nlohmann::json& j, const InstalledApp& app);
void from_json(const nlohmann::json& j, InstalledApp& app);

// ---- Desktop entries -------------------------------------------------------------------------

/// Where and how desktop entries are looked up. Every folder is injectable so that tests (and a
/// scan of another system's tree) never depend on the running machine.
struct DesktopEntryRoots {
    /// The "applications" folders in precedence order: for the same desktop file id the earlier
    /// folder's entry wins, even when that entry hides the app.
    std::vector<std::string> applicationFolders;
    /// Flatpak's per-user and system installations (their exports/share/applications folders are
    /// among `applicationFolders`); an entry below one of them is a Flatpak of that installation.
    std::string flatpakUserDir;
    std::string flatpakSystemDir;
    /// snapd's desktop folder; an entry there is a snap.
    std::string snapDesktopDir;
    /// XDG_CURRENT_DESKTOP split at ":", compared case-sensitively with OnlyShowIn / NotShowIn.
    std::vector<std::string> currentDesktops;
    /// Locale names in preference order ("de_DE.UTF-8", "fr"): LANGUAGE's list, then the first set
    /// of LC_ALL, LC_MESSAGES and LANG; "C" and "POSIX" are left out.
    std::vector<std::string> languages;
    /// The search path for a TryExec without a "/"; PATH split at ":".
    std::vector<std::string> searchPath;

    /// From the environment: $XDG_DATA_HOME (else ~/.local/share)/applications, each
    /// $XDG_DATA_DIRS (else /usr/local/share:/usr/share)/applications, the user and system
    /// Flatpak exports ($FLATPAK_SYSTEM_DIR, else /var/lib/flatpak), and snapd's
    /// var/lib/snapd/desktop/applications below $SNAPPY_GLOBAL_ROOT (else "/"); relative entries
    /// are ignored and repeated folders are kept once.
    static DesktopEntryRoots fromEnvironment();
};

// ---- AppScanner ------------------------------------------------------------------------------

/// Lists the direct ".app" children of the application folders and, when `desktop` is set, the
/// desktop entries of its folders. Stateless between calls: every file access goes through
/// `access`, every external tool through the shell runner, batched (one owner query for all
/// entries, one flatpak and one snap listing), and only when an entry needs it.
struct AppScanner {
    /// Folders searched in order; a leading "~" is expanded. When two folders hold an app of the
    /// same name, the first folder's copy is listed.
    std::vector<std::string> roots;
    FileAccessPtr access;
    /// Desktop entries to list besides the bundles; none when absent.
    std::optional<DesktopEntryRoots> desktop;

    /// "/Applications" then "~/Applications".
    static std::vector<std::string> defaultRoots();

    /// Bundles only.
    AppScanner(std::vector<std::string> scanRoots, FileAccessPtr fileAccess);
    /// Over the default roots, and the desktop entries of DesktopEntryRoots::fromEnvironment().
    explicit AppScanner(FileAccessPtr fileAccess);

    /// Every app, stably sorted by name (locale-aware, case-insensitive). A set or map left absent
    /// is obtained with brewCaskTokens() or masTrackIDs(); callers that already ran those tools
    /// pass their results in.
    std::vector<InstalledApp>
    scan(const std::optional<std::set<std::string>>& caskTokens = std::nullopt,
         const std::optional<std::map<std::string, std::string>>& masIDs = std::nullopt) const;

    /// The bundles of `roots`, in folder order.
    std::vector<InstalledApp> scanBundles(const std::optional<std::set<std::string>>& caskTokens,
                                          const std::optional<std::map<std::string, std::string>>& masIDs) const;
    /// The desktop entries the desktop would show, with their sources, in folder order.
    std::vector<InstalledApp> scanDesktopEntries(const DesktopEntryRoots& config) const;

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

    // Parsers of the Linux package tools. Every name they return passed isPackageName.

    struct PackageRecord {
        std::string name;
        std::optional<std::string> version;
        bool operator==(const PackageRecord&) const = default;
    };
    struct FlatpakRecord {
        std::string id;
        std::string origin;
        std::string installation;
        std::optional<std::string> version;
        bool operator==(const FlatpakRecord&) const = default;
    };
    struct SnapRecord {
        std::string name;
        std::optional<std::string> version;
        /// Absent for a snap tracking no channel (installed from a file).
        std::optional<std::string> channel;
        bool classic = false;
        /// A base, core, snapd, gadget or kernel snap: part of the system, not an app.
        bool system = false;
        bool operator==(const SnapRecord&) const = default;
    };

    /// Whether `name` may be used as a package, application, remote or snap name in a command
    /// line: 1 to 200 characters from letters, digits and "._+-", not starting with "-" or ".".
    static bool isPackageName(const std::string& name);
    /// "pkg[:arch][, pkg2…]: /path" lines of "dpkg-query -S" → path → first owning package
    /// (architecture dropped). Diversion lines and lines with an implausible name are skipped.
    static std::map<std::string, std::string> parseDpkgOwners(const std::string& output);
    /// "name<TAB>version" lines (the form of the version queries of dpkg-query and rpm).
    static std::map<std::string, std::string> parseNameVersionLines(const std::string& output);
    /// "<path> is owned by <name> <version>" lines of "pacman -Qo".
    static std::map<std::string, PackageRecord> parsePacmanOwners(const std::string& output);
    /// Tab-separated "id, origin, installation[, version]" lines of
    /// "flatpak list --app --columns=application,origin,installation,version".
    static std::vector<FlatpakRecord> parseFlatpakList(const std::string& output);
    /// The table of "snap list" (Name Version Rev Tracking Publisher Notes; header skipped).
    static std::vector<SnapRecord> parseSnapList(const std::string& output);
    /// The Nix package of a resolved path "/nix/store/<hash>-<name>-<version>/…": the name ends
    /// before the first "-" followed by a digit; absent outside the store or for an implausible name.
    static std::optional<PackageRecord> nixStorePackage(const std::string& realPath);
    /// Whether the first bytes of a file are an AppImage's: an ELF header carrying "AI" and the
    /// type 1 or 2 at offset 8.
    static bool isAppImageHeader(const Bytes& head);
};

/// The words of a line of tool output, split at spaces and tabs (empty words dropped).
std::vector<std::string> splitWords(const std::string& line);

} // namespace stowage
