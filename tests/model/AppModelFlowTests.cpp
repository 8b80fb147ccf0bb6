// The model's flows on real files and real git repositories: one whole user journey with jobs run at
// once, then the threading rules with jobs held until the test releases them.

#include "model/ModelFixture.hpp"

#include "core/Settings.hpp"

#include <gtest/gtest.h>

#include <filesystem>

namespace stowage {
namespace {

namespace fs = std::filesystem;
using testing::slurp;

class AppModelFlowTest : public testing::ModelFixture {
protected:
    /// A project with a remote (a bare repository beside the home), an uncommitted .env two folders
    /// down, an SSH key, two config files and a project that is not in git.
    void SetUp() override {
        remote = paths::join(outside, "remotes/app.git");
        ASSERT_EQ(testing::sh("git init -q --bare '" + remote + "'"), 0);
        project = repo("Development/app");
        commitFile(project, "README.md", "app\n");
        git(project, "remote add origin '" + remote + "'");
        git(project, "push -q origin main");
        env = home.writeFile("Development/app/config/dev/.env", "TOKEN=abc\n");
        home.writeFile("Development/scratch/package.json", "{}\n");
        key = home.writeFile(".ssh/id_ed25519", "PRIVATE KEY\n", 0600);
        zshrc = home.writeFile(".zshrc", "export A=1\n");
    }

    RelocationPlan planFor(const AppModel& model, const std::string& path) {
        for (const auto& plan : model.relocationPlan())
            if (plan.originalPath == path)
                return plan;
        ADD_FAILURE() << "no plan for " << path;
        return {};
    }

    std::string remote, project, key, zshrc, env;
    std::string backup = paths::join(outside, "backup");
};

TEST_F(AppModelFlowTest, WholeJourneyFromScanToRestore) {
    auto model = makeModel();
    model->setExcludeGlobsText("/etc/**"); // the machine's own package sources are not part of the journey

    // Scan: every selectable path starts selected; the uncommitted project is at risk.
    model->scan();
    ASSERT_TRUE(model->inventory() && !model->scanning());
    EXPECT_EQ(std::pair(model->selectedCount(), model->selectableCount()), std::pair(4, 4)); // key, .env, 2 configs
    ASSERT_EQ(model->gitRisks().size(), 1u);
    EXPECT_TRUE(model->gitRisks()[0].repo == project && model->gitRisks()[0].kinds.count(GitRisk::Kind::uncommitted));
    model->scanProjects();
    ASSERT_EQ(model->atRiskProjects().size(), 1u);
    EXPECT_EQ(model->atRiskProjects()[0].name, "scratch"); // a project outside git

    // Back up everything but the shell config, secrets sealed with a passphrase.
    model->setBackupDir(backup);
    model->setIncludeManifests(false);
    model->toggle(zshrc);
    model->setPassphrase("correct horse battery staple");
    model->setPassphraseConfirm("correct horse battery staple");
    model->runBackup();
    ASSERT_TRUE(model->backupResult()) << model->backupError().value_or("");
    EXPECT_TRUE(model->backupResult()->usedPassphrase && !model->backupResult()->recoveryCode);
    EXPECT_EQ(model->backupResult()->configFiles.size(), 1u);
    // The time recorded and shared with the command line.
    EXPECT_EQ(settings::lastBackupAt(*store), clockNow);
    EXPECT_EQ(slurp(paths::join(backup, "Stowage/stowage")), "#!/bin/sh\necho cli\n"); // the restorer copy

    // Back up again with a random key and the shell config: a recovery code, kept in the key store.
    clockNow += std::chrono::hours(26);
    model->toggle(zshrc);
    model->setUsePassphrase(false);
    model->runBackup();
    ASSERT_TRUE(model->backupResult() && model->backupResult()->recoveryCode) << model->backupError().value_or("");
    EXPECT_TRUE(model->backupResult()->keyStoredInKeychain);
    const std::string code = *model->backupResult()->recoveryCode;

    // A fresh machine: the project is gone, the key deleted, the shell config changed; the
    // repository is cloned again elsewhere under the scan roots.
    fs::remove_all(project);
    fs::remove(key);
    home.writeFile(".zshrc", "export A=2\n");
    const std::string clone = home / "Development/work/app";
    ASSERT_EQ(testing::sh("git clone -q '" + remote + "' '" + clone + "'"), 0);

    // Load the backup: everything in it selected, each kind with content switched on.
    model->setRestoreDir(backup);
    model->loadManifest();
    ASSERT_TRUE(model->loadedManifest());
    EXPECT_EQ(model->history().size(), 2u);
    EXPECT_EQ(model->selectedRestoreSecrets(), (std::set<std::string>{key, env}));
    EXPECT_EQ(model->selectedRestoreConfig(), (std::set<std::string>{home / ".gitconfig", zshrc}));
    EXPECT_TRUE(model->restoreConfigOn() && model->restoreSecretsOn() && !model->restoreProjectsOn());

    // Plan relocations with the code as pasted (trailing line break): the .env finds the clone.
    model->setRecoveryCode(code + "\n");
    model->planSecretRestore();
    ASSERT_EQ(model->restoreError(), std::nullopt);
    ASSERT_EQ(model->projectSecretPlans().size(), 1u);
    const RelocationPlan plan = planFor(*model, env);
    EXPECT_TRUE(plan.match == RelocationPlan::Match::matchedRepo &&
                planFor(*model, key).match == RelocationPlan::Match::absolute);
    EXPECT_EQ(model->plannedDestination(plan), clone + "/config/dev/.env");
    // Choose a folder, skip, undo; a re-plan with flattening clears both and places at the root.
    model->setRelocationFolder(plan, home / "elsewhere");
    EXPECT_EQ(model->plannedDestination(plan), home / "elsewhere/.env");
    model->toggleRelocationSkip(plan);
    EXPECT_TRUE(!model->plannedDestination(plan) && model->unresolvedProjectSecrets() == 0);
    model->setFlattenToProjectRoot(true);
    model->planSecretRestore();
    EXPECT_TRUE(model->relocationSkip().empty() && model->relocationOverrides().empty());
    const RelocationPlan flat = planFor(*model, env);
    EXPECT_EQ(model->plannedDestination(flat), clone + "/.env");
    // Clone into another folder and place the file there; a remote that cannot be cloned says so.
    model->cloneAndPlace(flat, home.makeDir("Development/second"));
    EXPECT_TRUE(model->cloning().empty() && !model->restoreError());
    EXPECT_EQ(model->plannedDestination(flat), home / "Development/second/app/.env");
    RelocationPlan missing = flat;
    missing.project->remote = paths::join(outside, "remotes/missing.git");
    model->cloneAndPlace(missing, home.makeDir("Development/third"));
    EXPECT_EQ(model->restoreError(), "Clone failed \u2014 restore your SSH keys first, or choose a folder instead.");

    // Restore (the preview is the desktop journey's): the changed file saved first, the identical
    // .gitconfig left alone, the .env in the second clone.
    model->setDryRun(false);
    model->runRestore();
    ASSERT_EQ(model->restoreError(), std::nullopt);
    EXPECT_EQ(model->restoreOutcomes().size(), 4u);
    EXPECT_EQ(*model->restoreReport(),
              (std::vector<std::string>{"Restored 1 config file(s) \u00b7 1 prior version(s) saved \u00b7 1 unchanged",
                                        "Restored 2 secret file(s)"}));
    EXPECT_EQ(slurp(zshrc) + slurp(key) + slurp(home / "Development/second/app/.env"),
              "export A=1\nPRIVATE KEY\nTOKEN=abc\n");
    EXPECT_TRUE(fs::exists(paths::join(backup, ".stowage-overwritten")));

    // Nothing switched on: one line.
    model->setRestoreConfigOn(false);
    model->setRestoreSecretsOn(false);
    EXPECT_EQ(model->restoreBlockReason(), "Turn on what you want to restore.");
    model->runRestore();
    EXPECT_EQ(*model->restoreReport(), std::vector<std::string>{"Nothing selected."});
}

// ---- Held jobs ------------------------------------------------------------------------------------

using HeldJobsTest = AppModelFlowTest;

TEST_F(HeldJobsTest, ScanPublishesOnlyOnTheMainSideAndAGoneModelDropsIt) {
    auto jobs = std::make_shared<ManualExecutor>();
    auto model = makeModel(jobs);
    model->scan();
    model->scan(); // a second start while scanning is ignored
    EXPECT_EQ(jobs->backgroundPriorities(),
              (std::vector<TaskPriority>{TaskPriority::userInitiated, TaskPriority::utility}));
    ASSERT_TRUE(jobs->runBackground(0));
    EXPECT_TRUE(model->scanning() && !model->inventory() && jobs->pendingMain() == 1);
    jobs->drain();
    EXPECT_TRUE(!model->scanning() && model->inventory() && model->gitRisks().size() == 1);
    // A model destroyed while its work runs: the work's results go nowhere.
    model->scan();
    model.reset();
    jobs->drain();
    EXPECT_EQ(jobs->pendingMain(), 0u);
}

TEST_F(HeldJobsTest, BackupAndRestoreShowStagesThenTheResultOrTheErrorInPlaceOfTheEarlierResult) {
    auto jobs = std::make_shared<ManualExecutor>();
    auto model = makeModel(jobs);
    model->setIncludeManifests(false);
    model->setIncludeRestorer(false);
    model->setUsePassphrase(false);
    model->setBackupDir(backup);
    // A backup before any scan scans the default root, whatever the scan roots say, and takes
    // everything; its stages are published on the main side before the result and cleared with it.
    model->setScanRootsText("~/Elsewhere");
    model->runBackup();
    jobs->runBackground();
    std::vector<std::string> stages;
    while (jobs->pendingMain() > 1) {
        jobs->runMain();
        stages.push_back(model->backupStage());
        EXPECT_TRUE(model->backingUp());
    }
    EXPECT_NE(std::find(stages.begin(), stages.end(), "Sealing secrets\u2026"), stages.end());
    jobs->drain();
    ASSERT_TRUE(model->backupResult()) << model->backupError().value_or("");
    EXPECT_TRUE(model->backupStage().empty() && model->backupResult()->capturedSecrets.size() == 2);
    EXPECT_FALSE(fs::exists(paths::join(backup, "Stowage")));
    const auto firstBackup = model->lastBackupAt();

    // A backup folder that cannot be made: the earlier result goes at the start, the error comes.
    home.writeFile("plain-file", "x");
    model->setBackupDir(home / "plain-file/backup");
    clockNow += std::chrono::hours(1);
    model->runBackup();
    model->runBackup();
    EXPECT_TRUE(model->backingUp() && !model->backupResult() && jobs->pendingBackground() == 1);
    jobs->drain();
    EXPECT_FALSE(model->backingUp() || model->backupResult());
    EXPECT_NE(model->backupError().value_or("").find("plain-file/backup"), std::string::npos);
    EXPECT_EQ(model->lastBackupAt(), firstBackup);

    // Restore: a dry run succeeds, then a wrong recovery code fails and leaves no report.
    model->setRestoreDir(backup);
    model->loadManifest();
    jobs->drain();
    model->runRestore();
    jobs->drain();
    ASSERT_TRUE(model->restoreReport()) << model->restoreError().value_or("");
    model->setRecoveryCode("not a code");
    model->runRestore();
    model->runRestore();
    EXPECT_TRUE(model->restoring() && !model->restoreReport() && jobs->pendingBackground() == 1);
    jobs->drain();
    EXPECT_EQ(model->restoreError(), "Recovery code is not valid");
    EXPECT_FALSE(model->restoring() || model->restoreReport());
    EXPECT_TRUE(model->restoreOutcomes().empty() && model->restoreStage().empty());

    // Planning with the same code fails with the sentence the restore pane shows.
    model->planSecretRestore();
    jobs->drain();
    EXPECT_EQ(model->restoreError(), "Couldn't read backup: Recovery code is not valid");
}

} // namespace
} // namespace stowage
