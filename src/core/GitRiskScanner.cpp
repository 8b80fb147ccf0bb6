#include "core/GitRiskScanner.hpp"

#include "core/Collation.hpp"
#include "core/GitInfo.hpp"
#include "core/Paths.hpp"
#include "core/Shell.hpp"

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <stdexcept>

namespace stowage {

namespace {

constexpr const char* separator = " \u00B7 ";

std::size_t countLines(const std::string& text) {
    std::size_t count = 0;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t nl = text.find('\n', pos);
        if (nl == std::string::npos)
            nl = text.size();
        std::string_view line(text.data() + pos, nl - pos);
        if (line.find_first_not_of(" \t\r\v\f") != std::string_view::npos)
            ++count;
        pos = nl + 1;
    }
    return count;
}

std::string counted(std::size_t n, const std::string& noun, const char* pluralSuffix) {
    return std::to_string(n) + " " + noun + (n == 1 ? "" : pluralSuffix);
}

Shell::Output git(const std::string& repo, const std::vector<std::string>& arguments) {
    return GitInfo::run(repo, arguments);
}

} // namespace

std::string toString(GitRisk::Kind kind) {
    switch (kind) {
    case GitRisk::Kind::uncommitted:
        return "uncommitted";
    case GitRisk::Kind::unpushed:
        return "unpushed";
    case GitRisk::Kind::stashed:
        return "stashed";
    case GitRisk::Kind::noUpstream:
        return "noUpstream";
    case GitRisk::Kind::uninspected:
        return "uninspected";
    }
    return "uncommitted";
}

std::optional<GitRisk::Kind> gitRiskKindFromString(const std::string& raw) {
    for (auto kind : {GitRisk::Kind::uncommitted, GitRisk::Kind::unpushed, GitRisk::Kind::stashed,
                      GitRisk::Kind::noUpstream, GitRisk::Kind::uninspected})
        if (toString(kind) == raw)
            return kind;
    return std::nullopt;
}

void to_json(nlohmann::json& j, GitRisk::Kind kind) {
    j = toString(kind);
}

void from_json(const nlohmann::json& j, GitRisk::Kind& kind) {
    auto parsed = gitRiskKindFromString(j.get<std::string>());
    if (!parsed)
        throw std::invalid_argument("Unknown repository risk \"" + j.get<std::string>() + "\".");
    kind = *parsed;
}

void to_json(nlohmann::json& j, const GitRisk& risk) {
    j = nlohmann::json{{"repo", risk.repo}, {"name", risk.name}, {"kinds", risk.kinds}, {"detail", risk.detail}};
}

void from_json(const nlohmann::json& j, GitRisk& risk) {
    j.at("repo").get_to(risk.repo);
    j.at("name").get_to(risk.name);
    j.at("kinds").get_to(risk.kinds);
    j.at("detail").get_to(risk.detail);
}

GitRiskScanner::GitRiskScanner(std::vector<std::string> roots_, FileAccessPtr access_)
    : roots(std::move(roots_)), access(std::move(access_)) {}

namespace {

// What git says about one repository, however it was asked.
struct Facts {
    std::size_t changedFiles = 0;
    std::size_t stashes = 0;
    /// Commits the upstream lacks; absent when there is no usable upstream (none configured, gone,
    /// detached head) or no commit at all.
    std::optional<std::size_t> ahead;
    bool hasCommit = false;
    /// Why git could not read the repository at all; the other facts are then meaningless.
    std::optional<std::string> failure;
};

// Git's own reason for a failed run, in one line: the first line it wrote, without "fatal: ".
std::string failureReason(const Shell::Output& out) {
    if (out.status == Shell::timedOutStatus)
        return "git did not answer in time";
    std::string text = out.err;
    const std::size_t begin = text.find_first_not_of(" \t\r\n");
    text = begin == std::string::npos ? std::string() : text.substr(begin);
    text = text.substr(0, text.find('\n'));
    for (const char* prefix : {"fatal: ", "error: "})
        if (text.rfind(prefix, 0) == 0)
            text.erase(0, std::string(prefix).size());
    if (out.status == -1)
        return "git could not be started" + (text.empty() ? std::string() : ": " + text);
    return text.empty() ? "git failed with status " + std::to_string(out.status) : text;
}

Facts failedFacts(const Shell::Output& out) {
    Facts facts;
    facts.failure = failureReason(out);
    return facts;
}

// Arguments shared by both forms of status. Paths are forced into git's quoted ASCII form so a
// file name that is not UTF-8 cannot blank the whole output and hide the work. No optional locks:
// a background status must not hold the index lock against the user's own git. Submodule work trees
// are not looked into: git would run a status inside each with that submodule's own configuration,
// whose filter drivers GitInfo::run cannot switch off from here (a moved submodule commit still counts).
const std::vector<std::string> statusPrefix{"--no-optional-locks", "-c", "core.quotePath=true", "status",
                                            "--ignore-submodules=dirty"};

// One run answers all four questions: changed entries, the stash count, the upstream and the
// commits ahead of it, and whether HEAD has a commit. Absent when git cannot give this form (too
// old, or a header that is not UTF-8), so the caller asks the questions one by one instead.
std::optional<Facts> factsFromOneRun(const std::string& repo) {
    std::vector<std::string> args = statusPrefix;
    args.insert(args.end(), {"--porcelain=v2", "--branch", "--show-stash", "--ahead-behind"});
    Shell::Output out = git(repo, args);
    // A time-out is not retried: asking again, question by question, would only take longer.
    if (out.status == Shell::timedOutStatus)
        return failedFacts(out);
    if (!out.ok())
        return std::nullopt;
    Facts facts;
    bool sawHead = false;
    const std::string text = out.trimmedOut();
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t nl = text.find('\n', pos);
        if (nl == std::string::npos)
            nl = text.size();
        std::string line = text.substr(pos, nl - pos);
        pos = nl + 1;
        if (line.rfind("# ", 0) != 0) {
            if (line.find_first_not_of(" \t\r\v\f") != std::string::npos)
                ++facts.changedFiles;
            continue;
        }
        if (line.rfind("# branch.oid ", 0) == 0) {
            sawHead = true;
            facts.hasCommit = line.substr(13) != "(initial)";
        } else if (line.rfind("# branch.ab +", 0) == 0) {
            char* end = nullptr;
            unsigned long long k = std::strtoull(line.c_str() + 13, &end, 10);
            if (end == line.c_str() + 13 || *end != ' ')
                return std::nullopt;
            facts.ahead = static_cast<std::size_t>(k);
        } else if (line.rfind("# stash ", 0) == 0) {
            char* end = nullptr;
            unsigned long long m = std::strtoull(line.c_str() + 8, &end, 10);
            if (end == line.c_str() + 8 || *end != '\0')
                return std::nullopt;
            facts.stashes = static_cast<std::size_t>(m);
        }
    }
    if (!sawHead)
        return std::nullopt;
    return facts;
}

// The questions asked one git run at a time: status, stash list, the log of commits missing
// upstream and, when that fails, whether HEAD resolves. A failing status means git cannot read the
// repository; after it, a failure counts as "nothing" (no stash, no upstream, no commit).
Facts factsFromSeparateRuns(const std::string& repo) {
    Facts facts;
    std::vector<std::string> args = statusPrefix;
    args.push_back("--porcelain");
    Shell::Output status = git(repo, args);
    if (!status.ok())
        return failedFacts(status);
    facts.changedFiles = countLines(status.trimmedOut());

    // Fixed formats: a stash message or commit subject that is not UTF-8 must not blank the list.
    if (Shell::Output stashes = git(repo, {"stash", "list", "--format=%gd"}); stashes.ok())
        facts.stashes = countLines(stashes.trimmedOut());

    if (Shell::Output log = git(repo, {"log", "@{u}..HEAD", "--format=%h"}); log.ok()) {
        facts.ahead = countLines(log.trimmedOut());
        facts.hasCommit = true;
    } else {
        facts.hasCommit = git(repo, {"rev-parse", "HEAD"}).ok();
    }
    return facts;
}

// `remoteOf` is asked only when the answer depends on it: a commit with no usable upstream.
std::optional<GitRisk> riskFrom(const std::string& repo, const Facts& facts,
                                const std::function<std::optional<std::string>()>& remoteOf) {
    if (facts.failure)
        return GitRisk{repo,
                       paths::lastComponent(repo),
                       {GitRisk::Kind::uninspected},
                       "could not be inspected: " + *facts.failure};
    std::set<GitRisk::Kind> kinds;
    std::vector<std::string> parts;
    if (facts.changedFiles > 0) {
        kinds.insert(GitRisk::Kind::uncommitted);
        parts.push_back(counted(facts.changedFiles, "uncommitted file", "s"));
    }
    if (facts.stashes > 0) {
        kinds.insert(GitRisk::Kind::stashed);
        parts.push_back(counted(facts.stashes, "stash", "es"));
    }
    if (facts.ahead) {
        if (*facts.ahead > 0) {
            kinds.insert(GitRisk::Kind::unpushed);
            parts.push_back(counted(*facts.ahead, "unpushed commit", "s"));
        }
    } else if (facts.hasCommit) {
        // No upstream, a gone upstream or a detached head: the commits have nowhere to go.
        if (remoteOf()) {
            kinds.insert(GitRisk::Kind::unpushed);
            parts.push_back("branch not pushed");
        } else {
            kinds.insert(GitRisk::Kind::noUpstream);
            parts.push_back("no remote");
        }
    }
    if (kinds.empty())
        return std::nullopt;
    std::string detail;
    for (std::size_t i = 0; i < parts.size(); ++i)
        detail += (i == 0 ? "" : separator) + parts[i];
    return GitRisk{repo, paths::lastComponent(repo), std::move(kinds), std::move(detail)};
}

Facts factsOf(const std::string& repo) {
    std::optional<Facts> facts = factsFromOneRun(repo);
    return facts ? *facts : factsFromSeparateRuns(repo);
}

} // namespace

std::optional<GitRisk> GitRiskScanner::assess(const std::string& repo, const std::optional<std::string>& remote) {
    return riskFrom(repo, factsOf(repo), [&] { return remote; });
}

std::optional<GitRisk> GitRiskScanner::assessWithSeparateRuns(const std::string& repo,
                                                              const std::optional<std::string>& remote) {
    return riskFrom(repo, factsFromSeparateRuns(repo), [&] { return remote; });
}

std::vector<GitRisk> GitRiskScanner::scan() const {
    FileAccessPtr files = access ? access : std::make_shared<DirectFileAccess>();
    std::vector<std::optional<GitRisk>> slots;
    {
        AccessScope scope(*files, paths::expandRoots(roots));
        std::vector<std::string> repos = GitInfo::discoverRepos(roots, *files);
        // Each repository's answer goes into its own slot, so the list keeps discovery order exactly
        // as if the repositories had been assessed one after another. A repository's remote only
        // matters when it has commits and no upstream, so only then is git asked for it.
        slots.resize(repos.size());
        GitInfo::forEachConcurrently(repos.size(), [&](std::size_t i) {
            slots[i] = riskFrom(repos[i], factsOf(repos[i]), [&] { return GitInfo::remote(repos[i]); });
        });
    }

    std::vector<GitRisk> risks;
    for (auto& slot : slots)
        if (slot)
            risks.push_back(std::move(*slot));
    std::stable_sort(risks.begin(), risks.end(),
                     [](const GitRisk& a, const GitRisk& b) { return localizedCaseInsensitiveLess(a.name, b.name); });
    return risks;
}

} // namespace stowage
