#include "core/Schedule.hpp"

#include "core/BackupError.hpp"
#include "core/FileAccess.hpp"
#include "core/Json.hpp"
#include "core/Paths.hpp"
#include "core/Shell.hpp"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace stowage::schedule {

std::string toString(Frequency frequency) {
    switch (frequency) {
    case Frequency::daily:
        return "daily";
    case Frequency::weekly:
        return "weekly";
    case Frequency::off:
        break;
    }
    return "off";
}

std::optional<Frequency> frequencyFromString(const std::string& text) {
    if (text == "daily")
        return Frequency::daily;
    if (text == "weekly")
        return Frequency::weekly;
    if (text == "off")
        return Frequency::off;
    return std::nullopt;
}

namespace {

/// $NAME when it is an absolute path (relative values are invalid by the XDG rules), else ~/fallback.
std::string xdgFolder(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    if (value && value[0] == '/')
        return paths::withoutTrailingSlashes(value);
    return paths::join(paths::homeFolder(), fallback);
}

/// systemd treats "%" and "\\" specially in ExecStart; spaces split arguments unless quoted.
std::string quoteForUnit(const std::string& path) {
    std::string out = "\"";
    for (char c : path) {
        if (c == '"' || c == '\\')
            out += '\\';
        if (c == '%') {
            out += "%%";
            continue;
        }
        out += c;
    }
    return out + "\"";
}

/// A single-quoted word for a POSIX shell (crontab lines run through /bin/sh).
std::string quoteForShell(const std::string& text) {
    std::string out = "'";
    for (char c : text) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    return out + "'";
}

std::string onCalendar(Frequency frequency) {
    return frequency == Frequency::weekly ? "weekly" : "daily";
}

Shell::Output systemctl(const std::vector<std::string>& arguments) {
    std::vector<std::string> all{"--user"};
    all.insert(all.end(), arguments.begin(), arguments.end());
    return Shell::run("systemctl", all, std::nullopt, 30.0);
}

std::string toolWords(const Shell::Output& out) {
    std::string words = out.err.empty() ? out.out : out.err;
    while (!words.empty() && (words.back() == '\n' || words.back() == ' '))
        words.pop_back();
    if (words.empty())
        words = "exit status " + std::to_string(out.status);
    return json::validUtf8(words);
}

} // namespace

std::string unitFolder() {
    return paths::join(xdgFolder("XDG_CONFIG_HOME", ".config"), "systemd/user");
}

std::string lastRunPath() {
    return paths::join(xdgFolder("XDG_STATE_HOME", ".local/state"), "stowage/last-scheduled-run.json");
}

std::string serviceUnit(const std::string& executable) {
    return "[Unit]\n"
           "Description=Stowage scheduled backup\n"
           "\n"
           "[Service]\n"
           "Type=oneshot\n"
           "ExecStart=" +
           quoteForUnit(executable) +
           " backup --scheduled\n"
           "Nice=10\n"
           "IOSchedulingClass=idle\n";
}

std::string timerUnit(Frequency frequency) {
    return "[Unit]\n"
           "Description=Stowage scheduled backup (" +
           toString(frequency) +
           ")\n"
           "\n"
           "[Timer]\n"
           "OnCalendar=" +
           onCalendar(frequency) +
           "\n"
           "Persistent=true\n"
           "RandomizedDelaySec=30min\n"
           "\n"
           "[Install]\n"
           "WantedBy=timers.target\n";
}

std::string crontabLine(Frequency frequency, const std::string& executable) {
    const char* when = frequency == Frequency::weekly ? "30 12 * * 1" : "30 12 * * *";
    return std::string(when) + " " + quoteForShell(executable) + " backup --scheduled";
}

std::optional<RunRecord> readLastRun(const std::string& path) {
    DirectFileAccess files;
    auto info = files.info(path);
    if (!info || info->isDirectory || info->isSymlink || info->size > 64 * 1024)
        return std::nullopt;
    auto bytes = files.read(path);
    if (!bytes)
        return std::nullopt;
    try {
        auto j = nlohmann::json::parse(bytes->begin(), bytes->end());
        RunRecord record;
        record.at = json::dateField(j, "at");
        record.succeeded = j.at("succeeded").get<bool>();
        record.message = j.at("message").get<std::string>();
        return record;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

void writeLastRun(const std::string& path, const RunRecord& record) {
    nlohmann::json j{{"at", json::iso8601(record.at)},
                     {"succeeded", record.succeeded},
                     {"message", json::validUtf8(record.message)}};
    const std::string text = json::pretty(j);
    DirectFileAccess files;
    files.write(Bytes(text.begin(), text.end()), path, 0600);
}

Scheduler::Scheduler(std::string unitFolder, std::string executable)
    : unitFolder_(std::move(unitFolder)), executable_(std::move(executable)) {}

bool Scheduler::systemdAvailable() const {
    if (!Shell::exists("systemctl"))
        return false;
    // A user manager answers show-environment; without one (no session, a container) it fails.
    return systemctl({"show-environment"}).ok();
}

Frequency Scheduler::installed() const {
    DirectFileAccess files;
    const std::string timer = paths::join(unitFolder_, timerName);
    auto info = files.info(timer);
    if (!info || info->isDirectory || info->size > 64 * 1024)
        return Frequency::off;
    if (!files.exists(paths::join(unitFolder_, serviceName)))
        return Frequency::off;
    auto bytes = files.read(timer);
    if (!bytes)
        return Frequency::off;
    const std::string text(bytes->begin(), bytes->end());
    if (text.find("\nOnCalendar=weekly\n") != std::string::npos)
        return Frequency::weekly;
    if (text.find("\nOnCalendar=daily\n") != std::string::npos)
        return Frequency::daily;
    return Frequency::off;
}

std::optional<Timestamp> Scheduler::nextRun() const {
    auto out = systemctl({"show", timerName, "--property=NextElapseUSecRealtime", "--value", "--timestamp=unix"});
    if (!out.ok())
        return std::nullopt;
    std::string text = out.trimmedOut();
    // "@1765036800" with --timestamp=unix; older systemd prints a plain microsecond count.
    if (!text.empty() && text[0] == '@') {
        text.erase(0, 1);
        char* end = nullptr;
        errno = 0;
        const long long seconds = std::strtoll(text.c_str(), &end, 10);
        if (errno != 0 || end == text.c_str() || *end != '\0' || seconds <= 0)
            return std::nullopt;
        return Timestamp(std::chrono::seconds(seconds));
    }
    char* end = nullptr;
    errno = 0;
    const long long micros = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || end == text.c_str() || *end != '\0' || micros <= 0)
        return std::nullopt;
    return Timestamp(std::chrono::duration_cast<Timestamp::duration>(std::chrono::microseconds(micros)));
}

void Scheduler::apply(Frequency frequency) {
    DirectFileAccess files;
    const std::string service = paths::join(unitFolder_, serviceName);
    const std::string timer = paths::join(unitFolder_, timerName);
    if (frequency == Frequency::off) {
        // Disabling a timer that was never enabled fails harmlessly; the files go either way.
        systemctl({"disable", "--now", timerName});
        files.remove(timer);
        files.remove(service);
        systemctl({"daemon-reload"});
        return;
    }
    if (executable_.empty() || executable_[0] != '/')
        throw BackupError::io("cannot find the stowage program to schedule");
    const std::string serviceText = serviceUnit(executable_);
    const std::string timerText = timerUnit(frequency);
    files.write(Bytes(serviceText.begin(), serviceText.end()), service, 0644);
    files.write(Bytes(timerText.begin(), timerText.end()), timer, 0644);
    auto undo = [&] {
        files.remove(timer);
        files.remove(service);
        systemctl({"daemon-reload"});
    };
    auto reload = systemctl({"daemon-reload"});
    if (!reload.ok()) {
        undo();
        throw BackupError::io("systemctl --user daemon-reload failed: " + toolWords(reload));
    }
    auto enable = systemctl({"enable", "--now", timerName});
    if (!enable.ok()) {
        undo();
        throw BackupError::io("systemctl --user enable failed: " + toolWords(enable));
    }
}

} // namespace stowage::schedule
