#include "core/DefaultKnowledgeBase.hpp"
#include "core/FileAccess.hpp"
#include "core/Log.hpp"
#include "core/Scanner.hpp"
#include "support/TempHome.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <mutex>

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
