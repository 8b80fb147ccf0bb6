#include "core/ScopedFileAccess.hpp"
#include "support/TempHome.hpp"
#include "support/Trees.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>

using namespace stowage;
using namespace stowage::testing;
namespace fs = std::filesystem;

namespace {

/// The Linux bookmarks, with access start/stop counted per folder and refusable.
struct CountingScope : PathBookmarkScope {
    bool startAccessing(const std::string& folder) override {
        std::lock_guard<std::mutex> guard(mutex_);
        if (refuse)
            return false;
        ++starts[folder];
        return true;
    }
    void stopAccessing(const std::string& folder) override {
        std::lock_guard<std::mutex> guard(mutex_);
        ++stops[folder];
    }

    std::atomic<bool> refuse{false};
    std::map<std::string, int> starts, stops;
    std::mutex mutex_;
};

struct Fixture {
    TempHome home;
    std::shared_ptr<JsonDefaultsStore> defaults = std::make_shared<JsonDefaultsStore>(home / "cfg/defaults.json");
    std::shared_ptr<CountingScope> scope = std::make_shared<CountingScope>();
    std::shared_ptr<BookmarkStore> store = std::make_shared<BookmarkStore>(defaults, scope);
    std::shared_ptr<ScopedFileAccess> access = std::make_shared<ScopedFileAccess>(store, scope);
    std::string root = home.makeDir("granted");
};

/// Gives the folder at `path` a new identity (a new inode) at the same path.
void recreateFolder(const std::string& path) {
    fs::rename(path, path + ".old");
    fs::create_directory(path);
}

} // namespace

TEST(BookmarkStoreTest, LongestCoveringGrantWinsComponentWiseAndSurvivesARestart) {
    Fixture f;
    std::string u = f.home.makeDir("Users/u");
    std::string work = f.home.makeDir("Users/u/Work");
    f.home.makeDir("Users/u/Workshop");
    ASSERT_TRUE(f.store->grant(u));
    ASSERT_TRUE(f.store->grant(work + "/"));
    BookmarkStore reopened(std::make_shared<JsonDefaultsStore>(f.home / "cfg/defaults.json"));
    for (BookmarkStore* store : {f.store.get(), &reopened}) {
        EXPECT_EQ(store->roots(), (std::vector<std::string>{work, u}));
        for (const auto& [path, root] : std::vector<std::pair<std::string, std::string>>{
                 {work + "/p/deeper/file.txt", work}, {work, work}, {u + "/Workshop/x", u}, {u, u}})
            EXPECT_EQ(store->resolvedURL(path), root) << path;
        EXPECT_FALSE(store->resolvedURL(f.home / "Users/u2") || store->resolvedURL(f.home / "Users"));
    }
    f.store->revoke(work);
    EXPECT_EQ(f.store->resolvedURL(work + "/p"), u);
    EXPECT_NO_THROW(f.store->revoke(work));
    EXPECT_EQ(f.store->roots(), std::vector<std::string>{u});
}

TEST(BookmarkStoreTest, OnlyExistingFoldersAreGrantedAndGoneOrForeignOnesDoNotResolve) {
    Fixture f;
    for (const std::string& notAFolder : {f.home / "missing", f.home.writeFile("notes.txt", "x"), std::string("rel/x")})
        EXPECT_FALSE(f.store->grant(notAFolder)) << notAFolder;
    EXPECT_FALSE(f.defaults->contains(BookmarkStore::key));

    std::string gone = f.home.makeDir("gone");
    ASSERT_TRUE(f.store->grant(gone));
    fs::remove(gone);
    EXPECT_FALSE(f.store->resolvedURL(gone + "/x"));
    EXPECT_FALSE(f.access->beginAccess(gone));
    f.access->endAccess(gone);
    EXPECT_EQ(f.scope->stops[gone], 0);
    EXPECT_EQ(f.store->roots(), std::vector<std::string>{gone}) << "a dead grant is not forgotten silently";

    // A value that is not a map, bytes that are not a bookmark of ours, or none, read as no grant.
    f.defaults->setString(BookmarkStore::key, "not a map");
    EXPECT_TRUE(f.store->roots().empty());
    ASSERT_TRUE(f.store->grant(f.root));
    EXPECT_EQ(f.store->roots(), std::vector<std::string>{f.root});
    for (const Bytes& bytes : {toBytes("garbage bytes here that mean nothing"), Bytes{}}) {
        f.defaults->setByteMap(BookmarkStore::key, {{f.root, bytes}});
        EXPECT_FALSE(f.store->resolvedURL(f.root));
    }
    PathBookmarkScope scope;
    EXPECT_TRUE(scope.startAccessing(f.root)) << "nothing to start on Linux, so never refused";
    auto token = scope.makeBookmark(f.root);
    ASSERT_TRUE(token);
    EXPECT_EQ(scope.resolveBookmark(*token)->path, f.root);
    EXPECT_FALSE(scope.resolveBookmark(*token)->stale);
    EXPECT_FALSE(scope.resolveBookmark(Bytes(token->begin(), token->begin() + 21)));
    (*token)[4] = 2; // another format version
    EXPECT_FALSE(scope.resolveBookmark(*token));
}

TEST(ScopedFileAccessTest, AccessIsStartedOncePerPathAndEndedWithTheLastEnd) {
    Fixture f;
    std::string sub = f.home.makeDir("granted/sub");
    ASSERT_TRUE(f.store->grant(f.root));
    EXPECT_TRUE(f.access->beginAccess(sub));
    EXPECT_TRUE(f.access->beginAccess(sub));
    EXPECT_EQ(f.access->accessDepth(sub), 2);
    f.access->endAccess(sub);
    EXPECT_EQ(f.scope->starts[f.root] + f.scope->stops[f.root], 1);
    f.access->endAccess(sub);
    f.access->endAccess(sub);
    EXPECT_EQ(f.access->accessDepth(sub), 0);
    EXPECT_EQ(f.scope->stops[f.root], 1);
    EXPECT_FALSE(f.access->beginAccess(f.home / "not-granted"));

    // A refusal by the platform records nothing.
    f.scope->refuse = true;
    EXPECT_FALSE(f.access->beginAccess(f.root));
    f.access->endAccess(f.root);
    EXPECT_EQ(f.access->accessDepth(f.root) + f.scope->stops[f.root], 1);
    f.scope->refuse = false;
    // File operations pass straight through and open no scope of their own.
    f.access->write(toBytes("data"), f.root + "/new/file", 0600);
    f.access->copyItem(f.root + "/new", f.root + "/copy");
    EXPECT_EQ(treeOf(f.root + "/copy")["file"], (TreeEntry{"file", "data", 0600}));
    EXPECT_TRUE(f.access->exists(f.root + "/copy/file") && f.access->info(f.root + "/copy")->isDirectory);
    EXPECT_EQ(f.access->children(f.root + "/copy"), (std::vector<std::string>{f.root + "/copy/file"}));
    EXPECT_EQ(f.access->read(f.root + "/copy/file"), toBytes("data"));
    f.access->remove(f.root + "/copy");
    EXPECT_FALSE(fs::exists(f.root + "/copy"));
    EXPECT_EQ(f.scope->starts[f.root], 1);
}

TEST(ScopedFileAccessTest, NestingAndAStaleRefreshHoldUnderManyThreads) {
    Fixture f;
    std::vector<std::string> paths = {f.root, f.root + "/a", f.root + "/b"};
    ASSERT_TRUE(f.store->grant(f.root));
    const Bytes original = f.defaults->byteMap(BookmarkStore::key)->at(f.root);
    recreateFolder(f.root); // the first begin refreshes the bookmark while the others wait or follow
    constexpr int kThreads = 8, kRounds = 300;
    std::vector<std::thread> threads;
    std::atomic<int> refused{0};
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kRounds; ++i) {
                const std::string& p = paths[static_cast<size_t>(t + i) % paths.size()];
                refused += !f.access->beginAccess(p) || f.access->accessDepth(p) < 1;
                f.access->endAccess(p);
            }
            f.access->beginAccess(f.root); // one unmatched begin per thread
        });
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(refused.load(), 0);
    EXPECT_EQ(f.access->accessDepth(f.root), kThreads);
    EXPECT_EQ(f.access->accessDepth(paths[1]) + f.access->accessDepth(paths[2]), 0);
    EXPECT_EQ(f.scope->starts[f.root] - f.scope->stops[f.root], 1) << "only the root's last begin is open";
    for (int t = 0; t < kThreads; ++t)
        f.access->endAccess(f.root);
    EXPECT_EQ(f.scope->starts[f.root], f.scope->stops[f.root]);
    const Bytes refreshed = f.defaults->byteMap(BookmarkStore::key)->at(f.root);
    EXPECT_NE(refreshed, original);
    EXPECT_EQ(f.store->resolvedURL(f.root), f.root);
    EXPECT_EQ(f.defaults->byteMap(BookmarkStore::key)->at(f.root), refreshed) << "a fresh bookmark is kept";
    EXPECT_EQ(f.store->roots(), std::vector<std::string>{f.root});
}
