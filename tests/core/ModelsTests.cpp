#include "core/AppScanner.hpp"
#include "core/Models.hpp"
#include "core/ProjectScanner.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <set>

using namespace stowage;

namespace {

ArtifactRule rule(const std::string& id, Tier tier, Risk risk) {
    return ArtifactRule{id, id, "Cat", tier, risk, tier == Tier::secret, ScanKind::paths, {"~/" + id}, "d", "r"};
}

FoundPath found(const std::string& path, std::int64_t bytes, GitTracking tracking = GitTracking::unknown()) {
    return FoundPath{path, false, bytes, std::nullopt, tracking};
}

} // namespace

TEST(VocabularyTest, RawValuesAndRulesRoundTripThroughJsonAndUnknownValuesAreRefused) {
    for (Tier tier : allTiers())
        for (Risk risk : {Risk::low, Risk::medium, Risk::high, Risk::critical})
            for (ScanKind kind : {ScanKind::paths, ScanKind::envFiles, ScanKind::command}) {
                ArtifactRule r = rule("x", tier, risk);
                r.kind = kind;
                EXPECT_EQ(nlohmann::json(r).get<ArtifactRule>(), r);
                EXPECT_TRUE(tierFromString(toString(tier)) == tier && riskFromRaw(rawValue(risk)) == risk &&
                            scanKindFromString(toString(kind)) == kind);
            }
    EXPECT_FALSE(tierFromString("Secret") || riskFromRaw(0) || riskFromRaw(5) || scanKindFromString("EnvFiles"));

    // A rule is stored with these keys and values; the recovery note is optional, the rest required.
    ArtifactRule r = rule("ssh-keys", Tier::secret, Risk::critical);
    nlohmann::json j = r;
    EXPECT_EQ(j.size(), 10u);
    EXPECT_TRUE(j["tier"] == "secret" && j["risk"] == 4 && j["kind"] == "paths" && j["sensitive"] == true) << j;
    r.recovery.reset();
    j = r;
    EXPECT_FALSE(j.contains("recovery"));
    EXPECT_EQ(j.get<ArtifactRule>(), r);
    for (const auto& [key, value] : std::vector<std::pair<std::string, nlohmann::json>>{
             {"risk", 0}, {"tier", "Secret"}, {"kind", "glob"}, {"paths", "~/x"}}) {
        auto damaged = j;
        damaged[key] = value;
        EXPECT_THROW(damaged.get<ArtifactRule>(), nlohmann::json::exception) << key;
    }
    j.erase("paths");
    EXPECT_THROW(j.get<ArtifactRule>(), nlohmann::json::exception);
}

// Lists and headings tell values apart only by their labels.
TEST(VocabularyTest, EveryValueShowsItsOwnLabel) {
    auto distinct = [](const std::vector<std::string>& labels) {
        const std::set<std::string> unique(labels.begin(), labels.end());
        return unique.size() == labels.size() && unique.count("") == 0;
    };
    std::vector<std::string> tiers, blurbs, risks, sources, kinds;
    for (Tier tier : allTiers()) {
        tiers.push_back(displayName(tier));
        blurbs.push_back(blurb(tier));
    }
    for (Risk risk : {Risk::low, Risk::medium, Risk::high, Risk::critical})
        risks.push_back(label(risk));
    for (AppSource source :
         {AppSource::appStore, AppSource::homebrewCask, AppSource::manual, AppSource::distributionPackage,
          AppSource::flatpak, AppSource::snap, AppSource::appImage, AppSource::nix})
        sources.push_back(label(source));
    for (ProjectKind kind : {ProjectKind::gitWithRemote, ProjectKind::gitNoRemote, ProjectKind::nonGit})
        kinds.push_back(label(kind));
    EXPECT_TRUE(distinct(tiers) && distinct(blurbs) && distinct(risks) && distinct(sources) && distinct(kinds));
}

TEST(InventoryTest, FindingsAreOrderedByRiskStablyAndReproducibleOnesAreNotSelectable) {
    Inventory empty{{}, {}};
    EXPECT_TRUE(!empty.highestRisk() && empty.secretCount() == 0 && empty.selectablePaths().empty());
    Inventory inv{{
                      {rule("h1", Tier::secret, Risk::high), {found("/a", 1)}},
                      {rule("c0", Tier::config, Risk::critical), {found("/z", 1)}},
                      {rule("h2", Tier::secret, Risk::high), {found("/b", 1)}},
                      {rule("c1", Tier::secret, Risk::critical), {found("/c", 1)}},
                      {rule("r", Tier::reproducible, Risk::critical), {found("/brew", 1)}},
                      {rule("s", Tier::config, Risk::low), {found("/a", 1)}},
                  },
                  {}};
    auto secrets = inv.findingsIn(Tier::secret);
    ASSERT_EQ(secrets.size(), 3u);
    EXPECT_EQ(secrets[0].rule.id + secrets[1].rule.id + secrets[2].rule.id, "c1h1h2");
    EXPECT_EQ(inv.highestRisk(), Risk::critical);
    EXPECT_EQ(inv.secretCount(), 3);
    EXPECT_EQ(inv.selectablePaths(), (std::vector<std::string>{"/c", "/a", "/b", "/z", "/a"}));
}

TEST(InventoryTest, ConfigGapsNeedAnUntrackedConfigPath) {
    Finding allTracked{rule("a", Tier::config, Risk::low),
                       {found("/x", 1, GitTracking::tracked("/r")), found("/y", 1, GitTracking::tracked("/r"))}};
    Finding oneUnknown{rule("b", Tier::config, Risk::low),
                       {found("/x", 1, GitTracking::tracked("/r")), found("/y", 1, GitTracking::unknown())}};
    Finding untracked{rule("c", Tier::config, Risk::low), {found("/x", 1, GitTracking::untracked("/r"))}};
    Finding notInRepo{rule("d", Tier::config, Risk::low), {found("/x", 1, GitTracking::notInRepo())}};
    Finding secret{rule("e", Tier::secret, Risk::low), {found("/x", 1, GitTracking::notInRepo())}};
    Inventory inv{{allTracked, oneUnknown, secret, notInRepo, untracked}, {}};
    // Tracking in another repository is another state; the repository of an unknown one is noise.
    EXPECT_FALSE(GitTracking::tracked("/r") == GitTracking::tracked("/s"));
    EXPECT_TRUE((GitTracking{GitTracking::Case::unknown, "/r"}) == GitTracking::unknown());
    auto gaps = inv.configGaps();
    ASSERT_EQ(gaps.size(), 3u);
    EXPECT_EQ(gaps[0].rule.id + gaps[1].rule.id + gaps[2].rule.id, "bdc");
}

TEST(InventoryTest, ByteSumsSaturateInsteadOfWrapping) {
    Finding big{rule("a", Tier::secret, Risk::low), {found("/x", INT64_MAX - 1), found("/y", 5)}};
    EXPECT_EQ(big.totalBytes(), INT64_MAX);
    EXPECT_EQ((Finding{rule("b", Tier::secret, Risk::low), {found("/x", INT64_MIN + 1), found("/y", -5)}}.totalBytes()),
              INT64_MIN);
    EXPECT_EQ((Inventory{{big, big}, {}}.totalBytes()), INT64_MAX);
    EXPECT_EQ((Finding{rule("c", Tier::config, Risk::low), {found("/x", 3), found("/y", 4)}}.totalBytes()), 7);
    EXPECT_EQ(Finding{}.totalBytes(), 0);
}
