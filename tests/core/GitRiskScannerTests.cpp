#include "core/GitRiskScanner.hpp"

#include "core/Collation.hpp"
#include "core/GitInfo.hpp"
#include "core/Paths.hpp"
#include "support/GitFixture.hpp"
#include "support/ScanFixtures.hpp"

#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

namespace stowage {
namespace {

using stowage::testing::sh;
using Kind = GitRisk::Kind;

const std::string dot = " \u00B7 ";

class GitRiskTest : public stowage::testing::GitFixture {
protected:
    /// A repository at `relative`, built by shell `steps` run inside it with these commands at hand:
    /// `c NAME [TEXT]` commits a file, `s TEXT` stashes a change to README, `t` commits README and
    /// pushes it to a bare repository that becomes the tracked upstream.
    std::string made(const std::string& relative, const std::string& steps) {
        std::string dir = repo(relative);
        EXPECT_EQ(
            sh("cd '" + dir +
               "' && set -e && c() { printf '%s\\n' \"${2:-x}\" > \"$1\"; git add -- \"$1\"; git commit -qm \"$1\"; "
               "}; s() { echo \"$1\" > README; git stash push -q; }; t() { c README start; "
               "b=\"$HOME/remotes/$(echo \"$PWD\" | tr / _).git\"; git init -q --bare \"$b\"; "
               "git remote add origin \"$b\"; git push -q -u origin main 2>/dev/null; }; " +
               steps),
            0)
            << steps;
        return dir;
    }
};

// Each case builds one repository; assessing in one git run and one question per run must agree.
TEST_F(GitRiskTest, ReportsWhatWouldBeLostInStepOrderWithCountedForms) {
    // Name, steps, detail (empty: not at risk); the kinds follow from the detail's words.
    const std::vector<std::array<std::string, 3>> cases{
        {"clean", "t", ""},
        {"busy", "t; s one; s two; c f0; c f1; c f2; echo changed > README",
         "1 uncommitted file" + dot + "2 stashes" + dot + "3 unpushed commits"},
        {"forms", "t; s stashed; c g; echo changed > README; echo new > untracked.txt",
         "2 uncommitted files" + dot + "1 stash" + dot + "1 unpushed commit"},
        {"never-pushed", "c a; git remote add origin https://example.invalid/me/x.git", "branch not pushed"},
        {"local-only", "c a", "no remote"},
        {"detached", "t; git checkout -q --detach", "branch not pushed"},
        // The tracked branch was deleted on the remote: nothing to compare with.
        {"gone", "t; git update-ref -d refs/remotes/origin/main", "branch not pushed"},
        // A local branch as upstream counts like any other; behind it with nothing of its own is safe.
        {"ahead", "c a; git checkout -q -b topic; git branch -q --set-upstream-to=main; c b; c c",
         "2 unpushed commits"},
        {"behind", "c a; git branch -q f; git branch -q --set-upstream-to=main f; c d; git checkout -q f", ""},
        // Renames, deletions and conflicts count one line each.
        {"moves",
         "t; c old.txt 'long enough to be matched as a rename'; git push -q; git mv old.txt new; git rm -q README",
         "2 uncommitted files"},
        {"fresh", "echo hello > new.txt", "1 uncommitted file"},
        {"empty", "true", ""},
        // File names, a commit subject, a stash message and a branch name in Latin-1.
        {"latin1",
         "t; git config core.quotePath false; c \"$(printf 'caf\\351')\"; echo y > \"$(printf 'men\\372')\"; "
         "git stash push -q --include-untracked -m \"$(printf 'r\\351sum\\351')\"; echo changed > README; "
         "echo z > \"$(printf 'd\\351j\\340')\"",
         "2 uncommitted files" + dot + "1 stash" + dot + "1 unpushed commit"},
        {"branchy",
         "t; git checkout -q -b \"$(printf 'f\\351te')\"; git branch -q --set-upstream-to=origin/main; c x; s s; "
         "echo n > new",
         "1 uncommitted file" + dot + "1 stash" + dot + "1 unpushed commit"},
    };
    for (const auto& [name, steps, detail] : cases) {
        SCOPED_TRACE(name);
        const std::string dir = made("dev/" + name, steps);
        const auto remote = GitInfo::remote(dir);
        auto risk = GitRiskScanner::assess(dir, remote);
        EXPECT_EQ(risk, GitRiskScanner::assessWithSeparateRuns(dir, remote));
        if (detail.empty()) {
            EXPECT_EQ(risk, std::nullopt);
            continue;
        }
        std::set<Kind> kinds;
        for (const auto& [word, kind] : std::map<std::string, Kind>{{"uncommitted", Kind::uncommitted},
                                                                    {"stash", Kind::stashed},
                                                                    {"unpushed", Kind::unpushed},
                                                                    {"not pushed", Kind::unpushed},
                                                                    {"no remote", Kind::noUpstream}})
            if (detail.find(word) != std::string::npos)
                kinds.insert(kind);
        EXPECT_EQ(risk, (GitRisk{dir, name, kinds, detail}));
    }
}

TEST_F(GitRiskTest, RepositoryGitCannotReadIsReportedAsUninspectedWithTheReason) {
    std::string damaged = made("dev/damaged", "t; echo 'not an index' > .git/index");
    const std::vector<std::pair<std::string, std::string>> cases{
        {home.makeDir("plain"), "not a git repository"}, {home / "missing", "cannot change to"}, {damaged, "index"}};
    for (const auto& [dir, reason] : cases) {
        auto risk = GitRiskScanner::assess(dir, "https://example.invalid/x.git");
        EXPECT_EQ(risk, GitRiskScanner::assessWithSeparateRuns(dir, "https://example.invalid/x.git"));
        ASSERT_TRUE(risk) << dir;
        // One line: "could not be inspected: " and git's reason.
        EXPECT_TRUE(risk->uninspected() && risk->kinds == std::set<Kind>{Kind::uninspected} &&
                    risk->detail.rfind("could not be inspected: ", 0) == 0 &&
                    risk->detail.find(reason) != std::string::npos && risk->detail.find('\n') == std::string::npos)
            << risk->detail;
    }
}

// A folder that is not ours names programs for git to run in every way it can; none may run.
TEST_F(GitRiskTest, NoProgramARepositoryNamesIsEverRun) {
    const std::string markers = home.makeDir("markers");
    const std::string trap = home / "trap";
    home.writeFile("trap", "#!/bin/sh\ntouch '" + markers + "'/\"$1\"\ncat\n", 0755);
    home.writeFile("hooks/post-checkout", "#!/bin/sh\ntouch '" + markers + "/hook'\n", 0755);
    home.writeFile("hooks/reference-transaction", "#!/bin/sh\ntouch '" + markers + "/hook'\n", 0755);
    home.writeFile("included", "[filter \"two\"]\n\tprocess = " + trap + " included\n");
    std::string dir = made("dev/hostile", "t; c .gitattributes 'a filter=evil diff=evil\nb filter=two\nc filter=x=y'; "
                                          "c a same; c b same; c c same; echo untracked > new.txt");
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
    EXPECT_TRUE(std::filesystem::is_empty(markers)) << "a trap was sprung";

    ASSERT_TRUE(risk);
    EXPECT_EQ(risk->detail, "1 uncommitted file" + dot + "4 unpushed commits");
    EXPECT_EQ(risk, separate);
    EXPECT_EQ(scanned, std::vector<GitRisk>{*risk});
    ASSERT_TRUE(context);
    EXPECT_TRUE(cloned);

    // The traps are live: git asked plainly falls into them.
    sh("git -C '" + dir + "' status --porcelain >/dev/null 2>&1; git -C '" + dir + "' diff >/dev/null 2>&1");
    EXPECT_FALSE(std::filesystem::is_empty(markers));
}

// Twenty repositories in every state, some sharing a name, under two overlapping roots: the scan runs
// git side by side yet lists what assessing one after another gives, ordered by name ignoring case,
// equal names in discovery order, with each root's access open while git runs.
TEST_F(GitRiskTest, ConcurrentScanEqualsAssessingOneAfterAnother) {
    for (int i = 0; i < 20; ++i) {
        const bool fresh = i % 5 == 0; // no commits at all
        std::string steps = fresh ? "true" : "t";
        steps += i % 3 == 0 ? "; echo x > dirty" : "";
        steps += i % 4 == 1 && !fresh ? "; s s" : "";
        steps += i % 5 == 2 ? "; c ahead" : "";
        steps += i % 6 == 5 && !fresh ? "; git checkout -q -b feature" : "";
        made("work/" + std::string(i % 2 ? "a/" : "b/c/") + std::to_string(i) + "/" + (i % 4 == 0 ? "Shared" : "repo") +
                 std::to_string(i % 7),
             steps);
    }
    auto access = std::make_shared<stowage::testing::RecordingAccess>();
    const std::vector<std::string> roots{"~/work/a", "~/work"};
    std::vector<GitRisk> sequential;
    for (const auto& r : GitInfo::findRepos(roots, *access))
        if (auto risk = GitRiskScanner::assessWithSeparateRuns(r.root, r.remote))
            sequential.push_back(*risk);
    std::stable_sort(sequential.begin(), sequential.end(),
                     [](const GitRisk& a, const GitRisk& b) { return localizedCaseInsensitiveLess(a.name, b.name); });
    ASSERT_GE(sequential.size(), 12u);
    EXPECT_EQ(GitRiskScanner(roots, access).scan(), sequential);
    access = std::make_shared<stowage::testing::RecordingAccess>();
    EXPECT_EQ(GitRiskScanner(roots, access).scan(), sequential);
    EXPECT_EQ(access->paths("begin"), (std::vector<std::string>{home / "work/a", home / "work"}));
    EXPECT_EQ(access->paths("end"), (std::vector<std::string>{home / "work", home / "work/a"}));
}

TEST(GitRiskJson, RoundTripsWithRawKindValues) {
    GitRisk risk{"/home/u/dev/app", "app", {Kind::noUpstream, Kind::uncommitted, Kind::stashed}, "x"};
    EXPECT_EQ(nlohmann::json(risk)["kinds"], nlohmann::json({"uncommitted", "stashed", "noUpstream"}));
    EXPECT_EQ(nlohmann::json(risk).get<GitRisk>(), risk);
    EXPECT_ANY_THROW(
        nlohmann::json::parse(R"({"repo":"/r","name":"r","kinds":["Unpushed"],"detail":""})").get<GitRisk>());
}

} // namespace
} // namespace stowage
