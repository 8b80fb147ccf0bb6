#include "core/Shell.hpp"

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
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace stowage {
namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Pids of every process whose parent is this test process, zombies included.
std::vector<pid_t> childrenOfThisProcess() {
    std::vector<pid_t> children;
    const pid_t self = ::getpid();
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        std::ifstream stat(entry.path() / "stat");
        std::string line;
        if (!std::getline(stat, line)) {
            continue;
        }
        // pid (comm) state ppid ...; comm may hold spaces and parentheses, so parse after the last ')'.
        const auto close = line.rfind(')');
        if (close == std::string::npos) {
            continue;
        }
        std::istringstream rest(line.substr(close + 1));
        char state = 0;
        pid_t parent = 0;
        rest >> state >> parent;
        if (parent == self) {
            children.push_back(static_cast<pid_t>(std::stol(name)));
        }
    }
    return children;
}

std::string repeated(const std::string& line, std::size_t totalBytes) {
    std::string text;
    text.reserve(totalBytes);
    while (text.size() < totalBytes) {
        text += line;
    }
    text.resize(totalBytes);
    return text;
}

TEST(ShellRun, TrueAndFalseReportTheirStatus) {
    const auto yes = Shell::run("true", {});
    EXPECT_EQ(yes.status, 0);
    EXPECT_TRUE(yes.ok());
    EXPECT_EQ(yes.out, "");
    EXPECT_EQ(yes.err, "");

    const auto no = Shell::run("false", {});
    EXPECT_EQ(no.status, 1);
    EXPECT_FALSE(no.ok());

    const auto exit42 = Shell::run("sh", {"-c", "echo out; echo err >&2; exit 42"});
    EXPECT_EQ(exit42.status, 42);
    EXPECT_EQ(exit42.out, "out\n");
    EXPECT_EQ(exit42.err, "err\n");
}

TEST(ShellRun, DeathBySignalIsNotSuccess) {
    const auto killed = Shell::run("sh", {"-c", "kill -KILL $$"});
    EXPECT_EQ(killed.status, 128 + SIGKILL);
    EXPECT_FALSE(killed.ok());
}

TEST(ShellRun, ArgumentsArriveUnchanged) {
    const std::vector<std::string> arguments = {
        "a b",   "'single'", "\"double\"", "$(echo injected)", "`id`", "-n", "--", "*", "", "x=y",
        "tab\t", "é😀",       ";|&<>"};
    std::vector<std::string> printfArguments = {"[%s]\n"};
    printfArguments.insert(printfArguments.end(), arguments.begin(), arguments.end());
    const auto output = Shell::run("printf", printfArguments);
    ASSERT_EQ(output.status, 0) << output.err;
    std::string expected;
    for (const auto& argument : arguments) {
        expected += "[" + argument + "]\n";
    }
    EXPECT_EQ(output.out, expected);
}

TEST(ShellRun, EnvironmentChangesApplyAndSecretsNeverReachTheTool) {
    ::setenv("STOWAGE_PASSPHRASE", "hunter2", 1);
    ::setenv("STOWAGE_RECOVERY_CODE", "ABCD-EFGH", 1);
    ::setenv("STOWAGE_TEST_KEPT", "kept", 1);
    ::setenv("STOWAGE_TEST_REMOVED", "gone", 1);
    struct Case {
        Shell::Environment environment;
        std::vector<std::string> present;
        std::vector<std::string> absent;
    };
    const std::vector<Case> cases = {
        {{}, {"STOWAGE_TEST_KEPT=kept", "STOWAGE_TEST_REMOVED=gone"}, {}},
        {{{{"ADDED", "a=b"}, {"STOWAGE_TEST_KEPT", "changed"}}, {"STOWAGE_TEST_REMOVED"}},
         {"ADDED=a=b", "STOWAGE_TEST_KEPT=changed"},
         {"STOWAGE_TEST_KEPT=kept", "STOWAGE_TEST_REMOVED"}},
        // Asking for a secret explicitly does not bring it back.
        {{{{"STOWAGE_PASSPHRASE", "again"}}, {}}, {}, {"STOWAGE_PASSPHRASE=again"}},
    };
    for (const auto& c : cases) {
        const auto output = Shell::run("env", {}, std::nullopt, Shell::defaultTimeout, c.environment);
        ASSERT_EQ(output.status, 0) << output.err;
        for (const auto& text : c.present) {
            EXPECT_NE(output.out.find(text + "\n"), std::string::npos) << text;
        }
        for (const auto& text : c.absent) {
            EXPECT_EQ(output.out.find(text), std::string::npos) << text;
        }
        EXPECT_EQ(output.out.find("STOWAGE_PASSPHRASE"), std::string::npos);
        EXPECT_EQ(output.out.find("STOWAGE_RECOVERY_CODE"), std::string::npos);
    }
    for (const char* name :
         {"STOWAGE_PASSPHRASE", "STOWAGE_RECOVERY_CODE", "STOWAGE_TEST_KEPT", "STOWAGE_TEST_REMOVED"}) {
        ::unsetenv(name);
    }
}

TEST(ShellRun, LargeOutputOnBothStreamsIsCapturedWithoutDeadlock) {
    // Standard error is filled first, far beyond a pipe's capacity, while nothing is read from standard
    // output yet; then both streams are written at once.
    const auto output = Shell::run("sh", {"-c", "yes err | head -c 3000000 >&2; yes out | head -c 4000000; "
                                                "(yes OUT | head -c 2000000) & (yes ERR | head -c 2500000 >&2); wait"});
    ASSERT_EQ(output.status, 0);
    ASSERT_EQ(output.out.size(), 6000000u);
    ASSERT_EQ(output.err.size(), 5500000u);
    EXPECT_TRUE(output.out.compare(0, 4000000, repeated("out\n", 4000000)) == 0);
    EXPECT_TRUE(output.out.compare(4000000, 2000000, repeated("OUT\n", 2000000)) == 0);
    EXPECT_TRUE(output.err.compare(0, 3000000, repeated("err\n", 3000000)) == 0);
    EXPECT_TRUE(output.err.compare(3000000, 2500000, repeated("ERR\n", 2500000)) == 0);
}

TEST(ShellRun, StandardInputIsAtEndOfFile) {
    const auto counted = Shell::run("wc", {"-c"}, std::nullopt, 10);
    ASSERT_EQ(counted.status, 0);
    EXPECT_EQ(counted.trimmedOut(), "0");

    const auto read = Shell::run("sh", {"-c", "if read line; then echo got; else echo eof; fi"}, std::nullopt, 10);
    EXPECT_EQ(read.out, "eof\n");
}

TEST(ShellRun, ChildSeesOnlyItsStandardStreams) {
    // Other runs in flight hold pipes of their own; none of them, nor anything else open here, may leak in.
    std::atomic<bool> stop{false};
    std::thread busy([&] {
        while (!stop) {
            Shell::run("sh", {"-c", "sleep 0.05"});
        }
    });
    for (int i = 0; i < 20; ++i) {
        const auto listing = Shell::run("sh", {"-c", "ls /proc/$$/fd"});
        EXPECT_EQ(listing.out, "0\n1\n2\n") << "attempt " << i;
    }
    stop = true;
    busy.join();
}

TEST(ShellRun, WorkingDirectoryIsRespected) {
    testing::TempHome home;
    const auto folder = home.makeDir("work dir");
    const auto inside = Shell::run("pwd", {}, folder);
    ASSERT_EQ(inside.status, 0);
    EXPECT_EQ(inside.trimmedOut(), std::filesystem::canonical(folder).string());

    const auto here = Shell::run("pwd", {});
    EXPECT_EQ(here.trimmedOut(), std::filesystem::current_path().string());
}

TEST(ShellRun, MissingWorkingDirectoryIsAStartFailure) {
    testing::TempHome home;
    const auto output = Shell::run("true", {}, home / "absent");
    EXPECT_EQ(output.status, -1);
    EXPECT_EQ(output.out, "");
    EXPECT_EQ(output.err, "No such file or directory");
}

TEST(ShellRun, UnknownToolGivesEnvsFailure) {
    const auto output = Shell::run("stowage-no-such-tool-4711", {"arg"});
    EXPECT_FALSE(output.ok());
    EXPECT_NE(output.status, -1);
    EXPECT_NE(output.status, Shell::timedOutStatus);
    EXPECT_NE(output.err.find("stowage-no-such-tool-4711"), std::string::npos) << output.err;
}

TEST(ShellRun, NamesEnvWouldMisreadAreRefused) {
    testing::TempHome home;
    const auto marker = home / "ran";
    // As an env operand this would set a variable and then run the first argument as the command.
    const auto assignment = Shell::run("X=1", {"touch", marker});
    EXPECT_EQ(assignment.status, -1);
    EXPECT_FALSE(std::filesystem::exists(marker));

    EXPECT_EQ(Shell::run("-i", {"true"}).status, -1);
    EXPECT_EQ(Shell::run("", {}).status, -1);
}

TEST(ShellRun, InvalidTimeLimitIsRefused) {
    EXPECT_EQ(Shell::run("true", {}, std::nullopt, 0).status, -1);
    EXPECT_EQ(Shell::run("true", {}, std::nullopt, -1).status, -1);
    EXPECT_EQ(Shell::run("true", {}, std::nullopt, std::nan("")).status, -1);
    EXPECT_EQ(Shell::run("true", {}, std::nullopt, INFINITY).status, 0);
}

TEST(ShellDecoding, InvalidUtf8GivesEmptyTextWithTheRealStatus) {
    struct Case {
        const char* bytes; // printf escapes
        bool valid;
    };
    const Case cases[] = {
        {"plain ascii", true},
        {"\\303\\251\\342\\202\\254\\360\\237\\230\\200", true}, // é € 😀
        {"\\357\\277\\277", true},                               // U+FFFF
        {"\\364\\217\\277\\277", true},                          // U+10FFFF
        {"\\377\\376", false},                                   // never valid bytes
        {"\\200", false},                                        // lone continuation byte
        {"\\300\\200", false},                                   // overlong NUL
        {"\\340\\200\\257", false},                              // overlong '/'
        {"\\360\\200\\200\\257", false},                         // overlong '/' in four bytes
        {"\\355\\240\\200", false},                              // surrogate U+D800
        {"\\364\\220\\200\\200", false},                         // U+110000
        {"\\342\\202", false},                                   // truncated sequence
        {"ok\\342\\202x", false},                                // bad continuation
    };
    for (const auto& c : cases) {
        const std::string script = std::string("printf '") + c.bytes + "'; printf '" + c.bytes + "' >&2; exit 3";
        const auto output = Shell::run("sh", {"-c", script});
        EXPECT_EQ(output.status, 3) << c.bytes;
        if (c.valid) {
            EXPECT_FALSE(output.out.empty()) << c.bytes;
            EXPECT_EQ(output.out, output.err) << c.bytes;
        } else {
            EXPECT_EQ(output.out, "") << c.bytes;
            EXPECT_EQ(output.err, "") << c.bytes;
        }
    }
}

TEST(ShellDecoding, TrimmedOutRemovesWhitespaceAndNewlinesAtTheEnds) {
    const auto trimmed = [](std::string text) {
        Shell::Output output;
        output.out = std::move(text);
        return output.trimmedOut();
    };
    EXPECT_EQ(trimmed("  abc\n\n"), "abc");
    EXPECT_EQ(trimmed("\t a  b \r\n"), "a  b");
    EXPECT_EQ(trimmed(" \n\t "), "");
    EXPECT_EQ(trimmed(""), "");
    // NBSP, NEL, LINE SEPARATOR, IDEOGRAPHIC SPACE, EN QUAD, HAIR SPACE, vertical tab, form feed
    EXPECT_EQ(trimmed("\u00a0\u0085\u2028\u3000x y\u2000\u200a\v\f"), "x y");
    // Not whitespace: ZERO WIDTH SPACE, letters made of several bytes.
    EXPECT_EQ(trimmed("\u200bé\u00a0"), "\u200bé");
    EXPECT_EQ(trimmed(" 😀 "), "😀");
    // Bytes that are not UTF-8 stop the trimming instead of being cut apart.
    EXPECT_EQ(trimmed(" \xff \xe2\x80 "), "\xff \xe2\x80");
}

TEST(ShellTimeLimit, SleeperIsStoppedWithTheExactText) {
    const auto start = Clock::now();
    const auto output = Shell::run("sh", {"-c", "echo before; exec sleep 30"}, std::nullopt, 2.9);
    const double elapsed = secondsSince(start);
    EXPECT_EQ(output.status, Shell::timedOutStatus);
    EXPECT_FALSE(output.ok());
    EXPECT_EQ(output.err, "timed out after 2s: sh -c echo before; exec sleep 30");
    // The streams ended once the tool was stopped, so what it wrote is kept.
    EXPECT_EQ(output.out, "before\n");
    EXPECT_GE(elapsed, 2.9);
    EXPECT_LT(elapsed, 2.9 + 5);
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
    const double elapsed = secondsSince(start);
    EXPECT_EQ(output.status, Shell::timedOutStatus);
    EXPECT_EQ(output.err, "timed out after 1s: sh -c trap '' TERM; sleep 60 & echo $$ $! > \"$1\"; echo started; "
                          "wait sh " +
                              pidFile);
    EXPECT_EQ(output.out, "started\n");
    EXPECT_LT(elapsed, 1 + 5);

    pid_t tool = 0;
    pid_t helper = 0;
    std::istringstream(testing::slurp(pidFile)) >> tool >> helper;
    ASSERT_GT(tool, 0);
    ASSERT_GT(helper, 0);

    // The tool itself was reaped by the runner: it is no child of ours any more, not even a zombie.
    int status = 0;
    EXPECT_EQ(::waitpid(tool, &status, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
    EXPECT_FALSE(std::filesystem::exists("/proc/" + std::to_string(tool)));

    // The helper it started, also deaf to SIGTERM, died of SIGKILL with its group.
    pid_t reaped = 0;
    const auto waitStart = Clock::now();
    while ((reaped = ::waitpid(helper, &status, WNOHANG)) == 0 && secondsSince(waitStart) < 5) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_EQ(reaped, helper);
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGKILL);
    EXPECT_TRUE(childrenOfThisProcess().empty());
    ::prctl(PR_SET_CHILD_SUBREAPER, 0);
}

TEST(ShellTimeLimit, HelperHoldingTheStreamsAfterTheToolExitsIsStopped) {
    // The tool ends at once but leaves a helper writing to its standard output; the run must still end
    // near its limit instead of waiting for the helper.
    const auto start = Clock::now();
    const auto output = Shell::run("sh", {"-c", "sleep 60 & echo done"}, std::nullopt, 1);
    const double elapsed = secondsSince(start);
    EXPECT_EQ(output.status, Shell::timedOutStatus);
    EXPECT_EQ(output.err, "timed out after 1s: sh -c sleep 60 & echo done");
    EXPECT_LT(elapsed, 1 + 5);
    EXPECT_TRUE(childrenOfThisProcess().empty());
}

TEST(ShellConcurrency, SimultaneousRunsKeepTheirOwnResults) {
    constexpr int threadCount = 8;
    constexpr int runsPerThread = 5;
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < threadCount; ++t) {
        threads.emplace_back([t, &failures] {
            for (int r = 0; r < runsPerThread; ++r) {
                const std::string id = std::to_string(t) + "-" + std::to_string(r);
                const auto output =
                    Shell::run("sh", {"-c", "printf %s \"$1\"; yes \"$1\" | head -c 200000 >&2; exit $2", "sh", id,
                                      std::to_string((t + r) % 5)});
                const bool good = output.status == (t + r) % 5 && output.out == id && output.err.size() == 200000 &&
                                  output.err.compare(0, id.size(), id) == 0;
                if (!good) {
                    ++failures;
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(failures.load(), 0);
    EXPECT_TRUE(childrenOfThisProcess().empty());
}

TEST(ShellExists, FindsToolsOnTheSearchPath) {
    EXPECT_TRUE(Shell::exists("ls"));
    EXPECT_FALSE(Shell::exists("stowage-no-such-tool-4711"));
    EXPECT_FALSE(Shell::exists(""));
    EXPECT_FALSE(Shell::exists("-a"));
}

// Runs last in this file: after stopAll no tool starts in this process.
TEST(ShellStopAll, SignalsEveryRunningToolAndRefusesNewOnes) {
    std::vector<std::thread> runs;
    std::vector<Shell::Output> outputs(2);
    for (std::size_t i = 0; i < outputs.size(); ++i) {
        runs.emplace_back([&outputs, i] { outputs[i] = Shell::run("sleep", {"30"}); });
    }
    const auto start = Clock::now();
    while (Shell::running() < outputs.size() && secondsSince(start) < 10) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(Shell::stopAll(SIGTERM), outputs.size());
    for (auto& run : runs) {
        run.join();
    }
    EXPECT_LT(secondsSince(start), 20);
    for (const auto& output : outputs) {
        EXPECT_EQ(output.status, 128 + SIGTERM);
    }
    EXPECT_EQ(Shell::running(), 0u);
    EXPECT_TRUE(childrenOfThisProcess().empty());
    EXPECT_EQ(Shell::run("true", {}).status, -1);
}

} // namespace
} // namespace stowage
