// System sink: the systemd journal when its socket is present, with the subsystem and category as fields of
// their own; otherwise syslog, where the subsystem and the category lead the message
// ("io.larchworks.stowage scan: scan complete: 3 findings"). Callers only ever pass counts.

#include "core/Log.hpp"

#define SD_JOURNAL_SUPPRESS_LOCATION // source locations add nothing to a summary line
#include <systemd/sd-journal.h>

#include <mutex>
#include <sys/stat.h>
#include <syslog.h>

namespace stowage {

namespace {

constexpr const char* journalSocket = "/run/systemd/journal/socket";
constexpr const char* identifier = "stowage";

std::mutex sinkMutex;
std::shared_ptr<const Log::Sink> installedSink; // guarded by sinkMutex; null means the system sink

std::shared_ptr<const Log::Sink> currentSink() {
    std::lock_guard lock(sinkMutex);
    return installedSink;
}

bool journalAvailable() {
    static const bool available = [] {
        struct stat info {};
        return ::stat(journalSocket, &info) == 0 && S_ISSOCK(info.st_mode);
    }();
    return available;
}

void writeToSyslog(const std::string& category, const std::string& message) {
    static std::once_flag opened;
    std::call_once(opened, [] { ::openlog(identifier, LOG_PID, LOG_USER); });
    ::syslog(LOG_INFO, "%s %s: %s", Log::subsystem, category.c_str(), message.c_str());
}

void writeToSystemLog(const std::string& category, const std::string& message) {
    if (journalAvailable()) {
        const int result = ::sd_journal_send("MESSAGE=%s", message.c_str(), "PRIORITY=%d", LOG_INFO,
                                             "SYSLOG_IDENTIFIER=%s", identifier, "STOWAGE_SUBSYSTEM=%s", Log::subsystem,
                                             "STOWAGE_CATEGORY=%s", category.c_str(), nullptr);
        if (result >= 0) {
            return;
        }
    }
    writeToSyslog(category, message);
}

} // namespace

void Log::Logger::info(const std::string& message) const {
    // The sink is called outside the lock, so a sink may itself log or replace the sink.
    if (const auto sink = currentSink(); sink) {
        (*sink)(category_, message);
        return;
    }
    writeToSystemLog(category_, message);
}

const Log::Logger& Log::scan() {
    static const Logger logger("scan");
    return logger;
}

const Log::Logger& Log::backup() {
    static const Logger logger("backup");
    return logger;
}

const Log::Logger& Log::restore() {
    static const Logger logger("restore");
    return logger;
}

std::string Log::scanComplete(long findings) {
    return "scan complete: " + std::to_string(findings) + " findings";
}

std::string Log::backupComplete(long configFiles, long secrets) {
    return "backup complete: " + std::to_string(configFiles) + " config, " + std::to_string(secrets) + " secrets";
}

void Log::setSink(Sink sink) {
    std::shared_ptr<const Sink> replacement = sink ? std::make_shared<const Sink>(std::move(sink)) : nullptr;
    {
        std::lock_guard lock(sinkMutex);
        installedSink.swap(replacement);
    }
    // The previous sink is released here, outside the lock, in case its captured state logs on the way out.
}

} // namespace stowage
