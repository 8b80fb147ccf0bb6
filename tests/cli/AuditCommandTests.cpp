#include "core/Shell.hpp"
#include "support/TempHome.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <csignal>
#include <fstream>
#include <map>
#include <sstream>

using namespace stowage;
using stowage::testing::sh;
using stowage::testing::TempHome;

namespace {

Shell::Output stowageRun(const std::vector<std::string>& args) {
    // `env NAME=value program ...` keeps the temporary HOME and adds NO_COLOR for the child.
    std::vector<std::string> all{"NO_COLOR=1", STOWAGE_EXECUTABLE};
    all.insert(all.end(), args.begin(), args.end());
    return Shell::run("env", all, std::nullopt, 120);
}

} // namespace

class AuditCommandTest : public ::testing::Test {
protected:
    TempHome home;

    void SetUp() override {
        home.writeFile(".ssh/id_ed25519", "PRIVATE", 0600);
        home.writeFile(".gitconfig", "[user]\n");
        home.writeFile("Development/api/.env", "TOKEN=1");
        const std::string repo = home / "Development/api";
        ASSERT_EQ(sh("git -C '" + repo + "' init -q && git -C '" + repo + "' config user.email t@e.st && git -C '" +
                     repo + "' config user.name T && git -C '" + repo + "' add .env && git -C '" + repo +
                     "' commit -qm one && echo change > '" + repo + "/new.txt'"),
                  0);
    }
};

TEST_F(AuditCommandTest, JsonDocumentHoldsFindingsRisksAndProjects) {
    auto out = stowageRun({"audit", "--json"});
    ASSERT_EQ(out.status, 0) << out.err;
    auto doc = nlohmann::json::parse(out.out);
    ASSERT_TRUE(doc.contains("scannedAt"));
    std::map<std::string, nlohmann::json> byRule;
    for (const auto& f : doc["findings"])
        byRule[f["rule"]["id"].get<std::string>()] = f;
    ASSERT_TRUE(byRule.count("ssh-keys"));
    EXPECT_EQ(byRule["ssh-keys"]["paths"][0]["path"], home / ".ssh/id_ed25519");
    EXPECT_EQ(byRule["ssh-keys"]["rule"]["risk"], 4);
    ASSERT_TRUE(byRule.count("env-files"));
    EXPECT_EQ(byRule["env-files"]["paths"][0]["path"], home / "Development/api/.env");
    ASSERT_TRUE(byRule.count("git-config"));
    EXPECT_EQ(byRule["git-config"]["paths"][0]["tracking"]["state"], "notInRepo");

    ASSERT_EQ(doc["gitRisks"].size(), 1u);
    EXPECT_EQ(doc["gitRisks"][0]["name"], "api");
    EXPECT_EQ(doc["gitRisks"][0]["detail"], "1 uncommitted file \u00b7 no remote");
    ASSERT_EQ(doc["projects"].size(), 1u);
    EXPECT_EQ(doc["projects"][0]["kind"], "gitNoRemote");
}

TEST_F(AuditCommandTest, HumanOutputGroupsByTierWithHomeAbbreviatedAndTags) {
    auto out = stowageRun({"audit"});
    ASSERT_EQ(out.status, 0) << out.err;
    EXPECT_NE(out.out.find("1 repo(s) with unsaved or unpushed work"), std::string::npos) << out.out;
    EXPECT_NE(out.out.find("SSH private keys  Critical \u00b7 1 item"), std::string::npos) << out.out;
    EXPECT_NE(out.out.find("~/.ssh/id_ed25519"), std::string::npos);
    EXPECT_NE(out.out.find("~/.gitconfig  [not backed up]"), std::string::npos) << out.out;
    EXPECT_EQ(out.out.find("\033["), std::string::npos) << "no colour when not on a terminal";
    auto secrets = out.out.find("Secrets \u2014");
    auto config = out.out.find("Config \u2014");
    ASSERT_NE(secrets, std::string::npos);
    ASSERT_NE(config, std::string::npos);
    EXPECT_LT(secrets, config);
}

TEST_F(AuditCommandTest, RootsAndExcludesComeFromFlagsOrSavedSettings) {
    home.writeFile("elsewhere/svc/.env", "A=1");
    auto flagged = nlohmann::json::parse(stowageRun({"audit", "--json", "--root", home / "elsewhere"}).out);
    bool sawElsewhere = false;
    for (const auto& f : flagged["findings"])
        if (f["rule"]["id"] == "env-files")
            sawElsewhere = f["paths"][0]["path"] == home / "elsewhere/svc/.env";
    EXPECT_TRUE(sawElsewhere);

    home.writeFile(".config/stowage/defaults.json",
                   R"({"format":1,"entries":[{"key":"excludeGlobs","type":"string","value":"id_*, *.env"}]})");
    auto saved = nlohmann::json::parse(stowageRun({"audit", "--json"}).out);
    for (const auto& f : saved["findings"])
        EXPECT_NE(f["rule"]["id"], "ssh-keys");
}

TEST_F(AuditCommandTest, HostileFileNamesKeepJsonValidAndCannotDriveTheTerminal) {
    home.writeFile("Development/caf\xe9/.env", "A=1");
    home.writeFile("Development/evil\x1b[2J\nFAKE LINE\xe2\x80\xae/.env", "B=1");
    auto json = stowageRun({"audit", "--json"});
    ASSERT_EQ(json.status, 0) << json.err;
    const std::string doc = nlohmann::json::parse(json.out).dump();
    EXPECT_NE(doc.find("caf\xef\xbf\xbd/.env"), std::string::npos) << doc;

    auto human = stowageRun({"audit"});
    ASSERT_EQ(human.status, 0) << human.err;
    EXPECT_EQ(human.out.find('\x1b'), std::string::npos);
    EXPECT_EQ(human.out.find("\nFAKE LINE"), std::string::npos);
    EXPECT_NE(human.out.find("~/Development/evil\\x1b[2J\\nFAKE LINE\\u{202e}/.env"), std::string::npos) << human.out;
    EXPECT_NE(human.out.find("~/Development/caf\\xe9/.env"), std::string::npos) << human.out;
}

TEST(AuditCommandInspectionTest, RepositoryGitCannotReadIsNeverNothingAtRisk) {
    TempHome home;
    const std::string repo = home / "Development/broken";
    ASSERT_EQ(sh("git init -q '" + repo + "' && echo damaged > '" + repo + "/.git/index'"), 0);
    auto json = stowageRun({"audit", "--json"});
    ASSERT_EQ(json.status, 0) << json.err;
    auto doc = nlohmann::json::parse(json.out);
    ASSERT_EQ(doc["gitRisks"].size(), 1u) << doc.dump();
    EXPECT_EQ(doc["gitRisks"][0]["kinds"], nlohmann::json::array({"uninspected"}));
    EXPECT_EQ(doc["gitRisks"][0]["inspected"], false);
    EXPECT_NE(doc["gitRisks"][0]["detail"].get<std::string>().find("could not be inspected: "), std::string::npos);

    auto human = stowageRun({"audit"});
    ASSERT_EQ(human.status, 0) << human.err;
    EXPECT_NE(human.out.find("1 repo(s) could not be inspected"), std::string::npos) << human.out;
    EXPECT_NE(human.out.find("broken  could not be inspected: "), std::string::npos) << human.out;
    EXPECT_EQ(human.out.find("Nothing at risk found"), std::string::npos) << human.out;
    EXPECT_EQ(human.out.find("unsaved or unpushed work"), std::string::npos) << human.out;
}

TEST_F(AuditCommandTest, TerminationSignalStopsEveryGitItStarted) {
    // A git that never answers and notes the pid of what it became.
    home.writeFile("bin/git", "#!/bin/sh\necho $$ >> \"$HOME/git-pids\"\nexec sleep 60\n", 0755);
    const std::string script = "PATH='" + home / "bin" + "':$PATH NO_COLOR=1 '" + STOWAGE_EXECUTABLE +
                               "' audit >/dev/null 2>&1 & child=$!; "
                               "for i in $(seq 100); do [ -s \"$HOME/git-pids\" ] && break; sleep 0.1; done; "
                               "kill -TERM $child; wait $child; echo $?";
    auto run = Shell::run("sh", {"-c", script}, std::nullopt, 60);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.trimmedOut(), std::to_string(128 + SIGTERM));
    std::istringstream pids(stowage::testing::slurp(home / "git-pids"));
    std::vector<pid_t> started;
    for (pid_t pid = 0; pids >> pid;)
        started.push_back(pid);
    ASSERT_FALSE(started.empty());
    for (pid_t pid : started) {
        // Gone, or at most a zombie about to be collected by init.
        const auto alive = [pid] {
            std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
            std::string line;
            if (!std::getline(stat, line))
                return false;
            const auto close = line.rfind(')');
            return close != std::string::npos && close + 2 < line.size() && line[close + 2] != 'Z';
        };
        EXPECT_FALSE(alive()) << pid;
    }
}

TEST(AuditCommandUsageTest, UsageErrorsExitTwoAndHelpExitsZero) {
    TempHome home;
    EXPECT_EQ(stowageRun({"audit", "--no-such-flag"}).status, 2);
    EXPECT_EQ(stowageRun({}).status, 2);
    auto help = stowageRun({"audit", "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("--root"), std::string::npos);
    EXPECT_EQ(stowageRun({"apps", "--help"}).status, 0);
}

TEST(AppsCommandTest, ListsBundlesFromTheHomeApplicationsFolder) {
    TempHome home;
    home.writeFile("Applications/Tool.app/Contents/Info.plist",
                   R"(<?xml version="1.0" encoding="UTF-8"?><plist version="1.0"><dict>)"
                   R"(<key>CFBundleIdentifier</key><string>io.example.tool</string>)"
                   R"(<key>CFBundleShortVersionString</key><string>2.0</string></dict></plist>)");
    auto out = stowageRun({"apps", "--json"});
    ASSERT_EQ(out.status, 0) << out.err;
    auto apps = nlohmann::json::parse(out.out);
    bool found = false;
    for (const auto& a : apps)
        if (a["name"] == "Tool") {
            found = true;
            EXPECT_EQ(a["bundleID"], "io.example.tool");
            EXPECT_EQ(a["version"], "2.0");
            EXPECT_EQ(a["source"], "manual");
        }
    EXPECT_TRUE(found);
    auto human = stowageRun({"apps"});
    EXPECT_NE(human.out.find("Tool v2.0  Manual download"), std::string::npos) << human.out;
}

TEST(AppsCommandTest, ListsDesktopEntriesWithTheirSource) {
    TempHome home;
    home.writeFile(".local/share/applications/tools/notes.desktop",
                   "[Desktop Entry]\nType=Application\nName=Notes\nExec=notes\n");
    home.writeFile(".local/share/applications/secret.desktop",
                   "[Desktop Entry]\nType=Application\nName=Secret\nNoDisplay=true\nExec=secret\n");
    auto out = stowageRun({"apps", "--json"});
    ASSERT_EQ(out.status, 0) << out.err;
    EXPECT_EQ(nlohmann::json::parse(out.out),
              nlohmann::json::parse(R"([{"desktopID":"tools-notes.desktop","name":"Notes","path":")" +
                                    home / ".local/share/applications/tools/notes.desktop" +
                                    R"(","source":"manual"}])"));
    auto human = stowageRun({"apps"});
    EXPECT_NE(human.out.find("Notes  Manual download\n      https://duckduckgo.com/?q=Notes%20linux%20download"),
              std::string::npos)
        << human.out;
}
