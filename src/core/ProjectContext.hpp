#pragma once
// The identity of the project a secret file belongs to, so that on another machine the file can be
// put back into the same repository wherever it now lives.

#include <nlohmann/json.hpp>

#include <optional>
#include <string>

namespace stowage {

struct ProjectContext {
    /// Repository root on the machine where the file was found.
    std::string repoRoot;
    /// The repository's remote address; absent when it has none.
    std::optional<std::string> remote;
    /// The file's path inside the repository, without a leading "/".
    std::string relPath;

    bool operator==(const ProjectContext&) const = default;
};

/// Keys "repoRoot", "remote" (left out when absent; may be missing on read), "relPath".
inline void to_json(nlohmann::json& j, const ProjectContext& c) {
    j = nlohmann::json{{"repoRoot", c.repoRoot}, {"relPath", c.relPath}};
    if (c.remote)
        j["remote"] = *c.remote;
}

inline void from_json(const nlohmann::json& j, ProjectContext& c) {
    j.at("repoRoot").get_to(c.repoRoot);
    j.at("relPath").get_to(c.relPath);
    if (auto it = j.find("remote"); it != j.end() && !it->is_null())
        c.remote = it->get<std::string>();
    else
        c.remote.reset();
}

} // namespace stowage
