#include "core/GitRiskScanner.hpp"

#include "core/Collation.hpp"
#include "core/GitInfo.hpp"
#include "core/Paths.hpp"
#include "core/Shell.hpp"

#include <algorithm>
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

Shell::Output git(const std::string& repo, std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {"-C", repo});
    return Shell::run("git", arguments);
}

// Keeps access to the expanded roots open for the whole scan, git runs included.
class AccessBracket {
public:
    AccessBracket(FileAccessProvider& access, const std::vector<std::string>& roots) : access_(access) {
        for (const std::string& root : roots) {
            std::string r = paths::expandTilde(root);
            while (r.size() > 1 && r.back() == '/')
                r.pop_back();
            if (!r.empty()) {
                access_.beginAccess(r);
                opened_.push_back(r);
            }
        }
    }
    ~AccessBracket() {
        for (auto it = opened_.rbegin(); it != opened_.rend(); ++it)
            access_.endAccess(*it);
    }
    AccessBracket(const AccessBracket&) = delete;
    AccessBracket& operator=(const AccessBracket&) = delete;

private:
    FileAccessProvider& access_;
    std::vector<std::string> opened_;
};

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
    }
    return "uncommitted";
}

std::optional<GitRisk::Kind> gitRiskKindFromString(const std::string& raw) {
    for (auto kind :
         {GitRisk::Kind::uncommitted, GitRisk::Kind::unpushed, GitRisk::Kind::stashed, GitRisk::Kind::noUpstream})
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

std::optional<GitRisk> GitRiskScanner::assess(const std::string& repo, const std::optional<std::string>& remote) {
    std::set<GitRisk::Kind> kinds;
    std::vector<std::string> parts;

    // Paths are forced into git's quoted ASCII form and the lists below use fixed formats, so no
    // file name or commit subject that is not UTF-8 can blank the output and hide the work.
    // No optional locks: a background status must not hold the index lock against the user's own git.
    Shell::Output status = git(repo, {"--no-optional-locks", "-c", "core.quotePath=true", "status", "--porcelain"});
    if (std::size_t n = countLines(status.trimmedOut()); n > 0) {
        kinds.insert(GitRisk::Kind::uncommitted);
        parts.push_back(counted(n, "uncommitted file", "s"));
    }

    Shell::Output stashes = git(repo, {"stash", "list", "--format=%gd"});
    if (stashes.ok()) {
        if (std::size_t m = countLines(stashes.trimmedOut()); m > 0) {
            kinds.insert(GitRisk::Kind::stashed);
            parts.push_back(counted(m, "stash", "es"));
        }
    }

    Shell::Output ahead = git(repo, {"log", "@{u}..HEAD", "--format=%h"});
    if (ahead.ok()) {
        if (std::size_t k = countLines(ahead.trimmedOut()); k > 0) {
            kinds.insert(GitRisk::Kind::unpushed);
            parts.push_back(counted(k, "unpushed commit", "s"));
        }
    } else if (git(repo, {"rev-parse", "HEAD"}).ok()) {
        // No upstream, a detached head: the commits have nowhere to go.
        if (remote) {
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

std::vector<GitRisk> GitRiskScanner::scan() const {
    FileAccessPtr files = access ? access : std::make_shared<DirectFileAccess>();
    std::vector<std::optional<GitRisk>> slots;
    {
        AccessBracket bracket(*files, roots);
        std::vector<LocalRepo> repos = GitInfo::findRepos(roots, *files);
        // Each repository's answer goes into its own slot, so the list keeps discovery order exactly
        // as if the repositories had been assessed one after another.
        slots.resize(repos.size());
        GitInfo::forEachConcurrently(repos.size(),
                                     [&](std::size_t i) { slots[i] = assess(repos[i].root, repos[i].remote); });
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
