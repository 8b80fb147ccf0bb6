#pragma once
// Finds the git repositories under the scan roots whose work exists only on this machine —
// uncommitted changes, stashes, commits the upstream lacks, branches with nowhere to go — and
// reports each as a GitRisk for the audit.

#include "core/FileAccess.hpp"

#include <nlohmann/json.hpp>

#include <optional>
#include <set>
#include <string>
#include <vector>

namespace stowage {

/// One repository with unsaved work.
struct GitRisk {
    enum class Kind {
        /// The working tree has changes or untracked files.
        uncommitted,
        /// Commits exist that the upstream lacks, or the branch has no upstream although a remote exists.
        unpushed,
        /// The repository has stash entries.
        stashed,
        /// The branch has no upstream and the repository has no remote at all.
        noUpstream,
        /// Git could not read the repository (ownership refused, damaged, timed out): whatever work it
        /// holds is unknown. Always the only kind; the detail gives git's reason.
        uninspected,
    };

    /// The repository root; identifies the risk.
    std::string repo;
    /// The last component of `repo`.
    std::string name;
    /// Never empty.
    std::set<Kind> kinds;
    /// A human summary such as "1 uncommitted file · 2 stashes · 3 unpushed commits", or for an
    /// uninspected repository "could not be inspected: " and git's reason.
    std::string detail;

    /// Whether git could not read the repository (kinds is {uninspected}).
    bool uninspected() const { return kinds.count(Kind::uninspected) != 0; }

    bool operator==(const GitRisk&) const = default;
};

std::string toString(GitRisk::Kind kind);
std::optional<GitRisk::Kind> gitRiskKindFromString(const std::string& raw);

void to_json(nlohmann::json& j, GitRisk::Kind kind);
void from_json(const nlohmann::json& j, GitRisk::Kind& kind);
/// Keys "repo", "name", "kinds" (raw values), "detail".
void to_json(nlohmann::json& j, const GitRisk& risk);
void from_json(const nlohmann::json& j, GitRisk& risk);

class GitRiskScanner {
public:
    /// Roots may begin with "~".
    GitRiskScanner(std::vector<std::string> roots, FileAccessPtr access);

    std::vector<std::string> roots;
    FileAccessPtr access;

    /// The repositories at risk under `roots`, ordered by name (locale-aware, letter case ignored;
    /// equal names keep discovery order): the repositories of GitInfo::findRepos, each assessed
    /// with its remote. Repositories are assessed several at a time and a remote is read only where
    /// the answer depends on it; the result is exactly that of assessing them one after another.
    std::vector<GitRisk> scan() const;

    /// What is at risk in one repository; absent when nothing is. A repository git cannot read gives
    /// a risk of kind uninspected with git's reason, never "nothing at risk". `remote`
    /// decides whether a branch without upstream counts as unpushed or as having no remote.
    /// Uncommitted files come first in the detail, then stashes, then what is not pushed.
    /// One git run answers everything where git can; otherwise assessWithSeparateRuns answers.
    static std::optional<GitRisk> assess(const std::string& repo, const std::optional<std::string>& remote);

    /// The same answer as assess, asking git one question per run: status, stash list, the log of
    /// commits the upstream lacks and, when there is no upstream, whether HEAD has a commit.
    static std::optional<GitRisk> assessWithSeparateRuns(const std::string& repo,
                                                         const std::optional<std::string>& remote);
};

} // namespace stowage
