#pragma once
// A test fixture with a temporary home whose git configuration is private: no system file, an
// identity, "main" as the first branch, no signing. Repositories are real, made with the git on PATH.

#include "support/TempHome.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>

namespace stowage::testing {

class GitFixture : public ::testing::Test {
protected:
    GitFixture() {
        setenv("GIT_CONFIG_NOSYSTEM", "1", 1);
        home.writeFile(".gitconfig", "[user]\n\tname = Test\n\temail = test@example.com\n"
                                     "[init]\n\tdefaultBranch = main\n[commit]\n\tgpgsign = false\n");
    }

    std::string repo(const std::string& relative) {
        std::string dir = home.makeDir(relative);
        EXPECT_EQ(sh("git init -q '" + dir + "'"), 0);
        return dir;
    }
    void git(const std::string& dir, const std::string& args) {
        ASSERT_EQ(sh("git -C '" + dir + "' " + args + " >/dev/null 2>&1"), 0) << args;
    }
    void write(const std::string& dir, const std::string& name, const std::string& content) {
        std::ofstream(dir + "/" + name) << content;
    }
    void commitFile(const std::string& dir, const std::string& name, const std::string& content) {
        write(dir, name, content);
        git(dir, "add -- '" + name + "'");
        git(dir, "commit -q -m 'change " + name + "'");
    }

    TempHome home;
};

} // namespace stowage::testing
