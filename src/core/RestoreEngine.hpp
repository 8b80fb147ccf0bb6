#pragma once
// Puts the contents of a backup folder back onto this machine: config items (plain copies), project
// source trees and the secrets of the encrypted bundle, each on request and each selectively, with
// dry-run previews, a conflict policy, saved copies of what gets replaced, and redirection (a prefix
// for every target; per-path destinations for projects and secrets).
//
// Everything read from the backup folder is treated as foreign: stored paths that could lead a
// read or a write out of where it belongs are refused before anything is written. A backup made
// under another home folder is put back under this machine's home folder.

#include "core/BackupManifest.hpp"
#include "core/ConflictPolicy.hpp"
#include "core/FileAccess.hpp"
#include "core/KDF.hpp"
#include "core/Relocator.hpp"
#include "core/RestoreOutcome.hpp"
#include "core/RestoreWriter.hpp"
#include "core/SecretsBundle.hpp"

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace stowage {

/// Maps a path recorded under the backed-up machine's home folder to the same place under this
/// machine's home folder. Paths outside the recorded home, and every path when the homes are equal
/// or the backup did not record its home, are left as they are.
class HomeMapping {
public:
    HomeMapping() = default;
    HomeMapping(std::optional<std::string> recordedHome, std::string currentHome);
    /// From the manifest's "homeFolder" to paths::homeFolder().
    static HomeMapping forManifest(const BackupManifest& manifest);

    std::string operator()(const std::string& recordedPath) const;
    /// True when some paths are actually moved.
    bool active() const { return from_.has_value(); }
    const std::optional<std::string>& from() const { return from_; }
    const std::string& to() const { return to_; }

private:
    std::optional<std::string> from_;
    std::string to_;
};

/// A set of recorded paths; absent means every entry, an empty set none.
using RestoreSelection = std::optional<std::set<std::string>>;
/// Per-path target overrides, keyed by the recorded path.
using RestoreDestinations = std::optional<std::map<std::string, std::string>>;

class RestoreEngine {
public:
    /// The folder under the backup folder where the application keeps saved copies.
    static constexpr const char* snapshotFolderName = ".stowage-overwritten";
    /// How long opening the secrets waits for this machine's keychain.
    static constexpr double keychainTimeout = 5.0;

    explicit RestoreEngine(FileAccessPtr fileAccess);

    /// Every file-system call goes through it.
    FileAccessPtr access;
    /// Whether config items may be written outside the user's own folders (the home folder and the XDG
    /// config and data folders), such as package sources under /etc. True when this process runs as
    /// root. Without it such an entry is skipped with `needsRoot` set, in dry runs too, and nothing is
    /// attempted there; a prefix puts every target where the user asked, so the rule does not apply.
    bool privileged;
    /// The folder inside `snapshot` that this engine's calls file their saved copies in (the UTC time
    /// it was made, e.g. "20261206T201500Z"): one engine per restore run gives one folder per run,
    /// and a later run never touches an earlier run's copies.
    std::string runName;

    /// Reads dir/backup.json. Throws BackupError::io("no backup.json in " + dir) when it cannot be
    /// read, DecodingError when it is not a manifest, and BackupError::io("unsafe path in
    /// backup.json: " + path) when a recorded or stored path could lead out of where it belongs.
    BackupManifest loadManifest(const std::string& dir) const;

    /// Whether dir/secrets.stowage is sealed with a passphrase; false when it cannot be read.
    bool secretsNeedPassphrase(const std::string& dir) const;

    /// Config items in manifest order (see `privileged` for system files). Files and the files inside folders are handled by
    /// RestoreWriter under `policy` (folders are merged file by file; see RestoreWriter.hpp). An
    /// entry whose stored copy is missing or unreadable gets a `failed` outcome and the others go on.
    /// `snapshot` is the folder holding the per-run folders of saved copies (absent: none are made).
    /// The first failing write ends the call with its error; a stored copy reached through a link
    /// in the backup folder is refused before anything is written.
    std::vector<RestoreOutcome> restoreConfig(const std::string& dir, const RestoreSelection& select,
                                              ConflictPolicy policy, const std::optional<std::string>& snapshot,
                                              const std::optional<std::string>& prefix, bool dryRun) const;

    /// Project trees in manifest order, merged file by file as config folders are. Outcomes carry
    /// the per-file outcomes in `files` (with diffs in a dry run).
    std::vector<RestoreOutcome> restoreProjects(const std::string& dir, const RestoreSelection& select,
                                                ConflictPolicy policy, const std::optional<std::string>& snapshot,
                                                const RestoreDestinations& destinations,
                                                const std::optional<std::string>& prefix, bool dryRun) const;

    /// Secrets in bundle order, each written with exactly its recorded permission bits. The key
    /// comes from the passphrase when given and not empty, else from the recovery code when given
    /// and not empty, else from this machine's keychain.
    std::vector<RestoreOutcome> restoreSecrets(const std::string& dir, const std::optional<SecretString>& passphrase,
                                               const std::optional<SecretString>& recoveryCode,
                                               const RestoreSelection& select, ConflictPolicy policy,
                                               const std::optional<std::string>& snapshot,
                                               const RestoreDestinations& destinations,
                                               const std::optional<std::string>& prefix, bool dryRun) const;

    /// Where each secret of the bundle would go, matched against the repositories found under
    /// `projectRoots` (a leading "~" is expanded). Files that are not project-scoped keep their
    /// recorded path, moved under this machine's home folder when the backup came from another.
    std::vector<RelocationPlan> planRelocations(const std::string& dir, const std::optional<SecretString>& passphrase,
                                                const std::optional<SecretString>& recoveryCode,
                                                const std::vector<std::string>& projectRoots, bool flatten) const;

    // ---- The same from one opening of the bundle, for callers that plan and then restore --------

    /// Opens dir/secrets.stowage with the key chosen as for restoreSecrets. Throws
    /// BackupError::io("no secrets.stowage in " + dir), BackupError::badRecoveryCode (a recovery
    /// code that is not Base64 of 32 bytes, or no key in the keychain), BackupError::decryptFailed,
    /// and BackupError::io("unsafe path in secrets.stowage: " + path) for a recorded path that is not
    /// a plain absolute path or a project placement that would leave its repository.
    BundlePayload openSecrets(const std::string& dir, const std::optional<SecretString>& passphrase,
                              const std::optional<SecretString>& recoveryCode) const;
    std::vector<RelocationPlan> planRelocations(const std::string& dir, const BundlePayload& payload,
                                                const std::vector<std::string>& projectRoots, bool flatten) const;
    std::vector<RestoreOutcome> restoreSecrets(const std::string& dir, const BundlePayload& payload,
                                               const RestoreSelection& select, ConflictPolicy policy,
                                               const std::optional<std::string>& snapshot,
                                               const RestoreDestinations& destinations,
                                               const std::optional<std::string>& prefix, bool dryRun) const;

    // ---- Path rules ------------------------------------------------------------------------------

    /// A path relative to some folder that stays inside it: not empty, no leading "/", no empty or
    /// ".." component, no NUL.
    static bool isSafeRelativePath(const std::string& path);
    /// "/" followed by a safe relative path.
    static bool isSafeAbsolutePath(const std::string& path);

private:
    /// The home mapping of the backup in `dir`: from its manifest when there is one, else none.
    HomeMapping homeMappingOf(const std::string& dir) const;
    /// One config or project entry stored at `source`.
    RestoreOutcome restoreEntry(RestoreWriter& writer, const std::string& recorded, const std::string& storedRelPath,
                                const std::string& source, const std::string& target, const HomeMapping& home) const;
};

/// One report line for the outcomes of one kind, e.g. "Would restore 2 config file(s) · 1 skipped
/// (exists)": written count (neither skipped, unchanged nor failed), then, each only when not 0, the
/// skipped, needs-root, written-beside, saved-copy, unchanged and failed counts (failures inside
/// folders too).
std::string summarize(const std::vector<RestoreOutcome>& outcomes, const std::string& label, bool dry);

} // namespace stowage
