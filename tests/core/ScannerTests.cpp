#include "core/DefaultKnowledgeBase.hpp"
#include "core/Paths.hpp"
#include "core/Scanner.hpp"
#include "support/GitFixture.hpp"
#include "support/ScanFixtures.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

using namespace stowage;
using stowage::testing::TempHome;

namespace {

ArtifactRule pathsRule(const std::string& id, Tier tier, std::vector<std::string> patterns) {
    return {id, id, "Test", tier, Risk::high, tier == Tier::secret, ScanKind::paths, std::move(patterns), "d", "r"};
}

std::vector<std::string> pathsOf(const std::vector<FoundPath>& found) {
    std::vector<std::string> result;
    for (const auto& f : found)
        result.push_back(f.path);
    return result;
}

/// "rule-id path" for every path of every finding, in the inventory's order.
std::vector<std::string> listing(const Inventory& inventory) {
    std::vector<std::string> out;
    for (const auto& finding : inventory.findings)
        for (const auto& found : finding.paths)
            out.push_back(finding.rule.id + " " + found.path);
    return out;
}

} // namespace

class ScannerTest : public stowage::testing::GitFixture {
protected:
    std::shared_ptr<stowage::testing::RecordingAccess> access = std::make_shared<stowage::testing::RecordingAccess>();

    Scanner scanner(std::vector<ArtifactRule> rules, std::vector<std::string> roots = {"~/Development"},
                    std::vector<std::string> exclude = {}, int maxEnv = 400) {
        return Scanner(std::move(rules), std::move(roots), maxEnv, std::move(exclude), access);
    }
};

TEST_F(ScannerTest, PathRulesFindFilesAndFoldersOnceInCatalogOrderAndHonourExcludes) {
    home.writeFile(".ssh/id_rsa", "k");
    home.writeFile(".ssh/id_rsa.pub", "p");
    home.writeFile(".ssh/.id_x", "hidden");
    home.writeFile(".ssh/sub/id_deep", "a glob matches one component");
    home.writeFile(".ssh/server.pem", "k");
    home.writeFile(".config/nvim/init.lua", std::string(5000, 'x'));
    auto ssh = pathsRule("ssh", Tier::secret, {"~/.ssh/id_*", "~/.ssh/*_rsa", "~/.ssh/id_rsa", "~/.ssh/*.pem"});
    auto rsa = pathsRule("rsa", Tier::secret, {"~/.ssh/id_rsa"});
    auto none = pathsRule("none", Tier::secret, {"~/.nope"});
    auto nvim = pathsRule("nvim", Tier::config, {"~/.config/nvim", "~/.config/missing"});

    auto inv = scanner({ssh, none, rsa, nvim}).scan();
    EXPECT_EQ(listing(inv), (std::vector<std::string>{"ssh " + home / ".ssh/id_rsa", "ssh " + home / ".ssh/id_rsa.pub",
                                                      "ssh " + home / ".ssh/server.pem", "rsa " + home / ".ssh/id_rsa",
                                                      "nvim " + home / ".config/nvim"}));
    EXPECT_EQ(inv.findings[0].paths[0].tracking, GitTracking::unknown()) << "secrets are never checked in git";
    const FoundPath& folder = inv.findings[2].paths[0];
    EXPECT_TRUE(folder.isDirectory && folder.modified.has_value());
    EXPECT_LT(folder.bytes, 5000) << "a folder is one entry with its own size";
    EXPECT_EQ(inv.secretCount(), 2);
    EXPECT_EQ(access->paths("begin"), std::vector<std::string>{home.path()});
    EXPECT_EQ(access->paths("end"), std::vector<std::string>{home.path()});

    // Excludes drop single paths, and a finding left with none.
    EXPECT_EQ(listing(scanner({ssh, rsa}, {}, {"*.pem", "**/*.pub"}).scan()),
              (std::vector<std::string>{"ssh " + home / ".ssh/id_rsa", "rsa " + home / ".ssh/id_rsa"}));
    EXPECT_TRUE(scanner({ssh, rsa}, {}, {"*.pem", "id_*"}).scan().findings.empty());

    // A home folder whose name holds glob characters is a folder name, not a pattern: "a[1]*" must
    // not also reach the sibling "a1x".
    home.writeFile("a[1]*/.ssh/id_x", "k");
    home.writeFile("a1x/.ssh/id_y", "k");
    setenv("HOME", (home / "a[1]*").c_str(), 1);
    EXPECT_EQ(listing(scanner({ssh}).scan()), std::vector<std::string>{"ssh " + home / "a[1]*/.ssh/id_x"});
}

TEST_F(ScannerTest, EnvHuntFindsOnlyEnvNamesAndHonoursPrunesExcludesAndDepth) {
    for (const char* name : {".env", ".env.local", ".env.example", ".envrc", "env", "x.env"})
        home.writeFile(std::string("Development/app/") + name, "A=1");
    home.writeFile("Development/other/.env/inner/.env", "nested in a folder named .env");
    for (const char* pruned : {"node_modules", ".git", "build", "vendor", "target", "Carthage"})
        home.writeFile(std::string("Development/app/") + pruned + "/.env", "pruned");
    home.writeFile("Development/app/secret-stuff/.env", "excluded");
    // Eight folders between root and file are allowed; nine are not.
    home.writeFile("Development/1/2/3/4/5/6/7/8/.env", "deep ok");
    home.writeFile("Development/1/2/3/4/5/6/7/8/9/.env", "too deep");

    auto found = scanner({}, {"~/Development"}, {"**/secret-stuff"}).scanEnvFiles();
    const auto paths = pathsOf(found);
    EXPECT_EQ(std::set<std::string>(paths.begin(), paths.end()),
              (std::set<std::string>{home / "Development/app/.env", home / "Development/app/.env.local",
                                     home / "Development/app/.env.example", home / "Development/other/.env/inner/.env",
                                     home / "Development/1/2/3/4/5/6/7/8/.env"}));

    // Through a scan, the .env rule takes the hunt's files, not its paths, with the excludes applied.
    auto env = ArtifactRule{"env-files", "Project .env files", "Secrets", Tier::secret, Risk::high,
                            true,        ScanKind::envFiles,   {},        "d",          "r"};
    EXPECT_EQ(listing(scanner({env}, {"~/Development/app"}, {"**/.env.*", "**/secret-stuff"}).scan()),
              std::vector<std::string>{"env-files " + home / "Development/app/.env"});
}

TEST_F(ScannerTest, EnvHuntCapHoldsAcrossRootsAndWithinOneFolder) {
    for (int i = 0; i < 5; ++i)
        home.writeFile("a/p" + std::to_string(i) + "/.env", "x");
    home.writeFile("b/q/.env", "x");
    EXPECT_EQ(scanner({}, {"~/a", "~/b"}, {}, 3).scanEnvFiles().size(), 3u);
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
    // Overlapping roots yield the same file once per root; a missing root is skipped but bracketed.
    EXPECT_EQ(scanner({}, {"~/b", "~/b/q"}, {}, 400).scanEnvFiles().size(), 2u);
    access = std::make_shared<stowage::testing::RecordingAccess>();
    EXPECT_TRUE(scanner({}, {"~/missing"}).scanEnvFiles().empty());
    EXPECT_EQ(access->paths("begin"), std::vector<std::string>{home / "missing"});
}

TEST_F(ScannerTest, ConfigFilesGetTheGitStateOfWhatTheyLinkTo) {
    const std::string dotfiles = repo("dotfiles");
    commitFile(dotfiles, ".gitignore", "ignored\n");
    commitFile(dotfiles, "zshrc", "export A=1");
    write(dotfiles, "bashrc", "never added");
    write(dotfiles, "ignored", "ignored by the repository");
    for (const char* name : {"zshrc", "bashrc", "ignored"})
        std::filesystem::create_symlink(dotfiles + "/" + name, home / (std::string(".") + name));
    home.writeFile(".profile", "x"); // the temporary home is in no repository

    auto inv =
        scanner({pathsRule("shell", Tier::config, {"~/.zshrc", "~/.bashrc", "~/.ignored", "~/.profile"})}).scan();
    ASSERT_EQ(inv.findings.size(), 1u);
    std::vector<GitTracking> states;
    for (const auto& found : inv.findings[0].paths)
        states.push_back(found.tracking);
    EXPECT_EQ(states, (std::vector<GitTracking>{GitTracking::tracked(dotfiles), GitTracking::untracked(dotfiles),
                                                GitTracking::untracked(dotfiles), GitTracking::notInRepo()}));
    EXPECT_TRUE(inv.findings[0].isUnbackedConfigGap());
    EXPECT_EQ(scanner({}).gitTracking("/etc-does-not-matter"), GitTracking::notInRepo());

    // A repository git cannot read leaves the state unknown rather than claiming one.
    write(dotfiles, ".git/index", "damaged");
    EXPECT_EQ(scanner({}).gitTracking(dotfiles + "/zshrc"), GitTracking::unknown());
}

// A developer's home on Linux, by the rule expected to find each file: "~/" is the home folder, "$C/"
// and "$D/" the XDG config and data folders; after " > " comes the folder found in the file's place,
// from the same base. Files under "" must not be found by any rule: caches, plugins, editor state and
// fetched grammars stay out, as do databases below the Documents folder's top level and keys below
// the top level of the projects folder.
const std::vector<std::pair<std::string, std::vector<std::string>>> linuxHome = {
    {"ssh-keys", {"~/.ssh/id_ed25519"}},
    {"gpg-keys", {"~/.gnupg/private-keys-v1.d/A.key", "~/.gnupg/private-keys-v1.d/B.key"}},
    {"aws-credentials", {"~/.aws/credentials"}},
    {"apple-signing", {"~/Development/x.p8"}},
    {"pass-store", {"~/.password-store/email.gpg > .password-store"}},
    {"vscode-settings",
     {"$C/Code/User/settings.json", "$C/Code/User/snippets/go.json > Code/User/snippets",
      "$C/Code/User/profiles/p1/settings.json > Code/User/profiles", "$C/Code - Insiders/User/settings.json",
      "$C/VSCodium/User/keybindings.json", "~/.var/app/com.visualstudio.code/config/Code/User/settings.json"}},
    {"modern-editors",
     {"$C/Cursor/User/settings.json",
      "$C/sublime-text/Packages/User/Preferences.sublime-settings > sublime-text/Packages/User"}},
    {"jetbrains-settings",
     {"$C/JetBrains/IntelliJIdea2024.1/options/ui.lnf.xml > JetBrains/IntelliJIdea2024.1/options",
      "$C/JetBrains/PyCharm2024.1/keymaps/Mine.xml > JetBrains/PyCharm2024.1/keymaps"}},
    {"helix-config", {"$C/helix/config.toml"}},
    {"emacs-config", {"$C/emacs/init.el"}},
    {"vim-neovim", {"$C/nvim/init.lua > nvim"}},
    {"shell-config", {"$C/fish/config.fish", "$C/fish/conf.d/path.fish > fish/conf.d", "~/.bash_aliases"}},
    {"git-config", {"~/.gitconfig", "$C/git/config", "$C/git/ignore", "$C/git/attributes"}},
    {"git-credentials", {"$C/git/credentials", "~/.git-credentials"}},
    {"gh-cli-auth", {"$C/gh/hosts.yml"}},
    {"glab-cli-auth", {"$C/glab-cli/config.yml"}},
    {"desktop-keyrings", {"$D/keyrings/login.keyring > keyrings", "$D/kwalletd/kdewallet.kwl > kwalletd"}},
    {"keepass-databases", {"~/Passwords.kdbx", "~/Documents/work.kdbx"}},
    {"gopass-store", {"$D/gopass/stores/root/site.gpg > gopass/stores"}},
    {"mkcert-ca", {"$D/mkcert/rootCA-key.pem > mkcert"}},
    {"dconf-settings", {"$C/dconf/user"}},
    {"linux-window-managers", {"$C/i3/config > i3", "$C/hypr/hyprland.conf > hypr", "~/.Xresources"}},
    {"systemd-user-units", {"$C/systemd/user/sync.service > systemd/user", "$C/autostart/tray.desktop > autostart"}},
    {"desktop-entries", {"$D/applications/tool.desktop > applications", "$C/mimeapps.list"}},
    {"user-fonts", {"$D/fonts/Mono.ttf > fonts", "~/.fonts/Old.ttf > .fonts"}},
    {"personal-scripts", {"~/.local/bin/deploy > .local/bin"}},
    {"toolchain-config", {"$C/mise/config.toml > mise", "~/.asdfrc", "~/.cargo/config.toml"}},
    {"nix-config", {"$C/nix/nix.conf > nix", "$C/home-manager/home.nix > home-manager"}},
    {"conda-installs", {"~/miniconda3/bin/conda > miniconda3"}},
    {"go-binaries", {"~/go/bin/gopls > go/bin"}},
    {"appimages", {"~/Applications/Editor.AppImage"}},
    {"python-vm", {"$D/uv/python/cpython-3.12/bin/python > uv"}},
    {"",
     {"~/Development/sub/y.p8", "$C/Code/User/workspaceStorage/x/state.vscdb",
      "$C/JetBrains/PyCharm2024.1/plugins/p.jar", "~/.cache/JetBrains/PyCharm2024.1/index.dat",
      "$C/helix/runtime/grammars/rust.so", "$C/emacs/elpa/magit/magit.el", "~/Documents/old/archive.kdbx"}},
};

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

        std::map<std::string, std::set<std::string>> expected;
        for (const auto& [rule, entries] : linuxHome)
            for (const std::string& entry : entries) {
                const std::size_t slash = entry.find('/'), arrow = entry.find(" > ");
                const std::string base = entry[0] == '~' ? home.path() : entry[1] == 'C' ? config : data;
                const std::string file = base + entry.substr(slash, arrow - slash);
                std::filesystem::create_directories(paths::parent(file));
                std::ofstream(file) << "x";
                if (!rule.empty())
                    expected[rule].insert(arrow == std::string::npos ? file : base + "/" + entry.substr(arrow + 3));
            }

        const Inventory inventory = Scanner(DefaultKnowledgeBase::rules(), {"~/Development"}, 400, {"/etc/**"},
                                            std::make_shared<DirectFileAccess>())
                                        .scan();
        std::map<std::string, std::set<std::string>> actual;
        for (const auto& finding : inventory.findings)
            for (const auto& p : finding.paths)
                // Rules naming system locations (Homebrew) see this machine, not the fixture.
                if (paths::isUnder(p.path, root))
                    actual[finding.rule.id].insert(p.path);
        EXPECT_EQ(actual, expected);
    }
}
