#include "core/Relocator.hpp"

#include "core/Paths.hpp"
#include "core/RestoreEngine.hpp"

#include <map>

namespace stowage {

const std::vector<RelocationPlan::Match>& allRelocationMatches() {
    using M = RelocationPlan::Match;
    static const std::vector<M> all{M::matchedRepo, M::repoNotFound, M::absolute};
    return all;
}

std::string toString(RelocationPlan::Match match) {
    switch (match) {
    case RelocationPlan::Match::matchedRepo:
        return "matchedRepo";
    case RelocationPlan::Match::repoNotFound:
        return "repoNotFound";
    case RelocationPlan::Match::absolute:
        return "absolute";
    }
    return "absolute";
}

std::optional<RelocationPlan::Match> relocationMatchFromString(const std::string& raw) {
    for (auto match : allRelocationMatches())
        if (toString(match) == raw)
            return match;
    return std::nullopt;
}

namespace Relocator {

namespace {

/// Chooses among clones of one remote: the first with the recorded folder name, else the root that
/// sorts first. `candidates` is never empty.
const LocalRepo& choose(const std::vector<const LocalRepo*>& candidates, const std::string& recordedRoot) {
    const std::string wanted = paths::lastComponent(recordedRoot);
    for (const LocalRepo* repo : candidates)
        if (paths::lastComponent(repo->root) == wanted)
            return *repo;
    const LocalRepo* first = candidates.front();
    for (const LocalRepo* repo : candidates)
        if (repo->root < first->root)
            first = repo;
    return *first;
}

} // namespace

std::vector<RelocationPlan> plan(const std::vector<RelocationFile>& files, const std::vector<LocalRepo>& repos,
                                 bool flatten) {
    std::map<std::string, std::vector<const LocalRepo*>> byRemote;
    for (const LocalRepo& repo : repos)
        if (repo.remote)
            byRemote[GitInfo::normalizeRemote(*repo.remote)].push_back(&repo);

    std::vector<RelocationPlan> plans;
    plans.reserve(files.size());
    for (const auto& [path, project] : files) {
        RelocationPlan plan;
        plan.originalPath = path;
        plan.project = project;
        if (!project) {
            plan.match = RelocationPlan::Match::absolute;
            plan.destination = path;
            plans.push_back(std::move(plan));
            continue;
        }
        plan.match = RelocationPlan::Match::repoNotFound;
        // A placement that climbs out of the repository would put a secret anywhere at all.
        if (project->remote && RestoreEngine::isSafeRelativePath(project->relPath)) {
            auto found = byRemote.find(GitInfo::normalizeRemote(*project->remote));
            if (found != byRemote.end()) {
                const LocalRepo& chosen = choose(found->second, project->repoRoot);
                const std::string placement = flatten ? paths::lastComponent(project->relPath) : project->relPath;
                plan.match = RelocationPlan::Match::matchedRepo;
                plan.destination = paths::join(chosen.root, placement);
                plan.matchedRepoRoot = chosen.root;
            }
        }
        plans.push_back(std::move(plan));
    }
    return plans;
}

} // namespace Relocator

void to_json(nlohmann::json& j, RelocationPlan::Match match) {
    j = toString(match);
}

void from_json(const nlohmann::json& j, RelocationPlan::Match& match) {
    auto decoded = relocationMatchFromString(j.get<std::string>());
    if (!decoded)
        throw nlohmann::json::other_error::create(501, "unknown relocation match " + j.dump(), &j);
    match = *decoded;
}

void to_json(nlohmann::json& j, const RelocationPlan& plan) {
    j = nlohmann::json{{"originalPath", plan.originalPath}, {"match", plan.match}};
    if (plan.project)
        j["project"] = *plan.project;
    if (plan.destination)
        j["destination"] = *plan.destination;
    if (plan.matchedRepoRoot)
        j["matchedRepoRoot"] = *plan.matchedRepoRoot;
}

void from_json(const nlohmann::json& j, RelocationPlan& plan) {
    j.at("originalPath").get_to(plan.originalPath);
    j.at("match").get_to(plan.match);
    auto optional = [&j](const char* key) -> const nlohmann::json* {
        auto it = j.find(key);
        return it == j.end() || it->is_null() ? nullptr : &*it;
    };
    plan.project.reset();
    plan.destination.reset();
    plan.matchedRepoRoot.reset();
    if (auto* p = optional("project"))
        plan.project = p->get<ProjectContext>();
    if (auto* p = optional("destination"))
        plan.destination = p->get<std::string>();
    if (auto* p = optional("matchedRepoRoot"))
        plan.matchedRepoRoot = p->get<std::string>();
}

} // namespace stowage
