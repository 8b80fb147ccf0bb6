#include "core/Paths.hpp"

#include "support/TempHome.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <pwd.h>
#include <unistd.h>

using namespace stowage;
using stowage::testing::TempHome;

namespace {

std::string passwdHomeOfCurrentUser() {
    const passwd* pw = getpwuid(getuid());
    std::string home = pw != nullptr && pw->pw_dir != nullptr ? pw->pw_dir : "";
    while (home.size() > 1 && home.back() == '/')
        home.pop_back();
    return home;
}

/// Sets HOME for one scope (TempHome already restores HOME, so this nests inside one).
class ScopedHome {
public:
    explicit ScopedHome(const char* value) {
        if (const char* v = std::getenv("HOME"))
            saved_ = v;
        if (value)
            setenv("HOME", value, 1);
        else
            unsetenv("HOME");
    }
    ~ScopedHome() {
        if (saved_)
            setenv("HOME", saved_->c_str(), 1);
        else
            unsetenv("HOME");
    }
    ScopedHome(const ScopedHome&) = delete;
    ScopedHome& operator=(const ScopedHome&) = delete;

private:
    std::optional<std::string> saved_;
};

} // namespace

TEST(PathsTest, HomeFolderFollowsHomeThenPasswordDatabase) {
    TempHome home;
    EXPECT_EQ(paths::homeFolder(), home.path());
    {
        ScopedHome trailing((home.path() + "//").c_str());
        EXPECT_EQ(paths::homeFolder(), home.path());
    }
    {
        ScopedHome empty("");
        EXPECT_EQ(paths::homeFolder(), passwdHomeOfCurrentUser());
    }
    {
        ScopedHome unset(nullptr);
        EXPECT_EQ(paths::homeFolder(), passwdHomeOfCurrentUser());
    }
    {
        ScopedHome rootHome("/");
        EXPECT_EQ(paths::homeFolder(), "/");
    }
}

TEST(PathsTest, ExpandTilde) {
    TempHome home;
    EXPECT_EQ(paths::expandTilde("~"), home.path());
    EXPECT_EQ(paths::expandTilde("~/"), home.path() + "/");
    EXPECT_EQ(paths::expandTilde("~/.ssh/id_*"), home.path() + "/.ssh/id_*");
    EXPECT_EQ(paths::expandTilde("~/Library/Application Support/x"), home.path() + "/Library/Application Support/x");
    EXPECT_EQ(paths::expandTilde("/abs/~/x"), "/abs/~/x");
    EXPECT_EQ(paths::expandTilde("rel/~"), "rel/~");
    EXPECT_EQ(paths::expandTilde(""), "");
    EXPECT_EQ(paths::expandTilde("/opt/homebrew/bin/brew"), "/opt/homebrew/bin/brew");
    EXPECT_EQ(paths::expandTilde("~no-such-user-stowage/x"), "~no-such-user-stowage/x");
    EXPECT_EQ(paths::expandTilde("~no-such-user-stowage"), "~no-such-user-stowage");
}

TEST(PathsTest, ExpandTildeOfNamedUserIgnoresHome) {
    TempHome home;
    const passwd* pw = getpwuid(getuid());
    ASSERT_NE(pw, nullptr);
    const std::string me = pw->pw_name;
    const std::string myHome = passwdHomeOfCurrentUser();
    EXPECT_EQ(paths::homeFolderOf(me), myHome);
    EXPECT_EQ(paths::expandTilde("~" + me), myHome);
    EXPECT_EQ(paths::expandTilde("~" + me + "/a/b"), (myHome == "/" ? "" : myHome) + "/a/b");
    EXPECT_NE(paths::expandTilde("~" + me), home.path());

    if (const passwd* root = getpwnam("root")) {
        std::string rootHome = root->pw_dir;
        EXPECT_EQ(paths::homeFolderOf("root"), rootHome);
        EXPECT_EQ(paths::expandTilde("~root/.ssh"), (rootHome == "/" ? "" : rootHome) + "/.ssh");
    }
    EXPECT_EQ(paths::homeFolderOf("no-such-user-stowage"), "");
}

TEST(PathsTest, ExpandTildeWithRootAsHomeDoesNotDoubleSlash) {
    TempHome home;
    ScopedHome rootHome("/");
    EXPECT_EQ(paths::expandTilde("~"), "/");
    EXPECT_EQ(paths::expandTilde("~/etc/x"), "/etc/x");
    // Abbreviating against "/" would turn every path into "~...": it is left alone.
    EXPECT_EQ(paths::abbreviateHome("/etc/x"), "/etc/x");
}

TEST(PathsTest, AbbreviateHome) {
    TempHome home;
    EXPECT_EQ(paths::abbreviateHome(home.path()), "~");
    EXPECT_EQ(paths::abbreviateHome(home / ".ssh/id_ed25519"), "~/.ssh/id_ed25519");
    // A sibling that merely shares the prefix is not inside the home folder.
    EXPECT_EQ(paths::abbreviateHome(home.path() + "2/x"), home.path() + "2/x");
    EXPECT_EQ(paths::abbreviateHome("/elsewhere/x"), "/elsewhere/x");
    EXPECT_EQ(paths::expandTilde(paths::abbreviateHome(home / "a b/c")), home / "a b/c");
}

TEST(PathsTest, JoinPutsExactlyOneSlashBetweenParts) {
    EXPECT_EQ(paths::join("/a", "b"), "/a/b");
    EXPECT_EQ(paths::join("/a/", "b"), "/a/b");
    EXPECT_EQ(paths::join("/a//", "//b"), "/a/b");
    EXPECT_EQ(paths::join("/a", "b/c/"), "/a/b/c/");
    EXPECT_EQ(paths::join("/", "b"), "/b");
    EXPECT_EQ(paths::join("/", "/b"), "/b");
    EXPECT_EQ(paths::join("//", "b"), "/b");
    EXPECT_EQ(paths::join("", "b"), "b");
    EXPECT_EQ(paths::join("/a", ""), "/a");
    EXPECT_EQ(paths::join("/backup", paths::relativeForm("/home/u/.zshrc")), "/backup/home/u/.zshrc");
}

TEST(PathsTest, RelativeFormDropsOneLeadingSlash) {
    EXPECT_EQ(paths::relativeForm("/home/u/.zshrc"), "home/u/.zshrc");
    EXPECT_EQ(paths::relativeForm("//x"), "/x");
    EXPECT_EQ(paths::relativeForm("x/y"), "x/y");
    EXPECT_EQ(paths::relativeForm("/"), "");
    EXPECT_EQ(paths::relativeForm(""), "");
}

TEST(PathsTest, LastComponentAndParent) {
    EXPECT_EQ(paths::lastComponent("/a/b/c.txt"), "c.txt");
    EXPECT_EQ(paths::lastComponent("c.txt"), "c.txt");
    EXPECT_EQ(paths::lastComponent("/a/b/"), "");
    EXPECT_EQ(paths::lastComponent("/"), "");
    EXPECT_EQ(paths::parent("/a/b/c.txt"), "/a/b");
    EXPECT_EQ(paths::parent("/a"), "/");
    EXPECT_EQ(paths::parent("/"), "/");
    EXPECT_EQ(paths::parent("name"), "");
    EXPECT_EQ(paths::parent("rel/name"), "rel");
}

TEST(PathsTest, IsUnderComparesWholeComponents) {
    EXPECT_TRUE(paths::isUnder("/a/b", "/a/b"));
    EXPECT_TRUE(paths::isUnder("/a/b/c", "/a/b"));
    EXPECT_TRUE(paths::isUnder("/a/b/c/d", "/a"));
    EXPECT_FALSE(paths::isUnder("/a/bc", "/a/b"));
    EXPECT_FALSE(paths::isUnder("/a", "/a/b"));
    EXPECT_FALSE(paths::isUnder("/x/a/b", "/a"));
    EXPECT_TRUE(paths::isUnder("/anything", "/"));
    EXPECT_TRUE(paths::isUnder("/", "/"));
    EXPECT_FALSE(paths::isUnder("relative", "/"));
}

TEST(PathsTest, IsUnderIgnoresTrailingSlashesAndEmptyRoot) {
    EXPECT_TRUE(paths::isUnder("/a/b/c", "/a/b/"));
    EXPECT_TRUE(paths::isUnder("/a/b/", "/a/b"));
    EXPECT_TRUE(paths::isUnder("/a/b", "/a/b//"));
    EXPECT_FALSE(paths::isUnder("/a/bc", "/a/b/"));
    EXPECT_TRUE(paths::isUnder("/a", "//"));
    // An empty root names no folder: nothing lies under it.
    EXPECT_FALSE(paths::isUnder("/a", ""));
    EXPECT_FALSE(paths::isUnder("/", ""));
}

// The XDG folders follow the environment at each call: an absolute value wins (trailing "/" dropped),
// an unset, empty or relative value falls back to the default below the home folder. A token is only
// expanded as the whole first component; for glob use the substituted folder is escaped, the rest not.
TEST(PathsTest, ExpandPatternFollowsTheXdgFolders) {
    TempHome home;
    const std::string h = home.path();
    struct Case {
        const char* configValue; // nullptr: unset
        const char* pattern;
        bool forGlob;
        std::string want;
    };
    const std::vector<Case> cases = {
        {nullptr, "$XDG_CONFIG_HOME/Code/User", false, h + "/.config/Code/User"},
        {"", "$XDG_CONFIG_HOME/x", false, h + "/.config/x"},
        {"relative/cfg", "$XDG_CONFIG_HOME/x", false, h + "/.config/x"},
        {"/srv/cfg//", "$XDG_CONFIG_HOME/x", false, "/srv/cfg/x"},
        {"/srv/cfg", "$XDG_CONFIG_HOME", false, "/srv/cfg"},
        {"/srv/cfg", "$XDG_CONFIG_HOMEx/y", false, "$XDG_CONFIG_HOMEx/y"},
        {"/srv/cfg", "/etc/$XDG_CONFIG_HOME/y", false, "/etc/$XDG_CONFIG_HOME/y"},
        {"/srv/cfg", "~/.config/x", false, h + "/.config/x"},
        {"/srv/[c]*fg", "$XDG_CONFIG_HOME/JetBrains/*/options", true, "/srv/\\[c]\\*fg/JetBrains/*/options"},
        {"/srv/[c]*fg", "$XDG_CONFIG_HOME/JetBrains/*/options", false, "/srv/[c]*fg/JetBrains/*/options"},
        {nullptr, "$XDG_DATA_HOME/keyrings", false, "/srv/data/keyrings"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pattern);
        if (c.configValue)
            setenv("XDG_CONFIG_HOME", c.configValue, 1);
        else
            unsetenv("XDG_CONFIG_HOME");
        setenv("XDG_DATA_HOME", "/srv/data", 1);
        EXPECT_EQ(paths::expandPattern(c.pattern, c.forGlob), c.want);
    }
    unsetenv("XDG_DATA_HOME");
    EXPECT_EQ(paths::xdgDataHome(), h + "/.local/share");
    {
        ScopedHome bracketed("/home/a[1]");
        EXPECT_EQ(paths::expandPattern("~/.ssh/id_*", true), "/home/a\\[1]/.ssh/id_*");
        EXPECT_EQ(paths::expandPattern("~/.ssh/id_*"), "/home/a[1]/.ssh/id_*");
    }
}
