#include "core/GitRiskScanner.hpp"

#include "core/Collation.hpp"
#include "core/GitInfo.hpp"
#include "support/GitFixture.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <unistd.h>
#include <vector>

namespace stowage {
namespace {

using stowage::testing::sh;
using Kind = GitRisk::Kind;

const std::string dot = " \u00B7 ";

class GitRiskTest : public stowage::testing::GitFixture {
protected:
    void stash(const std::string& dir, const std::string& name, const std::string& content) {
        write(dir, name, content);
        git(dir, "stash push -q");
    }
    /// A repository with one commit, pushed to a bare repository that is its tracked upstream.
    std::string tracked(const std::string& relative) {
        std::string dir = repo(relative);
        commitFile(dir, "README", "start\n");
        std::string bare = home / ("remotes/" + std::to_string(bareCount++) + ".git");
        EXPECT_EQ(sh("git init -q --bare '" + bare + "'"), 0);
        git(dir, "remote add origin '" + bare + "'");
        git(dir, "push -q -u origin main");
        return dir;
    }

    /// assess, checked against the one-question-per-run form: both must always agree.
    std::optional<GitRisk> assessBoth(const std::string& dir, const std::optional<std::string>& remote) {
        auto risk = GitRiskScanner::assess(dir, remote);
        EXPECT_EQ(risk, GitRiskScanner::assessWithSeparateRuns(dir, remote)) << dir;
        return risk;
    }

    int bareCount = 0;
};

// ---- one repository --------------------------------------------------------------------------

TEST_F(GitRiskTest, CleanTrackedRepositoryIsNotAtRisk) {
    std::string dir = tracked("dev/clean");
    EXPECT_EQ(assessBoth(dir, GitInfo::remote(dir)), std::nullopt);
}

TEST_F(GitRiskTest, CountsFilesStashesAndCommitsInStepOrder) {
    std::string dir = tracked("dev/busy");
    stash(dir, "README", "one\n");
    stash(dir, "README", "two\n");
    for (int i = 0; i < 3; ++i)
        commitFile(dir, "f" + std::to_string(i), "x\n");
    write(dir, "README", "changed\n");

    auto risk = assessBoth(dir, GitInfo::remote(dir));
    ASSERT_TRUE(risk);
    EXPECT_EQ(risk->repo, dir);
    EXPECT_EQ(risk->name, "busy");
    EXPECT_EQ(risk->kinds, (std::set<Kind>{Kind::uncommitted, Kind::stashed, Kind::unpushed}));
    EXPECT_EQ(risk->detail, "1 uncommitted file" + dot + "2 stashes" + dot + "3 unpushed commits");
}

TEST_F(GitRiskTest, SingularAndPluralForms) {
    std::string dir = tracked("dev/forms");
    stash(dir, "README", "stashed\n");
    commitFile(dir, "g", "y\n");
    write(dir, "README", "changed\n");
    write(dir, "untracked.txt", "new\n");

    auto risk = assessBoth(dir, GitInfo::remote(dir));
    ASSERT_TRUE(risk);
    EXPECT_EQ(risk->detail, "2 uncommitted files" + dot + "1 stash" + dot + "1 unpushed commit");
}

TEST_F(GitRiskTest, BranchWithoutUpstreamDependsOnWhetherARemoteExists) {
    std::string withRemote = repo("dev/never-pushed");
    commitFile(withRemote, "a", "1\n");
    git(withRemote, "remote add origin https://example.invalid/me/never-pushed.git");
    auto pushed = assessBoth(withRemote, GitInfo::remote(withRemote));
    ASSERT_TRUE(pushed);
    EXPECT_EQ(pushed->kinds, (std::set<Kind>{Kind::unpushed}));
    EXPECT_EQ(pushed->detail, "branch not pushed");

    std::string local = repo("dev/local-only");
    commitFile(local, "a", "1\n");
    auto lonely = assessBoth(local, std::nullopt);
    ASSERT_TRUE(lonely);
    EXPECT_EQ(lonely->kinds, (std::set<Kind>{Kind::noUpstream}));
    EXPECT_EQ(lonely->detail, "no remote");
}

TEST_F(GitRiskTest, DetachedHeadWithARemoteCountsAsNotPushed) {
    std::string dir = tracked("dev/detached");
    git(dir, "checkout -q --detach");
    auto risk = assessBoth(dir, GitInfo::remote(dir));
    ASSERT_TRUE(risk);
    EXPECT_EQ(risk->kinds, (std::set<Kind>{Kind::unpushed}));
    EXPECT_EQ(risk->detail, "branch not pushed");
}

TEST_F(GitRiskTest, UpstreamThatIsGoneOrLocalOrAhead) {
    // The tracked branch was deleted on the remote: nothing to compare with, so not pushed.
    std::string gone = tracked("dev/gone");
    git(gone, "update-ref -d refs/remotes/origin/main");
    auto risk = assessBoth(gone, GitInfo::remote(gone));
    ASSERT_TRUE(risk);
    EXPECT_EQ(risk->detail, "branch not pushed");

    // A local branch as upstream counts like any other.
    std::string local = repo("dev/local-upstream");
    commitFile(local, "a", "1\n");
    git(local, "checkout -q -b topic");
    git(local, "branch -q --set-upstream-to=main");
    commitFile(local, "b", "2\n");
    commitFile(local, "c", "3\n");
    risk = assessBoth(local, std::nullopt);
    ASSERT_TRUE(risk);
    EXPECT_EQ(risk->kinds, (std::set<Kind>{Kind::unpushed}));
    EXPECT_EQ(risk->detail, "2 unpushed commits");

    // Behind the upstream but nothing of its own: safe.
    git(local, "checkout -q main");
    git(local, "branch -q -D topic");
    git(local, "checkout -q -b follower");
    git(local, "branch -q --set-upstream-to=main");
    git(local, "checkout -q main");
    commitFile(local, "d", "4\n");
    git(local, "checkout -q follower");
    EXPECT_EQ(assessBoth(local, std::nullopt), std::nullopt);
}

TEST_F(GitRiskTest, RenamesConflictsAndDeletionsCountOneLineEach) {
    std::string dir = tracked("dev/moves");
    commitFile(dir, "old.txt", "content that is long enough to be matched as a rename\n");
    git(dir, "push -q");
    git(dir, "mv old.txt new.txt");
    git(dir, "rm -q README");
    auto risk = assessBoth(dir, GitInfo::remote(dir));
    ASSERT_TRUE(risk);
    EXPECT_EQ(risk->detail, "2 uncommitted files");
}

TEST_F(GitRiskTest, RepositoryWithoutCommitsReportsOnlyItsFiles) {
    std::string dir = repo("dev/fresh");
    write(dir, "new.txt", "hello\n");
    auto risk = assessBoth(dir, std::nullopt);
    ASSERT_TRUE(risk);
    EXPECT_EQ(risk->kinds, (std::set<Kind>{Kind::uncommitted}));
    EXPECT_EQ(risk->detail, "1 uncommitted file");

    EXPECT_EQ(assessBoth(repo("dev/empty"), std::nullopt), std::nullopt);
}

TEST_F(GitRiskTest, RepositoryGitCannotReadIsReportedAsUninspectedWithTheReason) {
    std::string damaged = tracked("dev/damaged");
    std::ofstream(damaged + "/.git/index") << "not an index";
    std::string foreign = tracked("dev/foreign");
    const bool canChown = ::geteuid() == 0 && sh("chown -R 54321 '" + foreign + "'") == 0;
    struct Case {
        std::string dir;
        std::string reasonHas;
    };
    std::vector<Case> cases{
        {home.makeDir("plain"), "not a git repository"}, {home / "missing", "cannot change to"}, {damaged, "index"}};
    if (canChown)
        cases.push_back({foreign, "dubious ownership"});
    for (const auto& c : cases) {
        auto risk = assessBoth(c.dir, std::string("https://example.invalid/x.git"));
        ASSERT_TRUE(risk) << c.dir;
        EXPECT_EQ(risk->kinds, std::set<Kind>{Kind::uninspected}) << c.dir;
        EXPECT_TRUE(risk->uninspected());
        EXPECT_EQ(risk->detail.rfind("could not be inspected: ", 0), 0u) << risk->detail;
        EXPECT_NE(risk->detail.find(c.reasonHas), std::string::npos) << risk->detail;
        EXPECT_EQ(risk->detail.find('\n'), std::string::npos) << risk->detail;
    }
    auto scanned = GitRiskScanner({home / "dev"}, nullptr).scan();
    ASSERT_EQ(scanned.size(), canChown ? 2u : 1u);
    EXPECT_EQ(scanned[0].name, "damaged");
}

// A folder that is not ours names programs for git to run in every way it can; none may run.
TEST_F(GitRiskTest, NoProgramARepositoryNamesIsEverRun) {
    const std::string markers = home.makeDir("markers");
    const std::string trap = home / "trap";
    home.writeFile("trap", "#!/bin/sh\ntouch '" + markers + "'/\"$1\"\ncat\n", 0755);
    home.writeFile("hooks/post-checkout", "#!/bin/sh\ntouch '" + markers + "/hook'\n", 0755);
    home.writeFile("hooks/reference-transaction", "#!/bin/sh\ntouch '" + markers + "/hook'\n", 0755);
    home.writeFile("included", "[filter \"two\"]\n\tprocess = " + trap + " included\n");
    std::string dir = tracked("dev/hostile");
    commitFile(dir, ".gitattributes", "a filter=evil diff=evil\nb filter=two\nc filter=x=y\n");
    commitFile(dir, "a", "same\n");
    commitFile(dir, "b", "same\n");
    commitFile(dir, "c", "same\n");
    write(dir, "new.txt", "untracked\n");
    std::ofstream(dir + "/.git/config", std::ios::app)
        << "[core]\n\tfsmonitor = " << trap << " fsmonitor\n\thooksPath = " << home / "hooks"
        << "\n"
        << "\tsshCommand = " << trap << " ssh\n\tpager = " << trap << " pager\n"
        << "[filter \"evil\"]\n\tclean = " << trap << " clean\n\tsmudge = " << trap << " smudge\n\trequired = true\n"
        << "[filter \"x=y\"]\n\tclean = " << trap << " clean-with-equals\n"
        << "[diff \"evil\"]\n\ttextconv = " << trap << " textconv\n[diff]\n\texternal = " << trap << " external\n"
        << "[include]\n\tpath = " << home / "included"
        << "\n";
    // Same sizes, new times: git must look at the contents, which is where filters would run.
    ASSERT_EQ(sh("cd '" + dir + "' && touch -d '2001-01-01' a b c"), 0);

    auto risk = GitRiskScanner::assess(dir, GitInfo::remote(dir));
    auto separate = GitRiskScanner::assessWithSeparateRuns(dir, GitInfo::remote(dir));
    auto scanned = GitRiskScanner({home / "dev"}, nullptr).scan();
    auto context = GitInfo::context(dir + "/a", DirectFileAccess());
    std::string into = home.makeDir("restore");
    auto cloned = GitInfo::clone(dir, into);
    const auto sprung = [&] {
        std::string names;
        for (const auto& entry : std::filesystem::directory_iterator(markers))
            names += entry.path().filename().string() + " ";
        return names;
    };
    EXPECT_EQ(sprung(), "");

    ASSERT_TRUE(risk);
    EXPECT_EQ(risk->detail, "1 uncommitted file" + dot + "4 unpushed commits");
    EXPECT_EQ(risk, separate);
    ASSERT_EQ(scanned.size(), 1u);
    EXPECT_EQ(scanned[0], *risk);
    ASSERT_TRUE(context);
    EXPECT_TRUE(cloned);

    // The traps are live: git asked plainly falls into them.
    sh("git -C '" + dir + "' status --porcelain >/dev/null 2>&1; git -C '" + dir + "' diff >/dev/null 2>&1");
    EXPECT_NE(sprung(), "");
}

TEST_F(GitRiskTest, NamesAndSubjectsThatAreNotUtf8StillCount) {
    std::string dir = tracked("dev/latin1");
    git(dir, "config core.quotePath false");
    // A file name and a commit subject in Latin-1: "café".
    ASSERT_EQ(sh("cd '" + dir +
                 "' && printf 'x\\n' > \"$(printf 'caf\\351')\" && git add -A && "
                 "git commit -q -m \"$(printf 'caf\\351')\" && printf 'y\\n' > \"$(printf 'men\\372')\""),
              0);
    git(dir, "stash push -q --include-untracked -m \"$(printf 'r\\351sum\\351')\"");
    write(dir, "README", "changed\n");
    ASSERT_EQ(sh("printf 'z\\n' > \"" + dir + "/$(printf 'd\\351j\\340')\""), 0);

    auto risk = assessBoth(dir, GitInfo::remote(dir));
    ASSERT_TRUE(risk);
    EXPECT_EQ(risk->detail, "2 uncommitted files" + dot + "1 stash" + dot + "1 unpushed commit");
}

TEST_F(GitRiskTest, BranchNameThatIsNotUtf8StillGivesTheFullAnswer) {
    std::string dir = tracked("dev/branchy");
    ASSERT_EQ(sh("git -C '" + dir + "' checkout -q -b \"$(printf 'f\\351te')\""), 0);
    git(dir, "branch -q --set-upstream-to=origin/main");
    commitFile(dir, "x", "1\n");
    stash(dir, "README", "s\n");
    write(dir, "new", "n\n");
    auto risk = assessBoth(dir, GitInfo::remote(dir));
    ASSERT_TRUE(risk);
    EXPECT_EQ(risk->detail, "1 uncommitted file" + dot + "1 stash" + dot + "1 unpushed commit");
}

// ---- the scan --------------------------------------------------------------------------------

TEST_F(GitRiskTest, ScanListsRiskyRepositoriesByNameIgnoringCase) {
    std::string gamma = repo("dev/x/gamma");
    write(gamma, "a", "1\n");
    std::string beta = repo("dev/Beta");
    write(beta, "a", "1\n");
    std::string alpha = repo("dev/y/z/alpha");
    write(alpha, "a", "1\n");
    tracked("dev/clean");
    std::string deep = repo("dev/1/2/3/4/too-deep");
    write(deep, "a", "1\n");
    std::string hidden = repo("dev/.cache/hidden");
    write(hidden, "a", "1\n");

    GitRiskScanner scanner({"~/dev"}, std::make_shared<DirectFileAccess>());
    std::vector<std::string> names;
    for (const auto& risk : scanner.scan())
        names.push_back(risk.name);
    EXPECT_EQ(names, (std::vector<std::string>{"alpha", "Beta", "gamma"}));
}

TEST_F(GitRiskTest, EqualNamesKeepDiscoveryOrder) {
    std::string first = repo("one/app");
    write(first, "a", "1\n");
    std::string second = repo("two/App");
    write(second, "a", "1\n");
    auto risks = GitRiskScanner({home / "two", home / "one"}, std::make_shared<DirectFileAccess>()).scan();
    ASSERT_EQ(risks.size(), 2u);
    EXPECT_EQ(risks[0].repo, second);
    EXPECT_EQ(risks[1].repo, first);
}

TEST_F(GitRiskTest, ConcurrentScanEqualsAssessingOneAfterAnother) {
    // Twenty repositories in every state, some sharing a name, under two overlapping roots.
    for (int i = 0; i < 20; ++i) {
        std::string name = (i % 4 == 0 ? "Shared" : "repo") + std::to_string(i % 7);
        std::string rel = "work/" + std::string(i % 2 ? "a/" : "b/c/") + std::to_string(i) + "/" + name;
        bool fresh = i % 5 == 0; // no commits at all
        std::string dir = fresh ? repo(rel) : tracked(rel);
        if (i % 3 == 0)
            write(dir, "dirty" + std::to_string(i), "x\n");
        if (i % 4 == 1 && !fresh)
            stash(dir, "README", "s\n");
        if (i % 5 == 2)
            commitFile(dir, "ahead", "a\n");
        if (i % 6 == 5 && !fresh)
            git(dir, "checkout -q -b feature");
    }
    auto access = std::make_shared<DirectFileAccess>();
    std::vector<std::string> roots{"~/work/a", "~/work"};

    std::vector<GitRisk> sequential;
    for (const auto& r : GitInfo::findRepos(roots, *access))
        if (auto risk = GitRiskScanner::assessWithSeparateRuns(r.root, r.remote))
            sequential.push_back(*risk);
    std::stable_sort(sequential.begin(), sequential.end(),
                     [](const GitRisk& a, const GitRisk& b) { return localizedCaseInsensitiveLess(a.name, b.name); });
    ASSERT_GE(sequential.size(), 12u);

    for (int round = 0; round < 2; ++round)
        EXPECT_EQ(GitRiskScanner(roots, access).scan(), sequential);
}

TEST_F(GitRiskTest, AccessToEachRootStaysOpenWhileGitRuns) {
    struct Bracketing : DirectFileAccess {
        std::vector<std::string> events;
        bool beginAccess(const std::string& path) override {
            events.push_back("begin " + path);
            return true;
        }
        void endAccess(const std::string& path) override { events.push_back("end " + path); }
    };
    std::string dir = repo("dev/wip");
    write(dir, "a", "1\n");
    auto access = std::make_shared<Bracketing>();
    EXPECT_EQ(GitRiskScanner({"~/dev"}, access).scan().size(), 1u);
    EXPECT_EQ(access->events, (std::vector<std::string>{"begin " + home / "dev", "end " + home / "dev"}));
}

TEST(GitRiskJson, RoundTripsWithRawKindValues) {
    GitRisk risk{"/home/u/dev/app", "app", {Kind::noUpstream, Kind::uncommitted, Kind::stashed}, "x"};
    nlohmann::json j = risk;
    EXPECT_EQ(j["kinds"], nlohmann::json({"uncommitted", "stashed", "noUpstream"}));
    EXPECT_EQ(j["repo"], "/home/u/dev/app");
    EXPECT_EQ(j.get<GitRisk>(), risk);
    EXPECT_EQ(gitRiskKindFromString("unpushed"), Kind::unpushed);
    EXPECT_EQ(gitRiskKindFromString("Unpushed"), std::nullopt);
    j["kinds"] = {"lost"};
    EXPECT_ANY_THROW(j.get<GitRisk>());
}

} // namespace
} // namespace stowage
