// DirectFileAccess: the plain file system, through POSIX calls.
//
// Invariants of the write side (write and copyItem):
// - New content is built under a temporary name in the target's own folder, created with
//   O_CREAT|O_EXCL|O_NOFOLLOW and given its final permission bits before the first byte, flushed to
//   disk and only then renamed over the target. Whatever was at the target (file, link or folder)
//   stays untouched until that moment, so a failure or a crash at any point leaves either the old
//   item or the complete new one, never a mix and never nothing.
// - Temporary names look like ".<name>.stowage-tmp-<pid>-<run>-<random>". A failed call removes its
//   own temporary; a crash leaves it behind, and the first write-side call of a later process into
//   that folder removes every leftover whose process is gone (or that came from an earlier process
//   that had the same pid).
// - createDirectory, remove and copyItem report failures as std::filesystem::filesystem_error, whose
//   what() reads "filesystem error: <what we tried>: <system reason> [<path>]" and whose code()
//   carries the errno. write reports a folder it cannot make the same way, and any failure to
//   produce the file as BackupError::io("could not write <path>").

#include "core/FileAccess.hpp"

#include "core/BackupError.hpp"
#include "core/FileAccessSeam.hpp"
#include "core/Paths.hpp"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <signal.h>
#include <string_view>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unordered_set>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace stowage {

void (*seams::onTemporaryCreated)(const std::string& path) = nullptr;

namespace {

constexpr std::string_view kTempMarker = ".stowage-tmp-";

std::error_code lastError() {
    return std::error_code(errno, std::generic_category());
}

[[noreturn]] void throwFs(const std::string& what, const std::string& path, std::error_code ec) {
    throw fs::filesystem_error(what, fs::path(path), ec);
}

[[noreturn]] void throwFs(const std::string& what, const std::string& from, const std::string& to, std::error_code ec) {
    throw fs::filesystem_error(what, fs::path(from), fs::path(to), ec);
}

/// Closes a descriptor on scope exit unless released.
class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    void reset(int fd = -1) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = fd;
    }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    /// Closes now and reports whether the kernel accepted the close (delayed write errors surface here).
    bool close() {
        int fd = fd_;
        fd_ = -1;
        return fd < 0 || ::close(fd) == 0;
    }

private:
    int fd_;
};

std::string hex(std::uint64_t value, int digits) {
    static const char* const kDigits = "0123456789abcdef";
    std::string s(static_cast<size_t>(digits), '0');
    for (int i = digits - 1; i >= 0; --i, value >>= 4)
        s[static_cast<size_t>(i)] = kDigits[value & 0xf];
    return s;
}

std::uint64_t randomWord() {
    std::uint64_t v = 0;
    if (::getrandom(&v, sizeof v, 0) != static_cast<ssize_t>(sizeof v)) {
        // No entropy source: uniqueness still comes from O_EXCL and the retry loop.
        static std::uint64_t counter = 0;
        v = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^ ++counter;
    }
    return v;
}

/// Identifies this process among earlier ones that had the same pid (containers reuse pids).
const std::string& runToken() {
    static const std::string token = hex(randomWord(), 8);
    return token;
}

/// The last component, cut at a UTF-8 character boundary so the temporary name stays within NAME_MAX.
std::string shortName(const std::string& name) {
    constexpr size_t kMax = 120;
    if (name.size() <= kMax)
        return name;
    size_t cut = kMax;
    while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80)
        --cut;
    return name.substr(0, cut);
}

std::string tempPathFor(const std::string& folder, const std::string& name) {
    return paths::join(folder, "." + shortName(name) + std::string(kTempMarker) + std::to_string(::getpid()) + "-" +
                                   runToken() + "-" + hex(randomWord(), 8));
}

struct TempOwner {
    long pid;
    std::string run;
};

/// Parses a temporary name; absent for any other name.
std::optional<TempOwner> parseTempName(const std::string& name) {
    if (name.empty() || name[0] != '.')
        return std::nullopt;
    auto at = name.rfind(kTempMarker);
    if (at == std::string::npos)
        return std::nullopt;
    std::string rest = name.substr(at + kTempMarker.size());
    // <pid>-<8 hex>-<8 hex>
    auto d1 = rest.find('-');
    if (d1 == std::string::npos || d1 == 0 || d1 > 10)
        return std::nullopt;
    for (size_t i = 0; i < d1; ++i)
        if (rest[i] < '0' || rest[i] > '9')
            return std::nullopt;
    std::string tail = rest.substr(d1 + 1);
    if (tail.size() != 17 || tail[8] != '-')
        return std::nullopt;
    for (size_t i = 0; i < tail.size(); ++i) {
        if (i == 8)
            continue;
        char c = tail[i];
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return std::nullopt;
    }
    return TempOwner{std::stol(rest.substr(0, d1)), tail.substr(0, 8)};
}

bool isLeftover(const TempOwner& owner) {
    if (owner.pid == static_cast<long>(::getpid()))
        return owner.run != runToken();
    if (owner.pid <= 0)
        return true;
    return ::kill(static_cast<pid_t>(owner.pid), 0) == -1 && errno == ESRCH;
}

/// Removes leftovers of crashed writers in `folder`, once per folder per process: a later call in
/// this process cannot meet a leftover it did not make itself, since failed calls clean up.
void removeLeftoversOnce(const std::string& folder) {
    static std::mutex mutex;
    static std::unordered_set<std::string> visited;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (visited.size() > 100000)
            visited.clear();
        if (!visited.insert(folder).second)
            return;
    }
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr)
        return;
    std::vector<std::string> doomed;
    while (dirent* entry = ::readdir(dir)) {
        std::string name = entry->d_name;
        if (auto owner = parseTempName(name); owner && isLeftover(*owner))
            doomed.push_back(paths::join(folder, name));
    }
    ::closedir(dir);
    for (const auto& path : doomed) {
        std::error_code ec;
        fs::remove_all(path, ec); // best effort: a leftover we cannot remove harms nobody
    }
}

bool writeAll(int fd, const std::uint8_t* data, size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

void fsyncFolder(const std::string& folder) {
    Fd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    // A file system that cannot sync folders (EINVAL) still has the renamed file; nothing to report.
    if (dir.valid())
        ::fsync(dir.get());
}

/// Creates a fresh temporary file beside the target, already carrying its final permission bits.
/// `mode` absent: 0666 less the umask, exactly as a plain creation would give.
int createTemp(const std::string& folder, const std::string& name, std::optional<mode_t> mode, std::string& tempPath) {
    for (int attempt = 0; attempt < 16; ++attempt) {
        tempPath = tempPathFor(folder, name);
        // The umask can only narrow the creation mode, so the file is never wider than asked.
        mode_t createMode = mode ? (*mode & 0777) : 0666;
        int fd = ::open(tempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, createMode);
        if (fd < 0) {
            if (errno == EEXIST || errno == EINTR)
                continue;
            return -1;
        }
        if (seams::onTemporaryCreated != nullptr)
            seams::onTemporaryCreated(tempPath);
        if (mode && ::fchmod(fd, *mode) != 0) {
            int saved = errno;
            ::close(fd);
            ::unlink(tempPath.c_str());
            errno = saved;
            return -1;
        }
        return fd;
    }
    errno = EEXIST;
    return -1;
}

/// Puts the finished temporary item in place of `target`. A file or link at the target is replaced
/// by the rename itself. A folder at the target (or anything, when the new item is a folder, which
/// rename() cannot put over a file or a non-empty folder) is first moved aside under a temporary name,
/// so that it is never removed before the new item is in place, and removed afterwards.
bool replaceTarget(const std::string& tempPath, const std::string& target, const std::string& folder,
                   const std::string& name) {
    struct stat targetStat {};
    struct stat tempStat {};
    bool targetExists = ::lstat(target.c_str(), &targetStat) == 0;
    bool tempIsDir = ::lstat(tempPath.c_str(), &tempStat) == 0 && S_ISDIR(tempStat.st_mode);
    std::string aside;
    if (targetExists && (S_ISDIR(targetStat.st_mode) || tempIsDir)) {
        aside = tempPathFor(folder, name);
        if (::rename(target.c_str(), aside.c_str()) != 0)
            return false;
    }
    if (::rename(tempPath.c_str(), target.c_str()) != 0) {
        int saved = errno;
        if (!aside.empty())
            ::rename(aside.c_str(), target.c_str());
        errno = saved;
        return false;
    }
    fsyncFolder(folder);
    if (!aside.empty()) {
        std::error_code ec;
        fs::remove_all(aside, ec); // if this fails, a later run removes it as a leftover
    }
    return true;
}

std::string stripTrailingSlashes(std::string p) {
    return paths::withoutTrailingSlashes(std::move(p));
}

std::string folderOf(const std::string& path) {
    std::string folder = paths::parent(path);
    return folder.empty() ? std::string(".") : folder;
}

/// Creates `path` and its missing parents. With `privateMode`, every folder this call creates gets
/// exactly 0700 whatever the umask, so the folders around a private file never expose its name.
void createFolders(const std::string& path, const char* what, bool privateMode = false) {
    std::error_code ec;
    if (privateMode) {
        std::vector<std::string> missing;
        for (std::string p = path; !p.empty() && p != "/" && p != "."; p = paths::parent(p)) {
            struct stat existing {};
            if (::lstat(p.c_str(), &existing) == 0)
                break;
            missing.push_back(p);
        }
        for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
            if (::mkdir(it->c_str(), 0700) != 0 && errno != EEXIST)
                throwFs(what, *it, lastError());
            ::chmod(it->c_str(), 0700);
        }
    }
    fs::create_directories(fs::path(path), ec);
    if (ec)
        throwFs(what, path, ec);
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        throwFs(what, path, lastError());
    if (!S_ISDIR(st.st_mode))
        throwFs(what, path, std::make_error_code(std::errc::not_a_directory));
}

// ---- copying ---------------------------------------------------------------------------------

/// Permission bits kept on copies: set-user-ID and set-group-ID are dropped, since a copy made by
/// a privileged process must not turn another user's program into a privileged one.
mode_t copiedMode(mode_t mode) {
    return mode & 01777;
}

bool copyData(int in, int out) {
    bool useRange = true;
    off_t copied = 0;
    while (useRange) {
        ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, 1 << 30, 0);
        if (n > 0) {
            copied += n;
            continue;
        }
        if (n == 0 && copied > 0)
            return true;
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != ENOSYS && errno != EXDEV && errno != EINVAL && errno != EOPNOTSUPP && errno != EPERM)
            return false;
        // Not supported here, or a pseudo-file reporting no size: copy by reading from the start.
        if (copied > 0)
            return false;
        useRange = false;
    }
    if (::lseek(in, 0, SEEK_SET) < 0 && errno != ESPIPE)
        return false;
    std::vector<std::uint8_t> buffer(1 << 17);
    for (;;) {
        ssize_t n = ::read(in, buffer.data(), buffer.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (n == 0)
            return true;
        if (!writeAll(out, buffer.data(), static_cast<size_t>(n)))
            return false;
    }
}

struct CopyFailure {
    std::string what;
    std::string path;
    std::error_code ec;
};

/// Copies a regular file's bytes, permission bits and times into the fresh file at `to`.
void copyFileTo(const std::string& from, const std::string& to, bool sync, int existingOut = -1) {
    Fd out(existingOut);
    Fd in(::open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
    if (!in.valid())
        throw CopyFailure{"could not read", from, lastError()};
    struct stat st {};
    if (::fstat(in.get(), &st) != 0)
        throw CopyFailure{"could not read", from, lastError()};
    if (!out.valid()) {
        mode_t mode = copiedMode(st.st_mode);
        out.reset(::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode & 0777));
        if (!out.valid() || ::fchmod(out.get(), mode) != 0)
            throw CopyFailure{"could not create", to, lastError()};
    }
    if (!copyData(in.get(), out.get()))
        throw CopyFailure{"could not copy", to, lastError()};
    struct timespec times[2] = {st.st_atim, st.st_mtim};
    ::futimens(out.get(), times); // times are a courtesy; a copy without them is still a copy
    if (sync && ::fsync(out.get()) != 0)
        throw CopyFailure{"could not copy", to, lastError()};
    if (!out.close())
        throw CopyFailure{"could not copy", to, lastError()};
}

void copyLinkTo(const std::string& from, const std::string& to) {
    std::vector<char> buffer(4096);
    for (;;) {
        ssize_t n = ::readlink(from.c_str(), buffer.data(), buffer.size());
        if (n < 0)
            throw CopyFailure{"could not read link", from, lastError()};
        if (static_cast<size_t>(n) < buffer.size()) {
            std::string target(buffer.data(), static_cast<size_t>(n));
            if (::symlink(target.c_str(), to.c_str()) != 0)
                throw CopyFailure{"could not create link", to, lastError()};
            return;
        }
        buffer.resize(buffer.size() * 2);
    }
}

/// Copies the tree at `from` into the not yet existing `to`. Links are copied as links; sockets,
/// pipes and devices are skipped (their "content" is not data that can be copied).
void copyTreeTo(const std::string& from, const std::string& to, const struct stat& rootStat) {
    if (::mkdir(to.c_str(), 0700) != 0)
        throw CopyFailure{"could not create folder", to, lastError()};
    DIR* dir = ::opendir(from.c_str());
    if (dir == nullptr)
        throw CopyFailure{"could not list folder", from, lastError()};
    std::vector<std::string> names;
    errno = 0;
    while (dirent* entry = ::readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(std::move(name));
        errno = 0;
    }
    int listError = errno;
    ::closedir(dir);
    if (listError != 0)
        throw CopyFailure{"could not list folder", from, std::error_code(listError, std::generic_category())};
    for (const auto& name : names) {
        if (isTemporaryName(name))
            continue; // another writer's unfinished or abandoned item, not content
        std::string src = paths::join(from, name);
        std::string dst = paths::join(to, name);
        struct stat st {};
        if (::lstat(src.c_str(), &st) != 0)
            throw CopyFailure{"could not read", src, lastError()};
        if (S_ISDIR(st.st_mode))
            copyTreeTo(src, dst, st);
        else if (S_ISLNK(st.st_mode))
            copyLinkTo(src, dst);
        else if (S_ISREG(st.st_mode))
            copyFileTo(src, dst, false);
    }
    // Permission bits last, so a read-only source folder does not stop its own filling.
    if (::chmod(to.c_str(), copiedMode(rootStat.st_mode)) != 0)
        throw CopyFailure{"could not copy", to, lastError()};
    struct timespec times[2] = {rootStat.st_atim, rootStat.st_mtim};
    ::utimensat(AT_FDCWD, to.c_str(), times, AT_SYMLINK_NOFOLLOW);
}

// ---- writing beneath a root ------------------------------------------------------------------

/// The components of `path` below `root`; throws when `path` does not lie strictly below it or
/// names "." or "..", which could lead the walk back out.
std::vector<std::string> componentsBelow(const std::string& root, const std::string& path) {
    const std::string base = paths::withoutTrailingSlashes(root);
    const std::string full = paths::withoutTrailingSlashes(path);
    if (base.empty() || full == base || !paths::isUnder(full, base))
        throw BackupError::io("will not write " + path + " outside " + root);
    std::vector<std::string> parts;
    std::string rest = base == "/" ? full.substr(1) : full.substr(base.size() + 1);
    size_t start = 0;
    while (start <= rest.size()) {
        size_t end = rest.find('/', start);
        if (end == std::string::npos)
            end = rest.size();
        std::string part = rest.substr(start, end - start);
        if (part.empty() || part == "." || part == "..")
            throw BackupError::io("will not write " + path + " outside " + root);
        parts.push_back(std::move(part));
        start = end + 1;
    }
    return parts;
}

[[noreturn]] void throwLinkInTheWay(const std::string& path) {
    throw BackupError::io("will not write through the link " + path);
}

/// Opens the root folder, creating it when missing (a link to it, or on the way to it, is the
/// caller's own choice and is followed).
int openRoot(const std::string& root, bool privateFolders) {
    int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) {
        createFolders(root, "could not create folder", privateFolders);
        fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    }
    if (fd < 0)
        throwFs("could not open folder", root, lastError());
    return fd;
}

/// Enters `name` inside the folder `parent` without following a link, creating it when missing.
/// The folder is entered only after it was created, so a link swapped in meanwhile is refused.
int enterFolder(int parent, const std::string& name, const std::string& shownPath, bool privateFolders) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        int fd = ::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd >= 0)
            return fd;
        if (errno == ENOENT && attempt == 0) {
            if (::mkdirat(parent, name.c_str(), privateFolders ? 0700 : 0777) != 0 && errno != EEXIST)
                throwFs("could not create folder", shownPath, lastError());
            if (privateFolders)
                ::fchmodat(parent, name.c_str(), 0700, 0);
            continue;
        }
        struct stat st {};
        if ((errno == ELOOP || errno == ENOTDIR) && ::fstatat(parent, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISLNK(st.st_mode))
            throwLinkInTheWay(shownPath);
        throwFs("could not create folder", shownPath, lastError());
    }
    throwFs("could not create folder", shownPath, std::make_error_code(std::errc::no_such_file_or_directory));
}

/// The folder `depth` components below `root`, walked down as enterFolder does.
int openBeneath(const std::string& root, const std::vector<std::string>& parts, size_t depth, bool privateFolders) {
    Fd current(openRoot(root, privateFolders));
    std::string shown = paths::withoutTrailingSlashes(root);
    for (size_t i = 0; i < depth; ++i) {
        shown = paths::join(shown, parts[i]);
        current.reset(enterFolder(current.get(), parts[i], shown, privateFolders));
    }
    return current.release();
}

Timestamp toTimestamp(const struct timespec& ts) {
    auto d = std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec);
    return Timestamp(std::chrono::duration_cast<Timestamp::duration>(d));
}

} // namespace

void removeTemporaryLeftovers(const std::string& folder) {
    removeLeftoversOnce(folder);
}

bool isTemporaryName(const std::string& name) {
    return parseTempName(name).has_value();
}

// ---- read side ---------------------------------------------------------------------------------

bool DirectFileAccess::exists(const std::string& path) const {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

std::optional<FileInfo> DirectFileAccess::info(const std::string& path) const {
    struct stat st {};
    if (path.empty() || ::lstat(path.c_str(), &st) != 0)
        return std::nullopt;
    FileInfo result;
    result.isDirectory = S_ISDIR(st.st_mode);
    result.isSymlink = S_ISLNK(st.st_mode);
    result.size = static_cast<std::int64_t>(st.st_size);
    result.modified = toTimestamp(st.st_mtim);
    result.posixPermissions = static_cast<std::uint16_t>(st.st_mode & 07777);
    return result;
}

std::vector<std::string> DirectFileAccess::children(const std::string& path) const {
    auto listed = listing(path);
    return listed ? std::move(*listed) : std::vector<std::string>{};
}

std::optional<std::vector<std::string>> FileAccessProvider::listing(const std::string& path) const {
    return children(path);
}

std::optional<std::vector<std::string>> DirectFileAccess::listing(const std::string& path) const {
    DIR* dir = ::opendir(path.c_str());
    if (dir == nullptr)
        return std::nullopt;
    std::vector<std::string> result;
    errno = 0;
    while (dirent* entry = ::readdir(dir)) {
        const char* name = entry->d_name;
        if (std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0)
            result.push_back(paths::join(path, name));
        errno = 0;
    }
    bool failed = errno != 0;
    ::closedir(dir);
    if (failed)
        return std::nullopt;
    return result;
}

std::optional<Bytes> FileAccessProvider::readAtMost(const std::string& path, std::int64_t maxBytes,
                                                    bool* tooLarge) const {
    if (tooLarge)
        *tooLarge = false;
    auto found = info(path);
    if (found && !found->isSymlink && found->size > maxBytes) {
        if (tooLarge)
            *tooLarge = true;
        return std::nullopt;
    }
    auto data = read(path);
    if (data && static_cast<std::int64_t>(data->size()) > maxBytes) {
        if (tooLarge)
            *tooLarge = true;
        return std::nullopt;
    }
    return data;
}

std::optional<Bytes> DirectFileAccess::readAtMost(const std::string& path, std::int64_t maxBytes,
                                                  bool* tooLarge) const {
    if (tooLarge)
        *tooLarge = false;
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!fd.valid())
        return std::nullopt;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return std::nullopt;
    // The size is checked before and during the read: a file that grows meanwhile is cut off at
    // one byte past the limit, never read on.
    const auto limit = static_cast<std::uint64_t>(maxBytes < 0 ? 0 : maxBytes);
    if (static_cast<std::uint64_t>(st.st_size) > limit) {
        if (tooLarge)
            *tooLarge = true;
        return std::nullopt;
    }
    Bytes data;
    data.reserve(static_cast<size_t>(st.st_size));
    std::uint8_t buffer[1 << 16];
    for (;;) {
        ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return std::nullopt;
        }
        if (n == 0)
            break;
        data.insert(data.end(), buffer, buffer + n);
        if (data.size() > limit) {
            if (tooLarge)
                *tooLarge = true;
            return std::nullopt;
        }
    }
    return data;
}

std::optional<Bytes> DirectFileAccess::read(const std::string& path) const {
    // O_NONBLOCK so that a named pipe cannot stall the caller; only regular files are read.
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!fd.valid())
        return std::nullopt;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return std::nullopt;
    Bytes data;
    data.reserve(static_cast<size_t>(st.st_size > 0 ? st.st_size : 0));
    std::uint8_t buffer[1 << 16];
    for (;;) {
        ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return std::nullopt;
        }
        if (n == 0)
            break;
        data.insert(data.end(), buffer, buffer + n);
    }
    return data;
}

std::optional<std::string> DirectFileAccess::destinationOfSymlink(const std::string& path) const {
    std::vector<char> buffer(4096);
    for (;;) {
        ssize_t n = ::readlink(path.c_str(), buffer.data(), buffer.size());
        if (n < 0)
            return std::nullopt;
        if (static_cast<size_t>(n) < buffer.size()) {
            std::string target(buffer.data(), static_cast<size_t>(n));
            if (!target.empty() && target[0] == '/')
                return target;
            return paths::join(folderOf(path), target);
        }
        if (buffer.size() >= (1u << 20))
            return std::nullopt;
        buffer.resize(buffer.size() * 2);
    }
}

// ---- write side --------------------------------------------------------------------------------

void DirectFileAccess::write(const Bytes& data, const std::string& rawPath, std::optional<std::uint16_t> mode) {
    const std::string path = stripTrailingSlashes(rawPath);
    const std::string folder = folderOf(path);
    const std::string name = paths::lastComponent(path);
    // A file that only its owner may read gets private new parent folders too.
    createFolders(folder, "could not create folder", mode && (*mode & 077) == 0);
    if (name.empty() || name == "." || name == "..")
        throw BackupError::io("could not write " + rawPath);
    removeLeftoversOnce(folder);

    std::string tempPath;
    Fd fd(createTemp(folder, name, mode ? std::optional<mode_t>(*mode & 07777) : std::nullopt, tempPath));
    if (!fd.valid())
        throw BackupError::io("could not write " + path);
    bool ok = writeAll(fd.get(), data.data(), data.size()) && ::fsync(fd.get()) == 0;
    ok = fd.close() && ok;
    if (!ok || !replaceTarget(tempPath, path, folder, name)) {
        ::unlink(tempPath.c_str());
        throw BackupError::io("could not write " + path);
    }
}

void DirectFileAccess::createDirectory(const std::string& path, std::optional<std::uint16_t> mode) {
    createFolders(path, "could not create folder");
    if (mode && ::chmod(path.c_str(), *mode & 07777) != 0)
        throwFs("could not set permissions of", path, lastError());
}

void DirectFileAccess::remove(const std::string& path) {
    // The entry itself decides, so a dangling link is removed too rather than reported as gone.
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        if (errno == ENOENT || errno == ENOTDIR)
            return;
        throwFs("could not remove", path, lastError());
    }
    std::error_code ec;
    fs::remove_all(fs::path(path), ec);
    if (ec)
        throwFs("could not remove", path, ec);
}

void DirectFileAccess::copyItem(const std::string& rawSource, const std::string& rawDestination) {
    const std::string source = stripTrailingSlashes(rawSource);
    const std::string destination = stripTrailingSlashes(rawDestination);
    const std::string folder = folderOf(destination);
    const std::string name = paths::lastComponent(destination);

    // Every refusal comes before the destination's folders are made, so a refused copy leaves no trace.
    struct stat st {};
    if (::lstat(source.c_str(), &st) != 0)
        throwFs("could not copy", source, destination, lastError());
    if (name.empty() || name == "." || name == "..")
        throwFs("could not copy", source, destination, std::make_error_code(std::errc::invalid_argument));
    if (S_ISDIR(st.st_mode)) {
        // Copying a folder into itself would never end.
        std::error_code ec1, ec2;
        auto src = fs::weakly_canonical(source, ec1).string();
        auto dst = fs::weakly_canonical(destination, ec2).string();
        if (!ec1 && !ec2 && src != dst && paths::isUnder(dst, src))
            throwFs("could not copy a folder into itself", source, destination,
                    std::make_error_code(std::errc::invalid_argument));
    } else if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) {
        throwFs("could not copy", source, destination, std::make_error_code(std::errc::operation_not_supported));
    }
    createFolders(folder, "could not create folder");
    removeLeftoversOnce(folder);

    std::string tempPath;
    try {
        if (S_ISREG(st.st_mode)) {
            int out = createTemp(folder, name, copiedMode(st.st_mode), tempPath);
            if (out < 0)
                throw CopyFailure{"could not copy", destination, lastError()};
            copyFileTo(source, tempPath, true, out);
        } else if (S_ISLNK(st.st_mode)) {
            tempPath = tempPathFor(folder, name);
            copyLinkTo(source, tempPath);
        } else {
            tempPath = tempPathFor(folder, name);
            copyTreeTo(source, tempPath, st);
            // One flush of the whole file system instead of one per file.
            Fd dir(::open(tempPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            if (!dir.valid() || ::syncfs(dir.get()) != 0)
                throw CopyFailure{"could not copy", destination, lastError()};
        }
        if (!replaceTarget(tempPath, destination, folder, name))
            throw CopyFailure{"could not copy", destination, lastError()};
    } catch (const CopyFailure& failure) {
        if (!tempPath.empty()) {
            std::error_code ignored;
            fs::remove_all(tempPath, ignored);
        }
        // Name the user's paths, never our temporary ones.
        bool aboutSource = failure.path != destination && (tempPath.empty() || failure.path.rfind(tempPath, 0) != 0);
        if (aboutSource)
            throwFs(failure.what, failure.path, failure.ec);
        throwFs(failure.what, source, destination, failure.ec);
    }
}

void DirectFileAccess::writeBeneath(const std::string& root, const Bytes& data, const std::string& path,
                                    std::optional<std::uint16_t> mode) {
    const std::vector<std::string> parts = componentsBelow(root, path);
    const std::string& name = parts.back();
    const bool privateFolders = mode && (*mode & 077) == 0;
    Fd folder(openBeneath(root, parts, parts.size() - 1, privateFolders));

    struct stat existing {};
    if (::fstatat(folder.get(), name.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(existing.st_mode))
        throw BackupError::io("could not write " + path + ": a folder is in the way");
    std::string tempName;
    Fd out;
    for (int attempt = 0; attempt < 16 && !out.valid(); ++attempt) {
        tempName = paths::lastComponent(tempPathFor(".", name));
        const mode_t createMode = mode ? (*mode & 0777) : 0666;
        out.reset(
            ::openat(folder.get(), tempName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, createMode));
        if (!out.valid() && errno != EEXIST && errno != EINTR)
            throw BackupError::io("could not write " + path);
    }
    if (!out.valid())
        throw BackupError::io("could not write " + path);
    bool ok = (!mode || ::fchmod(out.get(), *mode & 07777) == 0) && writeAll(out.get(), data.data(), data.size()) &&
              ::fsync(out.get()) == 0;
    ok = out.close() && ok;
    // renameat replaces a file or a link at the name itself; it never follows the link.
    if (!ok || ::renameat(folder.get(), tempName.c_str(), folder.get(), name.c_str()) != 0) {
        ::unlinkat(folder.get(), tempName.c_str(), 0);
        throw BackupError::io("could not write " + path);
    }
    ::fsync(folder.get());
}

void DirectFileAccess::createDirectoryBeneath(const std::string& root, const std::string& path,
                                              std::optional<std::uint16_t> mode) {
    const std::vector<std::string> parts = componentsBelow(root, path);
    const bool privateFolders = mode && (*mode & 077) == 0;
    Fd folder(openBeneath(root, parts, parts.size(), privateFolders));
    if (mode && ::fchmod(folder.get(), *mode & 07777) != 0)
        throwFs("could not set permissions of", path, lastError());
}

// ---- Writing beneath a root, for any provider ------------------------------------------------------

namespace {

/// Walks the folders below `root` down to `depth` components with the provider's own calls: a
/// link is refused, a missing folder is created and checked again afterwards.
void checkBeneath(FileAccessProvider& access, const std::string& root, const std::vector<std::string>& parts,
                  size_t depth, bool privateFolders) {
    if (!access.exists(root))
        access.createDirectory(root, privateFolders ? std::optional<std::uint16_t>(0700) : std::nullopt);
    std::string current = paths::withoutTrailingSlashes(root);
    for (size_t i = 0; i < depth; ++i) {
        current = paths::join(current, parts[i]);
        auto info = access.info(current);
        if (!info) {
            access.createDirectory(current, privateFolders ? std::optional<std::uint16_t>(0700) : std::nullopt);
            info = access.info(current);
        }
        if (info && info->isSymlink)
            throwLinkInTheWay(current);
        if (!info || !info->isDirectory)
            throwFs("could not create folder", current, std::make_error_code(std::errc::not_a_directory));
    }
}

} // namespace

void FileAccessProvider::writeBeneath(const std::string& root, const Bytes& data, const std::string& path,
                                      std::optional<std::uint16_t> mode) {
    const std::vector<std::string> parts = componentsBelow(root, path);
    checkBeneath(*this, root, parts, parts.size() - 1, mode && (*mode & 077) == 0);
    if (auto existing = info(path); existing && existing->isDirectory)
        throw BackupError::io("could not write " + path + ": a folder is in the way");
    write(data, path, mode);
}

void FileAccessProvider::createDirectoryBeneath(const std::string& root, const std::string& path,
                                                std::optional<std::uint16_t> mode) {
    const std::vector<std::string> parts = componentsBelow(root, path);
    checkBeneath(*this, root, parts, parts.size(), mode && (*mode & 077) == 0);
    if (mode)
        createDirectory(path, mode);
}

// ---- AccessScope ---------------------------------------------------------------------------------

AccessScope::AccessScope(FileAccessProvider& access, std::vector<std::string> roots)
    : access_(access), roots_(std::move(roots)) {
    for (const auto& root : roots_)
        access_.beginAccess(root);
}

AccessScope::~AccessScope() {
    for (auto it = roots_.rbegin(); it != roots_.rend(); ++it) {
        try {
            access_.endAccess(*it);
        } catch (...) {
            // Ending access has nothing to report, and must not replace an error already on its way.
        }
    }
}

} // namespace stowage
