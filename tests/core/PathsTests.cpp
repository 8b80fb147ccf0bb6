#include "core/Paths.hpp"

#include "support/FakeTools.hpp"
#include "support/TempHome.hpp"

#include <gtest/gtest.h>

#include <pwd.h>
#include <unistd.h>

using namespace stowage;
using stowage::testing::ScopedEnv;
using stowage::testing::TempHome;

namespace {

std::string passwdHomeOf(const char* user) {
    const passwd* pw = getpwnam(user);
    std::string home = pw != nullptr ? pw->pw_dir : "";
    while (home.size() > 1 && home.back() == '/')
        home.pop_back();
    return home;
}

} // namespace

TEST(PathsTest, HomeFollowsHomeThenThePasswordDatabaseAndTildeExpandsAgainstIt) {
    TempHome home;
    const std::string me = getpwuid(getuid())->pw_name;
    const std::string myHome = passwdHomeOf(me.c_str());
    for (const auto& [value, want] : std::vector<std::pair<std::optional<std::string>, std::string>>{
             {home.path() + "//", home.path()}, {"", myHome}, {std::nullopt, myHome}, {"/", "/"}}) {
        ScopedEnv env("HOME", value);
        EXPECT_EQ(paths::homeFolder(), want) << value.value_or("unset");
    }
    EXPECT_EQ(paths::expandTilde("~"), home.path());
    EXPECT_EQ(paths::expandTilde("~/.ssh/id_*"), home.path() + "/.ssh/id_*");
    for (const char* unchanged : {"/abs/~/x", "rel/~", "", "~no-such-user-stowage/x", "~no-such-user-stowage"})
        EXPECT_EQ(paths::expandTilde(unchanged), unchanged);

    // ~user reads the password database, never HOME.
    EXPECT_EQ(paths::homeFolderOf(me), myHome);
    EXPECT_EQ(paths::expandTilde("~" + me + "/a/b"), (myHome == "/" ? "" : myHome) + "/a/b");
    EXPECT_EQ(paths::homeFolderOf("no-such-user-stowage"), "");

    // Abbreviation takes whole components only, and against a home of "/" nothing doubles or shrinks.
    EXPECT_EQ(paths::abbreviateHome(home / ".ssh/id_ed25519"), "~/.ssh/id_ed25519");
    EXPECT_EQ(paths::abbreviateHome(home.path() + "2/x"), home.path() + "2/x");
    EXPECT_EQ(paths::abbreviateHome(home.path()), "~");
    EXPECT_EQ(paths::expandTilde(paths::abbreviateHome(home / "a b/c")), home / "a b/c");
    ScopedEnv rootHome("HOME", "/");
    EXPECT_EQ(paths::expandTilde("~"), "/");
    EXPECT_EQ(paths::expandTilde("~/etc/x"), "/etc/x");
    EXPECT_EQ(paths::abbreviateHome("/etc/x"), "/etc/x");
}

TEST(PathsTest, JoinRelativeFormLastComponentAndParent) {
    EXPECT_EQ(paths::join("/a//", "//b"), "/a/b");
    EXPECT_EQ(paths::join("//", "/b"), "/b");
    EXPECT_EQ(paths::join("", "b"), "b");
    EXPECT_EQ(paths::join("/a", ""), "/a");
    EXPECT_EQ(paths::relativeForm("/home/u/.zshrc"), "home/u/.zshrc");
    EXPECT_EQ(paths::relativeForm("//x"), "/x");
    EXPECT_EQ(paths::relativeForm("a/b"), "a/b");
    EXPECT_EQ(paths::lastComponent("/a/b/"), "");
    EXPECT_EQ(paths::parent("/a/b/c.txt"), "/a/b");
    EXPECT_EQ(paths::parent("/"), "/");
    EXPECT_EQ(paths::parent("name"), "");
    EXPECT_EQ(paths::parent("rel/name"), "rel");
}

TEST(PathsTest, IsUnderComparesWholeComponentsAndAnEmptyRootHoldsNothing) {
    const std::tuple<const char*, const char*, bool> cases[] = {
        {"/a/b", "/a/b", true},    {"/a/b/c/d", "/a", true}, {"/a/bc", "/a/b", false},  {"/a", "/a/b", false},
        {"/x/a/b", "/a", false},   {"/anything", "/", true}, {"/", "/", true},          {"relative", "/", false},
        {"/a/b/c", "/a/b/", true}, {"/a/b/", "/a/b", true},  {"/a/bc", "/a/b/", false}, {"/a", "//", true},
        {"/a", "", false},         {"/", "", false},
    };
    for (const auto& [path, root, under] : cases)
        EXPECT_EQ(paths::isUnder(path, root), under) << path << " under " << root;
}

// The XDG folders follow the environment at each call: an absolute value wins (trailing "/" dropped),
// an unset, empty or relative value falls back to the default below the home folder. A token is only
// expanded as the whole first component; for glob use the substituted folder is escaped, the rest not.
TEST(PathsTest, ExpandPatternFollowsTheXdgFolders) {
    TempHome home;
    const std::string h = home.path();
    struct Case {
        std::optional<std::string> configValue;
        const char* pattern;
        bool forGlob;
        std::string want;
    };
    const std::vector<Case> cases = {
        {std::nullopt, "$XDG_CONFIG_HOME/Code/User", false, h + "/.config/Code/User"},
        {"", "$XDG_CONFIG_HOME/x", false, h + "/.config/x"},
        {"relative/cfg", "$XDG_CONFIG_HOME/x", false, h + "/.config/x"},
        {"/srv/cfg//", "$XDG_CONFIG_HOME/x", false, "/srv/cfg/x"},
        {"/srv/cfg", "$XDG_CONFIG_HOME", false, "/srv/cfg"},
        {"/srv/cfg", "$XDG_CONFIG_HOMEx/y", false, "$XDG_CONFIG_HOMEx/y"},
        {"/srv/cfg", "/etc/$XDG_CONFIG_HOME/y", false, "/etc/$XDG_CONFIG_HOME/y"},
        {"/srv/[c]*fg", "$XDG_CONFIG_HOME/JetBrains/*/options", true, "/srv/\\[c]\\*fg/JetBrains/*/options"},
        {"/srv/[c]*fg", "$XDG_CONFIG_HOME/JetBrains/*/options", false, "/srv/[c]*fg/JetBrains/*/options"},
        {std::nullopt, "$XDG_DATA_HOME/keyrings", false, "/srv/data/keyrings"},
    };
    for (const auto& c : cases) {
        ScopedEnv config("XDG_CONFIG_HOME", c.configValue);
        ScopedEnv data("XDG_DATA_HOME", "/srv/data");
        EXPECT_EQ(paths::expandPattern(c.pattern, c.forGlob), c.want) << c.pattern;
    }
    ScopedEnv noData("XDG_DATA_HOME", std::nullopt);
    EXPECT_EQ(paths::xdgDataHome(), h + "/.local/share");
    ScopedEnv bracketed("HOME", "/home/a[1]");
    EXPECT_EQ(paths::expandPattern("~/.ssh/id_*", true), "/home/a\\[1]/.ssh/id_*");
    EXPECT_EQ(paths::expandPattern("~/.ssh/id_*"), "/home/a[1]/.ssh/id_*");
}
