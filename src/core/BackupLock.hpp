#pragma once
// One backup at a time per backup folder. Two runs writing the same folder (a scheduled run and a
// manual one, or two terminals) would interleave copies and race on backup.json; the second one is
// refused instead. The lock is an advisory lock on a file inside the folder, held for the life of
// the object and released by the kernel when the process dies, so a killed run never leaves the
// folder locked.

#include <string>

namespace stowage {

class BackupLock {
public:
    /// The sentence a refused run reports.
    static constexpr const char* busyMessage =
        "Another backup is already writing to this folder. Wait for it to finish and try again.";

    /// Takes the lock of `folder` (which must exist) without waiting. Throws BackupError::io with
    /// busyMessage when another process or object holds it, and with the system's words when the
    /// lock file cannot be opened (a link or folder planted at its name is refused, not followed).
    explicit BackupLock(const std::string& folder);
    ~BackupLock();
    BackupLock(const BackupLock&) = delete;
    BackupLock& operator=(const BackupLock&) = delete;

    static constexpr const char* fileName = ".stowage.lock";

private:
    int fd_ = -1;
};

} // namespace stowage
