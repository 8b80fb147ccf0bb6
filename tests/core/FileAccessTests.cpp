#include "core/BackupError.hpp"
#include "core/FileAccess.hpp"
#include "core/FileAccessSeam.hpp"
#include "support/FaultInjectingFileAccess.hpp"
#include "support/TempHome.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <set>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace stowage;
using stowage::testing::FaultInjectingFileAccess;
using stowage::testing::slurp;
using stowage::testing::TempHome;
namespace fs = std::filesystem;

namespace {

mode_t modeOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

std::set<std::string> namesIn(const std::string& folder) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.insert(entry.path().filename().string());
    return names;
}

bool hasTempLeftover(const std::string& folder) {
    for (const auto& name : namesIn(folder))
        if (name.find(".stowage-tmp-") != std::string::npos)
            return true;
    return false;
}

Bytes pattern(size_t size, std::uint8_t seed) {
    Bytes b(size);
    for (size_t i = 0; i < size; ++i)
        b[i] = static_cast<std::uint8_t>((i * 131 + seed) & 0xff);
    return b;
}

/// Sets the umask for one scope.
class UmaskScope {
public:
    explicit UmaskScope(mode_t mask) : saved_(::umask(mask)) {}
    ~UmaskScope() { ::umask(saved_); }

private:
    mode_t saved_;
};

/// Runs `body` in a child process whose files may grow to at most `limit` bytes. With `crash` the
/// kernel kills the child (SIGXFSZ) at the limit, as a power cut or crash would stop it midway;
/// otherwise the write fails with EFBIG and the child reports what it caught through its status.
int runWithFileSizeLimit(rlim_t limit, bool crash, const std::function<int()>& body) {
    pid_t pid = ::fork();
    if (pid == 0) {
        ::signal(SIGXFSZ, crash ? SIG_DFL : SIG_IGN);
        struct rlimit rl {};
        ::getrlimit(RLIMIT_FSIZE, &rl);
        rl.rlim_cur = limit;
        ::setrlimit(RLIMIT_FSIZE, &rl);
        int rc = 99;
        try {
            rc = body();
        } catch (...) {
            rc = 98;
        }
        ::_exit(rc);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return status;
}

} // namespace

// ---- write -----------------------------------------------------------------------------------

TEST(DirectWriteTest, CreatesFoldersAndAppliesModeExactlyThenReplaces) {
    TempHome home;
    DirectFileAccess fa;
    std::string path = home / "a/b/c/secret";
    fa.write(toBytes("first"), path, 0600);
    EXPECT_EQ(slurp(path), "first");
    EXPECT_EQ(modeOf(path), 0600u);
    fa.write(toBytes("second, longer"), path, 0640);
    EXPECT_EQ(slurp(path), "second, longer");
    EXPECT_EQ(modeOf(path), 0640u);
    fa.write(Bytes{}, path, 0600);
    EXPECT_EQ(slurp(path), "");
    EXPECT_EQ(namesIn(home / "a/b/c"), std::set<std::string>{"secret"});
}

TEST(DirectWriteTest, ModeIsExactWhateverTheUmask) {
    TempHome home;
    DirectFileAccess fa;
    for (mode_t mask : {mode_t{0}, mode_t{077}, mode_t{022}}) {
        UmaskScope scope(mask);
        for (std::uint16_t mode : {0600, 0644, 0700, 0755, 0777, 0400, 0}) {
            std::string path = home / ("m/" + std::to_string(mask) + "-" + std::to_string(mode));
            fa.write(toBytes("x"), path, mode);
            EXPECT_EQ(modeOf(path), mode) << "umask " << mask << " mode " << mode;
        }
        // No mode: what a plain creation gives under this umask.
        std::string plain = home / ("m/plain-" + std::to_string(mask));
        fa.write(toBytes("x"), plain);
        EXPECT_EQ(modeOf(plain), 0666u & ~mask);
    }
}

TEST(DirectWriteTest, TemporaryFilesAreBornNoWiderThanTheirFinalModeUnderAnyUmask) {
    static std::vector<mode_t> born;
    seams::onTemporaryCreated = [](const std::string& path) { born.push_back(modeOf(path)); };
    TempHome home;
    DirectFileAccess fa;
    UmaskScope scope(0);
    struct Case {
        const char* name;
        mode_t finalMode;
        std::function<void(const std::string&)> make;
    };
    const std::vector<Case> cases{
        {"private write", 0600, [&](const std::string& p) { fa.write(toBytes("k"), p, 0600); }},
        {"read-only write", 0400, [&](const std::string& p) { fa.write(toBytes("k"), p, 0400); }},
        {"group write", 0640, [&](const std::string& p) { fa.write(toBytes("k"), p, 0640); }},
        {"private copy", 0600, [&](const std::string& p) { fa.copyItem(home.writeFile("src-600", "k", 0600), p); }},
    };
    for (const auto& c : cases) {
        born.clear();
        const std::string path = home / (std::string("born/") + c.name);
        c.make(path);
        ASSERT_EQ(born.size(), 1u) << c.name;
        EXPECT_EQ(born[0] & ~c.finalMode, 0u) << c.name << " was born " << std::oct << born[0];
        EXPECT_EQ(modeOf(path), c.finalMode) << c.name;
    }
    seams::onTemporaryCreated = nullptr;
}

TEST(DirectWriteTest, NewModeAppliesEvenWhenOldFileWasWider) {
    TempHome home;
    DirectFileAccess fa;
    std::string path = home.writeFile("key", "old", 0644);
    UmaskScope scope(0);
    fa.write(toBytes("new"), path, 0600);
    EXPECT_EQ(modeOf(path), 0600u);
}

TEST(DirectWriteTest, FailureMidwayLeavesOldFileByteIdenticalAndNoTemporary) {
    TempHome home;
    Bytes old = pattern(10000, 7);
    std::string path = home.writeFile("data/file.bin", toString(old), 0640);
    std::string expectedMessage = "I/O error: could not write " + path;
    // The kernel refuses bytes past 64 KiB, so the new content is cut off partway through.
    int status = runWithFileSizeLimit(64 * 1024, false, [&] {
        try {
            DirectFileAccess().write(pattern(1 << 20, 3), path, 0600);
            return 1;
        } catch (const BackupError& e) {
            return e.kind() == BackupError::Kind::io && std::string(e.what()) == expectedMessage ? 0 : 2;
        }
    });
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(slurp(path), toString(old));
    EXPECT_EQ(modeOf(path), 0640u);
    EXPECT_EQ(namesIn(home / "data"), std::set<std::string>{"file.bin"});
}

TEST(DirectWriteTest, CrashMidwayKeepsOldFileAndNextRunRemovesTheLeftover) {
    TempHome home;
    Bytes old = pattern(5000, 1);
    std::string path = home.writeFile("crash/file.bin", toString(old));
    int status = runWithFileSizeLimit(32 * 1024, true, [&] {
        DirectFileAccess().write(pattern(1 << 20, 9), path, 0600);
        return 0;
    });
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGXFSZ);
    EXPECT_EQ(slurp(path), toString(old));
    ASSERT_TRUE(hasTempLeftover(home / "crash")) << "the crash should have left a partial temporary";

    // Leftovers of live processes and look-alike names are not touched.
    home.writeFile("crash/.x.stowage-tmp-1-0123abcd-89abcdef", "in use");
    home.writeFile("crash/.notes.stowage-tmp-draft", "mine");

    DirectFileAccess().write(toBytes("other"), home / "crash/other");
    EXPECT_EQ(namesIn(home / "crash"), (std::set<std::string>{"file.bin", "other", ".x.stowage-tmp-1-0123abcd-89abcdef",
                                                              ".notes.stowage-tmp-draft"}));
    EXPECT_EQ(slurp(path), toString(old));
}

TEST(DirectWriteTest, ReplacesFolderAtTarget) {
    TempHome home;
    home.writeFile("t/target/inner/deep.txt", "deep");
    DirectFileAccess fa;
    fa.write(toBytes("now a file"), home / "t/target", 0600);
    EXPECT_EQ(slurp(home / "t/target"), "now a file");
    EXPECT_TRUE(fs::is_regular_file(home / "t/target"));
    EXPECT_EQ(namesIn(home / "t"), std::set<std::string>{"target"});
}

TEST(DirectWriteTest, ReplacesLinkItselfNotItsTarget) {
    TempHome home;
    std::string elsewhere = home.writeFile("elsewhere.txt", "keep me");
    home.makeDir("l");
    fs::create_symlink(elsewhere, home / "l/link");
    fs::create_symlink(home / "missing", home / "l/dangling");
    DirectFileAccess fa;
    fa.write(toBytes("replaced"), home / "l/link");
    fa.write(toBytes("replaced too"), home / "l/dangling");
    EXPECT_FALSE(fs::is_symlink(home / "l/link"));
    EXPECT_EQ(slurp(home / "l/link"), "replaced");
    EXPECT_EQ(slurp(home / "l/dangling"), "replaced too");
    EXPECT_EQ(slurp(elsewhere), "keep me");
    EXPECT_FALSE(fs::exists(home / "missing"));
}

TEST(DirectWriteTest, ParentThatIsAFileThrowsReadableErrorAndWritesNothing) {
    TempHome home;
    std::string blocker = home.writeFile("blocker", "file");
    DirectFileAccess fa;
    try {
        fa.write(toBytes("x"), blocker + "/child");
        FAIL() << "expected an error";
    } catch (const fs::filesystem_error& e) {
        EXPECT_NE(std::string(e.what()).find(blocker), std::string::npos) << e.what();
        EXPECT_TRUE(e.code());
    }
    EXPECT_EQ(slurp(blocker), "file");
}

TEST(DirectWriteTest, FileThatCannotBeCreatedThrowsIoError) {
    // /proc/self is a folder in which no file can ever be created, even by root.
    DirectFileAccess fa;
    try {
        fa.write(toBytes("x"), "/proc/self/stowage-test");
        FAIL() << "expected an error";
    } catch (const BackupError& e) {
        EXPECT_EQ(e.kind(), BackupError::Kind::io);
        EXPECT_EQ(e.message(), "could not write /proc/self/stowage-test");
        EXPECT_EQ(std::string(e.what()), "I/O error: could not write /proc/self/stowage-test");
    }
}

TEST(DirectWriteTest, ConcurrentWritersToOnePathLeaveOneWholeVersion) {
    TempHome home;
    std::string path = home / "shared/file";
    std::vector<Bytes> versions;
    for (int i = 0; i < 6; ++i)
        versions.push_back(pattern(200000 + static_cast<size_t>(i), static_cast<std::uint8_t>(i)));
    std::vector<std::thread> threads;
    for (int i = 0; i < 6; ++i)
        threads.emplace_back([&, i] {
            DirectFileAccess fa;
            for (int round = 0; round < 10; ++round)
                fa.write(versions[static_cast<size_t>(i)], path, 0600);
        });
    for (auto& t : threads)
        t.join();
    auto result = DirectFileAccess().read(path);
    ASSERT_TRUE(result);
    EXPECT_NE(std::find(versions.begin(), versions.end(), *result), versions.end());
    EXPECT_EQ(namesIn(home / "shared"), std::set<std::string>{"file"});
}

// ---- read side -------------------------------------------------------------------------------

TEST(DirectReadTest, ExistsFollowsLinksAndInfoDoesNot) {
    TempHome home;
    std::string file = home.writeFile("f.txt", "12345", 0640);
    std::string dir = home.makeDir("d");
    fs::create_symlink(dir, home / "dirlink");
    fs::create_symlink(home / "nowhere", home / "dangling");
    DirectFileAccess fa;

    EXPECT_TRUE(fa.exists(file));
    EXPECT_TRUE(fa.exists(home / "dirlink"));
    EXPECT_FALSE(fa.exists(home / "dangling"));
    EXPECT_FALSE(fa.exists(home / "absent"));

    auto fi = fa.info(file);
    ASSERT_TRUE(fi);
    EXPECT_FALSE(fi->isDirectory);
    EXPECT_FALSE(fi->isSymlink);
    EXPECT_EQ(fi->size, 5);
    EXPECT_EQ(fi->posixPermissions, 0640);
    ASSERT_TRUE(fi->modified);
    auto age = std::chrono::system_clock::now() - *fi->modified;
    EXPECT_LT(std::chrono::abs(age), std::chrono::minutes(5));

    auto li = fa.info(home / "dirlink");
    ASSERT_TRUE(li);
    EXPECT_TRUE(li->isSymlink);
    EXPECT_FALSE(li->isDirectory);
    auto dangling = fa.info(home / "dangling");
    ASSERT_TRUE(dangling);
    EXPECT_TRUE(dangling->isSymlink);
    EXPECT_TRUE(fa.info(dir)->isDirectory);
    EXPECT_FALSE(fa.info(home / "absent"));
    EXPECT_FALSE(fa.info(""));
}

TEST(DirectReadTest, ChildrenAreFullPathsIncludingHiddenAndEmptyOnFailure) {
    TempHome home;
    home.writeFile("p/.hidden", "");
    home.writeFile("p/visible", "");
    home.makeDir("p/sub");
    DirectFileAccess fa;
    auto kids = fa.children(home / "p");
    std::set<std::string> got(kids.begin(), kids.end());
    EXPECT_EQ(got, (std::set<std::string>{home / "p/.hidden", home / "p/visible", home / "p/sub"}));
    EXPECT_EQ(kids.size(), 3u);
    EXPECT_TRUE(fa.children(home / "p/visible").empty());
    EXPECT_TRUE(fa.children(home / "missing").empty());
    auto withSlash = fa.children(home / "p/");
    EXPECT_EQ(withSlash.size(), 3u);
    for (const auto& k : withSlash)
        EXPECT_EQ(k.find("//"), std::string::npos) << k;

    // listing() tells a folder that cannot be listed from an empty one.
    EXPECT_EQ(fa.listing(home / "p/sub"), std::vector<std::string>{});
    EXPECT_FALSE(fa.listing(home / "missing"));
    EXPECT_FALSE(fa.listing(home / "p/visible"));
}

TEST(DirectReadTest, ReadsWholeFilesAndNothingElse) {
    TempHome home;
    Bytes big = pattern(3 << 20, 5);
    std::string path = home / "big.bin";
    DirectFileAccess fa;
    fa.write(big, path);
    EXPECT_EQ(fa.read(path), big);
    EXPECT_EQ(fa.read(home.writeFile("empty", "")), Bytes{});
    EXPECT_FALSE(fa.read(home / "missing"));
    EXPECT_FALSE(fa.read(home.makeDir("folder")));
    // A named pipe with no writer must not stall the caller.
    std::string fifo = home / "pipe";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_FALSE(fa.read(fifo));

    // A capped read, here and through the default of other providers.
    FaultInjectingFileAccess wrapped;
    for (const FileAccessProvider* provider :
         {static_cast<const FileAccessProvider*>(&fa), static_cast<const FileAccessProvider*>(&wrapped)}) {
        bool tooLarge = true;
        EXPECT_EQ(provider->readAtMost(path, std::int64_t{3} << 20, &tooLarge), big);
        EXPECT_FALSE(tooLarge);
        EXPECT_FALSE(provider->readAtMost(path, (std::int64_t{3} << 20) - 1, &tooLarge));
        EXPECT_TRUE(tooLarge);
        EXPECT_FALSE(provider->readAtMost(home / "missing", 10, &tooLarge));
        EXPECT_FALSE(tooLarge);
    }
}

TEST(DirectReadTest, DestinationOfSymlink) {
    TempHome home;
    home.makeDir("a/b");
    fs::create_symlink("../x", home / "a/b/l");
    fs::create_symlink("/etc/x", home / "a/b/abs");
    fs::create_symlink("sibling", home / "a/b/rel");
    DirectFileAccess fa;
    EXPECT_EQ(fa.destinationOfSymlink(home / "a/b/l"), home / "a/b/../x");
    EXPECT_EQ(fa.destinationOfSymlink(home / "a/b/abs"), "/etc/x");
    EXPECT_EQ(fa.destinationOfSymlink(home / "a/b/rel"), home / "a/b/sibling");
    EXPECT_FALSE(fa.destinationOfSymlink(home.writeFile("a/plain", "")));
    EXPECT_FALSE(fa.destinationOfSymlink(home / "a/none"));
}

// ---- createDirectory and remove ------------------------------------------------------------------

TEST(DirectFolderTest, CreateDirectoryMakesIntermediatesAndAcceptsExisting) {
    TempHome home;
    DirectFileAccess fa;
    fa.createDirectory(home / "x/y/z");
    EXPECT_TRUE(fs::is_directory(home / "x/y/z"));
    EXPECT_NO_THROW(fa.createDirectory(home / "x/y/z"));
    std::string file = home.writeFile("plain", "data");
    EXPECT_THROW(fa.createDirectory(file), fs::filesystem_error);
    EXPECT_THROW(fa.createDirectory(file + "/below"), fs::filesystem_error);
    EXPECT_EQ(slurp(file), "data");
}

TEST(DirectFolderTest, RemoveIsRecursiveAndQuietForMissingAndRemovesDanglingLinks) {
    TempHome home;
    home.writeFile("r/a/b/c.txt", "c");
    home.writeFile("r/top.txt", "t");
    std::string keep = home.writeFile("keep/k.txt", "k");
    fs::create_symlink(home / "keep", home / "r/linkToKeep");
    DirectFileAccess fa;
    fa.remove(home / "r");
    EXPECT_FALSE(fs::exists(fs::symlink_status(home / "r")));
    EXPECT_EQ(slurp(keep), "k") << "a link inside a removed folder is not followed";
    EXPECT_NO_THROW(fa.remove(home / "r"));
    EXPECT_NO_THROW(fa.remove(home / "never/was"));

    fs::create_symlink(home / "gone", home / "dangling");
    fa.remove(home / "dangling");
    EXPECT_FALSE(fs::exists(fs::symlink_status(home / "dangling")));
}

// ---- copyItem -----------------------------------------------------------------------------------

TEST(DirectCopyTest, CopiesFileWithModeOverWhateverIsThere) {
    TempHome home;
    UmaskScope scope(077);
    std::string src = home.writeFile("src/config", "settings", 0644);
    DirectFileAccess fa;
    fa.copyItem(src, home / "dst/deep/config");
    EXPECT_EQ(slurp(home / "dst/deep/config"), "settings");
    EXPECT_EQ(modeOf(home / "dst/deep/config"), 0644u);

    home.writeFile("dst/folder/inner", "old");
    fa.copyItem(src, home / "dst/folder");
    EXPECT_EQ(slurp(home / "dst/folder"), "settings");

    fa.copyItem(src, src);
    EXPECT_EQ(slurp(src), "settings");

    // A copy never carries set-user-ID or set-group-ID; the sticky bit and the rest stay.
    for (mode_t mode : {mode_t{04755}, mode_t{02755}, mode_t{06711}, mode_t{01755}}) {
        std::string program = home.writeFile("src/program", "#!/bin/sh\n");
        ASSERT_EQ(::chmod(program.c_str(), mode), 0);
        fa.copyItem(program, home / "dst/program");
        EXPECT_EQ(modeOf(home / "dst/program"), mode & 01777) << std::oct << mode;
    }
    EXPECT_FALSE(hasTempLeftover(home / "dst"));
    EXPECT_FALSE(hasTempLeftover(home / "src"));
}

TEST(DirectCopyTest, CopiesTreeWithModesAndLinksAsLinks) {
    TempHome home;
    home.writeFile("tree/a.txt", "a", 0600);
    home.writeFile("tree/bin/run.sh", "#!/bin/sh\n", 0755);
    home.writeFile("tree/.hidden/h", "h");
    home.makeDir("tree/empty");
    fs::create_symlink("a.txt", home / "tree/rel-link");
    fs::create_symlink(home / "outside", home / "tree/dangling");
    home.writeFile("outside-dir/o", "outside");
    fs::create_symlink(home / "outside-dir", home / "tree/dirlink");
    ::chmod((home / "tree/bin").c_str(), 0750);
    home.writeFile("tree/bin/su-like", "#!/bin/sh\n");
    ::chmod((home / "tree/bin/su-like").c_str(), 06755);
    ASSERT_EQ(::mkfifo((home / "tree/pipe").c_str(), 0600), 0);
    home.writeFile("copy/old-content", "old");

    DirectFileAccess fa;
    fa.copyItem(home / "tree", home / "copy");
    EXPECT_EQ(slurp(home / "copy/a.txt"), "a");
    EXPECT_EQ(modeOf(home / "copy/a.txt"), 0600u);
    EXPECT_EQ(modeOf(home / "copy/bin/run.sh"), 0755u);
    EXPECT_EQ(modeOf(home / "copy/bin"), 0750u);
    EXPECT_EQ(modeOf(home / "copy/bin/su-like"), 0755u) << "set-user-ID and set-group-ID are dropped";
    EXPECT_EQ(slurp(home / "copy/.hidden/h"), "h");
    EXPECT_TRUE(fs::is_directory(home / "copy/empty"));
    EXPECT_TRUE(fs::is_symlink(home / "copy/rel-link"));
    EXPECT_EQ(fs::read_symlink(home / "copy/rel-link"), "a.txt");
    EXPECT_TRUE(fs::is_symlink(home / "copy/dangling"));
    EXPECT_TRUE(fs::is_symlink(home / "copy/dirlink"));
    EXPECT_FALSE(fs::exists(fs::symlink_status(home / "copy/pipe"))) << "special files are skipped";
    EXPECT_FALSE(fs::exists(home / "copy/old-content")) << "the old folder is replaced, not merged";
    EXPECT_EQ(namesIn(home.path()).count("copy"), 1u);
    EXPECT_FALSE(hasTempLeftover(home.path()));
}

TEST(DirectCopyTest, FailuresThrowReadableErrorsAndLeaveDestinationAlone) {
    TempHome home;
    std::string dest = home.writeFile("dest.txt", "precious");
    DirectFileAccess fa;
    try {
        fa.copyItem(home / "no-such-source", dest);
        FAIL() << "expected an error";
    } catch (const fs::filesystem_error& e) {
        EXPECT_NE(std::string(e.what()).find("no-such-source"), std::string::npos) << e.what();
        EXPECT_EQ(e.code(), std::make_error_code(std::errc::no_such_file_or_directory));
    }
    EXPECT_EQ(slurp(dest), "precious");

    // A folder copied into itself is refused before anything is written.
    home.writeFile("loop/file", "x");
    for (const char* into : {"loop/inside", "loop/deeper/inside", "loop/../loop/inside"}) {
        try {
            fa.copyItem(home / "loop", home / into);
            FAIL() << into;
        } catch (const fs::filesystem_error& e) {
            EXPECT_EQ(e.code(), std::make_error_code(std::errc::invalid_argument)) << into << ": " << e.what();
        }
    }
    EXPECT_EQ(namesIn(home / "loop"), std::set<std::string>{"file"});
}

TEST(DirectCopyTest, CopyFailingMidwayLeavesOldDestinationIntact) {
    TempHome home;
    std::string src = home / "src.bin";
    home.writeFile("src.bin", toString(pattern(1 << 20, 4)));
    home.writeFile("tree/big.bin", toString(pattern(1 << 20, 4)));
    home.writeFile("tree/small", "s");
    std::string dest = home.writeFile("out/dest.bin", "old destination");
    home.writeFile("out/tree/keep", "old tree");
    int status = runWithFileSizeLimit(64 * 1024, false, [&] {
        DirectFileAccess fa;
        int failures = 0;
        try {
            fa.copyItem(src, dest);
        } catch (const fs::filesystem_error&) {
            ++failures;
        }
        try {
            fa.copyItem(home / "tree", home / "out/tree");
        } catch (const fs::filesystem_error&) {
            ++failures;
        }
        return failures == 2 ? 0 : 1;
    });
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(slurp(dest), "old destination");
    EXPECT_EQ(slurp(home / "out/tree/keep"), "old tree");
    EXPECT_EQ(namesIn(home / "out"), (std::set<std::string>{"dest.bin", "tree"}));
}

// ---- the fault-injecting decorator ---------------------------------------------------------------

TEST(FaultInjectingFileAccessTest, FailsTheChosenCallOnly) {
    TempHome home;
    auto fa = std::make_shared<FaultInjectingFileAccess>();
    fa->failOn(FaultInjectingFileAccess::Operation::write, 2);
    fa->write(toBytes("one"), home / "1");
    try {
        fa->write(toBytes("two"), home / "2");
        FAIL() << "expected an error";
    } catch (const BackupError& e) {
        EXPECT_EQ(e.message(), "could not write " + (home / "2"));
    }
    fa->write(toBytes("three"), home / "3");
    EXPECT_EQ(slurp(home / "1"), "one");
    EXPECT_FALSE(fs::exists(home / "2"));
    EXPECT_EQ(slurp(home / "3"), "three");
    EXPECT_EQ(fa->calls(FaultInjectingFileAccess::Operation::write), 3);
    EXPECT_EQ(fa->failedPaths(), std::vector<std::string>{home / "2"});

    fa->failOn(FaultInjectingFileAccess::Operation::createDirectory, 1,
               std::make_exception_ptr(std::runtime_error("disk on fire")), FaultInjectingFileAccess::When::after);
    EXPECT_THROW(fa->createDirectory(home / "made"), std::runtime_error);
    EXPECT_TRUE(fs::is_directory(home / "made")) << "an 'after' fault lets the change happen";

    fa->failFrom(FaultInjectingFileAccess::Operation::copyItem, 1);
    EXPECT_THROW(fa->copyItem(home / "1", home / "c1"), fs::filesystem_error);
    EXPECT_THROW(fa->copyItem(home / "1", home / "c2"), fs::filesystem_error);
    EXPECT_FALSE(fs::exists(home / "c1"));
}

TEST(DirectWriteTest, PrivateFilesGetPrivateNewParentFoldersWhateverTheUmask) {
    TempHome home;
    DirectFileAccess fa;
    UmaskScope scope(0);
    home.makeDir("existing");
    ::chmod((home / "existing").c_str(), 0755);
    fa.write(toBytes("key"), home / "existing/.ssh/keys/id_ed25519", 0600);
    EXPECT_EQ(modeOf(home / "existing/.ssh"), 0700u);
    EXPECT_EQ(modeOf(home / "existing/.ssh/keys"), 0700u);
    EXPECT_EQ(modeOf(home / "existing"), 0755u) << "folders that already exist keep their mode";
    EXPECT_EQ(modeOf(home / "existing/.ssh/keys/id_ed25519"), 0600u);
    // A file others may read gets ordinary new folders.
    fa.write(toBytes("pub"), home / "shared/dir/key.pub", 0644);
    EXPECT_EQ(modeOf(home / "shared/dir"), 0777u);
}

namespace {

/// Keeps the default writeBeneath and createDirectoryBeneath of the interface, which check each
/// folder with the provider's own calls.
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
            try {
                access->writeBeneath(root, toBytes("x"), path, 0600);
                ADD_FAILURE() << path;
            } catch (const BackupError& e) {
                EXPECT_EQ(e.message(), message);
            }
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
