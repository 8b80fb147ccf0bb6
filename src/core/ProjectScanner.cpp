#include "core/ProjectScanner.hpp"

#include "core/Collation.hpp"
#include "core/GitInfo.hpp"
#include "core/Paths.hpp"

#include <algorithm>
#include <stdexcept>

namespace stowage {

namespace {

bool endsWith(const std::string& s, const std::string& suffix) {
    return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool isMarker(const std::string& name) {
    return ProjectScanner::markers().count(name) != 0 || endsWith(name, ".xcodeproj") || endsWith(name, ".xcworkspace");
}

struct Walk {
    const FileAccessProvider& access;
    std::vector<ProjectInfo> found;
    std::set<std::string> seen;
    /// Indexes into `found` of repositories whose remote decides their kind.
    std::vector<std::size_t> repos;

    void add(const std::string& folder, ProjectKind kind) {
        if (!seen.insert(folder).second)
            return;
        if (kind != ProjectKind::nonGit)
            repos.push_back(found.size());
        found.push_back(ProjectInfo{folder, paths::lastComponent(folder), kind});
    }

    void visit(const std::string& folder, int level) {
        if (level > ProjectScanner::maxLevel || found.size() > ProjectScanner::projectCap)
            return;
        if (access.exists(paths::join(folder, ".git"))) {
            add(folder, ProjectKind::gitNoRemote);
            return;
        }
        std::vector<std::string> children = access.children(folder);
        if (std::any_of(children.begin(), children.end(),
                        [](const std::string& child) { return isMarker(paths::lastComponent(child)); })) {
            add(folder, ProjectKind::nonGit);
            return;
        }
        for (const std::string& child : children) {
            std::string name = paths::lastComponent(child);
            if (name.empty() || name[0] == '.' || ProjectScanner::pruned().count(name) != 0)
                continue;
            auto info = access.info(child);
            if (!info || !info->isDirectory)
                continue;
            visit(child, level + 1);
        }
    }
};

} // namespace

std::string toString(ProjectKind kind) {
    switch (kind) {
    case ProjectKind::gitWithRemote:
        return "gitWithRemote";
    case ProjectKind::gitNoRemote:
        return "gitNoRemote";
    case ProjectKind::nonGit:
        return "nonGit";
    }
    return "nonGit";
}

std::optional<ProjectKind> projectKindFromString(const std::string& raw) {
    for (auto kind : {ProjectKind::gitWithRemote, ProjectKind::gitNoRemote, ProjectKind::nonGit})
        if (toString(kind) == raw)
            return kind;
    return std::nullopt;
}

std::string label(ProjectKind kind) {
    switch (kind) {
    case ProjectKind::gitWithRemote:
        return "git (has remote)";
    case ProjectKind::gitNoRemote:
        return "git, no remote";
    case ProjectKind::nonGit:
        return "not in git";
    }
    return "not in git";
}

bool sourceAtRisk(ProjectKind kind) {
    return kind != ProjectKind::gitWithRemote;
}

void to_json(nlohmann::json& j, ProjectKind kind) {
    j = toString(kind);
}

void from_json(const nlohmann::json& j, ProjectKind& kind) {
    auto parsed = projectKindFromString(j.get<std::string>());
    if (!parsed)
        throw std::invalid_argument("Unknown project kind \"" + j.get<std::string>() + "\".");
    kind = *parsed;
}

void to_json(nlohmann::json& j, const ProjectInfo& project) {
    j = nlohmann::json{{"path", project.path}, {"name", project.name}, {"kind", project.kind}};
}

void from_json(const nlohmann::json& j, ProjectInfo& project) {
    j.at("path").get_to(project.path);
    j.at("name").get_to(project.name);
    j.at("kind").get_to(project.kind);
}

ProjectScanner::ProjectScanner(std::vector<std::string> roots_, FileAccessPtr access_)
    : roots(std::move(roots_)), access(std::move(access_)) {}

const std::set<std::string>& ProjectScanner::markers() {
    static const std::set<std::string> names{"package.json",     "Cargo.toml",       "go.mod",        "pyproject.toml",
                                             "requirements.txt", "Package.swift",    "Gemfile",       "pom.xml",
                                             "build.gradle",     "build.gradle.kts", "composer.json", "Makefile",
                                             "CMakeLists.txt",   "pubspec.yaml",     "mix.exs"};
    return names;
}

const std::set<std::string>& ProjectScanner::pruned() {
    static const std::set<std::string> names = [] {
        std::set<std::string> s = GitInfo::pruned();
        s.insert("Library");
        return s;
    }();
    return names;
}

std::vector<ProjectInfo> ProjectScanner::scan() const {
    FileAccessPtr files = access ? access : std::make_shared<DirectFileAccess>();
    AccessScope scope(*files, paths::expandRoots(roots));
    Walk walk{*files, {}, {}, {}};
    for (const std::string& root : roots) {
        std::string folder = paths::expandRoot(root);
        if (!folder.empty())
            walk.visit(folder, 0);
    }
    // The walk never depends on remotes, so they are read afterwards, several repositories at once.
    GitInfo::forEachConcurrently(walk.repos.size(), [&](std::size_t i) {
        ProjectInfo& project = walk.found[walk.repos[i]];
        if (GitInfo::remote(project.path))
            project.kind = ProjectKind::gitWithRemote;
    });
    std::vector<ProjectInfo> projects = std::move(walk.found);
    std::stable_sort(projects.begin(), projects.end(), [](const ProjectInfo& a, const ProjectInfo& b) {
        return localizedCaseInsensitiveLess(a.name, b.name);
    });
    return projects;
}

} // namespace stowage
