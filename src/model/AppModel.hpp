#pragma once
// The one presentation model of the desktop application. Every pane reads and writes the same
// instance; the model owns the settings, the scan results, the backup choices and results, the
// loaded backup, the restore choices and results. It holds no scanning, backup or restore logic of
// its own: it builds the engine's components with the right parameters, runs them through the
// executor's background side and publishes what they return on the main side.
//
// Threading: every member is called on the main thread only. A long operation captures plain
// copies of its inputs when it starts, runs in the background, and assigns its results on the main
// side; its busy flag (scanning, backingUp, ...) blocks a second start until it has published.
// There is no cancellation. A model destroyed while work runs drops that work's results.
//
// Observing: views register a callback and re-read what they show. The callback is told the
// property that changed, after the change; a setter given the value the property already holds
// tells nobody. Derived values (canBackUp, selectedCount, ...) follow from the properties they are
// computed from and have no notification of their own.

#include "core/AppScanner.hpp"
#include "core/BackupManifest.hpp"
#include "core/ConflictPolicy.hpp"
#include "core/FileAccess.hpp"
#include "core/GitRiskScanner.hpp"
#include "core/KDF.hpp"
#include "core/Models.hpp"
#include "core/ProjectScanner.hpp"
#include "core/Relocator.hpp"
#include "core/RestoreOutcome.hpp"
#include "core/Schedule.hpp"
#include "core/Types.hpp"
#include "model/Executor.hpp"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace stowage {

class BookmarkStore;
class DefaultsStore;
class KeyStore;

/// How many of a group of found paths are selected.
enum class SelectionState { all, none, some };

/// Everything the model takes from outside, so tests control all of it. Fields left empty are
/// filled by AppModel's constructor with the platform's own (see each field).
struct AppEnvironment {
    /// Where work runs. Default: an InlineExecutor, which runs everything at once on the calling
    /// thread (right for tools and tests, wrong for a window, which passes its thread pool).
    std::shared_ptr<Executor> executor;
    /// The user's home folder; default paths::homeFolder(). The engines expand "~" against $HOME,
    /// so a test that injects a home also points $HOME at it (tests/support/TempHome).
    std::string homeFolder;
    /// Absolute path of the running program's executable; default the resolved /proc/self/exe.
    /// Decides restorer-launch detection and what bundleRestorer copies.
    std::string programPath;
    /// The current time; default the system clock.
    std::function<Timestamp()> clock;
    /// The per-user settings store; default DefaultsStore::standard(), the store the command line
    /// reads too.
    std::shared_ptr<DefaultsStore> defaults;
    /// Every file operation of every engine the model builds; default a ScopedFileAccess over the
    /// granted folders when Sandbox::isActive(), else a DirectFileAccess. Must be safe to use from
    /// several threads at once. When given, the model keeps no bookmark store (grantedRoots stays
    /// empty) unless `bookmarks` is given as well.
    FileAccessPtr access;
    /// The granted-folder store behind a given ScopedFileAccess; ignored unless `access` is given.
    std::shared_ptr<BookmarkStore> bookmarks;
    /// Where random bundle keys are kept. The engines read the process-wide KeyStore::standard(),
    /// so a store given here is installed there for the model's lifetime; when the model goes, the
    /// store of the newest model still living (or the platform's) takes its place again. Default:
    /// the platform store.
    std::shared_ptr<KeyStore> keyStore;
};

class AppModel {
public:
    /// The panes, in tab-bar order.
    enum class Tab { audit, backup, restore, apps, settings };

    /// Every published property, in declaration order; an observer is told which one changed.
    enum class Property {
        tab,
        grantedRoots,
        isRestorerMode,
        scanRootsText,
        excludeGlobsText,
        incremental,
        reminderDays,
        hasOnboarded,
        lastBackupAt,
        inventory,
        scanning,
        auditSearch,
        auditGapsOnly,
        auditMinRisk,
        gitRisks,
        apps,
        scanningApps,
        backupApps,
        showBackupApps,
        reinstalledApps,
        projects,
        scanningProjects,
        selectedProjectSources,
        includeProjectGitHistory,
        selected,
        includeManifests,
        includeRestorer,
        backupDir,
        backingUp,
        backupResult,
        backupError,
        usePassphrase,
        passphrase,
        passphraseConfirm,
        restoreDir,
        restoreConfigOn,
        restoreSecretsOn,
        recoveryCode,
        dryRun,
        conflictPolicy,
        snapshotOverwrites,
        restoring,
        restoreReport,
        restoreOutcomes,
        restoreError,
        loadedManifest,
        history,
        selectedRestoreConfig,
        selectedRestoreSecrets,
        restoreProjectsOn,
        selectedRestoreProjects,
        relocationPlan,
        flattenToProjectRoot,
        relocationOverrides,
        relocationSkip,
        planning,
        cloning,
        /// What the running backup is doing ("Copying ~/.config…"); empty when none runs.
        backupStage,
        /// What the running restore is doing ("Restoring config files…"); empty when none runs.
        restoreStage,
        /// A backup folder's manifest is being loaded (informational; a new load supersedes it).
        loadingManifest,
        /// Scheduled backups: the installed schedule, its next run, the last scheduled run, whether
        /// a change is being applied, and why the last change or reading failed.
        scheduleFrequency,
        nextScheduledRun,
        lastScheduledRun,
        changingSchedule,
        scheduleError,
    };

    using Observer = std::function<void(Property)>;

    // ---- Settings keys and fixed values ----------------------------------------------------------

    static constexpr const char* incrementalKey = "incremental";
    static constexpr const char* reminderDaysKey = "reminderDays";
    static constexpr const char* hasOnboardedKey = "hasOnboarded";
    static constexpr const char* reinstalledAppsKey = "reinstalledApps";
    /// Also the keys "scanRoots", "excludeGlobs", "backupDir" and "lastBackupAt" (core/Settings.hpp).

    /// Cap of the `.env` hunt of every scan the model starts.
    static constexpr int maxEnvFiles = 400;
    /// The folder bundleRestorer writes inside a backup folder, and the names it writes there.
    static constexpr const char* restorerFolderName = "Stowage";
    static constexpr const char* appExecutableName = "stowage-app";
    static constexpr const char* cliExecutableName = "stowage";
    static constexpr const char* restorerLauncherName = "stowage-restore";

    /// Builds the model in this order: initial values; file access; settings read through the
    /// setters (nothing written meanwhile); grantedRoots; restorer-launch detection, which may
    /// start loadManifest through the executor.
    explicit AppModel(AppEnvironment environment);
    ~AppModel();
    AppModel(const AppModel&) = delete;
    AppModel& operator=(const AppModel&) = delete;

    /// Registers a change callback; the answer identifies it for removeObserver.
    int addObserver(Observer observer);
    void removeObserver(int id);

    // ---- Published properties (initial value after the colon, before settings are read) ---------

    Tab tab() const { return tab_; } // audit
    void setTab(Tab tab);
    const std::vector<std::string>& grantedRoots() const { return grantedRoots_; } // empty
    bool isRestorerMode() const { return isRestorerMode_; }                        // false

    // Settings: each setter persists the settings (see persist()).
    const std::string& scanRootsText() const { return scanRootsText_; } // "~/Development"
    void setScanRootsText(std::string text);
    const std::string& excludeGlobsText() const { return excludeGlobsText_; } // ""
    void setExcludeGlobsText(std::string text);
    bool incremental() const { return incremental_; } // true
    void setIncremental(bool on);
    int reminderDays() const { return reminderDays_; } // 14; 0 switches the reminder off
    void setReminderDays(int days);
    bool hasOnboarded() const { return hasOnboarded_; } // false
    void setHasOnboarded(bool done);
    const std::optional<Timestamp>& lastBackupAt() const { return lastBackupAt_; } // none
    void setLastBackupAt(std::optional<Timestamp> when);

    const std::optional<Inventory>& inventory() const { return inventory_; } // none
    bool scanning() const { return scanning_; }                              // false
    const std::string& auditSearch() const { return auditSearch_; }          // ""
    void setAuditSearch(std::string text);
    bool auditGapsOnly() const { return auditGapsOnly_; } // false
    void setAuditGapsOnly(bool on);
    const std::optional<Risk>& auditMinRisk() const { return auditMinRisk_; } // none
    void setAuditMinRisk(std::optional<Risk> risk);
    const std::vector<GitRisk>& gitRisks() const { return gitRisks_; }          // empty
    const std::vector<InstalledApp>& apps() const { return apps_; }             // empty
    bool scanningApps() const { return scanningApps_; }                         // false
    const std::vector<InstalledApp>& backupApps() const { return backupApps_; } // empty
    bool showBackupApps() const { return showBackupApps_; }                     // false
    void setShowBackupApps(bool on);
    const std::set<std::string>& reinstalledApps() const { return reinstalledApps_; } // empty; persisted by toggle
    const std::vector<ProjectInfo>& projects() const { return projects_; }            // empty
    bool scanningProjects() const { return scanningProjects_; }                       // false
    const std::set<std::string>& selectedProjectSources() const { return selectedProjectSources_; } // empty
    bool includeProjectGitHistory() const { return includeProjectGitHistory_; }                     // false
    void setIncludeProjectGitHistory(bool on);
    const std::set<std::string>& selected() const { return selected_; } // empty
    void setSelected(std::set<std::string> paths);
    bool includeManifests() const { return includeManifests_; } // true
    void setIncludeManifests(bool on);
    bool includeRestorer() const { return includeRestorer_; } // true
    void setIncludeRestorer(bool on);
    const std::string& backupDir() const { return backupDir_; } // ""; a setting
    void setBackupDir(std::string dir);
    bool backingUp() const { return backingUp_; }                                     // false
    const std::optional<BackupResult>& backupResult() const { return backupResult_; } // none
    const std::optional<std::string>& backupError() const { return backupError_; }    // none
    bool usePassphrase() const { return usePassphrase_; }                             // true
    void setUsePassphrase(bool on);
    const std::string& passphrase() const { return passphrase_.str(); } // ""; wiped when replaced
    void setPassphrase(std::string text);
    const std::string& passphraseConfirm() const { return passphraseConfirm_.str(); } // ""
    void setPassphraseConfirm(std::string text);

    const std::string& restoreDir() const { return restoreDir_; } // home + "/StowageBackup"
    void setRestoreDir(std::string dir);
    bool restoreConfigOn() const { return restoreConfigOn_; } // false
    void setRestoreConfigOn(bool on);
    bool restoreSecretsOn() const { return restoreSecretsOn_; } // false
    void setRestoreSecretsOn(bool on);
    const std::string& recoveryCode() const { return recoveryCode_.str(); } // ""; passphrase or code
    void setRecoveryCode(std::string text);
    bool dryRun() const { return dryRun_; } // true
    void setDryRun(bool on);
    ConflictPolicy conflictPolicy() const { return conflictPolicy_; } // overwrite
    void setConflictPolicy(ConflictPolicy policy);
    bool snapshotOverwrites() const { return snapshotOverwrites_; } // true
    void setSnapshotOverwrites(bool on);
    bool restoring() const { return restoring_; }                                                   // false
    const std::optional<std::vector<std::string>>& restoreReport() const { return restoreReport_; } // none
    const std::vector<RestoreOutcome>& restoreOutcomes() const { return restoreOutcomes_; }         // empty
    const std::optional<std::string>& restoreError() const { return restoreError_; }                // none
    const std::optional<BackupManifest>& loadedManifest() const { return loadedManifest_; }         // none
    const std::vector<BackupRun>& history() const { return history_; }                              // empty
    const std::set<std::string>& selectedRestoreConfig() const { return selectedRestoreConfig_; }   // empty
    const std::set<std::string>& selectedRestoreSecrets() const { return selectedRestoreSecrets_; } // empty
    bool restoreProjectsOn() const { return restoreProjectsOn_; }                                   // false
    void setRestoreProjectsOn(bool on);
    const std::set<std::string>& selectedRestoreProjects() const { return selectedRestoreProjects_; } // empty
    const std::vector<RelocationPlan>& relocationPlan() const { return relocationPlan_; }             // empty
    bool flattenToProjectRoot() const { return flattenToProjectRoot_; }                               // false
    void setFlattenToProjectRoot(bool on);
    const std::map<std::string, std::string>& relocationOverrides() const { return relocationOverrides_; } // empty
    const std::set<std::string>& relocationSkip() const { return relocationSkip_; }                        // empty
    bool planning() const { return planning_; }                                                            // false
    const std::set<std::string>& cloning() const { return cloning_; }                                      // empty

    const std::string& backupStage() const { return backupStage_; }   // ""
    const std::string& restoreStage() const { return restoreStage_; } // ""
    bool loadingManifest() const { return loadingManifest_; }         // false

    schedule::Frequency scheduleFrequency() const { return scheduleFrequency_; }                  // off
    const std::optional<Timestamp>& nextScheduledRun() const { return nextScheduledRun_; }        // none
    const std::optional<schedule::RunRecord>& lastScheduledRun() const { return lastScheduledRun_; } // none
    bool changingSchedule() const { return changingSchedule_; }                                   // false
    const std::optional<std::string>& scheduleError() const { return scheduleError_; }            // none

    // ---- Settings ---------------------------------------------------------------------------------

    /// Writes every setting but "reinstalledApps" to the defaults store: "scanRoots",
    /// "excludeGlobs", "incremental", "reminderDays", "hasOnboarded", "backupDir", "lastBackupAt"
    /// (seconds since 2001-01-01 as a double, the integer 0 when none). Nothing while the
    /// constructor still reads the settings. A store that cannot be saved is not reported (the
    /// values stay in the model).
    void persist();
    /// Splits a list setting at newlines and commas, trims spaces and tabs, drops empty pieces.
    static std::vector<std::string> lines(const std::string& text);
    /// lines(scanRootsText), or ["~/Development"] when that is empty.
    std::vector<std::string> scanRoots() const;

    /// Sandboxed builds: remembers a folder the user picked, refreshes grantedRoots and starts a
    /// scan. False (and nothing changes) when no bookmark store is in use or the grant fails.
    bool grantFolder(const std::string& folder);
    /// Forgets a granted folder and refreshes grantedRoots.
    void revokeFolder(const std::string& folder);

    // ---- Scanning ---------------------------------------------------------------------------------

    /// Machine scan (publishes inventory, selects every selectable path, clears `scanning`) plus an
    /// independent repository-risk scan that publishes gitRisks whenever it finishes. Ignored while
    /// `scanning`.
    void scan();
    /// Installed applications, once per process: ignored while scanningApps or once apps is not
    /// empty.
    void scanApps();
    /// Projects under the scan roots: ignored while scanningProjects or once projects is not empty.
    void scanProjects();
    /// Reads restoreDir/manifest/apps.json into backupApps (empty when unreadable or damaged).
    void loadBackupApps();

    // ---- Scheduled backups ------------------------------------------------------------------------

    /// Reads the installed schedule (the user's systemd units), the next run the user manager plans
    /// and the outcome of the last scheduled run, in the background.
    void refreshSchedule();
    /// Installs, changes or removes the schedule through the `stowage` program beside this one,
    /// then refreshes. Ignored while changingSchedule. A failure (no systemd user manager, no
    /// `stowage` beside the app, systemctl refusing) is published in scheduleError and the schedule
    /// is read back as it is.
    void setScheduleFrequency(schedule::Frequency frequency);

    // ---- Selection and filters --------------------------------------------------------------------

    void toggle(const std::string& path);
    /// Selects (on) or deselects every listed path; for the tier and finding check boxes.
    void setPathsSelected(const std::vector<std::string>& paths, bool on);
    void toggleProjectSource(const std::string& path);
    /// Ticks or unticks a backup application (keyed by appKey) and saves "reinstalledApps".
    void toggleReinstalled(const InstalledApp& app);
    /// Every selectable path of the inventory (nothing without one).
    void selectAll();
    void clearAuditFilters();
    /// The findings that pass the audit filters, in input order: search (locale-aware, letter case
    /// ignored) in the rule's title, category or any found path; minimum risk; config gaps only.
    std::vector<Finding> filtered(const std::vector<Finding>& findings) const;
    SelectionState state(const std::vector<std::string>& paths) const;
    SelectionState state(const Finding& finding) const;
    /// Paths of every found path of the inventory's findings in `tier`, in finding then path order.
    std::vector<std::string> tierPaths(Tier tier) const;

    // ---- Derived values ---------------------------------------------------------------------------

    bool auditFiltersActive() const;
    int selectedCount() const;
    int selectableCount() const;
    std::int64_t selectedBytes() const;
    /// Selected paths that belong to secret findings (the encryption section's count).
    int selectedSecretCount() const;
    bool needsBackupReminder() const;
    /// "never backed up", or "last backup " + the time relative to now ("last backup yesterday").
    std::string lastBackupDescription() const;
    /// The reminder banner's text: "The last scheduled backup failed: <its error>" when it did (and
    /// no backup succeeded after it), else "You haven't backed up yet." or "It's been a while — " +
    /// lastBackupDescription() + "."; empty while no reminder is due.
    std::string backupReminderText() const;
    const std::vector<InstalledApp>& displayedApps() const;
    int manualAppCount() const;
    int reinstalledCount() const;
    /// bundleID, else path: the key of a backup application in reinstalledApps.
    static std::string appKey(const InstalledApp& app);
    bool isReinstalled(const InstalledApp& app) const;
    /// Projects whose kind is not gitWithRemote, in order.
    std::vector<ProjectInfo> atRiskProjects() const;

    bool passphraseValid() const;
    /// PassphraseStrength score of `passphrase` (0…4), for the strength bar.
    int passphraseScore() const;
    /// "Weak", "Fair", "Good" or "Strong".
    std::string passphraseLabel() const;
    bool canBackUp() const;
    /// Why "Back Up Now" is disabled; none while it may run (and while a backup runs).
    std::optional<std::string> backupBlockReason() const;
    /// Why the restore cannot run; none while it may (and while a restore runs).
    std::optional<std::string> restoreBlockReason() const;

    // ---- Backup -----------------------------------------------------------------------------------

    /// Backs up into backupDir; scans ~/Development first when there is no inventory yet. Publishes
    /// backupResult and lastBackupAt (persisted), or backupError; backupStage follows the engine.
    /// Ignored while backingUp. Callers gate it on canBackUp.
    void runBackup();
    /// Copies the running program into `dir`: on Linux the app and `stowage` (found beside the
    /// running program) and a launcher script into dir/Stowage/; on a Mac the running ".app" bundle.
    /// Does nothing, silently, when the program does not run from an installed or built location,
    /// when it already runs from that very copy, or when copying fails. Safe on any thread.
    void bundleRestorer(const std::string& dir) const;

    // ---- Restore ----------------------------------------------------------------------------------

    /// Loads restoreDir's manifest and history (and backupApps); selects everything in it and
    /// switches on every kind that has content. An unreadable folder leaves loadedManifest empty
    /// without an error. A newer load supersedes one still running.
    void loadManifest();
    void toggleRestoreConfig(const std::string& path);
    void toggleRestoreSecret(const std::string& path);
    void toggleRestoreProject(const std::string& path);
    /// Restores (or, with dryRun, previews) config, then projects, then secrets from restoreDir,
    /// stopping at the first error. Publishes restoreReport and restoreOutcomes, or restoreError.
    /// Ignored while restoring.
    void runRestore();
    /// One report line: "Restored 2 config file(s) · 1 skipped (exists)" and the like.
    static std::string summarize(const std::vector<RestoreOutcome>& outcomes, const std::string& label, bool dry);

    // ---- Relocation of project secrets ------------------------------------------------------------

    /// Plans where each secret of restoreDir's bundle goes (recoveryCode is the passphrase or the
    /// recovery code, by the bundle's form). Success replaces relocationPlan and clears overrides
    /// and skips; failure sets restoreError to "Couldn't read backup: " + the reason. Runs only
    /// while restoreSecretsOn and not planning.
    void planSecretRestore();
    /// The plans whose file belongs to a project, in order.
    std::vector<RelocationPlan> projectSecretPlans() const;
    /// Where the restore will write the plan's file: none when skipped, else the user's override,
    /// else the plan's destination.
    std::optional<std::string> plannedDestination(const RelocationPlan& plan) const;
    /// Project secrets that would be left out (not skipped, no override, no destination).
    int unresolvedProjectSecrets() const;
    /// The user picked a folder: the file goes directly into it under its own name (un-skips it).
    void setRelocationFolder(const RelocationPlan& plan, const std::string& folder);
    /// Skips the plan's file, or brings a skipped one back.
    void toggleRelocationSkip(const RelocationPlan& plan);
    /// Clones the plan's repository into `folder` and places the file in the clone; shows "Clone
    /// failed — restore your SSH keys first, or choose a folder instead." when the clone fails.
    /// Does nothing for a plan without a project remote or whose clone is already running.
    void cloneAndPlace(const RelocationPlan& plan, const std::string& folder);

    // ---- Environment ------------------------------------------------------------------------------

    const std::string& homeFolder() const { return homeFolder_; }
    const std::string& programPath() const { return programPath_; }
    Timestamp now() const { return clock_(); }
    const FileAccessPtr& access() const { return access_; }

private:
    struct Life;

    void changed(Property property);
    template <typename T> void assign(T& field, T value, Property property);
    template <typename T> void assignSetting(T& field, T value, Property property);
    /// Runs `work` in the background and `publish(result)` on the main side while the model lives.
    template <typename Work, typename Publish> void start(TaskPriority priority, Work work, Publish publish);
    void readSettings();
    void detectRestorerLaunch();
    void refreshGrantedRoots();
    void saveReinstalledApps();
    bool secretsChosen() const;
    bool somethingChosen() const;

    // Internal fields.
    std::shared_ptr<Executor> executor_;
    std::string homeFolder_;
    std::string programPath_;
    std::function<Timestamp()> clock_;
    std::shared_ptr<DefaultsStore> defaults_;
    bool loaded_ = false;
    FileAccessPtr access_;
    std::shared_ptr<BookmarkStore> bookmarks_;
    std::shared_ptr<KeyStore> installedKeyStore_;
    std::shared_ptr<Life> life_;
    std::map<int, Observer> observers_;
    int nextObserver_ = 1;
    // Generations of the work whose later start must win over an earlier one finishing late.
    std::uint64_t manifestLoads_ = 0;
    std::uint64_t backupAppLoads_ = 0;
    std::uint64_t gitRiskScans_ = 0;
    std::uint64_t publishedGitRiskScan_ = 0;

    // Published properties, in declaration order.
    Tab tab_ = Tab::audit;
    std::vector<std::string> grantedRoots_;
    bool isRestorerMode_ = false;
    std::string scanRootsText_ = "~/Development";
    std::string excludeGlobsText_;
    bool incremental_ = true;
    int reminderDays_ = 14;
    bool hasOnboarded_ = false;
    std::optional<Timestamp> lastBackupAt_;
    std::optional<Inventory> inventory_;
    bool scanning_ = false;
    std::string auditSearch_;
    bool auditGapsOnly_ = false;
    std::optional<Risk> auditMinRisk_;
    std::vector<GitRisk> gitRisks_;
    std::vector<InstalledApp> apps_;
    bool scanningApps_ = false;
    std::vector<InstalledApp> backupApps_;
    bool showBackupApps_ = false;
    std::set<std::string> reinstalledApps_;
    std::vector<ProjectInfo> projects_;
    bool scanningProjects_ = false;
    std::set<std::string> selectedProjectSources_;
    bool includeProjectGitHistory_ = false;
    std::set<std::string> selected_;
    bool includeManifests_ = true;
    bool includeRestorer_ = true;
    std::string backupDir_;
    bool backingUp_ = false;
    std::optional<BackupResult> backupResult_;
    std::optional<std::string> backupError_;
    bool usePassphrase_ = true;
    SecretString passphrase_;
    SecretString passphraseConfirm_;
    std::string restoreDir_;
    bool restoreConfigOn_ = false;
    bool restoreSecretsOn_ = false;
    SecretString recoveryCode_;
    bool dryRun_ = true;
    ConflictPolicy conflictPolicy_ = ConflictPolicy::overwrite;
    bool snapshotOverwrites_ = true;
    bool restoring_ = false;
    std::optional<std::vector<std::string>> restoreReport_;
    std::vector<RestoreOutcome> restoreOutcomes_;
    std::optional<std::string> restoreError_;
    std::optional<BackupManifest> loadedManifest_;
    std::vector<BackupRun> history_;
    std::set<std::string> selectedRestoreConfig_;
    std::set<std::string> selectedRestoreSecrets_;
    bool restoreProjectsOn_ = false;
    std::set<std::string> selectedRestoreProjects_;
    std::vector<RelocationPlan> relocationPlan_;
    bool flattenToProjectRoot_ = false;
    std::map<std::string, std::string> relocationOverrides_;
    std::set<std::string> relocationSkip_;
    bool planning_ = false;
    std::set<std::string> cloning_;
    std::string backupStage_;
    std::string restoreStage_;
    bool loadingManifest_ = false;
    schedule::Frequency scheduleFrequency_ = schedule::Frequency::off;
    std::optional<Timestamp> nextScheduledRun_;
    std::optional<schedule::RunRecord> lastScheduledRun_;
    bool changingSchedule_ = false;
    std::optional<std::string> scheduleError_;
};

std::string toString(AppModel::Tab tab);

} // namespace stowage
