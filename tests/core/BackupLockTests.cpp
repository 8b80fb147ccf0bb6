// One backup at a time per folder: a second run is refused before it writes anything, and a lock
// never outlives its holder.

#include "core/BackupEngine.hpp"
#include "core/BackupError.hpp"
#include "core/BackupLock.hpp"

#include "support/TempHome.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/wait.h>
#include <unistd.h>

using namespace stowage;
using stowage::testing::TempHome;
namespace fs = std::filesystem;

namespace {

std::string thrownBy(const std::function<void()>& body) {
    try {
        body();
    } catch (const BackupError& e) {
        return e.message();
    }
    return {};
}

} // namespace

TEST(BackupLock, ASecondHolderIsRefusedUntilTheFirstLetsGo) {
    TempHome home;
    const std::string folder = home.makeDir("Backup");
    {
        BackupLock first(folder);
        EXPECT_EQ(thrownBy([&] { BackupLock second(folder); }), BackupLock::busyMessage);

        // Another process is refused too: the lock is the kernel's, not this object's.
        const pid_t child = ::fork();
        if (child == 0) {
            try {
                BackupLock other(folder);
                ::_exit(0);
            } catch (const BackupError&) {
                ::_exit(3);
            }
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        EXPECT_EQ(WEXITSTATUS(status), 3);
    }
    EXPECT_EQ(thrownBy([&] { BackupLock again(folder); }), "");
}

TEST(BackupLock, ALinkPlantedAtTheLockNameIsNotFollowed) {
    TempHome home;
    const std::string folder = home.makeDir("Backup");
    const std::string target = home / "elsewhere";
    fs::create_symlink(target, folder + "/" + BackupLock::fileName);
    EXPECT_NE(thrownBy([&] { BackupLock lock(folder); }), "");
    EXPECT_FALSE(fs::exists(target)) << "the lock must not create a file through a planted link";
}

TEST(BackupLock, ABackupRunWhileTheFolderIsLockedIsRefusedAndWritesNothing) {
    TempHome home;
    home.writeFile(".gitconfig", "[user]\n\tname = A\n");
    const std::string folder = home.makeDir("Backup");
    BackupLock held(folder);

    Inventory inventory;
    BackupOptions options;
    options.includeConfig = true;
    BackupEngine engine(std::make_shared<DirectFileAccess>());
    EXPECT_EQ(thrownBy([&] { engine.run(inventory, folder, options); }), BackupLock::busyMessage);
    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(folder))
        left.push_back(entry.path().filename().string());
    EXPECT_EQ(left, std::vector<std::string>{BackupLock::fileName});
}
