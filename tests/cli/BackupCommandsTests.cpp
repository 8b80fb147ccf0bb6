// `stowage backup`, `verify` and `history`, run as the user runs them: the built binary in a child
// process, with its home folder (and so its settings and keychain file) in a temporary folder.

#include "core/BackupError.hpp"
#include "core/BackupManifest.hpp"
#include "core/KDF.hpp"
#include "core/SecretsBundle.hpp"
#include "core/Settings.hpp"
#include "core/platform/DefaultsStore.hpp"

#include "support/RunStowage.hpp"
#include "support/TempHome.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>


using namespace stowage;
using stowage::testing::slurp;
using stowage::testing::TempHome;
namespace fs = std::filesystem;

namespace {

using stowage::testing::Outcome;
using stowage::testing::setButEmpty;

/// Runs the stowage binary with `arguments` (see runProgram), in `cwd` when given.
Outcome stowage(const std::vector<std::string>& arguments, const std::map<std::string, std::string>& environment = {},
                const std::string& cwd = {}) {
    return stowage::testing::runProgram(STOWAGE_BINARY_DIR "/src/stowage", arguments, environment, std::nullopt, cwd);
}

bool has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

/// A home with a secret key, two config files, a symlinked dotfile and a project without a remote.
class BackupCommandsTest : public ::testing::Test {
protected:
    void SetUp() override {
        home.writeFile(".ssh/id_ed25519", "private key\n", 0600);
        home.writeFile(".zshrc", "export A=1\n");
        home.writeFile(".gitconfig", "[user]\n\tname = Ann\n");
        home.writeFile("dotfiles/vimrc", "set nu\n");
        fs::create_symlink(home / "dotfiles/vimrc", home / ".vimrc");
        home.writeFile("code/app/main.py", "print('hi')\n");
        home.writeFile("code/app/node_modules/x/index.js", "x\n");
        backup = home / "Backup";
    }

    std::vector<std::string> backupArgs(std::vector<std::string> extra = {}) {
        std::vector<std::string> args{"backup", "--to", backup, "--no-manifests", "--root", home / "code"};
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    }

    TempHome home;
    std::string backup;
};

TEST_F(BackupCommandsTest, BackupWithARandomKeyThenVerifyAndHistory) {
    Outcome run = stowage(backupArgs({"--project", home / "code/app", "--json"}));
    ASSERT_EQ(run.status, 0) << run.err;
    auto result = nlohmann::json::parse(run.out);
    EXPECT_EQ(result["outputDir"], backup);
    auto configs = result["configFiles"].get<std::vector<std::string>>();
    EXPECT_NE(std::find(configs.begin(), configs.end(), "config/home/.zshrc"), configs.end());
    EXPECT_NE(std::find(configs.begin(), configs.end(), "config/home/.gitconfig"), configs.end());
    EXPECT_EQ(std::find(configs.begin(), configs.end(), "config/home/.vimrc"), configs.end()) << "a symlink";
    EXPECT_EQ(result["projectsBackedUp"], nlohmann::json::array({"projects/app"}));
    EXPECT_EQ(result["capturedSecrets"], nlohmann::json::array({home / ".ssh/id_ed25519"}));
    ASSERT_TRUE(result["recoveryCode"].is_string());
    EXPECT_EQ(result["keyStoredInKeychain"], true) << "the owner-only key file of the temporary home";
    EXPECT_FALSE(fs::exists(backup + "/projects/app/node_modules"));

    auto payload = SecretsBundle::open(toBytes(slurp(backup + "/secrets.stowage")),
                                       BundleKey::key(result["recoveryCode"].get<std::string>()));
    ASSERT_EQ(payload.files.size(), 1u);
    EXPECT_EQ(toString(payload.files[0].data), "private key\n");
    EXPECT_EQ(BackupManifest::decode(slurp(backup + "/backup.json")).homeFolder,
              std::optional<std::string>(home.path()));

    // The saved time of the last backup is updated as the application would.
    EXPECT_TRUE(settings::lastBackupAt(*DefaultsStore::standard()));

    Outcome verify = stowage({"verify", backup});
    EXPECT_EQ(verify.status, 0) << verify.err;
    EXPECT_TRUE(has(verify.out, "No issues found.")) << verify.out;

    Outcome verifyJson = stowage({"verify", backup, "--json"});
    ASSERT_EQ(verifyJson.status, 0);
    auto report = nlohmann::json::parse(verifyJson.out);
    EXPECT_EQ(report["ok"], true);
    EXPECT_EQ(report["checkedSecrets"], 1);

    Outcome second = stowage(backupArgs());
    ASSERT_EQ(second.status, 0) << second.err;
    EXPECT_TRUE(has(second.out, "Recovery code: unchanged")) << second.out;
    EXPECT_FALSE(has(second.out, result["recoveryCode"].get<std::string>())) << "a kept code is not shown again";
    EXPECT_TRUE(has(second.out, "unchanged since the last backup")) << second.out;

    Outcome history = stowage({"history", backup, "--json"});
    ASSERT_EQ(history.status, 0) << history.err;
    auto runs = nlohmann::json::parse(history.out);
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_GE(runs[0]["createdAt"].get<std::string>(), runs[1]["createdAt"].get<std::string>()) << "newest first";

    Outcome humanHistory = stowage({"history", backup});
    EXPECT_EQ(humanHistory.status, 0);
    EXPECT_TRUE(has(humanHistory.out, "2 backups in ~/Backup (newest first)")) << humanHistory.out;
}

TEST_F(BackupCommandsTest, APassphraseComesFromAFileOrTheEnvironmentNeverFromAnArgument) {
    home.writeFile("pass.txt", "abc\n", 0600);
    Outcome weak = stowage(backupArgs({"--passphrase", "--passphrase-file", home / "pass.txt", "--json"}));
    ASSERT_EQ(weak.status, 0) << weak.err;
    EXPECT_TRUE(has(weak.err, "warning: passphrase strength: Weak")) << weak.err;
    auto result = nlohmann::json::parse(weak.out);
    EXPECT_EQ(result["usedPassphrase"], true);
    EXPECT_FALSE(result.contains("recoveryCode"));
    Bytes blob = toBytes(slurp(backup + "/secrets.stowage"));
    EXPECT_TRUE(SecretsBundle::isPassphraseBundle(blob));
    EXPECT_EQ(SecretsBundle::open(blob, KeySource::passphrase("abc")).files.size(), 1u)
        << "the file's final line break is not part of the passphrase";

    Outcome fromEnvironment =
        stowage(backupArgs({"--passphrase", "--json"}), {{"STOWAGE_PASSPHRASE", "Tr0ub4dour & horse staple!"}});
    ASSERT_EQ(fromEnvironment.status, 0) << fromEnvironment.err;
    EXPECT_FALSE(has(fromEnvironment.err, "Weak"));
    blob = toBytes(slurp(backup + "/secrets.stowage"));
    EXPECT_EQ(SecretsBundle::open(blob, KeySource::passphrase("Tr0ub4dour & horse staple!")).files.size(), 1u);

    // No file, no variable and no terminal to ask on.
    Outcome nowhere = stowage(backupArgs({"--passphrase"}));
    EXPECT_EQ(nowhere.status, 2);
    EXPECT_TRUE(has(nowhere.err, "--passphrase needs --passphrase-file")) << nowhere.err;

    home.writeFile("empty.txt", "\n");
    Outcome empty = stowage(backupArgs({"--passphrase", "--passphrase-file", home / "empty.txt"}));
    EXPECT_EQ(empty.status, 1);
    EXPECT_TRUE(has(empty.err, "is empty")) << empty.err;
}

TEST_F(BackupCommandsTest, TheSavedCodeKeepsOpeningTheFolderUntilANewKeyIsAskedFor) {
    Outcome first = stowage(backupArgs({"--json"}));
    ASSERT_EQ(first.status, 0) << first.err;
    const auto firstResult = nlohmann::json::parse(first.out);
    EXPECT_EQ(firstResult["newKey"], true);
    const std::string code = firstResult["recoveryCode"];

    Outcome kept = stowage(backupArgs({"--json"}));
    ASSERT_EQ(kept.status, 0) << kept.err;
    EXPECT_EQ(nlohmann::json::parse(kept.out)["newKey"], false);
    EXPECT_EQ(nlohmann::json::parse(kept.out)["recoveryCode"], code);
    Outcome shown = stowage(backupArgs({"--show-recovery-code"}));
    EXPECT_TRUE(has(shown.out, "RECOVERY CODE (unchanged)")) << shown.out;
    EXPECT_TRUE(has(shown.out, code)) << shown.out;

    Outcome renewed = stowage(backupArgs({"--new-key"}));
    ASSERT_EQ(renewed.status, 0) << renewed.err;
    EXPECT_TRUE(has(renewed.out, "NEW RECOVERY CODE")) << renewed.out;
    EXPECT_TRUE(has(renewed.out, "Recovery codes saved before this backup no longer open it.")) << renewed.out;
    EXPECT_FALSE(has(renewed.out, code));
    const Bytes blob = toBytes(slurp(backup + "/secrets.stowage"));
    EXPECT_THROW(SecretsBundle::open(blob, BundleKey::key(code)), BackupError);
    EXPECT_EQ(stowage(backupArgs({"--new-key", "--passphrase"})).status, 2);
}

TEST_F(BackupCommandsTest, StowagePassphraseAloneSealsWithItAndSaysSo) {
    Outcome human = stowage(backupArgs(), {{"STOWAGE_PASSPHRASE", "from the environment"}});
    ASSERT_EQ(human.status, 0) << human.err;
    EXPECT_TRUE(has(human.out, "Secrets sealed with the passphrase from STOWAGE_PASSPHRASE in ~/Backup")) << human.out;
    EXPECT_FALSE(has(human.out, "RECOVERY CODE")) << human.out;
    const Bytes blob = toBytes(slurp(backup + "/secrets.stowage"));
    EXPECT_EQ(SecretsBundle::open(blob, KeySource::passphrase("from the environment")).files.size(), 1u);

    Outcome json = stowage(backupArgs({"--json"}), {{"STOWAGE_PASSPHRASE", "from the environment"}});
    ASSERT_EQ(json.status, 0) << json.err;
    EXPECT_EQ(nlohmann::json::parse(json.out)["passphraseFrom"], "STOWAGE_PASSPHRASE");

    // Set but empty (an unset shell variable expanded): a mistake, never a silent random key.
    fs::remove_all(backup);
    Outcome empty = stowage(backupArgs(), {{"STOWAGE_PASSPHRASE", setButEmpty}});
    EXPECT_EQ(empty.status, 2);
    EXPECT_TRUE(has(empty.err, "STOWAGE_PASSPHRASE is set but empty")) << empty.err;
    EXPECT_FALSE(fs::exists(backup + "/secrets.stowage"));
}

TEST_F(BackupCommandsTest, DeepVerificationOpensTheBundle) {
    Outcome made = stowage(backupArgs({"--json"}));
    ASSERT_EQ(made.status, 0) << made.err;
    const std::string code = nlohmann::json::parse(made.out)["recoveryCode"];
    home.writeFile("code.txt", code + "\n", 0600);
    home.writeFile("wrong.txt", base64::encode(Bytes(32, 7)), 0600);

    Outcome keychain = stowage({"verify", backup, "--deep"});
    EXPECT_EQ(keychain.status, 0) << keychain.out << keychain.err;
    EXPECT_TRUE(has(keychain.out, "secrets.stowage opens and holds every listed secret.")) << keychain.out;
    Outcome fromFile = stowage({"verify", backup, "--deep", "--recovery-code-file", home / "code.txt"});
    EXPECT_EQ(fromFile.status, 0) << fromFile.out << fromFile.err;
    Outcome wrong =
        stowage({"verify", backup, "--deep", "--json"}, {{"STOWAGE_RECOVERY_CODE", base64::encode(Bytes(32, 7))}});
    EXPECT_EQ(wrong.status, 1);
    EXPECT_EQ(nlohmann::json::parse(wrong.out)["issues"],
              nlohmann::json::array({"secrets.stowage does not open: Could not decrypt bundle \u2014 wrong key or "
                                     "corrupt file"}));
    EXPECT_EQ(stowage({"verify", backup, "--recovery-code-file", home / "code.txt"}).status, 2) << "needs --deep";

    // A secret the manifest lists but the bundle lacks.
    auto manifest = nlohmann::json::parse(slurp(backup + "/backup.json"));
    manifest["secretPaths"].push_back(home / ".ssh/id_other");
    home.writeFile("Backup/backup.json", manifest.dump(2));
    Outcome lacking = stowage({"verify", backup, "--deep"});
    EXPECT_EQ(lacking.status, 1);
    EXPECT_TRUE(has(lacking.out, "secret missing from secrets.stowage: " + home / ".ssh/id_other")) << lacking.out;
    EXPECT_EQ(stowage({"verify", backup}).status, 0) << "the shallow check does not open the bundle";
}

TEST_F(BackupCommandsTest, UsageErrorsExitWithTwo) {
    EXPECT_EQ(stowage({"backup", "--to", backup, "--passphrase-file", home / "x"}).status, 2);
    EXPECT_EQ(stowage({"backup", "--to", backup, "--project", home / "missing"}).status, 2);
    EXPECT_EQ(stowage({"backup", "--bogus"}).status, 2);
    EXPECT_EQ(stowage({"verify", backup, "extra"}).status, 2);
    EXPECT_FALSE(fs::exists(backup)) << "nothing runs after a usage error";
}

TEST_F(BackupCommandsTest, FailuresExitWithOneAndTheSentenceOnStandardError) {
    Outcome none = stowage({"verify", home / "Nothing"});
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(none.err, "stowage: I/O error: no backup.json in ~/Nothing\n");

    home.writeFile("blocker", "a file where the folder should be");
    Outcome blocked =
        stowage({"backup", "--to", home / "blocker/Backup", "--no-manifests", "--no-secrets", "--root", home / "code"});
    EXPECT_EQ(blocked.status, 1);
    EXPECT_TRUE(has(blocked.err, "stowage: ")) << blocked.err;
    EXPECT_FALSE(settings::lastBackupAt(*DefaultsStore::standard())) << "only a successful backup is recorded";

    ASSERT_EQ(stowage(backupArgs({"--no-secrets"})).status, 0);
    fs::remove(backup + "/config/home/.zshrc");
    Outcome damaged = stowage({"verify", backup});
    EXPECT_EQ(damaged.status, 1);
    EXPECT_TRUE(has(damaged.out, "missing config file: config/home/.zshrc")) << damaged.out;
    Outcome damagedJson = stowage({"verify", backup, "--json"});
    EXPECT_EQ(damagedJson.status, 1);
    EXPECT_EQ(nlohmann::json::parse(damagedJson.out)["ok"], false);
}

TEST_F(BackupCommandsTest, TheSavedBackupFolderIsTheDefault) {
    Outcome run = stowage({"backup", "--no-manifests", "--no-secrets", "--no-config", "--root", home / "code"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(fs::exists(home / "StowageBackup/backup.json"));
    EXPECT_TRUE(has(run.out, "Backed up to ~/StowageBackup")) << run.out;

    DefaultsStore::standard()->setString(settings::backupDirKey, home / "Elsewhere");
    ASSERT_EQ(stowage({"backup", "--no-manifests", "--no-secrets", "--root", home / "code"}).status, 0);
    EXPECT_TRUE(fs::exists(home / "Elsewhere/backup.json"));
    Outcome history = stowage({"history"});
    EXPECT_TRUE(has(history.out, "1 backup in ~/Elsewhere")) << history.out;
    Outcome empty = stowage({"history", home / "Nothing"});
    EXPECT_EQ(empty.status, 0);
    EXPECT_EQ(empty.out, "No backups recorded in ~/Nothing.\n");

    // Inside a backup folder, verify and history work on it, as restore does.
    EXPECT_TRUE(has(stowage({"history"}, {}, home / "StowageBackup").out, "1 backup in ~/StowageBackup"));
    EXPECT_TRUE(has(stowage({"verify"}, {}, home / "StowageBackup").out, "in ~/StowageBackup"));
    EXPECT_TRUE(has(stowage({"verify"}, {}, home / "code").out, "in ~/Elsewhere"));
}

TEST_F(BackupCommandsTest, AProjectPathMayBeQuotedWithATildeOrEndInASlash) {
    for (const std::string& given : {std::string("~/code/app"), home / "code/app/", std::string(".")}) {
        Outcome run =
            stowage(backupArgs({"--no-secrets", "--no-config", "--project", given, "--json"}), {}, home / "code/app");
        ASSERT_EQ(run.status, 0) << given << ": " << run.err;
        EXPECT_EQ(nlohmann::json::parse(run.out)["projectsBackedUp"], nlohmann::json::array({"projects/app"})) << given;
        EXPECT_TRUE(fs::exists(backup + "/projects/app/main.py"));
    }
    EXPECT_EQ(stowage(backupArgs({"--project", "~/code/missing"})).status, 2);
}

TEST_F(BackupCommandsTest, ABackupThatMissedAnItemSaysSoAndExitsWithOne) {
    home.writeFile("code/app/caf\xE9.txt", "a name JSON cannot carry");
    Outcome run = stowage(backupArgs({"--no-secrets", "--project", home / "code/app"}));
    EXPECT_EQ(run.status, 1) << run.out << run.err;
    EXPECT_FALSE(has(run.out, "\u2713")) << run.out;
    EXPECT_TRUE(has(run.out, "Backed up to ~/Backup, but 1 item was not fully backed up")) << run.out;
    EXPECT_TRUE(has(run.out, "~/code/app: 1 name(s) not valid UTF-8")) << run.out;
    EXPECT_TRUE(fs::exists(backup + "/projects/app/main.py")) << "the rest of the backup is kept";
    EXPECT_EQ(stowage({"verify", backup}).status, 0);
}

} // namespace
