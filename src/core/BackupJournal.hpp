#pragma once
// What a backup run has begun to change in a folder that already holds a backup. Copies are
// refreshed in place and the essential files are committed last, so between the first replaced
// copy and the end of the commit (and for good, when the run fails or is killed there) the folder
// holds files newer than the backup.json that describes it. Each such file's new size and SHA-256
// are made durable here before the file is replaced, and so is the bundle the commit is about to
// replace, so verify can tell "replaced by a later, unfinished run" from damage. A finished run
// removes the journal; until then it only grows. Lines are single JSON objects; a torn last line
// (a crash mid-append) is ignored by readers.

#include "core/FileAccess.hpp"

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>

namespace stowage {

class BackupJournal {
public:
    static constexpr const char* fileName = ".stowage-journal";
    /// A journal is read up to this size; beyond it the rest is ignored.
    static constexpr std::int64_t maxBytes = std::int64_t{64} << 20;

    /// Digests a reader may accept for a stored path (relative to the backup folder): size and
    /// lower-case hex SHA-256.
    using Entries = std::multimap<std::string, std::pair<std::int64_t, std::string>>;

    explicit BackupJournal(std::string root);
    ~BackupJournal();
    BackupJournal(const BackupJournal&) = delete;
    BackupJournal& operator=(const BackupJournal&) = delete;

    /// Appends the file's coming content and waits until it is on disk. Safe from several threads.
    /// Throws BackupError::io when it cannot; the caller must then leave the file as it is.
    void record(const std::string& absolutePath, std::int64_t size, const std::string& sha256);
    /// Removes the journal after a finished run; a failure to remove it only leaves it for the next.
    void finish();

    /// The entries of `root`'s journal; empty when there is none or it cannot be read.
    static Entries read(const std::string& root, const FileAccessProvider& access);

private:
    std::string root_;
    std::mutex mutex_;
    int fd_ = -1;
};

} // namespace stowage
