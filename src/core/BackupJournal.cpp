#include "core/BackupJournal.hpp"

#include "core/BackupError.hpp"
#include "core/Json.hpp"
#include "core/Paths.hpp"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace stowage {

BackupJournal::BackupJournal(std::string root) : root_(std::move(root)) {}

BackupJournal::~BackupJournal() {
    if (fd_ >= 0)
        ::close(fd_);
}

void BackupJournal::record(const std::string& absolutePath, std::int64_t size, const std::string& sha256) {
    std::string relative = absolutePath;
    if (paths::isUnder(absolutePath, root_) && absolutePath.size() > root_.size())
        relative = absolutePath.substr(root_.size() + (root_ == "/" ? 0 : 1));
    const std::string line =
        nlohmann::json{{"path", json::validUtf8(relative)}, {"size", size}, {"sha256", sha256}}.dump() + "\n";
    std::lock_guard lock(mutex_);
    if (fd_ < 0) {
        // O_NOFOLLOW: a link planted at the journal's name must not send our writes elsewhere.
        fd_ = ::open(paths::join(root_, fileName).c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC,
                     0600);
        if (fd_ < 0)
            throw BackupError::io("cannot write " + std::string(fileName) + ": " + std::strerror(errno));
    }
    std::size_t done = 0;
    while (done < line.size()) {
        const ssize_t n = ::write(fd_, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            throw BackupError::io("cannot write " + std::string(fileName) + ": " + std::strerror(errno));
        done += static_cast<std::size_t>(n);
    }
    if (::fdatasync(fd_) != 0)
        throw BackupError::io("cannot write " + std::string(fileName) + ": " + std::strerror(errno));
}

void BackupJournal::finish() {
    std::lock_guard lock(mutex_);
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    ::unlink(paths::join(root_, fileName).c_str());
}

BackupJournal::Entries BackupJournal::read(const std::string& root, const FileAccessProvider& access) {
    Entries entries;
    const std::string path = paths::join(root, fileName);
    auto info = access.info(path);
    if (!info || info->isSymlink || info->isDirectory)
        return entries;
    bool tooLarge = false;
    auto bytes = access.readAtMost(path, maxBytes, &tooLarge);
    if (!bytes)
        return entries;
    std::size_t start = 0;
    const std::string text(bytes->begin(), bytes->end());
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos)
            break; // a torn last line
        try {
            auto j = nlohmann::json::parse(text.begin() + static_cast<std::ptrdiff_t>(start),
                                           text.begin() + static_cast<std::ptrdiff_t>(end));
            entries.emplace(j.at("path").get<std::string>(),
                            std::make_pair(j.at("size").get<std::int64_t>(), j.at("sha256").get<std::string>()));
        } catch (const std::exception&) {
            // A damaged line costs only itself.
        }
        start = end + 1;
    }
    return entries;
}

} // namespace stowage
