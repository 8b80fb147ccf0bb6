// `stowage backup`, `verify` and `history`, run as the user runs them: the built binary in a child
// process, with its home folder (and so its settings and keychain file) in a temporary folder.

#include "core/BackupError.hpp"
#include "core/KDF.hpp"
#include "core/SecretsBundle.hpp"
#include "core/Settings.hpp"
#include "core/platform/DefaultsStore.hpp"

#include "support/RunStowage.hpp"
#include "support/TempHome.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>

using namespace stowage;
using namespace stowage::testing;
using Json = nlohmann::json;
namespace fs = std::filesystem;

namespace {

Outcome stowage(const std::vector<std::string>& arguments, const std::map<std::string, std::string>& environment = {},
                const std::string& cwd = {}) {
    return runProgram(STOWAGE_BINARY_DIR "/src/stowage", arguments, environment, std::nullopt, cwd);
}

/// A home with a secret key, a config file and a project.
class BackupCommandsTest : public ::testing::Test {
protected:
    void SetUp() override {
        home.writeFile(".ssh/id_ed25519", "private key\n", 0600);
        home.writeFile(".zshrc", "export A=1\n");
        home.writeFile("code/app/main.py", "print('hi')\n");
    }
    std::vector<std::string> backupArgs(std::vector<std::string> extra = {}) {
        extra.insert(extra.begin(), {"backup", "--to", backup, "--no-manifests", "--root", home / "code"});
        return extra;
    }
    template <typename Key> size_t opensWith(const Key& key) {
        return SecretsBundle::open(toBytes(slurp(backup + "/secrets.stowage")), key).files.size();
    }

    TempHome home;
    std::string backup = home / "Backup";
};

TEST_F(BackupCommandsTest, TheRecoveryCodeIsShownOnceKeptUntilANewKeyAndOpensTheVerifiedBackup) {
    Outcome run = stowage(backupArgs({"--project", home / "code/app", "--json"}));
    ASSERT_EQ(run.status, 0) << run.err;
    const Json result = Json::parse(run.out);
    const std::string code = result["recoveryCode"];
    EXPECT_EQ(opensWith(BundleKey::key(code)), 1u);
    EXPECT_TRUE(settings::lastBackupAt(*DefaultsStore::standard())) << "saved as the application would";

    Outcome verify = stowage({"verify", backup});
    EXPECT_TRUE(verify.status == 0 && contains(verify.out, "No issues found.")) << verify.out << verify.err;
    EXPECT_EQ(Json::parse(stowage({"verify", backup, "--json"}).out)["ok"], true);

    Outcome second = stowage(backupArgs());
    ASSERT_EQ(second.status, 0) << second.err;
    EXPECT_TRUE(contains(second.out, "Recovery code: unchanged")) << second.out;
    EXPECT_FALSE(contains(second.out, code)) << "a kept code is not shown again";
    EXPECT_TRUE(contains(second.out, "unchanged since the last backup")) << second.out;
    Outcome shown = stowage(backupArgs({"--show-recovery-code"}));
    EXPECT_TRUE(contains(shown.out, "RECOVERY CODE (unchanged)") && contains(shown.out, code)) << shown.out;

    Outcome renewed = stowage(backupArgs({"--new-key"}));
    ASSERT_EQ(renewed.status, 0) << renewed.err;
    EXPECT_TRUE(contains(renewed.out, "Recovery codes saved before this backup no longer open it.")) << renewed.out;
    EXPECT_THROW(opensWith(BundleKey::key(code)), BackupError);

    EXPECT_EQ(Json::parse(stowage({"history", backup, "--json"}).out).size(), 4u);
    EXPECT_TRUE(contains(stowage({"history", backup}).out, "4 backups in ~/Backup (newest first)"));
}

TEST_F(BackupCommandsTest, APassphraseComesFromAFileOrTheEnvironmentNeverFromAnArgument) {
    home.writeFile("pass.txt", "abc\n", 0600);
    Outcome weak = stowage(backupArgs({"--passphrase", "--passphrase-file", home / "pass.txt", "--json"}));
    ASSERT_EQ(weak.status, 0) << weak.err;
    EXPECT_TRUE(contains(weak.err, "warning: passphrase strength: Weak")) << weak.err;
    EXPECT_EQ(opensWith(KeySource::passphrase("abc")), 1u) << "the file's final line break is not part of it";

    const std::string strong = "Tr0ub4dour & horse staple!";
    Outcome fromEnvironment = stowage(backupArgs({"--json"}), {{"STOWAGE_PASSPHRASE", strong}});
    ASSERT_EQ(fromEnvironment.status, 0) << fromEnvironment.err;
    EXPECT_EQ(Json::parse(fromEnvironment.out)["passphraseFrom"], "STOWAGE_PASSPHRASE");
    EXPECT_EQ(opensWith(KeySource::passphrase(std::string(strong))), 1u);
    Outcome human = stowage(backupArgs(), {{"STOWAGE_PASSPHRASE", strong}});
    EXPECT_TRUE(contains(human.out, "Secrets sealed with the passphrase from STOWAGE_PASSPHRASE in ~/Backup"));
    EXPECT_FALSE(contains(human.out, "RECOVERY CODE")) << human.out;

    home.writeFile("empty.txt", "\n");
    EXPECT_EQ(stowage(backupArgs({"--passphrase", "--passphrase-file", home / "empty.txt"})).status, 1);
    EXPECT_EQ(stowage(backupArgs({"--new-key", "--passphrase"})).status, 2);
    Outcome nowhere = stowage(backupArgs({"--passphrase"})); // no file, no variable, no terminal
    EXPECT_EQ(nowhere.status, 2);
    EXPECT_TRUE(contains(nowhere.err, "--passphrase needs --passphrase-file")) << nowhere.err;
    // Set but empty (an unset shell variable expanded): a mistake, never a silent random key.
    fs::remove_all(backup);
    Outcome empty = stowage(backupArgs(), {{"STOWAGE_PASSPHRASE", setButEmpty}});
    EXPECT_EQ(empty.status, 2);
    EXPECT_TRUE(contains(empty.err, "STOWAGE_PASSPHRASE is set but empty")) << empty.err;
    EXPECT_FALSE(fs::exists(backup));
}

TEST_F(BackupCommandsTest, UsageErrorsExitWithTwoAndFailuresOrMissedItemsWithOne) {
    for (const auto& arguments :
         std::vector<std::vector<std::string>>{{"backup", "--to", backup, "--passphrase-file", home / "x"},
                                               {"backup", "--to", backup, "--project", home / "missing"},
                                               {"backup", "--to", backup, "--project", "~/code/missing"},
                                               {"backup", "--bogus"},
                                               {"verify", backup, "extra"},
                                               {"verify", backup, "--recovery-code-file", home / "x"}})
        EXPECT_EQ(stowage(arguments).status, 2) << arguments[1];
    EXPECT_FALSE(fs::exists(backup)) << "nothing runs after a usage error";

    Outcome none = stowage({"verify", home / "Nothing"});
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(none.err, "stowage: I/O error: no backup.json in ~/Nothing\n");
    home.writeFile("blocker", "a file where the folder should be");
    Outcome blocked = stowage({"backup", "--to", home / "blocker/Backup", "--no-manifests", "--no-secrets"});
    EXPECT_EQ(blocked.status, 1);
    EXPECT_FALSE(settings::lastBackupAt(*DefaultsStore::standard())) << "only a successful backup is recorded";

    home.writeFile("code/app/caf\xE9.txt", "a name JSON cannot carry");
    Outcome missed = stowage(backupArgs({"--no-secrets", "--project", home / "code/app"}));
    EXPECT_EQ(missed.status, 1) << missed.out << missed.err;
    EXPECT_TRUE(contains(missed.out, "Backed up to ~/Backup, but 1 item was not fully backed up")) << missed.out;
    EXPECT_TRUE(contains(missed.out, "~/code/app: 1 name(s) not valid UTF-8")) << missed.out;
    EXPECT_EQ(stowage({"verify", backup}).status, 0) << "the rest of the backup is kept";
    fs::remove(backup + "/config/home/.zshrc");
    Outcome damaged = stowage({"verify", backup, "--json"});
    EXPECT_EQ(damaged.status, 1);
    EXPECT_EQ(Json::parse(damaged.out)["issues"][0], "missing config file: config/home/.zshrc");
}

TEST_F(BackupCommandsTest, TheSavedOrCurrentBackupFolderIsTheDefaultAndAProjectMayBeNamedWithAQuotedTilde) {
    Outcome run = stowage({"backup", "--no-manifests", "--no-secrets", "--no-config", "--root", home / "code"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(contains(run.out, "Backed up to ~/StowageBackup")) << run.out;
    DefaultsStore::standard()->setString(settings::backupDirKey, home / "Elsewhere");
    ASSERT_EQ(stowage({"backup", "--no-manifests", "--no-secrets", "--root", home / "code"}).status, 0);
    EXPECT_TRUE(fs::exists(home / "Elsewhere/backup.json"));
    EXPECT_TRUE(contains(stowage({"history"}).out, "1 backup in ~/Elsewhere"));
    EXPECT_EQ(stowage({"history", home / "Nothing"}).out, "No backups recorded in ~/Nothing.\n");
    // Inside a backup folder, verify and history work on it, as restore does.
    EXPECT_TRUE(contains(stowage({"history"}, {}, home / "StowageBackup").out, "1 backup in ~/StowageBackup"));
    EXPECT_TRUE(contains(stowage({"verify"}, {}, home / "StowageBackup").out, "in ~/StowageBackup"));

    // A quoted tilde is the home folder, as the shell would have made it.
    Outcome project = stowage(backupArgs({"--no-secrets", "--no-config", "--project", "~/code/app/", "--json"}));
    ASSERT_EQ(project.status, 0) << project.err;
    EXPECT_EQ(Json::parse(project.out)["projectsBackedUp"], Json::array({"projects/app"}));
    EXPECT_EQ(slurp(backup + "/projects/app/main.py"), "print('hi')\n");
}

} // namespace
