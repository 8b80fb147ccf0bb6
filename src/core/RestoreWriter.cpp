#include "core/RestoreWriter.hpp"

#include "core/Paths.hpp"
#include "core/SecretsBundle.hpp"

#include <algorithm>
#include <ctime>
#include <exception>

namespace stowage {

namespace {

/// More links than this in a row are a loop.
constexpr int kMaxLinkHops = 40;

/// What a path leads to: its final links followed.
std::optional<FileInfo> resolvedInfo(const FileAccessProvider& access, std::string path) {
    for (int hop = 0; hop < kMaxLinkHops; ++hop) {
        auto info = access.info(path);
        if (!info || !info->isSymlink)
            return info;
        auto next = access.destinationOfSymlink(path);
        if (!next)
            return std::nullopt;
        path = std::move(*next);
    }
    return std::nullopt;
}

bool isFolder(const FileAccessProvider& access, const std::string& path) {
    auto info = resolvedInfo(access, path);
    return info && info->isDirectory;
}

/// Permission bits a restore gives: set-user-ID and set-group-ID never come back from a backup.
std::uint16_t restoredMode(std::uint16_t mode) {
    return static_cast<std::uint16_t>(mode & 01777);
}

std::string describe(const std::exception& e) {
    return e.what();
}

} // namespace

RestoreWriter::RestoreWriter(FileAccessProvider& access, ConflictPolicy policy, std::optional<std::string> snapshot,
                             std::string runName, std::optional<std::string> prefix, bool dryRun)
    : access_(access), policy_(policy), snapshot_(std::move(snapshot)), runName_(std::move(runName)),
      prefix_(std::move(prefix)), dryRun_(dryRun) {}

std::string RestoreWriter::runFolderName(Timestamp when) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
    std::tm utc{};
    ::gmtime_r(&seconds, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &utc);
    return text;
}

RestoreOutcome RestoreWriter::failure(const std::string& recorded, std::string reason) {
    RestoreOutcome outcome;
    outcome.originalPath = recorded;
    outcome.action = RestoreOutcome::Action::failed;
    outcome.error = std::move(reason);
    return outcome;
}

std::string RestoreWriter::rootFor(const std::string& path) const {
    if (prefix_)
        return *prefix_;
    // The deepest folder that is there now: links on the way to it are the user's own (a restore
    // creates none), and whatever lies below it will be created by this restore.
    std::string folder = paths::parent(path);
    while (folder.size() > 1 && !access_.exists(folder))
        folder = paths::parent(folder);
    return folder.empty() ? std::string("/") : folder;
}

void RestoreWriter::sweepSavedCopies() {
    if (swept_ || dryRun_ || !snapshot_)
        return;
    swept_ = true;
    // Folders only, links never entered: the saved copies are ours, whatever else is there is not.
    std::vector<std::string> folders{*snapshot_};
    while (!folders.empty()) {
        const std::string folder = folders.back();
        folders.pop_back();
        auto info = access_.info(folder);
        if (!info || info->isSymlink || !info->isDirectory)
            continue;
        removeTemporaryLeftovers(folder);
        for (const std::string& child : access_.children(folder))
            if (auto c = access_.info(child); c && c->isDirectory && !c->isSymlink)
                folders.push_back(child);
    }
}

std::string RestoreWriter::save(const Bytes& content, const std::string& savedAs) {
    const std::string root = paths::parent(*snapshot_);
    const std::string run = paths::join(*snapshot_, runName_);
    if (!runFolderReady_) {
        access_.createDirectoryBeneath(root, *snapshot_, 0700);
        access_.createDirectoryBeneath(root, run, 0700);
        runFolderReady_ = true;
    }
    const std::string path = paths::join(run, paths::relativeForm(savedAs));
    std::string candidate = path;
    for (int n = 2; access_.info(candidate); ++n)
        candidate = path + "." + std::to_string(n);
    access_.writeBeneath(root, content, candidate, 0600);
    return candidate;
}

RestoreOutcome RestoreWriter::restoreFile(const std::string& recorded, const std::string& savedAs, const Bytes& data,
                                          std::uint16_t mode, const std::string& target) {
    using Action = RestoreOutcome::Action;
    mode = restoredMode(mode);
    RestoreOutcome outcome;
    outcome.originalPath = recorded;
    if (dryRun_)
        outcome.diff = SecretsBundle::diff(data, target, access_);
    else {
        // A killed earlier restore may have left a temporary file beside this one.
        sweepSavedCopies();
        removeTemporaryLeftovers(paths::parent(target));
    }

    std::optional<Bytes> current;
    bool saveFirst = false;
    if (!access_.exists(target)) {
        outcome.action = Action::restored;
        outcome.writtenPath = target;
    } else if (isFolder(access_, target)) {
        if (policy_ == ConflictPolicy::skip) {
            outcome.action = Action::skipped;
            return outcome;
        }
        if (policy_ == ConflictPolicy::overwrite) {
            RestoreOutcome failed = failure(recorded, "a folder is where this file belongs; it was left as it is");
            failed.diff = std::move(outcome.diff);
            return failed;
        }
        outcome.action = Action::wroteBeside;
        outcome.writtenPath = besidePath(target);
    } else {
        current = access_.read(target);
        const bool sameBytes = current && *current == data;
        const auto info = resolvedInfo(access_, target);
        const bool sameMode = info && (info->posixPermissions & 07777) == mode;
        if (sameBytes && (sameMode || policy_ != ConflictPolicy::overwrite)) {
            outcome.action = Action::unchanged;
            outcome.writtenPath = target;
            return outcome;
        }
        if (policy_ == ConflictPolicy::skip) {
            outcome.action = Action::skipped;
            return outcome;
        }
        if (policy_ == ConflictPolicy::writeBeside) {
            outcome.action = Action::wroteBeside;
            outcome.writtenPath = besidePath(target);
        } else {
            outcome.action = Action::restored;
            outcome.writtenPath = target;
            // Equal bytes under other permission bits lose nothing when replaced.
            saveFirst = snapshot_.has_value() && !sameBytes;
        }
    }
    if (outcome.writtenPath) {
        std::string folder = paths::parent(*outcome.writtenPath);
        while (folder.size() > 1 && !access_.exists(folder))
            folder = paths::parent(folder);
        if (!folder.empty() && !isFolder(access_, folder)) {
            RestoreOutcome failed =
                failure(recorded, "a file is where one of its folders belongs (" + folder + "); it was left as it is");
            failed.diff = std::move(outcome.diff);
            return failed;
        }
    }
    if (dryRun_)
        return outcome;

    if (saveFirst) {
        std::string reason;
        if (!current) {
            reason = "the file there cannot be read";
        } else {
            try {
                outcome.backedUpTo = save(*current, savedAs);
            } catch (const std::exception& e) {
                reason = describe(e);
            }
        }
        if (!outcome.backedUpTo)
            return failure(recorded, "could not save the file it would replace (" + reason + "); it was left as it is");
    }
    access_.writeBeneath(rootFor(*outcome.writtenPath), data, *outcome.writtenPath, mode);
    return outcome;
}

RestoreOutcome RestoreWriter::restoreTree(const std::string& recorded, const std::string& savedAs,
                                          const std::string& source, const std::string& target) {
    using Action = RestoreOutcome::Action;
    RestoreOutcome outcome;
    outcome.originalPath = recorded;
    if (dryRun_)
        outcome.diff = FileDiff{FileDiff::Kind::directory, {}, 0, 0};
    const bool exists = access_.exists(target);
    std::string into = target;
    if (exists && !isFolder(access_, target)) {
        // A file stands where the folder belongs.
        if (policy_ == ConflictPolicy::skip) {
            outcome.action = Action::skipped;
            return outcome;
        }
        if (policy_ == ConflictPolicy::overwrite) {
            RestoreOutcome failed = failure(recorded, "a file is where this folder belongs; it was left as it is");
            failed.diff = std::move(outcome.diff);
            return failed;
        }
        into = besidePath(target);
        outcome.action = Action::wroteBeside;
    } else {
        outcome.action = Action::restored;
    }
    outcome.writtenPath = into;

    const auto sourceInfo = access_.info(source);
    const std::uint16_t folderMode = restoredMode(sourceInfo ? sourceInfo->posixPermissions : 0755);
    const bool fresh = !access_.exists(into);
    if (fresh && !dryRun_) {
        // Folders on the way get the usual bits; only the folder itself carries the backed-up ones.
        const std::string root = rootFor(into);
        if (paths::parent(into) != root && !access_.exists(paths::parent(into)))
            access_.createDirectoryBeneath(root, paths::parent(into), std::nullopt);
        access_.createDirectoryBeneath(root, into, static_cast<std::uint16_t>(folderMode | 0700));
    }
    mergeTree(source, into, recorded, savedAs, outcome.files);
    // Permission bits last, so a read-only folder does not stop its own filling.
    if (fresh && !dryRun_ && (folderMode | 0700) != folderMode)
        access_.createDirectoryBeneath(rootFor(into), into, folderMode);

    if (exists && outcome.action == Action::restored && outcome.files.empty())
        outcome.action = Action::unchanged;
    const bool anySaved = std::any_of(outcome.files.begin(), outcome.files.end(),
                                      [](const RestoreOutcome& file) { return file.backedUpTo.has_value(); });
    if (anySaved)
        outcome.backedUpTo = paths::join(paths::join(*snapshot_, runName_), paths::relativeForm(savedAs));
    return outcome;
}

void RestoreWriter::mergeTree(const std::string& source, const std::string& target, const std::string& recorded,
                              const std::string& savedAs, std::vector<RestoreOutcome>& files) {
    // A killed earlier restore may have left a temporary file here; files this run leaves alone
    // would never trigger the writes' own clean-up.
    if (!dryRun_) {
        sweepSavedCopies();
        removeTemporaryLeftovers(target);
    }
    std::vector<std::string> children = access_.children(source);
    std::sort(children.begin(), children.end());
    for (const std::string& child : children) {
        const std::string name = paths::lastComponent(child);
        // A temporary item left in the backup folder by a killed backup is not part of the backup.
        if (isTemporaryName(name))
            continue;
        const std::string to = paths::join(target, name);
        const std::string childRecorded = paths::join(recorded, name);
        const std::string childSavedAs = paths::join(savedAs, name);
        const auto info = access_.info(child);
        if (!info) {
            files.push_back(failure(childRecorded, "the stored copy cannot be examined"));
            continue;
        }
        if (info->isSymlink) {
            // A backup never stores links; one found here was put there by someone else.
            files.push_back(failure(childRecorded, "a symbolic link in the backup folder; links are never restored"));
            continue;
        }
        if (!info->isDirectory) {
            auto bytes = access_.read(child);
            if (!bytes) {
                files.push_back(failure(childRecorded, "the stored copy cannot be read"));
                continue;
            }
            RestoreOutcome file = restoreFile(childRecorded, childSavedAs, *bytes, info->posixPermissions, to);
            if (file.action != RestoreOutcome::Action::unchanged)
                files.push_back(std::move(file));
            continue;
        }
        RestoreOutcome folder = restoreTree(childRecorded, childSavedAs, child, to);
        // The folder's own line only when something about it is worth saying; its files follow it.
        std::vector<RestoreOutcome> inside = std::move(folder.files);
        folder.files.clear();
        folder.diff.reset();
        if (folder.action == RestoreOutcome::Action::skipped || folder.action == RestoreOutcome::Action::failed ||
            folder.action == RestoreOutcome::Action::wroteBeside)
            files.push_back(std::move(folder));
        for (RestoreOutcome& file : inside)
            files.push_back(std::move(file));
    }
}

} // namespace stowage
