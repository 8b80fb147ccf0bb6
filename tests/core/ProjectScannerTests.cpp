#include "core/ProjectScanner.hpp"

#include "core/Paths.hpp"
#include "support/GitFixture.hpp"
#include "support/ScanFixtures.hpp"

#include <gtest/gtest.h>

#include <map>

namespace stowage {
namespace {

class ProjectScannerTest : public stowage::testing::GitFixture {
protected:
    std::string repoWithRemote(const std::string& relative, const std::string& remoteName) {
        std::string dir = repo(relative);
        git(dir, "remote add " + remoteName + " https://example.com/me/x.git");
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
};

TEST_F(ProjectScannerTest, ClassifiesFoldersByGitRemoteAndExactMarkers) {
    using K = ProjectKind;
    std::map<std::string, ProjectKind> expected{{repoWithRemote("dev/served", "origin"), K::gitWithRemote},
                                                {repoWithRemote("dev/forked", "upstream"), K::gitWithRemote},
                                                {repo("dev/local"), K::gitNoRemote},
                                                {project("dev/ios", "App.xcodeproj"), K::nonGit},
                                                {project("dev/mac", "Tool.xcworkspace"), K::nonGit},
                                                {project("dev/lower/sub", "Makefile"), K::nonGit}};
    home.writeFile("dev/local/package.json", "{}\n"); // .git wins over a marker
    home.writeFile("dev/lower/makefile", "all:\n");   // not a marker: the walk goes on inside
    home.writeFile("dev/almost/package.json.bak", "{}\n");
    home.writeFile("dev/almost/CARGO.TOML", "\n");
    int i = 0;
    for (const auto& marker : ProjectScanner::markers())
        expected[project("dev/m/p" + std::to_string(i++), marker)] = K::nonGit;
    EXPECT_EQ(byPath(scan({"~/dev"})), expected);
}

TEST_F(ProjectScannerTest, WalkSkipsDeepPrunedHiddenAndNestedFoldersButNeverTheRootAndBracketsEachRoot) {
    std::string four = project("a/b/c/four"); // level 4 below the home folder
    project("a/b/c/d/five");
    project("Library/Caches/app");
    project("code/node_modules/dep");
    project("code/target/gen");
    project("code/.config/tool");
    std::string kept = project("code/keep");
    EXPECT_EQ(byPath(scan({"~"})),
              (std::map<std::string, ProjectKind>{{four, ProjectKind::nonGit}, {kept, ProjectKind::nonGit}}));

    // A project's contents are never listed; a root is examined first, even with a pruned name.
    std::string mono = repoWithRemote("dev/mono", "origin");
    project("dev/mono/packages/web");
    std::string outer = project("dev/site");
    project("dev/site/sub/inner");
    std::string build = project("x/build");
    project("x/build/nested");
    auto access = std::make_shared<stowage::testing::RecordingAccess>(false);
    EXPECT_EQ(byPath(ProjectScanner({"~/dev/", home / "other"}, access).scan()),
              (std::map<std::string, ProjectKind>{{mono, ProjectKind::gitWithRemote}, {outer, ProjectKind::nonGit}}));
    for (const auto& listed : access->paths("list"))
        EXPECT_FALSE(paths::isUnder(listed, mono) || paths::isUnder(listed, outer + "/sub")) << listed;
    // Each root is opened before its walk and closed after it, whether access was granted or not.
    EXPECT_EQ(access->paths("begin"), (std::vector<std::string>{home / "dev", home / "other"}));
    EXPECT_EQ(access->paths("end"), (std::vector<std::string>{home / "other", home / "dev"}));
    EXPECT_EQ(scan({build}), (std::vector<ProjectInfo>{{build, "build", ProjectKind::nonGit}}));
    EXPECT_TRUE(scan({home / "missing", ""}).empty());
}

TEST_F(ProjectScannerTest, SortsByNameIgnoringCaseListsOverlapsOnceAndStopsAt400) {
    for (const char* at : {"r1/gamma", "r1/twin", "r1/Beta", "r1/eclair", "r2/alpha", "r2/twin", "r2/Éclair"})
        project(at);
    repoWithRemote("r2/app", "origin");
    auto found = scan({"~/r2", "~/r1", "~/r2/alpha", "~/r2/app"});
    std::vector<std::string> names;
    for (const auto& p : found)
        names.push_back(p.name);
    // Letters differing only in case are equal; an accent still counts.
    EXPECT_EQ(names, (std::vector<std::string>{"alpha", "app", "Beta", "eclair", "Éclair", "gamma", "twin", "twin"}));
    EXPECT_EQ(found[1].kind, ProjectKind::gitWithRemote);
    EXPECT_EQ(found[6].path, home / "r2/twin"); // equal names keep discovery order
    EXPECT_EQ(found[7].path, home / "r1/twin");

    // No folder is examined once more than 400 projects are collected.
    for (int i = 0; i < 450; ++i)
        home.writeFile("many/" + std::to_string(i) + "/go.mod", "module x\n");
    EXPECT_EQ(scan({"~/many"}).size(), 401u);
}

TEST(ProjectKinds, RiskAndJson) {
    for (auto kind : {ProjectKind::gitWithRemote, ProjectKind::gitNoRemote, ProjectKind::nonGit}) {
        EXPECT_EQ(nlohmann::json(ProjectInfo{"/p", "p", kind}).get<ProjectInfo>(), (ProjectInfo{"/p", "p", kind}));
        EXPECT_EQ(sourceAtRisk(kind), kind != ProjectKind::gitWithRemote);
    }
    EXPECT_EQ(nlohmann::json(ProjectInfo{"/p", "p", ProjectKind::gitNoRemote}).dump(),
              R"({"kind":"gitNoRemote","name":"p","path":"/p"})");
    EXPECT_ANY_THROW(nlohmann::json::parse(R"({"path":"/p","name":"p","kind":"NonGit"})").get<ProjectInfo>());
}

} // namespace
} // namespace stowage
