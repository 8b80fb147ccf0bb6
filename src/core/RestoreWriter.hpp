#pragma once
// Writes backed-up files and folder trees back onto this machine under a conflict policy: the one
// place where config items, project trees and secrets meet the file system on restore.
//
// Invariants, whatever the policy:
// - A file that already holds the backed-up bytes (and permission bits) is neither saved nor
//   rewritten: its outcome is `unchanged`.
// - Under `skip` an existing file is kept; under `writeBeside` a differing existing file is kept
//   and the backed-up version goes beside it; only `overwrite` replaces, and with saved copies
//   asked for, only after the old content was saved. A save that fails leaves the file as it is
//   and the outcome `failed` with the reason. Folders are merged file by file under the same rules.
// - Nothing read from a backup becomes a symbolic link. Every write goes through writeBeneath or
//   createDirectoryBeneath: under a prefix, nothing below the prefix is followed; otherwise the
//   deepest folder that exists when the file is reached (links the user had there included) is the
//   root, and everything this restore creates below it is entered without following links.
// - Saved copies go into one folder per run, <snapshot>/<UTC time>/<relative recorded path>,
//   owner-only (folders 0700, files 0600) whatever the umask, below the snapshot's parent (the
//   backup folder) without following any link there. An existing saved copy is never replaced: a
//   second copy of the same path in the same folder gets a numbered name.

#include "core/ConflictPolicy.hpp"
#include "core/FileAccess.hpp"
#include "core/RestoreOutcome.hpp"
#include "core/Types.hpp"

#include <cstdint>
#include <optional>
#include <string>

namespace stowage {

class RestoreWriter {
public:
    /// `snapshot`: the folder holding the per-run folders of saved copies (absent: nothing is
    /// saved); `runName`: this run's folder inside it (see runFolderName); `prefix`: when present,
    /// the folder every target lies under.
    RestoreWriter(FileAccessProvider& access, ConflictPolicy policy, std::optional<std::string> snapshot,
                  std::string runName, std::optional<std::string> prefix, bool dryRun);

    /// "20261206T201500Z": the UTC time as a folder name that sorts in time order.
    static std::string runFolderName(Timestamp when);

    /// One file: `recorded` is the outcome's path, `savedAs` the (absolute) path whose relative
    /// form names the saved copy, `data` and `mode` the backed-up content and permission bits.
    /// Throws the first failing write of the file itself; a failed save is an outcome, not a throw.
    RestoreOutcome restoreFile(const std::string& recorded, const std::string& savedAs, const Bytes& data,
                               std::uint16_t mode, const std::string& target);

    /// One folder tree stored at `source`, merged into `target`: folders missing at the target are
    /// created with the backed-up permission bits, and each file is handled as restoreFile does.
    /// The outcome lists in `files` every file that changes, is kept or fails (identical ones are
    /// left out); a dry run also carries a `directory` diff for the folder itself.
    RestoreOutcome restoreTree(const std::string& recorded, const std::string& savedAs, const std::string& source,
                               const std::string& target);

    /// The outcome of an entry that could not be considered at all.
    static RestoreOutcome failure(const std::string& recorded, std::string reason);

private:
    void mergeTree(const std::string& source, const std::string& target, const std::string& recorded,
                   const std::string& savedAs, std::vector<RestoreOutcome>& files);
    /// The root a write of `path` happens beneath (see the invariants).
    std::string rootFor(const std::string& path) const;
    /// Saves `content` as this run's copy of `savedAs`; answers the saved copy's path. Throws.
    std::string save(const Bytes& content, const std::string& savedAs);

    FileAccessProvider& access_;
    ConflictPolicy policy_;
    std::optional<std::string> snapshot_;
    std::string runName_;
    std::optional<std::string> prefix_;
    bool dryRun_;
    bool runFolderReady_ = false;
    bool swept_ = false;
    /// A real run's first write clears what killed runs left in the saved-copies folder.
    void sweepSavedCopies();
};

} // namespace stowage
