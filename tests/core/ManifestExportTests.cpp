#include "core/BackupError.hpp"
#include "core/Json.hpp"
#include "core/ManifestExport.hpp"
#include "support/FakeTools.hpp"
#include "support/FaultInjectingFileAccess.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

using namespace stowage;
using stowage::testing::FaultInjectingFileAccess;
using stowage::testing::ScopedEnv;
using stowage::testing::slurp;
using stowage::testing::TempHome;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::MatchesRegex;
namespace fs = std::filesystem;

namespace {

const std::string noHomebrew = "Homebrew not found \u2014 skipping Brewfile.";

/// A temporary home whose search path holds only the fake tools a test installs, so the machine's
/// own brew, npm, pip3 or cargo never answer.
class ManifestTest : public ::testing::Test {
protected:
    TempHome home;
    stowage::testing::FakeTools tools{home};
    DirectFileAccess access;
    std::string root = home.makeDir("Backup");
    std::vector<std::string> warnings;

    /// Every tool, the Linux package tools answering with hostile lines among good ones.
    void allTools() {
        tools.script("brew", "[ \"$1 $2 $3 $5\" = \"bundle dump --file --force\" ] || exit 9\n"
                             "printf 'brew \"git\"\\ncask \"firefox\"\\n' > \"$4\"\n");
        tools.answer("crontab", "-l", "0 * * * * /usr/local/bin/sync\n");
        tools.answer("mas", "list", "497799835 Xcode (15.0)\n");
        tools.answer("pip3", "list --format=freeze", "requests==2.31.0\nrich==13.7.0\n");
        tools.answer("code", "--list-extensions", "ms-python.python\nrust-lang.rust-analyzer\n");
        tools.answer("npm", "ls -g --depth=0",
                     "/usr/lib\n\u251c\u2500\u2500 left-pad@1.3.0\n\u251c\u2500\u2500 @scope/tool@1.2.3\n"
                     "\u2502 \u2514\u2500\u2500 nested@1.0.0\n\u2514\u2500\u2500 pkg\n\u2514\u2500\u2500 @scoped-only\n"
                     "+-- ascii@1.0.0\n\u2514\u2500\u2500 left-pad@1.3.0 deduped\r\n\u2514\u2500\u2500 @1\n"
                     "\u2514\u2500\u2500 x@\n\u2514\u2500\u2500\u00a0nbsp@1\n");
        tools.answer("cargo", "install --list",
                     "mytool v0.1.0:\n    mytool\n\tbin\nripgrep v14.0.0 (/src/rg):\r\n    rg\n\u00a0nbsp-indented\n"
                     "\u3000ideographic\nsolo\na  b\n");
        const std::string go = home / "go";
        tools.answer("apt-mark", "showmanual", "git\nlibc6:amd64\nfoo; rm -rf ~\n$(reboot)\ngit\n");
        tools.answer("flatpak", "list --app --columns=application,origin,installation",
                     "org.gnome.Builder\tgnome-nightly\tuser\ncom.evil.App\t$(x)\tsystem\ncom.spotify."
                     "Client\tflathub\tsystem\n");
        tools.answer("flatpak", "remotes --columns=name,url,options",
                     "flathub\thttps://dl.flathub.org/repo/\tsystem\ngnome-nightly\thttps://nightly.gnome.org/repo/\t"
                     "user,no-enumerate\nevil\thttps://x/$(reboot)\tsystem\n");
        tools.answer("snap", "list",
                     "Name    Version   Rev   Tracking       Publisher   Notes\n"
                     "code    1.85.1    150   latest/stable  vscode**    classic\n"
                     "core22  20231123  1033  latest/stable  canonical** base\n"
                     "snapd   2.61      20671 latest/stable  canonical** snapd\n"
                     "hello   2.10      42    -              me          -\n");
        tools.answer("pipx", "list --short", "black 24.1.0\nhttpie 3.2.2\n");
        tools.answer("go", "env GOBIN GOPATH", "\n" + go + "\n");
        tools.answer("go", "version -m " + go + "/bin",
                     go +
                         "/bin/gopls: go1.22.1\n\tpath\tgolang.org/x/tools/gopls\n\tmod\tgolang.org/x/tools/gopls\t"
                         "v0.15.2\th1:abc=\n\tdep\tgolang.org/x/mod\tv0.15.0\th1:def=\n" +
                         go + "/bin/dev: go1.22.1\n\tpath\texample.com/dev\n\tmod\texample.com/dev\t(devel)\t\n" + go +
                         "/bin/evil: go1.22.1\n\tpath\t$(reboot)\n");
        tools.answer(
            "systemctl", "--user list-unit-files --state=enabled --no-legend --plain --no-pager",
            "syncthing.service enabled enabled\nbackup@home.timer enabled enabled\nbad'unit.service enabled -\n");
        tools.answer("dconf", "dump /", "[org/gnome/desktop/interface]\ncolor-scheme='prefer-dark'\n");
    }

    std::string stored(const std::string& name) const { return slurp(root + "/manifest/" + name); }
    bool has(const std::string& name) const { return fs::exists(root + "/manifest/" + name); }
};

} // namespace

// ---- exportManifests ---------------------------------------------------------------------------

// Every list holds only well-formed entries, in the same order one after another and on the pool, and
// the guide's commands, run as a user would paste them, hand every entry whole to its tool.
TEST_F(ManifestTest, EveryToolGivesItsListInOrderAndTheGuideReplaysThem) {
    allTools();
    const std::vector<std::pair<std::string, std::string>> lists{
        {"Brewfile", "brew \"git\"\ncask \"firefox\"\n"},
        {"crontab.txt", "0 * * * * /usr/local/bin/sync\n"},
        {"appstore.txt", "497799835 Xcode (15.0)\n"},
        {"pip-global.txt", "requests==2.31.0\nrich==13.7.0\n"},
        {"vscode-extensions.txt", "ms-python.python\nrust-lang.rust-analyzer\n"},
        {"npm-global.txt", "left-pad\n@scope/tool\nnested\npkg\n@scoped-only\nleft-pad\n@1\nx"},
        {"cargo-installed.txt", "mytool\nripgrep\nsolo\na"},
        {"apt-manual.txt", "git\nlibc6:amd64\n"},
        {"flatpak-apps.txt", "org.gnome.Builder\tgnome-nightly\tuser\ncom.spotify.Client\tflathub\tsystem\n"},
        {"flatpak-remotes.txt",
         "flathub\thttps://dl.flathub.org/repo/\tsystem\ngnome-nightly\thttps://nightly.gnome.org/repo/\tuser\n"},
        {"snaps.txt", "code\tlatest/stable\tclassic\nhello\tlatest/stable\tstrict\n"},
        {"pipx.txt", "black\nhttpie\n"},
        {"go-binaries.txt", "golang.org/x/tools/gopls@v0.15.2\nexample.com/dev@latest\n"},
        {"systemd-user-enabled.txt", "syncthing.service\nbackup@home.timer\n"},
        {"dconf.ini", "[org/gnome/desktop/interface]\ncolor-scheme='prefer-dark'\n"}};
    BackupManifest manifest;
    for (const auto& list : lists)
        manifest.manifests.push_back("manifest/" + list.first);
    for (unsigned parallelism : {1u, 4u}) {
        SCOPED_TRACE(parallelism);
        fs::remove_all(root + "/manifest");
        EXPECT_EQ(exportManifests(root, access, warnings, parallelism), manifest.manifests);
        EXPECT_THAT(warnings, IsEmpty());
        for (const auto& [name, text] : lists)
            EXPECT_EQ(stored(name), text) << name;
    }

    manifest.manifests.push_back("manifest/pacman-foreign.txt");
    const std::string guide = restoreGuide(manifest, "en_US", "UTC");
    EXPECT_NE(guide.find("After step 2 has put your unit files back:\n```sh\nxargs -d '\\n' -a "
                         "manifest/systemd-user-enabled.txt systemctl --user enable\n```\n"),
              std::string::npos);
    EXPECT_NE(guide.find("- `manifest/cargo-installed.txt`\n- `manifest/pacman-foreign.txt`\n"), std::string::npos)
        << guide;
    stowage::testing::FakeTools replay(home, "replaybin");
    replay.script("sudo", "exec \"$@\"\n");
    for (const char* tool : {"brew", "apt-get", "flatpak", "snap", "pipx", "go", "systemctl"})
        replay.script(tool, "");
    replay.script("dconf", "/bin/cat > \"${0%/*}/dconf.in\"\n");
    std::string commands;
    for (std::size_t at = guide.find("```sh\n"); at != std::string::npos; at = guide.find("```sh\n", at + 1))
        commands += guide.substr(at + 6, guide.find("```", at + 6) - at - 6);
    home.writeFile("replay.sh", commands);
    ASSERT_EQ(stowage::testing::sh("cd '" + root + "' && PATH='" + replay.bin() + ":/usr/bin:/bin' /bin/sh '" +
                                   home / "replay.sh" + "'"),
              0);
    EXPECT_EQ(replay.calls(),
              "brew bundle --file manifest/Brewfile\n"
              "sudo apt-get install -y git libc6:amd64\napt-get install -y git libc6:amd64\n"
              "flatpak remote-add --if-not-exists --system flathub https://dl.flathub.org/repo/\n"
              "flatpak remote-add --if-not-exists --user gnome-nightly https://nightly.gnome.org/repo/\n"
              "flatpak install -y --user gnome-nightly org.gnome.Builder\n"
              "flatpak install -y --system flathub com.spotify.Client\n"
              "sudo snap install code --channel=latest/stable --classic\n"
              "snap install code --channel=latest/stable --classic\n"
              "sudo snap install hello --channel=latest/stable\nsnap install hello --channel=latest/stable\n"
              "pipx install black\npipx install httpie\n"
              "go install golang.org/x/tools/gopls@v0.15.2\ngo install example.com/dev@latest\n"
              "dconf load /\nsystemctl --user enable syncthing.service backup@home.timer\n");
    EXPECT_EQ(slurp(replay.bin() + "/dconf.in"), lists.back().second);
}

TEST_F(ManifestTest, FailedWritesAreIgnoredAndWithoutHomebrewTheOtherListsStillCome) {
    allTools();
    FaultInjectingFileAccess faulty;
    faulty.failFrom(FaultInjectingFileAccess::Operation::write, 1);
    faulty.failFrom(FaultInjectingFileAccess::Operation::createDirectory, 1);
    home.makeDir("Backup/manifest"); // brew writes its own file
    std::vector<std::string> expected = exportManifests(root, faulty, warnings);
    EXPECT_EQ(expected.size(), 15u);
    EXPECT_EQ(faulty.calls(FaultInjectingFileAccess::Operation::write), 14);
    EXPECT_TRUE(has("Brewfile") && !has("crontab.txt"));

    fs::remove(tools.bin() + "/brew");
    expected.erase(expected.begin());
    EXPECT_EQ(exportManifests(root, access, warnings), expected);
    EXPECT_THAT(warnings, ElementsAre(noHomebrew));
}

TEST_F(ManifestTest, ListsNeedOutputWorthKeepingToolsNeverStartInTheCurrentFolderAndErrorsAreCut) {
    EXPECT_THAT(exportManifests(root, access, warnings), IsEmpty());
    EXPECT_THAT(warnings, ElementsAre(noHomebrew));
    EXPECT_TRUE(fs::is_directory(root + "/manifest") && fs::is_empty(root + "/manifest"));

    // Tool, arguments, output, status, list, what it keeps (empty: no list).
    const std::vector<std::tuple<std::string, std::string, std::string, int, std::string, std::string>> cases{
        {"crontab", "-l", "0 * * * * job\n", 1, "crontab.txt", ""}, // needs success
        {"crontab", "-l", "  \n\t\n", 0, "crontab.txt", ""},
        {"crontab", "-l", "\n# nightly\n@daily job\n", 0, "crontab.txt", "\n# nightly\n@daily job\n"}, // untrimmed
        // The other tools keep what a failed run printed.
        {"mas", "list", "497799835 Xcode (15.0)\n", 1, "appstore.txt", "497799835 Xcode (15.0)\n"},
        {"pip3", "list --format=freeze", "rich==13.7.0\n", 3, "pip-global.txt", "rich==13.7.0\n"},
        {"code", "--list-extensions", "   \n", 0, "vscode-extensions.txt", ""},
        // A tree line with nothing after the branch is a name, but an empty list of names is no file.
        {"npm", "ls -g --depth=0", "/usr/local/lib\n\u2514\u2500\u2500 \n", 0, "npm-global.txt", ""},
        {"cargo", "install --list", "    mytool\n\trg\n", 0, "cargo-installed.txt", ""}};
    for (const auto& [tool, arguments, output, status, file, kept] : cases) {
        SCOPED_TRACE(tool + " " + output);
        fs::remove_all(root + "/manifest");
        stowage::testing::FakeTools only(home, "bin-" + tool + std::to_string(output.size()));
        only.answer(tool, arguments, output, status);
        EXPECT_EQ(exportManifests(root, access, warnings),
                  kept.empty() ? std::vector<std::string>{} : std::vector{"manifest/" + file});
        EXPECT_EQ(stored(file), kept);
    }

    tools.script("pip3", "pwd\n");
    const auto saved = fs::current_path();
    fs::current_path(home.makeDir("Downloads/stranger"));
    exportManifests(root, access, warnings);
    fs::current_path(saved);
    EXPECT_EQ(stored("pip-global.txt"), "/\n");

    // A failing brew dump warns with the first 120 characters of its error: of 130 characters, each
    // two bytes in UTF-8, the cut is by character, never inside one.
    warnings.clear();
    std::string err;
    for (int i = 0; i < 130; ++i)
        err += i % 10 == 9 ? "\u00e9" : "\u00e8";
    tools.script("brew", "printf '%s' '" + err + "' >&2\nexit 1\n");
    EXPECT_THAT(exportManifests(root, access, warnings), ElementsAre("manifest/pip-global.txt"));
    EXPECT_THAT(warnings, ElementsAre("brew bundle dump failed: " + err.substr(0, 240)));
    warnings.clear();
    tools.script("brew", "echo 'Error: No such file or directory' >&2\nexit 2\n");
    exportManifests(root, access, warnings);
    EXPECT_THAT(warnings, ElementsAre("brew bundle dump failed: Error: No such file or directory\n"));
}

// ---- Parsers -----------------------------------------------------------------------------------

TEST(ManifestParsers, LinesEndAtEveryNewlineKindAndCutsCountVisibleCharacters) {
    EXPECT_THAT(splitManifestLines("a\nb\rc\r\nd\ve\ff\u0085g\u2028h\u2029i"),
                ElementsAre("a", "b", "c", "d", "e", "f", "g", "h", "i"));
    EXPECT_THAT(splitManifestLines("\n\r\n\r\rx\n\n"), ElementsAre("x"));
    EXPECT_THAT(splitManifestLines("caf\u00e9 \u2500\u2500"), ElementsAre("caf\u00e9 \u2500\u2500"));

    // Characters as users see them: a letter with combining accents, a flag, a line end; bad bytes replaced.
    const std::vector<std::tuple<std::string, int, std::string>> cuts{
        {"abcdef", 3, "abc"},
        {"ab", 120, "ab"},
        {"e\u0301e\u0301e\u0301", 2, "e\u0301e\u0301"},
        {"\U0001F1E9\U0001F1EA\U0001F1EB\U0001F1F7", 1, "\U0001F1E9\U0001F1EA"},
        {"a\r\nb", 2, "a\r\n"},
        {"ok\xff!", 3, "ok\xEF\xBF\xBD"},
        {"abc", 0, ""}};
    for (const auto& [text, count, first] : cuts)
        EXPECT_EQ(firstCharacters(text, count), first) << text;
}

// ---- Installed apps ----------------------------------------------------------------------------

TEST_F(ManifestTest, InstalledAppsAreListedWhenAnyIsFoundEvenWhenTheirWritesFail) {
    BackupResult result(root);
    auto shared = std::make_shared<DirectFileAccess>();
    exportInstalledApps(root, shared, result);
    EXPECT_TRUE(result.manifests.empty() && result.installedApps == 0 && !has("apps.md") && !has("apps.json"));

    home.makeDir("Applications/Editor.app/Contents");
    home.writeFile("Applications/Store Thing.app/Contents/_MASReceipt/receipt", "r");
    home.makeDir("Applications/Not An App");
    home.makeDir("Backup/manifest");
    exportInstalledApps(root, shared, result);
    EXPECT_THAT(result.manifests, ElementsAre("manifest/apps.md", "manifest/apps.json"));
    EXPECT_EQ(std::pair(result.installedApps, result.manualApps), std::pair(2, 1));
    EXPECT_NE(stored("apps.md").find("2 app(s) found \u00B7 1 need manual reinstall"), std::string::npos);
    EXPECT_EQ(stored("apps.json"), R"([{"name":"Editor","path":")" + home / "Applications/Editor.app" +
                                       R"(","source":"manual"},{"name":"Store Thing","path":")" +
                                       home / "Applications/Store Thing.app" + R"(","source":"appStore"}])");

    auto faulty = std::make_shared<FaultInjectingFileAccess>();
    faulty->failFrom(FaultInjectingFileAccess::Operation::write, 1);
    BackupResult failed(root);
    EXPECT_NO_THROW(exportInstalledApps(root, faulty, failed));
    EXPECT_EQ(failed.manifests, result.manifests);
}

// ---- RESTORE.md --------------------------------------------------------------------------------

namespace {

BackupManifest madeAt() {
    BackupManifest m;
    m.createdAt = *json::parseIso8601("2026-12-05T11:04:37Z");
    return m;
}

const std::string manualSteps =
    "\n## 4. Manual steps no tool can do for you\n\n"
    "- Re-auth CLIs: `gh auth login`, `gcloud auth login`, `aws sso login`, `az login`\n"
    "- Re-add 2FA / authenticator seeds\n"
    "- App Store Connect `.p8` keys can't be re-downloaded \u2014 if lost, revoke & reissue, then update CI\n"
    "- Re-register any SSH public keys whose private keys you rotated\n";

} // namespace

// A medium date and short time in the given locale and zone, else the user's; ICU spells the US form
// "Dec 5, 2026, 11:04 AM" (a narrow no-break space before AM in newer data).
TEST(RestoreGuideTest, DateIsMediumDateAndShortTimeInTheGivenLocaleAndZone) {
    const Timestamp t = madeAt().createdAt;
    EXPECT_THAT(formatGuideDate(t, "en_US", "Asia/Tokyo"), MatchesRegex("Dec 5, 2026(,| at) 8:04(\u202f| )PM"));
    EXPECT_EQ(formatGuideDate(t, "de_DE", "UTC"), "05.12.2026, 11:04");
    ScopedEnv lcAll("LC_ALL", "de_DE.UTF-8"), tz("TZ", "Europe/Berlin");
    EXPECT_EQ(formatGuideDate(t), "05.12.2026, 12:04");
    ScopedEnv posix("LC_ALL", "C");
    EXPECT_THAT(formatGuideDate(t, {}, "UTC"), MatchesRegex("Dec 5, 2026(,| at) 11:04(\u202f| )AM"));
}

TEST(RestoreGuideTest, SectionsInOrderWithCountsCommandsAndShortenedPaths) {
    TempHome home;
    BackupManifest m = madeAt();
    const std::string heading = "# Stowage restore\n\nGenerated " + formatGuideDate(m.createdAt, "en_US", "UTC") +
                                ".\nRun these steps on your **fresh** computer, in order.\n";
    EXPECT_EQ(restoreGuide(m, "en_US", "UTC"), heading + manualSteps);

    for (const char* name : {"Brewfile", "crontab.txt", "cargo-installed.txt", "apps.md", "apps.json"})
        m.manifests.push_back(std::string("manifest/") + name);
    m.configs = {{home / ".zshrc", "config/home/.zshrc"}, {"/etc/hosts", "config/abs/_etc_hosts"}};
    // At most forty secret paths are listed, shortened by the recorded home folder, not this one.
    m.hasSecrets = true;
    m.homeFolder = "/Users/ann";
    m.secretPaths = {"/Users/ann/.ssh/id_ed25519", "/etc/ssl/private/key.pem", "/Users/ann", "/Users/annex/x"};
    for (int i = 5; i <= 41; ++i)
        m.secretPaths.push_back("/Users/ann/.secrets/key" + std::to_string(i));
    const std::string doc = restoreGuide(m, "en_US", "UTC");
    EXPECT_EQ(doc.rfind(heading, 0), 0u);
    std::size_t at = 0;
    for (const char* part :
         {"\n## 1. Reproducible (reinstall from manifests)\n\n```sh\nbrew bundle --file manifest/Brewfile\n```\n",
          "Open `manifest/apps.md` for every installed app",
          "Other lists to replay by hand:\n- `manifest/crontab.txt`\n- `manifest/cargo-installed.txt`\n"
          "- `manifest/apps.md`\n- `manifest/apps.json`\n\n## 2. Config\n",
          "```sh\nstowage restore --config\n```\n\nThis writes 2 file(s) back to their original locations.\n",
          "## 3. Secrets (encrypted)\n\n`secrets.stowage` holds 41 secret file(s), AES-GCM encrypted.\n",
          "`--recovery-code-file FILE` or `STOWAGE_RECOVERY_CODE`", "```sh\nstowage restore --secrets\n```\n",
          "- `~/.ssh/id_ed25519`\n- `/etc/ssl/private/key.pem`\n- `~`\n- `/Users/annex/x`\n- `~/.secrets/key5`\n",
          "- `~/.secrets/key40`\n\n## 4. Manual steps"}) {
        at = doc.find(part, at);
        EXPECT_NE(at, std::string::npos) << part << "\n" << doc;
    }
    EXPECT_TRUE(doc.ends_with(manualSteps) && doc.find("key41") == std::string::npos);
    // A backup that recorded no home shortens by this one.
    BackupManifest older = m;
    older.homeFolder.reset();
    older.secretPaths = {home / ".ssh/id_ed25519", "/Users/ann/.ssh/id_rsa"};
    EXPECT_NE(restoreGuide(older, "en_US", "UTC").find("- `~/.ssh/id_ed25519`\n- `/Users/ann/.ssh/id_rsa`\n"),
              std::string::npos);

    // Written with the atomic write: a failed write leaves the previous guide whole.
    const std::string root = home.makeDir("Backup");
    ScopedEnv lcAll("LC_ALL", "en_US.UTF-8");
    ScopedEnv tz("TZ", "UTC");
    DirectFileAccess access;
    writeRestoreDoc(m, root, access);
    EXPECT_EQ(slurp(root + "/RESTORE.md"), doc);
    FaultInjectingFileAccess faulty;
    faulty.failOn(FaultInjectingFileAccess::Operation::write, 1);
    EXPECT_THROW(writeRestoreDoc(madeAt(), root, faulty), BackupError);
    EXPECT_EQ(slurp(root + "/RESTORE.md"), doc);
}
