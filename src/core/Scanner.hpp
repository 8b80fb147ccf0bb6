#pragma once
// Turns the catalog into an Inventory: resolves each rule's patterns on disk, hunts project `.env`
// files under the project roots, drops excluded paths and records whether config files are committed
// in a git repository. Read-only; never throws; unreadable things simply do not appear.

#include "core/FileAccess.hpp"
#include "core/Models.hpp"

#include <set>
#include <string>
#include <vector>

namespace stowage {

class Scanner {
public:
    /// Folder names the `.env` hunt never enters (compared with the folder's last component).
    static const std::set<std::string>& prunedDirs();
    /// A folder is listed only at depth ≤ maxEnvDepth below a root (the root is depth 0).
    static constexpr int maxEnvDepth = 8;

    Scanner(std::vector<ArtifactRule> rules, std::vector<std::string> projectRoots, int maxEnvFiles,
            std::vector<std::string> exclude, FileAccessPtr access);

    Inventory scan() const;

    /// The candidates of one `paths` rule, de-duplicated, in pattern and glob order.
    std::vector<FoundPath> matchPaths(const std::vector<std::string>& patterns) const;
    /// The `.env` hunt across all project roots.
    std::vector<FoundPath> scanEnvFiles() const;
    /// Whether git tracks `path` in the nearest enclosing repository (following a symlinked path).
    GitTracking gitTracking(const std::string& path) const;

private:
    /// Appends to `result` at most `cap` `.env` files found below `root`, in depth-first listing order.
    void huntRoot(const std::string& root, size_t cap, std::vector<FoundPath>& result) const;
    /// Depth-first hunt below `folder`, stopping once `result` holds `cap` entries.
    void walk(const std::string& folder, int depth, size_t cap, std::vector<FoundPath>& result) const;

    std::vector<ArtifactRule> rules_;
    std::vector<std::string> projectRoots_;
    int maxEnvFiles_;
    std::vector<std::string> exclude_;
    FileAccessPtr access_;
};

} // namespace stowage
