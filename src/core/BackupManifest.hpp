#pragma once
// The records of a backup folder and of one backup run.
//
// A backup folder is self-describing: backup.json (a BackupManifest) lists every captured item and
// where its copy lies inside the folder; history.json holds the BackupRun of each earlier run,
// newest first. Both are written with the pretty encoder (sorted keys, ISO-8601 UTC dates with
// whole seconds). Readers accept any valid JSON and ignore keys they do not know, so a newer
// writer may add optional keys without breaking older readers.
//
// Folder layout, relative to the backup root:
//   backup.json, secrets.stowage (0600), RESTORE.md, history.json,
//   config/home<rest of the path under the home folder>   config items under the home folder,
//   config/abs/<path with every "/" replaced by "_">      config items elsewhere,
//   projects/<unique name>                                project source trees,
//   manifest/<Brewfile, crontab.txt, ..., apps.md, apps.json>  regenerated reinstall lists.

#include "core/Types.hpp"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace stowage {

/// A stored record could not be decoded: not JSON, a required key missing, or a value of the
/// wrong type. what() is a sentence a user can read, naming the file and the offending key.
class DecodingError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// ---- Records of backup.json ------------------------------------------------------------------

/// One captured config item (file or folder).
struct ConfigEntry {
    /// Absolute path on the machine that was backed up, as the scanner found it.
    std::string originalPath;
    /// Where the copy lies, relative to the backup root; always begins with "config/".
    std::string storedRelPath;

    bool operator==(const ConfigEntry&) const = default;
};

/// One captured project source tree.
struct ProjectEntry {
    /// Absolute path of the project folder on the backed-up machine.
    std::string originalPath;
    /// "projects/" + name.
    std::string storedRelPath;
    /// The folder name inside projects/, unique within its run ("app", "app-2", ...).
    std::string name;

    bool operator==(const ProjectEntry&) const = default;
};

/// One file a run stored in the folder (config, project or reinstall-list copy), as that run
/// left it, so a reader can tell a damaged or missing copy from a good one.
struct StoredFile {
    /// Relative to the backup root ("config/home/.zshrc").
    std::string path;
    std::int64_t size = 0;
    /// SHA-256 of the content, 64 lower-case hex digits.
    std::string sha256;

    bool operator==(const StoredFile&) const = default;
};

/// The content of backup.json: what the latest run captured.
struct BackupManifest {
    static constexpr int currentVersion = 1;

    int version = currentVersion;
    /// The moment the manifest was built; stored with whole seconds.
    Timestamp createdAt{};
    /// Every captured config item, in capture order.
    std::vector<ConfigEntry> configs;
    /// Folder-relative paths of the regenerated manifest files ("manifest/Brewfile", ...), in the
    /// order they were produced.
    std::vector<std::string> manifests;
    /// True exactly when this run wrote secrets.stowage.
    bool hasSecrets = false;
    /// Absolute paths of the sealed secret files, in bundle order; empty without secrets.
    std::vector<std::string> secretPaths;
    /// The captured projects; absent (no "projects" key) when the run captured none. An empty
    /// list read from a file stays an empty list.
    std::optional<std::vector<ProjectEntry>> projects;
    /// The backed-up machine's home folder, so a restore can put files back under another home.
    /// Optional: manifests from before it was recorded lack it.
    std::optional<std::string> homeFolder;
    /// Size and SHA-256 (lower-case hex) of secrets.stowage as this run wrote it; absent without a
    /// bundle and in manifests from before they were recorded.
    std::optional<std::int64_t> secretsSize;
    std::optional<std::string> secretsSha256;
    /// Every file this run holds in config/, projects/ and manifest/, sorted by path. Absent in
    /// manifests from before it was recorded; then only the entries' presence can be checked.
    /// Files inside config/ and projects/ that are not listed are not part of the backup.
    std::optional<std::vector<StoredFile>> storedFiles;

    bool operator==(const BackupManifest&) const = default;

    /// The pretty-encoded text of backup.json. Throws BackupError (io) when a recorded path or
    /// name is not valid UTF-8, since JSON cannot carry it faithfully.
    std::string encode() const;
    /// Reads backup.json. Every key except "projects", "homeFolder", "secretsSize",
    /// "secretsSha256" and "storedFiles" is required; a missing or mistyped one makes the whole
    /// manifest unreadable (DecodingError).
    static BackupManifest decode(const std::string& text);
};

/// Whether a stored relative path read from a backup folder stays inside the folder: not empty,
/// not absolute, without an empty or ".." component and without a NUL. Readers of a backup refuse
/// any other path, since backup.json may come from anywhere.
bool isSafeStoredPath(const std::string& relPath);

/// The largest backup.json, history.json or other stored JSON file that is read (256 MiB): a
/// hostile or damaged file larger than that is treated as unreadable instead of filling memory.
inline constexpr std::int64_t maxStoredJsonBytes = std::int64_t{256} << 20;

/// SHA-256 of `data` as 64 lower-case hex digits.
std::string sha256Hex(const Bytes& data);

// ---- Records of history.json -----------------------------------------------------------------

/// One run in history.json; identified by its createdAt.
struct BackupRun {
    /// The same moment as the run's manifest createdAt.
    Timestamp createdAt{};
    std::int64_t configCount = 0;
    std::int64_t secretCount = 0;
    std::int64_t manifestCount = 0;
    /// Size of the backup folder at the end of the run.
    std::int64_t totalBytes = 0;
    /// The bundle of that run was sealed with a passphrase.
    bool usedPassphrase = false;

    Timestamp id() const { return createdAt; }
    bool operator==(const BackupRun&) const = default;
};

/// The pretty-encoded text of history.json.
std::string encodeHistory(const std::vector<BackupRun>& runs);
/// Reads history.json: a list of runs in stored order. Throws DecodingError when it is damaged.
std::vector<BackupRun> decodeHistory(const std::string& text);

// ---- What one run takes and returns ----------------------------------------------------------

/// What one backup run includes. Callers set every field; the zero values below only keep an
/// accidentally half-filled record from including more than asked.
struct BackupOptions {
    bool includeSecrets = false;
    bool includeConfig = false;
    /// Regenerate the reinstall lists and the installed-apps lists.
    bool includeManifests = false;
    /// When present, only secret and config paths in this set are captured.
    std::optional<std::set<std::string>> selectedPaths;
    /// Absolute project folders whose source tree is copied.
    std::set<std::string> projectSources;
    /// Keep the .git folder when copying project sources.
    bool includeProjectGitHistory = false;
    /// Glob patterns; a matching path is not captured.
    std::vector<std::string> excludeGlobs;
    /// Leave an existing copy alone when its content is unchanged.
    bool incremental = false;
    /// When present and not empty, the bundle is sealed with it instead of a random key.
    std::optional<std::string> passphrase;
    /// Draw a new random key even when the keychain holds the one this folder's bundle opens with.
    bool newKey = false;
    /// Unattended runs: seal only with the keychain's key, and refuse before anything is written
    /// when there is none or it does not open the folder's bundle, rather than leave a backup that
    /// the user's saved recovery code cannot open.
    bool requireKeptKey = false;
};

/// The summary a backup run returns; fields fill in as the run proceeds.
struct BackupResult {
    explicit BackupResult(std::string backupRoot) : outputDir(std::move(backupRoot)) {}

    /// The absolute backup folder.
    std::string outputDir;
    std::optional<std::string> secretsBundlePath;
    /// Present only when the bundle was sealed with a random key.
    std::optional<std::string> recoveryCode;
    bool keyStoredInKeychain = false;
    /// With a random key: true when it is a new one, so recovery codes saved before this run no
    /// longer open this folder's secrets; false when the keychain's key was kept and the code saved
    /// earlier still opens them.
    bool newKey = false;
    /// Stored relative paths of the captured config items ("config/...").
    std::vector<std::string> configFiles;
    /// Stored relative paths of the captured projects ("projects/<name>").
    std::vector<std::string> projectsBackedUp;
    /// Folder-relative manifest files; the same list as the manifest's.
    std::vector<std::string> manifests;
    /// Paths sealed into the bundle.
    std::vector<std::string> capturedSecrets;
    /// Selected secret paths the bundle left out.
    std::vector<std::string> skippedSecrets;
    /// Config files left alone because their copy was already identical.
    int unchangedFiles = 0;
    int installedApps = 0;
    /// Applications that only a manual download brings back.
    int manualApps = 0;
    bool usedPassphrase = false;
    /// Size of the backup folder after RESTORE.md was written.
    std::int64_t totalBytes = 0;
    /// Non-fatal problems, in the order they occurred.
    std::vector<std::string> warnings;
    /// Selected items (written with "~") that this run could not back up fully: a copy that could
    /// not be written, a file or folder that could not be read, a name JSON cannot carry, a secret
    /// left out of the bundle. Each also has a warning. The backup is kept all the same.
    std::vector<std::string> incompleteItems;

    /// True when every selected item was backed up fully.
    bool complete() const { return incompleteItems.empty(); }
    bool operator==(const BackupResult&) const = default;
};

/// What verifying a backup folder found.
struct VerifyReport {
    int checkedConfigs = 0;
    int checkedSecrets = 0;
    /// Stored files whose size and SHA-256 were checked.
    int checkedFiles = 0;
    /// Problems in the order found.
    std::vector<std::string> issues;

    bool ok() const { return issues.empty(); }
    bool operator==(const VerifyReport&) const = default;
};

// ---- JSON ------------------------------------------------------------------------------------
// Keys are exactly the field names; optional fields are left out when absent. Decoding is strict
// about the keys it needs (DecodingError naming the key) and ignores every other key.

void to_json(nlohmann::json& j, const ConfigEntry& entry);
void from_json(const nlohmann::json& j, ConfigEntry& entry);
void to_json(nlohmann::json& j, const ProjectEntry& entry);
void from_json(const nlohmann::json& j, ProjectEntry& entry);
void to_json(nlohmann::json& j, const StoredFile& file);
void to_json(nlohmann::json& j, const BackupManifest& manifest);
void from_json(const nlohmann::json& j, BackupManifest& manifest);
void to_json(nlohmann::json& j, const BackupRun& run);
void from_json(const nlohmann::json& j, BackupRun& run);
/// For machine-readable output; the recovery code is included when present.
void to_json(nlohmann::json& j, const BackupResult& result);
/// For machine-readable output; carries the derived "ok" beside the three fields.
void to_json(nlohmann::json& j, const VerifyReport& report);

} // namespace stowage
