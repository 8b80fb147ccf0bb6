// `stowage backup`, `verify` and `history`, run as the user runs them: the built binary in a child
// process, with its home folder (and so its settings and keychain file) in a temporary folder.

#include "core/BackupManifest.hpp"
#include "core/KDF.hpp"
#include "core/SecretsBundle.hpp"
#include "core/Settings.hpp"
#include "core/platform/DefaultsStore.hpp"

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

extern char** environ;

using namespace stowage;
using stowage::testing::slurp;
using stowage::testing::TempHome;
namespace fs = std::filesystem;

namespace {

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

std::string drain(int fd) {
    std::string text;
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0)
        text.append(buffer, static_cast<size_t>(n));
    return text;
}

/// Runs the stowage binary with `arguments`, standard input from /dev/null, the environment of
/// this process changed by `environment` (an empty value removes the variable), in `cwd` when given.
Outcome stowage(const std::vector<std::string>& arguments, const std::map<std::string, std::string>& environment = {},
                const std::string& cwd = {}) {
    std::map<std::string, std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string entry = *e;
        auto eq = entry.find('=');
        if (eq != std::string::npos)
            env[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
    // Never the user's keyring: no session bus, so the key goes to the file store in the temp home.
    env["DBUS_SESSION_BUS_ADDRESS"] = "unix:path=/nonexistent/stowage-test-bus";
    env["NO_COLOR"] = "1";
    env.erase("STOWAGE_PASSPHRASE");
    for (const auto& [key, value] : environment) {
        if (value.empty())
            env.erase(key);
        else
            env[key] = value;
    }
    std::vector<std::string> envStrings;
    for (const auto& [key, value] : env)
        envStrings.push_back(key + "=" + value);
    std::vector<char*> envp;
    for (auto& s : envStrings)
        envp.push_back(s.data());
    envp.push_back(nullptr);

    const std::string binary = STOWAGE_BINARY_DIR "/src/stowage";
    std::vector<std::string> argStrings{binary};
    argStrings.insert(argStrings.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& s : argStrings)
        argv.push_back(s.data());
    argv.push_back(nullptr);

    // Output goes to files, so a large output cannot block the child on a full pipe.
    char outName[] = "/tmp/stowage-cli-out-XXXXXX";
    char errName[] = "/tmp/stowage-cli-err-XXXXXX";
    int outFd = ::mkstemp(outName);
    int errFd = ::mkstemp(errName);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, outFd, 1);
    posix_spawn_file_actions_adddup2(&actions, errFd, 2);
    if (!cwd.empty())
        posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
    pid_t pid = 0;
    Outcome run;
    if (posix_spawn(&pid, binary.c_str(), &actions, nullptr, argv.data(), envp.data()) == 0) {
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    posix_spawn_file_actions_destroy(&actions);
    ::lseek(outFd, 0, SEEK_SET);
    ::lseek(errFd, 0, SEEK_SET);
    run.out = drain(outFd);
    run.err = drain(errFd);
    ::close(outFd);
    ::close(errFd);
    ::unlink(outName);
    ::unlink(errName);
    return run;
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
    EXPECT_TRUE(has(second.out, "RECOVERY CODE")) << second.out;
    EXPECT_TRUE(has(second.out, "A copy of the key was stored in this machine's keychain.")) << second.out;
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
