#include "core/Relocator.hpp"

#include <gtest/gtest.h>

namespace stowage {
namespace {

using Match = RelocationPlan::Match;

ProjectContext project(const std::string& repoRoot, std::optional<std::string> remote, const std::string& relPath) {
    return ProjectContext{repoRoot, std::move(remote), relPath};
}

TEST(Relocator, FilesOutsideProjectsKeepTheirRecordedPath) {
    auto plans =
        Relocator::plan({{"/Users/u/.ssh/id_ed25519", std::nullopt}, {"/Users/u/.aws/credentials", std::nullopt}},
                        {{"/home/v/dev/app", "git@github.com:o/app.git"}}, false);
    ASSERT_EQ(plans.size(), 2u);
    EXPECT_EQ(plans[0].originalPath, "/Users/u/.ssh/id_ed25519");
    EXPECT_EQ(plans[0].match, Match::absolute);
    EXPECT_EQ(plans[0].destination, "/Users/u/.ssh/id_ed25519");
    EXPECT_FALSE(plans[0].matchedRepoRoot);
    EXPECT_FALSE(plans[0].project);
    EXPECT_EQ(plans[1].destination, "/Users/u/.aws/credentials");
}

TEST(Relocator, MatchesByNormalizedRemoteWhateverTheAddressForm) {
    auto ctx = project("/Users/u/Development/app", "git@github.com:Org/App.git", "api/.env");
    auto plans = Relocator::plan(
        {{"/Users/u/Development/app/api/.env", ctx}},
        {{"/home/v/code/other", "https://github.com/org/other"}, {"/home/v/code/app", "https://github.com/org/app/"}},
        false);
    ASSERT_EQ(plans.size(), 1u);
    EXPECT_EQ(plans[0].match, Match::matchedRepo);
    EXPECT_EQ(plans[0].destination, "/home/v/code/app/api/.env");
    EXPECT_EQ(plans[0].matchedRepoRoot, "/home/v/code/app");
    EXPECT_EQ(plans[0].project, ctx);
}

TEST(Relocator, UnmatchedOrRemotelessProjectsAreNotFound) {
    auto noRemote = project("/Users/u/dev/app", std::nullopt, ".env");
    auto otherRemote = project("/Users/u/dev/tool", "git@github.com:o/tool.git", ".env");
    // A local folder of the same name, and a local repository without a remote, match nothing.
    auto plans = Relocator::plan({{"/Users/u/dev/app/.env", noRemote}, {"/Users/u/dev/tool/.env", otherRemote}},
                                 {{"/home/v/dev/app", std::nullopt}, {"/home/v/dev/tool", std::nullopt}}, false);
    ASSERT_EQ(plans.size(), 2u);
    for (const auto& plan : plans) {
        EXPECT_EQ(plan.match, Match::repoNotFound);
        EXPECT_FALSE(plan.destination);
        EXPECT_FALSE(plan.matchedRepoRoot);
        EXPECT_TRUE(plan.project);
    }
}

TEST(Relocator, ChoosesAmongClonesOfOneRemote) {
    const std::string remote = "git@github.com:o/app.git";
    auto ctx = project("/Users/u/dev/app", remote, ".env");
    // Both named like the recorded project: the first in discovery order.
    auto sameName = Relocator::plan({{"/Users/u/dev/app/.env", ctx}},
                                    {{"/home/v/z/app", remote}, {"/home/v/a/app", remote}}, false);
    EXPECT_EQ(sameName[0].matchedRepoRoot, "/home/v/z/app");
    // Neither named like it: the root that sorts first.
    auto otherNames = Relocator::plan({{"/Users/u/dev/app/.env", ctx}},
                                      {{"/home/v/work/app-copy", remote}, {"/home/v/old/app-2", remote}}, false);
    EXPECT_EQ(otherNames[0].matchedRepoRoot, "/home/v/old/app-2");
    EXPECT_EQ(otherNames[0].destination, "/home/v/old/app-2/.env");
    // The folder name wins over the sort order.
    auto mixed = Relocator::plan({{"/Users/u/dev/app/.env", ctx}},
                                 {{"/home/v/a/app-fork", remote}, {"/home/v/z/app", remote}}, false);
    EXPECT_EQ(mixed[0].matchedRepoRoot, "/home/v/z/app");
}

TEST(Relocator, FlattenPutsTheFileAtTheRepositoryRoot) {
    const std::string remote = "https://example.com/o/app.git";
    auto ctx = project("/Users/u/dev/app", remote, "services/api/.env.local");
    std::vector<RelocationFile> files{{"/Users/u/dev/app/services/api/.env.local", ctx}};
    std::vector<LocalRepo> repos{{"/srv/app", remote}};
    EXPECT_EQ(Relocator::plan(files, repos, false)[0].destination, "/srv/app/services/api/.env.local");
    EXPECT_EQ(Relocator::plan(files, repos, true)[0].destination, "/srv/app/.env.local");
}

TEST(Relocator, PlacementsThatLeaveTheRepositoryAreNeverMatched) {
    const std::string remote = "https://example.com/o/app.git";
    std::vector<LocalRepo> repos{{"/srv/app", remote}};
    for (const std::string& rel :
         std::vector<std::string>{"../../.bashrc", "/etc/passwd", "", "a//b", std::string("a\0b", 3)}) {
        auto plans = Relocator::plan({{"/Users/u/app/x", project("/Users/u/app", remote, rel)}}, repos, true);
        EXPECT_EQ(plans[0].match, Match::repoNotFound) << rel;
        EXPECT_FALSE(plans[0].destination) << rel;
    }
}

TEST(Relocator, KeepsFileOrderAcrossKinds) {
    const std::string remote = "https://example.com/o/app.git";
    auto plans = Relocator::plan({{"/a", std::nullopt},
                                  {"/u/app/.env", project("/u/app", remote, ".env")},
                                  {"/u/gone/.env", project("/u/gone", "https://example.com/o/gone", ".env")}},
                                 {{"/srv/app", remote}}, false);
    ASSERT_EQ(plans.size(), 3u);
    EXPECT_EQ(plans[0].match, Match::absolute);
    EXPECT_EQ(plans[1].match, Match::matchedRepo);
    EXPECT_EQ(plans[2].match, Match::repoNotFound);
    EXPECT_EQ(plans[1].id(), "/u/app/.env");
}

TEST(RelocationPlanJson, RoundTripsAndRefusesUnknownMatches) {
    RelocationPlan plan{"/u/app/.env", project("/u/app", "r", ".env"), Match::matchedRepo, "/srv/app/.env", "/srv/app"};
    nlohmann::json j = plan;
    EXPECT_EQ(j["match"], "matchedRepo");
    EXPECT_EQ(j.get<RelocationPlan>(), plan);
    RelocationPlan bare{"/x", std::nullopt, Match::repoNotFound, std::nullopt, std::nullopt};
    nlohmann::json k = bare;
    EXPECT_FALSE(k.contains("destination"));
    EXPECT_FALSE(k.contains("project"));
    EXPECT_EQ(k.get<RelocationPlan>(), bare);
    EXPECT_THROW(nlohmann::json("matched").get<RelocationPlan::Match>(), nlohmann::json::exception);
    EXPECT_EQ(relocationMatchFromString("absolute"), Match::absolute);
    EXPECT_FALSE(relocationMatchFromString("Absolute"));
}

} // namespace
} // namespace stowage
