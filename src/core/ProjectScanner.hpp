#pragma once
// Finds the user's software projects under the scan roots and classifies each by how safe its
// source is: in git with a remote to clone again from, in git without a remote, or not in git.

#include "core/FileAccess.hpp"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace stowage {

enum class ProjectKind { gitWithRemote, gitNoRemote, nonGit };

std::string toString(ProjectKind kind);
std::optional<ProjectKind> projectKindFromString(const std::string& raw);
/// "git (has remote)", "git, no remote", "not in git".
std::string label(ProjectKind kind);
/// Whether the project's source exists only on this machine: every kind but gitWithRemote.
bool sourceAtRisk(ProjectKind kind);

void to_json(nlohmann::json& j, ProjectKind kind);
void from_json(const nlohmann::json& j, ProjectKind& kind);

/// One detected project, identified by its path.
struct ProjectInfo {
    /// Absolute path of the project folder.
    std::string path;
    /// The last component of `path`.
    std::string name;
    ProjectKind kind = ProjectKind::nonGit;

    bool operator==(const ProjectInfo&) const = default;
};

/// Keys "path", "name", "kind" (raw value).
void to_json(nlohmann::json& j, const ProjectInfo& project);
void from_json(const nlohmann::json& j, ProjectInfo& project);

class ProjectScanner {
public:
    /// Roots may begin with "~".
    ProjectScanner(std::vector<std::string> roots, FileAccessPtr access);

    std::vector<std::string> roots;
    FileAccessPtr access;

    /// File names whose presence directly inside a folder makes it a project (compared exactly);
    /// entries ending in ".xcodeproj" or ".xcworkspace" count as well.
    static const std::set<std::string>& markers();
    /// Folder names never entered; names beginning with "." are never entered either.
    static const std::set<std::string>& pruned();

    /// The walk looks at most this many levels below each root (the root is level 0).
    static constexpr int maxLevel = 4;
    /// A folder is examined only while at most this many projects have been collected.
    static constexpr std::size_t projectCap = 400;

    /// The projects under `roots`, ordered by name (locale-aware, letter case ignored; equal names
    /// keep discovery order). A folder with ".git" is a git project, else a folder with a marker is
    /// a project outside git; either way its contents are not visited. A folder reached through
    /// overlapping roots is listed once, with the kind found first. Unreadable folders are skipped.
    std::vector<ProjectInfo> scan() const;
};

} // namespace stowage
