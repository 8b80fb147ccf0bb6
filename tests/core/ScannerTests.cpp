#include "core/DefaultKnowledgeBase.hpp"
#include "core/FileAccess.hpp"
#include "core/Log.hpp"
#include "core/Paths.hpp"
#include "core/Scanner.hpp"
#include "support/TempHome.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <set>

using namespace stowage;
using stowage::testing::sh;
using stowage::testing::TempHome;

namespace {

ArtifactRule pathsRule(const std::string& id, Tier tier, std::vector<std::string> patterns) {
    return ArtifactRule{
        id,       id,        "Test", tier, Risk::high, tier == Tier::secret, ScanKind::paths, std::move(patterns),
        "detail", "recovery"};
}

ArtifactRule envRule() {
    return ArtifactRule{"env-files", "Project .env files", "Secrets", Tier::secret, Risk::high,
                        true,        ScanKind::envFiles,   {},        "d",          "r"};
}

/// Counts begin/end calls per path on top of the real file system.
class RecordingAccess : public DirectFileAccess {
public:
    bool beginAccess(const std::string& path) override {
        std::lock_guard lock(mutex);
        begins.push_back(path);
        return true;
    }
    void endAccess(const std::string& path) override {
        std::lock_guard lock(mutex);
        ends.push_back(path);
    }
    std::vector<std::string> begins, ends;
    std::mutex mutex;
};

std::vector<std::string> pathsOf(const std::vector<FoundPath>& found) {
    std::vector<std::string> result;
    for (const auto& f : found)
        result.push_back(f.path);
    return result;
}

std::vector<std::string> sorted(std::vector<std::string> v) {
    std::sort(v.begin(), v.end());
    return v;
}

void gitInit(const std::string& dir) {
    ASSERT_EQ(sh("git -C '" + dir + "' init -q && git -C '" + dir + "' config user.email t@e.st && git -C '" + dir +
                 "' config user.name T"),
              0);
}

void gitCommitAll(const std::string& dir) {
    ASSERT_EQ(sh("git -C '" + dir + "' add -A && git -C '" + dir + "' commit -qm c"), 0);
}

} // namespace

class ScannerTest : public ::testing::Test {
protected:
    TempHome home;
    std::shared_ptr<RecordingAccess> access = std::make_shared<RecordingAccess>();

    Scanner scanner(std::vector<ArtifactRule> rules, std::vector<std::string> roots = {"~/Development"},
                    std::vector<std::string> exclude = {}, int maxEnv = 400) {
        return Scanner(std::move(rules), std::move(roots), maxEnv, std::move(exclude), access);
    }
};

TEST_F(ScannerTest, EmptyRuleListStillBracketsTheHomeFolder) {
    auto inv = scanner({}).scan();
    EXPECT_TRUE(inv.findings.empty());
    EXPECT_EQ(access->begins, std::vector<std::string>{home.path()});
    EXPECT_EQ(access->ends, std::vector<std::string>{home.path()});
}

TEST_F(ScannerTest, GlobPatternsMatchOneComponentAndSkipHiddenNames) {
    home.writeFile(".ssh/id_ed25519", "k");
    home.writeFile(".ssh/id_ed25519.pub", "p");
    home.writeFile(".ssh/.id_x", "h");
    home.writeFile(".ssh/sub/id_deep", "d");
    auto found = scanner({}).matchPaths({"~/.ssh/id_*"});
    EXPECT_EQ(sorted(pathsOf(found)), sorted({home / ".ssh/id_ed25519", home / ".ssh/id_ed25519.pub"}));
}

TEST_F(ScannerTest, SamePathThroughTwoPatternsIsListedOnceButInBothRules) {
    home.writeFile(".ssh/id_rsa", "k");
    auto a = pathsRule("a", Tier::secret, {"~/.ssh/id_*", "~/.ssh/*_rsa", "~/.ssh/id_rsa"});
    auto b = pathsRule("b", Tier::secret, {"~/.ssh/id_rsa"});
    auto inv = scanner({a, b}).scan();
    ASSERT_EQ(inv.findings.size(), 2u);
    EXPECT_EQ(pathsOf(inv.findings[0].paths), std::vector<std::string>{home / ".ssh/id_rsa"});
    EXPECT_EQ(pathsOf(inv.findings[1].paths), std::vector<std::string>{home / ".ssh/id_rsa"});
}

TEST_F(ScannerTest, LiteralFolderIsOneEntryWithItsOwnSize) {
    home.writeFile(".config/nvim/init.lua", std::string(5000, 'x'));
    home.writeFile(".config/nvim/lua/a.lua", "y");
    auto found = scanner({}).matchPaths({"~/.config/nvim", "~/.config/missing"});
    ASSERT_EQ(found.size(), 1u);
    EXPECT_TRUE(found[0].isDirectory);
    EXPECT_LT(found[0].bytes, 5000);
    EXPECT_TRUE(found[0].modified.has_value());
}

TEST_F(ScannerTest, RulesWithoutMatchesProduceNoFindingAndOrderFollowsTheCatalog) {
    home.writeFile(".gitconfig", "[user]");
    home.writeFile(".npmrc", "//registry:_authToken=x");
    auto inv = scanner({pathsRule("npm", Tier::secret, {"~/.npmrc"}), pathsRule("none", Tier::secret, {"~/.nope"}),
                        pathsRule("git", Tier::config, {"~/.gitconfig"})})
                   .scan();
    ASSERT_EQ(inv.findings.size(), 2u);
    EXPECT_EQ(inv.findings[0].rule.id, "npm");
    EXPECT_EQ(inv.findings[1].rule.id, "git");
    EXPECT_EQ(inv.findings[0].paths[0].tracking, GitTracking::unknown()) << "secrets are never checked in git";
}

TEST_F(ScannerTest, ExcludesDropPathsAndWholeFindings) {
    home.writeFile(".ssh/server.pem", "k");
    home.writeFile(".ssh/id_rsa", "k");
    auto rule = pathsRule("ssh", Tier::secret, {"~/.ssh/id_*", "~/.ssh/*.pem"});
    auto inv = scanner({rule}, {}, {"*.pem"}).scan();
    ASSERT_EQ(inv.findings.size(), 1u);
    EXPECT_EQ(pathsOf(inv.findings[0].paths), std::vector<std::string>{home / ".ssh/id_rsa"});
    EXPECT_TRUE(scanner({rule}, {}, {"*.pem", "id_*"}).scan().findings.empty());
}

TEST_F(ScannerTest, EnvHuntFindsOnlyEnvNamesAndHonoursPrunesExcludesAndDepth) {
    home.writeFile("Development/app/.env", "A=1");
    home.writeFile("Development/app/.env.local", "A=1");
    home.writeFile("Development/app/.env.example", "A=1");
    home.writeFile("Development/app/.envrc", "x");
    home.writeFile("Development/app/env", "x");
    home.writeFile("Development/app/x.env", "x");
    home.writeFile("Development/other/.env/inner/.env", "nested in a folder named .env");
    for (const char* pruned : {"node_modules", ".git", "build", "vendor", "target", "Carthage"})
        home.writeFile(std::string("Development/app/") + pruned + "/.env", "pruned");
    home.writeFile("Development/app/secret-stuff/.env", "excluded");
    // Eight folders between root and file are allowed; nine are not.
    home.writeFile("Development/1/2/3/4/5/6/7/8/.env", "deep ok");
    home.writeFile("Development/1/2/3/4/5/6/7/8/9/.env", "too deep");

    auto found = scanner({}, {"~/Development"}, {"**/secret-stuff"}).scanEnvFiles();
    EXPECT_EQ(sorted(pathsOf(found)),
              sorted({home / "Development/app/.env", home / "Development/app/.env.local",
                      home / "Development/app/.env.example", home / "Development/other/.env/inner/.env",
                      home / "Development/1/2/3/4/5/6/7/8/.env"}));
    for (const auto& f : found)
        EXPECT_FALSE(f.isDirectory);
}

TEST_F(ScannerTest, EnvHuntCapStopsAcrossRootsAndRootsAreNotDeduplicated) {
    for (int i = 0; i < 5; ++i)
        home.writeFile("a/p" + std::to_string(i) + "/.env", "x");
    home.writeFile("b/q/.env", "x");
    EXPECT_EQ(scanner({}, {"~/a", "~/b"}, {}, 3).scanEnvFiles().size(), 3u);
    // The cap holds within one folder too.
    for (const char* name : {".env", ".env.a", ".env.b", ".env.c", ".env.d"})
        home.writeFile(std::string("c/") + name, "x");
    EXPECT_EQ(scanner({}, {"~/c"}, {}, 3).scanEnvFiles().size(), 3u);
    EXPECT_TRUE(scanner({}, {"~/c"}, {}, 0).scanEnvFiles().empty());
    EXPECT_EQ(scanner({}, {"~/a", "~/b"}, {}, 400).scanEnvFiles().size(), 6u);
    // Folders are hunted side by side, yet a cap keeps exactly the first files of one depth-first walk.
    home.writeFile("a/p1/x/.env", "x");
    home.writeFile("a/p1/y/z/.env.local", "x");
    const auto all = pathsOf(scanner({}, {"~/a"}, {}, 400).scanEnvFiles());
    ASSERT_EQ(all.size(), 7u);
    for (int cap : {1, 2, 4, 6})
        EXPECT_EQ(pathsOf(scanner({}, {"~/a"}, {}, cap).scanEnvFiles()),
                  std::vector<std::string>(all.begin(), all.begin() + cap));
    // Overlapping roots yield the same file once per root.
    EXPECT_EQ(scanner({}, {"~/b", "~/b/q"}, {}, 400).scanEnvFiles().size(), 2u);
    // A missing root is skipped but still bracketed.
    access->begins.clear();
    EXPECT_TRUE(scanner({}, {"~/missing"}).scanEnvFiles().empty());
    EXPECT_EQ(access->begins, std::vector<std::string>{home / "missing"});
}

TEST_F(ScannerTest, EnvRuleUsesTheHuntNotItsPaths) {
    home.writeFile("Development/app/.env", "A=1");
    auto inv = scanner({envRule()}).scan();
    ASSERT_EQ(inv.findings.size(), 1u);
    EXPECT_EQ(inv.findings[0].rule.id, "env-files");
    EXPECT_EQ(pathsOf(inv.findings[0].paths), std::vector<std::string>{home / "Development/app/.env"});
}

TEST_F(ScannerTest, ConfigFilesGetTheirGitState) {
    // A dotfiles repository holding the real file, linked into the home folder.
    const std::string dotfiles = home.makeDir("dotfiles");
    gitInit(dotfiles);
    home.writeFile("dotfiles/zshrc", "export A=1");
    gitCommitAll(dotfiles);
    std::filesystem::create_symlink(dotfiles + "/zshrc", home / ".zshrc");
    // Inside a repository but never added.
    home.writeFile("dotfiles/bashrc", "x");
    std::filesystem::create_symlink(dotfiles + "/bashrc", home / ".bashrc");
    // Not in any repository (the temp home is not inside one).
    home.writeFile(".profile", "x");

    auto inv = scanner({pathsRule("shell", Tier::config, {"~/.zshrc", "~/.bashrc", "~/.profile"})}).scan();
    ASSERT_EQ(inv.findings.size(), 1u);
    const auto& p = inv.findings[0].paths;
    ASSERT_EQ(p.size(), 3u);
    EXPECT_EQ(p[0].tracking, GitTracking::tracked(dotfiles));
    EXPECT_EQ(p[1].tracking, GitTracking::untracked(dotfiles));
    EXPECT_EQ(p[2].tracking, GitTracking::notInRepo());
    EXPECT_TRUE(inv.findings[0].isUnbackedConfigGap());
}

TEST_F(ScannerTest, IgnoredFileInsideARepositoryIsUntracked) {
    gitInit(home.path());
    home.writeFile(".gitignore", ".gitconfig\n");
    home.writeFile(".gitconfig", "[user]");
    gitCommitAll(home.path());
    auto inv = scanner({pathsRule("git", Tier::config, {"~/.gitconfig", "~/.gitignore"})}).scan();
    ASSERT_EQ(inv.findings.size(), 1u);
    EXPECT_EQ(inv.findings[0].paths[0].tracking, GitTracking::untracked(home.path()));
    EXPECT_EQ(inv.findings[0].paths[1].tracking, GitTracking::tracked(home.path()));
}

TEST_F(ScannerTest, RepositoryGitCannotReadLeavesTheStateUnknown) {
    const std::string dotfiles = home.makeDir("dotfiles");
    gitInit(dotfiles);
    home.writeFile("dotfiles/zshrc", "export A=1");
    gitCommitAll(dotfiles);
    home.writeFile("dotfiles/.git/index", "damaged");
    EXPECT_EQ(scanner({}).gitTracking(dotfiles + "/zshrc"), GitTracking::unknown());
}

TEST_F(ScannerTest, FileDirectlyInRootFolderIsNotInRepo) {
    EXPECT_EQ(scanner({}).gitTracking("/etc-does-not-matter"), GitTracking::notInRepo());
}

TEST_F(ScannerTest, LogsOneSummaryLineWithTheFindingCount) {
    std::vector<std::pair<std::string, std::string>> lines;
    Log::setSink([&](const std::string& c, const std::string& m) { lines.emplace_back(c, m); });
    home.writeFile(".npmrc", "x");
    scanner({pathsRule("npm", Tier::secret, {"~/.npmrc"})}).scan();
    Log::setSink(nullptr);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].first, "scan");
    EXPECT_EQ(lines[0].second, "scan complete: 1 findings");
}

TEST_F(ScannerTest, DefaultCatalogFindsTypicalDeveloperState) {
    home.writeFile(".ssh/id_ed25519", "k", 0600);
    home.writeFile(".gnupg/private-keys-v1.d/A.key", "k");
    home.writeFile(".gnupg/private-keys-v1.d/B.key", "k");
    home.writeFile(".aws/credentials", "[default]");
    home.writeFile("Development/x.p8", "p8");
    home.writeFile("Development/sub/y.p8", "deeper p8 is not matched");
    home.writeFile(".gitconfig", "[user]");
    home.writeFile(".password-store/email.gpg", "x");
    auto inv = scanner(DefaultKnowledgeBase::rules()).scan();
    std::map<std::string, std::vector<std::string>> byRule;
    for (const auto& f : inv.findings)
        byRule[f.rule.id] = sorted(pathsOf(f.paths));
    EXPECT_EQ(byRule["ssh-keys"], std::vector<std::string>{home / ".ssh/id_ed25519"});
    EXPECT_EQ(byRule["gpg-keys"],
              sorted({home / ".gnupg/private-keys-v1.d/A.key", home / ".gnupg/private-keys-v1.d/B.key"}));
    EXPECT_EQ(byRule["aws-credentials"], std::vector<std::string>{home / ".aws/credentials"});
    EXPECT_EQ(byRule["apple-signing"], std::vector<std::string>{home / "Development/x.p8"});
    EXPECT_EQ(byRule["git-config"], std::vector<std::string>{home / ".gitconfig"});
    EXPECT_EQ(byRule["pass-store"], std::vector<std::string>{home / ".password-store"});
    EXPECT_EQ(inv.secretCount(), 5);
}

// A home folder whose name holds glob characters is a folder name, not a pattern: "a[1]*" must not
// also reach the sibling "a1x".
TEST_F(ScannerTest, HomeFolderWithGlobCharactersIsTakenLiterally) {
    home.writeFile("a[1]*/.ssh/id_x", "k");
    home.writeFile("a1x/.ssh/id_y", "k");
    setenv("HOME", (home / "a[1]*").c_str(), 1);
    auto inv = scanner({pathsRule("keys", Tier::secret, {"~/.ssh/id_*"})}).scan();
    ASSERT_EQ(inv.findings.size(), 1u);
    EXPECT_EQ(pathsOf(inv.findings[0].paths), std::vector<std::string>{home / "a[1]*/.ssh/id_x"});
}

namespace {

/// Which folder a fixture path lives in: the XDG folders can be moved away from their defaults.
enum class Base { home, config, data };

struct LinuxFixtureEntry {
    Base base;
    /// Written as a file; the expected found path is `found` (a folder that holds it) when given.
    const char* file;
    const char* found;
    const char* rule;
    Tier tier;
};

// A Linux developer's home. Entries with no rule must not be found by any rule: caches, plugins,
// editor state and fetched grammars stay out, as do databases below the Documents folder's top level.
const std::vector<LinuxFixtureEntry>& linuxHome() {
    using B = Base;
    static const std::vector<LinuxFixtureEntry> table = {
        {B::config, "Code/User/settings.json", nullptr, "vscode-settings", Tier::config},
        {B::config, "Code/User/keybindings.json", nullptr, "vscode-settings", Tier::config},
        {B::config, "Code/User/snippets/go.json", "Code/User/snippets", "vscode-settings", Tier::config},
        {B::config, "Code/User/profiles/p1/settings.json", "Code/User/profiles", "vscode-settings", Tier::config},
        {B::config, "Code/User/workspaceStorage/x/state.vscdb", nullptr, nullptr, Tier::config},
        {B::config, "Code - Insiders/User/settings.json", nullptr, "vscode-settings", Tier::config},
        {B::config, "VSCodium/User/keybindings.json", nullptr, "vscode-settings", Tier::config},
        {B::home, ".var/app/com.visualstudio.code/config/Code/User/settings.json", nullptr, "vscode-settings",
         Tier::config},
        {B::config, "Cursor/User/settings.json", nullptr, "modern-editors", Tier::config},
        {B::config, "sublime-text/Packages/User/Preferences.sublime-settings", "sublime-text/Packages/User",
         "modern-editors", Tier::config},
        {B::config, "JetBrains/IntelliJIdea2024.1/options/ui.lnf.xml", "JetBrains/IntelliJIdea2024.1/options",
         "jetbrains-settings", Tier::config},
        {B::config, "JetBrains/PyCharm2024.1/keymaps/Mine.xml", "JetBrains/PyCharm2024.1/keymaps", "jetbrains-settings",
         Tier::config},
        {B::config, "JetBrains/PyCharm2024.1/codestyles/Team.xml", "JetBrains/PyCharm2024.1/codestyles",
         "jetbrains-settings", Tier::config},
        {B::config, "JetBrains/PyCharm2024.1/plugins/p.jar", nullptr, nullptr, Tier::config},
        {B::home, ".cache/JetBrains/PyCharm2024.1/index.dat", nullptr, nullptr, Tier::config},
        {B::config, "helix/config.toml", nullptr, "helix-config", Tier::config},
        {B::config, "helix/runtime/grammars/rust.so", nullptr, nullptr, Tier::config},
        {B::config, "emacs/init.el", nullptr, "emacs-config", Tier::config},
        {B::config, "emacs/elpa/magit/magit.el", nullptr, nullptr, Tier::config},
        {B::config, "nvim/init.lua", "nvim", "vim-neovim", Tier::config},
        {B::config, "fish/config.fish", nullptr, "shell-config", Tier::config},
        {B::config, "fish/conf.d/path.fish", "fish/conf.d", "shell-config", Tier::config},
        {B::config, "fish/functions/ll.fish", "fish/functions", "shell-config", Tier::config},
        {B::config, "fish/fish_variables", nullptr, "shell-config", Tier::config},
        {B::home, ".bash_aliases", nullptr, "shell-config", Tier::config},
        {B::home, ".inputrc", nullptr, "shell-config", Tier::config},
        {B::config, "git/config", nullptr, "git-config", Tier::config},
        {B::config, "git/ignore", nullptr, "git-config", Tier::config},
        {B::config, "git/attributes", nullptr, "git-config", Tier::config},
        {B::config, "git/credentials", nullptr, "git-credentials", Tier::secret},
        {B::home, ".git-credentials", nullptr, "git-credentials", Tier::secret},
        {B::config, "gh/hosts.yml", nullptr, "gh-cli-auth", Tier::secret},
        {B::config, "glab-cli/config.yml", nullptr, "glab-cli-auth", Tier::secret},
        {B::data, "keyrings/login.keyring", "keyrings", "desktop-keyrings", Tier::secret},
        {B::data, "kwalletd/kdewallet.kwl", "kwalletd", "desktop-keyrings", Tier::secret},
        {B::home, "Passwords.kdbx", nullptr, "keepass-databases", Tier::secret},
        {B::home, "Documents/work.kdbx", nullptr, "keepass-databases", Tier::secret},
        {B::home, "Documents/old/archive.kdbx", nullptr, nullptr, Tier::secret},
        {B::data, "gopass/stores/root/site.gpg", "gopass/stores", "gopass-store", Tier::secret},
        {B::data, "mkcert/rootCA-key.pem", "mkcert", "mkcert-ca", Tier::secret},
        {B::config, "dconf/user", nullptr, "dconf-settings", Tier::config},
        {B::config, "i3/config", "i3", "linux-window-managers", Tier::config},
        {B::config, "sway/config", "sway", "linux-window-managers", Tier::config},
        {B::config, "hypr/hyprland.conf", "hypr", "linux-window-managers", Tier::config},
        {B::config, "waybar/config.jsonc", "waybar", "linux-window-managers", Tier::config},
        {B::config, "rofi/config.rasi", "rofi", "linux-window-managers", Tier::config},
        {B::config, "polybar/config.ini", "polybar", "linux-window-managers", Tier::config},
        {B::config, "dunst/dunstrc", "dunst", "linux-window-managers", Tier::config},
        {B::home, ".Xresources", nullptr, "linux-window-managers", Tier::config},
        {B::config, "systemd/user/sync.service", "systemd/user", "systemd-user-units", Tier::config},
        {B::config, "autostart/tray.desktop", "autostart", "systemd-user-units", Tier::config},
        {B::data, "applications/tool.desktop", "applications", "desktop-entries", Tier::config},
        {B::config, "mimeapps.list", nullptr, "desktop-entries", Tier::config},
        {B::data, "fonts/Mono.ttf", "fonts", "user-fonts", Tier::config},
        {B::home, ".fonts/Old.ttf", ".fonts", "user-fonts", Tier::config},
        {B::config, "fontconfig/fonts.conf", "fontconfig", "user-fonts", Tier::config},
        {B::home, ".local/bin/deploy", ".local/bin", "personal-scripts", Tier::config},
        {B::config, "mise/config.toml", "mise", "toolchain-config", Tier::config},
        {B::home, ".asdfrc", nullptr, "toolchain-config", Tier::config},
        {B::home, ".condarc", nullptr, "toolchain-config", Tier::config},
        {B::home, ".cargo/config.toml", nullptr, "toolchain-config", Tier::config},
        {B::config, "nix/nix.conf", "nix", "nix-config", Tier::config},
        {B::config, "home-manager/home.nix", "home-manager", "nix-config", Tier::config},
        {B::home, "miniconda3/bin/conda", "miniconda3", "conda-installs", Tier::reproducible},
        {B::home, "go/bin/gopls", "go/bin", "go-binaries", Tier::reproducible},
        {B::home, "Applications/Editor.AppImage", nullptr, "appimages", Tier::reproducible},
        {B::data, "uv/python/cpython-3.12/bin/python", "uv", "python-vm", Tier::reproducible},
    };
    return table;
}

} // namespace

// The whole catalog against the fixture home, first with the XDG folders in their default places,
// then moved outside the home: the same findings, at the new places. Every rule that finds something
// is in the table, so a macOS-only rule (Library paths, LaunchAgents, iTerm2, Xcode) finds nothing.
TEST(ScannerLinuxHome, CatalogFindsExactlyTheFixtureStateWhereverTheXdgFoldersAre) {
    for (bool moved : {false, true}) {
        SCOPED_TRACE(moved ? "XDG folders moved" : "XDG folders at their defaults");
        TempHome home;
        const std::string root = paths::parent(home.path());
        const std::string config = moved ? root + "/xdg/config" : home / ".config";
        const std::string data = moved ? root + "/xdg/data" : home / ".local/share";
        setenv("XDG_CONFIG_HOME", config.c_str(), 1);
        setenv("XDG_DATA_HOME", data.c_str(), 1);
        auto at = [&](Base base, const std::string& rel) {
            return (base == Base::home ? home.path() : base == Base::config ? config : data) + "/" + rel;
        };

        std::map<std::string, std::pair<Tier, std::set<std::string>>> expected;
        for (const auto& e : linuxHome()) {
            const std::string file = at(e.base, e.file);
            std::filesystem::create_directories(paths::parent(file));
            std::ofstream(file) << "x";
            if (e.rule != nullptr) {
                auto& [tier, found] = expected[e.rule];
                tier = e.tier;
                found.insert(e.found != nullptr ? at(e.base, e.found) : file);
            }
        }

        auto access = std::make_shared<DirectFileAccess>();
        const Inventory inventory = Scanner(DefaultKnowledgeBase::rules(), {"~/Development"}, 400, {}, access).scan();
        std::map<std::string, std::pair<Tier, std::set<std::string>>> actual;
        for (const auto& finding : inventory.findings) {
            std::set<std::string> found;
            for (const auto& p : finding.paths)
                // Rules naming system locations (/etc/apt, Homebrew) see this machine, not the fixture.
                if (paths::isUnder(p.path, root))
                    found.insert(p.path);
            if (!found.empty())
                actual[finding.rule.id] = {finding.rule.tier, std::move(found)};
        }
        EXPECT_EQ(actual, expected);
    }
}
