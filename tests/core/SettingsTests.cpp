#include "core/Settings.hpp"
#include "support/TempHome.hpp"

#include <gtest/gtest.h>

using namespace stowage;
using stowage::testing::TempHome;

TEST(SettingsLinesTest, SplitsAtNewlinesAndCommasAndTrimsSpacesAndTabs) {
    EXPECT_TRUE(settings::lines(" , \n,, \t\n").empty());
    EXPECT_EQ(settings::lines(" \t~/Work \t,with inner space"),
              (std::vector<std::string>{"~/Work", "with inner space"}));
    EXPECT_EQ(settings::lines("~/a, ~/b\n~/c"), (std::vector<std::string>{"~/a", "~/b", "~/c"}));
    EXPECT_EQ(settings::lines("a\r\nb\u2028c\u0085d"), (std::vector<std::string>{"a", "b", "c", "d"}));
}

TEST(SettingsStoreTest, DefaultsApplyOnlyWhenKeysAreAbsentAndLastBackupAtRoundTrips) {
    TempHome home;
    auto store = DefaultsStore::standard();
    EXPECT_EQ(settings::scanRoots(*store), std::vector<std::string>{"~/Development"});
    EXPECT_TRUE(settings::excludeGlobs(*store).empty());
    EXPECT_EQ(settings::backupDir(*store), home / "StowageBackup");

    store->setString("scanRoots", " , \n");
    EXPECT_EQ(settings::scanRoots(*store), std::vector<std::string>{"~/Development"});
    store->setString("scanRoots", "~/src,~/work\n/opt/p");
    EXPECT_EQ(settings::scanRoots(*store), (std::vector<std::string>{"~/src", "~/work", "/opt/p"}));
    store->setString("excludeGlobs", "*.log\n**/cache/**");
    EXPECT_EQ(settings::excludeGlobs(*store), (std::vector<std::string>{"*.log", "**/cache/**"}));
    store->setString("backupDir", "");
    EXPECT_EQ(settings::backupDir(*store), "") << "a stored empty string is used unchanged";

    // The last backup time round-trips; zero, negative or foreign values read as never.
    auto when = std::chrono::system_clock::from_time_t(1'800'000'000);
    settings::setLastBackupAt(*store, when);
    EXPECT_EQ(std::chrono::round<std::chrono::seconds>(settings::lastBackupAt(*store).value_or(decltype(when){})),
              std::chrono::round<std::chrono::seconds>(when));
    EXPECT_DOUBLE_EQ(*store->real("lastBackupAt"), 1'800'000'000.0 - 978307200.0);

    settings::setLastBackupAt(*store, std::nullopt);
    EXPECT_EQ(store->integer("lastBackupAt"), 0);
    EXPECT_FALSE(settings::lastBackupAt(*store).has_value());
    store->setReal("lastBackupAt", -5);
    EXPECT_FALSE(settings::lastBackupAt(*store).has_value());
}
