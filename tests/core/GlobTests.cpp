#include "core/Glob.hpp"

#include "support/TempHome.hpp"

#include <gtest/gtest.h>

#include <pwd.h>
#include <unistd.h>

using namespace stowage;
using stowage::testing::TempHome;

namespace {

std::string passwdName() {
    const passwd* pw = getpwuid(getuid());
    return pw != nullptr ? pw->pw_name : "";
}

std::string passwdHomeOf(const std::string& user) {
    const passwd* pw = getpwnam(user.c_str());
    if (pw == nullptr)
        return "";
    std::string home = pw->pw_dir;
    while (home.size() > 1 && home.back() == '/')
        home.pop_back();
    return home;
}

} // namespace

TEST(GlobTest, StarSpansSlashesAndLastComponentIsTried) {
    EXPECT_TRUE(Glob::matches("/Users/u/app/debug.log", "*.log"));
    EXPECT_TRUE(Glob::matches("debug.log", "*.log"));
    EXPECT_FALSE(Glob::matches("/Users/u/app/debug.log.gz", "*.log"));
    // The whole path starts with "/", which a bare name cannot match; the last component rescues it.
    EXPECT_TRUE(Glob::matches("/Users/u/app/debug.log", "debug.*"));
    EXPECT_FALSE(Glob::matches("/Users/u/app/debug.log", "ap"));
    EXPECT_FALSE(Glob::matches("/Users/u/app/debug.log", "debug"));
}

TEST(GlobTest, DoubleStarIsPlainStar) {
    EXPECT_TRUE(Glob::matches("/Users/u/proj/cache/data.bin", "**/cache/**"));
    EXPECT_TRUE(Glob::matches("/Users/u/proj/cache/deep/er/data.bin", "**/cache/**"));
    // No trailing "/" after cache, and the pattern holds "/" so the folder-name test is skipped.
    EXPECT_FALSE(Glob::matches("/Users/u/proj/cache", "**/cache/**"));
    EXPECT_TRUE(Glob::matches("/a/b/c", "/a/*"));
}

TEST(GlobTest, BareNameMatchesFolderComponentsLiterally) {
    EXPECT_TRUE(Glob::matches("/Users/u/p/node_modules", "node_modules"));
    EXPECT_TRUE(Glob::matches("/Users/u/p/node_modules/x/y.js", "node_modules"));
    EXPECT_FALSE(Glob::matches("/Users/u/p/node_modules_old/y.js", "node_modules"));
    EXPECT_FALSE(Glob::matches("/Users/u/p/old_node_modules/y.js", "node_modules"));
    // The folder-name test is a plain substring test: glob characters are not interpreted there.
    EXPECT_FALSE(Glob::matches("/p/build/out.o", "bu?ld"));
    EXPECT_TRUE(Glob::matches("/p/bu?ld/out.o", "bu?ld"));
    EXPECT_TRUE(Glob::matches("/p/build", "bu?ld"));
}

TEST(GlobTest, DotFilesNeedNoSpecialCare) {
    EXPECT_TRUE(Glob::matches("/Users/u/p/.DS_Store", ".DS_Store"));
    EXPECT_TRUE(Glob::matches("/.DS_Store", ".DS_Store"));
    EXPECT_FALSE(Glob::matches("/Users/u/p/.DS_Store.bak", ".DS_Store"));
    // "*" matches a leading "." (no FNM_PERIOD).
    EXPECT_TRUE(Glob::matches("/Users/u/.env", "*env"));
    EXPECT_TRUE(Glob::matches("/Users/u/.hidden/file", "/Users/u/*/file"));
}

TEST(GlobTest, PatternWithSlashMatchesOnlyWholePathOrLastComponent) {
    EXPECT_TRUE(Glob::matches("/tmp/a", "/tmp/a"));
    EXPECT_FALSE(Glob::matches("/tmp/a/b", "/tmp/a"));
    EXPECT_FALSE(Glob::matches("/x/tmp/a", "/tmp/a"));
    EXPECT_FALSE(Glob::matches("/tmp/a/", "/tmp/a"));
    EXPECT_FALSE(Glob::matches("/x/tmp/a/b", "tmp/a")) << "a pattern with a folder part is no folder name";
}

TEST(GlobTest, QuestionMarkBracketsAndEscapes) {
    EXPECT_TRUE(Glob::matches("/a/file1.txt", "file?.txt"));
    EXPECT_FALSE(Glob::matches("/a/file12.txt", "file?.txt"));
    EXPECT_TRUE(Glob::matches("/a/b", "/a?b")); // "?" matches "/" too
    EXPECT_TRUE(Glob::matches("/a/log3", "log[0-9]"));
    EXPECT_FALSE(Glob::matches("/a/logx", "log[0-9]"));
    EXPECT_TRUE(Glob::matches("/a/logx", "log[!0-9]"));
    EXPECT_FALSE(Glob::matches("/a/log3", "log[!0-9]"));
    EXPECT_TRUE(Glob::matches("/a/star*", "star\\*"));
    EXPECT_FALSE(Glob::matches("/a/starry", "star\\*"));
    EXPECT_TRUE(Glob::matches("/a/q?", "q\\?"));
    EXPECT_FALSE(Glob::matches("/a/qx", "q\\?"));
    EXPECT_TRUE(Glob::matches("/a/Application Support", "Application Support"));
}

TEST(GlobTest, CaseSensitiveAndWholeString) {
    EXPECT_FALSE(Glob::matches("/Users/u/debug.log", "*.LOG"));
    EXPECT_FALSE(Glob::matches("/Users/u/Node_Modules/x", "node_modules"));
    EXPECT_FALSE(Glob::matches("/Users/u/debug.log", "debug"));
    EXPECT_FALSE(Glob::matches("/Users/u/debug.log", "ebug.log"));
}

TEST(GlobTest, EmptyPatternOrListMatchesNothing) {
    EXPECT_FALSE(Glob::matches("/a/b", ""));
    EXPECT_FALSE(Glob::matches("/a/b/", ""));
    EXPECT_FALSE(Glob::matches("/a//b", ""));
    EXPECT_FALSE(Glob::matchesAny("/a/b", {}));
    EXPECT_FALSE(Glob::matchesAny("/a/b", {""}));
}

TEST(GlobTest, MatchesAnyTriesEveryPattern) {
    std::vector<std::string> patterns = {"*.log", "node_modules", "/tmp/a"};
    EXPECT_TRUE(Glob::matchesAny("/x/y.log", patterns));
    EXPECT_TRUE(Glob::matchesAny("/x/node_modules/z", patterns));
    EXPECT_TRUE(Glob::matchesAny("/tmp/a", patterns));
    EXPECT_FALSE(Glob::matchesAny("/tmp/a/b.txt", patterns));
}

TEST(GlobTest, PatternTildeExpandsToHome) {
    TempHome home;
    const std::string scratch = home / "Scratch";
    EXPECT_TRUE(Glob::matches(scratch + "/notes.txt", "~/Scratch/*"));
    EXPECT_TRUE(Glob::matches(scratch + "/deep/er/notes.txt", "~/Scratch/*"));
    EXPECT_FALSE(Glob::matches(scratch, "~/Scratch/*"));
    EXPECT_FALSE(Glob::matches("/elsewhere/Scratch/notes.txt", "~/Scratch/*"));
    EXPECT_TRUE(Glob::matches(home.path(), "~"));
    EXPECT_FALSE(Glob::matches(home.path() + "/x", "~"));
    // The path itself is never expanded: "~/Scratch/x" as a path is a relative name, not the home folder.
    EXPECT_FALSE(Glob::matches("~/Scratch/x", home.path() + "/Scratch/*"));
}

TEST(GlobTest, PatternTildeUserUsesPasswordDatabase) {
    TempHome home; // $HOME points elsewhere: ~user must not use it
    const std::string me = passwdName();
    ASSERT_FALSE(me.empty());
    const std::string myHome = passwdHomeOf(me);
    ASSERT_FALSE(myHome.empty());
    ASSERT_NE(myHome, home.path());
    const std::string under = (myHome == "/" ? "" : myHome) + "/Scratch/file";
    EXPECT_TRUE(Glob::matches(under, "~" + me + "/Scratch/*"));
    EXPECT_FALSE(Glob::matches(home / "Scratch/file", "~" + me + "/Scratch/*"));

    const std::string rootHome = passwdHomeOf("root");
    if (!rootHome.empty()) {
        EXPECT_TRUE(Glob::matches(rootHome + "/.cache/x", "~root/.cache/*"));
        EXPECT_TRUE(Glob::matches(rootHome, "~root"));
    }
    // An unknown user leaves the pattern as written.
    EXPECT_FALSE(Glob::matches("/home/x/a", "~no-such-user-stowage/*"));
    EXPECT_TRUE(Glob::matches("~no-such-user-stowage/a", "~no-such-user-stowage/*"));
    EXPECT_TRUE(Glob::matches("/p/~no-such-user-stowage/y", "~no-such-user-stowage"));
}

TEST(GlobTest, TildeNotFirstIsLiteral) {
    TempHome home;
    EXPECT_FALSE(Glob::matches(home / "a/b", "/x/~/a/*"));
    EXPECT_TRUE(Glob::matches("/x/~/a/b", "/x/~/a/*"));
    EXPECT_TRUE(Glob::matches("/p/backup~", "*~"));
}
