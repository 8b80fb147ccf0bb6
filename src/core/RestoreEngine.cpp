// RestoreEngine: writes config items, project trees and secrets from a backup folder back onto
// this machine.
//
// Invariants, and what a partial failure leaves behind:
// - Nothing is written before every path the call will use has been checked: recorded and stored
//   paths of backup.json (loadManifest) and recorded paths of the bundle (openSecrets) that could
//   lead out of where they belong (absolute or relative where the other is expected, "..", empty
//   components, NUL) are refused, as are stored copies reached through a symbolic link inside the
//   backup folder (the backup engine never stores links, so a link there was put there by someone
//   else and could point a read anywhere). Missing config copies are reported before any write too.
// - Every file lands through the file access layer's atomic replace, created with its final
//   permission bits; a secret is never readable beyond its recorded mode, whatever the umask. After a
//   failure every target holds either its old content or the complete new one.
// - The first failing write, copy or folder creation ends the call with that error and no outcomes;
//   what the call restored before it stays on disk, as do the saved copies it made. A saved copy that
//   cannot be made is not a failure: the outcome then names no saved copy.
// - Folders are merged, never replaced: files only on this machine stay. A folder missing on this
//   machine is copied as a whole (keeping the backed-up folder permissions) when its backed-up tree
//   holds no links, else built file by file; links inside a backed-up tree are never reproduced.
// - A dry run makes no write-side call at all.
// - Saved copies are filed under the snapshot folder at the relative form of the recorded path
//   (moved to this machine's home folder), never at a redirected target, so a later restore into the
//   same snapshot folder replaces the earlier copy of the same entry.

#include "core/RestoreEngine.hpp"

#include "core/BackupError.hpp"
#include "core/GitInfo.hpp"
#include "core/Paths.hpp"

#include <exception>
#include <utility>

namespace stowage {

namespace {

constexpr const char* kManifestName = "backup.json";
constexpr const char* kBundleName = "secrets.stowage";
/// More links than this in a row are a loop.
constexpr int kMaxLinkHops = 40;

bool contains(const RestoreSelection& select, const std::string& path) {
    return !select || select->count(path) > 0;
}

/// The path with every final link followed; the path itself when it is not a link.
std::string resolveLinks(const FileAccessProvider& access, std::string path) {
    for (int hop = 0; hop < kMaxLinkHops; ++hop) {
        auto info = access.info(path);
        if (!info || !info->isSymlink)
            return path;
        auto next = access.destinationOfSymlink(path);
        if (!next)
            return path;
        path = std::move(*next);
    }
    return path;
}

bool isFolder(const FileAccessProvider& access, const std::string& path) {
    auto info = access.info(resolveLinks(access, path));
    return info && info->isDirectory;
}

/// Where one entry goes, and whether it gets there.
struct Decision {
    RestoreOutcome::Action action;
    std::optional<std::string> writtenPath;
    /// Only a `restored` decision replaces something worth saving first.
    bool maySave;
};

Decision decide(const FileAccessProvider& access, const std::string& target, ConflictPolicy policy) {
    if (policy == ConflictPolicy::overwrite || !access.exists(target))
        return {RestoreOutcome::Action::restored, target, true};
    if (policy == ConflictPolicy::skip)
        return {RestoreOutcome::Action::skipped, std::nullopt, false};
    return {RestoreOutcome::Action::wroteBeside, besidePath(target), false};
}

/// Target of an entry: the recorded path moved under this home, or its destination override, then
/// rooted under the prefix.
std::string targetOf(const std::string& recorded, const HomeMapping& home, const RestoreDestinations& destinations,
                     const std::optional<std::string>& prefix) {
    std::string target = home(recorded);
    if (destinations)
        if (auto it = destinations->find(recorded); it != destinations->end())
            target = it->second;
    if (prefix)
        target = paths::join(*prefix, paths::relativeForm(target));
    return target;
}

std::string savedCopyPath(const std::string& snapshot, const std::string& recorded, const HomeMapping& home) {
    return paths::join(snapshot, paths::relativeForm(home(recorded)));
}

/// Copies what is at `target` (the item a link leads to, so a linked folder is saved with its
/// content rather than as a link to what is about to change) to `savedPath`. Answers the saved
/// copy's path only when this copy succeeded: a failed copy must not pass off an older saved copy
/// at the same place as the version this restore replaces.
std::optional<std::string> saveCopy(FileAccessProvider& access, const std::string& target,
                                    const std::string& savedPath) {
    try {
        access.copyItem(resolveLinks(access, target), savedPath);
    } catch (const std::exception&) {
        return std::nullopt;
    }
    return access.exists(savedPath) ? std::optional<std::string>(savedPath) : std::nullopt;
}

/// True when the tree at `path` holds no symbolic link, so a whole-tree copy reproduces nothing but
/// folders and files.
bool holdsNoLinks(const FileAccessProvider& access, const std::string& path) {
    auto info = access.info(path);
    if (!info || info->isSymlink)
        return false;
    if (!info->isDirectory)
        return true;
    for (const std::string& child : access.children(path))
        if (!holdsNoLinks(access, child))
            return false;
    return true;
}

/// Merges the file or folder tree at `source` into `destination`: folders are created or entered,
/// files are replaced, and whatever the destination holds that the source does not stays. Links and
/// unexaminable or unreadable entries of the source are skipped. Throws the first write-side error.
void mergeCopy(FileAccessProvider& access, const std::string& source, const std::string& destination) {
    auto info = access.info(source);
    // A temporary item left in the backup folder by a killed backup is not part of the backup.
    if (!info || info->isSymlink || isTemporaryName(paths::lastComponent(source)))
        return;
    if (!info->isDirectory) {
        auto bytes = access.read(source);
        if (!bytes)
            return;
        access.write(*bytes, destination, info->posixPermissions);
        return;
    }
    if (!access.exists(destination) && holdsNoLinks(access, source)) {
        // Nothing to merge with: one atomic whole-tree copy, which also keeps the folders' own
        // permission bits (a fresh ~/.gnupg stays 0700). It fails on an unreadable entry, which the
        // file-by-file merge below skips instead, so a failure falls through to it.
        try {
            access.copyItem(source, destination);
            return;
        } catch (const std::exception&) {
        }
    }
    access.createDirectory(destination);
    for (const std::string& child : access.children(source))
        mergeCopy(access, child, paths::join(destination, paths::lastComponent(child)));
}

/// The stored copy of an entry inside the backup folder. Refuses a copy reached through a link.
std::string sourceOf(const FileAccessProvider& access, const std::string& dir, const std::string& storedRelPath) {
    std::string path = dir;
    size_t start = 0;
    while (start < storedRelPath.size()) {
        size_t end = storedRelPath.find('/', start);
        if (end == std::string::npos)
            end = storedRelPath.size();
        path = paths::join(path, storedRelPath.substr(start, end - start));
        auto info = access.info(path);
        if (info && info->isSymlink)
            throw BackupError::io("symbolic link in backup folder: " + storedRelPath);
        if (!info)
            break;
        start = end + 1;
    }
    return paths::join(dir, storedRelPath);
}

void requireSafe(bool safe, const std::string& path, const char* file) {
    if (!safe)
        throw BackupError::io(std::string("unsafe path in ") + file + ": " + path);
}

void checkManifestPaths(const BackupManifest& manifest) {
    for (const ConfigEntry& entry : manifest.configs) {
        requireSafe(RestoreEngine::isSafeAbsolutePath(entry.originalPath), entry.originalPath, kManifestName);
        requireSafe(RestoreEngine::isSafeRelativePath(entry.storedRelPath), entry.storedRelPath, kManifestName);
    }
    if (manifest.projects)
        for (const ProjectEntry& entry : *manifest.projects) {
            requireSafe(RestoreEngine::isSafeAbsolutePath(entry.originalPath), entry.originalPath, kManifestName);
            requireSafe(RestoreEngine::isSafeRelativePath(entry.storedRelPath), entry.storedRelPath, kManifestName);
        }
    for (const std::string& path : manifest.secretPaths)
        requireSafe(RestoreEngine::isSafeAbsolutePath(path), path, kManifestName);
    if (manifest.homeFolder && *manifest.homeFolder != "/")
        requireSafe(RestoreEngine::isSafeAbsolutePath(*manifest.homeFolder), *manifest.homeFolder, kManifestName);
}

std::string stripTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

} // namespace

// ---- HomeMapping ---------------------------------------------------------------------------------

HomeMapping::HomeMapping(std::optional<std::string> recordedHome, std::string currentHome)
    : to_(stripTrailingSlashes(std::move(currentHome))) {
    // A recorded home of "/" would claim every path on the old machine; nothing sensible maps that.
    if (recordedHome && !recordedHome->empty() && *recordedHome != "/" && !to_.empty()) {
        std::string from = stripTrailingSlashes(*recordedHome);
        if (from != to_)
            from_ = std::move(from);
    }
}

HomeMapping HomeMapping::forManifest(const BackupManifest& manifest) {
    return HomeMapping(manifest.homeFolder, paths::homeFolder());
}

std::string HomeMapping::operator()(const std::string& recordedPath) const {
    if (!from_ || !paths::isUnder(recordedPath, *from_))
        return recordedPath;
    std::string rest = stripTrailingSlashes(recordedPath).substr(from_->size());
    return rest.empty() ? to_ : paths::join(to_, rest);
}

// ---- RestoreEngine -------------------------------------------------------------------------------

RestoreEngine::RestoreEngine(FileAccessPtr fileAccess) : access(std::move(fileAccess)) {}

bool RestoreEngine::isSafeRelativePath(const std::string& path) {
    return isSafeStoredPath(path);
}

bool RestoreEngine::isSafeAbsolutePath(const std::string& path) {
    return path.size() > 1 && path.front() == '/' && isSafeRelativePath(path.substr(1));
}

BackupManifest RestoreEngine::loadManifest(const std::string& dir) const {
    auto bytes = access->read(paths::join(dir, kManifestName));
    if (!bytes)
        throw BackupError::io("no backup.json in " + dir);
    BackupManifest manifest = BackupManifest::decode(toString(*bytes));
    checkManifestPaths(manifest);
    return manifest;
}

bool RestoreEngine::secretsNeedPassphrase(const std::string& dir) const {
    auto bytes = access->read(paths::join(dir, kBundleName));
    return bytes && SecretsBundle::isPassphraseBundle(*bytes);
}

HomeMapping RestoreEngine::homeMappingOf(const std::string& dir) const {
    // Secrets can be restored from a folder that lost its manifest; they then go back to their
    // recorded paths. A manifest that is there is read, and refused when it is damaged or unsafe.
    if (!access->exists(paths::join(dir, kManifestName)))
        return {};
    return HomeMapping::forManifest(loadManifest(dir));
}

std::vector<RestoreOutcome> RestoreEngine::restoreConfig(const std::string& dir, const RestoreSelection& select,
                                                         ConflictPolicy policy,
                                                         const std::optional<std::string>& snapshot,
                                                         const std::optional<std::string>& prefix, bool dryRun) const {
    AccessScope scope(*access, dir);
    const BackupManifest manifest = loadManifest(dir);
    const HomeMapping home = HomeMapping::forManifest(manifest);

    struct Job {
        const ConfigEntry* entry;
        std::string source;
    };
    std::vector<Job> jobs;
    for (const ConfigEntry& entry : manifest.configs) {
        if (!contains(select, entry.originalPath))
            continue;
        std::string source = sourceOf(*access, dir, entry.storedRelPath);
        // A missing copy would fail the restore halfway; it is reported before anything is written.
        if (!dryRun && !access->info(source))
            throw BackupError::io("missing from backup folder: " + entry.storedRelPath);
        jobs.push_back({&entry, std::move(source)});
    }

    std::vector<RestoreOutcome> outcomes;
    outcomes.reserve(jobs.size());
    for (const Job& job : jobs) {
        const std::string& recorded = job.entry->originalPath;
        const std::string target = targetOf(recorded, home, std::nullopt, prefix);
        const Decision decision = decide(*access, target, policy);
        RestoreOutcome outcome;
        outcome.originalPath = recorded;
        outcome.writtenPath = decision.writtenPath;
        outcome.action = decision.action;

        const auto sourceInfo = access->info(job.source);
        const bool sourceIsFolder = sourceInfo && sourceInfo->isDirectory;
        if (dryRun) {
            if (sourceIsFolder)
                outcome.diff = FileDiff{FileDiff::Kind::directory, {}, 0, 0};
            else if (auto bytes = access->read(job.source))
                outcome.diff = SecretsBundle::diff(*bytes, target, *access);
        } else if (decision.writtenPath) {
            if (snapshot && decision.maySave && access->exists(target))
                outcome.backedUpTo = saveCopy(*access, target, savedCopyPath(*snapshot, recorded, home));
            // A folder is merged into what is there, so files created on this machine since the
            // backup survive; only a file standing where the folder belongs is replaced whole (and
            // was saved above when asked), as is an older copy written beside.
            const bool merge = sourceIsFolder && decision.action == RestoreOutcome::Action::restored &&
                               (isFolder(*access, target) || !access->exists(target));
            if (merge)
                mergeCopy(*access, job.source, target);
            else
                access->copyItem(job.source, *decision.writtenPath);
        }
        outcomes.push_back(std::move(outcome));
    }
    return outcomes;
}

std::vector<RestoreOutcome>
RestoreEngine::restoreProjects(const std::string& dir, const RestoreSelection& select, ConflictPolicy policy,
                               const std::optional<std::string>& snapshot, const RestoreDestinations& destinations,
                               const std::optional<std::string>& prefix, bool dryRun) const {
    AccessScope scope(*access, dir);
    const BackupManifest manifest = loadManifest(dir);
    const HomeMapping home = HomeMapping::forManifest(manifest);
    if (!manifest.projects)
        return {};

    struct Job {
        const ProjectEntry* entry;
        std::string source;
    };
    std::vector<Job> jobs;
    for (const ProjectEntry& entry : *manifest.projects)
        if (contains(select, entry.originalPath))
            jobs.push_back({&entry, sourceOf(*access, dir, entry.storedRelPath)});

    std::vector<RestoreOutcome> outcomes;
    outcomes.reserve(jobs.size());
    for (const Job& job : jobs) {
        const std::string& recorded = job.entry->originalPath;
        const std::string target = targetOf(recorded, home, destinations, prefix);
        RestoreOutcome outcome;
        outcome.originalPath = recorded;
        const bool exists = access->exists(target);
        if (exists && policy == ConflictPolicy::skip) {
            outcome.action = RestoreOutcome::Action::skipped;
        } else {
            // A project is never written beside: its tree is merged into the folder that is there.
            outcome.action = RestoreOutcome::Action::restored;
            outcome.writtenPath = target;
            if (!dryRun) {
                if (snapshot && exists)
                    outcome.backedUpTo = saveCopy(*access, target, savedCopyPath(*snapshot, recorded, home));
                mergeCopy(*access, job.source, target);
            }
        }
        outcomes.push_back(std::move(outcome));
    }
    return outcomes;
}

BundlePayload RestoreEngine::openSecrets(const std::string& dir, const std::optional<SecretString>& passphrase,
                                         const std::optional<SecretString>& recoveryCode) const {
    AccessScope scope(*access, dir);
    auto blob = access->read(paths::join(dir, kBundleName));
    if (!blob)
        throw BackupError::io("no secrets.stowage in " + dir);

    auto source = [&]() -> KeySource {
        if (passphrase && !passphrase->empty())
            return KeySource::passphrase(*passphrase);
        if (recoveryCode && !recoveryCode->empty())
            return KeySource::rawKey(BundleKey::key(recoveryCode->view()));
        auto key = BundleKey::loadFromKeychain(keychainTimeout);
        if (!key)
            throw BackupError::badRecoveryCode();
        return KeySource::rawKey(std::move(*key));
    }();
    BundlePayload payload = SecretsBundle::open(*blob, source);

    for (const BundleFile& file : payload.files) {
        requireSafe(isSafeAbsolutePath(file.path), file.path, kBundleName);
        if (file.project)
            requireSafe(isSafeRelativePath(file.project->relPath), file.project->relPath, kBundleName);
    }
    return payload;
}

std::vector<RestoreOutcome> RestoreEngine::restoreSecrets(const std::string& dir,
                                                          const std::optional<SecretString>& passphrase,
                                                          const std::optional<SecretString>& recoveryCode,
                                                          const RestoreSelection& select, ConflictPolicy policy,
                                                          const std::optional<std::string>& snapshot,
                                                          const RestoreDestinations& destinations,
                                                          const std::optional<std::string>& prefix, bool dryRun) const {
    const BundlePayload payload = openSecrets(dir, passphrase, recoveryCode);
    return restoreSecrets(dir, payload, select, policy, snapshot, destinations, prefix, dryRun);
}

std::vector<RestoreOutcome> RestoreEngine::restoreSecrets(const std::string& dir, const BundlePayload& payload,
                                                          const RestoreSelection& select, ConflictPolicy policy,
                                                          const std::optional<std::string>& snapshot,
                                                          const RestoreDestinations& destinations,
                                                          const std::optional<std::string>& prefix, bool dryRun) const {
    AccessScope scope(*access, dir);
    const HomeMapping home = homeMappingOf(dir);

    // The bundle's own restore works from the paths the payload records. Handing it the selected
    // files with their paths already moved under this home folder makes targets and saved copies
    // follow the move; each outcome then gets its recorded path back (outcomes come one per file, in
    // order, since the selection has been applied here).
    BundlePayload moved;
    moved.version = payload.version;
    moved.createdAt = payload.createdAt;
    std::vector<const std::string*> recordedPaths;
    std::map<std::string, std::string> movedDestinations;
    for (const BundleFile& file : payload.files) {
        if (!contains(select, file.path))
            continue;
        BundleFile copy = file;
        copy.path = home(file.path);
        if (destinations)
            if (auto it = destinations->find(file.path); it != destinations->end())
                movedDestinations[copy.path] = it->second;
        moved.files.push_back(std::move(copy));
        recordedPaths.push_back(&file.path);
    }
    RestoreDestinations passed;
    if (!movedDestinations.empty())
        passed = std::move(movedDestinations);

    std::vector<RestoreOutcome> outcomes =
        SecretsBundle::restore(moved, std::nullopt, policy, snapshot, passed, prefix, dryRun, *access);
    for (size_t i = 0; i < outcomes.size() && i < recordedPaths.size(); ++i)
        outcomes[i].originalPath = *recordedPaths[i];
    return outcomes;
}

std::vector<RelocationPlan> RestoreEngine::planRelocations(const std::string& dir,
                                                           const std::optional<SecretString>& passphrase,
                                                           const std::optional<SecretString>& recoveryCode,
                                                           const std::vector<std::string>& projectRoots,
                                                           bool flatten) const {
    const BundlePayload payload = openSecrets(dir, passphrase, recoveryCode);
    return planRelocations(dir, payload, projectRoots, flatten);
}

std::vector<RelocationPlan> RestoreEngine::planRelocations(const std::string& dir, const BundlePayload& payload,
                                                           const std::vector<std::string>& projectRoots,
                                                           bool flatten) const {
    std::vector<RelocationFile> files;
    files.reserve(payload.files.size());
    for (const BundleFile& file : payload.files)
        files.emplace_back(file.path, file.project);
    std::vector<RelocationPlan> plans = Relocator::plan(files, GitInfo::findRepos(projectRoots, *access), flatten);
    // A file that is not project-scoped goes back to its recorded path, which for a backup from
    // another home folder lies under this one: show where it will really go.
    const HomeMapping home = homeMappingOf(dir);
    for (RelocationPlan& plan : plans)
        if (plan.match == RelocationPlan::Match::absolute && plan.destination)
            plan.destination = home(*plan.destination);
    return plans;
}

// ---- Report --------------------------------------------------------------------------------------

std::string summarize(const std::vector<RestoreOutcome>& outcomes, const std::string& label, bool dry) {
    size_t written = 0, skipped = 0, beside = 0, saved = 0;
    for (const RestoreOutcome& outcome : outcomes) {
        if (outcome.action == RestoreOutcome::Action::skipped)
            ++skipped;
        else
            ++written;
        if (outcome.action == RestoreOutcome::Action::wroteBeside)
            ++beside;
        if (outcome.backedUpTo)
            ++saved;
    }
    const std::string separator = " \u00b7 ";
    std::string line =
        std::string(dry ? "Would restore " : "Restored ") + std::to_string(written) + " " + label + " file(s)";
    if (skipped != 0)
        line += separator + std::to_string(skipped) + " skipped (exists)";
    if (beside != 0)
        line += separator + std::to_string(beside) + " written beside";
    if (saved != 0)
        line += separator + std::to_string(saved) + " prior version(s) saved";
    return line;
}

} // namespace stowage
