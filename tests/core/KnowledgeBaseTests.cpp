#include "core/DefaultKnowledgeBase.hpp"

#include <gtest/gtest.h>

#include <regex>
#include <set>

using namespace stowage;

// The catalog's shape, not its rows: unique ids, the original tier blocks, risk and sensitivity that
// follow the tier, usable pattern forms, texts that name no web address, and a lossless JSON form.
TEST(DefaultKnowledgeBaseTest, EveryRuleIsWellFormedAndSurvivesJson) {
    const auto& rules = DefaultKnowledgeBase::rules();
    const std::size_t original = DefaultKnowledgeBase::originalRuleCount;
    ASSERT_GT(rules.size(), original);

    std::set<std::string> ids;
    for (std::size_t i = 0; i < rules.size(); ++i) {
        const ArtifactRule& r = rules[i];
        SCOPED_TRACE(r.id);
        EXPECT_TRUE(ids.insert(r.id).second) << "duplicate id";
        EXPECT_EQ(r.id.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789-"), std::string::npos);
        // Rows 1-24 secret, 25-40 config, 41-47 reproducible; later rules keep the tier order.
        const Tier block = i < 24 ? Tier::secret : (i < 40 ? Tier::config : Tier::reproducible);
        EXPECT_TRUE(i < original ? r.tier == block
                                 : i == original || sortOrder(rules[i - 1].tier) <= sortOrder(r.tier));
        EXPECT_EQ(r.sensitive, r.tier == Tier::secret);
        EXPECT_TRUE(r.tier == Tier::secret ? r.risk >= Risk::medium
                                           : (r.tier == Tier::config ? r.risk <= Risk::medium : r.risk == Risk::low));

        ASSERT_TRUE(r.recovery.has_value());
        for (const std::string* text : {&r.title, &r.detail, &*r.recovery}) {
            EXPECT_FALSE(text->empty());
            // No web address: "crates.io", "fly.io", "https://…" (".netrc" is a file name).
            EXPECT_FALSE(std::regex_search(*text, std::regex(R"(\w\.(io|com|dev|org|net)\b|://)"))) << *text;
        }
        EXPECT_EQ(r.kind, r.id == "env-files" ? ScanKind::envFiles : ScanKind::paths);
        EXPECT_EQ(r.paths.empty(), r.kind == ScanKind::envFiles);
        // Only the two system locations are named absolutely; everything else belongs to the user.
        for (const auto& p : r.paths)
            EXPECT_TRUE(std::regex_search(p, std::regex(R"(^(~|\$XDG_CONFIG_HOME|\$XDG_DATA_HOME)?/)")) &&
                        p.find("//") == std::string::npos && p.back() != '/' &&
                        (p.front() != '/' || r.id == "homebrew" || r.id == "package-sources"))
                << p;

        // Through text, so the typographic characters travel as UTF-8.
        EXPECT_EQ(nlohmann::json::parse(nlohmann::json(r).dump()).get<ArtifactRule>(), r);
    }
}
