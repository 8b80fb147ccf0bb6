#include "core/BackupError.hpp"
#include "core/BackupManifest.hpp"
#include "core/Json.hpp"

#include <gtest/gtest.h>

using namespace stowage;
using Json = nlohmann::json;

namespace {

Timestamp at(const char* iso) {
    return *json::parseIso8601(iso);
}

/// A manifest with every key, a project list and a well-formed non-ASCII name.
BackupManifest full() {
    BackupManifest m;
    m.createdAt = at("2026-12-05T11:04:37Z");
    m.configs = {{"/home/u/.zshrc", "config/home/.zshrc"}, {"/home/u/café.txt", "config/home/café.txt"}};
    m.manifests = {"manifest/Brewfile", "manifest/apps.md"};
    m.hasSecrets = true;
    m.secretPaths = {"/home/u/.ssh/id_ed25519"};
    m.projects = std::vector<ProjectEntry>{{"/home/u/src/app", "projects/app", "app"},
                                           {"/home/u/work/app", "projects/app-2", "app-2"}};
    m.homeFolder = "/home/u";
    m.secretsSize = 1234;
    m.secretsSha256 = std::string(64, 'a');
    m.storedFiles = std::vector<StoredFile>{{"config/home/.zshrc", 12, std::string(64, 'b')}};
    return m;
}

/// The sentence a decoding failure gives, which must name the file.
std::string decodeError(const std::string& text) {
    try {
        BackupManifest::decode(text);
    } catch (const DecodingError& e) {
        const std::string what = e.what();
        return what.starts_with("backup.json cannot be read: ") ? what : "unnamed: " + what;
    }
    return "decoded";
}

} // namespace

TEST(BackupManifestJson, EveryShapeRoundTripsAsPrettySortedTextWithWholeSecondUtcDates) {
    BackupManifest old = full(), emptyProjects = full(), fractions = full();
    old.projects = std::nullopt; // a manifest from before the later keys: they stay out
    old.homeFolder = old.secretsSha256 = std::nullopt;
    old.secretsSize = std::nullopt;
    old.storedFiles = std::nullopt;
    emptyProjects.projects = std::vector<ProjectEntry>{};
    for (const BackupManifest& m : {full(), old, emptyProjects}) {
        const std::string text = m.encode();
        EXPECT_EQ(BackupManifest::decode(text), m) << text;
        EXPECT_EQ(text, Json::parse(text).dump(2));
        for (const char* key : {"projects", "homeFolder", "storedFiles"})
            EXPECT_EQ(Json::parse(text).contains(key), m.storedFiles.has_value()) << key;
    }
    fractions.createdAt += std::chrono::milliseconds(870); // dropped, never rounded up
    EXPECT_EQ(Json::parse(fractions.encode())["createdAt"], "2026-12-05T11:04:37Z");

    // Other writers: an offset date, unknown keys, a null project list, integral floats.
    BackupManifest read = BackupManifest::decode(R"({"version":1.0,"createdAt":"2026-12-05T12:04:37+01:00",
        "configs":[{"originalPath":"/a","storedRelPath":"config/abs/_a","checksum":"x"}],"manifests":[],
        "hasSecrets":false,"secretPaths":[],"projects":null,"futureKey":{"nested":[1,2]}})");
    EXPECT_EQ(read.createdAt, at("2026-12-05T11:04:37Z"));
    EXPECT_EQ(read.configs, (std::vector<ConfigEntry>{{"/a", "config/abs/_a"}}));
    EXPECT_EQ(read.projects, std::nullopt);
    EXPECT_EQ(read.version, 1);

    BackupManifest invalid = full();
    invalid.configs.push_back({"/home/u/caf\xE9.txt", "config/home/caf\xE9.txt"});
    try {
        (void)invalid.encode();
        ADD_FAILURE() << "encoded invalid UTF-8";
    } catch (const BackupError& e) {
        EXPECT_EQ(e.message(), "cannot write backup.json: a recorded name is not valid UTF-8");
    }
    EXPECT_EQ(sha256Hex(toBytes("abc")), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(BackupManifestJson, AMissingOrMistypedKeyMakesTheWholeManifestUnreadable) {
    const Json good = Json::parse(full().encode());
    auto with = [&](const char* key, const Json& value) {
        Json j = good;
        j[key] = value;
        return j.dump();
    };
    Json noSize = good;
    noSize["storedFiles"][0].erase("size");
    std::vector<std::pair<std::string, std::string>> cases{
        {"", "it is not valid JSON"},
        {"[1,2]", "the top level is not an object"},
        {noSize.dump(), "the key \"storedFiles[0].size\" is missing"},
        {with("version", "1"), "\"version\" is not a whole number"},
        {with("hasSecrets", 1), "\"hasSecrets\" is not true or false"},
        {with("createdAt", "5 Dec 2026"), "\"createdAt\" is not an ISO-8601 date"},
        {with("createdAt", 1700000000), "\"createdAt\" is not a string"},
        {with("manifests", "manifest/Brewfile"), "\"manifests\" is not a list"},
        {with("secretPaths", Json::array({1})), "\"secretPaths[0]\" is not a string"},
        {with("configs", Json::array({{{"originalPath", "/a"}}})), "the key \"configs[0].storedRelPath\" is missing"},
        {with("configs", Json::array({"config/x"})), "\"configs[0]\" is not an object"},
        {with("projects", Json::array({{{"originalPath", "/p"}, {"storedRelPath", "projects/p"}}})),
         "the key \"projects[0].name\" is missing"},
        {with("projects", Json::object()), "\"projects\" is not a list"},
        {with("secretsSize", "big"), "\"secretsSize\" is not a whole number"},
        {with("storedFiles", 7), "\"storedFiles\" is not a list"},
    };
    for (const char* key : {"version", "createdAt", "configs", "manifests", "hasSecrets", "secretPaths"}) {
        Json j = good;
        j.erase(key);
        cases.emplace_back(j.dump(), std::string("the key \"") + key + "\" is missing");
    }
    for (const auto& [text, detail] : cases)
        EXPECT_NE(decodeError(text).find("backup.json cannot be read: " + detail), std::string::npos)
            << decodeError(text);
}

TEST(BackupResultJson, OptionalFieldsAppearOnlyWhenSetAndCompletenessFollowsTheMissedItems) {
    BackupResult r("/home/u/StowageBackup");
    EXPECT_EQ(Json(r).count("recoveryCode") + Json(r).count("secretsBundlePath"), 0u);
    EXPECT_EQ(Json(r)["complete"], true);
    r.recoveryCode = "AAAA";
    r.incompleteItems = {"~/.zshrc"};
    EXPECT_EQ(Json(r)["recoveryCode"], "AAAA");
    EXPECT_EQ(Json(r)["complete"], false);
}

TEST(StoredTextSafety, Utf8IsCheckedAndRepairedAndOnlyPlainRelativePathsInsideTheFolderAreSafe) {
    const std::string bad = "\xEF\xBF\xBD"; // U+FFFD
    const std::vector<std::tuple<std::string, bool, std::string>> texts{
        {"plain ascii", true, ""},
        {"caf\xC3\xA9 \xE2\x94\x80 \xF0\x9F\x98\x80", true, ""},
        {"caf\xE9!", false, "caf" + bad + "!"},
        {"a\xE2\x94z", false, "a" + bad + "z"}, // cut short
        {"\xC0\xAF", false, bad + bad},         // overlong "/"
        {"\xED\xA0\x80", false, ""},            // surrogate
        {"\xF4\x90\x80\x80", false, ""},        // past U+10FFFF
    };
    for (const auto& [text, valid, repaired] : texts) {
        EXPECT_EQ(json::isValidUtf8(text), valid) << text;
        EXPECT_TRUE(json::isValidUtf8(json::validUtf8(text))) << text;
        EXPECT_EQ(json::validUtf8(text) == text, valid) << text;
        EXPECT_TRUE(repaired.empty() || json::validUtf8(text) == repaired) << text;
    }
    for (const char* safe : {"config/home/.zshrc", "projects/app-2", "config/home/..hidden"})
        EXPECT_TRUE(isSafeStoredPath(safe)) << safe;
    for (const char* unsafe : {"", "/etc/passwd", "config/../../etc", "..", "config//x", "config/x/"})
        EXPECT_FALSE(isSafeStoredPath(unsafe)) << unsafe;
    EXPECT_FALSE(isSafeStoredPath(std::string("config/a\0b", 10)));
}
