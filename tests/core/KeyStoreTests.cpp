#include "core/KDF.hpp"
#include "core/platform/KeyStore.hpp"
#include "support/Crypto.hpp"
#include "support/StowageProcess.hpp"
#include "support/TempHome.hpp"
#include "support/Trees.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <mutex>
#include <sys/stat.h>
#include <thread>

using namespace stowage;
using namespace stowage::testing;
using namespace std::chrono_literals;
using Status = KeyStore::Status;
namespace fs = std::filesystem;

namespace {

// ---- Child mode --------------------------------------------------------------------------------
//
// The platform-store tests run this same executable as a child (inside a private D-Bus session for
// the Secret Service), so the keychain code meets a real bus from a fresh process. A child does its
// one operation through the public entry points with the 5-second limit the engines pass, prints
// the result and exits before the test framework starts.

int runChildOperation(const std::string& operation) {
    if (operation == "store") {
        const char* text = std::getenv("STOWAGE_KEYSTORE_CHILD_KEY");
        auto key = SymmetricKey::fromBytes(fromHex(text ? text : ""));
        if (!key)
            return 2;
        std::printf("store %s\n", BundleKey::storeInKeychain(*key, 5.0) ? "ok" : "failed");
    } else if (operation == "load") {
        auto key = BundleKey::loadFromKeychain(5.0);
        std::printf("load %s\n", key ? hex(*key).c_str() : "none");
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

/// Runs `binary` with no display to autolaunch a session bus from and a private runtime folder
/// (runChild already points the bus nowhere); answers its output.
std::string isolated(const TempHome& home, const std::string& binary, const std::vector<std::string>& arguments,
                     std::map<std::string, std::string> environment = {}) {
    const std::string run = home.makeDir("run");
    ::chmod(run.c_str(), 0700);
    environment.insert({{"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}, {"XDG_RUNTIME_DIR", run}});
    return runChild(binary, arguments, environment, 150s).out;
}

const std::string self = fs::read_symlink("/proc/self/exe").string();

// ---- Scripted stores ---------------------------------------------------------------------------

/// An in-memory store whose answers the test chooses (loads answer notFound while it holds no item).
struct MemoryStore : KeyStore {
    Status storeAnswer = Status::ok, loadAnswer = Status::ok, removeAnswer = Status::ok;
    std::optional<SymmetricKey> item;

    Status store(const SymmetricKey& key) override {
        if (storeAnswer == Status::ok)
            item = key;
        return storeAnswer;
    }
    Loaded load() override {
        return loadAnswer != Status::ok ? Loaded{loadAnswer, std::nullopt}
                                        : Loaded{item ? Status::ok : Status::notFound, item};
    }
    Status remove() override {
        if (removeAnswer == Status::ok)
            item.reset();
        return removeAnswer;
    }
};

/// A store whose every operation blocks until the test opens the gate; it counts finished stores.
struct BlockingStore : MemoryStore {
    Status store(const SymmetricKey& key) override {
        opened.wait();
        std::lock_guard lock(mutex);
        item = key; // kept before the store counts as finished
        ++storesFinished;
        return Status::ok;
    }
    Loaded load() override {
        opened.wait();
        return {Status::ok, keyOf(1)};
    }

    std::promise<void> gate;
    std::shared_future<void> opened = gate.get_future().share();
    std::atomic<int> storesFinished = 0;
    std::mutex mutex;
};

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

} // namespace

// ---- File store --------------------------------------------------------------------------------

TEST(FileKeyStoreTest, KeepsOneOwnerOnlyPlainFileInANarrowedFolderUnderAnyUmask) {
    TempHome home;
    EXPECT_EQ(FileKeyStore::defaultFolder(), home.path() + "/.local/share/stowage");
    setenv("XDG_DATA_HOME", "relative/data", 1); // only an absolute XDG_DATA_HOME counts
    EXPECT_EQ(FileKeyStore::defaultFolder(), home.path() + "/.local/share/stowage");
    setenv("XDG_DATA_HOME", "/somewhere/data", 1);
    EXPECT_EQ(FileKeyStore::defaultFolder(), "/somewhere/data/stowage");

    const std::string folder = home.makeDir("data/stowage");
    ::chmod(folder.c_str(), 0755);
    FileKeyStore store(folder);
    {
        UmaskScope umask(0277);
        ASSERT_EQ(store.store(keyOf(1)), Status::ok);
    }
    EXPECT_EQ(modeOf(folder), 0700u);
    EXPECT_EQ(modeOf(store.filePath()), 0600u);

    ASSERT_EQ(store.store(keyOf(2)), Status::ok);
    EXPECT_EQ(store.load().key, keyOf(2));
    // Exactly one item and no temporary files left behind.
    EXPECT_EQ(treeOf(folder).size(), 1u);
    EXPECT_EQ(store.remove(), Status::ok);
    EXPECT_EQ(store.load().status, Status::notFound);
    EXPECT_EQ(store.remove(), Status::ok);

    // Only a plain 32-byte file is a key, and a link is never followed.
    for (std::size_t size : {31, 33}) {
        home.writeFile("data/stowage/io.stowage.bundle-primary.key", std::string(size, 'k'), 0600);
        EXPECT_EQ(store.load().status, Status::failed) << size;
    }
    const std::string elsewhere = home.writeFile("elsewhere", std::string(32, 'k'), 0600);
    fs::remove(store.filePath());
    fs::create_symlink(elsewhere, store.filePath());
    EXPECT_EQ(store.load().status, Status::failed);
    // Storing replaces the link itself, not the file it points to.
    ASSERT_EQ(store.store(keyOf(4)), Status::ok);
    EXPECT_EQ(slurp(elsewhere), std::string(32, 'k'));
    EXPECT_EQ(store.load().key, keyOf(4));

    home.writeFile("blocker", "not a folder");
    FileKeyStore unwritable(home / "blocker/stowage");
    EXPECT_EQ(unwritable.store(keyOf(5)), Status::failed);
    EXPECT_EQ(unwritable.load().status, Status::notFound);
}

// ---- Fallback composition ----------------------------------------------------------------------

TEST(FallbackKeyStoreTest, TheStandInServesOnlyWhileThePrimaryDoesNotAnswerAndNeverShadowsIt) {
    auto primary = std::make_shared<MemoryStore>();
    auto standIn = std::make_shared<MemoryStore>();
    FallbackKeyStore store(primary, standIn);
    EXPECT_EQ(store.load().status, Status::notFound);

    primary->storeAnswer = primary->loadAnswer = Status::unavailable;
    EXPECT_EQ(store.load().status, Status::notFound);
    ASSERT_EQ(store.store(keyOf(1)), Status::ok);
    EXPECT_EQ(standIn->item, keyOf(1));
    EXPECT_EQ(store.load().key, keyOf(1));

    // The primary is back but still holds an older key: the stand-in copy is the newer one.
    primary->item = keyOf(9);
    primary->storeAnswer = primary->loadAnswer = Status::ok;
    EXPECT_EQ(store.load().key, keyOf(1));
    // A successful primary store retires the stand-in copy.
    ASSERT_EQ(store.store(keyOf(2)), Status::ok);
    EXPECT_EQ(primary->item, keyOf(2));
    EXPECT_FALSE(standIn->item);
    EXPECT_EQ(store.load().key, keyOf(2));

    primary->loadAnswer = Status::unavailable;
    standIn->loadAnswer = Status::failed;
    EXPECT_EQ(store.load().status, Status::failed);

    // A refusal of the primary is not papered over by the stand-in.
    primary->storeAnswer = Status::failed;
    EXPECT_EQ(store.store(keyOf(3)), Status::failed);
    EXPECT_FALSE(standIn->item);

    // A stale stand-in copy that cannot be removed would shadow the new key: not a success.
    primary->storeAnswer = Status::ok;
    standIn->item = keyOf(7);
    standIn->removeAnswer = Status::failed;
    EXPECT_EQ(store.store(keyOf(2)), Status::failed);
}

// ---- Bounded waiting ---------------------------------------------------------------------------

TEST(KeychainWaitTest, AnswersWhatTheStoreAnswersPromptlyAndToEachConcurrentCallItsOwn) {
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
    EXPECT_FALSE(BundleKey::storeInKeychain(keyOf(1), 1.0, nullptr));

    // Without a store given, the standard one answers, which a test may replace.
    memory->storeAnswer = Status::ok;
    KeyStore::overrideStandard(memory);
    EXPECT_TRUE(BundleKey::storeInKeychain(keyOf(5), 5.0));
    EXPECT_EQ(BundleKey::loadFromKeychain(5.0), keyOf(5));
    KeyStore::overrideStandard(nullptr);

    // Concurrent calls get their own answers, from a store that takes a little while and refuses
    // keys whose first byte is odd.
    struct PickyStore : MemoryStore {
        Status store(const SymmetricKey& key) override {
            std::this_thread::sleep_for(std::chrono::milliseconds(key.data()[0] % 7));
            return key.data()[0] % 2 == 0 ? Status::ok : Status::failed;
        }
    };
    auto picky = std::make_shared<PickyStore>();
    std::vector<std::future<bool>> results;
    for (std::uint8_t i = 0; i < 40; ++i)
        results.push_back(
            std::async(std::launch::async, [&, i] { return BundleKey::storeInKeychain(keyOf(i), 5.0, picky); }));
    for (std::size_t i = 0; i < 40; ++i)
        EXPECT_EQ(results[i].get(), i % 2 == 0) << i;
}

TEST(KeychainWaitTest, ABlockedStoreCostsTheLimitAndNoMoreAndIsNotTakenForAnAnswer) {
    auto blocking = std::make_shared<BlockingStore>();
    // Both calls at once, with the limit the engines pass.
    auto start = std::chrono::steady_clock::now();
    auto stored = std::async(std::launch::async, [&] { return BundleKey::storeInKeychain(keyOf(8), 5.0, blocking); });
    auto loaded = std::async(std::launch::async, [&] { return BundleKey::loadFromKeychain(5.0, blocking); });
    EXPECT_FALSE(stored.get());
    EXPECT_FALSE(loaded.get());
    EXPECT_GE(secondsSince(start), 4.9);
    EXPECT_LT(secondsSince(start), 9.0);

    start = std::chrono::steady_clock::now();
    EXPECT_FALSE(BundleKey::storeInKeychain(keyOf(8), 0.3, blocking));
    EXPECT_GE(secondsSince(start), 0.29);
    start = std::chrono::steady_clock::now();
    EXPECT_FALSE(BundleKey::loadFromKeychain(-1.0, blocking));
    EXPECT_FALSE(BundleKey::loadFromKeychain(std::nan(""), blocking));
    EXPECT_LT(secondsSince(start), 1.0);

    // The late workers still finish, with their own copies of what they were given.
    blocking->gate.set_value();
    for (int waited = 0; waited < 1000 && blocking->storesFinished < 2; ++waited)
        std::this_thread::sleep_for(10ms);
    std::lock_guard lock(blocking->mutex);
    EXPECT_EQ(blocking->item, keyOf(8));
}

// ---- The platform store in real processes ------------------------------------------------------

TEST(PlatformKeyStoreTest, WithoutASecretServiceTheKeyGoesToTheFileStore) {
    TempHome home;
    const SymmetricKey key = BundleKey::generate();
    EXPECT_EQ(isolated(home, self, {}, {{"STOWAGE_KEYSTORE_CHILD", "store"}, {"STOWAGE_KEYSTORE_CHILD_KEY", hex(key)}}),
              "store ok\n");
    EXPECT_EQ(slurp(home / ".local/share/stowage/io.stowage.bundle-primary.key"),
              std::string(reinterpret_cast<const char*>(key.data()), 32));
    EXPECT_EQ(isolated(home, self, {}, {{"STOWAGE_KEYSTORE_CHILD", "load"}}), "load " + hex(key) + "\n");
}

TEST(PlatformKeyStoreTest, SecretServiceHoldsExactlyOneItemWithTheLatestKey) {
    for (const char* tool : {"dbus-run-session", "gnome-keyring-daemon", "secret-tool", "dbus-send"})
        if (sh(std::string("command -v ") + tool + " >/dev/null 2>&1") != 0)
            GTEST_SKIP() << tool << " is not installed; the Secret Service path cannot be exercised";

    TempHome home;
    const SymmetricKey a = BundleKey::generate(), b = BundleKey::generate();
    const std::string script = home.writeFile("session.sh", R"SH(
SELF=$1 KEYFILE=$2 A=$3 B=$4
run() { STOWAGE_KEYSTORE_CHILD="$1" STOWAGE_KEYSTORE_CHILD_KEY="$2" "$SELF" 2>/dev/null; }
file() { [ -e "$KEYFILE" ] && echo "file present" || echo "file absent"; }
tool() { echo "tool $(secret-tool lookup service io.stowage.bundle account primary | od -An -v -tx1 | tr -d ' \n')"; }
skip() { echo "skip gnome-keyring-daemon $1"; exit 0; }
printf '%s' 'test keyring password' | gnome-keyring-daemon --unlock --components=secrets >/dev/null 2>&1 ||
    skip "could not start in a private D-Bus session"
i=0
until dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
        org.freedesktop.DBus.NameHasOwner string:org.freedesktop.secrets 2>/dev/null | grep -q 'boolean true'; do
    i=$((i + 1)); [ "$i" -gt 100 ] && skip "did not register the Secret Service"; sleep 0.1
done
echo ready; run store "$A"; run store "$B"
echo "items $(secret-tool search --all service io.stowage.bundle account primary 2>&1 | grep -c '^label = ')"
tool; run load; file
)SH");
    const std::string out =
        isolated(home, "/bin/sh",
                 {"-c", "exec timeout 120 dbus-run-session -- sh \"$0\" \"$@\" 2>/dev/null", script, self,
                  home.path() + "/.local/share/stowage/io.stowage.bundle-primary.key", hex(a), hex(b)});
    ASSERT_FALSE(out.empty()) << "dbus-run-session produced no output";
    if (out.rfind("skip ", 0) == 0)
        GTEST_SKIP() << out;
    EXPECT_EQ(out, "ready\nstore ok\nstore ok\nitems 1\ntool " + hex(b) + "\nload " + hex(b) + "\nfile absent\n");
}
