#include "core/BackupError.hpp"
#include "core/Models.hpp"

#include <gtest/gtest.h>

#include <limits>

using namespace stowage;

namespace {

ArtifactRule rule(const std::string& id, Tier tier, Risk risk) {
    return ArtifactRule{id, id, "Cat", tier, risk, tier == Tier::secret, ScanKind::paths, {"~/" + id}, "d", "r"};
}

FoundPath found(const std::string& path, std::int64_t bytes, GitTracking tracking = GitTracking::unknown()) {
    return FoundPath{path, false, bytes, std::nullopt, tracking};
}

} // namespace

TEST(VocabularyTest, RawValuesRoundTripAndRejectUnknown) {
    EXPECT_EQ(tierFromString("secret"), Tier::secret);
    EXPECT_EQ(tierFromString("Secret"), std::nullopt);
    EXPECT_EQ(riskFromRaw(0), std::nullopt);
    EXPECT_EQ(riskFromRaw(5), std::nullopt);
    EXPECT_EQ(riskFromRaw(4), Risk::critical);
    EXPECT_LT(Risk::low, Risk::medium);
    EXPECT_LT(Risk::high, Risk::critical);
    EXPECT_EQ(scanKindFromString("envFiles"), ScanKind::envFiles);
    EXPECT_EQ(scanKindFromString("EnvFiles"), std::nullopt);
    EXPECT_EQ(displayName(Tier::reproducible), "Reproducible");
    EXPECT_EQ(blurb(Tier::secret), "Irreplaceable or painful to reissue \u2014 back up encrypted, never plain git.");
    EXPECT_EQ(label(Risk::critical), "Critical");
}

TEST(VocabularyTest, GitTrackingEqualityAndSafety) {
    EXPECT_TRUE(GitTracking::tracked("/r").isSafe());
    EXPECT_FALSE(GitTracking::untracked("/r").isSafe());
    EXPECT_FALSE(GitTracking::unknown().isSafe());
    EXPECT_FALSE(GitTracking::notInRepo().isSafe());
    EXPECT_EQ(GitTracking::tracked("/r"), GitTracking::tracked("/r"));
    EXPECT_NE(GitTracking::tracked("/r"), GitTracking::tracked("/s"));
    EXPECT_NE(GitTracking::tracked("/r"), GitTracking::untracked("/r"));
}

TEST(ArtifactRuleJsonTest, EncodesExactKeysAndOmitsAbsentRecovery) {
    ArtifactRule r = rule("ssh-keys", Tier::secret, Risk::critical);
    nlohmann::json j = r;
    EXPECT_EQ(j["tier"], "secret");
    EXPECT_EQ(j["risk"], 4);
    EXPECT_EQ(j["kind"], "paths");
    EXPECT_EQ(j["sensitive"], true);
    EXPECT_EQ(j["recovery"], "r");
    EXPECT_EQ(j.size(), 10u);
    r.recovery.reset();
    j = r;
    EXPECT_FALSE(j.contains("recovery"));
    EXPECT_EQ(j.get<ArtifactRule>(), r);
}

TEST(ArtifactRuleJsonTest, DecodingRequiresEveryKeyButRecovery) {
    nlohmann::json j = rule("x", Tier::config, Risk::low);
    j.erase("recovery");
    EXPECT_FALSE(j.get<ArtifactRule>().recovery.has_value());
    auto noPaths = j;
    noPaths.erase("paths");
    EXPECT_THROW(noPaths.get<ArtifactRule>(), nlohmann::json::exception);
    auto badRisk = j;
    badRisk["risk"] = 0;
    EXPECT_THROW(badRisk.get<ArtifactRule>(), nlohmann::json::exception);
    auto badTier = j;
    badTier["tier"] = "Secret";
    EXPECT_THROW(badTier.get<ArtifactRule>(), nlohmann::json::exception);
    auto badKind = j;
    badKind["kind"] = "glob";
    EXPECT_THROW(badKind.get<ArtifactRule>(), nlohmann::json::exception);
}

TEST(InventoryTest, EmptyInventoryHasNoDerivedValues) {
    Inventory inv{{}, {}};
    EXPECT_EQ(inv.highestRisk(), std::nullopt);
    EXPECT_EQ(inv.secretCount(), 0);
    EXPECT_EQ(inv.totalBytes(), 0);
    EXPECT_TRUE(inv.selectablePaths().empty());
    EXPECT_TRUE(inv.configGaps().empty());
    for (Tier t : allTiers())
        EXPECT_TRUE(inv.findingsIn(t).empty());
}

TEST(InventoryTest, FindingsInTierAreStablyOrderedByRiskOnly) {
    Inventory inv{{
                      {rule("h1", Tier::secret, Risk::high), {found("/a", 1)}},
                      {rule("c0", Tier::config, Risk::critical), {found("/z", 1)}},
                      {rule("h2", Tier::secret, Risk::high), {found("/b", 1)}},
                      {rule("c1", Tier::secret, Risk::critical), {found("/c", 1)}},
                  },
                  {}};
    auto secrets = inv.findingsIn(Tier::secret);
    ASSERT_EQ(secrets.size(), 3u);
    EXPECT_EQ(secrets[0].rule.id, "c1");
    EXPECT_EQ(secrets[1].rule.id, "h1");
    EXPECT_EQ(secrets[2].rule.id, "h2");
    EXPECT_EQ(inv.highestRisk(), Risk::critical);
    EXPECT_EQ(inv.secretCount(), 3);
    EXPECT_EQ(inv.selectablePaths(), (std::vector<std::string>{"/c", "/a", "/b", "/z"}));
}

TEST(InventoryTest, SelectablePathsKeepDuplicatesAndSkipReproducible) {
    Inventory inv{{
                      {rule("s", Tier::secret, Risk::low), {found("/same", 1)}},
                      {rule("c", Tier::config, Risk::low), {found("/same", 1)}},
                      {rule("r", Tier::reproducible, Risk::critical), {found("/brew", 1)}},
                  },
                  {}};
    EXPECT_EQ(inv.selectablePaths(), (std::vector<std::string>{"/same", "/same"}));
}

TEST(InventoryTest, ConfigGapsNeedAnUntrackedConfigPath) {
    Finding allTracked{rule("a", Tier::config, Risk::low),
                       {found("/x", 1, GitTracking::tracked("/r")), found("/y", 1, GitTracking::tracked("/r"))}};
    Finding oneUnknown{rule("b", Tier::config, Risk::low),
                       {found("/x", 1, GitTracking::tracked("/r")), found("/y", 1, GitTracking::unknown())}};
    Finding untracked{rule("c", Tier::config, Risk::low), {found("/x", 1, GitTracking::untracked("/r"))}};
    Finding notInRepo{rule("d", Tier::config, Risk::low), {found("/x", 1, GitTracking::notInRepo())}};
    Finding secret{rule("e", Tier::secret, Risk::low), {found("/x", 1, GitTracking::notInRepo())}};
    EXPECT_FALSE(allTracked.isUnbackedConfigGap());
    EXPECT_TRUE(oneUnknown.isUnbackedConfigGap());
    EXPECT_TRUE(untracked.isUnbackedConfigGap());
    EXPECT_TRUE(notInRepo.isUnbackedConfigGap());
    EXPECT_FALSE(secret.isUnbackedConfigGap());
    Inventory inv{{allTracked, oneUnknown, secret, notInRepo}, {}};
    auto gaps = inv.configGaps();
    ASSERT_EQ(gaps.size(), 2u);
    EXPECT_EQ(gaps[0].rule.id, "b");
    EXPECT_EQ(gaps[1].rule.id, "d");
}

TEST(InventoryTest, ByteSumsSaturateInsteadOfWrapping) {
    constexpr auto max = std::numeric_limits<std::int64_t>::max();
    constexpr auto min = std::numeric_limits<std::int64_t>::min();
    Finding big{rule("a", Tier::secret, Risk::low), {found("/x", max - 1), found("/y", 5)}};
    EXPECT_EQ(big.totalBytes(), max);
    Finding neg{rule("b", Tier::secret, Risk::low), {found("/x", min + 1), found("/y", -5)}};
    EXPECT_EQ(neg.totalBytes(), min);
    Inventory inv{{big, big}, {}};
    EXPECT_EQ(inv.totalBytes(), max);
    Finding small{rule("c", Tier::config, Risk::low), {found("/x", 3), found("/y", 4)}};
    EXPECT_EQ(small.totalBytes(), 7);
    EXPECT_EQ(Finding{}.totalBytes(), 0);
}

TEST(BackupErrorTest, DescriptionsAreTheUserFacingSentences) {
    EXPECT_STREQ(BackupError::keychain(-25300).what(), "Keychain error (status -25300)");
    EXPECT_STREQ(BackupError::io("no access to ~/StowageBackup").what(), "I/O error: no access to ~/StowageBackup");
    EXPECT_STREQ(BackupError::badRecoveryCode().what(), "Recovery code is not valid");
    EXPECT_STREQ(BackupError::decryptFailed().what(), "Could not decrypt bundle \u2014 wrong key or corrupt file");
    EXPECT_EQ(BackupError::io("x").kind(), BackupError::Kind::io);
}
