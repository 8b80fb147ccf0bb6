#include "core/Glob.hpp"

#include "support/TempHome.hpp"

#include <gtest/gtest.h>

#include <pwd.h>
#include <unistd.h>

using namespace stowage;
using stowage::testing::TempHome;

namespace {

struct Case {
    std::string path, pattern;
    bool matches;
};

void check(const std::vector<Case>& cases) {
    for (const auto& c : cases)
        EXPECT_EQ(Glob::matches(c.path, c.pattern), c.matches) << c.path << " against " << c.pattern;
}

} // namespace

TEST(GlobTest, PatternsMatchTheWholePathOrItsLastNameAndBareNamesMatchFolders) {
    check({
        // "*" and "**" span slashes; a pattern is tried on the whole path and on the last name.
        {"/Users/u/app/debug.log", "*.log", true},
        {"debug.log", "*.log", true},
        {"/Users/u/app/debug.log.gz", "*.log", false},
        {"/Users/u/app/debug.log", "debug.*", true},
        {"/Users/u/app/debug.log", "debug", false},
        {"/Users/u/debug.log", "ebug.log", false},
        {"/Users/u/debug.log", "*.LOG", false},
        {"/Users/u/proj/cache/deep/er/data.bin", "**/cache/**", true},
        {"/Users/u/proj/cache", "**/cache/**", false},
        {"/a/b/c", "/a/*", true},
        // A bare name matches a whole folder name, literally, never part of one.
        {"/Users/u/p/node_modules/x/y.js", "node_modules", true},
        {"/Users/u/p/node_modules", "node_modules", true},
        {"/Users/u/p/node_modules_old/y.js", "node_modules", false},
        {"/Users/u/p/old_node_modules/y.js", "node_modules", false},
        {"/p/rebuild.sh", "build", false},
        {"/Users/u/Node_Modules/x", "node_modules", false},
        {"/p/build/out.o", "bu?ld", false},
        {"/p/bu?ld/out.o", "bu?ld", true},
        {"/p/build", "bu?ld", true},
        // Dot files need no special care: "*" matches a leading ".".
        {"/.DS_Store", ".DS_Store", true},
        {"/Users/u/p/.DS_Store.bak", ".DS_Store", false},
        {"/Users/u/.env", "*env", true},
        {"/Users/u/.hidden/file", "/Users/u/*/file", true},
        // A pattern with a folder part matches the whole path only, never names in other folders.
        {"/tmp/a", "/tmp/a", true},
        {"/tmp/a/b", "/tmp/a", false},
        {"/x/tmp/a", "/tmp/a", false},
        {"/tmp/a/", "/tmp/a", false},
        {"/x/tmp/a/b", "tmp/a", false},
        // "?", brackets and escapes.
        {"/a/file1.txt", "file?.txt", true},
        {"/a/file12.txt", "file?.txt", false},
        {"/a/b", "/a?b", true},
        {"/a/log3", "log[0-9]", true},
        {"/a/logx", "log[0-9]", false},
        {"/a/logx", "log[!0-9]", true},
        {"/a/star*", "star\\*", true},
        {"/a/starry", "star\\*", false},
        {"/a/Application Support", "Application Support", true},
        // An empty pattern (a blank line of the exclude list) matches nothing.
        {"/a/b", "", false},
        {"/a//b", "", false},
        {"/p/backup~", "*~", true},
        {"/x/~/a/b", "/x/~/a/*", true},
    });
    std::vector<std::string> patterns = {"*.log", "node_modules", "/tmp/a"};
    EXPECT_TRUE(Glob::matchesAny("/x/node_modules/z", patterns));
    EXPECT_TRUE(Glob::matchesAny("/tmp/a", patterns));
    EXPECT_FALSE(Glob::matchesAny("/tmp/a/b.txt", patterns));
    EXPECT_FALSE(Glob::matchesAny("/a/b", {}));
    EXPECT_FALSE(Glob::matchesAny("/a/b", {""}));
}

TEST(GlobTest, LeadingTildeExpandsToHomeOrTheNamedUsersHome) {
    TempHome home; // $HOME points elsewhere: ~user must not use it
    const passwd* me = getpwuid(getuid());
    ASSERT_NE(me, nullptr);
    std::string myHome = me->pw_dir;
    const std::string user = me->pw_name;
    ASSERT_NE(myHome, home.path());
    if (myHome == "/")
        myHome.clear();
    check({
        {home / "Scratch/deep/er/notes.txt", "~/Scratch/*", true},
        {home / "Scratch", "~/Scratch/*", false},
        {"/elsewhere/Scratch/notes.txt", "~/Scratch/*", false},
        {home.path(), "~", true},
        {home / "x", "~", false},
        // The path itself is never expanded; a "~" after the start is literal.
        {"~/Scratch/x", home / "Scratch/*", false},
        {home / "a/b", "/x/~/a/*", false},
        {myHome + "/Scratch/file", "~" + user + "/Scratch/*", true},
        {home / "Scratch/file", "~" + user + "/Scratch/*", false},
        // An unknown user leaves the pattern as written.
        {"/home/x/a", "~no-such-user-stowage/*", false},
        {"~no-such-user-stowage/a", "~no-such-user-stowage/*", true},
        {"/p/~no-such-user-stowage/y", "~no-such-user-stowage", true},
    });
}
