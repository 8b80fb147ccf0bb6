#include "core/BackupError.hpp"
#include "core/FileAccess.hpp"
#include "core/FileAccessSeam.hpp"
#include "support/FaultInjectingFileAccess.hpp"
#include "support/TempHome.hpp"
#include "support/Trees.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <functional>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace stowage;
using namespace stowage::testing;
namespace fs = std::filesystem;

namespace {

std::set<std::string> namesIn(const std::string& folder) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.insert(entry.path().filename().string());
    return names;
}

/// Runs `body` in a child process whose files may grow to at most `limit` bytes. With `crash` the
/// kernel kills the child (SIGXFSZ) at the limit, as a power cut would stop it midway; otherwise the
/// write fails with EFBIG and the child reports through its exit status.
int runWithFileSizeLimit(rlim_t limit, bool crash, const std::function<int()>& body) {
    pid_t pid = ::fork();
    if (pid == 0) {
        ::signal(SIGXFSZ, crash ? SIG_DFL : SIG_IGN);
        struct rlimit rl {};
        ::getrlimit(RLIMIT_FSIZE, &rl);
        rl.rlim_cur = limit;
        ::setrlimit(RLIMIT_FSIZE, &rl);
        try {
            ::_exit(body());
        } catch (...) {
            ::_exit(98);
        }
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return status;
}

} // namespace

TEST(DirectWriteTest, ModesAreExactUnderAnyUmaskAndNeverWiderWhileWriting) {
    static std::vector<std::uint16_t> born;
    seams::onTemporaryCreated = [](const std::string& path) { born.push_back(modeOf(path)); };
    TempHome home;
    DirectFileAccess fa;
    for (unsigned mask : {0u, 077u, 022u}) {
        UmaskScope scope(mask);
        for (std::uint16_t mode : {0600, 0644, 0755, 0777, 0400, 0}) {
            std::string path = home / ("m/" + std::to_string(mask) + "-" + std::to_string(mode));
            born.clear();
            fa.write(toBytes("x"), path, mode);
            EXPECT_EQ(modeOf(path), mode) << "umask " << mask << " mode " << mode;
            EXPECT_TRUE(born.size() == 1 && (born[0] & ~mode) == 0) << ::testing::PrintToString(born);
        }
        std::string plain = home / ("m/plain-" + std::to_string(mask));
        fa.write(toBytes("x"), plain);
        EXPECT_EQ(modeOf(plain), 0666u & ~mask);
    }
    UmaskScope open(0);
    born.clear();
    fa.copyItem(home.writeFile("src-600", "k", 0600), home / "copy-600");
    EXPECT_TRUE(born.size() == 1 && (born[0] & ~0600) == 0) << ::testing::PrintToString(born);
    seams::onTemporaryCreated = nullptr;

    // A narrower mode applies to a file that was wider; the content is wholly replaced.
    std::string key = home.writeFile("key", "old, longer content", 0644);
    fa.write(toBytes("new"), key, 0600);
    EXPECT_EQ(treeOf(home.path())["key"], (TreeEntry{"file", "new", 0600}));

    // A private file gets private new folders; existing folders keep their mode.
    ::chmod(home.makeDir("existing").c_str(), 0755);
    fa.write(toBytes("key"), home / "existing/.ssh/keys/id_ed25519", 0600);
    EXPECT_TRUE(modeOf(home / "existing/.ssh") == 0700 && modeOf(home / "existing/.ssh/keys") == 0700 &&
                modeOf(home / "existing") == 0755);
    fa.write(toBytes("pub"), home / "shared/dir/key.pub", 0644);
    EXPECT_EQ(modeOf(home / "shared/dir"), 0777u);
}

TEST(DirectWriteTest, ReplacesFolderOrLinkAtTargetNeverWhatTheLinkNames) {
    TempHome home;
    home.writeFile("t/target/inner/deep.txt", "deep");
    std::string elsewhere = home.writeFile("elsewhere.txt", "keep me");
    fs::create_symlink(elsewhere, home / "t/link");
    fs::create_symlink(home / "missing", home / "t/dangling");
    DirectFileAccess fa;
    for (const char* name : {"target", "link", "dangling"}) {
        fa.write(toBytes(name), home / ("t/" + std::string(name)), 0600);
        EXPECT_EQ(treeOf(home / "t")[name], (TreeEntry{"file", name, 0600})) << name;
    }
    EXPECT_EQ(namesIn(home / "t"), (std::set<std::string>{"target", "link", "dangling"}));
    EXPECT_EQ(slurp(elsewhere), "keep me");
    EXPECT_FALSE(fs::exists(home / "missing"));
}

TEST(DirectWriteTest, FailureOrCrashMidwayKeepsOldFileAndLeavesNoTemporary) {
    TempHome home;
    Bytes old = Bytes(10000, 7);
    std::string path = home.writeFile("data/file.bin", toString(old), 0640);
    // The kernel refuses bytes past 64 KiB, so the new content is cut off partway through.
    int status = runWithFileSizeLimit(64 * 1024, false, [&] {
        auto what = errorOf<BackupError>([&] { DirectFileAccess().write(Bytes(1 << 20, 3), path, 0600); });
        return what == "I/O error: could not write " + path ? 0 : 2;
    });
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(treeOf(home / "data"), (std::map<std::string, TreeEntry>{{"file.bin", {"file", toString(old), 0640}}}));

    status = runWithFileSizeLimit(32 * 1024, true, [&] {
        DirectFileAccess().write(Bytes(1 << 20, 9), path, 0600);
        return 0;
    });
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ);
    EXPECT_EQ(slurp(path), toString(old));
    ASSERT_EQ(temporaryFilesBelow(home / "data").size(), 1u) << "the crash should leave a partial temporary";
    // The next write removes it; a live process's temporary and look-alike names stay.
    home.writeFile("data/.x.stowage-tmp-1-0123abcd-89abcdef", "in use");
    home.writeFile("data/.notes.stowage-tmp-draft", "mine");
    DirectFileAccess().write(toBytes("other"), home / "data/other");
    EXPECT_EQ(namesIn(home / "data"), (std::set<std::string>{"file.bin", "other", ".x.stowage-tmp-1-0123abcd-89abcdef",
                                                             ".notes.stowage-tmp-draft"}));

    // A parent that is a file, and a folder where no file can be created (even by root).
    std::string blocker = home.writeFile("blocker", "file");
    const auto what = errorOf<fs::filesystem_error>([&] { DirectFileAccess().write(toBytes("x"), blocker + "/x"); });
    EXPECT_TRUE(what.find(blocker) != std::string::npos && slurp(blocker) == "file") << what;
    EXPECT_EQ(errorOf<BackupError>([] { DirectFileAccess().write(toBytes("x"), "/proc/self/stowage-test"); }),
              "I/O error: could not write /proc/self/stowage-test");
}

TEST(DirectWriteTest, ConcurrentWritersToOnePathLeaveOneWholeVersion) {
    TempHome home;
    std::string path = home / "shared/file";
    std::vector<std::thread> threads;
    for (std::uint8_t i = 0; i < 6; ++i) // version i: 200000 + i bytes of value i
        threads.emplace_back([&, i] {
            for (int round = 0; round < 10; ++round)
                DirectFileAccess().write(Bytes(200000u + i, i), path, 0600);
        });
    for (auto& t : threads)
        t.join();
    const Bytes result = DirectFileAccess().read(path).value_or(Bytes{});
    EXPECT_TRUE(result.size() - 200000 < 6 && result == Bytes(result.size(), result.size() - 200000));
    EXPECT_EQ(namesIn(home / "shared"), std::set<std::string>{"file"});
}

TEST(DirectReadTest, LinksAreSeenNotFollowedAndReadsAreWholeOrNothing) {
    TempHome home;
    std::string file = home.writeFile("p/f.txt", "12345", 0640);
    std::string dir = home.makeDir("p/.d");
    fs::create_symlink(dir, home / "p/dirlink");
    fs::create_symlink("../nowhere", home / "p/dangling");
    DirectFileAccess fa;
    EXPECT_TRUE(fa.exists(file) && fa.exists(home / "p/dirlink"));
    EXPECT_FALSE(fa.exists(home / "p/dangling") || fa.exists(home / "absent"));
    auto fi = fa.info(file);
    EXPECT_TRUE(fi && !fi->isDirectory && !fi->isSymlink && fi->size == 5 && fi->posixPermissions == 0640);
    EXPECT_TRUE(fa.info(home / "p/dirlink")->isSymlink && !fa.info(home / "p/dirlink")->isDirectory);
    EXPECT_TRUE(fa.info(home / "p/dangling")->isSymlink && fa.info(dir)->isDirectory);
    EXPECT_FALSE(fa.info(home / "absent") || fa.info(""));
    EXPECT_EQ(fa.destinationOfSymlink(home / "p/dangling"), home / "p/../nowhere");
    EXPECT_FALSE(fa.destinationOfSymlink(file) || fa.destinationOfSymlink(home / "absent"));
    // Children are full paths, hidden ones included; listing tells an unlistable folder from an empty one.
    auto kids = fa.children(home / "p/");
    EXPECT_EQ(std::set<std::string>(kids.begin(), kids.end()),
              (std::set<std::string>{file, dir, home / "p/dirlink", home / "p/dangling"}));
    EXPECT_TRUE(fa.children(file).empty() && fa.children(home / "missing").empty());
    EXPECT_EQ(fa.listing(dir), std::vector<std::string>{});
    EXPECT_FALSE(fa.listing(home / "missing") || fa.listing(file));

    Bytes big = Bytes(3 << 20, 5);
    std::string path = home / "big.bin";
    fa.write(big, path);
    EXPECT_EQ(fa.read(path), big);
    EXPECT_FALSE(fa.read(home / "missing") || fa.read(dir));
    ASSERT_EQ(::mkfifo((home / "pipe").c_str(), 0600), 0);
    EXPECT_FALSE(fa.read(home / "pipe")) << "a named pipe with no writer must not stall the caller";
    // A capped read, here and through the default of other providers.
    FaultInjectingFileAccess wrapped;
    for (const FileAccessProvider* provider : std::vector<const FileAccessProvider*>{&fa, &wrapped}) {
        bool tooLarge = true;
        EXPECT_TRUE(provider->readAtMost(path, std::int64_t{3} << 20, &tooLarge) == big && !tooLarge);
        EXPECT_TRUE(!provider->readAtMost(path, (std::int64_t{3} << 20) - 1, &tooLarge) && tooLarge);
        EXPECT_TRUE(!provider->readAtMost(home / "missing", 10, &tooLarge) && !tooLarge);
    }

    // createDirectory makes what is missing; remove is recursive, quiet when nothing is there, and
    // never follows a link.
    fa.createDirectory(home / "x/y/z");
    EXPECT_NO_THROW(fa.createDirectory(home / "x/y/z"));
    EXPECT_THROW(fa.createDirectory(file), fs::filesystem_error);
    EXPECT_THROW(fa.createDirectory(file + "/below"), fs::filesystem_error);
    fs::create_symlink(home / "p", home / "x/y/link");
    fa.remove(home / "x");
    EXPECT_NO_THROW(fa.remove(home / "x"));
    fa.remove(home / "p/dangling");
    EXPECT_EQ(namesIn(home / "p"), (std::set<std::string>{"f.txt", ".d", "dirlink"}));
    EXPECT_FALSE(fs::exists(fs::symlink_status(home / "x")));
}

TEST(DirectCopyTest, CopiesFilesAndTreesWithModesLinksAsLinksAndNoSetIdBits) {
    TempHome home;
    UmaskScope scope(077);
    DirectFileAccess fa;
    std::string src = home.writeFile("src/config", "settings", 0644);
    fa.copyItem(src, home / "dst/deep/config");
    home.writeFile("dst/folder/inner", "old");
    fa.copyItem(src, home / "dst/folder");
    EXPECT_EQ(treeOf(home / "dst/deep")["config"], (TreeEntry{"file", "settings", 0644}));
    EXPECT_EQ(treeOf(home / "dst")["folder"], (TreeEntry{"file", "settings", 0644}));
    fa.copyItem(src, src);
    EXPECT_EQ(slurp(src), "settings");
    for (mode_t mode : {mode_t{04755}, mode_t{02755}, mode_t{06711}, mode_t{01755}}) {
        ASSERT_EQ(::chmod(home.writeFile("src/program", "#!/bin/sh\n").c_str(), mode), 0);
        fa.copyItem(home / "src/program", home / "dst/program");
        EXPECT_EQ(modeOf(home / "dst/program"), mode & 01777) << std::oct << mode;
    }

    home.writeFile("tree/a.txt", "a", 0600);
    home.writeFile("tree/bin/run.sh", "#!/bin/sh\n", 0755);
    home.makeDir("tree/empty");
    fs::create_symlink("a.txt", home / "tree/rel-link");
    fs::create_symlink(home / "outside", home / "tree/dangling");
    ::chmod((home / "tree/bin").c_str(), 0750);
    ::chmod(home.writeFile("tree/bin/su-like", "x").c_str(), 06755);
    ASSERT_EQ(::mkfifo((home / "tree/pipe").c_str(), 0600), 0);
    home.writeFile("copy/old-content", "old");
    fa.copyItem(home / "tree", home / "copy");
    ASSERT_FALSE(fs::exists(fs::symlink_status(home / "copy/pipe"))) << "special files are skipped";
    fs::remove(home / "tree/pipe");
    auto expected = treeOf(home / "tree");
    expected["bin/su-like"].mode = 0755;
    EXPECT_EQ(treeOf(home / "copy"), expected) << "the old folder is replaced, not merged";
    EXPECT_TRUE(temporaryFilesBelow(home.path()).empty());
}

TEST(DirectCopyTest, FailuresLeaveTheDestinationAloneAndAFolderIsNeverCopiedIntoItself) {
    TempHome home;
    DirectFileAccess fa;
    std::string dest = home.writeFile("out/dest.bin", "old destination");
    EXPECT_NE(errorOf<fs::filesystem_error>([&] { fa.copyItem(home / "no-such-source", dest); }).find("no-such-source"),
              std::string::npos);
    home.writeFile("loop/file", "x");
    for (const char* into : {"loop/inside", "loop/deeper/inside", "loop/../loop/inside"}) {
        const auto what = errorOf<fs::filesystem_error>([&] { fa.copyItem(home / "loop", home / into); });
        EXPECT_NE(what.find("Invalid argument"), std::string::npos) << into << ": " << what;
    }
    EXPECT_EQ(namesIn(home / "loop"), std::set<std::string>{"file"});

    home.writeFile("src.bin", toString(Bytes(1 << 20, 4)));
    home.writeFile("tree/big.bin", toString(Bytes(1 << 20, 4)));
    home.writeFile("out/tree/keep", "old tree");
    int status = runWithFileSizeLimit(64 * 1024, false, [&] {
        int failures = 0;
        for (const auto& [from, to] : {std::pair{home / "src.bin", dest}, std::pair{home / "tree", home / "out/tree"}})
            failures += errorOf<fs::filesystem_error>([&] { DirectFileAccess().copyItem(from, to); }) != "no error";
        return failures == 2 ? 0 : 1;
    });
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_TRUE(slurp(dest) == "old destination" && slurp(home / "out/tree/keep") == "old tree");
    EXPECT_EQ(namesIn(home / "out"), (std::set<std::string>{"dest.bin", "tree"}));
}

namespace {

/// Keeps the interface's default writeBeneath and createDirectoryBeneath, which check each folder
/// with the provider's own calls.
class DefaultBeneathAccess : public DirectFileAccess {
public:
    void writeBeneath(const std::string& root, const Bytes& data, const std::string& path,
                      std::optional<std::uint16_t> mode) override {
        FileAccessProvider::writeBeneath(root, data, path, mode);
    }
    void createDirectoryBeneath(const std::string& root, const std::string& path,
                                std::optional<std::uint16_t> mode) override {
        FileAccessProvider::createDirectoryBeneath(root, path, mode);
    }
};

} // namespace

TEST(WriteBeneathTest, NeverLeavesTheRootThroughALinkOrADotComponent) {
    DirectFileAccess direct;
    DefaultBeneathAccess checked;
    for (FileAccessProvider* access : std::vector<FileAccessProvider*>{&direct, &checked}) {
        TempHome home;
        const std::string root = home / "root";
        const std::string outside = home.makeDir("outside");
        const auto refused = [&](const std::string& path, const std::string& message) {
            EXPECT_EQ(errorOf<BackupError>([&] { access->writeBeneath(root, toBytes("x"), path, 0600); }),
                      "I/O error: " + message);
        };

        // Missing folders are created (private for a private file), the root too.
        access->writeBeneath(root, toBytes("one"), root + "/a/b/file", 0600);
        EXPECT_EQ(slurp(root + "/a/b/file"), "one");
        EXPECT_EQ(modeOf(root + "/a"), 0700u);
        EXPECT_EQ(modeOf(root + "/a/b/file"), 0600u);

        // A link on the way is refused, whether it leads to a folder or nowhere.
        fs::create_directory_symlink(outside, root + "/a/link");
        fs::create_symlink(outside + "/missing", root + "/a/dangling");
        refused(root + "/a/link/file", "will not write through the link " + root + "/a/link");
        refused(root + "/a/dangling/file", "will not write through the link " + root + "/a/dangling");
        EXPECT_THROW(access->createDirectoryBeneath(root, root + "/a/link/sub", std::nullopt), BackupError);
        refused(root + "/a/../../outside/file", "will not write " + root + "/a/../../outside/file outside " + root);
        refused(home / "elsewhere", "will not write " + (home / "elsewhere") + " outside " + root);
        refused(root + "/a/b", "could not write " + root + "/a/b: a folder is in the way");

        // A link at the file's own name is replaced, not written through.
        fs::create_symlink(outside + "/target", root + "/a/b/named");
        access->writeBeneath(root, toBytes("two"), root + "/a/b/named", 0644);
        EXPECT_FALSE(fs::is_symlink(root + "/a/b/named"));
        EXPECT_TRUE(fs::is_empty(outside));

        // The root itself may be reached through the user's own link.
        fs::create_directory_symlink(root, home / "via");
        access->createDirectoryBeneath(home / "via", (home / "via") + "/c", 0700);
        EXPECT_EQ(modeOf(root + "/c"), 0700u);
    }
}
