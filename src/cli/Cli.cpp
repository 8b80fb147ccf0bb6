#include "cli/Cli.hpp"

#include "core/Settings.hpp"

#include <cstdio>
#include <cstdlib>
#include <iostream>
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

std::vector<std::string> resolveRoots(const Context& context, const std::vector<std::string>& given) {
    return given.empty() ? settings::scanRoots(*context.store) : given;
}

std::vector<std::string> resolveExcludes(const Context& context, const std::vector<std::string>& given) {
    return given.empty() ? settings::excludeGlobs(*context.store) : given;
}

std::string jsonText(const nlohmann::json& j) {
    return j.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
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
