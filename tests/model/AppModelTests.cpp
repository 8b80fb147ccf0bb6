// The model's settings, derived values and restorer copy, without running any engine.

#include "model/ModelFixture.hpp"

#include "core/Settings.hpp"
#include "model/Restorer.hpp"
#include "support/FakeTools.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <sstream>

namespace stowage {
namespace {

namespace fs = std::filesystem;
using std::chrono::hours;
using testing::slurp;

class AppModelTest : public testing::ModelFixture {};

/// Every stored setting the model reads, as one comparable line.
std::string settingsOf(const AppModel& m) {
    std::ostringstream out;
    out << m.scanRootsText() << '|' << m.excludeGlobsText() << '|' << m.backupDir() << '|' << m.restoreDir() << '|'
        << m.reminderDays() << '|' << m.incremental() << m.hasOnboarded() << m.dryRun() << m.isRestorerMode() << '|'
        << m.lastBackupAt().has_value() << '|' << m.reinstalledApps().size() << '|' << m.backupReminderText();
    return out.str();
}

TEST_F(AppModelTest, SettingsRoundTripThroughTheSharedStoreAndMistypedValuesReadAsTheDefaults) {
    const std::string defaults = settingsOf(*makeModel());
    EXPECT_EQ(defaults, "~/Development||" + home / "StowageBackup" + "|" + home / "StowageBackup" +
                            "|14|1010|0|0|You haven't backed up yet.");
    EXPECT_FALSE(store->contains("scanRoots") || store->contains("lastBackupAt")); // construction writes nothing
    {
        auto model = makeModel();
        model->setScanRootsText("~/src, ~/work\n\t~/play ");
        model->setExcludeGlobsText("*.log\n**/cache/**");
        model->setIncremental(false);
        model->setReminderDays(30);
        model->setHasOnboarded(true);
        model->setBackupDir("/media/disk/backup");
        model->setLastBackupAt(clockNow);
        InstalledApp tool;
        tool.path = "/opt/Tool.app";
        model->toggleReinstalled(tool);
    }
    auto model = makeModel();
    EXPECT_EQ(settingsOf(*model),
              "~/src, ~/work\n\t~/play |*.log\n**/cache/**|/media/disk/backup|/media/disk/backup|30|"
              "0110|1|1|");
    EXPECT_TRUE(model->lastBackupAt() == clockNow && model->reinstalledApps().count("/opt/Tool.app"));
    // The command line reads the same store.
    EXPECT_EQ(settings::scanRoots(*store), (std::vector<std::string>{"~/src", "~/work", "~/play"}));

    const std::vector<std::function<void(DefaultsStore&)>> mistyped{
        [](auto& s) { s.setInteger("scanRoots", 5); },        [](auto& s) { s.setString("reminderDays", "7"); },
        [](auto& s) { s.setReal("reminderDays", 7.0); },      [](auto& s) { s.setInteger("incremental", 0); },
        [](auto& s) { s.setString("hasOnboarded", "true"); }, [](auto& s) { s.setString("reinstalledApps", "a"); },
    };
    for (std::size_t i = 0; i < mistyped.size(); ++i) {
        SCOPED_TRACE(i);
        fs::remove(store->path());
        mistyped[i](*store);
        EXPECT_EQ(settingsOf(*makeModel()), defaults);
    }
}

TEST_F(AppModelTest, ReminderFollowsTheLastBackupAndTheChosenInterval) {
    const std::tuple<int, std::optional<hours>, bool, std::string, std::string> cases[] = {
        // reminder interval in days, time since the last backup, reminder due, description, banner
        {14, std::nullopt, true, "never backed up", "You haven't backed up yet."},
        {0, std::nullopt, false, "never backed up", ""},
        {14, hours(25), false, "last backup yesterday", ""},
        {7, hours(3 * 24), false, "last backup 3 days ago", ""},
        {14, hours(15 * 24), true, "last backup 2 weeks ago", "It's been a while \u2014 last backup 2 weeks ago."},
        {30, hours(24 * 60 + 1), true, "last backup 2 months ago",
         "It's been a while \u2014 last backup 2 months ago."},
    };
    auto model = makeModel();
    for (const auto& [days, ago, needed, description, banner] : cases) {
        SCOPED_TRACE(description);
        model->setReminderDays(days);
        model->setLastBackupAt(ago ? std::optional<Timestamp>(clockNow - *ago) : std::nullopt);
        EXPECT_EQ(model->needsBackupReminder(), needed);
        EXPECT_EQ(model->lastBackupDescription(), description);
        EXPECT_EQ(model->backupReminderText(), banner);
    }
}

Finding finding(const std::string& id, const std::string& title, Tier tier, Risk risk, std::vector<std::string> paths,
                GitTracking tracking = GitTracking::unknown()) {
    Finding f{ArtifactRule{id, title, "Cat", tier, risk, false, ScanKind::paths, {}, "", std::nullopt}, {}};
    for (auto& p : paths)
        f.paths.push_back(FoundPath{p, false, 10, std::nullopt, tracking});
    return f;
}

TEST_F(AppModelTest, AuditFiltersIgnoreCaseAndMatchTitlesPathsAndCategories) {
    const std::vector<Finding> findings{
        finding("a", "ssh private keys", Tier::secret, Risk::critical, {"/h/.ssh/id"}),
        finding("b", "Shell", Tier::config, Risk::medium, {"/h/.ZSHRC", "/h/.bashrc"}, GitTracking::notInRepo()),
        finding("c", "Ünïcode Tool", Tier::config, Risk::low, {"/h/x"}, GitTracking::tracked("/h")),
        finding("d", "Cloud", Tier::secret, Risk::high, {"/h/.aws/credentials"}),
    };
    const std::tuple<std::string, std::optional<Risk>, bool, std::string> cases[] = {
        // search, minimum risk, gaps only, the findings kept
        {"", std::nullopt, false, "abcd"}, {"SSH", std::nullopt, false, "a"},    {"zshrc", std::nullopt, false, "b"},
        {"üNÏ", std::nullopt, false, "c"}, {"cat", std::nullopt, false, "abcd"}, {"", Risk::high, false, "ad"},
        {"", std::nullopt, true, "b"},     {"h", Risk::medium, true, "b"},
    };
    auto model = makeModel();
    for (const auto& [search, minRisk, gapsOnly, expected] : cases) {
        SCOPED_TRACE(search);
        model->setAuditSearch(search);
        model->setAuditMinRisk(minRisk);
        model->setAuditGapsOnly(gapsOnly);
        std::string kept;
        for (const auto& f : model->filtered(findings))
            kept += f.rule.id;
        EXPECT_EQ(kept, expected);
        EXPECT_EQ(model->auditFiltersActive(), !search.empty() || minRisk || gapsOnly);
    }
    model->clearAuditFilters();
    EXPECT_FALSE(model->auditFiltersActive());
}

TEST_F(AppModelTest, RestorerCopyNeedsAnInstalledOrBuiltProgram) {
    const std::string dir = home.makeDir("backup");
    DirectFileAccess access;
    home.writeFile("../lone/stowage-app", "x"); // without the command-line program beside it
    home.writeFile("../Mac/Stowage.app/Contents/MacOS/Stowage", "mac");
    const std::tuple<std::string, bool, std::string> cases[] = {
        // the running program, whether it is copied, what the backup folder then holds
        {paths::join(outside, "lone/stowage-app"), false, "Stowage"},
        {paths::join(outside, "bin/stowage-app"), true, "Stowage/stowage-app"},
        // Running from the copy itself must not remove it.
        {paths::join(dir, "Stowage/stowage-app"), false, "Stowage/stowage-app"},
        {paths::join(outside, "Mac/Stowage.app/Contents/MacOS/Stowage"), true, "Stowage.app/Contents/MacOS/Stowage"},
    };
    for (const auto& [program, copies, written] : cases) {
        SCOPED_TRACE(program);
        EXPECT_EQ(restorer::bundle(program, dir, access), copies);
        EXPECT_EQ(fs::exists(paths::join(dir, written)), copies || program.find(dir) == 0);
    }
    // The copy's launcher is executable and runs the copied app.
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
    EXPECT_TRUE(!model->scheduleError() && model->scheduleFrequency() == schedule::Frequency::daily);
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
    EXPECT_FALSE(fs::exists(home.path() + "/.config/systemd/user/stowage-backup.timer"));

    // Without a user service manager the error names the fallback and nothing is left half-set.
    home.writeFile("no-user-manager", "");
    model->setScheduleFrequency(schedule::Frequency::weekly);
    ASSERT_TRUE(model->scheduleError());
    EXPECT_NE(model->scheduleError()->find("crontab -e"), std::string::npos) << *model->scheduleError();
    EXPECT_EQ(model->scheduleFrequency(), schedule::Frequency::off);
    EXPECT_FALSE(model->changingSchedule());
}

} // namespace
} // namespace stowage
