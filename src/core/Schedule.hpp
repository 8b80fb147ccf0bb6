#pragma once
// Scheduled backups through the desktop's own scheduler: a systemd user service and timer that run
// `stowage backup --scheduled`, or, where there is no systemd user manager, the crontab line the user
// can add. Nothing of ours runs in the background between runs.
//
// The unit files on disk are the truth of the schedule: `installed()` reads the timer back, so a
// user who edits or removes the files by hand sees that reflected. Each scheduled run records its
// outcome in a small status file so the command line and the app can show the last result, failed
// runs included (history.json only ever lists backups that were made).

#include "core/Types.hpp"

#include <optional>
#include <string>
#include <vector>

namespace stowage::schedule {

enum class Frequency { off, daily, weekly };

std::string toString(Frequency frequency);
std::optional<Frequency> frequencyFromString(const std::string& text);

inline constexpr const char* serviceName = "stowage-backup.service";
inline constexpr const char* timerName = "stowage-backup.timer";

/// The folder of user units: $XDG_CONFIG_HOME/systemd/user (when absolute), else ~/.config/systemd/user.
std::string unitFolder();
/// Where the outcome of the last scheduled run is kept: $XDG_STATE_HOME/stowage/last-scheduled-run.json
/// (when absolute), else ~/.local/state/stowage/last-scheduled-run.json.
std::string lastRunPath();

/// The service unit running `executable backup --scheduled`. `executable` must be absolute.
std::string serviceUnit(const std::string& executable);
/// The timer unit for a daily or weekly run; Persistent so a missed run happens at the next start,
/// with a randomised delay so many machines do not start at once.
std::string timerUnit(Frequency frequency);
/// The line to add with `crontab -e` where there is no systemd user manager.
std::string crontabLine(Frequency frequency, const std::string& executable);

/// The outcome of one scheduled run.
struct RunRecord {
    Timestamp at{};
    bool succeeded = false;
    /// The error sentence of a failed run, or the summary of a successful one.
    std::string message;

    bool operator==(const RunRecord&) const = default;
};

/// Reads the last scheduled run; absent when there is none or the file is damaged.
std::optional<RunRecord> readLastRun(const std::string& path);
/// Replaces the record atomically (owner-only file and folder).
void writeLastRun(const std::string& path, const RunRecord& record);

/// What `stowage schedule` shows.
struct Status {
    Frequency frequency = Frequency::off;
    /// A systemd user manager answered.
    bool systemd = false;
    std::optional<Timestamp> nextRun;
    std::optional<RunRecord> lastRun;
};

class Scheduler {
public:
    /// `executable`: the absolute path of the `stowage` program the service runs.
    Scheduler(std::string unitFolder, std::string executable);

    /// Whether `systemctl --user` reaches a running user manager.
    bool systemdAvailable() const;
    /// The frequency of the installed timer (off when there is none or it cannot be read).
    Frequency installed() const;
    /// The next run the user manager has planned; absent when it cannot say.
    std::optional<Timestamp> nextRun() const;

    /// Writes the units, reloads the user manager and enables the timer; for `off` disables the
    /// timer and removes both units. Throws BackupError::io with the tool's own words when a step
    /// fails; the unit files are removed again when enabling a new schedule fails.
    void apply(Frequency frequency);

    const std::string& folder() const { return unitFolder_; }

private:
    std::string unitFolder_;
    std::string executable_;
};

} // namespace stowage::schedule
