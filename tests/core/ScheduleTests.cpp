// What a hostile program path or status file could make of the scheduled run: the service unit
// names exactly the program, and the last-run record is read only from a small plain file.

#include "core/Schedule.hpp"
#include "support/RunStowage.hpp"
#include "support/TempHome.hpp"

#include <gtest/gtest.h>

#include <filesystem>

using namespace stowage;
using stowage::testing::contains;
using stowage::testing::TempHome;
namespace fs = std::filesystem;

TEST(ScheduleTest, TheServiceRunsExactlyTheProgramWhateverItsPathHolds) {
    struct Case {
        const char* executable;
        const char* execStart;
    };
    const std::vector<Case> cases{
        {"/opt/my apps/stowage", "ExecStart=\"/opt/my apps/stowage\" backup --scheduled\n"},
        {"/opt/100%h/stowage", "ExecStart=\"/opt/100%%h/stowage\" backup --scheduled\n"},
        {"/opt/a\"b\\c/stowage", "ExecStart=\"/opt/a\\\"b\\\\c/stowage\" backup --scheduled\n"},
    };
    for (const auto& c : cases)
        EXPECT_TRUE(contains(schedule::serviceUnit(c.executable), c.execStart)) << schedule::serviceUnit(c.executable);
}

TEST(ScheduleTest, TheLastRunIsReadOnlyFromASmallPlainFile) {
    TempHome home;
    const std::string record = home / "state/last.json";
    schedule::writeLastRun(record, {Timestamp(std::chrono::seconds(1765100000)), false, "The disk is full."});
    auto read = schedule::readLastRun(record);
    ASSERT_TRUE(read);
    EXPECT_FALSE(read->succeeded);
    EXPECT_EQ(read->message, "The disk is full.");

    fs::create_symlink(record, home / "state/link.json");
    home.writeFile("state/huge.json", std::string(64 * 1024, ' ') + stowage::testing::slurp(record));
    for (const char* name : {"state/link.json", "state/huge.json", "state", "state/missing.json"})
        EXPECT_FALSE(schedule::readLastRun(home / name)) << name;
}
