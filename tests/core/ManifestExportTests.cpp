#include "core/AppScanner.hpp"
#include "core/BackupError.hpp"
#include "core/Json.hpp"
#include "core/ManifestExport.hpp"
#include "support/FaultInjectingFileAccess.hpp"
#include "support/TempHome.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

using namespace stowage;
using stowage::testing::FaultInjectingFileAccess;
using stowage::testing::slurp;
using stowage::testing::TempHome;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::MatchesRegex;
namespace fs = std::filesystem;

namespace {

/// Sets an environment variable for one scope and puts the old value back.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value) : name_(name) {
        if (const char* old = std::getenv(name))
            old_ = old;
        setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv() {
        if (old_)
            setenv(name_, old_->c_str(), 1);
        else
            unsetenv(name_);
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    const char* name_;
    std::optional<std::string> old_;
};

/// A temporary home whose search path holds only the fake tools a test installs (and a `which`
/// that looks along it), so the machine's own brew, npm, pip3 or cargo never answer.
class FakeToolsTest : public ::testing::Test {
protected:
    TempHome home;
    std::string bin = home.makeDir("fakebin");
    ScopedEnv path{"PATH", bin};
    DirectFileAccess access;
    std::string root = home.makeDir("Backup");
    std::vector<std::string> warnings;

    void SetUp() override {
        tool("which", "IFS=:\n"
                      "for d in $PATH; do\n"
                      "  if [ -x \"$d/$1\" ]; then echo \"$d/$1\"; exit 0; fi\n"
                      "done\n"
                      "exit 1\n");
    }

    /// Installs a fake tool; `body` runs under /bin/sh with only shell built-ins at hand.
    void tool(const std::string& name, const std::string& body) {
        home.writeFile("fakebin/" + name, "#!/bin/sh\n" + body, 0755);
    }

    /// A tool that prints `out` (and exits with `status`) only when called with exactly `args`.
    void answering(const std::string& name, const std::string& args, const std::string& out, int status = 0) {
        tool(name, "[ \"$*\" = \"" + args + "\" ] || exit 9\nprintf '%s' '" + out + "'\nexit " +
                       std::to_string(status) + "\n");
    }

    void allTools() {
        tool("brew", "[ \"$1 $2 $3 $5\" = \"bundle dump --file --force\" ] || exit 9\n"
                     "printf 'brew \"git\"\\ncask \"firefox\"\\n' > \"$4\"\n");
        answering("crontab", "-l", "0 * * * * /usr/local/bin/sync\n");
        answering("mas", "list", "497799835 Xcode (15.0)\n");
        answering("pip3", "list --format=freeze", "requests==2.31.0\nrich==13.7.0\n");
        answering("code", "--list-extensions", "ms-python.python\nrust-lang.rust-analyzer\n");
        answering("npm", "ls -g --depth=0",
                  "/usr/local/lib\n\u251c\u2500\u2500 @scope/tool@2.0.0\n\u251c\u2500\u2500 left-pad@1.3.0\n"
                  "\u2514\u2500\u2500 pkg\n");
        answering("cargo", "install --list", "mytool v0.1.0:\n    mytool\nripgrep v14.0.0:\r\n    rg\n");
    }

    std::string stored(const std::string& name) const { return slurp(root + "/manifest/" + name); }
    bool has(const std::string& name) const { return fs::exists(root + "/manifest/" + name); }
};

} // namespace

// ---- exportManifests ---------------------------------------------------------------------------

TEST_F(FakeToolsTest, EveryToolPresentGivesEveryListInOrder) {
    allTools();
    auto produced = exportManifests(root, access, warnings);
    EXPECT_THAT(produced, ElementsAre("manifest/Brewfile", "manifest/crontab.txt", "manifest/appstore.txt",
                                      "manifest/pip-global.txt", "manifest/vscode-extensions.txt",
                                      "manifest/npm-global.txt", "manifest/cargo-installed.txt"));
    EXPECT_THAT(warnings, IsEmpty());
    EXPECT_EQ(stored("Brewfile"), "brew \"git\"\ncask \"firefox\"\n");
    EXPECT_EQ(stored("crontab.txt"), "0 * * * * /usr/local/bin/sync\n");
    EXPECT_EQ(stored("appstore.txt"), "497799835 Xcode (15.0)\n");
    EXPECT_EQ(stored("pip-global.txt"), "requests==2.31.0\nrich==13.7.0\n");
    EXPECT_EQ(stored("vscode-extensions.txt"), "ms-python.python\nrust-lang.rust-analyzer\n");
    EXPECT_EQ(stored("npm-global.txt"), "@scope/tool\nleft-pad\npkg");
    EXPECT_EQ(stored("cargo-installed.txt"), "mytool\nripgrep");
}

TEST_F(FakeToolsTest, ToolsRunSideBySideAndTheirListsKeepTheirOrder) {
    allTools();
    // crontab answers only once cargo, the last tool asked, has started: one after another, it
    // would give up waiting and print nothing.
    const std::string marker = root + "/cargo-started";
    tool("cargo", ": > '" + marker + "'\nprintf 'mytool v0.1.0:\\n    mytool\\n'\n");
    tool("crontab", "i=0\nwhile [ ! -e '" + marker +
                        "' ] && [ $i -lt 300000 ]; do i=$((i + 1)); done\n"
                        "[ -e '" +
                        marker + "' ] && echo '@daily late'\n");
    auto produced = exportManifests(root, access, warnings);
    EXPECT_THAT(produced, ElementsAre("manifest/Brewfile", "manifest/crontab.txt", "manifest/appstore.txt",
                                      "manifest/pip-global.txt", "manifest/vscode-extensions.txt",
                                      "manifest/npm-global.txt", "manifest/cargo-installed.txt"));
    EXPECT_EQ(stored("crontab.txt"), "@daily late\n");
}

TEST_F(FakeToolsTest, NoToolsGivesOnlyTheHomebrewWarning) {
    auto produced = exportManifests(root, access, warnings);
    EXPECT_THAT(produced, IsEmpty());
    EXPECT_THAT(warnings, ElementsAre("Homebrew not found \u2014 skipping Brewfile."));
    EXPECT_TRUE(fs::is_directory(root + "/manifest"));
    EXPECT_TRUE(fs::is_empty(root + "/manifest"));
}

TEST_F(FakeToolsTest, WithoutHomebrewTheOtherListsAreStillProduced) {
    allTools();
    fs::remove(bin + "/brew");
    auto produced = exportManifests(root, access, warnings);
    EXPECT_EQ(produced.size(), 6u);
    EXPECT_EQ(produced.front(), "manifest/crontab.txt");
    EXPECT_THAT(warnings, ElementsAre("Homebrew not found \u2014 skipping Brewfile."));
    EXPECT_FALSE(has("Brewfile"));
}

TEST_F(FakeToolsTest, AFailingBrewDumpWarnsWithTheFirst120CharactersOfItsError) {
    // 130 characters, each two bytes in UTF-8: the cut is by character, never inside one.
    std::string err;
    for (int i = 0; i < 130; ++i)
        err += i % 10 == 9 ? "\u00e9" : "\u00e8";
    tool("brew", "printf '%s' '" + err + "' >&2\nexit 1\n");
    auto produced = exportManifests(root, access, warnings);
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0], "brew bundle dump failed: " + err.substr(0, 240));
    EXPECT_THAT(produced, IsEmpty());

    warnings.clear();
    tool("brew", "echo 'Error: No such file or directory' >&2\nexit 2\n");
    exportManifests(root, access, warnings);
    EXPECT_THAT(warnings, ElementsAre("brew bundle dump failed: Error: No such file or directory\n"));
}

TEST_F(FakeToolsTest, CrontabNeedsSuccessAndSomethingBesidesWhitespace) {
    answering("crontab", "-l", "0 * * * * job\n", 1);
    EXPECT_THAT(exportManifests(root, access, warnings), IsEmpty());
    answering("crontab", "-l", "  \n\t\n");
    EXPECT_THAT(exportManifests(root, access, warnings), IsEmpty());
    EXPECT_FALSE(has("crontab.txt"));
    answering("crontab", "-l", "\n# nightly\n@daily job\n");
    EXPECT_THAT(exportManifests(root, access, warnings), ElementsAre("manifest/crontab.txt"));
    EXPECT_EQ(stored("crontab.txt"), "\n# nightly\n@daily job\n"); // written untrimmed
}

TEST_F(FakeToolsTest, OtherToolsKeepWhatAFailedRunPrinted) {
    answering("mas", "list", "497799835 Xcode (15.0)\n", 1);
    answering("pip3", "list --format=freeze", "rich==13.7.0\n", 3);
    answering("code", "--list-extensions", "   \n", 0);
    auto produced = exportManifests(root, access, warnings);
    EXPECT_THAT(produced, ElementsAre("manifest/appstore.txt", "manifest/pip-global.txt"));
    EXPECT_EQ(stored("pip-global.txt"), "rich==13.7.0\n");
    EXPECT_FALSE(has("vscode-extensions.txt"));
}

TEST_F(FakeToolsTest, NpmHeaderAloneAndIndentedCargoLinesGiveNoFile) {
    answering("npm", "ls -g --depth=0", "/usr/local/lib\n`-- (empty)\n");
    answering("cargo", "install --list", "    mytool\n\trg\n");
    EXPECT_THAT(exportManifests(root, access, warnings), IsEmpty());
    // A tree line with nothing after the branch is a name, but an empty list of names is no file.
    answering("npm", "ls -g --depth=0", "/usr/local/lib\n\u2514\u2500\u2500 \n");
    EXPECT_THAT(exportManifests(root, access, warnings), IsEmpty());
    EXPECT_FALSE(has("npm-global.txt"));
    EXPECT_FALSE(has("cargo-installed.txt"));
}

TEST_F(FakeToolsTest, FailedWritesAreIgnoredAndStillListed) {
    allTools();
    FaultInjectingFileAccess faulty;
    faulty.failFrom(FaultInjectingFileAccess::Operation::write, 1);
    faulty.failFrom(FaultInjectingFileAccess::Operation::createDirectory, 1);
    home.makeDir("Backup/manifest"); // brew writes its own file
    std::vector<std::string> produced;
    EXPECT_NO_THROW(produced = exportManifests(root, faulty, warnings));
    EXPECT_EQ(produced.size(), 7u);
    EXPECT_EQ(faulty.calls(FaultInjectingFileAccess::Operation::write), 6);
    EXPECT_FALSE(has("crontab.txt"));
    EXPECT_TRUE(has("Brewfile"));
}

// ---- Parsers -----------------------------------------------------------------------------------

TEST(ManifestParsers, LinesSplitAtEveryNewlineKind) {
    EXPECT_THAT(splitManifestLines("a\nb\rc\r\nd\ve\ff\u0085g\u2028h\u2029i"),
                ElementsAre("a", "b", "c", "d", "e", "f", "g", "h", "i"));
    EXPECT_THAT(splitManifestLines("\n\r\n\r\rx\n\n"), ElementsAre("x"));
    EXPECT_THAT(splitManifestLines(""), IsEmpty());
    EXPECT_THAT(splitManifestLines("caf\u00e9 \u2500\u2500"), ElementsAre("caf\u00e9 \u2500\u2500"));
}

TEST(ManifestParsers, NpmTreeLines) {
    EXPECT_THAT(parseNpmGlobalPackages("/usr/lib\n"
                                       "\u251c\u2500\u2500 left-pad@1.3.0\n"
                                       "\u251c\u2500\u2500 @scope/tool@1.2.3\n"
                                       "\u2502 \u2514\u2500\u2500 nested@1.0.0\n"
                                       "\u2514\u2500\u2500 pkg\n"
                                       "\u2514\u2500\u2500 @scoped-only\n"
                                       "+-- ascii@1.0.0\n"
                                       "\u2514\u2500\u2500 left-pad@1.3.0 deduped"),
                ElementsAre("left-pad", "@scope/tool", "nested", "pkg", "@scoped-only", "left-pad"));
    // Duplicates and empty names are kept as the tool printed them.
    EXPECT_THAT(parseNpmGlobalPackages("\u2514\u2500\u2500 a@1\r\n\u2514\u2500\u2500 a@1\n\u2514\u2500\u2500 @1\n"),
                ElementsAre("a", "a", "@1"));
    EXPECT_THAT(parseNpmGlobalPackages("\u2514\u2500\u2500 x@\n"), ElementsAre("x"));
    EXPECT_THAT(parseNpmGlobalPackages("\u2514\u2500\u2500\u00a0x@1\n"), IsEmpty()); // not "── "
}

TEST(ManifestParsers, CargoLines) {
    EXPECT_THAT(parseCargoInstalledCrates("mytool v0.1.0:\n    mytool\n\tbin\n"
                                          "ripgrep v14.0.0 (/src/rg):\n"
                                          "\u00a0nbsp-indented\n"
                                          "\u3000ideographic\n"
                                          "solo\n"),
                ElementsAre("mytool", "ripgrep", "solo"));
    EXPECT_THAT(parseCargoInstalledCrates("a  b\n"), ElementsAre("a"));
}

TEST(ManifestParsers, FirstCharactersCountsWhatUsersSee) {
    EXPECT_EQ(firstCharacters("abcdef", 3), "abc");
    EXPECT_EQ(firstCharacters("ab", 120), "ab");
    EXPECT_EQ(firstCharacters("e\u0301e\u0301e\u0301", 2), "e\u0301e\u0301"); // combining accents
    EXPECT_EQ(firstCharacters("\U0001F1E9\U0001F1EA\U0001F1EB\U0001F1F7", 1), "\U0001F1E9\U0001F1EA"); // a flag
    EXPECT_EQ(firstCharacters("a\r\nb", 2), "a\r\n");
    EXPECT_EQ(firstCharacters("ok\xff!", 3), "ok\xEF\xBF\xBD");
    EXPECT_EQ(firstCharacters("abc", 0), "");
}

// ---- Installed apps ----------------------------------------------------------------------------

TEST_F(FakeToolsTest, InstalledAppsAreListedWhenAnyIsFound) {
    BackupResult result(root);
    result.manifests = {"manifest/Brewfile"};
    auto shared = std::make_shared<DirectFileAccess>();

    exportInstalledApps(root, shared, result);
    EXPECT_THAT(result.manifests, ElementsAre("manifest/Brewfile"));
    EXPECT_EQ(result.installedApps, 0);
    EXPECT_FALSE(has("apps.md"));
    EXPECT_FALSE(has("apps.json"));

    home.makeDir("Applications/Editor.app/Contents");
    home.writeFile("Applications/Store Thing.app/Contents/_MASReceipt/receipt", "r");
    home.makeDir("Applications/Not An App");
    home.makeDir("Backup/manifest");
    exportInstalledApps(root, shared, result);
    EXPECT_THAT(result.manifests, ElementsAre("manifest/Brewfile", "manifest/apps.md", "manifest/apps.json"));
    EXPECT_EQ(result.installedApps, 2);
    EXPECT_EQ(result.manualApps, 1);
    EXPECT_EQ(stored("apps.md"),
              AppScanner::reinstallMarkdown(AppScanner({home / "Applications"}, shared).scan({}, {})));
    std::string appsJson = stored("apps.json");
    EXPECT_EQ(appsJson.find('\n'), std::string::npos); // compact
    auto list = nlohmann::json::parse(appsJson);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0]["name"], "Editor");
    EXPECT_EQ(list[0]["source"], "manual");
    EXPECT_EQ(list[1]["name"], "Store Thing");
    EXPECT_EQ(list[1]["source"], "appStore");
}

TEST_F(FakeToolsTest, InstalledAppsListedEvenWhenTheirWritesFail) {
    home.makeDir("Applications/Editor.app");
    auto faulty = std::make_shared<FaultInjectingFileAccess>();
    faulty->failFrom(FaultInjectingFileAccess::Operation::write, 1);
    BackupResult result(root);
    EXPECT_NO_THROW(exportInstalledApps(root, faulty, result));
    EXPECT_THAT(result.manifests, ElementsAre("manifest/apps.md", "manifest/apps.json"));
    EXPECT_EQ(result.installedApps, 1);
    EXPECT_EQ(result.manualApps, 1);
}

// ---- RESTORE.md --------------------------------------------------------------------------------

namespace {

class RestoreGuideTest : public ::testing::Test {
protected:
    TempHome home;

    BackupManifest base() const {
        BackupManifest m;
        m.createdAt = *json::parseIso8601("2026-12-05T11:04:37Z");
        return m;
    }

    static std::string guide(const BackupManifest& m) { return restoreGuide(m, "en_US", "UTC"); }

    static std::string heading(const BackupManifest& m) {
        return "# Stowage restore\n"
               "\n"
               "Generated " +
               formatGuideDate(m.createdAt, "en_US", "UTC") +
               ".\n"
               "Run these steps on your **fresh** computer, in order.\n";
    }

    static constexpr const char* manualSteps =
        "\n"
        "## 4. Manual steps no tool can do for you\n"
        "\n"
        "- Re-auth CLIs: `gh auth login`, `gcloud auth login`, `aws sso login`, `az login`\n"
        "- Re-add 2FA / authenticator seeds\n"
        "- App Store Connect `.p8` keys can't be re-downloaded \u2014 if lost, revoke & reissue, then update CI\n"
        "- Re-register any SSH public keys whose private keys you rotated\n";
};

} // namespace

TEST_F(RestoreGuideTest, DateIsMediumDateAndShortTimeInTheGivenLocaleAndZone) {
    Timestamp t = *json::parseIso8601("2026-12-05T11:04:37Z");
    // ICU spells the US form "Dec 5, 2026, 11:04 AM" (a narrow no-break space before AM in newer data).
    EXPECT_THAT(formatGuideDate(t, "en_US", "UTC"), MatchesRegex("Dec 5, 2026(,| at) 11:04(\u202f| )AM"));
    EXPECT_THAT(formatGuideDate(t, "en_US", "Asia/Tokyo"), MatchesRegex("Dec 5, 2026(,| at) 8:04(\u202f| )PM"));
    EXPECT_EQ(formatGuideDate(t, "de_DE", "UTC"), "05.12.2026, 11:04");

    // The user's locale and zone come from the environment.
    ScopedEnv lcAll("LC_ALL", "de_DE.UTF-8");
    ScopedEnv tz("TZ", "Europe/Berlin");
    EXPECT_EQ(formatGuideDate(t), "05.12.2026, 12:04");
    ScopedEnv posix("LC_ALL", "C");
    EXPECT_THAT(formatGuideDate(t, {}, "UTC"), MatchesRegex("Dec 5, 2026(,| at) 11:04(\u202f| )AM"));
}

TEST_F(RestoreGuideTest, EmptyBackupHasHeadingAndManualStepsOnly) {
    BackupManifest m = base();
    EXPECT_EQ(guide(m), heading(m) + manualSteps);
}

TEST_F(RestoreGuideTest, EverySectionByteForByte) {
    BackupManifest m = base();
    m.manifests = {"manifest/Brewfile",
                   "manifest/crontab.txt",
                   "manifest/appstore.txt",
                   "manifest/pip-global.txt",
                   "manifest/vscode-extensions.txt",
                   "manifest/npm-global.txt",
                   "manifest/cargo-installed.txt",
                   "manifest/apps.md",
                   "manifest/apps.json"};
    m.configs = {{home / ".zshrc", "config/home/.zshrc"}, {"/etc/hosts", "config/abs/_etc_hosts"}};
    m.hasSecrets = true;
    m.secretPaths = {home / ".ssh/id_ed25519", "/etc/ssl/private/key.pem", home.path()};

    std::string expected = heading(m) +
                           "\n"
                           "## 1. Reproducible (reinstall from manifests)\n"
                           "\n"
                           "```sh\n"
                           "brew bundle --file manifest/Brewfile\n"
                           "```\n"
                           "\n"
                           "Open `manifest/apps.md` for every installed app and how to reinstall it \u2014 especially "
                           "the **manual downloads** no tool can recover.\n"
                           "\n"
                           "Other lists to replay by hand:\n"
                           "- `manifest/crontab.txt`\n"
                           "- `manifest/appstore.txt`\n"
                           "- `manifest/pip-global.txt`\n"
                           "- `manifest/vscode-extensions.txt`\n"
                           "- `manifest/npm-global.txt`\n"
                           "- `manifest/cargo-installed.txt`\n"
                           "- `manifest/apps.md`\n"
                           "- `manifest/apps.json`\n"
                           "\n"
                           "## 2. Config\n"
                           "\n"
                           "Restore your dotfiles & editor settings:\n"
                           "\n"
                           "```sh\n"
                           "stowage restore --config\n"
                           "```\n"
                           "\n"
                           "This writes 2 file(s) back to their original locations.\n"
                           "\n"
                           "## 3. Secrets (encrypted)\n"
                           "\n"
                           "`secrets.stowage` holds 3 secret file(s), AES-GCM encrypted.\n"
                           "You need the **recovery code** you saved at backup time.\n"
                           "`stowage` asks for it without showing it, so it stays out of the process list and "
                           "your shell history (a script can give it with `--recovery-code-file FILE` or "
                           "`STOWAGE_RECOVERY_CODE`).\n"
                           "\n"
                           "```sh\n"
                           "stowage restore --secrets\n"
                           "```\n"
                           "\n"
                           "Files restored to their original paths (0600 where applicable):\n"
                           "- `~/.ssh/id_ed25519`\n"
                           "- `/etc/ssl/private/key.pem`\n"
                           "- `~`\n" +
                           manualSteps;
    EXPECT_EQ(guide(m), expected);
}

TEST_F(RestoreGuideTest, ReinstallSectionWithoutBrewfileOrAppsGuide) {
    BackupManifest m = base();
    m.manifests = {"manifest/npm-global.txt"};
    EXPECT_EQ(guide(m), heading(m) +
                            "\n"
                            "## 1. Reproducible (reinstall from manifests)\n"
                            "\n"
                            "Other lists to replay by hand:\n"
                            "- `manifest/npm-global.txt`\n" +
                            manualSteps);

    m.manifests = {"manifest/Brewfile"}; // the list header stays even with nothing under it
    EXPECT_EQ(guide(m), heading(m) +
                            "\n"
                            "## 1. Reproducible (reinstall from manifests)\n"
                            "\n"
                            "```sh\n"
                            "brew bundle --file manifest/Brewfile\n"
                            "```\n"
                            "\n"
                            "Other lists to replay by hand:\n" +
                            manualSteps);
}

TEST_F(RestoreGuideTest, SecretsOnlyKeepTheirNumbersAndListAtMostForty) {
    BackupManifest m = base();
    m.hasSecrets = true;
    for (int i = 1; i <= 41; ++i)
        m.secretPaths.push_back(home / (".secrets/key" + std::to_string(i)));
    std::string doc = guide(m);
    EXPECT_EQ(doc.find("## 1."), std::string::npos);
    EXPECT_EQ(doc.find("## 2."), std::string::npos);
    EXPECT_NE(doc.find("`secrets.stowage` holds 41 secret file(s), AES-GCM encrypted.\n"), std::string::npos);
    EXPECT_NE(doc.find("- `~/.secrets/key40`\n\n## 4. Manual steps"), std::string::npos);
    EXPECT_EQ(doc.find("key41"), std::string::npos);
}

TEST_F(RestoreGuideTest, SecretPathsUseTheRecordedHomeFolder) {
    BackupManifest m = base();
    m.hasSecrets = true;
    m.homeFolder = "/Users/ann";
    m.secretPaths = {"/Users/ann/.ssh/id_rsa", "/Users/annex/x", "/Users/ann"};
    std::string doc = guide(m);
    EXPECT_NE(doc.find("- `~/.ssh/id_rsa`\n- `/Users/annex/x`\n- `~`\n"), std::string::npos);
}

TEST_F(RestoreGuideTest, WriteRestoreDocReplacesTheFileAndPassesWriteErrorsOn) {
    BackupManifest m = base();
    std::string root = home.makeDir("Backup");
    home.writeFile("Backup/RESTORE.md", "old guide");
    ScopedEnv lcAll("LC_ALL", "en_US.UTF-8");
    ScopedEnv tz("TZ", "UTC");
    DirectFileAccess access;
    writeRestoreDoc(m, root, access);
    EXPECT_EQ(slurp(root + "/RESTORE.md"), guide(m));

    FaultInjectingFileAccess faulty;
    faulty.failOn(FaultInjectingFileAccess::Operation::write, 1);
    m.configs = {{"/a", "config/abs/_a"}};
    EXPECT_THROW(writeRestoreDoc(m, root, faulty), BackupError);
    EXPECT_EQ(slurp(root + "/RESTORE.md"), guide(base())); // the previous guide is intact
}
