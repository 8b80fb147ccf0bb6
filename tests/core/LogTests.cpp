#include "core/Log.hpp"

#include "core/Shell.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstring>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace stowage {
namespace {

// Collects what is logged while it is installed; restores the system sink when it goes.
class CapturedLog {
public:
    CapturedLog() {
        Log::setSink([this](const std::string& category, const std::string& message) {
            std::lock_guard lock(mutex_);
            lines_.emplace_back(category, message);
        });
    }
    ~CapturedLog() { Log::setSink(nullptr); }
    CapturedLog(const CapturedLog&) = delete;
    CapturedLog& operator=(const CapturedLog&) = delete;

    std::vector<std::pair<std::string, std::string>> lines() const {
        std::lock_guard lock(mutex_);
        return lines_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::pair<std::string, std::string>> lines_;
};

TEST(Log, ChannelsAreNamedAsTheSystemLogExpects) {
    EXPECT_STREQ(Log::subsystem, "io.larchworks.stowage");
    EXPECT_EQ(Log::scan().category(), "scan");
    EXPECT_EQ(Log::backup().category(), "backup");
    EXPECT_EQ(Log::restore().category(), "restore");
}

TEST(Log, EachLoggerIsCreatedOnceAndSharedByAllThreads) {
    std::vector<std::thread> threads;
    std::mutex mutex;
    std::set<const void*> seen;
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([&] {
            const void* addresses[] = {&Log::scan(), &Log::backup(), &Log::restore()};
            std::lock_guard lock(mutex);
            seen.insert(std::begin(addresses), std::end(addresses));
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(seen.size(), 3u);
    EXPECT_TRUE(seen.count(&Log::scan()) == 1);
}

TEST(Log, MessagesHaveTheirFixedForm) {
    EXPECT_EQ(Log::scanComplete(0), "scan complete: 0 findings");
    EXPECT_EQ(Log::scanComplete(1), "scan complete: 1 findings");
    EXPECT_EQ(Log::scanComplete(LONG_MAX), "scan complete: 9223372036854775807 findings");
    EXPECT_EQ(Log::backupComplete(12, 3), "backup complete: 12 config, 3 secrets");
    EXPECT_EQ(Log::backupComplete(0, 0), "backup complete: 0 config, 0 secrets");
    EXPECT_EQ(Log::backupComplete(LONG_MIN, -1), "backup complete: -9223372036854775808 config, -1 secrets");
}

TEST(Log, InstalledSinkReceivesCategoryAndMessage) {
    std::vector<std::pair<std::string, std::string>> lines;
    {
        CapturedLog log;
        Log::scan().info(Log::scanComplete(47));
        Log::backup().info(Log::backupComplete(5, 2));
        Log::restore().info("restore complete");
        lines = log.lines();
    }
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"scan", "scan complete: 47 findings"},
        {"backup", "backup complete: 5 config, 2 secrets"},
        {"restore", "restore complete"},
    };
    EXPECT_EQ(lines, expected);
}

TEST(Log, RemovedSinkReceivesNothingMore) {
    auto first = std::make_unique<CapturedLog>();
    Log::scan().info("one");
    const auto before = first->lines();
    first.reset(); // back to the system sink
    Log::scan().info(Log::scanComplete(0));

    CapturedLog second;
    Log::backup().info("two");
    ASSERT_EQ(before.size(), 1u);
    EXPECT_EQ(before[0].second, "one");
    ASSERT_EQ(second.lines().size(), 1u);
    EXPECT_EQ(second.lines()[0].second, "two");
}

TEST(Log, ConcurrentLoggingAndSinkChangesLoseNothing) {
    constexpr int threadCount = 8;
    constexpr int linesPerThread = 2000;
    std::mutex mutex;
    std::map<std::string, int> counts;
    std::atomic<int> installs{0};
    const auto makeSink = [&] {
        return [&](const std::string& category, const std::string& message) {
            std::lock_guard lock(mutex);
            ++counts[category + "|" + message];
        };
    };
    Log::setSink(makeSink());

    std::atomic<bool> stop{false};
    std::thread swapper([&] {
        // Sinks are replaced while lines are in flight; every line reaches exactly one of them.
        while (!stop) {
            Log::setSink(makeSink());
            ++installs;
        }
    });
    std::vector<std::thread> threads;
    for (int t = 0; t < threadCount; ++t) {
        threads.emplace_back([t] {
            const Log::Logger& logger = t % 2 == 0 ? Log::scan() : Log::backup();
            for (int i = 0; i < linesPerThread; ++i) {
                logger.info(Log::scanComplete(t));
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    stop = true;
    swapper.join();
    Log::setSink(nullptr);

    EXPECT_GT(installs.load(), 0);
    for (int t = 0; t < threadCount; ++t) {
        const std::string key = std::string(t % 2 == 0 ? "scan" : "backup") + "|" + Log::scanComplete(t);
        EXPECT_EQ(counts[key], linesPerThread) << key;
    }
}

TEST(Log, SyslogFallbackRecordsSubsystemAndCategory) {
    struct stat info {};
    if (::stat("/run/systemd/journal/socket", &info) == 0 || ::stat("/dev/log", &info) == 0 || ::geteuid() != 0) {
        GTEST_SKIP() << "syslog here cannot be listened to without disturbing the machine's own logging";
    }
    // Stands in for the syslog daemon for the length of the test.
    const int listener = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, "/dev/log");
    ASSERT_EQ(::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    Log::setSink(nullptr);
    Log::restore().info("syslog probe");
    timeval limit{5, 0};
    ::setsockopt(listener, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    std::string received;
    char buffer[2048];
    while (received.find("syslog probe") == std::string::npos) {
        const ssize_t n = ::recv(listener, buffer, sizeof buffer, 0);
        if (n <= 0)
            break;
        received.assign(buffer, static_cast<std::size_t>(n));
    }
    ::close(listener);
    ::unlink("/dev/log");
    EXPECT_NE(received.find("stowage["), std::string::npos) << received;
    EXPECT_NE(received.find("io.larchworks.stowage restore: syslog probe"), std::string::npos) << received;
}

TEST(Log, SystemSinkRecordsSubsystemAndCategoryInTheJournal) {
    struct stat info {};
    if (::stat("/run/systemd/journal/socket", &info) != 0 || !Shell::exists("journalctl")) {
        GTEST_SKIP() << "no systemd journal on this machine";
    }
    Log::setSink(nullptr);
    std::random_device random;
    const std::string message = "journal probe " + std::to_string(random()) + std::to_string(random());
    Log::restore().info(message);

    const std::vector<std::string> query = {"--no-pager",
                                            "--output=cat",
                                            "--output-fields=MESSAGE",
                                            "_PID=" + std::to_string(::getpid()),
                                            "SYSLOG_IDENTIFIER=stowage",
                                            "STOWAGE_SUBSYSTEM=io.larchworks.stowage",
                                            "STOWAGE_CATEGORY=restore"};
    Shell::Output found;
    const auto start = std::chrono::steady_clock::now();
    do {
        found = Shell::run("journalctl", query, std::nullopt, 20);
        if (found.out.find(message) != std::string::npos) {
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    } while (std::chrono::steady_clock::now() - start < std::chrono::seconds(5));
    if (!found.err.empty()) {
        GTEST_SKIP() << "the journal cannot be read back here: " << found.err;
    }
    FAIL() << "the line did not reach the journal with its fields";
}

} // namespace
} // namespace stowage
