// How a run ends:
//  - The child is spawned as "/usr/bin/env tool arguments..." in a session (and so a process group) of its
//    own, without a controlling terminal, with our secret variables removed from its environment, stdin on
//    /dev/null and stdout/stderr on two close-on-exec pipes. One poll loop drains both pipes and watches
//    the child's exit (through a pidfd where the kernel offers one, else by a short polling tick), so a
//    child writing more than a pipe holds is never blocked by us.
//  - The child is never reaped before the run is over: while it is a zombie its pid, and so its process
//    group id, cannot be reused, which makes signalling the group safe at any point.
//  - The time limit bounds the whole run: the tool must have exited and both streams must have reached
//    their end before it passes. Otherwise the group is asked to terminate (SIGTERM), gets up to 3 s to
//    finish, and is then killed (SIGKILL) so that a tool or helper ignoring the request cannot outlive
//    the run. The child is always reaped, then up to 2 s more are given to the streams; output is kept
//    only when both streams ended within that time.
//  - Every live child is listed in a registry from its spawn until just before it is reaped, so a process
//    shutting down on a signal can pass the signal on to every tool group (stopAll) and none is orphaned.
//    Spawning and registering happen under one lock, so no child can start unseen after stopAll.

#include "core/Shell.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <spawn.h>
#include <string_view>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace stowage {

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto terminationGrace = std::chrono::seconds(3);
constexpr auto collectionGrace = std::chrono::seconds(2);
// Without a pidfd the child's exit is noticed by looking at it this often.
constexpr int exitCheckIntervalMs = 10;
// Limits beyond this are treated as "no practical limit"; it keeps clock arithmetic far from overflow.
constexpr double longestLimitSeconds = 1.0e9;

std::string errorText(int error) {
    char buffer[256];
    // GNU strerror_r: returns a pointer to the text, which may or may not be `buffer`.
    const char* text = strerror_r(error, buffer, sizeof buffer);
    return text != nullptr ? std::string(text) : std::string("error ") + std::to_string(error);
}

bool isValidUtf8(std::string_view bytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const auto* end = p + bytes.size();
    while (p < end) {
        const unsigned char lead = *p;
        if (lead < 0x80) {
            ++p;
            continue;
        }
        std::size_t length;
        std::uint32_t minimum;
        std::uint32_t codePoint;
        if ((lead & 0xE0) == 0xC0) {
            length = 2;
            minimum = 0x80;
            codePoint = lead & 0x1F;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3;
            minimum = 0x800;
            codePoint = lead & 0x0F;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4;
            minimum = 0x10000;
            codePoint = lead & 0x07;
        } else {
            return false; // a continuation byte without a lead, or 0xF8..0xFF
        }
        if (static_cast<std::size_t>(end - p) < length) {
            return false;
        }
        for (std::size_t i = 1; i < length; ++i) {
            if ((p[i] & 0xC0) != 0x80) {
                return false;
            }
            codePoint = (codePoint << 6) | (p[i] & 0x3F);
        }
        if (codePoint < minimum || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF)) {
            return false; // overlong form, beyond Unicode, or a UTF-16 surrogate
        }
        p += length;
    }
    return true;
}

std::string decoded(std::string bytes) {
    return isValidUtf8(bytes) ? std::move(bytes) : std::string();
}

// The whitespace-and-newline set: Unicode space separators (Zs), the tab, and the line and paragraph
// separators LF, VT, FF, CR, NEL, U+2028 and U+2029.
bool isWhitespaceOrNewline(std::uint32_t c) {
    switch (c) {
    case 0x09:
    case 0x0A:
    case 0x0B:
    case 0x0C:
    case 0x0D:
    case 0x20:
    case 0x85:
    case 0xA0:
    case 0x1680:
    case 0x2028:
    case 0x2029:
    case 0x202F:
    case 0x205F:
    case 0x3000:
        return true;
    default:
        return c >= 0x2000 && c <= 0x200A;
    }
}

// Decodes the code point starting at `pos`; returns its byte length, or 0 when the bytes there are not a
// well-formed sequence.
std::size_t codePointAt(std::string_view s, std::size_t pos, std::uint32_t& codePoint) {
    const auto lead = static_cast<unsigned char>(s[pos]);
    std::size_t length = lead < 0x80             ? 1
                         : (lead & 0xE0) == 0xC0 ? 2
                         : (lead & 0xF0) == 0xE0 ? 3
                         : (lead & 0xF8) == 0xF0 ? 4
                                                 : 0;
    if (length == 0 || pos + length > s.size() || !isValidUtf8(s.substr(pos, length))) {
        return 0;
    }
    codePoint = length == 1 ? lead : lead & (0x7F >> length);
    for (std::size_t i = 1; i < length; ++i) {
        codePoint = (codePoint << 6) | (static_cast<unsigned char>(s[pos + i]) & 0x3F);
    }
    return length;
}

class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    FileDescriptor& operator=(FileDescriptor&& other) noexcept {
        if (this != &other) {
            reset(other.fd_);
            other.fd_ = -1;
        }
        return *this;
    }
    ~FileDescriptor() { reset(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    void reset(int fd = -1) {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

// A pipe whose both ends are close-on-exec and numbered above the standard streams, so that a concurrent
// spawn elsewhere in the process never inherits them and the dup2 onto 1 and 2 never collides with them.
struct Pipe {
    FileDescriptor readEnd;
    FileDescriptor writeEnd;
};

int openPipe(Pipe& pipe) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        return errno;
    }
    for (int i = 0; i < 2; ++i) {
        if (fds[i] <= STDERR_FILENO) {
            const int moved = ::fcntl(fds[i], F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
            const int error = errno;
            ::close(fds[i]);
            fds[i] = moved;
            if (moved < 0) {
                if (fds[1 - i] >= 0) {
                    ::close(fds[1 - i]);
                }
                return error;
            }
        }
    }
    pipe.readEnd.reset(fds[0]);
    pipe.writeEnd.reset(fds[1]);
    // Only our end is non-blocking; the child's end keeps ordinary blocking writes.
    const int flags = ::fcntl(fds[0], F_GETFL);
    if (flags < 0 || ::fcntl(fds[0], F_SETFL, flags | O_NONBLOCK) != 0) {
        return errno;
    }
    return 0;
}

struct Stream {
    FileDescriptor fd;
    std::string data;
    bool ended() const { return !fd; }

    // Reads what is available; closes the descriptor at end of stream or on a read error.
    void drain() {
        char buffer[65536];
        for (;;) {
            const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
            if (n > 0) {
                data.append(buffer, static_cast<std::size_t>(n));
                if (static_cast<std::size_t>(n) < sizeof buffer) {
                    return;
                }
                continue;
            }
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                return;
            }
            fd.reset();
            return;
        }
    }
};

// The children of all runs in progress; see the note at the top.
struct Registry {
    std::mutex mutex;
    std::set<pid_t> live;
    bool stopping = false;
};

Registry& registry() {
    static Registry* instance = new Registry; // never destroyed: runs may end during static destruction
    return *instance;
}

class Child {
public:
    explicit Child(pid_t pid) : pid_(pid) {
        // Called directly: glibc 2.36's <sys/pidfd.h> lacks C linkage for C++ callers.
        const long fd = ::syscall(SYS_pidfd_open, pid, 0);
        if (fd >= 0) {
            pidfd_.reset(static_cast<int>(fd));
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    // A run never returns without reaping; this is the last line of that promise.
    ~Child() {
        if (!reaped_) {
            signalAll(SIGKILL);
            reap();
        }
    }

    int pidfd() const { return pidfd_ ? pidfd_.get() : -1; }
    // The last answer of exited(), without asking again.
    bool knownExited() const { return exited_; }

    // Whether the child has exited, without reaping it.
    bool exited() {
        if (exited_) {
            return true;
        }
        siginfo_t info{};
        int result;
        do {
            result = ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT);
        } while (result != 0 && errno == EINTR);
        // ECHILD means someone else reaped it (SIGCHLD ignored process-wide); it is gone either way.
        exited_ = (result == 0 && info.si_pid == pid_) || (result != 0 && errno == ECHILD);
        return exited_;
    }

    // The group first, then the child itself in case it left the group.
    void signalAll(int signal) const {
        ::kill(-pid_, signal);
        ::kill(pid_, signal);
    }

    // Waits for the child to end and collects it. Returns the raw wait status, or nullopt when it was
    // reaped by someone else.
    std::optional<int> reap() {
        if (reaped_) {
            return rawStatus_;
        }
        {
            // Unlisted while still unreaped, so the pid cannot have been reused when stopAll signals it.
            std::lock_guard lock(registry().mutex);
            registry().live.erase(pid_);
        }
        int status = 0;
        pid_t result;
        do {
            result = ::waitpid(pid_, &status, 0);
        } while (result < 0 && errno == EINTR);
        reaped_ = true;
        exited_ = true;
        if (result == pid_) {
            rawStatus_ = status;
        }
        return rawStatus_;
    }

private:
    pid_t pid_;
    FileDescriptor pidfd_;
    bool exited_ = false;
    bool reaped_ = false;
    std::optional<int> rawStatus_;
};

enum class WaitFor { exitAndEnd, end };

// Drains both streams and watches the child until the condition holds or `until` passes. Returns whether
// the condition holds.
bool pump(Stream& out, Stream& err, Child& child, WaitFor condition, Clock::time_point until) {
    const auto satisfied = [&] {
        const bool streamsEnded = out.ended() && err.ended();
        return condition == WaitFor::end ? streamsEnded : streamsEnded && child.exited();
    };
    for (;;) {
        if (satisfied()) {
            return true;
        }
        const auto now = Clock::now();
        if (now >= until) {
            return false;
        }
        std::array<pollfd, 3> fds{};
        nfds_t count = 0;
        Stream* streams[2] = {nullptr, nullptr};
        for (Stream* stream : {&out, &err}) {
            if (!stream->ended()) {
                streams[count] = stream;
                fds[count++] = pollfd{stream->fd.get(), POLLIN, 0};
            }
        }
        const bool watchExit = condition == WaitFor::exitAndEnd && !child.knownExited();
        if (watchExit && child.pidfd() >= 0) {
            fds[count++] = pollfd{child.pidfd(), POLLIN, 0};
        }
        auto remaining = std::chrono::ceil<std::chrono::milliseconds>(until - now).count();
        int waitMs = static_cast<int>(std::min<long long>(remaining, 60'000));
        if (watchExit && child.pidfd() < 0) {
            waitMs = std::min(waitMs, exitCheckIntervalMs);
        }
        if (::poll(fds.data(), count, waitMs) < 0) {
            if (errno != EINTR) {
                // A transient failure (such as ENOMEM): try again shortly; the limits still apply.
                ::usleep(exitCheckIntervalMs * 1000);
            }
            continue;
        }
        for (nfds_t i = 0; i < count; ++i) {
            if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) == 0) {
                continue;
            }
            if (i < 2 && streams[i] != nullptr) {
                streams[i]->drain();
            } else {
                child.exited(); // the pidfd turned readable: record the exit
            }
        }
        if (watchExit && child.pidfd() < 0) {
            child.exited();
        }
    }
}

int exitStatus(const std::optional<int>& raw) {
    if (!raw) {
        return -1;
    }
    if (WIFEXITED(*raw)) {
        return WEXITSTATUS(*raw);
    }
    if (WIFSIGNALED(*raw)) {
        return 128 + WTERMSIG(*raw); // as shells report a death by signal
    }
    return -1;
}

Shell::Output startFailure(std::string description) {
    Shell::Output output;
    output.status = -1;
    output.err = std::move(description);
    return output;
}

std::string timeoutText(double timeout, const std::string& tool, const std::vector<std::string>& arguments) {
    const double whole = std::trunc(std::min(timeout, 9.0e18));
    std::string text = "timed out after " + std::to_string(static_cast<long long>(whole)) + "s: " + tool;
    for (const auto& argument : arguments) {
        text += ' ';
        text += argument;
    }
    return text;
}

class SpawnSetup {
public:
    SpawnSetup() {
        actionsError_ = ::posix_spawn_file_actions_init(&actions_);
        attributesError_ = ::posix_spawnattr_init(&attributes_);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;
    ~SpawnSetup() {
        if (actionsError_ == 0) {
            ::posix_spawn_file_actions_destroy(&actions_);
        }
        if (attributesError_ == 0) {
            ::posix_spawnattr_destroy(&attributes_);
        }
    }

    int prepare(const Pipe& out, const Pipe& err, const std::optional<std::string>& cwd) {
        if (actionsError_ != 0) {
            return actionsError_;
        }
        if (attributesError_ != 0) {
            return attributesError_;
        }
        int error = ::posix_spawn_file_actions_addopen(&actions_, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        if (error == 0) {
            error = ::posix_spawn_file_actions_adddup2(&actions_, out.writeEnd.get(), STDOUT_FILENO);
        }
        if (error == 0) {
            error = ::posix_spawn_file_actions_adddup2(&actions_, err.writeEnd.get(), STDERR_FILENO);
        }
        if (error == 0) {
            // The tool sees only its three standard streams, whatever else this process has open.
            error = ::posix_spawn_file_actions_addclosefrom_np(&actions_, STDERR_FILENO + 1);
        }
        if (error == 0 && cwd) {
            error = ::posix_spawn_file_actions_addchdir_np(&actions_, cwd->c_str());
        }
        if (error != 0) {
            return error;
        }
        // A fresh session, so the whole tree can be stopped at the limit and nothing in it can open the
        // terminal to prompt; default signal handling and an empty mask, whatever this process has set up
        // for itself.
        sigset_t all;
        sigset_t none;
        sigfillset(&all);
        sigemptyset(&none);
        error = ::posix_spawnattr_setflags(
            &attributes_, static_cast<short>(POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK));
        if (error == 0) {
            error = ::posix_spawnattr_setsigdefault(&attributes_, &all);
        }
        if (error == 0) {
            error = ::posix_spawnattr_setsigmask(&attributes_, &none);
        }
        return error;
    }

    const posix_spawn_file_actions_t* actions() const { return &actions_; }
    const posix_spawnattr_t* attributes() const { return &attributes_; }

private:
    posix_spawn_file_actions_t actions_{};
    posix_spawnattr_t attributes_{};
    int actionsError_ = 0;
    int attributesError_ = 0;
};

// This process's environment with `changes` applied and the secret variables removed, as "NAME=value".
std::vector<std::string> childEnvironment(const Shell::Environment& changes) {
    std::vector<std::string> result;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        const std::string_view text(*entry);
        const std::string name(text.substr(0, text.find('=')));
        if (Shell::secretVariables().count(name) != 0 || changes.unset.count(name) != 0 ||
            changes.set.count(name) != 0) {
            continue;
        }
        result.emplace_back(text);
    }
    for (const auto& [name, value] : changes.set) {
        if (!name.empty() && name.find('=') == std::string::npos && Shell::secretVariables().count(name) == 0) {
            result.push_back(name + "=" + value);
        }
    }
    return result;
}

} // namespace

const std::set<std::string>& Shell::secretVariables() {
    static const std::set<std::string> names{"STOWAGE_PASSPHRASE", "STOWAGE_RECOVERY_CODE"};
    return names;
}

std::size_t Shell::stopAll(int signal) {
    std::lock_guard lock(registry().mutex);
    registry().stopping = true;
    for (const pid_t pid : registry().live) {
        ::kill(-pid, signal);
        ::kill(pid, signal);
    }
    return registry().live.size();
}

std::size_t Shell::running() {
    std::lock_guard lock(registry().mutex);
    return registry().live.size();
}

std::string Shell::Output::trimmedOut() const {
    const std::string_view text(out);
    std::size_t begin = 0;
    while (begin < text.size()) {
        std::uint32_t c = 0;
        const std::size_t length = codePointAt(text, begin, c);
        if (length == 0 || !isWhitespaceOrNewline(c)) {
            break;
        }
        begin += length;
    }
    std::size_t end = text.size();
    while (end > begin) {
        // Step back to the start of the last code point (at most three continuation bytes).
        std::size_t start = end - 1;
        while (start > begin && end - start < 4 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) {
            --start;
        }
        std::uint32_t c = 0;
        const std::size_t length = codePointAt(text, start, c);
        if (length != end - start || !isWhitespaceOrNewline(c)) {
            break;
        }
        end = start;
    }
    return std::string(text.substr(begin, end - begin));
}

Shell::Output Shell::run(const std::string& tool, const std::vector<std::string>& arguments,
                         const std::optional<std::string>& cwd, double timeout, const Environment& environment) {
    if (!(timeout > 0)) {
        return startFailure("invalid time limit for " + tool + ": it must be a positive number of seconds");
    }
    // env would read such a name as an option or a variable assignment and run something else.
    if (tool.empty() || tool.front() == '-' || tool.find('=') != std::string::npos) {
        return startFailure("cannot run a tool named \"" + tool + "\"");
    }

    Pipe outPipe;
    Pipe errPipe;
    if (int error = openPipe(outPipe); error != 0) {
        return startFailure(errorText(error));
    }
    if (int error = openPipe(errPipe); error != 0) {
        return startFailure(errorText(error));
    }
    SpawnSetup setup;
    if (int error = setup.prepare(outPipe, errPipe, cwd); error != 0) {
        return startFailure(errorText(error));
    }

    std::vector<char*> argv;
    argv.reserve(arguments.size() + 3);
    static char envPath[] = "/usr/bin/env";
    argv.push_back(envPath);
    argv.push_back(const_cast<char*>(tool.c_str()));
    for (const auto& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);

    std::vector<std::string> environmentEntries = childEnvironment(environment);
    std::vector<char*> envp;
    envp.reserve(environmentEntries.size() + 1);
    for (auto& entry : environmentEntries) {
        envp.push_back(entry.data());
    }
    envp.push_back(nullptr);

    const auto started = Clock::now();
    pid_t pid = -1;
    std::unique_lock lock(registry().mutex);
    if (registry().stopping) {
        return startFailure("not started: stowage is stopping");
    }
    if (int error = ::posix_spawn(&pid, envPath, setup.actions(), setup.attributes(), argv.data(), envp.data());
        error != 0) {
        return startFailure(errorText(error));
    }
    registry().live.insert(pid);
    lock.unlock();
    Child child(pid);
    outPipe.writeEnd.reset();
    errPipe.writeEnd.reset();
    Stream out{std::move(outPipe.readEnd), {}};
    Stream err{std::move(errPipe.readEnd), {}};

    const double limitSeconds = std::min(timeout, longestLimitSeconds);
    const auto deadline =
        started + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(limitSeconds));

    if (pump(out, err, child, WaitFor::exitAndEnd, deadline)) {
        Output output;
        output.status = exitStatus(child.reap());
        output.out = decoded(std::move(out.data));
        output.err = decoded(std::move(err.data));
        return output;
    }

    child.signalAll(SIGTERM);
    pump(out, err, child, WaitFor::exitAndEnd, Clock::now() + terminationGrace);
    child.signalAll(SIGKILL);
    child.reap();
    const bool collected = pump(out, err, child, WaitFor::end, Clock::now() + collectionGrace);

    Output output;
    output.status = timedOutStatus;
    if (collected) {
        output.out = decoded(std::move(out.data));
    }
    output.err = timeoutText(timeout, tool, arguments);
    return output;
}

bool Shell::exists(const std::string& tool) {
    // `which` would take such a name for an option; no tool on the search path is named like that.
    if (tool.empty() || tool.front() == '-') {
        return false;
    }
    return run("which", {tool}).ok();
}

} // namespace stowage
