#include "cli/Cli.hpp"

#include "core/Settings.hpp"
#include "core/Shell.hpp"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <iostream>
#include <thread>
#include <unistd.h>

namespace stowage::cli {

Style::Style(int fd) : enabled_(::isatty(fd) == 1 && std::getenv("NO_COLOR") == nullptr) {}

std::string Style::wrap(const char* code, const std::string& s) const {
    if (!enabled_)
        return s;
    return std::string("\033[") + code + "m" + s + "\033[0m";
}

Progress::Progress() : active_(::isatty(STDERR_FILENO) == 1) {}
Progress::~Progress() {
    done();
}

void Progress::update(const std::string& message) {
    if (!active_)
        return;
    std::cerr << "\r\033[2K" << message << std::flush;
    shown_ = true;
}

void Progress::done() {
    if (active_ && shown_)
        std::cerr << "\r\033[2K" << std::flush;
    shown_ = false;
}

namespace {

// The handler only hands the signal number to the watcher thread: nothing else is safe in a handler.
int signalPipe[2] = {-1, -1};
volatile std::sig_atomic_t receivedSignal = 0;

extern "C" void passSignalOn(int signal) {
    const int saved = errno;
    if (receivedSignal == 0)
        receivedSignal = signal;
    const unsigned char number = static_cast<unsigned char>(signal);
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &number, 1);
    errno = saved;
}

bool waitForTools(std::chrono::milliseconds limit) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (Shell::running() != 0) {
        if (std::chrono::steady_clock::now() >= until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

void watchSignals() {
    unsigned char number = 0;
    ssize_t got;
    do {
        got = ::read(signalPipe[0], &number, 1);
    } while (got < 0 && errno == EINTR);
    if (got != 1)
        return;
    const int signal = number;
    // Every run reaps its own tool once it has ended; the registry empties as they do.
    Shell::stopAll(signal);
    if (!waitForTools(std::chrono::seconds(3))) {
        Shell::stopAll(SIGKILL);
        waitForTools(std::chrono::seconds(2));
    }
    dieOfTerminationSignal();
}

} // namespace

void dieOfTerminationSignal() {
    const int signal = receivedSignal;
    if (signal == 0)
        return;
    if (::isatty(STDERR_FILENO) == 1)
        std::fputs("\r\033[2K", stderr); // a progress line would otherwise stay behind
    std::fflush(stdout);
    std::signal(signal, SIG_DFL);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal);
    ::pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    std::raise(signal);
    std::_Exit(128 + signal);
}

void forwardTerminationSignals() {
    if (::pipe2(signalPipe, O_CLOEXEC) != 0)
        return;
    struct sigaction action {};
    action.sa_handler = passSignalOn;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : {SIGINT, SIGTERM, SIGHUP})
        ::sigaction(signal, &action, nullptr);
    std::thread(watchSignals).detach();
}

std::vector<std::string> resolveRoots(const Context& context, const std::vector<std::string>& given) {
    return given.empty() ? settings::scanRoots(*context.store) : given;
}

std::vector<std::string> resolveExcludes(const Context& context, const std::vector<std::string>& given) {
    return given.empty() ? settings::excludeGlobs(*context.store) : given;
}

std::string formatBytes(std::int64_t bytes) {
    const char* units[] = {"B", "KB", "MB", "GB", "TB", "PB"};
    double value = static_cast<double>(bytes);
    int unit = 0;
    while ((value >= 1000.0 || value <= -1000.0) && unit < 5) {
        value /= 1000.0;
        ++unit;
    }
    char buf[32];
    if (unit == 0)
        std::snprintf(buf, sizeof buf, "%lld B", static_cast<long long>(bytes));
    else
        std::snprintf(buf, sizeof buf, "%.1f %s", value, units[unit]);
    return buf;
}

} // namespace stowage::cli
