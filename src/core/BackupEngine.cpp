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
//   in place: copies the run does not touch stay as an earlier run left them. A copy that cannot
//   be written keeps its earlier content and is reported as a warning, never silently passed over.
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

#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <unordered_set>

namespace stowage {

namespace {

using Digest = std::array<unsigned char, EVP_MAX_MD_SIZE>;

/// SHA-256 of `data`; the primitive cannot fail for a fixed, built-in algorithm, and if it ever did
/// the digests of the two sides would not both be produced and the copy is simply rewritten.
std::optional<Digest> sha256(const Bytes& data) {
    Digest digest{};
    unsigned int length = 0;
    if (EVP_Digest(data.data(), data.size(), digest.data(), &length, EVP_sha256(), nullptr) != 1)
        return std::nullopt;
    return digest;
}

bool sameContent(const Bytes& a, const Bytes& b) {
    if (a.size() != b.size())
        return false;
    auto da = sha256(a);
    auto db = sha256(b);
    return da && db && *da == *db;
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
    const bool anySecret = std::any_of(
        inventory.findings.begin(), inventory.findings.end(),
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

    access->createDirectory(root);
    // Held until the run returns or throws; a second run on the same folder is refused here,
    // before it has touched anything.
    const BackupLock lock(root);

    BackupResult result(root);
    BackupManifest manifest;
    manifest.homeFolder = paths::homeFolder();

    // The reinstall lists and the app list ask other programs and write only into manifest/, which
    // no copy touches, so they run beside the copies; their results and warnings are put in place
    // after the copies, ahead of the copies' warnings, as if they had run first.
    ReinstallLists lists(root);
    std::future<void> listing;
    if (options.includeManifests) {
        report("Regenerating reinstall lists and listing installed apps\u2026");
        listing = startReinstallLists(lists, access);
    }

    if (options.includeConfig) {
        auto copied = copyConfig(inventory.findingsIn(Tier::config), root, options, result.warnings);
        result.configFiles = std::move(copied.storedPaths);
        manifest.configs = std::move(copied.entries);
        result.unchangedFiles = copied.unchanged;
    }

    if (!options.projectSources.empty()) {
        auto copied = copyProjects(options.projectSources, root, options, result.warnings);
        result.projectsBackedUp = std::move(copied.storedPaths);
        if (!copied.entries.empty())
            manifest.projects = std::move(copied.entries);
    }

    if (listing.valid()) {
        listing.get();
        result.manifests = std::move(lists.result.manifests);
        result.installedApps = lists.result.installedApps;
        result.manualApps = lists.result.manualApps;
        result.warnings.insert(result.warnings.begin(), lists.result.warnings.begin(), lists.result.warnings.end());
    }

    // Secrets are sealed now and written in the commit below.
    std::optional<Bytes> sealedBundle;
    std::optional<SymmetricKey> randomKey;
    std::optional<SymmetricKey> keychainKey;
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
        std::vector<std::string> files;
        if (!selected.empty()) {
            report("Collecting secrets\u2026");
            files = expandSecretFolders(selected, options.excludeGlobs, result.warnings);
        }
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

    // Everything essential is produced before anything essential is replaced.
    std::vector<PendingWrite> commit;
    commit.emplace_back(paths::join(root, "backup.json"), toBytes(manifest.encode()), std::nullopt);
    commit.emplace_back(paths::join(root, "RESTORE.md"), toBytes(restoreGuide(manifest)), std::nullopt);
    if (sealedBundle)
        commit.emplace_back(paths::join(root, "secrets.stowage"), std::move(*sealedBundle), std::uint16_t{0600});
    for (auto& file : commit) {
        if (auto info = access->info(file.path)) {
            file.existedBefore = true;
            file.previousMode = info->posixPermissions;
            file.previous = access->read(file.path);
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

    // Counted by the writers.
    std::atomic<int> unchanged{0};
    std::atomic<int> failed{0};

    /// The item's warnings, in their fixed order.
    void appendWarnings(std::vector<std::string>& warnings) const {
        if (truncated)
            warnings.push_back(truncatedWarning(label, maxFiles));
        if (oversize > 0)
            warnings.push_back(limitWarning(label, oversize, maxBytes));
        if (failed > 0)
            warnings.push_back(label + ": " + std::to_string(failed.load()) + " file(s) could not be written");
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
    CopyQueue(FileAccessProvider& access, int workers) : access_(access), workers_(workers) {}
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

    void copyOrKeep(const Job& job, TreeCopy& tree) {
        if (tree.incremental) {
            // Same bytes and the same permission bits: the copy already is what this run would write.
            auto existing = access_.info(job.destination);
            if (existing && !existing->isSymlink && !existing->isDirectory &&
                existing->size == static_cast<std::int64_t>(job.data.size()) &&
                existing->posixPermissions == job.mode) {
                auto old = access_.read(job.destination);
                if (old && sameContent(job.data, *old)) {
                    ++tree.unchanged;
                    return;
                }
            }
        }
        try {
            access_.write(job.data, job.destination, job.mode);
        } catch (...) {
            ++tree.failed;
        }
    }

    FileAccessProvider& access_;
    const int workers_;
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
                                                  const BackupOptions& options,
                                                  std::vector<std::string>& warnings) const {
    const std::string configDir = paths::join(root, "config");
    try {
        access->createDirectory(configDir);
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
        CopyQueue queue(*access, copyWorkers);
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
        if (!item.tree)
            continue;
        item.tree->appendWarnings(warnings);
        copied.unchanged += item.tree->unchanged;
        if (access->exists(paths::join(configDir, item.relative))) {
            copied.storedPaths.push_back("config/" + item.relative);
            copied.entries.push_back(ConfigEntry{item.path, "config/" + item.relative});
        }
    }
    return copied;
}

BackupEngine::ProjectCopy BackupEngine::copyProjects(const std::set<std::string>& sources, const std::string& root,
                                                     const BackupOptions& options,
                                                     std::vector<std::string>& warnings) const {
    try {
        access->createDirectory(paths::join(root, "projects"));
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
        CopyQueue queue(*access, copyWorkers);
        // std::set iterates in ascending byte order, the order in which names are handed out.
        for (const auto& source : sources) {
            Item item;
            item.source = source;
            const std::string label = paths::abbreviateHome(source);
            if (!recordable(source, label, item.warnings)) {
                items.push_back(std::move(item));
                continue;
            }
            const std::string base = paths::lastComponent(source);
            item.name = base;
            for (int n = 2; used.count(item.name) != 0; ++n)
                item.name = base + "-" + std::to_string(n);
            used.insert(item.name);
            item.tree = std::make_unique<TreeCopy>(label, projectMaxFiles, projectMaxBytes,
                                                   options.includeProjectGitHistory, options.incremental);
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
        if (!item.tree)
            continue;
        item.tree->appendWarnings(warnings);
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
            if (!info || info->isSymlink)
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
                    access.createDirectory(dst, static_cast<std::uint16_t>((info->posixPermissions & 0777) | 0700));
                } catch (...) {
                    // The files below then fail to write and are counted as such.
                }
                for (const auto& child : access.children(src))
                    step(child, dst + "/" + paths::lastComponent(child));
                return;
            }

            if (info->size > tree.maxBytes) {
                ++tree.oversize;
                return;
            }
            auto data = access.read(src);
            if (!data)
                return;
            queue.submit(dst, std::move(*data), info->posixPermissions, tree);
            ++tree.filesDone;
        }
    };
    Walk{*access, backupRoot, exclude, queue, tree}.step(from, to);
}

std::vector<std::string> BackupEngine::expandSecretFolders(const std::vector<std::string>& selected,
                                                           const std::vector<std::string>& exclude,
                                                           std::vector<std::string>& warnings) const {
    std::vector<std::string> files;
    for (const auto& path : selected) {
        const std::string label = paths::abbreviateHome(path);
        if (!recordable(path, label, warnings))
            continue;
        auto info = access->info(path);
        // Files go to the bundle as selected (an unreadable one comes back as skipped). A link is
        // handed over as it is: the bundle reads a linked file, and a linked folder is not entered.
        if (!info || info->isSymlink || !info->isDirectory) {
            files.push_back(path);
            continue;
        }

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
            if (!entryInfo || entryInfo->isSymlink || Glob::matchesAny(entry, exclude))
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
        if (truncated)
            warnings.push_back(truncatedWarning(label, secretFolderMaxFiles));
        if (oversize > 0)
            warnings.push_back(limitWarning(label, oversize, secretFolderMaxBytes));
    }
    return files;
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
