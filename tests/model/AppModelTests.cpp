// The model's settings, derived values and restorer copy, without running any engine.

#include "model/ModelFixture.hpp"

#include "core/BackupManifest.hpp"
#include "core/Settings.hpp"
#include "model/Restorer.hpp"
#include "support/FakeTools.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

namespace stowage {
namespace {

namespace fs = std::filesystem;
using testing::slurp;
using P = AppModel::Property;
using std::chrono::hours;

class AppModelTest : public testing::ModelFixture {};

InstalledApp app(const std::string& name, std::optional<std::string> bundleID, const std::string& path) {
    InstalledApp result;
    result.name = name;
    result.bundleID = std::move(bundleID);
    result.path = path;
    return result;
}

// ---- Settings -------------------------------------------------------------------------------------

TEST_F(AppModelTest, NoStoredSettingsGiveTheDefaultsAndConstructionWritesNothing) {
    auto model = makeModel();
    EXPECT_EQ(model->tab(), AppModel::Tab::audit);
    EXPECT_EQ(model->scanRootsText(), "~/Development");
    EXPECT_EQ(model->excludeGlobsText(), "");
    EXPECT_TRUE(model->incremental());
    EXPECT_EQ(model->reminderDays(), 14);
    EXPECT_FALSE(model->hasOnboarded());
    EXPECT_EQ(model->backupDir(), home / "StowageBackup");
    EXPECT_EQ(model->restoreDir(), home / "StowageBackup");
    EXPECT_EQ(model->lastBackupAt(), std::nullopt);
    EXPECT_TRUE(model->dryRun());
    EXPECT_EQ(model->conflictPolicy(), ConflictPolicy::overwrite);
    EXPECT_EQ(model->backupReminderText(), "You haven't backed up yet.");
    EXPECT_FALSE(model->isRestorerMode());
    EXPECT_FALSE(store->contains("scanRoots"));
    EXPECT_FALSE(store->contains("lastBackupAt"));
}

TEST_F(AppModelTest, StoredValuesOfAnotherTypeReadAsTheDefault) {
    struct Case {
        const char* name;
        std::function<void(DefaultsStore&)> store;
        std::function<void(const AppModel&)> check;
    };
    const Timestamp reference{std::chrono::seconds(settings::referenceDateOffset)};
    const std::vector<Case> cases{
        {"scanRoots integer", [](auto& s) { s.setInteger("scanRoots", 5); },
         [](auto& m) { EXPECT_EQ(m.scanRootsText(), "~/Development"); }},
        {"empty backupDir kept", [](auto& s) { s.setString("backupDir", ""); },
         [](auto& m) {
             EXPECT_EQ(m.backupDir(), "");
             EXPECT_EQ(m.restoreDir(), "");
         }},
        {"reminderDays string", [](auto& s) { s.setString("reminderDays", "7"); },
         [](auto& m) { EXPECT_EQ(m.reminderDays(), 14); }},
        {"reminderDays double", [](auto& s) { s.setReal("reminderDays", 7.0); },
         [](auto& m) { EXPECT_EQ(m.reminderDays(), 14); }},
        {"incremental integer", [](auto& s) { s.setInteger("incremental", 0); },
         [](auto& m) { EXPECT_TRUE(m.incremental()); }},
        {"hasOnboarded string", [](auto& s) { s.setString("hasOnboarded", "true"); },
         [](auto& m) { EXPECT_FALSE(m.hasOnboarded()); }},
        {"lastBackupAt 0", [](auto& s) { s.setInteger("lastBackupAt", 0); },
         [](auto& m) { EXPECT_EQ(m.lastBackupAt(), std::nullopt); }},
        {"lastBackupAt negative", [](auto& s) { s.setReal("lastBackupAt", -86400.0); },
         [](auto& m) { EXPECT_EQ(m.lastBackupAt(), std::nullopt); }},
        {"lastBackupAt string", [](auto& s) { s.setString("lastBackupAt", "yesterday"); },
         [](auto& m) { EXPECT_EQ(m.lastBackupAt(), std::nullopt); }},
        {"lastBackupAt double", [](auto& s) { s.setReal("lastBackupAt", 86400.0); },
         [&](auto& m) { EXPECT_EQ(m.lastBackupAt(), reference + hours(24)); }},
        {"reinstalledApps string", [](auto& s) { s.setString("reinstalledApps", "a"); },
         [](auto& m) { EXPECT_TRUE(m.reinstalledApps().empty()); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(store->path());
        c.store(*store);
        c.check(*makeModel());
    }
}

TEST_F(AppModelTest, SettingsRoundTripThroughTheStoreTheCommandLineReads) {
    {
        auto model = makeModel();
        model->setScanRootsText("~/src, ~/work\n\t~/play ");
        model->setExcludeGlobsText("*.log\n**/cache/**");
        model->setIncremental(false);
        model->setReminderDays(30);
        model->setHasOnboarded(true);
        model->setBackupDir("/media/disk/backup");
        model->setLastBackupAt(clockNow);
        model->toggleReinstalled(app("Tool", std::nullopt, "/opt/Tool.app"));
        EXPECT_TRUE(toldAbout(P::reminderDays));
    }
    auto model = makeModel();
    EXPECT_EQ(model->scanRoots(), (std::vector<std::string>{"~/src", "~/work", "~/play"}));
    EXPECT_EQ(model->excludeGlobsText(), "*.log\n**/cache/**");
    EXPECT_FALSE(model->incremental());
    EXPECT_EQ(model->reminderDays(), 30);
    EXPECT_TRUE(model->hasOnboarded());
    EXPECT_EQ(model->restoreDir(), "/media/disk/backup");
    EXPECT_EQ(model->lastBackupAt(), clockNow);
    EXPECT_EQ(model->reinstalledApps(), std::set<std::string>{"/opt/Tool.app"});
    // The command line's view of the same store.
    EXPECT_EQ(settings::scanRoots(*store), model->scanRoots());
    EXPECT_EQ(settings::excludeGlobs(*store), (std::vector<std::string>{"*.log", "**/cache/**"}));
    EXPECT_EQ(settings::backupDir(*store), "/media/disk/backup");
    // No last backup is stored as the integer 0.
    model->setLastBackupAt(std::nullopt);
    EXPECT_EQ(store->integer("lastBackupAt"), 0);
}

TEST_F(AppModelTest, ObserversAreToldAfterAChangeAndNotForAnEqualValue) {
    auto model = makeModel();
    told.clear();
    AppModel::Tab seen = AppModel::Tab::audit;
    int id = model->addObserver([&](P p) {
        if (p == P::tab)
            seen = model->tab();
    });
    model->setTab(AppModel::Tab::apps);
    EXPECT_EQ(seen, AppModel::Tab::apps);
    model->setTab(AppModel::Tab::apps);
    model->setAuditSearch("");
    EXPECT_EQ(told, std::vector<P>{P::tab});
    model->removeObserver(id);
    model->setTab(AppModel::Tab::restore);
    EXPECT_EQ(seen, AppModel::Tab::apps);
}

// ---- Derived values -------------------------------------------------------------------------------

TEST_F(AppModelTest, ReminderAndLastBackupDescription) {
    struct Case {
        int days;
        std::optional<std::chrono::hours> ago;
        bool needed;
        const char* description;
        const char* banner;
    };
    const std::vector<Case> cases{
        {14, std::nullopt, true, "never backed up", "You haven't backed up yet."},
        {0, std::nullopt, false, "never backed up", ""},
        {14, hours(25), false, "last backup yesterday", ""},
        {7, hours(3 * 24), false, "last backup 3 days ago", ""},
        {14, hours(15 * 24), true, "last backup 2 weeks ago", "It's been a while \u2014 last backup 2 weeks ago."},
        {30, hours(24 * 30 * 2 + 1), true, "last backup 2 months ago",
         "It's been a while \u2014 last backup 2 months ago."},
    };
    auto model = makeModel();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.description);
        model->setReminderDays(c.days);
        model->setLastBackupAt(c.ago ? std::optional<Timestamp>(clockNow - *c.ago) : std::nullopt);
        EXPECT_EQ(model->needsBackupReminder(), c.needed);
        EXPECT_EQ(model->lastBackupDescription(), c.description);
        EXPECT_EQ(model->backupReminderText(), c.banner);
    }
}

Finding finding(const std::string& id, const std::string& title, Tier tier, Risk risk, std::vector<std::string> paths,
                GitTracking tracking = GitTracking::unknown()) {
    Finding f{ArtifactRule{id, title, "Cat", tier, risk, false, ScanKind::paths, {}, "", std::nullopt}, {}};
    for (auto& p : paths)
        f.paths.push_back(FoundPath{p, false, 10, std::nullopt, tracking});
    return f;
}

TEST_F(AppModelTest, AuditFilterAndSelectionState) {
    const std::vector<Finding> findings{
        finding("a", "ssh private keys", Tier::secret, Risk::critical, {"/h/.ssh/id"}),
        finding("b", "Shell", Tier::config, Risk::medium, {"/h/.ZSHRC", "/h/.bashrc"}, GitTracking::notInRepo()),
        finding("c", "Ünïcode Tool", Tier::config, Risk::low, {"/h/x"}, GitTracking::tracked("/h")),
        finding("d", "Cloud", Tier::secret, Risk::high, {"/h/.aws/credentials"}),
    };
    struct Case {
        std::string search;
        std::optional<Risk> minRisk;
        bool gapsOnly;
        std::vector<std::string> kept;
    };
    const std::vector<Case> cases{
        {"", std::nullopt, false, {"a", "b", "c", "d"}},
        {"SSH", std::nullopt, false, {"a"}},
        {"zshrc", std::nullopt, false, {"b"}},
        {"üNÏ", std::nullopt, false, {"c"}},
        {"cat", std::nullopt, false, {"a", "b", "c", "d"}},
        {"", Risk::high, false, {"a", "d"}},
        {"", std::nullopt, true, {"b"}},
        {"h", Risk::medium, true, {"b"}},
    };
    auto model = makeModel();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.search);
        model->setAuditSearch(c.search);
        model->setAuditMinRisk(c.minRisk);
        model->setAuditGapsOnly(c.gapsOnly);
        std::vector<std::string> kept;
        for (const auto& f : model->filtered(findings))
            kept.push_back(f.rule.id);
        EXPECT_EQ(kept, c.kept);
    }
    model->setSelected({"/h/.ZSHRC"});
    EXPECT_EQ(model->state(std::vector<std::string>{}), SelectionState::none);
    EXPECT_EQ(model->state(findings[1]), SelectionState::some);
    EXPECT_EQ(model->state(findings[0]), SelectionState::none);
    model->setPathsSelected({"/h/.bashrc"}, true);
    EXPECT_EQ(model->state(findings[1]), SelectionState::all);
    // Without an inventory nothing counts, and "nothing chosen" is the first block reason.
    model->setIncludeManifests(false);
    EXPECT_EQ(model->selectedCount(), 0);
    EXPECT_EQ(model->backupBlockReason(), "Select at least one thing to back up.");
    model->setIncludeManifests(true);
    EXPECT_TRUE(model->canBackUp());
}

// ---- Restorer -------------------------------------------------------------------------------------

TEST_F(AppModelTest, StartedFromABackupFolderTheAppOpensAsRestorer) {
    const std::string dir = paths::join(outside, "backup");
    BackupManifest manifest;
    manifest.configs.push_back({home / ".zshrc", "config/home/.zshrc"});
    home.writeFile("../backup/backup.json", manifest.encode());
    nlohmann::json apps = std::vector<InstalledApp>{app("Tool", "io.tool", "/Applications/Tool.app")};
    home.writeFile("../backup/manifest/apps.json", apps.dump());
    DirectFileAccess access;
    ASSERT_TRUE(restorer::bundle(paths::join(outside, "bin/stowage-app"), dir, access));

    auto env = environment(std::make_shared<InlineExecutor>());
    env.programPath = paths::join(dir, "Stowage/stowage-app");
    AppModel model(env);
    EXPECT_TRUE(model.isRestorerMode());
    EXPECT_EQ(model.tab(), AppModel::Tab::restore);
    EXPECT_EQ(model.restoreDir(), dir);
    EXPECT_TRUE(model.showBackupApps());
    EXPECT_EQ(store->boolean("hasOnboarded"), true);
    ASSERT_TRUE(model.loadedManifest());
    EXPECT_TRUE(model.restoreConfigOn());
    EXPECT_FALSE(model.restoreSecretsOn());
    EXPECT_EQ(model.displayedApps().size(), 1u);

    // The same program anywhere else is an ordinary launch.
    EXPECT_FALSE(AppModel(environment(std::make_shared<InlineExecutor>())).isRestorerMode());
}

TEST_F(AppModelTest, RestorerCopyNeedsAnInstalledOrBuiltProgram) {
    const std::string dir = home.makeDir("backup");
    DirectFileAccess access;
    home.writeFile("../lone/stowage-app", "app");
    home.writeFile("../other/tests", "t");
    home.writeFile("../other/stowage", "t");
    home.writeFile("../Mac/Stowage.app/Contents/MacOS/Stowage", "mac");
    struct Case {
        std::string program;
        bool copies;
        const char* written;
    };
    const std::vector<Case> cases{
        {paths::join(outside, "lone/stowage-app"), false, "Stowage"},
        {paths::join(outside, "other/tests"), false, "Stowage"},
        {"relative/stowage-app", false, "Stowage"},
        {paths::join(outside, "bin/stowage-app"), true, "Stowage/stowage-app"},
        // Running from the copy itself must not remove it.
        {paths::join(dir, "Stowage/stowage-app"), false, "Stowage/stowage-app"},
        {paths::join(outside, "Mac/Stowage.app/Contents/MacOS/Stowage"), true, "Stowage.app/Contents/MacOS/Stowage"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.program);
        EXPECT_EQ(restorer::bundle(c.program, dir, access), c.copies);
        EXPECT_EQ(fs::exists(paths::join(dir, c.written)), c.copies || c.program.find(dir) == 0);
    }
    EXPECT_EQ(slurp(paths::join(dir, "Stowage/stowage-app")), "#!/bin/sh\necho app\n");
    EXPECT_EQ(fs::status(paths::join(dir, "Stowage/stowage-restore")).permissions() & fs::perms::owner_exec,
              fs::perms::owner_exec);
    // The copy's launcher runs the copied app.
    EXPECT_EQ(testing::sh("test \"$('" + paths::join(dir, "Stowage/stowage-restore") + "')\" = app"), 0);
}

TEST_F(AppModelTest, ScheduledBackupsAreSetReadBackAndAFailedRunTakesTheReminderBanner) {
    testing::ScopedEnv state("XDG_STATE_HOME", home.path() + "/.local/state");
    testing::FakeTools tools(home);
    tools.script("systemctl", "case \"$*\" in\n"
                              "  *show-environment*) [ -e \"$HOME/no-user-manager\" ] && exit 1 ;;\n"
                              "  *NextElapseUSecRealtime*) echo @1765100000 ;;\n"
                              "esac\nexit 0\n");
    auto model = makeModel();

    model->setScheduleFrequency(schedule::Frequency::daily);
    EXPECT_EQ(model->scheduleError(), std::nullopt);
    EXPECT_EQ(model->scheduleFrequency(), schedule::Frequency::daily);
    EXPECT_EQ(model->nextScheduledRun(), Timestamp(std::chrono::seconds(1765100000)));
    EXPECT_EQ(slurp(home.path() + "/.config/systemd/user/stowage-backup.service"),
              schedule::serviceUnit(paths::join(outside, "bin/stowage")));

    // A failed unattended run after the last successful backup is what the banner says.
    model->setLastBackupAt(clockNow - hours(30));
    schedule::writeLastRun(schedule::lastRunPath(), {clockNow - hours(2), false, "The disk is full."});
    model->refreshSchedule();
    EXPECT_EQ(model->backupReminderText(), "The last scheduled backup failed: The disk is full.");
    model->setLastBackupAt(clockNow - hours(1));
    EXPECT_EQ(model->backupReminderText(), "");

    model->setScheduleFrequency(schedule::Frequency::off);
    EXPECT_EQ(model->scheduleFrequency(), schedule::Frequency::off);
    EXPECT_FALSE(std::filesystem::exists(home.path() + "/.config/systemd/user/stowage-backup.timer"));

    home.writeFile("no-user-manager", "");
    model->setScheduleFrequency(schedule::Frequency::weekly);
    ASSERT_TRUE(model->scheduleError());
    EXPECT_NE(model->scheduleError()->find("crontab -e"), std::string::npos) << *model->scheduleError();
    EXPECT_EQ(model->scheduleFrequency(), schedule::Frequency::off);
    EXPECT_FALSE(model->changingSchedule());
}

} // namespace
} // namespace stowage
