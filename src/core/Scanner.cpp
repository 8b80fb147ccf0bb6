#include "core/Scanner.hpp"

#include "core/GitInfo.hpp"
#include "core/Glob.hpp"
#include "core/Log.hpp"
#include "core/Paths.hpp"
#include "core/Shell.hpp"

#include <glob.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <future>
#include <system_error>
#include <thread>

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

/// Calls work(0) … work(count - 1), on up to `threads` threads side by side (this one included);
/// with fewer threads to be had, the ones there are take every index left.
void sideBySide(size_t count, unsigned threads, const std::function<void(size_t)>& work) {
    std::atomic<size_t> next{0};
    auto take = [&] {
        for (size_t i = next++; i < count; i = next++)
            work(i);
    };
    std::vector<std::thread> helpers;
    for (size_t k = 1; k < std::min<size_t>(count, threads); ++k) {
        try {
            helpers.emplace_back(take);
        } catch (const std::system_error&) {
            break;
        }
    }
    take();
    for (auto& helper : helpers)
        helper.join();
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
    // The .env hunt walks whole project trees; the other rules look at a few known places and ask
    // git about them. The hunt runs beside them, and its findings take their rules' places after.
    std::shared_future<std::vector<FoundPath>> envFiles;
    if (std::any_of(rules_.begin(), rules_.end(),
                    [](const ArtifactRule& rule) { return rule.kind == ScanKind::envFiles; })) {
        auto hunt = [this] { return scanEnvFiles(); };
        try {
            envFiles = std::async(std::launch::async, hunt).share();
        } catch (const std::system_error&) {
            envFiles = std::async(std::launch::deferred, hunt).share();
        }
    }
    auto keep = [this](std::vector<FoundPath> candidates) {
        std::vector<FoundPath> kept;
        for (auto& c : candidates)
            if (!Glob::matchesAny(c.path, exclude_))
                kept.push_back(std::move(c));
        return kept;
    };
    // Each config file's git state may cost a git run; a few run side by side.
    auto track = [this](std::vector<Finding>& findings, bool envRules) {
        std::vector<FoundPath*> configPaths;
        for (auto& finding : findings)
            if (finding.rule.tier == Tier::config && (finding.rule.kind == ScanKind::envFiles) == envRules)
                for (auto& found : finding.paths)
                    configPaths.push_back(&found);
        sideBySide(configPaths.size(), 4,
                   [&](size_t i) { configPaths[i]->tracking = gitTracking(configPaths[i]->path); });
    };

    std::vector<Finding> findings; // an envFiles rule holds its place, empty, until the hunt is done
    for (const auto& rule : rules_) {
        if (rule.kind == ScanKind::envFiles)
            findings.push_back(Finding{rule, {}});
        else if (rule.kind == ScanKind::paths)
            if (auto kept = keep(matchPaths(rule.paths)); !kept.empty())
                findings.push_back(Finding{rule, std::move(kept)});
    }
    track(findings, false);
    if (envFiles.valid()) {
        for (auto& finding : findings)
            if (finding.rule.kind == ScanKind::envFiles)
                finding.paths = keep(envFiles.get());
        track(findings, true);
    }
    findings.erase(
        std::remove_if(findings.begin(), findings.end(), [](const Finding& finding) { return finding.paths.empty(); }),
        findings.end());
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
        if (access_->exists(root) && result.size() < cap)
            huntRoot(root, cap - result.size(), result);
        access_->endAccess(root);
        if (result.size() >= cap)
            break;
    }
    return result;
}

void Scanner::huntRoot(const std::string& root, size_t cap, std::vector<FoundPath>& result) const {
    // The root's entries are hunted side by side, each into its own list; the lists are joined in
    // listing order and cut at the cap, which gives exactly what one depth-first walk finds. A
    // part stops at the cap on its own, so the work stays bounded when the cap is reached early.
    const std::vector<std::string> entries = access_->children(root);
    std::vector<std::vector<FoundPath>> parts(entries.size());
    sideBySide(entries.size(), std::clamp(std::thread::hardware_concurrency(), 1u, 4u), [&](size_t i) {
        auto info = access_->info(entries[i]);
        if (!info)
            return;
        const std::string name = paths::lastComponent(entries[i]);
        if (info->isDirectory) {
            if (prunedDirs().count(name) == 0 && !Glob::matchesAny(entries[i], exclude_))
                walk(entries[i], 1, cap, parts[i]);
        } else if (isEnvFileName(name)) {
            parts[i].push_back(FoundPath{entries[i], false, info->size, info->modified, GitTracking::unknown()});
        }
    });
    size_t taken = 0;
    for (auto& part : parts)
        for (auto& found : part) {
            if (taken++ == cap)
                return;
            result.push_back(std::move(found));
        }
}

void Scanner::walk(const std::string& folder, int depth, size_t cap, std::vector<FoundPath>& result) const {
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
            walk(entry, depth + 1, cap, result);
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
