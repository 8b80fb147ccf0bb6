#include "core/BackupError.hpp"
#include "core/platform/DefaultsStore.hpp"
#include "support/TempHome.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <filesystem>
#include <limits>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace stowage;
using stowage::testing::slurp;
using stowage::testing::TempHome;
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

TEST(DefaultsStoreTest, EveryTypeRoundTripsThroughTheFile) {
    TempHome home;
    std::string path = home / "cfg/defaults.json";
    Bytes allBytes;
    for (int i = 0; i < 256; ++i)
        allBytes.push_back(static_cast<std::uint8_t>(i));
    std::string notUtf8 = std::string("/home/u/caf\xe9", 12);
    std::string withNul = std::string("a\0b", 3);
    {
        JsonDefaultsStore store(path);
        store.setString("scanRoots", "~/Development, ~/Work — ünïcode");
        store.setString("empty", "");
        store.setString("odd", notUtf8);
        store.setString("nul", withNul);
        store.setBoolean("incremental", false);
        store.setInteger("reminderDays", 14);
        store.setInteger("min", std::numeric_limits<std::int64_t>::min());
        store.setInteger("max", std::numeric_limits<std::int64_t>::max());
        store.setReal("lastBackupAt", 789012345.123456789);
        store.setReal("tiny", 0.1);
        store.setReal("inf", INFINITY);
        store.setReal("nan", std::nan(""));
        store.setStringArray("reinstalledApps", {"Zed", "Alpha", "Zed", notUtf8});
        store.setStringArray("noApps", {});
        store.setByteMap("io.stowage.scopedBookmarks", {{"/home/u", allBytes}, {notUtf8, Bytes{}}, {"", {1, 2}}});
    }
    JsonDefaultsStore store(path);
    EXPECT_EQ(store.string("scanRoots"), "~/Development, ~/Work — ünïcode");
    EXPECT_EQ(store.string("empty"), "");
    EXPECT_EQ(store.string("odd"), notUtf8);
    EXPECT_EQ(store.string("nul"), withNul);
    EXPECT_EQ(store.boolean("incremental"), false);
    EXPECT_EQ(store.integer("reminderDays"), 14);
    EXPECT_EQ(store.integer("min"), std::numeric_limits<std::int64_t>::min());
    EXPECT_EQ(store.integer("max"), std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(store.real("lastBackupAt"), 789012345.123456789);
    EXPECT_EQ(store.real("tiny"), 0.1);
    EXPECT_EQ(store.real("inf"), INFINITY);
    ASSERT_TRUE(store.real("nan"));
    EXPECT_TRUE(std::isnan(*store.real("nan")));
    EXPECT_EQ(store.stringArray("reinstalledApps"), (std::vector<std::string>{"Zed", "Alpha", "Zed", notUtf8}));
    EXPECT_EQ(store.stringArray("noApps"), std::vector<std::string>{});
    auto map = store.byteMap("io.stowage.scopedBookmarks");
    ASSERT_TRUE(map);
    EXPECT_EQ(map->size(), 3u);
    EXPECT_EQ(map->at("/home/u"), allBytes);
    EXPECT_EQ(map->at(notUtf8), Bytes{});
    EXPECT_EQ(map->at(""), (Bytes{1, 2}));

    // The file is valid JSON (readable by any tool) and private to the user.
    EXPECT_FALSE(nlohmann::json::parse(slurp(path), nullptr, false).is_discarded());
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(DefaultsStoreTest, ValuesOfAnotherTypeReadAsAbsent) {
    TempHome home;
    JsonDefaultsStore store(home / "d.json");
    store.setInteger("int", 3);
    store.setReal("double", 3.0);
    store.setReal("wholeDouble", 0);
    store.setString("string", "true");
    store.setBoolean("bool", true);
    store.setStringArray("array", {"a"});
    store.setByteMap("map", {{"k", {0x41}}});

    EXPECT_EQ(store.integer("int"), 3);
    EXPECT_FALSE(store.real("int"));
    EXPECT_FALSE(store.boolean("int"));
    EXPECT_EQ(store.real("double"), 3.0);
    EXPECT_FALSE(store.integer("double"));
    EXPECT_EQ(store.real("wholeDouble"), 0.0);
    EXPECT_FALSE(store.integer("wholeDouble"));
    EXPECT_FALSE(store.boolean("string"));
    EXPECT_FALSE(store.stringArray("string"));
    EXPECT_FALSE(store.integer("bool"));
    EXPECT_FALSE(store.string("array"));
    EXPECT_FALSE(store.string("map"));
    EXPECT_FALSE(store.stringArray("map"));
    EXPECT_FALSE(store.byteMap("array"));
    EXPECT_FALSE(store.string("missing"));
    EXPECT_TRUE(store.contains("map"));
    EXPECT_FALSE(store.contains("missing"));

    // A later value of a new type replaces the old one entirely.
    store.setString("int", "now text");
    EXPECT_FALSE(store.integer("int"));
    EXPECT_EQ(store.string("int"), "now text");
    store.removeValue("int");
    EXPECT_FALSE(store.contains("int"));
    EXPECT_NO_THROW(store.removeValue("int"));
    EXPECT_FALSE(JsonDefaultsStore(home / "d.json").contains("int"));
}

TEST(DefaultsStoreTest, MissingFileIsEmptyAndStandardPathFollowsXdg) {
    TempHome home;
    JsonDefaultsStore store(home / "nothing/here.json");
    EXPECT_FALSE(store.contains("x"));
    EXPECT_FALSE(fs::exists(home / "nothing")) << "reading creates nothing";

    EXPECT_EQ(JsonDefaultsStore::standardPath(), home / ".config/stowage/defaults.json");
    auto standard = DefaultsStore::standard();
    standard->setBoolean("hasOnboarded", true);
    EXPECT_TRUE(fs::exists(home / ".config/stowage/defaults.json"));
    struct stat st {};
    ASSERT_EQ(::stat((home / ".config/stowage").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(DefaultsStore::standard()->boolean("hasOnboarded"), true);

    const char* saved = std::getenv("XDG_CONFIG_HOME");
    std::string savedValue = saved ? saved : "";
    ::unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(JsonDefaultsStore::standardPath(), home / ".config/stowage/defaults.json");
    ::setenv("XDG_CONFIG_HOME", "relative/ignored", 1);
    EXPECT_EQ(JsonDefaultsStore::standardPath(), home / ".config/stowage/defaults.json");
    ::setenv("XDG_CONFIG_HOME", (home / "elsewhere").c_str(), 1);
    EXPECT_EQ(JsonDefaultsStore::standardPath(), home / "elsewhere/stowage/defaults.json");
    EXPECT_FALSE(DefaultsStore::standard()->contains("hasOnboarded"));
    ::setenv("XDG_CONFIG_HOME", savedValue.c_str(), 1);
}

TEST(DefaultsStoreTest, DamagedFileReadsEmptyAndIsKeptAside) {
    TempHome home;
    std::string folder = home.makeDir("cfg");
    for (std::string garbage : {std::string("{\"format\": 1, \"entries\": [tru"), std::string("[1,2,3]"),
                                std::string("\x00\xff\xfe", 3), std::string("")}) {
        std::string path = folder + "/defaults.json";
        fs::remove(path);
        for (const auto& old : damagedCopies(folder))
            fs::remove(old);
        home.writeFile("cfg/defaults.json", garbage);
        JsonDefaultsStore store(path);
        EXPECT_FALSE(store.contains("a"));
        EXPECT_FALSE(store.string("a"));
        EXPECT_EQ(slurp(path), garbage) << "reading never rewrites the file";
        store.setString("a", "fresh");
        EXPECT_EQ(store.string("a"), "fresh");
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
      "future": "kept?",
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
    EXPECT_FALSE(store.integer("wrongValue"));
    EXPECT_TRUE(store.contains("wrongValue"));
    EXPECT_FALSE(store.integer("tooBig")) << "beyond the 64-bit range, not wrapped to a negative number";
    EXPECT_FALSE(store.byteMap("badBytes"));
    EXPECT_FALSE(store.string("later"));
    store.setBoolean("new", true);
    auto doc = nlohmann::json::parse(slurp(path));
    bool keptFuture = false;
    for (const auto& entry : doc["entries"])
        if (entry["key"] == "later")
            keptFuture = entry["type"] == "colour" && entry["value"]["r"] == 1;
    EXPECT_TRUE(keptFuture);
    EXPECT_EQ(JsonDefaultsStore(path).integer("good"), 7);
    EXPECT_TRUE(damagedCopies(home / "cfg").empty());
}

TEST(DefaultsStoreTest, FailedSaveThrowsAndKeepsTheOldValue) {
    TempHome home;
    std::string blocker = home.writeFile("blocker", "a file where the folder should be");
    JsonDefaultsStore store(blocker + "/stowage/defaults.json");
    EXPECT_ANY_THROW(store.setString("k", "v"));
    EXPECT_FALSE(store.contains("k"));
    EXPECT_EQ(slurp(blocker), "a file where the folder should be");
}

TEST(DefaultsStoreTest, ChangesFromAnotherObjectAreSeen) {
    TempHome home;
    JsonDefaultsStore a(home / "d.json");
    JsonDefaultsStore b(home / "d.json");
    a.setInteger("n", 1);
    EXPECT_EQ(b.integer("n"), 1);
    b.setInteger("n", 2);
    b.setString("fromB", "x");
    EXPECT_EQ(a.integer("n"), 2);
    a.setString("fromA", "y");
    EXPECT_EQ(b.string("fromB"), "x");
    EXPECT_EQ(b.string("fromA"), "y");
}

TEST(DefaultsStoreTest, ConcurrentWritersLoseNothing) {
    TempHome home;
    std::string path = home / "d.json";
    auto shared = std::make_shared<JsonDefaultsStore>(path);
    constexpr int kThreads = 6, kKeys = 25;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            // Half the threads share one object, the others each have their own.
            std::shared_ptr<JsonDefaultsStore> own = t % 2 == 0 ? shared : std::make_shared<JsonDefaultsStore>(path);
            for (int k = 0; k < kKeys; ++k) {
                own->setInteger("t" + std::to_string(t) + "k" + std::to_string(k), t * 1000 + k);
                (void)own->integer("t0k0");
            }
        });
    for (auto& th : threads)
        th.join();

    // And other processes writing the same file at the same time.
    std::vector<pid_t> children;
    for (int p = 0; p < 3; ++p) {
        pid_t pid = ::fork();
        if (pid == 0) {
            JsonDefaultsStore store(path);
            for (int k = 0; k < kKeys; ++k)
                store.setInteger("p" + std::to_string(p) + "k" + std::to_string(k), k);
            ::_exit(0);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }

    JsonDefaultsStore check(path);
    for (int t = 0; t < kThreads; ++t)
        for (int k = 0; k < kKeys; ++k)
            EXPECT_EQ(check.integer("t" + std::to_string(t) + "k" + std::to_string(k)), t * 1000 + k);
    for (int p = 0; p < 3; ++p)
        for (int k = 0; k < kKeys; ++k)
            EXPECT_EQ(check.integer("p" + std::to_string(p) + "k" + std::to_string(k)), k);
    for (const auto& entry : fs::directory_iterator(home.path()))
        EXPECT_EQ(entry.path().filename().string().find(".stowage-tmp-"), std::string::npos);
}
