#include "core/Shell.hpp"

#include "support/FakeTools.hpp"
#include "support/TempHome.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace stowage {
namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Pids of every process whose parent is this test process, zombies included.
std::vector<pid_t> childrenOfThisProcess() {
    std::vector<pid_t> children;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        std::ifstream stat(entry.path() / "stat");
        std::string line;
        // pid (comm) state ppid ...; comm may hold spaces and parentheses, so parse after the last ')'.
        if (!std::getline(stat, line) || line.rfind(')') == std::string::npos)
            continue;
        std::istringstream rest(line.substr(line.rfind(')') + 1));
        char state = 0;
        pid_t parent = 0;
        if (rest >> state >> parent && parent == ::getpid())
            children.push_back(static_cast<pid_t>(std::stol(entry.path().filename())));
    }
    return children;
}

std::string repeated(const std::string& line, std::size_t totalBytes) {
    std::string text;
    while (text.size() < totalBytes)
        text += line;
    text.resize(totalBytes);
    return text;
}

TEST(ShellRun, StatusStreamsAndArgumentsArriveUnchanged) {
    EXPECT_TRUE(Shell::run("true", {}).ok());
    EXPECT_FALSE(Shell::run("false", {}).ok());
    const auto exit42 = Shell::run("sh", {"-c", "echo out; echo err >&2; exit 42"});
    EXPECT_TRUE(exit42.status == 42 && exit42.out == "out\n" && exit42.err == "err\n");
    const auto killed = Shell::run("sh", {"-c", "kill -KILL $$"});
    EXPECT_TRUE(killed.status == 128 + SIGKILL && !killed.ok());

    const std::vector<std::string> arguments = {"[%s]\n", "a b",   "'single'", "\"double\"", "$(echo injected)",
                                                "`id`",   "-n",    "--",       "*",          "",
                                                "x=y",    "tab\t", "é😀",       ";|&<>"};
    std::string expected;
    for (std::size_t i = 1; i < arguments.size(); ++i)
        expected += "[" + arguments[i] + "]\n";
    EXPECT_EQ(Shell::run("printf", arguments).out, expected);
}

TEST(ShellRun, EnvironmentChangesApplyAndSecretsNeverReachTheTool) {
    testing::ScopedEnv passphrase("STOWAGE_PASSPHRASE", "hunter2"), code("STOWAGE_RECOVERY_CODE", "ABCD-EFGH"),
        kept("STOWAGE_TEST_KEPT", "kept"), removed("STOWAGE_TEST_REMOVED", "gone");
    const auto env = [](const Shell::Environment& changes) {
        return "\n" + Shell::run("env", {}, std::nullopt, Shell::defaultTimeout, changes).out;
    };
    const std::string inherited = env({});
    EXPECT_TRUE(inherited.find("\nSTOWAGE_TEST_KEPT=kept\n") != std::string::npos &&
                inherited.find("\nSTOWAGE_TEST_REMOVED=gone\n") != std::string::npos)
        << inherited;
    // Asking for a secret explicitly does not bring it back.
    const std::string changed =
        env({{{"ADDED", "a=b"}, {"STOWAGE_TEST_KEPT", "changed"}, {"STOWAGE_PASSPHRASE", "again"}},
             {"STOWAGE_TEST_REMOVED"}});
    EXPECT_TRUE(changed.find("\nADDED=a=b\n") != std::string::npos &&
                changed.find("\nSTOWAGE_TEST_KEPT=changed\n") != std::string::npos &&
                changed.find("STOWAGE_TEST_REMOVED") == std::string::npos &&
                changed.find("=kept\n") == std::string::npos)
        << changed;
    for (const char* secret : {"STOWAGE_PASSPHRASE", "STOWAGE_RECOVERY_CODE"})
        EXPECT_EQ((inherited + changed).find(secret), std::string::npos) << secret;
}

TEST(ShellRun, WorkingDirectoryIsRespectedAndBadRequestsAreRefusedWithoutRunningAnything) {
    testing::TempHome home;
    const auto folder = home.makeDir("work dir");
    EXPECT_EQ(Shell::run("pwd", {}, folder).trimmedOut(), std::filesystem::canonical(folder).string());
    EXPECT_EQ(Shell::run("pwd", {}).trimmedOut(), std::filesystem::current_path().string());
    const auto missing = Shell::run("true", {}, home / "absent");
    EXPECT_TRUE(missing.status == -1 && missing.out.empty() && missing.err == "No such file or directory");
    const auto unknown = Shell::run("stowage-no-such-tool-4711", {"arg"});
    EXPECT_TRUE(!unknown.ok() && unknown.status != -1 && unknown.status != Shell::timedOutStatus);
    EXPECT_NE(unknown.err.find("stowage-no-such-tool-4711"), std::string::npos) << unknown.err;
    // As an env operand this would set a variable and then run the first argument as the command.
    EXPECT_EQ(Shell::run("X=1", {"touch", home / "ran"}).status, -1);
    EXPECT_FALSE(std::filesystem::exists(home / "ran"));
    EXPECT_TRUE(Shell::run("-i", {"true"}).status == -1 && Shell::run("", {}).status == -1);
    for (double limit : {0.0, -1.0, std::nan("")})
        EXPECT_EQ(Shell::run("true", {}, std::nullopt, limit).status, -1) << limit;
    EXPECT_EQ(Shell::run("true", {}, std::nullopt, INFINITY).status, 0);

    EXPECT_TRUE(Shell::exists("ls"));
    for (const char* name : {"stowage-no-such-tool-4711", "", "-a"})
        EXPECT_FALSE(Shell::exists(name)) << name;
}

TEST(ShellDecoding, InvalidUtf8GivesEmptyTextWithTheRealStatus) {
    const std::pair<const char*, bool> cases[] = {
        {"\\303\\251\\342\\202\\254\\360\\237\\230\\200", true}, // é € 😀
        {"\\364\\217\\277\\277", true},                          // U+10FFFF
        {"\\200", false},                                        // lone continuation byte
        {"\\377\\376", false},                                   // bytes never valid
        {"\\300\\200", false},                                   // overlong NUL
        {"\\340\\200\\257", false},                              // overlong '/'
        {"\\355\\240\\200", false},                              // surrogate U+D800
        {"\\364\\220\\200\\200", false},                         // U+110000
        {"ok\\342\\202x", false},                                // truncated, bad continuation
        {"ok\\342\\202", false},                                 // cut off at the end
    };
    for (const auto& [bytes, valid] : cases) {
        const std::string script = std::string("printf '") + bytes + "'; printf '" + bytes + "' >&2; exit 3";
        const auto output = Shell::run("sh", {"-c", script});
        EXPECT_EQ(output.status, 3) << bytes;
        EXPECT_EQ(output.out.empty(), !valid) << bytes;
        EXPECT_EQ(output.out, output.err) << bytes;
    }
}

TEST(ShellDecoding, TrimmedOutRemovesUnicodeWhitespaceAtTheEndsOnly) {
    const auto trimmed = [](const std::string& text) { return Shell::Output{0, text, ""}.trimmedOut(); };
    EXPECT_EQ(trimmed("\t a  b \r\n"), "a  b");
    // NBSP, NEL, LINE SEPARATOR, IDEOGRAPHIC SPACE, EN QUAD, HAIR SPACE, vertical tab, form feed are
    // whitespace; ZERO WIDTH SPACE and letters made of several bytes are not.
    EXPECT_EQ(trimmed("\u00a0\u0085\u2028\u3000x y\u2000\u200a\v\f"), "x y");
    EXPECT_EQ(trimmed("\u200bé😀\u00a0"), "\u200bé😀");
    // Bytes that are not UTF-8 stop the trimming instead of being cut apart.
    EXPECT_EQ(trimmed(" \xff \xe2\x80 "), "\xff \xe2\x80");
}

TEST(ShellTimeLimit, HelperHoldingTheStreamsAfterTheToolExitsIsStoppedAtTheLimit) {
    const auto start = Clock::now();
    const auto output = Shell::run("sh", {"-c", "sleep 60 & echo done"}, std::nullopt, 2.5);
    EXPECT_TRUE(secondsSince(start) >= 2.5 && secondsSince(start) < 2.5 + 5);
    EXPECT_EQ(output.status, Shell::timedOutStatus);
    EXPECT_EQ(output.err, "timed out after 2s: sh -c sleep 60 & echo done");
    EXPECT_EQ(output.out, "done\n") << "what the tool wrote before it was stopped is kept";
    EXPECT_TRUE(childrenOfThisProcess().empty());
}

TEST(ShellTimeLimit, ToolIgnoringTerminationIsKilledWithItsHelpers) {
    testing::TempHome home;
    const auto pidFile = home / "pids";
    // Orphans of this process are handed to it, so the helper's fate can be read from its exit status.
    ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    const auto start = Clock::now();
    const auto output =
        Shell::run("sh", {"-c", "trap '' TERM; sleep 60 & echo $$ $! > \"$1\"; echo started; wait", "sh", pidFile},
                   std::nullopt, 1);
    EXPECT_LT(secondsSince(start), 1 + 5);
    EXPECT_TRUE(output.status == Shell::timedOutStatus && output.out == "started\n");
    EXPECT_EQ(output.err,
              "timed out after 1s: sh -c trap '' TERM; sleep 60 & echo $$ $! > \"$1\"; echo started; wait sh " +
                  pidFile);

    pid_t tool = 0, helper = 0;
    std::istringstream(testing::slurp(pidFile)) >> tool >> helper;
    ASSERT_TRUE(tool > 0 && helper > 0);
    // The tool itself was reaped by the runner: it is no child of ours any more, not even a zombie.
    int status = 0;
    EXPECT_TRUE(::waitpid(tool, &status, WNOHANG) == -1 && errno == ECHILD);
    EXPECT_FALSE(std::filesystem::exists("/proc/" + std::to_string(tool)));
    // The helper it started, also deaf to SIGTERM, died of SIGKILL with its group.
    pid_t reaped = 0;
    const auto waitStart = Clock::now();
    while ((reaped = ::waitpid(helper, &status, WNOHANG)) == 0 && secondsSince(waitStart) < 5)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_EQ(reaped, helper);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    EXPECT_TRUE(childrenOfThisProcess().empty());
    ::prctl(PR_SET_CHILD_SUBREAPER, 0);
}

TEST(ShellConcurrency, SimultaneousRunsKeepTheirOwnResultsAndSeeOnlyTheirOwnStreams) {
    EXPECT_EQ(Shell::run("sh", {"-c", "if read line; then echo got; else echo eof; fi"}).out, "eof\n");
    // Other runs in flight hold pipes of their own; none of them, nor anything else open here, may leak
    // in. Standard error fills far beyond a pipe's capacity before standard output is written.
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([t, &failures] {
            for (int r = 0; r < 5; ++r) {
                const std::string id = std::to_string(t) + "-" + std::to_string(r);
                const auto output = Shell::run(
                    "sh", {"-c", "ls /proc/$$/fd; yes $1 | head -c 400000 >&2; yes $1 | head -c 400000; exit $2", "sh",
                           id, std::to_string((t + r) % 5)});
                failures += output.status != (t + r) % 5 || output.out != "0\n1\n2\n" + repeated(id + "\n", 400000) ||
                            output.err != repeated(id + "\n", 400000);
            }
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_TRUE(childrenOfThisProcess().empty());
}

// Runs last in this file: after stopAll no tool starts in this process.
TEST(ShellStopAll, SignalsEveryRunningToolAndRefusesNewOnes) {
    std::vector<std::thread> runs;
    std::vector<Shell::Output> outputs(2);
    for (std::size_t i = 0; i < outputs.size(); ++i)
        runs.emplace_back([&outputs, i] { outputs[i] = Shell::run("sleep", {"30"}); });
    const auto start = Clock::now();
    while (Shell::running() < outputs.size() && secondsSince(start) < 10)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(Shell::stopAll(SIGTERM), outputs.size());
    for (auto& run : runs)
        run.join();
    EXPECT_LT(secondsSince(start), 20);
    for (const auto& output : outputs)
        EXPECT_EQ(output.status, 128 + SIGTERM);
    EXPECT_EQ(Shell::running(), 0u);
    EXPECT_TRUE(childrenOfThisProcess().empty());
    EXPECT_EQ(Shell::run("true", {}).status, -1);
}

} // namespace
} // namespace stowage
