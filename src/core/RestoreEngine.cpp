// RestoreEngine: writes config items, project trees and secrets from a backup folder back onto
// this machine.
//
// Invariants, and what a partial failure leaves behind:
// - Nothing is written before every path the call will use has been checked: recorded and stored
//   paths of backup.json (loadManifest) and recorded paths of the bundle (openSecrets) that could
//   lead out of where they belong (absolute or relative where the other is expected, "..", empty
//   components, NUL) are refused, as are stored copies reached through a symbolic link inside the
//   backup folder (the backup engine never stores links, so a link there was put there by someone
//   else and could point a read anywhere).
// - Each file is decided and written by RestoreWriter (RestoreWriter.hpp): identical files are left
//   alone, the policy holds for every file inside a folder too, a failed saved copy stops that
//   file's overwrite, nothing from the backup becomes a link, and no write follows a link this
//   restore did not find in place. A stored copy that is missing or unreadable fails its own entry
//   only.
// - Every file lands through the file access layer's atomic replace, created with its final
//   permission bits; a secret is never readable beyond its recorded mode, whatever the umask. After a
//   failure every target holds either its old content or the complete new one.
// - The first failing write or folder creation ends the call with that error and no outcomes; what
//   the call restored before it stays on disk, as do the saved copies it made.
// - A dry run makes no write-side call at all.
// - Saved copies are filed under <snapshot>/<runName>/ at the relative form of the recorded path
//   (moved to this machine's home folder), never at a redirected target; earlier runs' folders, and
//   copies in the flat layout of older versions directly under <snapshot>, are never touched.

#include "core/RestoreEngine.hpp"

#include "core/Verify.hpp"

#include "core/BackupError.hpp"
#include "core/GitInfo.hpp"
#include "core/Paths.hpp"

#include <exception>
#include <unistd.h>
#include <utility>

namespace stowage {

namespace {

constexpr const char* kManifestName = "backup.json";
constexpr const char* kBundleName = "secrets.stowage";

bool contains(const RestoreSelection& select, const std::string& path) {
    return !select || select->count(path) > 0;
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

/// True when `path` lies in a folder the user owns by convention: the home folder or an XDG base
/// folder (which may have been moved outside the home).
bool isUsersOwn(const std::string& path) {
    for (const std::string& root : {paths::homeFolder(), paths::xdgConfigHome(), paths::xdgDataHome()})
        if (!root.empty() && paths::isUnder(path, root))
            return true;
    return false;
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

RestoreEngine::RestoreEngine(FileAccessPtr fileAccess)
    : access(std::move(fileAccess)), privileged(::geteuid() == 0),
      runName(RestoreWriter::runFolderName(std::chrono::system_clock::now())) {}

bool RestoreEngine::isSafeRelativePath(const std::string& path) {
    return isSafeStoredPath(path);
}

bool RestoreEngine::isSafeAbsolutePath(const std::string& path) {
    return path.size() > 1 && path.front() == '/' && isSafeRelativePath(path.substr(1));
}

BackupManifest RestoreEngine::loadManifest(const std::string& dir) const {
    // The same capped reading as verify: a hostile or damaged backup.json cannot take gigabytes.
    BackupManifest manifest = readManifestOf(dir, *access);
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

    // Every stored copy is located (and a link inside the backup folder refused) before any write.
    std::vector<std::pair<const ConfigEntry*, std::string>> jobs;
    for (const ConfigEntry& entry : manifest.configs)
        if (contains(select, entry.originalPath))
            jobs.emplace_back(&entry, sourceOf(*access, dir, entry.storedRelPath));

    RestoreWriter writer(*access, policy, snapshot, runName, prefix, dryRun);
    std::vector<RestoreOutcome> outcomes;
    outcomes.reserve(jobs.size());
    for (const auto& [entry, source] : jobs) {
        const std::string target = targetOf(entry->originalPath, home, std::nullopt, prefix);
        // A system file is never attempted without root: the write would fail, or, where a folder
        // there happens to be writable, change the system.
        if (!prefix && !privileged && !isUsersOwn(target)) {
            RestoreOutcome outcome;
            outcome.originalPath = entry->originalPath;
            outcome.action = RestoreOutcome::Action::skipped;
            outcome.needsRoot = true;
            outcomes.push_back(std::move(outcome));
            continue;
        }
        outcomes.push_back(restoreEntry(writer, entry->originalPath, entry->storedRelPath, source, target, home));
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

    std::vector<std::pair<const ProjectEntry*, std::string>> jobs;
    for (const ProjectEntry& entry : *manifest.projects)
        if (contains(select, entry.originalPath))
            jobs.emplace_back(&entry, sourceOf(*access, dir, entry.storedRelPath));

    RestoreWriter writer(*access, policy, snapshot, runName, prefix, dryRun);
    std::vector<RestoreOutcome> outcomes;
    outcomes.reserve(jobs.size());
    for (const auto& [entry, source] : jobs)
        outcomes.push_back(restoreEntry(writer, entry->originalPath, entry->storedRelPath, source,
                                        targetOf(entry->originalPath, home, destinations, prefix), home));
    return outcomes;
}

RestoreOutcome RestoreEngine::restoreEntry(RestoreWriter& writer, const std::string& recorded,
                                           const std::string& storedRelPath, const std::string& source,
                                           const std::string& target, const HomeMapping& home) const {
    // One entry that cannot be restored is reported, and the others still are.
    const auto info = access->info(source);
    if (!info)
        return RestoreWriter::failure(recorded, "missing from backup folder: " + storedRelPath);
    // Saved copies are filed under the recorded path (moved to this home), never a redirected target.
    if (info->isDirectory)
        return writer.restoreTree(recorded, home(recorded), source, target);
    auto bytes = access->read(source);
    if (!bytes)
        return RestoreWriter::failure(recorded, "the stored copy cannot be read: " + storedRelPath);
    return writer.restoreFile(recorded, home(recorded), *bytes, info->posixPermissions, target);
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

    RestoreWriter writer(*access, policy, snapshot, runName, prefix, dryRun);
    std::vector<RestoreOutcome> outcomes = SecretsBundle::restore(moved, std::nullopt, passed, prefix, writer);
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
    using Action = RestoreOutcome::Action;
    size_t written = 0, skipped = 0, beside = 0, saved = 0, unchanged = 0, failed = 0, needRoot = 0;
    for (const RestoreOutcome& outcome : outcomes) {
        switch (outcome.action) {
        case Action::skipped:
            if (outcome.needsRoot) {
                ++needRoot;
                break;
            }
            ++skipped;
            break;
        case Action::unchanged:
            ++unchanged;
            break;
        case Action::failed:
            ++failed;
            break;
        case Action::wroteBeside:
            ++beside;
            ++written;
            break;
        case Action::restored:
            ++written;
            break;
        }
        if (outcome.backedUpTo)
            ++saved;
        for (const RestoreOutcome& file : outcome.files)
            if (file.action == Action::failed)
                ++failed;
    }
    const std::string separator = " \u00b7 ";
    std::string line =
        std::string(dry ? "Would restore " : "Restored ") + std::to_string(written) + " " + label + " file(s)";
    if (skipped != 0)
        line += separator + std::to_string(skipped) + " skipped (exists)";
    if (needRoot != 0)
        line += separator + std::to_string(needRoot) + " skipped (needs root)";
    if (beside != 0)
        line += separator + std::to_string(beside) + " written beside";
    if (saved != 0)
        line += separator + std::to_string(saved) + " prior version(s) saved";
    if (unchanged != 0)
        line += separator + std::to_string(unchanged) + " unchanged";
    if (failed != 0)
        line += separator + std::to_string(failed) + " failed";
    return line;
}

} // namespace stowage
