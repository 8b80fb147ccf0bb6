#include "core/Relocator.hpp"

#include <gtest/gtest.h>

namespace stowage {
namespace {

using Match = RelocationPlan::Match;

TEST(Relocator, ProjectSecretsGoToTheCloneOfTheirRemote) {
    const std::string r = "git@github.com:Org/App.git";
    struct Case {
        const char* what;
        bool remoteRecorded, flatten;
        std::optional<std::string> root; // the clone chosen; absent: none is
        std::vector<LocalRepo> repos;
    };
    const std::vector<Case> cases = {
        {"address form", true, false, "/h/app", {{"/h/app", "https://github.com/org/app/"}}},
        {"flattened", true, true, "/srv/app", {{"/srv/app", "ssh://git@github.com/org/app.git"}}},
        {"the first clone named like it", true, false, "/z/app", {{"/z/app", r}, {"/a/app", r}}},
        {"else the root that sorts first", true, false, "/o/app-2", {{"/w/app-copy", r}, {"/o/app-2", r}}},
        {"the name before the sort order", true, false, "/z/app", {{"/a/app-fork", r}, {"/z/app", r}}},
        {"no remote recorded", false, false, std::nullopt, {{"/h/app", std::nullopt}}},
        {"no clone of the remote", true, false, std::nullopt, {{"/h/app", "https://github.com/org/tool"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ProjectContext project{"/Users/u/dev/app", c.remoteRecorded ? std::optional(r) : std::nullopt, "api/.env"};
        auto plans = Relocator::plan({{"/Users/u/dev/app/api/.env", project}}, c.repos, c.flatten);
        ASSERT_EQ(plans.size(), 1u);
        EXPECT_EQ(plans[0].project, project);
        EXPECT_EQ(plans[0].match, c.root ? Match::matchedRepo : Match::repoNotFound);
        EXPECT_EQ(plans[0].matchedRepoRoot, c.root);
        EXPECT_EQ(plans[0].destination,
                  c.root ? std::optional(*c.root + (c.flatten ? "/.env" : "/api/.env")) : std::nullopt);
    }
}

TEST(Relocator, PlacementsThatLeaveTheRepositoryAreNeverMatched) {
    const std::string remote = "https://example.com/o/app.git";
    for (const std::string& rel : {std::string("../../.bashrc"), std::string("/etc/passwd"), std::string(),
                                   std::string("a//b"), std::string("a\0b", 3)}) {
        auto plans =
            Relocator::plan({{"/u/app/x", ProjectContext{"/u/app", remote, rel}}}, {{"/srv/app", remote}}, true);
        EXPECT_EQ(plans[0].match, Match::repoNotFound) << rel;
        EXPECT_FALSE(plans[0].destination) << rel;
    }
}

TEST(Relocator, OtherFilesKeepTheirPathAndPlansKeepFileOrder) {
    const std::string remote = "https://example.com/o/app.git";
    auto plans = Relocator::plan({{"/u/.ssh/id", std::nullopt},
                                  {"/u/app/.env", ProjectContext{"/u/app", remote, ".env"}},
                                  {"/u/gone/.env", ProjectContext{"/u/gone", "https://example.com/o/gone", ".env"}}},
                                 {{"/srv/app", remote}}, false);
    ASSERT_EQ(plans.size(), 3u);
    EXPECT_EQ(plans[0], (RelocationPlan{"/u/.ssh/id", std::nullopt, Match::absolute, "/u/.ssh/id", std::nullopt}));
    EXPECT_EQ(plans[1].id(), "/u/app/.env");
    EXPECT_EQ(plans[1].destination, "/srv/app/.env");
    EXPECT_EQ(plans[2].match, Match::repoNotFound);
    for (const RelocationPlan& plan : plans)
        EXPECT_EQ(nlohmann::json(plan).get<RelocationPlan>(), plan);
    EXPECT_FALSE(nlohmann::json(plans[2]).contains("destination"));
}

} // namespace
} // namespace stowage
