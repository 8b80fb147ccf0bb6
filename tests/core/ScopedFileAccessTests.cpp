#include "core/ScopedFileAccess.hpp"
#include "support/TempHome.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

using namespace stowage;
using stowage::testing::slurp;
using stowage::testing::TempHome;
namespace fs = std::filesystem;

namespace {

/// The Linux bookmarks, with access start/stop counted per folder and refusable.
class CountingScope : public PathBookmarkScope {
public:
    bool startAccessing(const std::string& folder) override {
        std::lock_guard<std::mutex> guard(mutex_);
        if (refuse)
            return false;
        ++starts[folder];
        ++open[folder];
        return true;
    }
    void stopAccessing(const std::string& folder) override {
        std::lock_guard<std::mutex> guard(mutex_);
        ++stops[folder];
        if (--open[folder] < 0)
            overClosed = true;
    }
    int startCount(const std::string& f) {
        std::lock_guard<std::mutex> guard(mutex_);
        return starts[f];
    }
    int stopCount(const std::string& f) {
        std::lock_guard<std::mutex> guard(mutex_);
        return stops[f];
    }

    std::atomic<bool> refuse{false};
    bool overClosed = false;

private:
    std::mutex mutex_;
    std::map<std::string, int> starts, stops, open;
};

/// A settings store that runs a probe when a byte map is about to be saved.
class ProbingDefaults : public JsonDefaultsStore {
public:
    using JsonDefaultsStore::JsonDefaultsStore;
    void setByteMap(const std::string& key, const std::map<std::string, Bytes>& value) override {
        if (auto probe = std::exchange(onSave, nullptr))
            probe();
        JsonDefaultsStore::setByteMap(key, value);
    }
    std::function<void()> onSave;
};

struct Fixture {
    TempHome home;
    std::shared_ptr<JsonDefaultsStore> defaults = std::make_shared<JsonDefaultsStore>(home / "cfg/defaults.json");
    std::shared_ptr<CountingScope> scope = std::make_shared<CountingScope>();
    std::shared_ptr<BookmarkStore> store = std::make_shared<BookmarkStore>(defaults, scope);
    std::shared_ptr<ScopedFileAccess> access = std::make_shared<ScopedFileAccess>(store, scope);
};

/// Gives the folder at `path` a new identity (a new inode) while keeping its path and contents.
void recreateFolder(const std::string& path) {
    fs::rename(path, path + ".old");
    fs::create_directory(path);
    for (const auto& entry : fs::directory_iterator(path + ".old"))
        fs::rename(entry.path(), fs::path(path) / entry.path().filename());
    fs::remove(path + ".old");
}

} // namespace

TEST(SandboxTest, ActiveExactlyWhenTheVariableIsSet) {
    const char* saved = std::getenv("APP_SANDBOX_CONTAINER_ID");
    std::optional<std::string> savedValue = saved ? std::optional<std::string>(saved) : std::nullopt;
    ::unsetenv("APP_SANDBOX_CONTAINER_ID");
    EXPECT_FALSE(Sandbox::isActive());
    ::setenv("APP_SANDBOX_CONTAINER_ID", "", 1);
    EXPECT_TRUE(Sandbox::isActive());
    ::setenv("APP_SANDBOX_CONTAINER_ID", "io.stowage", 1);
    EXPECT_TRUE(Sandbox::isActive());
    if (savedValue)
        ::setenv("APP_SANDBOX_CONTAINER_ID", savedValue->c_str(), 1);
    else
        ::unsetenv("APP_SANDBOX_CONTAINER_ID");
}

// ---- bookmarks ----------------------------------------------------------------------------------

TEST(BookmarkStoreTest, LongestCoveringGrantWinsComponentWise) {
    Fixture f;
    std::string u = f.home.makeDir("Users/u");
    std::string work = f.home.makeDir("Users/u/Work");
    f.home.makeDir("Users/u/Workshop");
    f.home.makeDir("Users/u/Work/p");
    ASSERT_TRUE(f.store->grant(u));
    ASSERT_TRUE(f.store->grant(work + "/"));

    EXPECT_EQ(f.store->roots(), (std::vector<std::string>{work, u}));
    EXPECT_EQ(f.store->resolvedURL(work + "/p"), work);
    EXPECT_EQ(f.store->resolvedURL(work + "/p/deeper/file.txt"), work);
    EXPECT_EQ(f.store->resolvedURL(work), work);
    EXPECT_EQ(f.store->resolvedURL(u + "/Workshop"), u);
    EXPECT_EQ(f.store->resolvedURL(u + "/Workshop/x"), u);
    EXPECT_EQ(f.store->resolvedURL(u), u);
    EXPECT_FALSE(f.store->resolvedURL(f.home / "Users/u2"));
    EXPECT_FALSE(f.store->resolvedURL(f.home / "Users"));

    // The grants live in the settings file and survive a restart.
    auto reopened = BookmarkStore(std::make_shared<JsonDefaultsStore>(f.home / "cfg/defaults.json"));
    EXPECT_EQ(reopened.roots(), (std::vector<std::string>{work, u}));
    EXPECT_EQ(reopened.resolvedURL(u + "/Workshop"), u);

    f.store->revoke(work);
    EXPECT_EQ(f.store->resolvedURL(work + "/p"), u);
    EXPECT_NO_THROW(f.store->revoke(work));
    EXPECT_EQ(f.store->roots(), std::vector<std::string>{u});
}

TEST(BookmarkStoreTest, GrantNeedsAnExistingFolderAndGoneFoldersDoNotResolve) {
    Fixture f;
    std::string file = f.home.writeFile("notes.txt", "x");
    EXPECT_FALSE(f.store->grant(f.home / "missing"));
    EXPECT_FALSE(f.store->grant(file));
    EXPECT_FALSE(f.store->grant("relative/folder"));
    EXPECT_TRUE(f.store->roots().empty());
    EXPECT_FALSE(f.defaults->contains(BookmarkStore::key));

    std::string gone = f.home.makeDir("gone");
    ASSERT_TRUE(f.store->grant(gone));
    fs::remove(gone);
    EXPECT_FALSE(f.store->resolvedURL(gone + "/x"));
    EXPECT_FALSE(f.access->beginAccess(gone));
    EXPECT_EQ(f.access->accessDepth(gone), 0);
    f.access->endAccess(gone);
    EXPECT_EQ(f.scope->stopCount(gone), 0);
    EXPECT_EQ(f.store->roots(), std::vector<std::string>{gone}) << "a dead grant is not forgotten silently";
}

TEST(BookmarkStoreTest, StaleBookmarkStillResolvesAndIsRefreshedOnce) {
    Fixture f;
    std::string folder = f.home.makeDir("proj");
    f.home.writeFile("proj/file", "kept");
    ASSERT_TRUE(f.store->grant(folder));
    Bytes original = f.defaults->byteMap(BookmarkStore::key)->at(folder);

    recreateFolder(folder);
    EXPECT_EQ(f.store->resolvedURL(folder + "/file"), folder);
    Bytes refreshed = f.defaults->byteMap(BookmarkStore::key)->at(folder);
    EXPECT_NE(refreshed, original);
    EXPECT_EQ(f.store->resolvedURL(folder), folder);
    EXPECT_EQ(f.defaults->byteMap(BookmarkStore::key)->at(folder), refreshed);
}

TEST(BookmarkStoreTest, ForeignOrDamagedValuesReadAsNoGrants) {
    Fixture f;
    std::string folder = f.home.makeDir("a");
    f.defaults->setString(BookmarkStore::key, "not a map");
    EXPECT_TRUE(f.store->roots().empty());
    EXPECT_FALSE(f.store->resolvedURL(folder));
    ASSERT_TRUE(f.store->grant(folder));
    EXPECT_EQ(f.store->roots(), std::vector<std::string>{folder});

    // Bytes that are not a bookmark of ours, or an empty one, do not resolve.
    f.defaults->setByteMap(BookmarkStore::key, {{folder, toBytes("garbage bytes here that mean nothing")}});
    EXPECT_FALSE(f.store->resolvedURL(folder));
    f.defaults->setByteMap(BookmarkStore::key, {{folder, Bytes{}}});
    EXPECT_FALSE(f.store->resolvedURL(folder));

    PathBookmarkScope scope;
    auto token = scope.makeBookmark(folder);
    ASSERT_TRUE(token);
    EXPECT_EQ(toString(Bytes(token->begin(), token->begin() + 4)), "STWB");
    EXPECT_EQ(scope.resolveBookmark(*token)->path, folder);
    EXPECT_FALSE(scope.resolveBookmark(*token)->stale);
    Bytes truncated(token->begin(), token->begin() + 21);
    EXPECT_FALSE(scope.resolveBookmark(truncated));
    Bytes otherVersion = *token;
    otherVersion[4] = 2;
    EXPECT_FALSE(scope.resolveBookmark(otherVersion));
}

// ---- scoped access ------------------------------------------------------------------------------

TEST(ScopedFileAccessTest, BeginAndEndNest) {
    Fixture f;
    std::string root = f.home.makeDir("granted");
    std::string sub = f.home.makeDir("granted/sub");
    ASSERT_TRUE(f.store->grant(root));

    EXPECT_TRUE(f.access->beginAccess(sub));
    EXPECT_TRUE(f.access->beginAccess(sub));
    EXPECT_EQ(f.access->accessDepth(sub), 2);
    EXPECT_EQ(f.scope->startCount(root), 1) << "access is started once per path, not per call";
    f.access->endAccess(sub);
    EXPECT_EQ(f.access->accessDepth(sub), 1);
    EXPECT_EQ(f.scope->stopCount(root), 0);
    f.access->endAccess(sub);
    EXPECT_EQ(f.access->accessDepth(sub), 0);
    EXPECT_EQ(f.scope->stopCount(root), 1);
    f.access->endAccess(sub);
    EXPECT_EQ(f.scope->stopCount(root), 1);
    EXPECT_FALSE(f.scope->overClosed);

    EXPECT_FALSE(f.access->beginAccess(f.home / "not-granted"));
    EXPECT_EQ(f.access->accessDepth(f.home / "not-granted"), 0);
}

TEST(ScopedFileAccessTest, PlatformRefusalRecordsNothing) {
    Fixture f;
    std::string root = f.home.makeDir("granted");
    ASSERT_TRUE(f.store->grant(root));
    f.scope->refuse = true;
    EXPECT_FALSE(f.access->beginAccess(root));
    EXPECT_EQ(f.access->accessDepth(root), 0);
    f.access->endAccess(root);
    EXPECT_EQ(f.scope->stopCount(root), 0);
    f.scope->refuse = false;
    EXPECT_TRUE(f.access->beginAccess(root));
}

TEST(ScopedFileAccessTest, FileOperationsBehaveAsDirectAndOpenNothing) {
    Fixture f;
    std::string root = f.home.makeDir("granted");
    ASSERT_TRUE(f.store->grant(root));
    f.access->write(toBytes("data"), root + "/new/file", 0600);
    EXPECT_EQ(f.access->read(root + "/new/file"), toBytes("data"));
    EXPECT_EQ(f.access->info(root + "/new/file")->posixPermissions, 0600);
    f.access->copyItem(root + "/new", root + "/copy");
    EXPECT_EQ(slurp(root + "/copy/file"), "data");
    EXPECT_EQ(f.access->children(root + "/copy"), std::vector<std::string>{root + "/copy/file"});
    f.access->remove(root + "/copy");
    EXPECT_FALSE(f.access->exists(root + "/copy"));
    EXPECT_EQ(f.scope->startCount(root), 0);
}

TEST(ScopedFileAccessTest, NestingHoldsUnderManyThreads) {
    Fixture f;
    std::string root = f.home.makeDir("granted");
    std::vector<std::string> paths = {root, f.home.makeDir("granted/a"), f.home.makeDir("granted/b")};
    ASSERT_TRUE(f.store->grant(root));

    constexpr int kThreads = 8, kRounds = 300;
    std::vector<std::thread> threads;
    std::atomic<int> refused{0};
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kRounds; ++i) {
                const std::string& p = paths[static_cast<size_t>(t + i) % paths.size()];
                if (!f.access->beginAccess(p))
                    ++refused;
                if (f.access->accessDepth(p) < 1)
                    ++refused;
                f.access->endAccess(p);
            }
            // One unmatched begin per thread, all on the root.
            f.access->beginAccess(root);
        });
    for (auto& th : threads)
        th.join();

    EXPECT_EQ(refused.load(), 0);
    EXPECT_EQ(f.access->accessDepth(root), kThreads);
    EXPECT_EQ(f.access->accessDepth(paths[1]), 0);
    EXPECT_EQ(f.access->accessDepth(paths[2]), 0);
    EXPECT_FALSE(f.scope->overClosed);
    EXPECT_EQ(f.scope->startCount(root) - f.scope->stopCount(root), 1) << "only the root's last begin is open";
    for (int t = 0; t < kThreads; ++t)
        f.access->endAccess(root);
    EXPECT_EQ(f.scope->startCount(root), f.scope->stopCount(root));
}

TEST(ScopedFileAccessTest, StaleRefreshHoldsScopedLockThenStoreLock) {
    TempHome home;
    auto defaults = std::make_shared<ProbingDefaults>(home / "cfg/defaults.json");
    auto store = std::make_shared<BookmarkStore>(defaults);
    auto access = std::make_shared<ScopedFileAccess>(store);
    std::string stale = home.makeDir("stale");
    std::string other = home.makeDir("other");
    ASSERT_TRUE(store->grant(stale));
    ASSERT_TRUE(store->grant(other));
    recreateFolder(stale);

    // While the refresh saves (inside beginAccess), another beginAccess must wait for the scoped
    // lock and a revoke must wait for the store's lock: both are held, in that order.
    std::atomic<bool> beginDone{false}, revokeDone{false};
    std::thread beginner, revoker;
    bool beginWaited = false, revokeWaited = false;
    defaults->onSave = [&] {
        beginner = std::thread([&] {
            access->beginAccess(other);
            beginDone = true;
        });
        revoker = std::thread([&] {
            store->revoke(home / "never-granted-but-takes-the-lock");
            revokeDone = true;
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        beginWaited = !beginDone;
        revokeWaited = !revokeDone;
    };
    EXPECT_TRUE(access->beginAccess(stale + "/work"));
    beginner.join();
    revoker.join();
    EXPECT_TRUE(beginWaited);
    EXPECT_TRUE(revokeWaited);
    EXPECT_TRUE(beginDone);
    EXPECT_EQ(access->accessDepth(other), 1);
}
