#include "core/platform/DefaultsStore.hpp"
#include "support/FakeTools.hpp"
#include "support/TempHome.hpp"
#include "support/Trees.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <thread>

using namespace stowage;
using namespace stowage::testing;
namespace fs = std::filesystem;

namespace {

std::vector<std::string> damagedCopies(const std::string& folder) {
    std::vector<std::string> found;
    for (const auto& entry : fs::directory_iterator(folder))
        if (entry.path().filename().string().rfind("defaults.json.damaged-", 0) == 0)
            found.push_back(entry.path().string());
    return found;
}

} // namespace

TEST(DefaultsStoreTest, EveryTypeRoundTripsThroughAPrivateJsonFileAtTheXdgPath) {
    TempHome home;
    EXPECT_FALSE(JsonDefaultsStore(home / "nothing/here.json").contains("x"));
    EXPECT_FALSE(fs::exists(home / "nothing")) << "reading creates nothing";
    {
        ScopedEnv elsewhere("XDG_CONFIG_HOME", home / "else");
        EXPECT_EQ(JsonDefaultsStore::standardPath(), home / "else/stowage/defaults.json");
        ScopedEnv relative("XDG_CONFIG_HOME", "else");
        EXPECT_EQ(JsonDefaultsStore::standardPath(), home / ".config/stowage/defaults.json") << "relative: ignored";
    }
    const std::string path = JsonDefaultsStore::standardPath();
    Bytes allBytes;
    for (int i = 0; i < 256; ++i)
        allBytes.push_back(static_cast<std::uint8_t>(i));
    const std::vector<std::string> texts = {"~/Work — ünïcode", std::string("/home/u/caf\xe9", 12),
                                            std::string("a\0b", 3), ""};
    const std::vector<std::int64_t> integers = {INT64_MIN, INT64_MAX};
    const std::vector<double> reals = {789012345.123456789, INFINITY, 0.1, -1e-300};
    const std::map<std::string, Bytes> bytes = {{"/home/u", allBytes}, {texts[1], Bytes{}}, {"", {1, 2}}};
    {
        JsonDefaultsStore store(path);
        for (std::size_t i = 0; i < 4; ++i) {
            store.setString("s" + std::to_string(i), texts[i]);
            store.setInteger("i" + std::to_string(i), integers[i % 2]);
            store.setReal("r" + std::to_string(i), reals[i]);
        }
        store.setReal("nan", std::nan(""));
        store.setBoolean("incremental", false);
        store.setStringArray("apps", texts);
        store.setStringArray("noApps", {});
        store.setByteMap("bookmarks", bytes);
    }
    JsonDefaultsStore store(path);
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(store.string("s" + std::to_string(i)), texts[i]);
        EXPECT_EQ(store.integer("i" + std::to_string(i)), integers[i % 2]);
        EXPECT_EQ(store.real("r" + std::to_string(i)), reals[i]);
    }
    EXPECT_TRUE(std::isnan(store.real("nan").value_or(0)) && store.boolean("incremental") == false);
    EXPECT_EQ(store.stringArray("apps"), texts);
    EXPECT_EQ(store.stringArray("noApps"), std::vector<std::string>{});
    EXPECT_EQ(store.byteMap("bookmarks"), bytes);
    // The file is valid JSON (readable by any tool) and private to the user.
    EXPECT_FALSE(nlohmann::json::parse(slurp(path), nullptr, false).is_discarded());
    EXPECT_EQ(modeOf(path), 0600u);
    EXPECT_EQ(modeOf(home / ".config/stowage"), 0700u);
    EXPECT_EQ(DefaultsStore::standard()->byteMap("bookmarks"), bytes);
}

TEST(DefaultsStoreTest, ValuesOfAnotherTypeReadAsAbsentAndOtherObjectsSeeChanges) {
    TempHome home;
    JsonDefaultsStore store(home / "d.json");
    JsonDefaultsStore other(home / "d.json");
    store.setInteger("int", 3);
    store.setReal("wholeDouble", 0);
    store.setString("string", "true");
    store.setBoolean("bool", true);
    store.setStringArray("array", {"a"});
    other.setByteMap("map", {{"k", {0x41}}});
    EXPECT_TRUE(other.integer("int") == 3 && store.real("wholeDouble") == 0.0);
    EXPECT_FALSE(store.real("int") || store.boolean("int") || store.integer("wholeDouble") || store.boolean("string") ||
                 store.stringArray("string") || store.integer("bool") || store.string("array") ||
                 store.stringArray("map") || store.byteMap("array") || store.string("missing"));
    EXPECT_TRUE(store.contains("map") && !store.contains("missing"));

    // A later value of a new type replaces the old one entirely.
    other.setString("int", "now text");
    EXPECT_TRUE(!store.integer("int") && store.string("int") == "now text");
    store.removeValue("int");
    store.removeValue("int");
    EXPECT_FALSE(other.contains("int"));
}

TEST(DefaultsStoreTest, DamagedFileReadsEmptyAndIsKeptAside) {
    TempHome home;
    for (std::string garbage : {std::string("{\"format\": 1, \"entries\": [tru"), std::string("[1,2,3]"),
                                std::string("\x00\xff\xfe", 3), std::string("")}) {
        const std::string folder = home.makeDir("cfg" + std::to_string(garbage.size()));
        const std::string path = home.writeFile("cfg" + std::to_string(garbage.size()) + "/defaults.json", garbage);
        JsonDefaultsStore store(path);
        EXPECT_FALSE(store.contains("a"));
        EXPECT_EQ(slurp(path), garbage) << "reading never rewrites the file";
        store.setString("a", "fresh");
        auto copies = damagedCopies(folder);
        ASSERT_EQ(copies.size(), 1u);
        EXPECT_EQ(slurp(copies[0]), garbage);
        EXPECT_EQ(JsonDefaultsStore(path).string("a"), "fresh");
    }
}

TEST(DefaultsStoreTest, BadEntriesCostOnlyThemselvesAndUnknownTypesSurviveRewrites) {
    TempHome home;
    std::string path = home.writeFile("cfg/defaults.json", R"({
      "format": 1,
      "entries": [
        {"key": "good", "type": "int", "value": 7},
        {"key": "wrongValue", "type": "int", "value": "seven"},
        {"key": "tooBig", "type": "int", "value": 9223372036854775808},
        {"key": "badBytes", "type": "byteMap", "value": [{"key": "/x", "bytes": "not base64!"}]},
        {"type": "string", "value": "no key"},
        {"key": "later", "type": "colour", "value": {"r": 1}},
        "junk"
      ]})");
    JsonDefaultsStore store(path);
    EXPECT_EQ(store.integer("good"), 7);
    EXPECT_TRUE(!store.integer("wrongValue") && store.contains("wrongValue"));
    EXPECT_FALSE(store.integer("tooBig")) << "beyond the 64-bit range, not wrapped to a negative number";
    EXPECT_FALSE(store.byteMap("badBytes") || store.string("later"));
    store.setBoolean("new", true);
    const nlohmann::json later = {{"key", "later"}, {"type", "colour"}, {"value", {{"r", 1}}}};
    const auto entries = nlohmann::json::parse(slurp(path))["entries"];
    EXPECT_NE(std::find(entries.begin(), entries.end(), later), entries.end());
    EXPECT_EQ(JsonDefaultsStore(path).integer("good"), 7);
    EXPECT_TRUE(damagedCopies(home / "cfg").empty());

    // A save that cannot happen throws and keeps the old state.
    std::string blocker = home.writeFile("blocker", "a file where the folder should be");
    JsonDefaultsStore blocked(blocker + "/stowage/defaults.json");
    EXPECT_ANY_THROW(blocked.setString("k", "v"));
    EXPECT_FALSE(blocked.contains("k"));
    EXPECT_EQ(slurp(blocker), "a file where the folder should be");
}

// Each object takes the file's lock through a descriptor of its own, exactly as another process does.
TEST(DefaultsStoreTest, ConcurrentWritersThroughSharedAndOwnObjectsLoseNothing) {
    TempHome home;
    std::string path = home / "d.json";
    JsonDefaultsStore shared(path);
    constexpr int kWriters = 8, kKeys = 25;
    const auto key = [](int w, int k) { return std::to_string(w) + "-" + std::to_string(k); };
    std::vector<std::thread> threads;
    for (int w = 0; w < kWriters; ++w)
        threads.emplace_back([&, w] {
            JsonDefaultsStore own(path);
            JsonDefaultsStore& store = w % 2 == 0 ? shared : own;
            for (int k = 0; k < kKeys; ++k) {
                store.setInteger(key(w, k), w * 1000 + k);
                (void)store.integer(key(0, 0));
            }
        });
    for (auto& th : threads)
        th.join();
    JsonDefaultsStore check(path);
    for (int w = 0; w < kWriters; ++w)
        for (int k = 0; k < kKeys; ++k)
            EXPECT_EQ(check.integer(key(w, k)), w * 1000 + k);
    EXPECT_TRUE(temporaryFilesBelow(home.path()).empty());
}
