#include "support/Trees.hpp"

#include "support/TempHome.hpp"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <sys/stat.h>

namespace fs = std::filesystem;

namespace stowage::testing {

std::map<std::string, TreeEntry> treeOf(const std::string& root, const std::set<std::string>& leaveOut) {
    std::map<std::string, TreeEntry> tree;
    std::error_code ec;
    if (!fs::is_directory(fs::symlink_status(root, ec)))
        return tree;
    for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        const std::string path = it->path().string();
        if (leaveOut.count(it->path().filename().string()) != 0) {
            it.disable_recursion_pending();
            continue;
        }
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0)
            continue;
        TreeEntry entry;
        entry.inode = st.st_ino;
        if (S_ISLNK(st.st_mode)) {
            entry.type = "link";
            entry.content = fs::read_symlink(path, ec).string();
        } else if (S_ISDIR(st.st_mode)) {
            entry.type = "dir";
            entry.mode = static_cast<std::uint16_t>(st.st_mode & 07777);
        } else {
            entry.type = "file";
            entry.content = slurp(path);
            entry.mode = static_cast<std::uint16_t>(st.st_mode & 07777);
        }
        tree[path.substr(root.size() + 1)] = std::move(entry);
    }
    return tree;
}

void PrintTo(const TreeEntry& entry, std::ostream* out) {
    *out << entry.type << " " << std::oct << entry.mode << std::dec << " " << entry.content.size() << " bytes";
}

std::uint16_t modeOf(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? static_cast<std::uint16_t>(st.st_mode & 07777) : 0xffff;
}

std::vector<std::string> temporaryFilesBelow(const std::string& root) {
    std::vector<std::string> found;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec))
        if (it->path().filename().string().find(".stowage-tmp-") != std::string::npos)
            found.push_back(it->path().string());
    return found;
}

UmaskScope::UmaskScope(unsigned mask) : saved_(::umask(static_cast<mode_t>(mask))) {}
UmaskScope::~UmaskScope() {
    ::umask(static_cast<mode_t>(saved_));
}

std::uint64_t testSeed(const char* testName) {
    std::uint64_t seed = 0;
    if (const char* given = std::getenv("STOWAGE_TEST_SEED"); given != nullptr && *given != '\0')
        seed = std::strtoull(given, nullptr, 10);
    else
        seed = std::random_device{}() ^
               static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    std::printf("%s: seed %llu (replay with STOWAGE_TEST_SEED=%llu)\n", testName, static_cast<unsigned long long>(seed),
                static_cast<unsigned long long>(seed));
    std::fflush(stdout);
    return seed;
}

int countFromEnvironment(const char* name, int fallback) {
    const char* given = std::getenv(name);
    if (given == nullptr || *given == '\0')
        return fallback;
    int value = std::atoi(given);
    return value > 0 ? value : fallback;
}

} // namespace stowage::testing
