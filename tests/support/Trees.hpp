#pragma once
// Whole-tree comparisons for round-trip, crash and kill tests: what every entry below a folder holds,
// seen without following links, so two trees compare equal only when bytes, permission bits, folders
// and links all agree.

#include <cstdint>
#include <map>
#include <ostream>
#include <set>
#include <string>
#include <vector>

namespace stowage::testing {

struct TreeEntry {
    /// "file", "dir" or "link".
    std::string type;
    /// A file's bytes, a link's target; empty for a folder.
    std::string content;
    /// Permission bits (07777); 0 for a link.
    std::uint16_t mode = 0;
    /// The inode, so a test can tell a file left alone from one rewritten with the same bytes.
    std::uint64_t inode = 0;

    bool operator==(const TreeEntry& other) const {
        return type == other.type && content == other.content && mode == other.mode;
    }
};

/// Shown in failure messages as "<type> <mode in octal> <size> bytes".
void PrintTo(const TreeEntry& entry, std::ostream* out);

/// Every entry below `root`, keyed by its path relative to `root` (no leading "/"); names in
/// `leaveOut` are skipped with everything below them. Empty when `root` is not a folder.
std::map<std::string, TreeEntry> treeOf(const std::string& root, const std::set<std::string>& leaveOut = {});

/// Permission bits of the entry itself (links not followed); 0xffff when it cannot be examined.
std::uint16_t modeOf(const std::string& path);

/// Paths below `root` whose names mark an atomic write's temporary file (".stowage-tmp-").
std::vector<std::string> temporaryFilesBelow(const std::string& root);

/// Restores the process umask when left.
class UmaskScope {
public:
    explicit UmaskScope(unsigned mask);
    ~UmaskScope();
    UmaskScope(const UmaskScope&) = delete;
    UmaskScope& operator=(const UmaskScope&) = delete;

private:
    unsigned saved_;
};

/// The seed of a randomised test: STOWAGE_TEST_SEED when set, else a fresh one. Printed, so any
/// failure can be replayed.
std::uint64_t testSeed(const char* testName);
/// A positive count from the environment variable `name`, else `fallback`.
int countFromEnvironment(const char* name, int fallback);

} // namespace stowage::testing
