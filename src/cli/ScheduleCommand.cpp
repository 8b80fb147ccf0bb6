// `stowage schedule`: turns scheduled backups on or off through the systemd user manager, and shows
// the schedule, its next run and the last scheduled run's result. Also the bookkeeping around one
// scheduled run (`stowage backup --scheduled`): its outcome is recorded for `stowage schedule` and
// the app, and a failed run, or a machine left without a successful backup for longer than the
// reminder setting, is announced with a desktop notification.

#include "cli/Cli.hpp"
#include "cli/Output.hpp"

#include "core/BackupError.hpp"
#include "core/Json.hpp"
#include "core/Notifier.hpp"
#include "core/Paths.hpp"
#include "core/Schedule.hpp"
#include "core/Settings.hpp"

#include <nlohmann/json.hpp>

#include <climits>
#include <ctime>
#include <iostream>
#include <unistd.h>

namespace stowage::cli {

namespace {

std::string localTime(Timestamp t) {
    std::time_t seconds = std::chrono::system_clock::to_time_t(t);
    std::tm parts{};
    ::localtime_r(&seconds, &parts);
    char buffer[64];
    std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M", &parts);
    return buffer;
}

/// The absolute path of this very program, which the service unit runs.
std::string ownExecutable() {
    char buffer[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0)
        return {};
    return std::string(buffer, static_cast<std::size_t>(n));
}

nlohmann::json runJson(const std::optional<schedule::RunRecord>& run) {
    if (!run)
        return nullptr;
    return {{"at", json::iso8601(run->at)}, {"succeeded", run->succeeded}, {"message", json::validUtf8(run->message)}};
}

int showSchedule(const schedule::Scheduler& scheduler, bool asJson) {
    schedule::Status status;
    status.systemd = scheduler.systemdAvailable();
    status.frequency = scheduler.installed();
    if (status.systemd && status.frequency != schedule::Frequency::off)
        status.nextRun = scheduler.nextRun();
    status.lastRun = schedule::readLastRun(schedule::lastRunPath());

    if (asJson) {
        nlohmann::json j{{"frequency", schedule::toString(status.frequency)},
                         {"systemd", status.systemd},
                         {"nextRun", status.nextRun ? nlohmann::json(json::iso8601(*status.nextRun)) : nullptr},
                         {"lastRun", runJson(status.lastRun)}};
        std::cout << jsonDocument(j) << "\n";
        return 0;
    }
    const Style style(STDOUT_FILENO);
    std::cout << "Scheduled backups: " << style.bold(schedule::toString(status.frequency)) << "\n";
    if (!status.systemd)
        std::cout << "No systemd user manager answers here; `stowage schedule daily` prints a crontab line instead.\n";
    if (status.nextRun)
        std::cout << "Next run: " << localTime(*status.nextRun) << "\n";
    if (status.lastRun) {
        std::cout << "Last run: " << localTime(status.lastRun->at) << " \u2014 "
                  << (status.lastRun->succeeded ? style.green("succeeded") : style.red("failed")) << ": "
                  << printable(status.lastRun->message) << "\n";
    } else {
        std::cout << "Last run: none yet\n";
    }
    return 0;
}

int changeSchedule(schedule::Scheduler& scheduler, schedule::Frequency frequency, const std::string& executable,
                   bool asJson) {
    if (!scheduler.systemdAvailable()) {
        if (frequency == schedule::Frequency::off) {
            // Nothing of ours can be running; a crontab line the user added is theirs to remove.
            std::cout << "No systemd user manager answers here, so there is no timer to turn off. If you added a "
                         "crontab line for Stowage, remove it with `crontab -e`.\n";
            return 0;
        }
        std::cerr << "stowage: no systemd user manager answers here, so Stowage cannot schedule itself. Add this "
                     "line with `crontab -e` instead:\n"
                  << schedule::crontabLine(frequency, executable) << "\n";
        return 1;
    }
    scheduler.apply(frequency);
    if (asJson) {
        auto next = frequency == schedule::Frequency::off ? std::nullopt : scheduler.nextRun();
        nlohmann::json j{{"frequency", schedule::toString(frequency)},
                         {"nextRun", next ? nlohmann::json(json::iso8601(*next)) : nullptr}};
        std::cout << jsonDocument(j) << "\n";
        return 0;
    }
    if (frequency == schedule::Frequency::off) {
        std::cout << "Scheduled backups are off.\n";
        return 0;
    }
    std::cout << "Scheduled backups: " << schedule::toString(frequency) << " (" << schedule::timerName << ")\n";
    if (auto next = scheduler.nextRun())
        std::cout << "Next run: " << localTime(*next) << "\n";
    std::cout << "A missed run happens at your next login. Failures show a desktop notification.\n";
    return 0;
}

} // namespace

std::optional<std::string> staleBackupNotice(const DefaultsStore& store, Timestamp now) {
    const std::int64_t days = store.integer("reminderDays").value_or(14);
    if (days <= 0)
        return std::nullopt;
    const auto last = settings::lastBackupAt(store);
    if (!last)
        return "No backup has succeeded on this computer yet.";
    const auto age = now - *last;
    if (age <= std::chrono::hours(24 * days))
        return std::nullopt;
    const auto ageDays = std::chrono::duration_cast<std::chrono::hours>(age).count() / 24;
    return "No backup has succeeded for " + std::to_string(ageDays) + " days.";
}

int runScheduledBackup(Context& context, const std::function<ScheduledOutcome()>& backup) {
    schedule::RunRecord record;
    record.at = std::chrono::system_clock::now();
    const std::string statusPath = schedule::lastRunPath();
    auto keep = [&] {
        try {
            schedule::writeLastRun(statusPath, record);
        } catch (const std::exception& e) {
            std::cerr << "stowage: cannot record the scheduled run: " << e.what() << "\n";
        }
    };
    try {
        ScheduledOutcome outcome = backup();
        record.succeeded = outcome.status == 0;
        record.message = outcome.summary;
        keep();
        if (!record.succeeded) {
            std::string body = outcome.summary;
            if (auto stale = staleBackupNotice(*context.store, record.at))
                body += " " + *stale;
            notifier::notify("Scheduled backup had problems", body);
        }
        return outcome.status;
    } catch (const std::exception& e) {
        record.succeeded = false;
        record.message = e.what();
        keep();
        std::string body = e.what();
        if (auto stale = staleBackupNotice(*context.store, record.at))
            body += " " + *stale;
        notifier::notify("Scheduled backup failed", body);
        throw;
    }
}

void addScheduleCommand(CLI::App& app, Runner& selected) {
    auto frequency = std::make_shared<std::string>();
    auto asJson = std::make_shared<bool>(false);
    auto* cmd = app.add_subcommand(
        "schedule", "Show scheduled backups, or turn them on (daily, weekly) or off through the systemd user manager");
    cmd->add_option("frequency", *frequency, "daily, weekly or off (default: show the schedule)")
        ->check(CLI::IsMember({"daily", "weekly", "off"}));
    cmd->add_flag("--json", *asJson, "Print the schedule as JSON");
    cmd->callback([frequency, asJson, &selected] {
        selected = [frequency, asJson](Context&) {
            const std::string executable = ownExecutable();
            schedule::Scheduler scheduler(schedule::unitFolder(), executable);
            if (frequency->empty())
                return showSchedule(scheduler, *asJson);
            return changeSchedule(scheduler, *schedule::frequencyFromString(*frequency), executable, *asJson);
        };
    });
}

} // namespace stowage::cli
