#include "core/DefaultKnowledgeBase.hpp"

#include <gtest/gtest.h>

#include <set>
#include <thread>

using namespace stowage;

TEST(DefaultKnowledgeBaseTest, ShapeOfTheCatalog) {
    const auto& rules = DefaultKnowledgeBase::rules();
    const std::size_t original = DefaultKnowledgeBase::originalRuleCount;
    ASSERT_GT(rules.size(), original);
    EXPECT_EQ(rules.front().id, "ssh-keys");
    EXPECT_EQ(rules[original - 1].id, "js-runtimes");

    std::set<std::string> ids;
    for (const auto& r : rules) {
        EXPECT_TRUE(ids.insert(r.id).second) << "duplicate id " << r.id;
        for (char c : r.id)
            EXPECT_TRUE((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-') << r.id;
    }

    // The original rules keep their blocks (rows 1-24 secret, 25-40 config, 41-47 reproducible); the
    // rules after them come in the same tier order among themselves.
    for (size_t i = 0; i < original; ++i) {
        Tier want = i < 24 ? Tier::secret : (i < 40 ? Tier::config : Tier::reproducible);
        EXPECT_EQ(rules[i].tier, want) << rules[i].id;
    }
    for (size_t i = original + 1; i < rules.size(); ++i)
        EXPECT_LE(sortOrder(rules[i - 1].tier), sortOrder(rules[i].tier)) << rules[i].id;

    for (const auto& r : rules) {
        SCOPED_TRACE(r.id);
        EXPECT_EQ(r.sensitive, r.tier == Tier::secret);
        switch (r.tier) {
        case Tier::secret:
            EXPECT_GE(r.risk, Risk::medium);
            break;
        case Tier::config:
            EXPECT_LE(r.risk, Risk::medium);
            break;
        case Tier::reproducible:
            EXPECT_EQ(r.risk, Risk::low);
            break;
        }
    }
}

TEST(DefaultKnowledgeBaseTest, ScanKindsRecoveryAndPatternForms) {
    for (const auto& r : DefaultKnowledgeBase::rules()) {
        SCOPED_TRACE(r.id);
        ASSERT_TRUE(r.recovery.has_value());
        EXPECT_FALSE(r.recovery->empty());
        EXPECT_FALSE(r.title.empty());
        EXPECT_FALSE(r.detail.empty());
        EXPECT_NE(r.kind, ScanKind::command);
        if (r.id == "env-files") {
            EXPECT_EQ(r.kind, ScanKind::envFiles);
            EXPECT_TRUE(r.paths.empty());
            continue;
        }
        EXPECT_EQ(r.kind, ScanKind::paths);
        EXPECT_FALSE(r.paths.empty());
        for (const auto& p : r.paths) {
            const bool known = p.rfind("~/", 0) == 0 || p.rfind("/", 0) == 0 || p.rfind("$XDG_CONFIG_HOME/", 0) == 0 ||
                               p.rfind("$XDG_DATA_HOME/", 0) == 0;
            EXPECT_TRUE(known) << p;
            EXPECT_EQ(p.find("//"), std::string::npos) << p;
            EXPECT_NE(p.back(), '/') << p;
            // Only the two system locations are named absolutely; everything else belongs to the user.
            if (p.front() == '/') {
                EXPECT_TRUE(r.id == "homebrew" || r.id == "package-sources") << p;
            }
        }
    }
}

TEST(DefaultKnowledgeBaseTest, TextsLeftToUsNameNoWebDomain) {
    const auto& rules = DefaultKnowledgeBase::rules();
    auto byId = [&](const std::string& id) -> const ArtifactRule& {
        for (const auto& r : rules)
            if (r.id == id)
                return r;
        throw std::runtime_error("no rule " + id);
    };
    const auto& cargo = byId("cargo-creds");
    EXPECT_EQ(cargo.title.rfind("Cargo (", 0), 0u);
    EXPECT_EQ(cargo.title.substr(cargo.title.size() - 13), ") credentials");
    EXPECT_EQ(cargo.detail.substr(cargo.detail.size() - 15), " publish token.");
    const auto& cloud = byId("cloud-cli-tokens");
    EXPECT_EQ(cloud.detail.rfind("Auth tokens for DigitalOcean, ", 0), 0u);
    EXPECT_NE(cloud.detail.find("Fly"), std::string::npos);
    EXPECT_EQ(cloud.detail.substr(cloud.detail.size() - 36), ", Stripe, Netlify, and similar CLIs.");
    for (const std::string* text : {&cargo.title, &cargo.detail, &cloud.detail}) {
        for (const char* tld : {".io", ".com", ".dev", ".org", ".net", "://"})
            EXPECT_EQ(text->find(tld), std::string::npos) << *text;
    }
}

TEST(DefaultKnowledgeBaseTest, EveryRuleSurvivesAJsonRoundTrip) {
    for (const auto& r : DefaultKnowledgeBase::rules()) {
        SCOPED_TRACE(r.id);
        nlohmann::json j = r;
        // Through text, so the typographic characters are exercised as UTF-8 on the way.
        nlohmann::json reparsed = nlohmann::json::parse(j.dump());
        EXPECT_EQ(reparsed.get<ArtifactRule>(), r);
        EXPECT_EQ(reparsed["tier"], toString(r.tier));
        EXPECT_EQ(reparsed["risk"], rawValue(r.risk));
        EXPECT_EQ(reparsed["recovery"], *r.recovery);
    }
}

TEST(DefaultKnowledgeBaseTest, BuiltOnceAndSharedAcrossThreads) {
    const std::vector<ArtifactRule>* seen[4] = {};
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([&seen, i] { seen[i] = &DefaultKnowledgeBase::rules(); });
    for (auto& t : threads)
        t.join();
    for (auto* p : seen)
        EXPECT_EQ(p, &DefaultKnowledgeBase::rules());
}
