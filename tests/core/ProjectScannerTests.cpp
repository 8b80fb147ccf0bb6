#include "core/ProjectScanner.hpp"

#include "core/Collation.hpp"
#include "core/GitInfo.hpp"
#include "core/Paths.hpp"
#include "support/TempHome.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace stowage {
namespace {

using stowage::testing::sh;

class ProjectScannerTest : public ::testing::Test {
protected:
    ProjectScannerTest() {
        setenv("GIT_CONFIG_NOSYSTEM", "1", 1);
        home.writeFile(".gitconfig", "[user]\n\tname = Test\n\temail = test@example.com\n"
                                     "[init]\n\tdefaultBranch = main\n");
    }

    std::string repo(const std::string& relative, const std::optional<std::string>& remoteName = std::nullopt) {
        std::string dir = home.makeDir(relative);
        EXPECT_EQ(sh("git init -q '" + dir + "'"), 0);
        if (remoteName) {
            EXPECT_EQ(sh("git -C '" + dir + "' remote add " + *remoteName + " https://example.com/me/x.git"), 0);
        }
        return dir;
    }
    std::string project(const std::string& relative, const std::string& marker = "package.json") {
        home.writeFile(relative + "/" + marker, "{}\n");
        return home / relative;
    }
    std::vector<ProjectInfo> scan(const std::vector<std::string>& roots) {
        return ProjectScanner(roots, std::make_shared<DirectFileAccess>()).scan();
    }
    static std::map<std::string, ProjectKind> byPath(const std::vector<ProjectInfo>& projects) {
        std::map<std::string, ProjectKind> m;
        for (const auto& p : projects)
            m[p.path] = p.kind;
        return m;
    }

    stowage::testing::TempHome home;
};

// Counts every call of an operation so a test can see which folders were entered.
class CountingAccess : public DirectFileAccess {
public:
    mutable std::vector<std::string> listed;
    std::vector<std::string> opened, closed;
    std::vector<std::string> children(const std::string& path) const override {
        listed.push_back(path);
        return DirectFileAccess::children(path);
    }
    bool beginAccess(const std::string& path) override {
        opened.push_back(path);
        return false; // the scan goes on regardless
    }
    void endAccess(const std::string& path) override { closed.push_back(path); }
};

TEST_F(ProjectScannerTest, ClassifiesByGitAndRemote) {
    std::string withOrigin = repo("dev/served", "origin");
    std::string otherRemote = repo("dev/forked", "upstream"); // no origin, but a remote
    std::string noRemote = repo("dev/local");
    home.writeFile("dev/local/package.json", "{}\n"); // .git wins over a marker
    std::string plain = project("dev/scratch", "Cargo.toml");

    auto found = byPath(scan({"~/dev"}));
    EXPECT_EQ(found, (std::map<std::string, ProjectKind>{{withOrigin, ProjectKind::gitWithRemote},
                                                         {otherRemote, ProjectKind::gitWithRemote},
                                                         {noRemote, ProjectKind::gitNoRemote},
                                                         {plain, ProjectKind::nonGit}}));
}

TEST_F(ProjectScannerTest, MarkersAreExactNamesOrXcodeSuffixes) {
    std::string xcode = project("dev/ios", "App.xcodeproj");
    std::string workspace = project("dev/mac", "Tool.xcworkspace");
    std::string cmake = project("dev/native", "CMakeLists.txt");
    home.writeFile("dev/lower/makefile", "all:\n"); // not a marker: the walk goes on inside
    std::string inner = project("dev/lower/sub", "Makefile");
    home.writeFile("dev/almost/package.json.bak", "{}\n");
    home.writeFile("dev/almost/CARGO.TOML", "\n");

    std::vector<std::string> paths;
    for (const auto& p : scan({"~/dev"})) {
        EXPECT_EQ(p.kind, ProjectKind::nonGit);
        paths.push_back(p.path);
    }
    std::sort(paths.begin(), paths.end());
    EXPECT_EQ(paths, (std::vector<std::string>{xcode, inner, workspace, cmake}));
}

TEST_F(ProjectScannerTest, EveryMarkerNameCounts) {
    ASSERT_EQ(ProjectScanner::markers().size(), 15u);
    int i = 0;
    for (const auto& marker : ProjectScanner::markers())
        project("m/p" + std::to_string(i++), marker);
    EXPECT_EQ(scan({"~/m"}).size(), 15u);
}

TEST_F(ProjectScannerTest, WalkStopsAtLevelFourPrunedAndHiddenFolders) {
    std::string four = project("a/b/c/four"); // level 4 below the home folder
    project("a/b/c/d/five");
    project("Library/Caches/app");
    project("code/node_modules/dep");
    project("code/target/gen");
    project("code/.config/tool");
    std::string kept = project("code/keep");
    auto found = byPath(scan({"~"}));
    EXPECT_EQ(found.size(), 2u);
    EXPECT_TRUE(found.count(four));
    EXPECT_TRUE(found.count(kept));
    ASSERT_EQ(ProjectScanner::pruned().size(), 12u);
    EXPECT_TRUE(ProjectScanner::pruned().count("Library"));
}

TEST_F(ProjectScannerTest, ProjectsInsideProjectsAreNotVisited) {
    std::string mono = repo("dev/mono", "origin");
    project("dev/mono/packages/web");
    project("dev/mono/packages/api");
    std::string outer = project("dev/site");
    project("dev/site/sub/inner");

    auto access = std::make_shared<CountingAccess>();
    auto found = ProjectScanner({"~/dev"}, access).scan();
    EXPECT_EQ(byPath(found),
              (std::map<std::string, ProjectKind>{{mono, ProjectKind::gitWithRemote}, {outer, ProjectKind::nonGit}}));
    for (const auto& listed : access->listed) {
        EXPECT_FALSE(paths::isUnder(listed, mono)) << listed;
        EXPECT_FALSE(paths::isUnder(listed, outer + "/sub")) << listed;
    }
}

TEST_F(ProjectScannerTest, AccessToEachRootIsOpenedAndClosedAroundTheScan) {
    std::string app = project("dev/app");
    auto access = std::make_shared<CountingAccess>();
    auto found = ProjectScanner({"~/dev/", home / "other"}, access).scan();
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(access->opened, (std::vector<std::string>{home / "dev", home / "other"}));
    EXPECT_EQ(access->closed, (std::vector<std::string>{home / "other", home / "dev"}));
}

TEST_F(ProjectScannerTest, RootIsExaminedFirstAndNeverPruned) {
    std::string root = project("build");
    project("build/nested");
    auto found = scan({root});
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0], (ProjectInfo{root, "build", ProjectKind::nonGit}));
    EXPECT_TRUE(scan({home / "missing", ""}).empty());
}

TEST_F(ProjectScannerTest, SortsByNameIgnoringCaseAndKeepsTwinsInDiscoveryOrder) {
    project("r1/gamma");
    project("r1/twin");
    project("r1/Beta");
    project("r2/alpha");
    project("r2/twin");
    auto found = scan({"~/r2", "~/r1", "~/r2/alpha"});
    std::vector<std::string> names;
    for (const auto& p : found)
        names.push_back(p.name);
    EXPECT_EQ(names, (std::vector<std::string>{"alpha", "Beta", "gamma", "twin", "twin"}));
    EXPECT_EQ(found[3].path, home / "r2/twin");
    EXPECT_EQ(found[4].path, home / "r1/twin");
}

TEST_F(ProjectScannerTest, OverlappingRootsListAFolderOnceWithItsFirstKind) {
    std::string app = repo("dev/app", "origin");
    auto found = scan({"~/dev/app", "~/dev", "~/dev/"});
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0], (ProjectInfo{app, "app", ProjectKind::gitWithRemote}));
}

TEST_F(ProjectScannerTest, StopsExaminingFoldersOnceMoreThan400ProjectsAreCollected) {
    for (int i = 0; i < 450; ++i)
        home.writeFile("many/" + std::to_string(i) + "/go.mod", "module x\n");
    EXPECT_EQ(scan({"~/many"}).size(), 401u);
}

TEST(ProjectKinds, LabelsRiskAndJson) {
    EXPECT_EQ(label(ProjectKind::gitWithRemote), "git (has remote)");
    EXPECT_EQ(label(ProjectKind::gitNoRemote), "git, no remote");
    EXPECT_EQ(label(ProjectKind::nonGit), "not in git");
    EXPECT_FALSE(sourceAtRisk(ProjectKind::gitWithRemote));
    EXPECT_TRUE(sourceAtRisk(ProjectKind::gitNoRemote));
    EXPECT_TRUE(sourceAtRisk(ProjectKind::nonGit));

    ProjectInfo info{"/home/u/dev/app", "app", ProjectKind::gitNoRemote};
    nlohmann::json j = info;
    EXPECT_EQ(j, nlohmann::json({{"path", "/home/u/dev/app"}, {"name", "app"}, {"kind", "gitNoRemote"}}));
    EXPECT_EQ(j.get<ProjectInfo>(), info);
    j["kind"] = "svn";
    EXPECT_ANY_THROW(j.get<ProjectInfo>());
    EXPECT_EQ(projectKindFromString("nonGit"), ProjectKind::nonGit);
    EXPECT_EQ(projectKindFromString("NonGit"), std::nullopt);
}

TEST(ProjectContextJson, RemoteIsLeftOutWhenAbsentAndOptionalOnRead) {
    ProjectContext ctx{"/r", std::nullopt, "config/.env"};
    EXPECT_EQ(nlohmann::json(ctx), nlohmann::json({{"repoRoot", "/r"}, {"relPath", "config/.env"}}));
    EXPECT_EQ(nlohmann::json::parse(R"({"repoRoot":"/r","relPath":"config/.env"})").get<ProjectContext>(), ctx);
}

TEST(Collation, IgnoresLetterCaseButNotLetters) {
    std::vector<std::string> names{"gamma", "Beta", "alpha", "Éclair", "delta", "Zulu", "eclair"};
    std::stable_sort(names.begin(), names.end(), localizedCaseInsensitiveLess);
    EXPECT_EQ(names, (std::vector<std::string>{"alpha", "Beta", "delta", "eclair", "Éclair", "gamma", "Zulu"}));
    EXPECT_FALSE(localizedCaseInsensitiveLess("APP", "app"));
    EXPECT_FALSE(localizedCaseInsensitiveLess("app", "APP"));
    EXPECT_TRUE(localizedCaseInsensitiveLess("app", "apps"));
    EXPECT_FALSE(localizedCaseInsensitiveLess("same", "same"));
}

} // namespace
} // namespace stowage
