#include "core/Log.hpp"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <climits>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace stowage {
namespace {

TEST(Log, InstalledSinkReceivesCategoryAndMessageUntilRemoved) {
    std::vector<std::pair<std::string, std::string>> lines;
    Log::setSink(
        [&](const std::string& category, const std::string& message) { lines.emplace_back(category, message); });
    Log::scan().info(Log::scanComplete(LONG_MAX));
    Log::backup().info(Log::backupComplete(LONG_MIN, -1));
    Log::restore().info("restore complete");
    Log::setSink(nullptr);
    Log::scan().info("to the system sink");
    EXPECT_EQ(lines, (decltype(lines){{"scan", "scan complete: 9223372036854775807 findings"},
                                      {"backup", "backup complete: -9223372036854775808 config, -1 secrets"},
                                      {"restore", "restore complete"}}));
}

TEST(Log, ConcurrentLoggingAndSinkChangesLoseNothing) {
    constexpr int threadCount = 8, linesPerThread = 2000;
    std::array<std::atomic<int>, threadCount> counts{};
    const auto sink = [&](const std::string&, const std::string& message) {
        ++counts.at(std::stoul(message.substr(std::string("scan complete: ").size())));
    };
    Log::setSink(sink);
    std::atomic<bool> stop{false};
    std::thread swapper([&] {
        // Sinks are replaced while lines are in flight; every line reaches exactly one of them.
        while (!stop)
            Log::setSink(sink);
    });
    std::vector<std::thread> threads;
    for (int t = 0; t < threadCount; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < linesPerThread; ++i)
                (t % 2 == 0 ? Log::scan() : Log::backup()).info(Log::scanComplete(t));
        });
    for (auto& thread : threads)
        thread.join();
    stop = true;
    swapper.join();
    Log::setSink(nullptr);
    for (int t = 0; t < threadCount; ++t)
        EXPECT_EQ(counts[static_cast<std::size_t>(t)], linesPerThread) << t;
}

TEST(Log, SyslogFallbackRecordsSubsystemAndCategory) {
    struct stat info {};
    if (::stat("/run/systemd/journal/socket", &info) == 0 || ::stat("/dev/log", &info) == 0 || ::geteuid() != 0)
        GTEST_SKIP() << "syslog here cannot be listened to without disturbing the machine's own logging";
    // Stands in for the syslog daemon for the length of the test.
    const int listener = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    sockaddr_un address{AF_UNIX, "/dev/log"};
    ASSERT_EQ(::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    Log::setSink(nullptr);
    Log::restore().info("syslog probe");
    timeval limit{5, 0};
    ::setsockopt(listener, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    std::string received;
    char buffer[2048];
    for (ssize_t n = 1; n > 0 && received.find("syslog probe") == std::string::npos;)
        if ((n = ::recv(listener, buffer, sizeof buffer, 0)) > 0)
            received.assign(buffer, static_cast<std::size_t>(n));
    ::close(listener);
    ::unlink("/dev/log");
    EXPECT_TRUE(received.find("stowage[") != std::string::npos &&
                received.find("io.larchworks.stowage restore: syslog probe") != std::string::npos)
        << received;
}

} // namespace
} // namespace stowage
