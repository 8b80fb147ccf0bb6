#include "core/KDF.hpp"
#include "core/platform/KeyStore.hpp"
#include "support/TempHome.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <map>
#include <mutex>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace stowage;
using namespace std::chrono_literals;
using Status = KeyStore::Status;
namespace fs = std::filesystem;

namespace {

std::string hexOf(const SymmetricKey& key) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < key.size(); ++i) {
        out += digits[key.data()[i] >> 4];
        out += digits[key.data()[i] & 15];
    }
    return out;
}

std::optional<SymmetricKey> keyFromHex(const std::string& hex) {
    Bytes bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back(static_cast<std::uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return SymmetricKey::fromBytes(bytes);
}

SymmetricKey keyOf(std::uint8_t fill) {
    std::array<std::uint8_t, 32> bytes;
    bytes.fill(fill);
    return SymmetricKey(bytes);
}

unsigned modeOf(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0xFFFF;
}

// ---- Child mode --------------------------------------------------------------------------------
//
// The Secret Service tests run this same executable as a child inside a private D-Bus session, so
// that the keychain code talks to a real bus from a fresh process. A child does its one operation
// through the public entry points (the platform store, the same 5-second limit the engines pass),
// prints the result and exits before the test framework starts.

int runChildOperation(const std::string& operation) {
    if (operation == "store") {
        const char* hex = std::getenv("STOWAGE_KEYSTORE_CHILD_KEY");
        auto key = keyFromHex(hex ? hex : "");
        if (!key)
            return 2;
        std::printf("store %s\n", BundleKey::storeInKeychain(*key, 5.0) ? "ok" : "failed");
    } else if (operation == "load") {
        auto key = BundleKey::loadFromKeychain(5.0);
        std::printf("load %s\n", key ? hexOf(*key).c_str() : "none");
    } else if (operation == "service-load") {
        // The Secret Service alone, to tell where a key came from.
        KeyStore::Loaded loaded = SecretServiceKeyStore().load();
        const char* names[] = {"ok", "notFound", "unavailable", "failed"};
        std::printf("service-load %s %s\n", names[static_cast<int>(loaded.status)],
                    loaded.key ? hexOf(*loaded.key).c_str() : "none");
    } else {
        return 2;
    }
    return 0;
}

const int childExit = [] {
    const char* operation = std::getenv("STOWAGE_KEYSTORE_CHILD");
    if (operation == nullptr)
        return -1;
    const int code = runChildOperation(operation);
    std::fflush(stdout);
    std::_Exit(code);
    return code;
}();

/// Runs a shell command and returns its standard output.
std::string capture(const std::string& command) {
    std::string out;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr)
        return out;
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
        out.append(buffer, n);
    ::pclose(pipe);
    return out;
}

std::string selfExecutable() {
    return fs::read_symlink("/proc/self/exe").string();
}

bool haveTool(const std::string& name) {
    return stowage::testing::sh("command -v " + name + " >/dev/null 2>&1") == 0;
}

/// Lines of the form "<word> <rest>" in order.
std::vector<std::pair<std::string, std::string>> parseLines(const std::string& output) {
    std::vector<std::pair<std::string, std::string>> lines;
    std::istringstream in(output);
    std::string line;
    while (std::getline(in, line)) {
        const auto space = line.find(' ');
        if (space == std::string::npos)
            lines.emplace_back(line, "");
        else
            lines.emplace_back(line.substr(0, space), line.substr(space + 1));
    }
    return lines;
}

/// An environment for children with no Secret Service anywhere: a bus address that leads nowhere,
/// no X display to autolaunch one from, and a private runtime folder.
std::string isolatedEnvironment(const stowage::testing::TempHome& home) {
    const std::string run = home.makeDir("run");
    ::chmod(run.c_str(), 0700);
    return "env -u DISPLAY -u WAYLAND_DISPLAY HOME='" + home.path() + "' XDG_DATA_HOME='" + home.path() +
           "/.local/share' XDG_CONFIG_HOME='" + home.path() + "/.config' XDG_RUNTIME_DIR='" + run +
           "' DBUS_SESSION_BUS_ADDRESS='unix:path=" + home.path() + "/no-bus' ";
}

// ---- Scripted stores ---------------------------------------------------------------------------

/// An in-memory store whose answers the test chooses.
class MemoryStore : public KeyStore {
public:
    Status storeAnswer = Status::ok;
    Status loadAnswer = Status::ok; // used when an item is held; otherwise notFound
    Status removeAnswer = Status::ok;
    std::optional<SymmetricKey> item;
    int stores = 0, loads = 0, removes = 0;

    Status store(const SymmetricKey& key) override {
        ++stores;
        if (storeAnswer == Status::ok)
            item = key;
        return storeAnswer;
    }
    Loaded load() override {
        ++loads;
        if (loadAnswer != Status::ok)
            return {loadAnswer, std::nullopt};
        if (!item)
            return {Status::notFound, std::nullopt};
        return {Status::ok, item};
    }
    Status remove() override {
        ++removes;
        if (removeAnswer == Status::ok)
            item.reset();
        return removeAnswer;
    }
};

/// A store whose every operation blocks until the test releases it.
class BlockingStore : public KeyStore {
public:
    Status store(const SymmetricKey& key) override {
        // The key is kept before the operation counts as finished, so a waiter never sees it missing.
        waitForRelease([&] { stored_ = key; });
        return Status::ok;
    }
    Loaded load() override {
        waitForRelease([] {});
        return {Status::ok, keyOf(1)};
    }
    Status remove() override { return Status::ok; }

    void release() {
        std::lock_guard lock(mutex_);
        released_ = true;
        cv_.notify_all();
    }
    /// Waits until every started operation has finished.
    bool waitUntilIdle(std::chrono::seconds limit) {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, limit, [&] { return active_ == 0; });
    }
    /// Waits until `count` operations have finished, including ones whose worker has not started yet.
    bool waitUntilFinished(int count, std::chrono::seconds limit) {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, limit, [&] { return finished_ >= count; });
    }
    std::optional<SymmetricKey> stored() {
        std::lock_guard lock(mutex_);
        return stored_;
    }

private:
    template <typename Body> void waitForRelease(Body body) {
        std::unique_lock lock(mutex_);
        ++active_;
        cv_.wait(lock, [&] { return released_; });
        body();
        --active_;
        ++finished_;
        cv_.notify_all();
    }
    std::mutex mutex_;
    std::condition_variable cv_;
    bool released_ = false;
    int active_ = 0;
    int finished_ = 0;
    std::optional<SymmetricKey> stored_;
};

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

} // namespace

// ---- File store --------------------------------------------------------------------------------

TEST(FileKeyStoreTest, StoresOneOwnerOnlyFileAndReplacesIt) {
    stowage::testing::TempHome home;
    FileKeyStore store(FileKeyStore::defaultFolder());
    EXPECT_EQ(store.folder(), home.path() + "/.local/share/stowage");
    EXPECT_EQ(store.load().status, Status::notFound);

    ASSERT_EQ(store.store(keyOf(1)), Status::ok);
    EXPECT_EQ(modeOf(store.folder()), 0700u);
    EXPECT_EQ(modeOf(store.filePath()), 0600u);
    EXPECT_EQ(stowage::testing::slurp(store.filePath()), std::string(32, '\x01'));

    ASSERT_EQ(store.store(keyOf(2)), Status::ok);
    KeyStore::Loaded loaded = store.load();
    ASSERT_EQ(loaded.status, Status::ok);
    EXPECT_EQ(*loaded.key, keyOf(2));
    // Exactly one item and no temporary files left behind.
    std::vector<std::string> entries;
    for (const auto& entry : fs::directory_iterator(store.folder()))
        entries.push_back(entry.path().filename().string());
    EXPECT_EQ(entries, std::vector<std::string>{"io.stowage.bundle-primary.key"});

    EXPECT_EQ(store.remove(), Status::ok);
    EXPECT_EQ(store.load().status, Status::notFound);
    EXPECT_EQ(store.remove(), Status::ok);
}

TEST(FileKeyStoreTest, WritesUnderAnyUmaskAndNarrowsAWideFolder) {
    stowage::testing::TempHome home;
    const std::string folder = home.makeDir("data/stowage");
    ::chmod(folder.c_str(), 0755);
    const mode_t saved = ::umask(0277);
    FileKeyStore store(folder);
    const Status status = store.store(keyOf(3));
    ::umask(saved);
    ASSERT_EQ(status, Status::ok);
    EXPECT_EQ(modeOf(folder), 0700u);
    EXPECT_EQ(modeOf(store.filePath()), 0600u);
}

TEST(FileKeyStoreTest, FollowsXdgDataHomeOnlyWhenAbsolute) {
    stowage::testing::TempHome home;
    setenv("XDG_DATA_HOME", "/somewhere/data", 1);
    EXPECT_EQ(FileKeyStore::defaultFolder(), "/somewhere/data/stowage");
    setenv("XDG_DATA_HOME", "relative/data", 1);
    EXPECT_EQ(FileKeyStore::defaultFolder(), home.path() + "/.local/share/stowage");
    unsetenv("XDG_DATA_HOME");
    EXPECT_EQ(FileKeyStore::defaultFolder(), home.path() + "/.local/share/stowage");
}

TEST(FileKeyStoreTest, OnlyAPlainThirtyTwoByteFileIsAKey) {
    stowage::testing::TempHome home;
    FileKeyStore store(home.makeDir("store"));
    home.writeFile("store/io.stowage.bundle-primary.key", std::string(31, 'k'), 0600);
    EXPECT_EQ(store.load().status, Status::failed);
    home.writeFile("store/io.stowage.bundle-primary.key", std::string(33, 'k'), 0600);
    EXPECT_EQ(store.load().status, Status::failed);

    // A link planted where the item belongs is not followed.
    const std::string elsewhere = home.writeFile("elsewhere", std::string(32, 'k'), 0600);
    fs::remove(store.filePath());
    fs::create_symlink(elsewhere, store.filePath());
    EXPECT_EQ(store.load().status, Status::failed);
    // Storing replaces the link itself, not the file it points to.
    ASSERT_EQ(store.store(keyOf(4)), Status::ok);
    EXPECT_FALSE(fs::is_symlink(store.filePath()));
    EXPECT_EQ(stowage::testing::slurp(elsewhere), std::string(32, 'k'));
    EXPECT_EQ(*store.load().key, keyOf(4));
}

TEST(FileKeyStoreTest, AnUnwritableFolderFailsWithoutThrowing) {
    stowage::testing::TempHome home;
    home.writeFile("blocker", "not a folder");
    FileKeyStore store(home / "blocker/stowage");
    EXPECT_EQ(store.store(keyOf(5)), Status::failed);
    EXPECT_EQ(store.load().status, Status::notFound);
}

// ---- Fallback composition ----------------------------------------------------------------------

TEST(FallbackKeyStoreTest, UsesTheStandInOnlyWhileThePrimaryDoesNotAnswer) {
    auto primary = std::make_shared<MemoryStore>();
    auto standIn = std::make_shared<MemoryStore>();
    FallbackKeyStore store(primary, standIn);

    primary->storeAnswer = Status::unavailable;
    primary->loadAnswer = Status::unavailable;
    ASSERT_EQ(store.store(keyOf(1)), Status::ok);
    EXPECT_EQ(standIn->item, keyOf(1));
    EXPECT_EQ(*store.load().key, keyOf(1));

    // The primary is back but still holds an older key: the stand-in copy is the newer one.
    primary->item = keyOf(9);
    primary->storeAnswer = Status::ok;
    primary->loadAnswer = Status::ok;
    EXPECT_EQ(*store.load().key, keyOf(1));

    // A successful primary store retires the stand-in copy.
    ASSERT_EQ(store.store(keyOf(2)), Status::ok);
    EXPECT_EQ(primary->item, keyOf(2));
    EXPECT_FALSE(standIn->item);
    EXPECT_EQ(*store.load().key, keyOf(2));
}

TEST(FallbackKeyStoreTest, ARefusalOfThePrimaryIsNotPaperedOverByTheStandIn) {
    auto primary = std::make_shared<MemoryStore>();
    auto standIn = std::make_shared<MemoryStore>();
    FallbackKeyStore store(primary, standIn);
    primary->storeAnswer = Status::failed;
    EXPECT_EQ(store.store(keyOf(1)), Status::failed);
    EXPECT_EQ(standIn->stores, 0);
    EXPECT_FALSE(standIn->item);

    // A stale stand-in copy that cannot be removed would shadow the new key: not a success.
    primary->storeAnswer = Status::ok;
    standIn->item = keyOf(7);
    standIn->removeAnswer = Status::failed;
    EXPECT_EQ(store.store(keyOf(2)), Status::failed);
}

TEST(FallbackKeyStoreTest, LoadAnswers) {
    auto primary = std::make_shared<MemoryStore>();
    auto standIn = std::make_shared<MemoryStore>();
    FallbackKeyStore store(primary, standIn);
    EXPECT_EQ(store.load().status, Status::notFound);
    primary->loadAnswer = Status::unavailable;
    EXPECT_EQ(store.load().status, Status::notFound);
    standIn->loadAnswer = Status::failed;
    EXPECT_EQ(store.load().status, Status::failed);
    primary->loadAnswer = Status::ok;
    primary->item = keyOf(3);
    EXPECT_EQ(*store.load().key, keyOf(3));
}

// ---- Bounded waiting ---------------------------------------------------------------------------

TEST(KeychainWaitTest, AnswersPromptlyWhenTheStoreAnswers) {
    auto memory = std::make_shared<MemoryStore>();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(BundleKey::storeInKeychain(keyOf(6), 5.0, memory));
    EXPECT_EQ(BundleKey::loadFromKeychain(5.0, memory), keyOf(6));
    EXPECT_LT(secondsSince(start), 4.0);

    memory->storeAnswer = Status::failed;
    EXPECT_FALSE(BundleKey::storeInKeychain(keyOf(7), 5.0, memory));
    memory->loadAnswer = Status::failed;
    EXPECT_FALSE(BundleKey::loadFromKeychain(5.0, memory));
    memory->loadAnswer = Status::ok;
    memory->item.reset();
    EXPECT_FALSE(BundleKey::loadFromKeychain(5.0, memory));
}

TEST(KeychainWaitTest, ABlockedStoreCostsTheLimitAndNoMore) {
    auto blocking = std::make_shared<BlockingStore>();
    // Both calls at once, with the limit the engines pass.
    const auto start = std::chrono::steady_clock::now();
    auto stored = std::async(std::launch::async, [&] { return BundleKey::storeInKeychain(keyOf(8), 5.0, blocking); });
    auto loaded = std::async(std::launch::async, [&] { return BundleKey::loadFromKeychain(5.0, blocking); });
    EXPECT_FALSE(stored.get());
    EXPECT_FALSE(loaded.get());
    const double elapsed = secondsSince(start);
    EXPECT_GE(elapsed, 4.9);
    EXPECT_LT(elapsed, 9.0);

    // The late workers still finish with their own copies of what they were given.
    blocking->release();
    ASSERT_TRUE(blocking->waitUntilFinished(2, 10s));
    EXPECT_EQ(blocking->stored(), keyOf(8));
}

TEST(KeychainWaitTest, ShortAndDegenerateLimits) {
    auto blocking = std::make_shared<BlockingStore>();
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(BundleKey::storeInKeychain(keyOf(1), 0.3, blocking));
    EXPECT_GE(secondsSince(start), 0.29);
    start = std::chrono::steady_clock::now();
    EXPECT_FALSE(BundleKey::loadFromKeychain(-1.0, blocking));
    EXPECT_FALSE(BundleKey::loadFromKeychain(std::nan(""), blocking));
    EXPECT_LT(secondsSince(start), 1.0);
    EXPECT_FALSE(BundleKey::storeInKeychain(keyOf(1), 1.0, nullptr));
    blocking->release();
    ASSERT_TRUE(blocking->waitUntilIdle(10s));
}

TEST(KeychainWaitTest, ConcurrentCallsGetTheirOwnAnswers) {
    // A store that takes a little while and refuses keys whose first byte is odd.
    class PickyStore : public KeyStore {
    public:
        Status store(const SymmetricKey& key) override {
            std::this_thread::sleep_for(std::chrono::milliseconds(key.data()[0] % 7));
            return key.data()[0] % 2 == 0 ? Status::ok : Status::failed;
        }
        Loaded load() override { return {Status::notFound, std::nullopt}; }
        Status remove() override { return Status::ok; }
    };
    auto picky = std::make_shared<PickyStore>();
    std::vector<std::future<bool>> results;
    for (int i = 0; i < 40; ++i)
        results.push_back(std::async(std::launch::async, [&, i] {
            return BundleKey::storeInKeychain(keyOf(static_cast<std::uint8_t>(i)), 5.0, picky);
        }));
    for (int i = 0; i < 40; ++i)
        EXPECT_EQ(results[static_cast<std::size_t>(i)].get(), i % 2 == 0) << i;
}

TEST(KeychainWaitTest, StandardStoreCanBeReplaced) {
    auto memory = std::make_shared<MemoryStore>();
    KeyStore::overrideStandard(memory);
    EXPECT_TRUE(BundleKey::storeInKeychain(keyOf(5), 5.0));
    EXPECT_EQ(BundleKey::loadFromKeychain(5.0), keyOf(5));
    EXPECT_EQ(memory->stores, 1);
    KeyStore::overrideStandard(nullptr);
    EXPECT_NE(KeyStore::standard(), memory);
}

// ---- The platform store in real processes ------------------------------------------------------

TEST(PlatformKeyStoreTest, WithoutASecretServiceTheKeyGoesToTheFileStore) {
    stowage::testing::TempHome home;
    const std::string env = isolatedEnvironment(home);
    const std::string self = "'" + selfExecutable() + "'";
    const SymmetricKey key = BundleKey::generate();

    const std::string stored = capture(env + "STOWAGE_KEYSTORE_CHILD=store STOWAGE_KEYSTORE_CHILD_KEY=" + hexOf(key) +
                                       " timeout 30 " + self + " 2>/dev/null");
    EXPECT_EQ(stored, "store ok\n");
    const std::string file = home.path() + "/.local/share/stowage/io.stowage.bundle-primary.key";
    EXPECT_EQ(modeOf(home.path() + "/.local/share/stowage"), 0700u);
    EXPECT_EQ(modeOf(file), 0600u);
    EXPECT_EQ(stowage::testing::slurp(file), std::string(reinterpret_cast<const char*>(key.data()), 32));

    const std::string loaded = capture(env + "STOWAGE_KEYSTORE_CHILD=load timeout 30 " + self + " 2>/dev/null");
    EXPECT_EQ(loaded, "load " + hexOf(key) + "\n");
}

TEST(PlatformKeyStoreTest, SecretServiceHoldsExactlyOneItemWithTheLatestKey) {
    for (const char* tool : {"dbus-run-session", "gnome-keyring-daemon", "secret-tool", "dbus-send"})
        if (!haveTool(tool))
            GTEST_SKIP() << tool << " is not installed; the Secret Service path cannot be exercised";

    stowage::testing::TempHome home;
    const std::string env = isolatedEnvironment(home);
    const SymmetricKey a = BundleKey::generate(), b = BundleKey::generate(), c = BundleKey::generate(),
                       d = BundleKey::generate();
    const std::string script = home.writeFile("session.sh", R"SH(
run() { STOWAGE_KEYSTORE_CHILD="$1" STOWAGE_KEYSTORE_CHILD_KEY="$2" "$SELF" 2>/dev/null; }
printf '%s' 'test keyring password' | gnome-keyring-daemon --unlock --components=secrets >/dev/null 2>&1 ||
    { echo "skip gnome-keyring-daemon could not start in a private D-Bus session"; exit 0; }
i=0
until dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
        org.freedesktop.DBus.NameHasOwner string:org.freedesktop.secrets 2>/dev/null | grep -q 'boolean true'; do
    i=$((i + 1))
    [ "$i" -gt 100 ] && { echo "skip gnome-keyring-daemon did not register the Secret Service"; exit 0; }
    sleep 0.1
done
echo "ready"
run store "$A"
run store "$B"
echo "items $(secret-tool search --all service io.stowage.bundle account primary 2>&1 | grep -c '^label = ')"
echo "tool $(secret-tool lookup service io.stowage.bundle account primary | od -An -v -tx1 | tr -d ' \n')"
run load
echo "file $([ -e "$KEYFILE" ] && echo present || echo absent)"
# While the service cannot be reached the key goes to the file, which is then the newer copy.
DBUS_SESSION_BUS_ADDRESS="unix:path=$HOME/no-bus" STOWAGE_KEYSTORE_CHILD=store STOWAGE_KEYSTORE_CHILD_KEY="$C" \
    "$SELF" 2>/dev/null
echo "file $([ -e "$KEYFILE" ] && echo present || echo absent)"
run load
run service-load
# Reachable again: the service takes the key and the file copy is retired.
run store "$D"
echo "file $([ -e "$KEYFILE" ] && echo present || echo absent)"
run load
run service-load
)SH");
    const std::string command = env + "SELF='" + selfExecutable() + "' A=" + hexOf(a) + " B=" + hexOf(b) +
                                " C=" + hexOf(c) + " D=" + hexOf(d) + " KEYFILE='" + home.path() +
                                "/.local/share/stowage/io.stowage.bundle-primary.key' " +
                                "timeout 120 dbus-run-session -- sh '" + script + "' 2>/dev/null";
    const auto lines = parseLines(capture(command));
    ASSERT_FALSE(lines.empty()) << "dbus-run-session produced no output";
    if (lines.front().first == "skip")
        GTEST_SKIP() << lines.front().second;

    const std::vector<std::pair<std::string, std::string>> expected = {
        {"ready", ""},
        {"store", "ok"},
        {"store", "ok"},
        {"items", "1"},
        {"tool", hexOf(b)},
        {"load", hexOf(b)},
        {"file", "absent"},
        {"store", "ok"},
        {"file", "present"},
        {"load", hexOf(c)},
        {"service-load", "ok " + hexOf(b)},
        {"store", "ok"},
        {"file", "absent"},
        {"load", hexOf(d)},
        {"service-load", "ok " + hexOf(d)},
    };
    EXPECT_EQ(lines, expected);
}
