// BackupEngine: one backup run into one folder.
//
// Invariants, and what a run leaves behind when it stops part-way:
//
// - Access. The backup root is opened with beginAccess once; from the moment that succeeds, exactly
//   one endAccess follows on every way out of run(), returned or thrown (an RAII guard holds it).
//   Sources are read under whatever access the caller already holds.
//
// - Copies. Config items and project trees are copied file by file with the atomic write, so each
//   copy is either its old content or its new content, never a torn mix. A run updates the folder
//   in place, and a copy that cannot be written or whose source cannot be read keeps its earlier
//   content, is reported as a warning naming its item, and puts the item in incompleteItems; it
//   is never silently passed over. A file or folder name that backup.json cannot carry (not
//   UTF-8) is left out the same way. A project file that the run seals in the bundle is not
//   copied in plain text.
//   One thread walks the sources and decides, in a fixed order, what is copied (limits, prunes,
//   excludes); a few writer threads compare and write the copies, so the result and its warnings
//   are the same whatever order the writes finish in. Every copy of a phase is finished before the
//   phase records what exists, and before any essential file is written.
//
// - Essential files. secrets.stowage, backup.json and RESTORE.md describe one backup together: the
//   manifest names the bundle's files and the guide is built from the manifest. They are produced
//   in full in memory first (the bundle sealed, the manifest encoded, the guide rendered) and only
//   then written, each atomically, in the order backup.json, RESTORE.md, secrets.stowage. When any
//   of these writes fails, the ones already made are put back to their previous bytes (or removed
//   when there were none) before the error propagates, so a failed run leaves the previous backup's
//   manifest, guide and bundle as they were: complete and restorable with the previous key. The
//   bundle goes last because it is the one file a later reader cannot do without; a crash between
//   the writes leaves a newer manifest beside the older, still openable bundle.
//
// - What the backup holds. backup.json lists the size and SHA-256 of every file the run holds in
//   config/, projects/ and manifest/ (copied, left unchanged, or kept from an earlier run as
//   above) and of the bundle; the digest of a copy is the one computed to compare it, never a
//   second pass. Only after the essential files are written are the files and folders in
//   config/ and projects/ that the new manifest does not hold removed (copies of items no longer
//   selected, excluded or deleted, and links nobody made), so a failed run removes nothing. Since
//   copies are refreshed in place, a run that fails at the commit leaves the previous manifest
//   beside copies it no longer describes; verify names them. The folder and its own folders are
//   0700 and backup.json, RESTORE.md, secrets.stowage and history.json 0600, whatever the umask.
//
// - Keys. The keychain holds one random key, and a recovery code is only worth saving if it keeps
//   opening the folder it was shown for. So a run without a passphrase keeps the keychain's key when
//   that key opens the folder's current raw-key bundle, or when the folder holds no bundle yet (one
//   code then opens every folder this user backs up with it, and the keychain keeps opening them
//   all). It draws a new key when asked to (newKey), when the keychain has no key, or when the
//   folder's bundle is a passphrase bundle or one the keychain's key does not open (its code, if
//   any, is not ours to keep); the result then says that earlier codes no longer open the backup.
//   A kept key is not stored again. A new key is stored before the new bundle replaces the old one,
//   so there is no moment at which the bundle on disk can be opened by nobody (the previous bundle
//   still opens with the recovery code the user saved last time). When the run then fails, the
//   keychain gets the previous key back.
//
// - History. history.json is appended only after the essential files are in place; its failures
//   never fail the run.

#include "core/BackupEngine.hpp"

#include "core/BackupError.hpp"
#include "core/BackupLock.hpp"
#include "core/Glob.hpp"
#include "core/Json.hpp"
#include "core/KDF.hpp"
#include "core/Log.hpp"
#include "core/ManifestExport.hpp"
#include "core/Paths.hpp"
#include "core/SecretsBundle.hpp"
#include "core/Verify.hpp"
#include "core/Wording.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <future>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <unordered_set>

namespace stowage {

namespace {

/// The backup folder and its own folders, and the files that describe the backup: owner only.
constexpr std::uint16_t privateFolder = 0700;
constexpr std::uint16_t privateFile = 0600;
/// An essential file of the previous backup larger than this is not held in memory to be put
/// back; a failed run then leaves whatever the failed write left.
constexpr std::int64_t maxPreviousBytes = std::int64_t{4} << 30;

/// `path` (below `root`) relative to `root`.
std::string relativeTo(const std::string& root, const std::string& path) {
    if (!paths::isUnder(path, root) || path.size() <= root.size())
        return {};
    return root == "/" ? path.substr(1) : path.substr(root.size() + 1);
}

/// Adds a relative path and every folder on the way to it.
void keepWithAncestors(std::string path, std::set<std::string>& keep) {
    while (!path.empty() && keep.insert(path).second) {
        auto slash = path.rfind('/');
        if (slash == std::string::npos)
            break;
        path.resize(slash);
    }
}

/// Ends access to the backup root exactly once, however run() is left.
class AccessGuard {
public:
    AccessGuard(FileAccessProvider& access, std::string root) : access_(access), root_(std::move(root)) {}
    ~AccessGuard() {
        try {
            access_.endAccess(root_);
        } catch (...) {
            // Ending access has nothing to report; a throw here must not replace the run's error.
        }
    }
    AccessGuard(const AccessGuard&) = delete;
    AccessGuard& operator=(const AccessGuard&) = delete;

private:
    FileAccessProvider& access_;
    std::string root_;
};

/// One essential file of the commit, with what was there before it so a failure can put it back.
struct PendingWrite {
    PendingWrite(std::string filePath, Bytes bytes, std::optional<std::uint16_t> fileMode)
        : path(std::move(filePath)), data(std::move(bytes)), mode(fileMode) {}

    std::string path;
    Bytes data;
    std::optional<std::uint16_t> mode;
    bool existedBefore = false;
    std::optional<Bytes> previous;
    std::uint16_t previousMode = 0600;
    bool attempted = false;
};

void restorePrevious(FileAccessProvider& access, const PendingWrite& file) {
    try {
        if (file.previous)
            access.write(*file.previous, file.path, file.previousMode);
        else if (!file.existedBefore)
            access.remove(file.path);
        // A file that existed but could not be read is left alone: removing it would lose it.
    } catch (...) {
        // Best effort: the original error is what the caller needs to see.
    }
}

std::string limitWarning(const std::string& label, int count, std::int64_t maxBytes) {
    return label + ": " + std::to_string(count) + " file(s) over " + std::to_string(maxBytes / 1'000'000) +
           "MB skipped";
}

std::string truncatedWarning(const std::string& label, int maxFiles) {
    return label + ": truncated at " + std::to_string(maxFiles) + " files";
}

/// The manifest and the bundle are JSON, which carries only valid UTF-8; a path that is not
/// cannot be recorded faithfully and is left out with a warning instead of failing the run.
bool recordable(const std::string& path, const std::string& label, std::vector<std::string>& warnings) {
    if (json::isValidUtf8(path))
        return true;
    warnings.push_back(json::validUtf8(label) + ": name is not valid UTF-8 \u2014 not backed up");
    return false;
}

Timestamp wholeSeconds(Timestamp t) {
    return std::chrono::time_point_cast<std::chrono::seconds>(t);
}

} // namespace

const std::set<std::string>& BackupEngine::configPrune() {
    // Editor state that grows without bound inside captured settings folders: VS Code profiles keep
    // per-extension storage, Sublime Text's Packages/User keeps Package Control's download cache.
    // clang-format off
    static const std::set<std::string> names{"caches", "Caches",  "log",          "logs",        "tmp",  "temp",
                                             "Daemon", "bundles", "node_modules", "DerivedData", "port", "index",
                                             "system", "eval",    "jdbc-drivers", ".DS_Store",
                                             "globalStorage", "workspaceStorage", "Package Control.cache"};
    // clang-format on
    return names;
}

const std::set<std::string>& BackupEngine::projectPrune() {
    static const std::set<std::string> names{"node_modules", "Pods",        "build", "dist",    "target",
                                             "vendor",       "DerivedData", ".next", "venv",    ".venv",
                                             "__pycache__",  ".gradle",     ".tox",  "Carthage"};
    return names;
}

BackupEngine::BackupEngine(FileAccessPtr fileAccess, ProgressHandler progressHandler)
    : access(std::move(fileAccess)), progress(std::move(progressHandler)) {}

void BackupEngine::report(const std::string& stage) const {
    if (progress)
        progress(stage);
}

VerifyReport BackupEngine::verify(const std::string& dir) const {
    return stowage::verify(dir, *access);
}

namespace {

/// Whether the keychain's key may be kept for the bundle at `path`: nothing is there yet, or what is
/// there is a raw-key bundle that this key opens.
bool opensFolderBundle(const SymmetricKey& key, const std::string& path, const FileAccessProvider& access) {
    if (!access.exists(path) && !access.info(path))
        return true;
    std::optional<Bytes> blob = access.read(path);
    if (!blob || SecretsBundle::isPassphraseBundle(*blob))
        return false;
    try {
        Bytes plaintext = SecretsBundle::gcmOpenCombined(key, blob->data(), blob->size());
        wipeBytes(plaintext);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

/// What the reinstall-list step produces, filled by the thread that runs it: `result` carries its
/// manifests (tool lists first, then the app list), app counts and warnings.
struct ReinstallLists {
    explicit ReinstallLists(std::string root) : backupRoot(std::move(root)), result(backupRoot) {}
    std::string backupRoot;
    BackupResult result;
};

/// Runs the reinstall-list tools and the app scan for `lists` on a thread of their own; runs them
/// here when no thread can be started. The future is ready once both are done; it rethrows what
/// they threw (both catch their own failures, so only exhaustion can reach it). `lists` and
/// `access` must outlive the future, whose destructor waits for the work.
std::future<void> startReinstallLists(ReinstallLists& lists, const FileAccessPtr& access) {
    auto work = [&lists, access] {
        lists.result.manifests = exportManifests(lists.backupRoot, *access, lists.result.warnings);
        exportInstalledApps(lists.backupRoot, access, lists.result);
    };
    try {
        return std::async(std::launch::async, work);
    } catch (const std::system_error&) {
        std::promise<void> done;
        work();
        done.set_value();
        return done.get_future();
    }
}

} // namespace

std::vector<BackupRun> BackupEngine::history(const std::string& dir) const {
    return stowage::history(dir, *access);
}

BackupResult BackupEngine::run(const Inventory& inventory, const std::string& to, const BackupOptions& options) const {
    const std::string root = paths::expandRoot(to);
    if (!access->beginAccess(root))
        throw BackupError::io("no access to " + paths::abbreviateHome(root));
    AccessGuard guard(*access, root);

    const std::string bundlePath = paths::join(root, "secrets.stowage");
    std::optional<SymmetricKey> keptKey;
    const bool anySecret =
        std::any_of(inventory.findings.begin(), inventory.findings.end(),
                    [](const Finding& finding) { return finding.rule.tier == Tier::secret && !finding.paths.empty(); });
    if (options.requireKeptKey && options.includeSecrets && anySecret &&
        !(options.passphrase && !options.passphrase->empty())) {
        keptKey = BundleKey::loadFromKeychain(keychainTimeout);
        if (!keptKey)
            throw BackupError::io(wording::localized(
                "there is no backup key in the Keychain, so this unattended backup cannot seal secrets that "
                "your saved recovery code opens. Run `stowage backup` once by hand first."));
        if (!opensFolderBundle(*keptKey, bundlePath, *access))
            throw BackupError::io(wording::localized(
                "the Keychain's backup key does not open the secrets already in " + paths::abbreviateHome(root) +
                ", so this unattended backup stopped. Run `stowage backup` once by hand (it shows the new "
                "recovery code)."));
    }

    // The folder holds private keys' neighbours and the list of what is secret: owner only,
    // whatever the umask, and tightened when an earlier version or the user left it wider.
    access->createDirectory(root, privateFolder);
    // Held until the run returns or throws; a second run on the same folder is refused here,
    // before it has touched anything.
    const BackupLock lock(root);
    BackupJournal journal(root);

    BackupResult result(root);
    BackupManifest manifest;
    manifest.homeFolder = paths::homeFolder();
    std::vector<StoredFile> storedFiles; // absolute paths until the manifest is built
    std::vector<std::string> madeFolders;
    std::set<std::string> entryPaths; // stored paths of the entries, relative

    // The reinstall lists and the app list ask other programs and write only into manifest/, which
    // no copy touches, so they run beside the copies; their results and warnings are put in place
    // after the copies, ahead of the copies' warnings, as if they had run first.
    ReinstallLists lists(root);
    std::future<void> listing;
    if (options.includeManifests) {
        try {
            access->createDirectoryBeneath(root, paths::join(root, "manifest"), privateFolder);
        } catch (...) {
            // Each list's write then reports what could not be made.
        }
        report("Regenerating reinstall lists and listing installed apps\u2026");
        listing = startReinstallLists(lists, access);
    }

    auto absorb = [&](Copied& copied) {
        std::move(copied.files.begin(), copied.files.end(), std::back_inserter(storedFiles));
        std::move(copied.folders.begin(), copied.folders.end(), std::back_inserter(madeFolders));
        std::move(copied.incomplete.begin(), copied.incomplete.end(), std::back_inserter(result.incompleteItems));
    };

    if (options.includeConfig) {
        auto copied = copyConfig(inventory.findingsIn(Tier::config), root, options, journal, result.warnings);
        result.configFiles = std::move(copied.storedPaths);
        manifest.configs = std::move(copied.entries);
        result.unchangedFiles = copied.unchanged;
        absorb(copied);
        for (const auto& entry : manifest.configs)
            entryPaths.insert(entry.storedRelPath);
    }

    // The secret files are chosen before projects are copied: a file sealed in the bundle is left
    // out of the plain project copy (restore puts it back from the bundle). Their warnings still
    // follow the project warnings.
    std::vector<std::string> secretFiles;
    std::vector<std::string> secretWarnings;
    if (options.includeSecrets) {
        std::vector<std::string> selected;
        for (const auto& finding : inventory.findingsIn(Tier::secret))
            for (const auto& found : finding.paths) {
                if (Glob::matchesAny(found.path, options.excludeGlobs))
                    continue;
                if (options.selectedPaths && options.selectedPaths->count(found.path) == 0)
                    continue;
                selected.push_back(found.path);
            }
        if (!selected.empty()) {
            report("Collecting secrets\u2026");
            secretFiles = expandSecretFolders(selected, options.excludeGlobs, secretWarnings, result.incompleteItems);
        }
    }

    if (!options.projectSources.empty()) {
        std::set<std::string> sources;
        for (const auto& source : options.projectSources)
            sources.insert(normalizedProject(source));
        const std::set<std::string> sealed(secretFiles.begin(), secretFiles.end());
        auto copied = copyProjects(sources, root, options, sealed, journal, result.warnings);
        result.projectsBackedUp = std::move(copied.storedPaths);
        absorb(copied);
        for (const auto& entry : copied.entries)
            entryPaths.insert(entry.storedRelPath);
        if (!copied.entries.empty())
            manifest.projects = std::move(copied.entries);
    }
    result.warnings.insert(result.warnings.end(), secretWarnings.begin(), secretWarnings.end());

    if (listing.valid()) {
        listing.get();
        result.manifests = std::move(lists.result.manifests);
        result.installedApps = lists.result.installedApps;
        result.manualApps = lists.result.manualApps;
        result.warnings.insert(result.warnings.begin(), lists.result.warnings.begin(), lists.result.warnings.end());
        for (const auto& list : result.manifests) {
            const std::string path = paths::join(root, list);
            if (auto bytes = access->readAtMost(path, maxStoredJsonBytes, nullptr))
                storedFiles.push_back(StoredFile{path, static_cast<std::int64_t>(bytes->size()), sha256Hex(*bytes)});
        }
    }

    // Secrets are sealed now and written in the commit below.
    std::optional<Bytes> sealedBundle;
    std::optional<SymmetricKey> randomKey;
    std::optional<SymmetricKey> keychainKey;
    {
        const std::vector<std::string>& files = secretFiles;
        if (!files.empty()) {
            const bool usePassphrase = options.passphrase && !options.passphrase->empty();
            if (!usePassphrase) {
                report("Reading the key from the keychain\u2026");
                keychainKey = keptKey ? keptKey : BundleKey::loadFromKeychain(keychainTimeout);
                result.newKey = !keptKey && (options.newKey || !keychainKey ||
                                             !opensFolderBundle(*keychainKey, bundlePath, *access));
            }
            SymmetricKey key = result.newKey || usePassphrase ? BundleKey::generate() : *keychainKey;
            report("Sealing secrets\u2026");
            KeySource source = usePassphrase
                                   ? KeySource::passphrase(SecretString(std::string_view(*options.passphrase)))
                                   : KeySource::rawKey(key);
            auto sealed = SecretsBundle::seal(files, source, *access);
            sealedBundle = std::move(sealed.blob);
            result.secretsBundlePath = paths::join(root, "secrets.stowage");
            result.capturedSecrets = sealed.included;
            result.skippedSecrets = std::move(sealed.skipped);
            manifest.hasSecrets = true;
            manifest.secretPaths = std::move(sealed.included);
            manifest.secretsSize = static_cast<std::int64_t>(sealedBundle->size());
            manifest.secretsSha256 = sha256Hex(*sealedBundle);
            for (const auto& skipped : result.skippedSecrets)
                result.incompleteItems.push_back(json::validUtf8(paths::abbreviateHome(skipped)));
            if (usePassphrase) {
                result.usedPassphrase = true;
            } else {
                result.recoveryCode = BundleKey::recoveryCode(key).str();
                randomKey = std::move(key);
            }
        }
    }

    manifest.createdAt = wholeSeconds(std::chrono::system_clock::now());
    manifest.manifests = result.manifests;
    const Timestamp now = manifest.createdAt;

    // What the folder holds for this run, relative and sorted; the copies' cleanup keeps exactly
    // these files and the folders on the way to them, the entries and the folders this run made.
    std::map<std::string, StoredFile> byPath;
    for (auto& file : storedFiles) {
        file.path = relativeTo(root, file.path);
        byPath[file.path] = std::move(file);
    }
    manifest.storedFiles.emplace();
    std::set<std::string> keep;
    for (auto& [path, file] : byPath) {
        keepWithAncestors(path, keep);
        manifest.storedFiles->push_back(std::move(file));
    }
    for (const auto& path : entryPaths)
        keepWithAncestors(path, keep);
    for (const auto& folder : madeFolders)
        keepWithAncestors(relativeTo(root, folder), keep);

    // Everything essential is produced before anything essential is replaced.
    std::vector<PendingWrite> commit;
    commit.emplace_back(paths::join(root, "backup.json"), toBytes(manifest.encode()), privateFile);
    commit.emplace_back(paths::join(root, "RESTORE.md"), toBytes(restoreGuide(manifest)), privateFile);
    if (sealedBundle)
        commit.emplace_back(paths::join(root, "secrets.stowage"), std::move(*sealedBundle), privateFile);
    for (auto& file : commit) {
        if (auto info = access->info(file.path)) {
            file.existedBefore = true;
            file.previousMode = info->posixPermissions;
            // A previous file too large to hold is left alone on failure rather than removed.
            file.previous = access->readAtMost(file.path, maxPreviousBytes, nullptr);
        }
    }

    // The keychain copy of a new random key, before the bundle it opens is on disk (see the note
    // above); a kept key is already there.
    const std::optional<SymmetricKey>& previousKeychainKey = keychainKey;
    bool storedNewKey = false;
    if (randomKey && !result.newKey) {
        result.keyStoredInKeychain = true;
    } else if (randomKey) {
        report("Storing the key in the keychain\u2026");
        result.keyStoredInKeychain = storedNewKey = BundleKey::storeInKeychain(*randomKey, keychainTimeout);
        if (!result.keyStoredInKeychain)
            result.warnings.push_back(wording::localized(
                "Could not store key in Keychain \u2014 the recovery code is your only way back in. Save it."));
    }

    // The bundle about to be replaced stays acceptable to verify, so a run that dies between
    // writing backup.json and the bundle leaves a folder that still verifies and opens.
    if (sealedBundle) {
        const std::string bundle = paths::join(root, "secrets.stowage");
        if (auto info = access->info(bundle); info && !info->isDirectory && !info->isSymlink) {
            auto old = access->readAtMost(bundle, info->size, nullptr);
            if (!old)
                throw BackupError::io("cannot read the current secrets.stowage before replacing it");
            journal.record(bundle, static_cast<std::int64_t>(old->size()), sha256Hex(*old));
        }
    }

    report("Writing backup.json and RESTORE.md\u2026");
    try {
        for (auto& file : commit) {
            // A write that throws may still have replaced the file, so it is put back as well.
            file.attempted = true;
            access->write(file.data, file.path, file.mode);
        }
    } catch (...) {
        for (auto it = commit.rbegin(); it != commit.rend(); ++it)
            if (it->attempted)
                restorePrevious(*access, *it);
        if (storedNewKey && previousKeychainKey)
            BundleKey::storeInKeychain(*previousKeychainKey, keychainTimeout);
        throw;
    }

    journal.finish();

    // Only now that the new manifest is in place: copies it does not list are no longer part of
    // the backup, and a deleted file or an excluded secret must not linger or come back.
    report("Removing copies no longer backed up\u2026");
    removeUnlisted(root, keep, result.warnings);

    report("Measuring the backup\u2026");
    result.totalBytes = directorySize(root);
    appendHistory(root, now, result, *access);

    Log::backup().info(Log::backupComplete(static_cast<long>(result.configFiles.size()),
                                           static_cast<long>(result.capturedSecrets.size())));
    return result;
}

// ---- Copies ----------------------------------------------------------------------------------------

/// One copyTree call: its limits, what the walk decided and what the writers found.
struct BackupEngine::TreeCopy {
    TreeCopy(std::string itemLabel, int files, std::int64_t bytes, bool git, bool isIncremental)
        : label(std::move(itemLabel)), maxFiles(files), maxBytes(bytes), keepGit(git), incremental(isIncremental) {}

    const std::string label;
    const int maxFiles;
    const std::int64_t maxBytes;
    const bool keepGit;
    const bool incremental;

    // Decided by the walk. A file handed to the writers counts toward maxFiles even when its write
    // later fails, so the set of files a run attempts never depends on the writers' timing.
    int filesDone = 0;
    bool truncated = false;
    int oversize = 0;

    /// Files this run seals into the bundle; left out of a project copy.
    const std::set<std::string>* leaveOut = nullptr;
    int unreadable = 0;               // files or folders the walk could not read
    int unrecordable = 0;             // names that are not valid UTF-8
    std::vector<std::string> folders; // made by the walk, absolute

    // Counted by the writers.
    std::atomic<int> unchanged{0};
    std::atomic<int> failed{0};
    /// Folders of the copy that could not be made with their permission bits (walk thread only).
    int foldersFailed = 0;

    /// Records a file the folder holds for this run; called from any thread.
    void record(StoredFile file) {
        std::lock_guard lock(storedMutex);
        stored.push_back(std::move(file));
    }

    /// When this run could not replace what is at `path` (unreadable source, failed write), the
    /// earlier copy there stays part of the backup instead of being removed as unlisted.
    void keepEarlier(const FileAccessProvider& access, const std::string& path) {
        auto info = access.info(path);
        if (!info || info->isSymlink)
            return;
        if (info->isDirectory) {
            for (const auto& child : access.children(path))
                keepEarlier(access, child);
            return;
        }
        if (auto bytes = access.readAtMost(path, maxBytes, nullptr))
            record(StoredFile{path, static_cast<std::int64_t>(bytes->size()), sha256Hex(*bytes)});
    }

    /// Every file copied or kept; the writers must be done.
    std::vector<StoredFile> takeStored() {
        std::lock_guard lock(storedMutex);
        return std::move(stored);
    }

    /// Whether everything the walk met was backed up (limits aside, which are choices).
    bool complete() const { return failed == 0 && unreadable == 0 && unrecordable == 0 && foldersFailed == 0; }

    /// Hands what the copy found to its phase: warnings in their fixed order, the files and
    /// folders the folder holds for it, and its label when it was not backed up fully.
    void collectInto(Copied& copied, std::vector<std::string>& warnings) {
        appendWarnings(warnings);
        auto files = takeStored();
        std::move(files.begin(), files.end(), std::back_inserter(copied.files));
        copied.folders.insert(copied.folders.end(), folders.begin(), folders.end());
        if (!complete())
            copied.incomplete.push_back(json::validUtf8(label));
    }

    std::mutex storedMutex;
    std::vector<StoredFile> stored;

    /// The item's warnings, in their fixed order.
    void appendWarnings(std::vector<std::string>& warnings) const {
        if (truncated)
            warnings.push_back(truncatedWarning(label, maxFiles));
        if (oversize > 0)
            warnings.push_back(limitWarning(label, oversize, maxBytes));
        if (failed > 0)
            warnings.push_back(label + ": " + std::to_string(failed.load()) + " file(s) could not be written");
        if (unreadable > 0)
            warnings.push_back(label + ": " + std::to_string(unreadable) +
                               " file(s) or folder(s) could not be read \u2014 not backed up");
        if (unrecordable > 0)
            warnings.push_back(label + ": " + std::to_string(unrecordable) +
                               " name(s) not valid UTF-8 \u2014 not backed up");
        if (foldersFailed > 0)
            warnings.push_back(label + ": " + std::to_string(foldersFailed) + " folder(s) could not be created");
    }
};

/// Writes copies on a few threads. Every atomic write waits for its data to reach the disk, and
/// that wait, not the processor, bounds a backup of many small files; writers side by side let the
/// file system commit them together. Submissions block while too much data is waiting, so memory
/// stays bounded whatever the trees hold. Two copies to one destination never run at once: a
/// destination met again waits for everything before it, so the later copy sees the earlier one
/// exactly as a sequential copy would.
class BackupEngine::CopyQueue {
public:
    CopyQueue(FileAccessProvider& access, std::string root, int workers, BackupJournal& journal)
        : access_(access), root_(std::move(root)), workers_(workers), journal_(journal) {}
    ~CopyQueue() {
        {
            std::unique_lock lock(mutex_);
            idle_.wait(lock, [&] { return jobs_.empty() && active_ == 0; });
            stopping_ = true;
        }
        hasWork_.notify_all();
        for (auto& thread : threads_)
            thread.join();
    }
    CopyQueue(const CopyQueue&) = delete;
    CopyQueue& operator=(const CopyQueue&) = delete;

    void submit(std::string destination, Bytes data, std::uint16_t mode, TreeCopy& tree) {
        if (!scheduled_.insert(destination).second) {
            drain();
            scheduled_.clear();
            scheduled_.insert(destination);
        }
        startWorkers();
        Job job{std::move(destination), std::move(data), mode, &tree};
        if (threads_.empty()) {
            copy(job); // no thread could be started: copy here, one by one
            return;
        }
        std::unique_lock lock(mutex_);
        const std::size_t size = job.data.size();
        hasRoom_.wait(lock, [&] {
            return inFlight_ == 0 || (inFlight_ + size <= maxBytesInFlight && jobs_.size() < maxJobsWaiting);
        });
        inFlight_ += size;
        jobs_.push_back(std::move(job));
        lock.unlock();
        hasWork_.notify_one();
    }

    /// Returns when every submitted copy has been written (or has failed).
    void drain() {
        std::unique_lock lock(mutex_);
        idle_.wait(lock, [&] { return jobs_.empty() && active_ == 0; });
    }

private:
    static constexpr std::size_t maxBytesInFlight = 64u << 20;
    static constexpr std::size_t maxJobsWaiting = 4096;

    struct Job {
        std::string destination;
        Bytes data;
        std::uint16_t mode;
        TreeCopy* tree;
    };

    void startWorkers() {
        if (started_)
            return;
        started_ = true;
        for (int i = 0; i < workers_; ++i) {
            try {
                threads_.emplace_back([this] { work(); });
            } catch (const std::system_error&) {
                break; // fewer writers (or none: then submit copies inline)
            }
        }
    }

    void work() {
        std::unique_lock lock(mutex_);
        for (;;) {
            hasWork_.wait(lock, [&] { return stopping_ || !jobs_.empty(); });
            if (jobs_.empty())
                return;
            Job job = std::move(jobs_.front());
            jobs_.pop_front();
            ++active_;
            lock.unlock();
            const std::size_t size = job.data.size();
            copy(job);
            job.data = Bytes();
            lock.lock();
            --active_;
            inFlight_ -= size;
            hasRoom_.notify_all();
            if (jobs_.empty() && active_ == 0)
                idle_.notify_all();
        }
    }

    /// Leaves an identical copy alone in incremental mode; otherwise writes the copy atomically.
    void copy(const Job& job) noexcept {
        TreeCopy& tree = *job.tree;
        try {
            copyOrKeep(job, tree);
        } catch (...) {
            ++tree.failed; // out of memory while comparing: the copy is not known to be written
        }
    }

    /// The source digest is computed once: it decides whether the copy is unchanged and is the
    /// digest backup.json records.
    void copyOrKeep(const Job& job, TreeCopy& tree) {
        const auto size = static_cast<std::int64_t>(job.data.size());
        StoredFile stored{job.destination, size, sha256Hex(job.data)};
        if (tree.incremental) {
            // Same bytes and the same permission bits: the copy already is what this run would write.
            auto existing = access_.info(job.destination);
            if (existing && !existing->isSymlink && !existing->isDirectory && existing->size == size &&
                existing->posixPermissions == job.mode) {
                auto old = access_.readAtMost(job.destination, size, nullptr);
                if (old && sha256Hex(*old) == stored.sha256) {
                    ++tree.unchanged;
                    tree.record(std::move(stored));
                    return;
                }
            }
        }
        try {
            // A copy the previous backup.json describes is replaced only once its new digest is on
            // disk, so the previous backup still verifies if this run never finishes.
            auto existing = access_.info(job.destination);
            if (existing && !existing->isDirectory)
                journal_.record(job.destination, size, stored.sha256);
            access_.writeBeneath(root_, job.data, job.destination, job.mode);
        } catch (...) {
            ++tree.failed;
            tree.keepEarlier(access_, job.destination);
            return;
        }
        tree.record(std::move(stored));
    }

    FileAccessProvider& access_;
    const std::string root_; // the backup folder: copies land below it and follow no link there
    const int workers_;
    BackupJournal& journal_;
    bool started_ = false;
    std::vector<std::thread> threads_;
    std::unordered_set<std::string> scheduled_; // touched by the submitting thread only

    std::mutex mutex_;
    std::condition_variable hasWork_, hasRoom_, idle_;
    std::deque<Job> jobs_;
    std::size_t inFlight_ = 0;
    int active_ = 0;
    bool stopping_ = false;
};

BackupEngine::ConfigCopy BackupEngine::copyConfig(const std::vector<Finding>& findings, const std::string& root,
                                                  const BackupOptions& options, BackupJournal& journal,
                                                  std::vector<std::string>& warnings) const {
    const std::string configDir = paths::join(root, "config");
    try {
        access->createDirectoryBeneath(root, configDir, privateFolder);
    } catch (...) {
        // Each copy's write makes its own folders; a failure shows up there as a warning.
    }
    const std::string home = paths::homeFolder();

    struct Item {
        std::string path;
        std::string relative;
        std::vector<std::string> warnings; // a name that cannot be recorded
        std::unique_ptr<TreeCopy> tree;
    };
    std::vector<Item> items;
    {
        CopyQueue queue(*access, root, copyWorkers, journal);
        for (const auto& finding : findings) {
            for (const auto& found : finding.paths) {
                const std::string& p = found.path;
                if (Glob::matchesAny(p, options.excludeGlobs))
                    continue;
                if (options.selectedPaths && options.selectedPaths->count(p) == 0)
                    continue;
                Item item;
                item.path = p;
                const std::string label = paths::abbreviateHome(p);
                if (!recordable(p, label, item.warnings)) {
                    items.push_back(std::move(item));
                    continue;
                }
                // Component-wise, so /home/ann2/x is not taken for a path inside /home/ann.
                if (home == "/" && !p.empty() && p[0] == '/') {
                    item.relative = "home" + p;
                } else if (paths::isUnder(p, home)) {
                    item.relative = "home" + p.substr(home.size());
                } else {
                    item.relative = "abs/" + p;
                    std::replace(item.relative.begin() + 4, item.relative.end(), '/', '_');
                }
                item.tree =
                    std::make_unique<TreeCopy>(label, configMaxFiles, configMaxBytes, false, options.incremental);
                report("Copying " + label + "\u2026");
                copyTree(p, paths::join(configDir, item.relative), root, options.excludeGlobs, queue, *item.tree);
                items.push_back(std::move(item));
            }
        }
        queue.drain();
    }

    ConfigCopy copied;
    for (const auto& item : items) {
        warnings.insert(warnings.end(), item.warnings.begin(), item.warnings.end());
        if (!item.tree) {
            copied.incomplete.push_back(json::validUtf8(paths::abbreviateHome(item.path)));
            continue;
        }
        item.tree->collectInto(copied, warnings);
        copied.unchanged += item.tree->unchanged;
        if (access->exists(paths::join(configDir, item.relative))) {
            copied.storedPaths.push_back("config/" + item.relative);
            copied.entries.push_back(ConfigEntry{item.path, "config/" + item.relative});
        }
    }
    return copied;
}

BackupEngine::ProjectCopy BackupEngine::copyProjects(const std::set<std::string>& sources, const std::string& root,
                                                     const BackupOptions& options, const std::set<std::string>& sealed,
                                                     BackupJournal& journal, std::vector<std::string>& warnings) const {
    try {
        access->createDirectoryBeneath(root, paths::join(root, "projects"), privateFolder);
    } catch (...) {
        // As for config: the copies' own writes report what could not be made.
    }

    struct Item {
        std::string source;
        std::string name;
        std::vector<std::string> warnings;
        std::unique_ptr<TreeCopy> tree;
    };
    std::vector<Item> items;
    std::set<std::string> used;
    {
        CopyQueue queue(*access, root, copyWorkers, journal);
        // std::set iterates in ascending byte order, the order in which names are handed out.
        for (const auto& source : sources) {
            Item item;
            item.source = source;
            const std::string label = paths::abbreviateHome(source);
            if (!recordable(source, label, item.warnings)) {
                items.push_back(std::move(item));
                continue;
            }
            std::string base = paths::lastComponent(source);
            if (base.empty())
                base = "root"; // the project "/" has no last component
            item.name = base;
            for (int n = 2; used.count(item.name) != 0; ++n)
                item.name = base + "-" + std::to_string(n);
            used.insert(item.name);
            item.tree = std::make_unique<TreeCopy>(label, projectMaxFiles, projectMaxBytes,
                                                   options.includeProjectGitHistory, options.incremental);
            item.tree->leaveOut = &sealed;
            report("Copying project " + label + "\u2026");
            copyTree(source, paths::join(root, "projects/" + item.name), root, options.excludeGlobs, queue, *item.tree);
            items.push_back(std::move(item));
        }
        queue.drain();
    }

    // Project files left alone are not counted anywhere.
    ProjectCopy copied;
    for (const auto& item : items) {
        warnings.insert(warnings.end(), item.warnings.begin(), item.warnings.end());
        if (!item.tree) {
            copied.incomplete.push_back(json::validUtf8(paths::abbreviateHome(item.source)));
            continue;
        }
        item.tree->collectInto(copied, warnings);
        const std::string stored = "projects/" + item.name;
        if (access->exists(paths::join(root, stored))) {
            copied.storedPaths.push_back(stored);
            copied.entries.push_back(ProjectEntry{item.source, stored, item.name});
        }
    }
    return copied;
}

void BackupEngine::copyTree(const std::string& from, const std::string& to, const std::string& backupRoot,
                            const std::vector<std::string>& exclude, CopyQueue& queue, TreeCopy& tree) const {
    struct Walk {
        FileAccessProvider& access;
        const std::string& backupRoot;
        const std::vector<std::string>& exclude;
        CopyQueue& queue;
        TreeCopy& tree;

        void step(const std::string& src, const std::string& dst) {
            if (tree.filesDone >= tree.maxFiles) {
                tree.truncated = true;
                return;
            }
            auto info = access.info(src);
            if (!info || info->isSymlink || isTemporaryName(paths::lastComponent(src)))
                return;
            for (const auto& pattern : exclude)
                if (Glob::matches(src, pattern))
                    return;

            if (info->isDirectory) {
                const std::string name = paths::lastComponent(src);
                if (name == ".git" && !tree.keepGit)
                    return;
                if (configPrune().count(name) != 0 || projectPrune().count(name) != 0)
                    return;
                if (src.size() >= 4 && src.compare(src.size() - 4, 4, ".app") == 0)
                    return;
                if (src == backupRoot)
                    return;
                try {
                    // The copy keeps the folder's own group and other bits (a private folder stays
                    // private whatever the umask); the owner keeps full access so its files can be written.
                    // Below the backup folder no link is followed: one planted there (say config/
                    // pointing at ~/.ssh) must not send copies elsewhere.
                    access.createDirectoryBeneath(backupRoot, dst,
                                                  static_cast<std::uint16_t>((info->posixPermissions & 0777) | 0700));
                    tree.folders.push_back(dst);
                } catch (...) {
                    // Reported even when the files below still get written (their writes make the
                    // folder), since it then lacks the permission bits it should keep: a private
                    // folder's copy would be open to others.
                    ++tree.foldersFailed;
                }
                auto listed = access.listing(src);
                if (!listed) {
                    ++tree.unreadable;
                    tree.keepEarlier(access, dst);
                    return;
                }
                for (const auto& child : *listed) {
                    const std::string childName = paths::lastComponent(child);
                    if (!json::isValidUtf8(childName)) {
                        ++tree.unrecordable; // backup.json could not name its copy
                        continue;
                    }
                    step(child, dst + "/" + childName);
                }
                return;
            }

            if (tree.leaveOut && tree.leaveOut->count(src) != 0)
                return; // sealed in the bundle instead
            if (info->size > tree.maxBytes) {
                ++tree.oversize;
                return;
            }
            bool tooLarge = false;
            auto data = access.readAtMost(src, tree.maxBytes, &tooLarge);
            if (!data) {
                if (tooLarge) {
                    ++tree.oversize; // grew past the limit since it was looked at
                } else {
                    ++tree.unreadable;
                    tree.keepEarlier(access, dst);
                }
                return;
            }
            queue.submit(dst, std::move(*data), info->posixPermissions, tree);
            ++tree.filesDone;
        }
    };
    Walk{*access, backupRoot, exclude, queue, tree}.step(from, to);
}

std::vector<std::string> BackupEngine::expandSecretFolders(const std::vector<std::string>& selected,
                                                           const std::vector<std::string>& exclude,
                                                           std::vector<std::string>& warnings,
                                                           std::vector<std::string>& incomplete) const {
    std::vector<std::string> files;
    for (const auto& path : selected) {
        const std::string label = paths::abbreviateHome(path);
        if (!recordable(path, label, warnings)) {
            incomplete.push_back(json::validUtf8(label));
            continue;
        }
        auto info = access->info(path);
        // Files go to the bundle as selected (an unreadable one comes back as skipped). A link is
        // handed over as it is: the bundle reads a linked file, and a linked folder is not entered.
        if (!info || info->isSymlink || !info->isDirectory) {
            // The bundle holds every secret in memory at once: a file over the cap (a disk image
            // named like a key, a damaged file) is left out rather than filling memory.
            std::optional<FileInfo> target = info;
            if (info && info->isSymlink)
                if (auto destination = access->destinationOfSymlink(path))
                    target = access->info(*destination);
            if (target && !target->isSymlink && !target->isDirectory && target->size > secretMaxBytes) {
                warnings.push_back(label + ": larger than " + std::to_string(secretMaxBytes >> 20) +
                                   " MiB \u2014 left out of the secrets bundle");
                incomplete.push_back(label);
                continue;
            }
            files.push_back(path);
            continue;
        }
        const std::size_t incompleteBefore = warnings.size();

        int count = 0;
        bool truncated = false;
        int oversize = 0;
        // Depth-first in listing order, with an explicit stack of pending listings.
        std::vector<std::pair<std::vector<std::string>, std::size_t>> stack;
        stack.emplace_back(access->children(path), 0);
        while (!stack.empty()) {
            auto& [entries, next] = stack.back();
            if (next == entries.size()) {
                stack.pop_back();
                continue;
            }
            const std::string entry = entries[next++];
            if (count >= secretFolderMaxFiles) {
                truncated = true;
                break;
            }
            auto entryInfo = access->info(entry);
            if (!entryInfo || entryInfo->isSymlink || Glob::matchesAny(entry, exclude) ||
                isTemporaryName(paths::lastComponent(entry)))
                continue;
            if (entryInfo->isDirectory) {
                stack.emplace_back(access->children(entry), 0);
                continue;
            }
            if (entryInfo->size > secretFolderMaxBytes) {
                ++oversize;
                continue;
            }
            if (!recordable(entry, paths::abbreviateHome(entry), warnings))
                continue;
            files.push_back(entry);
            ++count;
        }
        if (warnings.size() != incompleteBefore) // a name the bundle cannot record
            incomplete.push_back(label);
        if (truncated)
            warnings.push_back(truncatedWarning(label, secretFolderMaxFiles));
        if (oversize > 0)
            warnings.push_back(limitWarning(label, oversize, secretFolderMaxBytes));
    }
    return files;
}

std::string BackupEngine::normalizedProject(const std::string& path) {
    std::filesystem::path given(path);
    if (given.is_relative()) {
        std::error_code ec;
        auto absolute = std::filesystem::absolute(given, ec);
        if (!ec)
            given = std::move(absolute);
    }
    std::string normal = given.lexically_normal().string();
    while (normal.size() > 1 && normal.back() == '/')
        normal.pop_back();
    return normal;
}

void BackupEngine::removeUnlisted(const std::string& root, const std::set<std::string>& keep,
                                  std::vector<std::string>& warnings) const {
    // Nothing is followed: a link inside the folder is removed as the link it is.
    struct Prune {
        FileAccessProvider& access;
        const std::set<std::string>& keep;
        std::vector<std::string>& warnings;
        int failed = 0;

        void folder(const std::string& path, const std::string& relative) {
            auto listed = access.listing(path);
            if (!listed)
                return; // what cannot be listed cannot be told apart: left as it is
            for (const auto& child : *listed) {
                const std::string childRelative = relative + "/" + paths::lastComponent(child);
                auto info = access.info(child);
                if (!info)
                    continue;
                if (keep.count(childRelative) != 0 && !info->isSymlink) {
                    if (info->isDirectory)
                        folder(child, childRelative);
                    continue;
                }
                try {
                    access.remove(child);
                } catch (...) {
                    ++failed;
                }
            }
        }
    };
    Prune prune{*access, keep, warnings};
    for (const char* top : {"config", "projects"}) {
        const std::string path = paths::join(root, top);
        auto info = access->info(path);
        if (info && info->isDirectory && !info->isSymlink)
            prune.folder(path, top);
    }
    if (prune.failed > 0)
        warnings.push_back(std::to_string(prune.failed) +
                           " earlier cop(ies) no longer backed up could not be removed from " +
                           paths::abbreviateHome(root));
}

std::int64_t BackupEngine::directorySize(const std::string& path) const {
    std::int64_t total = 0;
    std::vector<std::string> pending{path};
    while (!pending.empty()) {
        const std::string folder = std::move(pending.back());
        pending.pop_back();
        for (const auto& child : access->children(folder)) {
            auto info = access->info(child);
            if (!info)
                continue;
            if (info->isDirectory && !info->isSymlink)
                pending.push_back(child);
            else
                total = saturatingAdd(total, info->size);
        }
    }
    return total;
}

} // namespace stowage
