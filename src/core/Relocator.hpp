#pragma once
// Where each secret of a bundle goes on this machine. Project-scoped secrets (a project's .env and
// the like) were captured with the identity of their repository; on another machine the same
// repository usually sits in another folder, found again by its normalized remote address.

#include "core/GitInfo.hpp"
#include "core/ProjectContext.hpp"

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace stowage {

/// The destination decided for one bundle file.
struct RelocationPlan {
    /// Raw values "matchedRepo", "repoNotFound", "absolute".
    enum class Match {
        /// A local repository with the same normalized remote was found; the destination lies in it.
        matchedRepo,
        /// The file is project-scoped but no local repository matches (or the project had no
        /// remote); there is no destination until the user decides.
        repoNotFound,
        /// The file is not project-scoped; the destination is its recorded path.
        absolute,
    };

    /// The file's recorded path in the bundle; also the plan's identity.
    std::string originalPath;
    /// The project the file belongs to; absent for files that are not project-scoped.
    std::optional<ProjectContext> project;
    Match match = Match::absolute;
    /// Where the file will be written; absent when no matching repository was found.
    std::optional<std::string> destination;
    /// Root of the matched local repository, present exactly when `match` is matchedRepo.
    std::optional<std::string> matchedRepoRoot;

    const std::string& id() const { return originalPath; }
    bool operator==(const RelocationPlan&) const = default;
};

const std::vector<RelocationPlan::Match>& allRelocationMatches();
std::string toString(RelocationPlan::Match match);
std::optional<RelocationPlan::Match> relocationMatchFromString(const std::string& raw);

/// One bundle file as relocation sees it: its recorded path and its project, if any.
using RelocationFile = std::pair<std::string, std::optional<ProjectContext>>;

namespace Relocator {

/// One plan per file, in the order given. Repositories are matched by GitInfo::normalizeRemote of
/// their remote (repositories without one are never matched). Among several clones of one remote
/// the first, in the order given, whose folder has the recorded project's folder name wins; else
/// the one whose root sorts first. The file goes to the same place inside the chosen repository
/// (`project.relPath`), or directly into its root under its own name when `flatten` is set. A
/// project whose recorded path inside the repository would leave it ("..", an absolute or empty
/// path) is never matched.
std::vector<RelocationPlan> plan(const std::vector<RelocationFile>& files, const std::vector<LocalRepo>& repos,
                                 bool flatten);

} // namespace Relocator

/// The match encodes as its raw value (an unknown value fails to decode); a plan with its field
/// names as keys, absent optional fields left out.
void to_json(nlohmann::json& j, RelocationPlan::Match match);
void from_json(const nlohmann::json& j, RelocationPlan::Match& match);
void to_json(nlohmann::json& j, const RelocationPlan& plan);
void from_json(const nlohmann::json& j, RelocationPlan& plan);

} // namespace stowage
