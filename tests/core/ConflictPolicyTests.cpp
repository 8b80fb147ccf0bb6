#include "core/ConflictPolicy.hpp"
#include "core/RestoreOutcome.hpp"

#include <gtest/gtest.h>

#include <set>

using namespace stowage;

TEST(ConflictPolicyTest, CasesInOrderWithTheirTexts) {
    ASSERT_EQ(allConflictPolicies(), (std::vector<ConflictPolicy>{ConflictPolicy::overwrite, ConflictPolicy::skip,
                                                                  ConflictPolicy::writeBeside}));
    EXPECT_EQ(toString(ConflictPolicy::overwrite), "overwrite");
    EXPECT_EQ(toString(ConflictPolicy::skip), "skip");
    EXPECT_EQ(toString(ConflictPolicy::writeBeside), "writeBeside");
    EXPECT_EQ(displayName(ConflictPolicy::overwrite), "Overwrite");
    EXPECT_EQ(displayName(ConflictPolicy::skip), "Skip existing");
    EXPECT_EQ(displayName(ConflictPolicy::writeBeside), "Write beside");
    EXPECT_EQ(blurb(ConflictPolicy::overwrite), "Replace files that already exist.");
    EXPECT_EQ(blurb(ConflictPolicy::skip), "Keep existing files; only write missing ones.");
    EXPECT_EQ(blurb(ConflictPolicy::writeBeside), "Never overwrite \u2014 save as <name>.stowage-restored.");
}

TEST(ConflictPolicyTest, DecodesOnlyItsOwnRawValues) {
    for (ConflictPolicy policy : allConflictPolicies()) {
        EXPECT_EQ(conflictPolicyFromString(toString(policy)), policy);
        nlohmann::json j = policy;
        EXPECT_EQ(j, toString(policy));
        EXPECT_EQ(j.get<ConflictPolicy>(), policy);
    }
    for (const char* raw : {"", "Overwrite", "SKIP", "write_beside", "writebeside", "overwrite ", "Write beside"}) {
        EXPECT_EQ(conflictPolicyFromString(raw), std::nullopt) << raw;
        EXPECT_THROW(nlohmann::json(raw).get<ConflictPolicy>(), nlohmann::json::exception) << raw;
    }
    EXPECT_THROW(nlohmann::json(0).get<ConflictPolicy>(), nlohmann::json::exception);
    EXPECT_THROW(nlohmann::json(nullptr).get<ConflictPolicy>(), nlohmann::json::exception);
}

TEST(ConflictPolicyTest, BesidePathAppendsToTheWholePath) {
    EXPECT_EQ(besideSuffix, ".stowage-restored");
    EXPECT_EQ(besidePath("/home/u/notes.txt"), "/home/u/notes.txt.stowage-restored");
    EXPECT_EQ(besidePath("/home/u/.zshrc"), "/home/u/.zshrc.stowage-restored");
    EXPECT_EQ(besidePath("/home/u/archive.tar.gz"), "/home/u/archive.tar.gz.stowage-restored");
}

TEST(RestoreOutcomeTest, ActionsRoundTripAndRejectUnknown) {
    const std::vector<std::string> raw{"restored", "wroteBeside", "skipped", "unchanged", "failed"};
    ASSERT_EQ(allRestoreActions().size(), raw.size());
    for (std::size_t k = 0; k < raw.size(); ++k) {
        EXPECT_EQ(toString(allRestoreActions()[k]), raw[k]);
        EXPECT_EQ(restoreActionFromString(raw[k]), allRestoreActions()[k]);
    }
    EXPECT_EQ(restoreActionFromString("Restored"), std::nullopt);
    EXPECT_THROW(nlohmann::json("overwritten").get<RestoreOutcome::Action>(), nlohmann::json::exception);
}

TEST(RestoreOutcomeTest, IdentityIsTheOriginalPath) {
    RestoreOutcome first{
        "~/.zshrc", "/home/u/.zshrc", RestoreOutcome::Action::restored, std::nullopt, std::nullopt, std::nullopt, {}};
    RestoreOutcome second{
        "~/.zshrc", std::nullopt, RestoreOutcome::Action::skipped, std::nullopt, std::nullopt, std::nullopt, {}};
    RestoreOutcome other{
        "~/.bashrc", "/home/u/.bashrc", RestoreOutcome::Action::restored, std::nullopt, std::nullopt, std::nullopt, {}};
    EXPECT_EQ(first.id(), second.id());
    EXPECT_NE(first, second);
    EXPECT_NE(first.id(), other.id());
    std::set<std::string> ids{first.id(), second.id(), other.id()};
    EXPECT_EQ(ids.size(), 2u);
}

TEST(RestoreOutcomeTest, JsonLeavesOutAbsentFields) {
    RestoreOutcome skipped{
        "~/.gitconfig", std::nullopt, RestoreOutcome::Action::skipped, std::nullopt, std::nullopt, std::nullopt, {}};
    nlohmann::json j = skipped;
    EXPECT_EQ(j, (nlohmann::json{{"originalPath", "~/.gitconfig"}, {"action", "skipped"}}));
    EXPECT_EQ(j.get<RestoreOutcome>(), skipped);

    RestoreOutcome full{"~/.zshrc",
                        besidePath("/home/u/.zshrc"),
                        RestoreOutcome::Action::wroteBeside,
                        FileDiff{FileDiff::Kind::modified, {"- a", "+ b"}, 1, 1},
                        "/backup/.stowage-overwritten/.zshrc",
                        std::nullopt,
                        std::vector<RestoreOutcome>{{"~/.zshrc/x",
                                                     std::nullopt,
                                                     RestoreOutcome::Action::failed,
                                                     std::nullopt,
                                                     std::nullopt,
                                                     "the stored copy cannot be read",
                                                     {}}}};
    j = full;
    EXPECT_EQ(j.at("writtenPath"), "/home/u/.zshrc.stowage-restored");
    EXPECT_EQ(j.at("action"), "wroteBeside");
    EXPECT_EQ(j.at("diff").at("kind"), "modified");
    EXPECT_EQ(j.at("backedUpTo"), "/backup/.stowage-overwritten/.zshrc");
    EXPECT_EQ(j.at("files").at(0).at("error"), "the stored copy cannot be read");
    EXPECT_EQ(j.get<RestoreOutcome>(), full);

    j["action"] = "moved";
    EXPECT_THROW(j.get<RestoreOutcome>(), nlohmann::json::exception);
    EXPECT_THROW(nlohmann::json({{"action", "restored"}}).get<RestoreOutcome>(), nlohmann::json::exception);
}
