#include "core/BackupError.hpp"
#include "core/BackupManifest.hpp"
#include "core/Json.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using namespace stowage;
using Json = nlohmann::json;
using ::testing::HasSubstr;

namespace {

Timestamp at(const char* iso) {
    return *stowage::json::parseIso8601(iso);
}

BackupManifest sample() {
    BackupManifest m;
    m.createdAt = at("2026-12-05T11:04:37Z");
    m.configs = {{"/home/u/.zshrc", "config/home/.zshrc"}, {"/etc/hosts", "config/abs/_etc_hosts"}};
    m.manifests = {"manifest/Brewfile", "manifest/apps.md"};
    m.hasSecrets = true;
    m.secretPaths = {"/home/u/.ssh/id_ed25519"};
    return m;
}

/// Expects decoding to fail with a sentence that names the file and contains `detail`.
void expectDecodeFailure(const std::string& text, const std::string& detail) {
    try {
        BackupManifest::decode(text);
        ADD_FAILURE() << "decoded: " << text;
    } catch (const DecodingError& e) {
        EXPECT_THAT(e.what(), HasSubstr("backup.json cannot be read: "));
        EXPECT_THAT(e.what(), HasSubstr(detail));
    }
}

} // namespace

TEST(BackupManifestJson, PrettyEncodingHasSortedKeysAndWholeSecondUtcDates) {
    BackupManifest m = sample();
    m.createdAt += std::chrono::milliseconds(870); // fractions are dropped, never rounded up
    EXPECT_EQ(m.encode(), R"({
  "configs": [
    {
      "originalPath": "/home/u/.zshrc",
      "storedRelPath": "config/home/.zshrc"
    },
    {
      "originalPath": "/etc/hosts",
      "storedRelPath": "config/abs/_etc_hosts"
    }
  ],
  "createdAt": "2026-12-05T11:04:37Z",
  "hasSecrets": true,
  "manifests": [
    "manifest/Brewfile",
    "manifest/apps.md"
  ],
  "secretPaths": [
    "/home/u/.ssh/id_ed25519"
  ],
  "version": 1
})");
}

TEST(BackupManifestJson, ProjectsKeyIsLeftOutWhenAbsentAndKeptWhenEmpty) {
    BackupManifest m = sample();
    EXPECT_FALSE(Json::parse(m.encode()).contains("projects"));
    EXPECT_EQ(BackupManifest::decode(m.encode()).projects, std::nullopt);

    m.projects = std::vector<ProjectEntry>{};
    Json j = Json::parse(m.encode());
    ASSERT_TRUE(j.contains("projects"));
    EXPECT_TRUE(j["projects"].is_array() && j["projects"].empty());
    auto back = BackupManifest::decode(m.encode());
    ASSERT_TRUE(back.projects.has_value());
    EXPECT_TRUE(back.projects->empty());

    m.projects = std::vector<ProjectEntry>{{"/home/u/src/app", "projects/app", "app"},
                                           {"/home/u/work/app", "projects/app-2", "app-2"}};
    j = Json::parse(m.encode());
    EXPECT_EQ(j["projects"][1],
              (Json{{"name", "app-2"}, {"originalPath", "/home/u/work/app"}, {"storedRelPath", "projects/app-2"}}));
    EXPECT_EQ(BackupManifest::decode(m.encode()), m);
}

TEST(BackupManifestJson, LaterKeysAreOptionalInBothDirections) {
    // An old manifest without them stays readable; a new one round-trips them; a mistyped one is damage.
    const std::string old = sample().encode();
    for (const char* key : {"homeFolder", "secretsSize", "secretsSha256", "storedFiles"})
        EXPECT_FALSE(Json::parse(old).contains(key)) << key;
    EXPECT_EQ(BackupManifest::decode(old), sample());

    BackupManifest m = sample();
    m.homeFolder = "/home/u";
    m.secretsSize = 1234;
    m.secretsSha256 = std::string(64, 'a');
    m.storedFiles = std::vector<StoredFile>{{"config/home/.zshrc", 12, std::string(64, 'b')}};
    Json j = Json::parse(m.encode());
    EXPECT_EQ(j["storedFiles"][0],
              (Json{{"path", "config/home/.zshrc"}, {"sha256", std::string(64, 'b')}, {"size", 12}}));
    EXPECT_EQ(BackupManifest::decode(m.encode()), m);

    const std::vector<std::pair<std::string, std::string>> mistyped{
        {"homeFolder", "\"homeFolder\" is not a string"},
        {"secretsSize", "\"secretsSize\" is not a whole number"},
        {"secretsSha256", "\"secretsSha256\" is not a string"},
        {"storedFiles", "\"storedFiles\" is not a list"}};
    for (const auto& [key, detail] : mistyped) {
        Json damaged = j;
        damaged[key] = key == "secretsSize" ? Json("big") : Json(7);
        expectDecodeFailure(damaged.dump(), detail);
    }
    Json noSize = j;
    noSize["storedFiles"][0].erase("size");
    expectDecodeFailure(noSize.dump(), "\"storedFiles[0].size\" is missing");
}

TEST(BackupManifestJson, Sha256HexIsTheStandardDigest) {
    EXPECT_EQ(sha256Hex(toBytes("abc")), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(BackupManifestJson, ReadsAnyLayoutAndIgnoresUnknownKeys) {
    std::string text = R"({"version":1,"createdAt":"2026-12-05T12:04:37+01:00","configs":[
        {"originalPath":"/a","storedRelPath":"config/abs/_a","checksum":"x"}],"manifests":[],
        "hasSecrets":false,"secretPaths":[],"projects":null,"futureKey":{"nested":[1,2]}})";
    BackupManifest m = BackupManifest::decode(text);
    EXPECT_EQ(m.createdAt, at("2026-12-05T11:04:37Z"));
    EXPECT_EQ(m.configs, (std::vector<ConfigEntry>{{"/a", "config/abs/_a"}}));
    EXPECT_EQ(m.projects, std::nullopt);
    EXPECT_FALSE(m.hasSecrets);
}

TEST(BackupManifestJson, EveryRequiredKeyIsRequired) {
    Json good = Json::parse(sample().encode());
    for (const char* key : {"version", "createdAt", "configs", "manifests", "hasSecrets", "secretPaths"}) {
        SCOPED_TRACE(key);
        Json j = good;
        j.erase(key);
        expectDecodeFailure(j.dump(), std::string("the key \"") + key + "\" is missing");
    }
}

TEST(BackupManifestJson, MistypedValuesMakeTheWholeManifestUnreadable) {
    Json good = Json::parse(sample().encode());
    struct Case {
        const char* key;
        Json value;
        const char* detail;
    };
    for (const Case& c :
         {Case{"version", "1", "\"version\" is not a whole number"},
          Case{"version", 1.5, "\"version\" is not a whole number"},
          Case{"hasSecrets", 1, "\"hasSecrets\" is not true or false"},
          Case{"hasSecrets", "true", "\"hasSecrets\" is not true or false"},
          Case{"createdAt", "5 Dec 2026", "\"createdAt\" is not an ISO-8601 date"},
          Case{"createdAt", 1700000000, "\"createdAt\" is not a string"},
          Case{"manifests", "manifest/Brewfile", "\"manifests\" is not a list"},
          Case{"secretPaths", Json::array({1}), "\"secretPaths[0]\" is not a string"},
          Case{"configs", Json::array({{{"originalPath", "/a"}}}), "the key \"configs[0].storedRelPath\" is missing"},
          Case{"configs", Json::array({"config/x"}), "\"configs[0]\" is not an object"},
          Case{"projects", Json::array({{{"originalPath", "/p"}, {"storedRelPath", "projects/p"}}}),
               "the key \"projects[0].name\" is missing"},
          Case{"projects", Json::object(), "\"projects\" is not a list"}}) {
        SCOPED_TRACE(c.detail);
        Json j = good;
        j[c.key] = c.value;
        expectDecodeFailure(j.dump(), c.detail);
    }
    // Integral floats from other writers are whole numbers.
    Json j = good;
    j["version"] = 1.0;
    EXPECT_EQ(BackupManifest::decode(j.dump()).version, 1);
}

TEST(BackupManifestJson, NonJsonAndNonObjectsAreRejected) {
    expectDecodeFailure("", "not valid JSON");
    expectDecodeFailure("{\"version\": 1,", "not valid JSON");
    expectDecodeFailure("[1,2]", "the top level is not an object");
}

TEST(BackupManifestJson, InvalidUtf8NamesAreRefusedWithASentence) {
    BackupManifest m = sample();
    m.configs.push_back({"/home/u/caf\xE9.txt", "config/home/caf\xE9.txt"});
    try {
        (void)m.encode();
        FAIL() << "encoded invalid UTF-8";
    } catch (const BackupError& e) {
        EXPECT_EQ(e.kind(), BackupError::Kind::io);
        EXPECT_EQ(e.message(), "cannot write backup.json: a recorded name is not valid UTF-8");
    }
    // Well-formed non-ASCII names are kept as they are.
    m.configs.back() = {"/home/u/café.txt", "config/home/café.txt"};
    EXPECT_EQ(BackupManifest::decode(m.encode()).configs.back().originalPath, "/home/u/café.txt");
}

TEST(BackupHistoryJson, RunsRoundTripWithExactKeys) {
    std::vector<BackupRun> runs = {{at("2026-12-05T11:04:37Z"), 3, 2, 7, 123456789012LL, true},
                                   {at("2026-12-04T09:00:00Z"), 0, 0, 0, 0, false}};
    std::string text = encodeHistory(runs);
    Json j = Json::parse(text);
    ASSERT_TRUE(j.is_array());
    EXPECT_EQ(j[0], (Json{{"createdAt", "2026-12-05T11:04:37Z"},
                          {"configCount", 3},
                          {"secretCount", 2},
                          {"manifestCount", 7},
                          {"totalBytes", 123456789012LL},
                          {"usedPassphrase", true}}));
    EXPECT_LT(text.find("\"configCount\""), text.find("\"createdAt\""));
    EXPECT_EQ(decodeHistory(text), runs);
    EXPECT_EQ(runs[0].id(), runs[0].createdAt);
    EXPECT_EQ(encodeHistory({}), "[]");
}

TEST(BackupHistoryJson, DamagedHistoryIsADecodingError) {
    EXPECT_THROW(decodeHistory("{}"), DecodingError);
    EXPECT_THROW(decodeHistory("[{\"createdAt\":\"2026-12-05T11:04:37Z\"}]"), DecodingError);
    try {
        decodeHistory(R"([{"createdAt":"2026-12-05T11:04:37Z","configCount":1,"secretCount":0,
                          "manifestCount":0,"totalBytes":"big","usedPassphrase":false}])");
        FAIL();
    } catch (const DecodingError& e) {
        EXPECT_STREQ(e.what(), "history.json cannot be read: \"[0].totalBytes\" is not a whole number.");
    }
}

TEST(BackupResultJson, OptionalFieldsAppearOnlyWhenSet) {
    BackupResult r("/home/u/StowageBackup");
    EXPECT_EQ(r.outputDir, "/home/u/StowageBackup");
    Json j = r;
    EXPECT_FALSE(j.contains("secretsBundlePath"));
    EXPECT_FALSE(j.contains("recoveryCode"));
    EXPECT_EQ(j["totalBytes"], 0);
    EXPECT_EQ(j["warnings"], Json::array());
    EXPECT_EQ(j.size(), 15u);
    EXPECT_EQ(j["complete"], true);

    r.secretsBundlePath = "/home/u/StowageBackup/secrets.stowage";
    r.recoveryCode = "AAAA";
    r.warnings = {"Homebrew not found — skipping Brewfile."};
    j = r;
    EXPECT_EQ(j["recoveryCode"], "AAAA");
    EXPECT_EQ(j["warnings"][0], "Homebrew not found — skipping Brewfile.");
    EXPECT_EQ(j.size(), 18u);
    r.incompleteItems = {"~/.zshrc"};
    j = r;
    EXPECT_EQ(j["complete"], false);
    EXPECT_EQ(j["incompleteItems"][0], "~/.zshrc");
}

TEST(VerifyReportTest, OkMeansNoIssuesWhateverTheCounts) {
    VerifyReport r;
    EXPECT_TRUE(r.ok());
    EXPECT_EQ(Json(r), (Json{{"checkedConfigs", 0},
                             {"checkedSecrets", 0},
                             {"checkedFiles", 0},
                             {"issues", Json::array()},
                             {"ok", true}}));
    r.checkedConfigs = 4;
    r.issues.push_back("secrets.stowage is missing");
    EXPECT_FALSE(r.ok());
    EXPECT_EQ(Json(r)["ok"], false);
}

TEST(Utf8Test, ValidationAndRepair) {
    EXPECT_TRUE(stowage::json::isValidUtf8("plain ascii"));
    EXPECT_TRUE(stowage::json::isValidUtf8("caf\xC3\xA9 \xE2\x94\x80 \xF0\x9F\x98\x80"));
    EXPECT_FALSE(stowage::json::isValidUtf8("caf\xE9"));
    EXPECT_FALSE(stowage::json::isValidUtf8("\xC0\xAF"));         // overlong "/"
    EXPECT_FALSE(stowage::json::isValidUtf8("\xED\xA0\x80"));     // surrogate
    EXPECT_FALSE(stowage::json::isValidUtf8("\xF4\x90\x80\x80")); // past U+10FFFF
    EXPECT_FALSE(stowage::json::isValidUtf8("\xE2\x94"));         // cut short
    EXPECT_EQ(stowage::json::validUtf8("caf\xE9!"), "caf\xEF\xBF\xBD!");
    EXPECT_EQ(stowage::json::validUtf8("a\xE2\x94z"), "a\xEF\xBF\xBDz");
    EXPECT_EQ(stowage::json::validUtf8("\xC0\xAF"), "\xEF\xBF\xBD\xEF\xBF\xBD");
    EXPECT_EQ(stowage::json::validUtf8("ok \xE2\x94\x80"), "ok \xE2\x94\x80");
}

TEST(StoredPathSafetyTest, OnlyPlainRelativePathsInsideTheFolderAreSafe) {
    EXPECT_TRUE(stowage::isSafeStoredPath("config/home/.zshrc"));
    EXPECT_TRUE(stowage::isSafeStoredPath("projects/app-2"));
    EXPECT_TRUE(stowage::isSafeStoredPath("config/home/..hidden"));
    EXPECT_FALSE(stowage::isSafeStoredPath(""));
    EXPECT_FALSE(stowage::isSafeStoredPath("/etc/passwd"));
    EXPECT_FALSE(stowage::isSafeStoredPath("config/../../etc"));
    EXPECT_FALSE(stowage::isSafeStoredPath(".."));
    EXPECT_FALSE(stowage::isSafeStoredPath("config//x"));
    EXPECT_FALSE(stowage::isSafeStoredPath("config/x/"));
    EXPECT_FALSE(stowage::isSafeStoredPath(std::string("config/a\0b", 10)));
}
