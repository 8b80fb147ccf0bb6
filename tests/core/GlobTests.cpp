#include "core/Glob.hpp"

#include "support/TempHome.hpp"

#include <gtest/gtest.h>

#include <pwd.h>
#include <unistd.h>

using namespace stowage;
using stowage::testing::TempHome;

namespace {

struct Case {
    std::string pattern;
    std::vector<std::string> matching, notMatching;
};

void check(const std::vector<Case>& cases) {
    for (const auto& c : cases) {
        for (const auto& path : c.matching)
            EXPECT_TRUE(Glob::matches(path, c.pattern)) << path << " against " << c.pattern;
        for (const auto& path : c.notMatching)
            EXPECT_FALSE(Glob::matches(path, c.pattern)) << path << " against " << c.pattern;
    }
}

} // namespace

TEST(GlobTest, PatternsMatchTheWholePathOrItsLastNameAndBareNamesMatchFolders) {
    // "*" and "**" span slashes; a pattern is tried on the whole path and on its last name. A bare
    // name matches a whole folder name literally, never part of one; a pattern with a folder part
    // matches the whole path only. "*" matches a leading ".". An empty pattern matches nothing.
    check({
        {"*.log", {"/Users/u/app/debug.log", "debug.log"}, {"/Users/u/app/debug.log.gz", "/Users/u/debug.LOG"}},
        {"debug.*", {"/Users/u/app/debug.log"}, {}},
        {"debug", {}, {"/Users/u/app/debug.log"}},
        {"ebug.log", {}, {"/Users/u/debug.log"}},
        {"**/cache/**", {"/Users/u/proj/cache/deep/er/data.bin"}, {"/Users/u/proj/cache"}},
        {"/a/*", {"/a/b/c"}, {}},
        {"node_modules",
         {"/Users/u/p/node_modules/x/y.js", "/Users/u/p/node_modules"},
         {"/Users/u/p/node_modules_old/y.js", "/Users/u/p/old_node_modules/y.js", "/Users/u/Node_Modules/x"}},
        {"build", {}, {"/p/rebuild.sh"}},
        {"bu?ld", {"/p/bu?ld/out.o", "/p/build"}, {"/p/build/out.o"}},
        {".DS_Store", {"/.DS_Store"}, {"/Users/u/p/.DS_Store.bak"}},
        {"*env", {"/Users/u/.env"}, {}},
        {"/Users/u/*/file", {"/Users/u/.hidden/file"}, {}},
        {"/tmp/a", {"/tmp/a"}, {"/tmp/a/b", "/x/tmp/a", "/tmp/a/"}},
        {"tmp/a", {}, {"/x/tmp/a/b"}},
        {"file?.txt", {"/a/file1.txt"}, {"/a/file12.txt"}},
        {"/a?b", {"/a/b"}, {}},
        {"log[0-9]", {"/a/log3"}, {"/a/logx"}},
        {"log[!0-9]", {"/a/logx"}, {"/a/log3"}},
        {"star\\*", {"/a/star*"}, {"/a/starry"}},
        {"Application Support", {"/a/Application Support"}, {}},
        {"", {}, {"/a/b", "/a//b"}},
        {"*~", {"/p/backup~"}, {}},
        {"/x/~/a/*", {"/x/~/a/b"}, {}},
    });
    std::vector<std::string> patterns = {"*.log", "node_modules", "/tmp/a"};
    EXPECT_TRUE(Glob::matchesAny("/x/node_modules/z", patterns) && Glob::matchesAny("/tmp/a", patterns));
    EXPECT_FALSE(Glob::matchesAny("/tmp/a/b.txt", patterns));
    EXPECT_FALSE(Glob::matchesAny("/a/b", {}) || Glob::matchesAny("/a/b", {""}));
}

TEST(GlobTest, LeadingTildeExpandsToHomeOrTheNamedUsersHome) {
    TempHome home; // $HOME points elsewhere: ~user must not use it
    const passwd* me = getpwuid(getuid());
    const std::string user = me->pw_name, myHome = me->pw_dir == std::string("/") ? "" : me->pw_dir;
    ASSERT_NE(myHome, home.path());
    // The path itself is never expanded, a "~" after the start is literal, and an unknown user
    // leaves the pattern as written.
    check({
        {"~/Scratch/*", {home / "Scratch/deep/er/notes.txt"}, {home / "Scratch", "/elsewhere/Scratch/notes.txt"}},
        {"~", {home.path()}, {home / "x"}},
        {"/x/~/a/*", {}, {home / "a/b"}},
        {home / "Scratch/*", {}, {"~/Scratch/x"}},
        {"~" + user + "/Scratch/*", {myHome + "/Scratch/file"}, {home / "Scratch/file"}},
        {"~no-such-user-stowage/*", {"~no-such-user-stowage/a"}, {"/home/x/a"}},
        {"~no-such-user-stowage", {"/p/~no-such-user-stowage/y"}, {}},
    });
}
