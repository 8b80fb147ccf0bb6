#include "cli/SecretInput.hpp"

#include "core/Paths.hpp"

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <iostream>
#include <stdexcept>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace stowage::cli {

namespace {

/// Echo is switched off for the lifetime of the object and restored afterwards, also when the
/// user interrupts the prompt (the signal is then raised again with its default action).
class NoEcho {
public:
    explicit NoEcho(int fd) : fd_(fd) {
        if (::tcgetattr(fd_, &saved_) != 0)
            return;
        active_ = this;
        previousInt_ = std::signal(SIGINT, &NoEcho::interrupted);
        previousTerm_ = std::signal(SIGTERM, &NoEcho::interrupted);
        previousHup_ = std::signal(SIGHUP, &NoEcho::interrupted);
        termios quiet = saved_;
        quiet.c_lflag &= static_cast<tcflag_t>(~ECHO);
        quiet.c_lflag |= ECHONL;
        ok_ = ::tcsetattr(fd_, TCSAFLUSH, &quiet) == 0;
    }
    ~NoEcho() {
        if (active_ == this) {
            ::tcsetattr(fd_, TCSAFLUSH, &saved_);
            std::signal(SIGINT, previousInt_);
            std::signal(SIGTERM, previousTerm_);
            std::signal(SIGHUP, previousHup_);
            active_ = nullptr;
        }
    }
    NoEcho(const NoEcho&) = delete;
    NoEcho& operator=(const NoEcho&) = delete;
    bool ok() const { return ok_; }

private:
    static void interrupted(int signal) {
        if (active_ != nullptr)
            ::tcsetattr(active_->fd_, TCSANOW, &active_->saved_);
        std::signal(signal, SIG_DFL);
        std::raise(signal);
    }

    static inline NoEcho* volatile active_ = nullptr;
    int fd_;
    termios saved_{};
    bool ok_ = false;
    void (*previousInt_)(int) = SIG_DFL;
    void (*previousTerm_)(int) = SIG_DFL;
    void (*previousHup_)(int) = SIG_DFL;
};

void dropLineBreak(SecretString& text) {
    std::string_view v = text.view();
    std::size_t keep = v.size();
    if (keep > 0 && v[keep - 1] == '\n') {
        --keep;
        if (keep > 0 && v[keep - 1] == '\r')
            --keep;
    }
    if (keep != v.size()) {
        SecretString shorter(v.substr(0, keep));
        text = std::move(shorter);
    }
}

/// Reads `fd` to its end without assuming a size or seeking, so pipes and terminals work.
SecretString readStream(int fd, const std::string& shownName, const std::string& what) {
    SecretString text;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            const int error = errno;
            secureWipe(buffer, sizeof buffer);
            throw std::runtime_error("Could not read the " + what + " file " + shownName + ": " + std::strerror(error) +
                                     ".");
        }
        if (n == 0)
            break;
        if (text.size() + static_cast<std::size_t>(n) > maxSecretFileBytes) {
            secureWipe(buffer, sizeof buffer);
            throw std::runtime_error("The " + what + " file " + shownName + " is larger than " +
                                     std::to_string(maxSecretFileBytes / 1024) + " KB; is it the right file?");
        }
        text.append(std::string_view(buffer, static_cast<std::size_t>(n)));
    }
    secureWipe(buffer, sizeof buffer);
    return text;
}

} // namespace

bool canPrompt() {
    return ::isatty(STDIN_FILENO) == 1;
}

std::optional<SecretString> promptHidden(const std::string& prompt) {
    if (!canPrompt())
        return std::nullopt;
    std::cerr << prompt << std::flush;
    NoEcho noEcho(STDIN_FILENO);
    if (!noEcho.ok())
        throw std::runtime_error("Could not switch off echo on the terminal to ask for a secret.");
    SecretString line;
    for (;;) {
        char c = 0;
        const ssize_t n = ::read(STDIN_FILENO, &c, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0 || c == '\n')
            break;
        if (c != '\r')
            line.append(std::string_view(&c, 1));
        c = 0;
    }
    return line;
}

SecretString readSecretFile(const std::string& typed, const std::string& what) {
    if (typed == "-") {
        std::string prompt = what + ": ";
        prompt[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(prompt[0])));
        if (auto asked = promptHidden(prompt))
            return std::move(*asked);
        SecretString text = readStream(STDIN_FILENO, "on standard input", what);
        dropLineBreak(text);
        return text;
    }
    std::string path = paths::expandTilde(typed);
    if (!path.empty() && path[0] != '/') {
        std::error_code ec;
        auto absolute = std::filesystem::absolute(path, ec);
        if (!ec)
            path = absolute.lexically_normal().string();
    }
    const std::string shown = paths::abbreviateHome(path);
    // Blocking on purpose: a FIFO waits for its writer as the user who named it expects.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        throw std::runtime_error("Could not read the " + what + " file " + shown + ": " + std::strerror(errno) + ".");
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        ::close(fd);
        throw std::runtime_error("The " + what + " file " + shown + " is a folder.");
    }
    try {
        SecretString text = readStream(fd, shown, what);
        ::close(fd);
        dropLineBreak(text);
        return text;
    } catch (...) {
        ::close(fd);
        throw;
    }
}

std::optional<SecretString> secretFromEnvironment(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr)
        return std::nullopt;
    return SecretString(std::string_view(value));
}

} // namespace stowage::cli
