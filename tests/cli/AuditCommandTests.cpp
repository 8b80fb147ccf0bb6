#include "core/Shell.hpp"
#include "support/GitFixture.hpp"
#include "support/RunStowage.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <csignal>
#include <map>

using namespace stowage;
using stowage::testing::contains;
using stowage::testing::Outcome;
using stowage::testing::sh;

namespace {

/// `stowage` with `arguments`, never in colour, in the test's temporary home.
Outcome stowageRun(const std::vector<std::string>& arguments) {
    return stowage::testing::runProgram(STOWAGE_EXECUTABLE, arguments, {{"NO_COLOR", "1"}});
}

/// Saved exclusion globs; the machine's own package sources under /etc are always among them.
void saveExcludes(const stowage::testing::TempHome& home, const std::string& globs) {
    home.writeFile(".config/stowage/defaults.json",
                   R"({"format":1,"entries":[{"key":"excludeGlobs","type":"string","value":"/etc/**)" + globs +
                       R"("}]})");
}

} // namespace

class AuditCommandTest : public stowage::testing::GitFixture {
protected:
    void SetUp() override {
        saveExcludes(home, "");
        home.writeFile(".ssh/id_ed25519", "PRIVATE", 0600);
        const std::string api = repo("Development/api");
        commitFile(api, ".env", "TOKEN=1");
        write(api, "new.txt", "change");
    }
};

TEST_F(AuditCommandTest, ReportsFindingsRisksAndProjectsWithHostileNamesDefusedFromTheRootsAndExcludesAsked) {
    home.writeFile("Development/caf\xe9/.env", "A=1");
    home.writeFile("Development/evil\x1b[2J\nFAKE LINE\xe2\x80\xae/.env", "B=1");
    auto json = stowageRun({"audit", "--json"});
    ASSERT_EQ(json.status, 0) << json.err;
    auto doc = nlohmann::json::parse(json.out);
    ASSERT_TRUE(doc.contains("scannedAt"));
    std::map<std::string, nlohmann::json> byRule;
    for (const auto& f : doc["findings"])
        byRule[f["rule"]["id"].get<std::string>()] = f;
    EXPECT_EQ(byRule["ssh-keys"]["paths"][0]["path"], home / ".ssh/id_ed25519");
    EXPECT_EQ(byRule["ssh-keys"]["rule"]["risk"], 4);
    EXPECT_EQ(byRule["git-config"]["paths"][0]["tracking"]["state"], "notInRepo");
    const std::string envFiles = byRule["env-files"]["paths"].dump();
    EXPECT_TRUE(contains(envFiles, home / "Development/api/.env")) << envFiles;
    EXPECT_TRUE(contains(envFiles, "caf\xef\xbf\xbd/.env")) << envFiles;
    ASSERT_EQ(doc["gitRisks"].size(), 1u);
    EXPECT_EQ(doc["gitRisks"][0]["name"], "api");
    EXPECT_EQ(doc["gitRisks"][0]["detail"], "1 uncommitted file \u00b7 no remote");
    ASSERT_EQ(doc["projects"].size(), 1u);
    EXPECT_EQ(doc["projects"][0]["kind"], "gitNoRemote");

    auto human = stowageRun({"audit"});
    ASSERT_EQ(human.status, 0) << human.err;
    const std::string& out = human.out;
    for (const char* part : {"1 repo(s) with unsaved or unpushed work", "SSH private keys  Critical \u00b7 1 item",
                             "~/.ssh/id_ed25519", "~/.gitconfig  [not backed up]", "~/Development/caf\\xe9/.env",
                             "~/Development/evil\\x1b[2J\\nFAKE LINE\\u{202e}/.env"})
        EXPECT_TRUE(contains(out, part)) << part << "\n" << out;
    EXPECT_FALSE(contains(out, "\x1b") || contains(out, "\nFAKE LINE")) << "no colour, no terminal control";
    ASSERT_TRUE(contains(out, "Config \u2014"));
    EXPECT_LT(out.find("Secrets \u2014"), out.find("Config \u2014"));

    // Roots and excludes come from the flags, else from the saved settings.
    home.writeFile("elsewhere/svc/.env", "A=1");
    const std::string flagged = stowageRun({"audit", "--json", "--root", home / "elsewhere"}).out;
    EXPECT_TRUE(contains(flagged, home / "elsewhere/svc/.env") && !contains(flagged, "api/.env")) << flagged;
    saveExcludes(home, ", id_*, *.env");
    const std::string saved = stowageRun({"audit", "--json"}).out;
    EXPECT_TRUE(contains(saved, "\"git-config\"")) << saved;
    EXPECT_FALSE(contains(saved, "\"ssh-keys\"") || contains(saved, "\"env-files\"")) << saved;
}

TEST_F(AuditCommandTest, RepositoryGitCannotReadIsNeverNothingAtRisk) {
    sh("rm -rf '" + home / "Development/api" + "'");
    write(repo("Development/broken"), ".git/index", "damaged");
    auto json = stowageRun({"audit", "--json"});
    ASSERT_EQ(json.status, 0) << json.err;
    auto risks = nlohmann::json::parse(json.out)["gitRisks"];
    ASSERT_EQ(risks.size(), 1u) << risks.dump();
    EXPECT_EQ(risks[0]["kinds"], nlohmann::json::array({"uninspected"}));
    EXPECT_EQ(risks[0]["inspected"], false);
    EXPECT_TRUE(contains(risks[0]["detail"].get<std::string>(), "could not be inspected: "));

    auto human = stowageRun({"audit"});
    ASSERT_EQ(human.status, 0) << human.err;
    EXPECT_TRUE(contains(human.out, "1 repo(s) could not be inspected")) << human.out;
    EXPECT_TRUE(contains(human.out, "broken  could not be inspected: ")) << human.out;
    EXPECT_FALSE(contains(human.out, "Nothing at risk found") || contains(human.out, "unsaved or unpushed work"));
}

// A git that never answers notes the pid of what it became; after the signal each must be gone, or at
// most a zombie about to be collected by init.
TEST_F(AuditCommandTest, TerminationSignalStopsEveryGitItStarted) {
    home.writeFile("bin/git", "#!/bin/sh\necho $$ >> \"$HOME/git-pids\"\nexec sleep 60\n", 0755);
    const std::string script =
        "PATH='" + home / "bin" + "':$PATH NO_COLOR=1 '" + STOWAGE_EXECUTABLE +
        "' audit >/dev/null 2>&1 & child=$!; "
        "for i in $(seq 100); do [ -s \"$HOME/git-pids\" ] && break; sleep 0.1; done; "
        "kill -TERM $child; wait $child; echo $?; sleep 0.2; for p in $(cat \"$HOME/git-pids\"); "
        "do case \"$(ps -o stat= -p $p)\" in ''|Z*) ;; *) echo \"$p alive\";; esac; done";
    auto run = Shell::run("sh", {"-c", script}, std::nullopt, 60);
    EXPECT_EQ(run.trimmedOut(), std::to_string(128 + SIGTERM)) << run.err;
    EXPECT_FALSE(stowage::testing::slurp(home / "git-pids").empty());
}

TEST_F(AuditCommandTest, AppsListsBundlesAndDesktopEntriesAndUsageErrorsExitTwo) {
    home.writeFile("Applications/Tool.app/Contents/Info.plist",
                   R"(<?xml version="1.0" encoding="UTF-8"?><plist version="1.0"><dict>)"
                   R"(<key>CFBundleIdentifier</key><string>io.example.tool</string>)"
                   R"(<key>CFBundleShortVersionString</key><string>2.0</string></dict></plist>)");
    const std::string notes = home.writeFile(".local/share/applications/tools/notes.desktop",
                                             "[Desktop Entry]\nType=Application\nName=Notes\nExec=notes\n");
    auto out = stowageRun({"apps", "--json"});
    ASSERT_EQ(out.status, 0) << out.err;
    EXPECT_EQ(nlohmann::json::parse(out.out),
              nlohmann::json::parse(R"([{"desktopID":"tools-notes.desktop","name":"Notes","path":")" + notes +
                                    R"(","source":"manual"},{"bundleID":"io.example.tool","name":"Tool","path":")" +
                                    home / "Applications/Tool.app" + R"(","source":"manual","version":"2.0"}])"));
    auto human = stowageRun({"apps"});
    EXPECT_TRUE(contains(human.out, "Tool v2.0  Manual download")) << human.out;
    EXPECT_TRUE(contains(human.out, "Notes  Manual download\n      https://duckduckgo.com/?q=Notes%20linux%20download"))
        << human.out;

    // Usage errors exit 2, help exits 0.
    auto help = stowageRun({"audit", "--help"});
    EXPECT_TRUE(help.status == 0 && contains(help.out, "--root")) << help.out;
    EXPECT_EQ(std::vector({stowageRun({"audit", "--no-such-flag"}).status, stowageRun({}).status,
                           stowageRun({"apps", "--help"}).status}),
              std::vector({2, 2, 0}));
}
