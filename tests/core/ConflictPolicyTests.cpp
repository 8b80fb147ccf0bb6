#include "core/ConflictPolicy.hpp"
#include "core/Relocator.hpp"
#include "core/RestoreOutcome.hpp"

#include <gtest/gtest.h>

#include <cctype>
#include <set>

using namespace stowage;

namespace {

/// Every value encodes as its raw text and decodes back; any other text, or a non-string, is refused.
template <typename E, typename FromString>
void expectRawValuesRoundTrip(const std::vector<E>& all, FromString fromString, std::vector<std::string> raw) {
    ASSERT_EQ(all.size(), raw.size());
    for (std::size_t k = 0; k < all.size(); ++k) {
        SCOPED_TRACE(raw[k]);
        EXPECT_EQ(toString(all[k]), raw[k]);
        EXPECT_EQ(fromString(raw[k]), all[k]);
        EXPECT_EQ(nlohmann::json(all[k]), raw[k]);
        EXPECT_EQ(nlohmann::json(raw[k]).get<E>(), all[k]);
        raw.push_back(raw[k] + " ");
        raw.push_back(std::string(1, static_cast<char>(std::toupper(raw[k][0]))) + raw[k].substr(1));
    }
    for (std::size_t k = all.size(); k < raw.size(); ++k) {
        EXPECT_EQ(fromString(raw[k]), std::nullopt) << raw[k];
        EXPECT_THROW(nlohmann::json(raw[k]).get<E>(), nlohmann::json::exception) << raw[k];
    }
    EXPECT_THROW(nlohmann::json(0).get<E>(), nlohmann::json::exception);
    EXPECT_THROW(nlohmann::json(nullptr).get<E>(), nlohmann::json::exception);
}

} // namespace

TEST(RestoreEnums, RawValuesRoundTripAndOthersAreRefused) {
    expectRawValuesRoundTrip(allConflictPolicies(), conflictPolicyFromString, {"overwrite", "skip", "writeBeside"});
    expectRawValuesRoundTrip(allRestoreActions(), restoreActionFromString,
                             {"restored", "wroteBeside", "skipped", "unchanged", "failed"});
    expectRawValuesRoundTrip(allRelocationMatches(), relocationMatchFromString,
                             {"matchedRepo", "repoNotFound", "absolute"});
    // Each choice the user is offered has a label and an explanation of its own.
    std::set<std::string> texts;
    for (ConflictPolicy policy : allConflictPolicies())
        texts.insert({displayName(policy), blurb(policy)});
    EXPECT_EQ(texts.size(), 2 * allConflictPolicies().size());
    EXPECT_EQ(texts.count(""), 0u);
}

TEST(ConflictPolicyTest, BesidePathAppendsToTheWholeName) {
    EXPECT_EQ(besidePath("/home/u/archive.tar.gz"), "/home/u/archive.tar.gz.stowage-restored");
}

TEST(RestoreOutcomeTest, JsonLeavesOutAbsentFieldsAndKeepsEveryGivenOne) {
    using Action = RestoreOutcome::Action;
    RestoreOutcome skipped{"~/.gitconfig", std::nullopt, Action::skipped, std::nullopt, std::nullopt, std::nullopt, {}};
    EXPECT_EQ(nlohmann::json(skipped), (nlohmann::json{{"originalPath", "~/.gitconfig"}, {"action", "skipped"}}));
    EXPECT_EQ(nlohmann::json(skipped).get<RestoreOutcome>(), skipped);

    RestoreOutcome inner{"~/.zshrc/x", std::nullopt, Action::failed, std::nullopt, std::nullopt, "unreadable", {}};
    RestoreOutcome full{"~/.zshrc",
                        "/home/u/.zshrc.stowage-restored",
                        Action::wroteBeside,
                        FileDiff{FileDiff::Kind::modified, {"- a", "+ b"}, 1, 1},
                        "/b/.stowage-overwritten/.zshrc",
                        std::nullopt,
                        {inner}};
    full.needsRoot = true;
    nlohmann::json j = full;
    EXPECT_EQ(j.at("backedUpTo"), "/b/.stowage-overwritten/.zshrc");
    EXPECT_EQ(j.at("needsRoot"), true);
    EXPECT_EQ(j.get<RestoreOutcome>(), full);
    EXPECT_THROW(nlohmann::json({{"action", "restored"}}).get<RestoreOutcome>(), nlohmann::json::exception);
}
