#pragma once
// Shared plumbing of the `stowage` command line: command registration, terminal styling and progress.
// Commands are thin: they parse, check and wire an engine, then print its result.

#include "core/FileAccess.hpp"
#include "core/platform/DefaultsStore.hpp"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace stowage::cli {

/// Everything a command needs from its surroundings.
struct Context {
    FileAccessPtr access;
    std::shared_ptr<DefaultsStore> store;
};

/// A command's body; returns the process exit status. Thrown exceptions become status 1 with
/// their sentence on standard error.
using Runner = std::function<int(Context&)>;

/// Each registration adds its subcommand to `app` and stores the body to run into `selected`
/// when that subcommand is chosen.
void addAuditCommand(CLI::App& app, Runner& selected);
void addAppsCommand(CLI::App& app, Runner& selected);
void addBackupCommands(CLI::App& app, Runner& selected);
void addRestoreCommand(CLI::App& app, Runner& selected);
void addScheduleCommand(CLI::App& app, Runner& selected);

/// What a scheduled backup body reports: its exit status and a one-line summary.
struct ScheduledOutcome {
    int status = 0;
    std::string summary;
};
/// Runs one scheduled backup: records its outcome for `stowage schedule` and the app, and shows a
/// desktop notification when it fails or finishes with problems (adding how long the machine has
/// gone without a successful backup when that is longer than the reminder setting). Rethrows the
/// body's error after recording it.
int runScheduledBackup(Context& context, const std::function<ScheduledOutcome()>& backup);
/// "No backup has succeeded for N days." when the last successful backup is older than the
/// "reminderDays" setting (14 when unset; 0 switches the notice off); absent otherwise.
std::optional<std::string> staleBackupNotice(const DefaultsStore& store, Timestamp now);

/// Styling that is active only when the stream is a terminal and NO_COLOR is not set.
class Style {
public:
    explicit Style(int fd);
    std::string bold(const std::string& s) const { return wrap("1", s); }
    std::string dim(const std::string& s) const { return wrap("2", s); }
    std::string red(const std::string& s) const { return wrap("31", s); }
    std::string green(const std::string& s) const { return wrap("32", s); }
    std::string yellow(const std::string& s) const { return wrap("33", s); }
    std::string cyan(const std::string& s) const { return wrap("36", s); }
    bool enabled() const { return enabled_; }

private:
    std::string wrap(const char* code, const std::string& s) const;
    bool enabled_;
};

/// One-line progress on standard error, shown only when it is a terminal; each call replaces the
/// previous line and `done()` clears it.
class Progress {
public:
    Progress();
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;
    void update(const std::string& message);
    void done();

private:
    bool active_;
    bool shown_ = false;
};

/// From here on, SIGINT, SIGTERM and SIGHUP are passed on to every tool the process has running
/// (each in a process group of its own, so the terminal's own signal never reaches them); once those
/// have ended (SIGKILL after a grace period) the process dies of the same signal. No tool is left
/// behind as an orphan. A command may still install its own handler for a while (a no-echo prompt).
void forwardTerminationSignals();

/// When a termination signal has arrived, ends the process by it (after the command's tools were
/// stopped); otherwise returns. Called once a command is over, so a command whose tools were stopped
/// under it never ends as a success.
void dieOfTerminationSignal();

/// Roots and excludes given on the command line, else the saved settings.
std::vector<std::string> resolveRoots(const Context& context, const std::vector<std::string>& given);
std::vector<std::string> resolveExcludes(const Context& context, const std::vector<std::string>& given);


/// Human byte count: "512 B", "1.5 KB", "3.2 MB" (decimal units).
std::string formatBytes(std::int64_t bytes);

} // namespace stowage::cli
