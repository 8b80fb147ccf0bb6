#include "core/BackupLock.hpp"

#include "core/BackupError.hpp"
#include "core/Paths.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace stowage {

BackupLock::BackupLock(const std::string& folder) {
    const std::string path = paths::join(folder, fileName);
    // O_NOFOLLOW: a link planted at the lock's name must not make us create or truncate a file
    // elsewhere. The file is never written, only locked.
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd_ < 0)
        throw BackupError::io("cannot lock the backup folder " + paths::abbreviateHome(folder) + ": " +
                              std::strerror(errno));
    int rc;
    do {
        rc = ::flock(fd_, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        const int error = errno;
        ::close(fd_);
        fd_ = -1;
        if (error == EWOULDBLOCK)
            throw BackupError::io(busyMessage);
        throw BackupError::io("cannot lock the backup folder " + paths::abbreviateHome(folder) + ": " +
                              std::strerror(error));
    }
}

BackupLock::~BackupLock() {
    if (fd_ >= 0)
        ::close(fd_);
}

} // namespace stowage
