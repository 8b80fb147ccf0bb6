#include "model/AppModel.hpp"

#include "core/BackupEngine.hpp"
#include "core/DefaultKnowledgeBase.hpp"
#include "core/GitInfo.hpp"
#include "core/Paths.hpp"
#include "core/RestoreEngine.hpp"
#include "core/Scanner.hpp"
#include "core/ScopedFileAccess.hpp"
#include "core/Settings.hpp"
#include "core/Wording.hpp"
#include "core/platform/DefaultsStore.hpp"
#include "core/platform/KeyStore.hpp"
#include "model/Restorer.hpp"
#include "model/Text.hpp"

#include <algorithm>
#include <climits>
#include <exception>
#include <mutex>
#include <unistd.h>

namespace stowage {

namespace {

/// Larger application lists than this are not a list the backup wrote.
constexpr std::int64_t maxAppListBytes = 64 * 1024 * 1024;

std::string describe(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return wording::localized(e.what());
    } catch (...) {
        return "Unexpected error";
    }
}

std::string runningProgram() {
    std::string buffer(PATH_MAX, '\0');
    const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n <= 0)
        return {};
    buffer.resize(static_cast<std::size_t>(n));
    return buffer;
}

/// Key stores installed by living models, newest last: the newest is the process-wide one, and a
/// model that goes hands the place back to the one installed before it.
std::mutex keyStoresLock;
std::vector<std::shared_ptr<KeyStore>> installedKeyStores;

void installKeyStore(const std::shared_ptr<KeyStore>& store) {
    std::lock_guard guard(keyStoresLock);
    installedKeyStores.push_back(store);
    KeyStore::overrideStandard(store);
}

void uninstallKeyStore(const std::shared_ptr<KeyStore>& store) {
    std::lock_guard guard(keyStoresLock);
    auto at = std::find(installedKeyStores.rbegin(), installedKeyStores.rend(), store);
    if (at != installedKeyStores.rend())
        installedKeyStores.erase(std::next(at).base());
    KeyStore::overrideStandard(installedKeyStores.empty() ? nullptr : installedKeyStores.back());
}

template <typename T> void toggleIn(std::set<T>& set, const T& value) {
    if (!set.erase(value))
        set.insert(value);
}

std::set<std::string> asSet(const std::vector<std::string>& paths) {
    return {paths.begin(), paths.end()};
}

} // namespace

/// Whether the model still exists; main-side jobs of finished background work check it first.
struct AppModel::Life {};

/// What a background job hands back: its value, or the description of what it threw.
template <typename T> struct Finished {
    std::optional<T> value;
    std::string error;
};

// ---- Construction ---------------------------------------------------------------------------------

AppModel::AppModel(AppEnvironment environment)
    : executor_(std::move(environment.executor)), homeFolder_(std::move(environment.homeFolder)),
      programPath_(std::move(environment.programPath)), clock_(std::move(environment.clock)),
      defaults_(std::move(environment.defaults)), life_(std::make_shared<Life>()) {
    if (!executor_)
        executor_ = std::make_shared<InlineExecutor>();
    if (homeFolder_.empty())
        homeFolder_ = paths::homeFolder();
    if (programPath_.empty())
        programPath_ = runningProgram();
    if (!clock_)
        clock_ = [] { return std::chrono::system_clock::now(); };
    if (!defaults_)
        defaults_ = DefaultsStore::standard();
    if (environment.keyStore) {
        installedKeyStore_ = environment.keyStore;
        installKeyStore(installedKeyStore_);
    }
    restoreDir_ = paths::join(homeFolder_, "StowageBackup");

    if (environment.access) {
        access_ = std::move(environment.access);
        bookmarks_ = std::move(environment.bookmarks);
    } else if (Sandbox::isActive()) {
        bookmarks_ = std::make_shared<BookmarkStore>(defaults_);
        access_ = std::make_shared<ScopedFileAccess>(bookmarks_);
    } else {
        access_ = std::make_shared<DirectFileAccess>();
    }

    readSettings();
    loaded_ = true;
    refreshGrantedRoots();
    detectRestorerLaunch();
}

AppModel::~AppModel() {
    life_.reset();
    if (installedKeyStore_)
        uninstallKeyStore(installedKeyStore_);
}

void AppModel::readSettings() {
    setScanRootsText(defaults_->string(settings::scanRootsKey).value_or(settings::defaultScanRoot));
    setExcludeGlobsText(defaults_->string(settings::excludeGlobsKey).value_or(""));
    setIncremental(defaults_->boolean(incrementalKey).value_or(true));
    std::int64_t days = defaults_->integer(reminderDaysKey).value_or(14);
    setReminderDays(static_cast<int>(std::clamp<std::int64_t>(days, INT_MIN, INT_MAX)));
    setHasOnboarded(defaults_->boolean(hasOnboardedKey).value_or(false));
    setBackupDir(defaults_->string(settings::backupDirKey).value_or(paths::join(homeFolder_, "StowageBackup")));
    setRestoreDir(backupDir_);
    setLastBackupAt(settings::lastBackupAt(*defaults_));
    auto reinstalled = defaults_->stringArray(reinstalledAppsKey).value_or(std::vector<std::string>{});
    assign(reinstalledApps_, asSet(reinstalled), Property::reinstalledApps);
}

void AppModel::detectRestorerLaunch() {
    auto folder = restorer::launchFolder(programPath_, *access_);
    if (!folder)
        return;
    assign(isRestorerMode_, true, Property::isRestorerMode);
    setHasOnboarded(true);
    setShowBackupApps(true);
    setRestoreDir(*folder);
    setTab(Tab::restore);
    loadManifest();
}

void AppModel::refreshGrantedRoots() {
    assign(grantedRoots_, bookmarks_ ? bookmarks_->roots() : std::vector<std::string>{}, Property::grantedRoots);
}

// ---- Observing ------------------------------------------------------------------------------------

int AppModel::addObserver(Observer observer) {
    const int id = nextObserver_++;
    observers_.emplace(id, std::move(observer));
    return id;
}

void AppModel::removeObserver(int id) {
    observers_.erase(id);
}

void AppModel::changed(Property property) {
    // A copy: an observer may add or remove observers while it is told.
    auto observers = observers_;
    for (auto& [id, observer] : observers)
        if (observers_.count(id))
            observer(property);
}

template <typename T> void AppModel::assign(T& field, T value, Property property) {
    field = std::move(value);
    changed(property);
}

template <typename T> void AppModel::assignSetting(T& field, T value, Property property) {
    if (field == value)
        return;
    field = std::move(value);
    changed(property);
    persist();
}

template <typename Work, typename Publish> void AppModel::start(TaskPriority priority, Work work, Publish publish) {
    using Result = Finished<decltype(work())>;
    std::weak_ptr<Life> life = life_;
    std::shared_ptr<Executor> executor = executor_;
    executor_->runInBackground(priority,
                               [life, executor, work = std::move(work), publish = std::move(publish)]() mutable {
                                   Result result;
                                   try {
                                       result.value.emplace(work());
                                   } catch (...) {
                                       result.error = describe(std::current_exception());
                                   }
                                   executor->runOnMain([life, publish, result = std::move(result)]() mutable {
                                       if (!life.expired())
                                           publish(std::move(result));
                                   });
                               });
}

// ---- Setters --------------------------------------------------------------------------------------

void AppModel::setTab(Tab value) {
    if (tab_ != value)
        assign(tab_, value, Property::tab);
}

void AppModel::setScanRootsText(std::string text) {
    assignSetting(scanRootsText_, std::move(text), Property::scanRootsText);
}
void AppModel::setExcludeGlobsText(std::string text) {
    assignSetting(excludeGlobsText_, std::move(text), Property::excludeGlobsText);
}
void AppModel::setIncremental(bool on) {
    assignSetting(incremental_, on, Property::incremental);
}
void AppModel::setReminderDays(int days) {
    assignSetting(reminderDays_, days, Property::reminderDays);
}
void AppModel::setHasOnboarded(bool done) {
    assignSetting(hasOnboarded_, done, Property::hasOnboarded);
}
void AppModel::setBackupDir(std::string dir) {
    assignSetting(backupDir_, std::move(dir), Property::backupDir);
}
void AppModel::setLastBackupAt(std::optional<Timestamp> when) {
    assignSetting(lastBackupAt_, when, Property::lastBackupAt);
}

namespace {
template <typename T> bool differs(const T& a, const T& b) {
    return !(a == b);
}
} // namespace

#define STOWAGE_PLAIN_SETTER(Name, Type, field, property)                                                              \
    void AppModel::Name(Type value) {                                                                                  \
        if (differs(field, value))                                                                                     \
            assign(field, std::move(value), Property::property);                                                       \
    }

STOWAGE_PLAIN_SETTER(setAuditSearch, std::string, auditSearch_, auditSearch)
STOWAGE_PLAIN_SETTER(setAuditGapsOnly, bool, auditGapsOnly_, auditGapsOnly)
STOWAGE_PLAIN_SETTER(setAuditMinRisk, std::optional<Risk>, auditMinRisk_, auditMinRisk)
STOWAGE_PLAIN_SETTER(setShowBackupApps, bool, showBackupApps_, showBackupApps)
STOWAGE_PLAIN_SETTER(setIncludeProjectGitHistory, bool, includeProjectGitHistory_, includeProjectGitHistory)
STOWAGE_PLAIN_SETTER(setSelected, std::set<std::string>, selected_, selected)
STOWAGE_PLAIN_SETTER(setIncludeManifests, bool, includeManifests_, includeManifests)
STOWAGE_PLAIN_SETTER(setIncludeRestorer, bool, includeRestorer_, includeRestorer)
STOWAGE_PLAIN_SETTER(setUsePassphrase, bool, usePassphrase_, usePassphrase)
STOWAGE_PLAIN_SETTER(setRestoreDir, std::string, restoreDir_, restoreDir)
STOWAGE_PLAIN_SETTER(setRestoreConfigOn, bool, restoreConfigOn_, restoreConfigOn)
STOWAGE_PLAIN_SETTER(setRestoreSecretsOn, bool, restoreSecretsOn_, restoreSecretsOn)
STOWAGE_PLAIN_SETTER(setDryRun, bool, dryRun_, dryRun)
STOWAGE_PLAIN_SETTER(setConflictPolicy, ConflictPolicy, conflictPolicy_, conflictPolicy)
STOWAGE_PLAIN_SETTER(setSnapshotOverwrites, bool, snapshotOverwrites_, snapshotOverwrites)
STOWAGE_PLAIN_SETTER(setRestoreProjectsOn, bool, restoreProjectsOn_, restoreProjectsOn)
STOWAGE_PLAIN_SETTER(setFlattenToProjectRoot, bool, flattenToProjectRoot_, flattenToProjectRoot)

#undef STOWAGE_PLAIN_SETTER

void AppModel::setPassphrase(std::string text) {
    if (passphrase_.str() == text) {
        wipeString(text);
        return;
    }
    assign(passphrase_, SecretString(std::move(text)), Property::passphrase);
}

void AppModel::setPassphraseConfirm(std::string text) {
    if (passphraseConfirm_.str() == text) {
        wipeString(text);
        return;
    }
    assign(passphraseConfirm_, SecretString(std::move(text)), Property::passphraseConfirm);
}

void AppModel::setRecoveryCode(std::string text) {
    if (recoveryCode_.str() == text) {
        wipeString(text);
        return;
    }
    assign(recoveryCode_, SecretString(std::move(text)), Property::recoveryCode);
}

// ---- Settings -------------------------------------------------------------------------------------

void AppModel::persist() {
    if (!loaded_)
        return;
    // Every setting is written, in this order; a key that already holds the value is left alone, so
    // a change costs one write of the store rather than seven.
    try {
        auto text = [this](const char* key, const std::string& value) {
            if (defaults_->string(key) != value)
                defaults_->setString(key, value);
        };
        auto flag = [this](const char* key, bool value) {
            if (defaults_->boolean(key) != value)
                defaults_->setBoolean(key, value);
        };
        text(settings::scanRootsKey, scanRootsText_);
        text(settings::excludeGlobsKey, excludeGlobsText_);
        flag(incrementalKey, incremental_);
        if (defaults_->integer(reminderDaysKey) != reminderDays_)
            defaults_->setInteger(reminderDaysKey, reminderDays_);
        flag(hasOnboardedKey, hasOnboarded_);
        text(settings::backupDirKey, backupDir_);
        const bool lastBackupStored = lastBackupAt_ ? settings::lastBackupAt(*defaults_) == lastBackupAt_ &&
                                                          defaults_->real(settings::lastBackupAtKey).has_value()
                                                    : defaults_->integer(settings::lastBackupAtKey) == 0;
        if (!lastBackupStored)
            settings::setLastBackupAt(*defaults_, lastBackupAt_);
    } catch (...) {
        // The values stay in the model; the next change tries again.
    }
}

std::vector<std::string> AppModel::lines(const std::string& text) {
    return settings::lines(text);
}

std::vector<std::string> AppModel::scanRoots() const {
    auto roots = lines(scanRootsText_);
    if (roots.empty())
        roots.emplace_back(settings::defaultScanRoot);
    return roots;
}

bool AppModel::grantFolder(const std::string& folder) {
    if (!bookmarks_ || !bookmarks_->grant(folder))
        return false;
    refreshGrantedRoots();
    scan();
    return true;
}

void AppModel::revokeFolder(const std::string& folder) {
    if (!bookmarks_)
        return;
    try {
        bookmarks_->revoke(folder);
    } catch (...) {
        // The grant stays; the list below shows it.
    }
    refreshGrantedRoots();
}

void AppModel::saveReinstalledApps() {
    try {
        defaults_->setStringArray(reinstalledAppsKey, {reinstalledApps_.begin(), reinstalledApps_.end()});
    } catch (...) {
        // The ticks stay for this session.
    }
}

// ---- Scanning -------------------------------------------------------------------------------------

void AppModel::scan() {
    if (scanning_)
        return;
    assign(scanning_, true, Property::scanning);
    const auto roots = scanRoots();
    const auto excludes = lines(excludeGlobsText_);
    const FileAccessPtr access = access_;
    start(
        TaskPriority::userInitiated,
        [roots, excludes, access] {
            return Scanner(DefaultKnowledgeBase::rules(), roots, maxEnvFiles, excludes, access).scan();
        },
        [this](Finished<Inventory> done) {
            if (done.value) {
                auto selectable = asSet(done.value->selectablePaths());
                assign(inventory_, std::move(done.value), Property::inventory);
                assign(selected_, std::move(selectable), Property::selected);
            }
            assign(scanning_, false, Property::scanning);
        });

    const std::uint64_t generation = ++gitRiskScans_;
    start(
        TaskPriority::utility, [roots, access] { return GitRiskScanner(roots, access).scan(); },
        [this, generation](Finished<std::vector<GitRisk>> done) {
            // A later scan's answer is never replaced by an earlier one finishing late.
            if (generation < publishedGitRiskScan_ || !done.value)
                return;
            publishedGitRiskScan_ = generation;
            assign(gitRisks_, std::move(*done.value), Property::gitRisks);
        });
}

void AppModel::scanApps() {
    if (scanningApps_ || !apps_.empty())
        return;
    assign(scanningApps_, true, Property::scanningApps);
    const FileAccessPtr access = access_;
    start(
        TaskPriority::userInitiated, [access] { return AppScanner(access).scan(); },
        [this](Finished<std::vector<InstalledApp>> done) {
            if (done.value)
                assign(apps_, std::move(*done.value), Property::apps);
            assign(scanningApps_, false, Property::scanningApps);
        });
}

namespace {

struct ScheduleState {
    schedule::Frequency frequency = schedule::Frequency::off;
    std::optional<Timestamp> nextRun;
    std::optional<schedule::RunRecord> lastRun;
    std::optional<std::string> error;
};

ScheduleState readSchedule(const schedule::Scheduler& scheduler) {
    ScheduleState state;
    state.frequency = scheduler.installed();
    if (state.frequency != schedule::Frequency::off && scheduler.systemdAvailable())
        state.nextRun = scheduler.nextRun();
    state.lastRun = schedule::readLastRun(schedule::lastRunPath());
    return state;
}

} // namespace

void AppModel::refreshSchedule() {
    const std::string executable = paths::join(paths::parent(programPath_), "stowage");
    start(
        TaskPriority::utility,
        [executable] { return readSchedule(schedule::Scheduler(schedule::unitFolder(), executable)); },
        [this](Finished<ScheduleState> done) {
            if (!done.value)
                return;
            assign(scheduleFrequency_, done.value->frequency, Property::scheduleFrequency);
            assign(nextScheduledRun_, done.value->nextRun, Property::nextScheduledRun);
            assign(lastScheduledRun_, done.value->lastRun, Property::lastScheduledRun);
        });
}

void AppModel::setScheduleFrequency(schedule::Frequency frequency) {
    if (changingSchedule_)
        return;
    assign(changingSchedule_, true, Property::changingSchedule);
    assign(scheduleError_, std::optional<std::string>(), Property::scheduleError);
    const std::string executable = paths::join(paths::parent(programPath_), "stowage");
    const FileAccessPtr access = access_;
    start(
        TaskPriority::userInitiated,
        [executable, frequency, access] {
            schedule::Scheduler scheduler(schedule::unitFolder(), executable);
            ScheduleState state;
            try {
                if (frequency != schedule::Frequency::off && !access->exists(executable))
                    throw std::runtime_error("The stowage command is not installed beside the app, so scheduled "
                                             "backups cannot be set up from here.");
                if (!scheduler.systemdAvailable()) {
                    if (frequency != schedule::Frequency::off)
                        throw std::runtime_error(
                            "No systemd user manager answers here, so Stowage cannot schedule itself. Add this "
                            "line with crontab -e instead: " +
                            schedule::crontabLine(frequency, executable));
                } else {
                    scheduler.apply(frequency);
                }
            } catch (const std::exception& e) {
                state.error = e.what();
            }
            ScheduleState read = readSchedule(scheduler);
            read.error = state.error;
            return read;
        },
        [this](Finished<ScheduleState> done) {
            if (done.value) {
                assign(scheduleFrequency_, done.value->frequency, Property::scheduleFrequency);
                assign(nextScheduledRun_, done.value->nextRun, Property::nextScheduledRun);
                assign(lastScheduledRun_, done.value->lastRun, Property::lastScheduledRun);
                assign(scheduleError_, done.value->error, Property::scheduleError);
            } else {
                assign(scheduleError_, std::optional<std::string>(done.error), Property::scheduleError);
            }
            assign(changingSchedule_, false, Property::changingSchedule);
        });
}

void AppModel::scanProjects() {
    if (scanningProjects_ || !projects_.empty())
        return;
    assign(scanningProjects_, true, Property::scanningProjects);
    const auto roots = scanRoots();
    const FileAccessPtr access = access_;
    start(
        TaskPriority::utility, [roots, access] { return ProjectScanner(roots, access).scan(); },
        [this](Finished<std::vector<ProjectInfo>> done) {
            if (done.value)
                assign(projects_, std::move(*done.value), Property::projects);
            assign(scanningProjects_, false, Property::scanningProjects);
        });
}

void AppModel::loadBackupApps() {
    const std::string path = paths::join(paths::expandTilde(restoreDir_), "manifest/apps.json");
    const FileAccessPtr access = access_;
    const std::uint64_t generation = ++backupAppLoads_;
    start(
        TaskPriority::utility,
        [path, access] {
            std::vector<InstalledApp> result;
            auto info = access->info(path);
            if (!info || info->isDirectory || info->size > maxAppListBytes)
                return result;
            auto bytes = access->read(path);
            if (!bytes)
                return result;
            try {
                auto json = nlohmann::json::parse(bytes->begin(), bytes->end());
                if (json.is_array())
                    result = json.get<std::vector<InstalledApp>>();
            } catch (...) {
                result.clear();
            }
            return result;
        },
        [this, generation](Finished<std::vector<InstalledApp>> done) {
            if (generation != backupAppLoads_)
                return;
            assign(backupApps_, done.value.value_or(std::vector<InstalledApp>{}), Property::backupApps);
        });
}

// ---- Selection and filters ------------------------------------------------------------------------

void AppModel::toggle(const std::string& path) {
    toggleIn(selected_, path);
    changed(Property::selected);
}

void AppModel::setPathsSelected(const std::vector<std::string>& paths, bool on) {
    auto next = selected_;
    for (const auto& path : paths) {
        if (on)
            next.insert(path);
        else
            next.erase(path);
    }
    setSelected(std::move(next));
}

void AppModel::toggleProjectSource(const std::string& path) {
    toggleIn(selectedProjectSources_, path);
    changed(Property::selectedProjectSources);
}

void AppModel::toggleReinstalled(const InstalledApp& app) {
    toggleIn(reinstalledApps_, appKey(app));
    changed(Property::reinstalledApps);
    saveReinstalledApps();
}

void AppModel::selectAll() {
    setSelected(inventory_ ? asSet(inventory_->selectablePaths()) : std::set<std::string>{});
}

void AppModel::clearAuditFilters() {
    setAuditSearch("");
    setAuditGapsOnly(false);
    setAuditMinRisk(std::nullopt);
}

std::vector<Finding> AppModel::filtered(const std::vector<Finding>& findings) const {
    const std::u16string key = auditSearch_.empty() ? std::u16string{} : text::searchKey(auditSearch_);
    std::vector<Finding> result;
    for (const Finding& finding : findings) {
        if (!key.empty()) {
            bool found = text::containsKey(finding.rule.title, key) || text::containsKey(finding.rule.category, key);
            for (std::size_t i = 0; !found && i < finding.paths.size(); ++i)
                found = text::containsKey(finding.paths[i].path, key);
            if (!found)
                continue;
        }
        if (auditMinRisk_ && rawValue(finding.rule.risk) < rawValue(*auditMinRisk_))
            continue;
        if (auditGapsOnly_ && !finding.isUnbackedConfigGap())
            continue;
        result.push_back(finding);
    }
    return result;
}

SelectionState AppModel::state(const std::vector<std::string>& paths) const {
    if (paths.empty())
        return SelectionState::none;
    const auto count = static_cast<std::size_t>(
        std::count_if(paths.begin(), paths.end(), [this](const std::string& p) { return selected_.count(p) > 0; }));
    if (count == 0)
        return SelectionState::none;
    return count == paths.size() ? SelectionState::all : SelectionState::some;
}

SelectionState AppModel::state(const Finding& finding) const {
    std::vector<std::string> paths;
    for (const auto& found : finding.paths)
        paths.push_back(found.path);
    return state(paths);
}

std::vector<std::string> AppModel::tierPaths(Tier tier) const {
    std::vector<std::string> result;
    if (!inventory_)
        return result;
    for (const Finding& finding : inventory_->findingsIn(tier))
        for (const FoundPath& found : finding.paths)
            result.push_back(found.path);
    return result;
}

// ---- Derived values -------------------------------------------------------------------------------

bool AppModel::auditFiltersActive() const {
    return !auditSearch_.empty() || auditGapsOnly_ || auditMinRisk_;
}

int AppModel::selectedCount() const {
    if (!inventory_)
        return 0;
    // Distinct paths on both sides, so that all selected reads as selectedCount == selectableCount.
    const auto selectable = asSet(inventory_->selectablePaths());
    return static_cast<int>(std::count_if(selectable.begin(), selectable.end(),
                                          [this](const std::string& p) { return selected_.count(p) > 0; }));
}

int AppModel::selectableCount() const {
    return inventory_ ? static_cast<int>(asSet(inventory_->selectablePaths()).size()) : 0;
}

std::int64_t AppModel::selectedBytes() const {
    std::int64_t total = 0;
    if (!inventory_)
        return total;
    for (Tier tier : Inventory::selectableTiers())
        for (const Finding& finding : inventory_->findingsIn(tier))
            for (const FoundPath& found : finding.paths)
                if (selected_.count(found.path))
                    total = saturatingAdd(total, found.bytes);
    return total;
}

int AppModel::selectedSecretCount() const {
    const auto secrets = asSet(tierPaths(Tier::secret));
    return static_cast<int>(
        std::count_if(secrets.begin(), secrets.end(), [this](const std::string& p) { return selected_.count(p) > 0; }));
}

bool AppModel::needsBackupReminder() const {
    if (reminderDays_ < 1)
        return false;
    if (!lastBackupAt_)
        return true;
    const double elapsed = std::chrono::duration<double>(now() - *lastBackupAt_).count();
    return elapsed > static_cast<double>(reminderDays_) * 86400.0;
}

std::string AppModel::lastBackupDescription() const {
    if (!lastBackupAt_)
        return "never backed up";
    return "last backup " + text::relativeTime(*lastBackupAt_, now());
}

std::string AppModel::backupReminderText() const {
    // A failed unattended run matters whatever the reminder interval, until a backup succeeds.
    if (lastScheduledRun_ && !lastScheduledRun_->succeeded &&
        (!lastBackupAt_ || *lastBackupAt_ < lastScheduledRun_->at))
        return "The last scheduled backup failed: " + lastScheduledRun_->message;
    if (!needsBackupReminder())
        return {};
    if (!lastBackupAt_)
        return "You haven't backed up yet.";
    return "It's been a while \u2014 " + lastBackupDescription() + ".";
}

const std::vector<InstalledApp>& AppModel::displayedApps() const {
    return showBackupApps_ ? backupApps_ : apps_;
}

int AppModel::manualAppCount() const {
    const auto& shown = displayedApps();
    return static_cast<int>(
        std::count_if(shown.begin(), shown.end(), [](const InstalledApp& a) { return a.source == AppSource::manual; }));
}

int AppModel::reinstalledCount() const {
    return static_cast<int>(std::count_if(backupApps_.begin(), backupApps_.end(),
                                          [this](const InstalledApp& a) { return isReinstalled(a); }));
}

std::string AppModel::appKey(const InstalledApp& app) {
    return app.bundleID.value_or(app.path);
}

bool AppModel::isReinstalled(const InstalledApp& app) const {
    return reinstalledApps_.count(appKey(app)) > 0;
}

std::vector<ProjectInfo> AppModel::atRiskProjects() const {
    std::vector<ProjectInfo> result;
    std::copy_if(projects_.begin(), projects_.end(), std::back_inserter(result),
                 [](const ProjectInfo& p) { return p.kind != ProjectKind::gitWithRemote; });
    return result;
}

bool AppModel::passphraseValid() const {
    return !passphrase_.empty() && passphrase_ == passphraseConfirm_;
}

int AppModel::passphraseScore() const {
    return PassphraseStrength::score(passphrase_.view());
}

std::string AppModel::passphraseLabel() const {
    return PassphraseStrength::label(passphraseScore());
}

bool AppModel::somethingChosen() const {
    return selectedCount() != 0 || includeManifests_ || !selectedProjectSources_.empty();
}

bool AppModel::secretsChosen() const {
    for (const auto& path : tierPaths(Tier::secret))
        if (selected_.count(path))
            return true;
    return false;
}

bool AppModel::canBackUp() const {
    if (!somethingChosen())
        return false;
    if (!usePassphrase_ || !secretsChosen())
        return true;
    return passphraseValid();
}

std::optional<std::string> AppModel::backupBlockReason() const {
    if (backingUp_)
        return std::nullopt;
    if (!somethingChosen())
        return "Select at least one thing to back up.";
    if (!usePassphrase_ || !secretsChosen() || passphraseValid())
        return std::nullopt;
    if (passphrase_.empty())
        return "Enter a passphrase to encrypt your secrets (or switch off encryption).";
    return "Passphrase and confirmation don't match.";
}

std::optional<std::string> AppModel::restoreBlockReason() const {
    if (restoring_)
        return std::nullopt;
    if (!loadedManifest_)
        return "Choose a backup folder above.";
    if (restoreConfigOn_ || restoreSecretsOn_ || restoreProjectsOn_)
        return std::nullopt;
    return "Turn on what you want to restore.";
}

// ---- Backup ---------------------------------------------------------------------------------------

void AppModel::runBackup() {
    if (backingUp_)
        return;
    assign(backingUp_, true, Property::backingUp);
    assign(backupError_, std::optional<std::string>{}, Property::backupError);
    assign(backupResult_, std::optional<BackupResult>{}, Property::backupResult);

    struct Inputs {
        std::string dir;
        std::optional<Inventory> inventory;
        std::set<std::string> selection;
        BackupOptions options;
        bool includeRestorer;
        std::string programPath;
    };
    Inputs in;
    in.dir = backupDir_;
    in.inventory = inventory_;
    in.selection = selected_;
    in.options.includeSecrets = true;
    in.options.includeConfig = true;
    in.options.includeManifests = includeManifests_;
    in.options.projectSources = selectedProjectSources_;
    in.options.includeProjectGitHistory = includeProjectGitHistory_;
    in.options.excludeGlobs = lines(excludeGlobsText_);
    in.options.incremental = incremental_;
    if (usePassphrase_ && passphraseValid())
        in.options.passphrase = passphrase_.str();
    in.includeRestorer = includeRestorer_;
    in.programPath = programPath_;
    const FileAccessPtr access = access_;

    // The engine reports its stages on the background thread; each goes to the main side in order,
    // before the result.
    std::weak_ptr<Life> life = life_;
    std::shared_ptr<Executor> executor = executor_;
    BackupEngine::ProgressHandler progress = [life, executor, this](const std::string& engineStage) {
        executor->runOnMain([life, this, stage = wording::localized(engineStage)] {
            if (!life.expired() && backingUp_ && backupStage_ != stage)
                assign(backupStage_, stage, Property::backupStage);
        });
    };

    start(
        TaskPriority::userInitiated,
        [in = std::move(in), access, progress]() mutable {
            Inventory inventory;
            std::set<std::string> selection;
            if (in.inventory) {
                inventory = std::move(*in.inventory);
                selection = std::move(in.selection);
            } else {
                if (progress)
                    progress("Scanning ~/Development\u2026");
                inventory =
                    Scanner(DefaultKnowledgeBase::rules(), {settings::defaultScanRoot}, maxEnvFiles, {}, access).scan();
                selection = asSet(inventory.selectablePaths());
            }
            in.options.selectedPaths = std::move(selection);
            BackupResult result = BackupEngine(access, progress).run(inventory, in.dir, in.options);
            if (in.options.passphrase)
                wipeString(*in.options.passphrase);
            if (in.includeRestorer)
                restorer::bundle(in.programPath, result.outputDir, *access);
            return result;
        },
        [this](Finished<BackupResult> done) {
            if (done.value) {
                assign(backupResult_, std::move(done.value), Property::backupResult);
                setLastBackupAt(now());
            } else {
                assign(backupError_, std::optional<std::string>(done.error), Property::backupError);
            }
            assign(backupStage_, std::string{}, Property::backupStage);
            assign(backingUp_, false, Property::backingUp);
        });
}

void AppModel::bundleRestorer(const std::string& dir) const {
    restorer::bundle(programPath_, paths::expandTilde(dir), *access_);
}

// ---- Restore --------------------------------------------------------------------------------------

void AppModel::loadManifest() {
    loadBackupApps();
    const std::string dir = paths::expandTilde(restoreDir_);
    const FileAccessPtr access = access_;
    const std::uint64_t generation = ++manifestLoads_;
    if (!loadingManifest_)
        assign(loadingManifest_, true, Property::loadingManifest);

    struct Loaded {
        std::optional<BackupManifest> manifest;
        std::vector<BackupRun> history;
    };
    start(
        TaskPriority::normal,
        [dir, access] {
            Loaded loaded;
            try {
                loaded.manifest = RestoreEngine(access).loadManifest(dir);
            } catch (...) {
                loaded.manifest.reset();
            }
            loaded.history = BackupEngine(access).history(dir);
            return loaded;
        },
        [this, generation](Finished<Loaded> done) {
            // Only the latest load publishes: a slow earlier folder never replaces a later one.
            if (generation != manifestLoads_)
                return;
            Loaded loaded = done.value ? std::move(*done.value) : Loaded{};
            std::set<std::string> configs, secrets, projects;
            if (loaded.manifest) {
                for (const auto& entry : loaded.manifest->configs)
                    configs.insert(entry.originalPath);
                secrets = asSet(loaded.manifest->secretPaths);
                for (const auto& entry : loaded.manifest->projects.value_or(std::vector<ProjectEntry>{}))
                    projects.insert(entry.originalPath);
            }
            assign(loadedManifest_, std::move(loaded.manifest), Property::loadedManifest);
            assign(history_, std::move(loaded.history), Property::history);
            const bool anyConfig = !configs.empty(), anySecret = !secrets.empty(), anyProject = !projects.empty();
            assign(selectedRestoreConfig_, std::move(configs), Property::selectedRestoreConfig);
            assign(selectedRestoreSecrets_, std::move(secrets), Property::selectedRestoreSecrets);
            assign(selectedRestoreProjects_, std::move(projects), Property::selectedRestoreProjects);
            assign(restoreConfigOn_, anyConfig, Property::restoreConfigOn);
            assign(restoreSecretsOn_, anySecret, Property::restoreSecretsOn);
            assign(restoreProjectsOn_, anyProject, Property::restoreProjectsOn);
            assign(loadingManifest_, false, Property::loadingManifest);
        });
}

void AppModel::toggleRestoreConfig(const std::string& path) {
    toggleIn(selectedRestoreConfig_, path);
    changed(Property::selectedRestoreConfig);
}

void AppModel::toggleRestoreSecret(const std::string& path) {
    toggleIn(selectedRestoreSecrets_, path);
    changed(Property::selectedRestoreSecrets);
}

void AppModel::toggleRestoreProject(const std::string& path) {
    toggleIn(selectedRestoreProjects_, path);
    changed(Property::selectedRestoreProjects);
}

namespace {

/// The key for the bundle in `dir` from the typed text: a passphrase for a passphrase-sealed bundle,
/// else a recovery code when one was typed; with neither, the keychain's copy.
struct TypedKey {
    std::optional<SecretString> passphrase;
    std::optional<SecretString> recoveryCode;
};

TypedKey typedKey(const RestoreEngine& engine, const std::string& dir, const SecretString& code) {
    TypedKey key;
    if (engine.secretsNeedPassphrase(dir))
        key.passphrase = code;
    else if (!code.empty())
        key.recoveryCode = code;
    return key;
}

} // namespace

void AppModel::runRestore() {
    if (restoring_)
        return;
    assign(restoring_, true, Property::restoring);
    assign(restoreError_, std::optional<std::string>{}, Property::restoreError);
    assign(restoreReport_, std::optional<std::vector<std::string>>{}, Property::restoreReport);
    assign(restoreOutcomes_, std::vector<RestoreOutcome>{}, Property::restoreOutcomes);

    struct Inputs {
        std::string dir;
        bool config, projects, secrets, dryRun;
        ConflictPolicy policy;
        std::set<std::string> configSelection, projectSelection, secretSelection;
        std::map<std::string, std::string> destinations;
        SecretString code;
        std::optional<std::string> snapshot;
    };
    Inputs in{};
    in.dir = paths::expandTilde(restoreDir_);
    in.config = restoreConfigOn_;
    in.projects = restoreProjectsOn_;
    in.secrets = restoreSecretsOn_;
    in.dryRun = dryRun_;
    in.policy = conflictPolicy_;
    in.configSelection = selectedRestoreConfig_;
    in.projectSelection = selectedRestoreProjects_;
    in.code = SecretString(text::trimmed(recoveryCode_.view()));
    // Project secrets go where the relocation says; one left without a place is left out rather
    // than written to a folder that belonged to the old machine.
    in.secretSelection = selectedRestoreSecrets_;
    for (const RelocationPlan& plan : projectSecretPlans()) {
        const std::string& path = plan.originalPath;
        if (relocationSkip_.count(path)) {
            in.secretSelection.erase(path);
        } else if (auto over = relocationOverrides_.find(path); over != relocationOverrides_.end()) {
            in.destinations[path] = over->second;
        } else if (plan.destination) {
            in.destinations[path] = *plan.destination;
        } else {
            in.secretSelection.erase(path);
        }
    }
    if (snapshotOverwrites_ && conflictPolicy_ == ConflictPolicy::overwrite)
        in.snapshot = paths::join(in.dir, RestoreEngine::snapshotFolderName);
    const FileAccessPtr access = access_;

    std::weak_ptr<Life> life = life_;
    std::shared_ptr<Executor> executor = executor_;
    auto stage = [life, executor, this](std::string text) {
        executor->runOnMain([life, this, text = std::move(text)] {
            if (!life.expired() && restoring_)
                assign(restoreStage_, text, Property::restoreStage);
        });
    };

    struct Run {
        std::vector<std::string> report;
        std::vector<RestoreOutcome> outcomes;
    };
    start(
        TaskPriority::userInitiated,
        [in = std::move(in), access, stage] {
            Run run;
            if (!in.config && !in.projects && !in.secrets) {
                run.report.emplace_back("Nothing selected.");
                return run;
            }
            const RestoreEngine engine(access);
            const std::string verb = in.dryRun ? "Previewing " : "Restoring ";
            auto add = [&run, &in](std::vector<RestoreOutcome> outcomes, const std::string& label) {
                run.report.push_back(summarize(outcomes, label, in.dryRun));
                std::move(outcomes.begin(), outcomes.end(), std::back_inserter(run.outcomes));
            };
            if (in.config) {
                stage(verb + "config files\u2026");
                add(engine.restoreConfig(in.dir, in.configSelection, in.policy, in.snapshot, std::nullopt, in.dryRun),
                    "config");
            }
            if (in.projects) {
                stage(verb + "projects\u2026");
                add(engine.restoreProjects(in.dir, in.projectSelection, in.policy, in.snapshot, std::nullopt,
                                           std::nullopt, in.dryRun),
                    "project");
            }
            if (in.secrets) {
                stage(verb + "secrets\u2026");
                TypedKey key = typedKey(engine, in.dir, in.code);
                RestoreDestinations destinations;
                if (!in.destinations.empty())
                    destinations = in.destinations;
                add(engine.restoreSecrets(in.dir, key.passphrase, key.recoveryCode, in.secretSelection, in.policy,
                                          in.snapshot, destinations, std::nullopt, in.dryRun),
                    "secret");
            }
            return run;
        },
        [this](Finished<Run> done) {
            if (done.value) {
                assign(restoreReport_, std::optional<std::vector<std::string>>(std::move(done.value->report)),
                       Property::restoreReport);
                assign(restoreOutcomes_, std::move(done.value->outcomes), Property::restoreOutcomes);
            } else {
                assign(restoreError_, std::optional<std::string>(done.error), Property::restoreError);
            }
            assign(restoreStage_, std::string{}, Property::restoreStage);
            assign(restoring_, false, Property::restoring);
        });
}

std::string AppModel::summarize(const std::vector<RestoreOutcome>& outcomes, const std::string& label, bool dry) {
    return stowage::summarize(outcomes, label, dry);
}

// ---- Relocation of project secrets ----------------------------------------------------------------

void AppModel::planSecretRestore() {
    if (!restoreSecretsOn_ || planning_)
        return;
    assign(planning_, true, Property::planning);
    assign(restoreError_, std::optional<std::string>{}, Property::restoreError);
    const std::string dir = paths::expandTilde(restoreDir_);
    const auto roots = scanRoots();
    const bool flatten = flattenToProjectRoot_;
    const SecretString code(text::trimmed(recoveryCode_.view()));
    const FileAccessPtr access = access_;
    start(
        TaskPriority::userInitiated,
        [dir, roots, flatten, code, access] {
            const RestoreEngine engine(access);
            TypedKey key = typedKey(engine, dir, code);
            return engine.planRelocations(dir, key.passphrase, key.recoveryCode, roots, flatten);
        },
        [this](Finished<std::vector<RelocationPlan>> done) {
            if (done.value) {
                assign(relocationPlan_, std::move(*done.value), Property::relocationPlan);
                assign(relocationOverrides_, std::map<std::string, std::string>{}, Property::relocationOverrides);
                assign(relocationSkip_, std::set<std::string>{}, Property::relocationSkip);
            } else {
                assign(restoreError_, std::optional<std::string>("Couldn't read backup: " + done.error),
                       Property::restoreError);
            }
            assign(planning_, false, Property::planning);
        });
}

std::vector<RelocationPlan> AppModel::projectSecretPlans() const {
    std::vector<RelocationPlan> result;
    std::copy_if(relocationPlan_.begin(), relocationPlan_.end(), std::back_inserter(result),
                 [](const RelocationPlan& plan) { return plan.project.has_value(); });
    return result;
}

std::optional<std::string> AppModel::plannedDestination(const RelocationPlan& plan) const {
    if (relocationSkip_.count(plan.originalPath))
        return std::nullopt;
    if (auto over = relocationOverrides_.find(plan.originalPath); over != relocationOverrides_.end())
        return over->second;
    return plan.destination;
}

int AppModel::unresolvedProjectSecrets() const {
    int count = 0;
    for (const RelocationPlan& plan : projectSecretPlans())
        if (!relocationSkip_.count(plan.originalPath) && !relocationOverrides_.count(plan.originalPath) &&
            !plan.destination)
            ++count;
    return count;
}

void AppModel::setRelocationFolder(const RelocationPlan& plan, const std::string& folder) {
    if (relocationSkip_.erase(plan.originalPath))
        changed(Property::relocationSkip);
    relocationOverrides_[plan.originalPath] =
        paths::join(paths::expandTilde(folder), paths::lastComponent(plan.originalPath));
    changed(Property::relocationOverrides);
}

void AppModel::toggleRelocationSkip(const RelocationPlan& plan) {
    toggleIn(relocationSkip_, plan.originalPath);
    changed(Property::relocationSkip);
}

void AppModel::cloneAndPlace(const RelocationPlan& plan, const std::string& folder) {
    if (!plan.project || !plan.project->remote || cloning_.count(plan.originalPath))
        return;
    const std::string path = plan.originalPath;
    cloning_.insert(path);
    changed(Property::cloning);
    const std::string remote = *plan.project->remote;
    const std::string into = paths::expandTilde(folder);
    // The place inside the clone; a recorded path that would leave the repository keeps only the
    // file's own name.
    std::string placement = flattenToProjectRoot_ ? paths::lastComponent(plan.project->relPath) : plan.project->relPath;
    if (!RestoreEngine::isSafeRelativePath(placement))
        placement = paths::lastComponent(path);
    start(
        TaskPriority::userInitiated, [remote, into] { return GitInfo::clone(remote, into); },
        [this, path, placement](Finished<std::optional<std::string>> done) {
            cloning_.erase(path);
            changed(Property::cloning);
            if (!done.value || !*done.value) {
                assign(restoreError_,
                       std::optional<std::string>(
                           "Clone failed \u2014 restore your SSH keys first, or choose a folder instead."),
                       Property::restoreError);
                return;
            }
            relocationOverrides_[path] = paths::join(**done.value, placement);
            changed(Property::relocationOverrides);
            if (relocationSkip_.erase(path))
                changed(Property::relocationSkip);
        });
}

std::string toString(AppModel::Tab tab) {
    switch (tab) {
    case AppModel::Tab::audit:
        return "audit";
    case AppModel::Tab::backup:
        return "backup";
    case AppModel::Tab::restore:
        return "restore";
    case AppModel::Tab::apps:
        return "apps";
    case AppModel::Tab::settings:
        return "settings";
    }
    return "audit";
}

} // namespace stowage
