#include "core/Scanner.hpp"

#include "core/GitInfo.hpp"
#include "core/Glob.hpp"
#include "core/Log.hpp"
#include "core/Paths.hpp"
#include "core/Shell.hpp"

#include <glob.h>

namespace stowage {

namespace {

bool isEnvFileName(const std::string& name) {
    return name == ".env" || name.rfind(".env.", 0) == 0;
}

/// POSIX glob without sorting; errors and no match give nothing.
std::vector<std::string> posixGlob(const std::string& pattern) {
    std::vector<std::string> result;
    glob_t g{};
    if (::glob(pattern.c_str(), GLOB_NOSORT, nullptr, &g) == 0) {
        for (size_t i = 0; i < g.gl_pathc; ++i)
            result.emplace_back(g.gl_pathv[i]);
    }
    ::globfree(&g);
    return result;
}

} // namespace

const std::set<std::string>& Scanner::prunedDirs() {
    static const std::set<std::string> names{"node_modules", ".git",   "Pods",    "build",   "DerivedData",
                                             ".next",        "dist",   "vendor",  ".venv",   "venv",
                                             ".tox",         "target", ".gradle", "Carthage"};
    return names;
}

Scanner::Scanner(std::vector<ArtifactRule> rules, std::vector<std::string> projectRoots, int maxEnvFiles,
                 std::vector<std::string> exclude, FileAccessPtr access)
    : rules_(std::move(rules)), projectRoots_(std::move(projectRoots)), maxEnvFiles_(maxEnvFiles),
      exclude_(std::move(exclude)), access_(std::move(access)) {}

Inventory Scanner::scan() const {
    const std::string home = paths::homeFolder();
    access_->beginAccess(home);
    std::vector<Finding> findings;
    for (const auto& rule : rules_) {
        std::vector<FoundPath> candidates;
        switch (rule.kind) {
        case ScanKind::paths:
            candidates = matchPaths(rule.paths);
            break;
        case ScanKind::envFiles:
            candidates = scanEnvFiles();
            break;
        case ScanKind::command:
            break;
        }
        std::vector<FoundPath> kept;
        for (auto& c : candidates)
            if (!Glob::matchesAny(c.path, exclude_))
                kept.push_back(std::move(c));
        if (kept.empty())
            continue;
        if (rule.tier == Tier::config)
            for (auto& p : kept)
                p.tracking = gitTracking(p.path);
        findings.push_back(Finding{rule, std::move(kept)});
    }
    Log::scan().info(Log::scanComplete(static_cast<long>(findings.size())));
    Inventory inventory{std::move(findings), std::chrono::system_clock::now()};
    access_->endAccess(home);
    return inventory;
}

std::vector<FoundPath> Scanner::matchPaths(const std::vector<std::string>& patterns) const {
    std::set<std::string> taken;
    std::vector<FoundPath> result;
    for (const auto& pattern : patterns) {
        // Whether a pattern is a glob is the pattern's own property: a "*" in the home or XDG folder
        // that replaces its first component is a literal character of that folder's name.
        const bool isGlob = pattern.find('*') != std::string::npos;
        const std::string expanded = paths::expandPattern(pattern, isGlob);
        // A pattern whose base folder is unknown would otherwise be resolved against the working folder.
        if (expanded.empty() || expanded[0] != '/')
            continue;
        std::vector<std::string> candidates;
        if (isGlob)
            candidates = posixGlob(expanded);
        else if (access_->exists(expanded))
            candidates.push_back(expanded);
        for (const auto& candidate : candidates) {
            if (!taken.insert(candidate).second)
                continue;
            auto info = access_->info(candidate);
            if (!info)
                continue;
            result.push_back(
                FoundPath{candidate, info->isDirectory, info->size, info->modified, GitTracking::unknown()});
        }
    }
    return result;
}

std::vector<FoundPath> Scanner::scanEnvFiles() const {
    std::vector<FoundPath> result;
    const auto cap = static_cast<size_t>(std::max(0, maxEnvFiles_));
    for (const auto& configured : projectRoots_) {
        const std::string root = paths::expandTilde(configured);
        access_->beginAccess(root);
        if (access_->exists(root))
            walk(root, 0, result);
        access_->endAccess(root);
        if (result.size() >= cap)
            break;
    }
    return result;
}

void Scanner::walk(const std::string& folder, int depth, std::vector<FoundPath>& result) const {
    const auto cap = static_cast<size_t>(std::max(0, maxEnvFiles_));
    if (depth > maxEnvDepth || result.size() >= cap)
        return;
    for (const auto& entry : access_->children(folder)) {
        if (result.size() >= cap)
            return;
        auto info = access_->info(entry);
        if (!info)
            continue;
        const std::string name = paths::lastComponent(entry);
        if (info->isDirectory) {
            if (prunedDirs().count(name) != 0 || Glob::matchesAny(entry, exclude_))
                continue;
            walk(entry, depth + 1, result);
        } else if (isEnvFileName(name)) {
            result.push_back(FoundPath{entry, false, info->size, info->modified, GitTracking::unknown()});
        }
    }
}

GitTracking Scanner::gitTracking(const std::string& path) const {
    std::string target = path;
    auto info = access_->info(path);
    if (info && info->isSymlink) {
        if (auto destination = access_->destinationOfSymlink(path))
            target = *destination;
    }
    std::string dir = paths::parent(target);
    if (dir == "/")
        return GitTracking::notInRepo();
    while (!dir.empty()) {
        if (access_->exists(dir + "/.git")) {
            auto out = GitInfo::run(dir, {"ls-files", "--error-unmatch", "--", target});
            // Status 1 is git's "not known to git"; any other failure (a damaged repository, ownership
            // refused, a time-out) leaves the state unknown rather than claiming one.
            if (out.ok())
                return GitTracking::tracked(dir);
            return out.status == 1 ? GitTracking::untracked(dir) : GitTracking::unknown();
        }
        dir = paths::parent(dir);
        if (dir == "/")
            return GitTracking::notInRepo();
    }
    return GitTracking::notInRepo();
}

} // namespace stowage
