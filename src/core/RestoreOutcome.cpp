#include "core/RestoreOutcome.hpp"

namespace stowage {

const std::vector<RestoreOutcome::Action>& allRestoreActions() {
    using A = RestoreOutcome::Action;
    static const std::vector<A> all{A::restored, A::wroteBeside, A::skipped, A::unchanged, A::failed};
    return all;
}

std::string toString(RestoreOutcome::Action action) {
    switch (action) {
    case RestoreOutcome::Action::restored:
        return "restored";
    case RestoreOutcome::Action::wroteBeside:
        return "wroteBeside";
    case RestoreOutcome::Action::skipped:
        return "skipped";
    case RestoreOutcome::Action::unchanged:
        return "unchanged";
    case RestoreOutcome::Action::failed:
        return "failed";
    }
    return "restored";
}

std::optional<RestoreOutcome::Action> restoreActionFromString(const std::string& raw) {
    for (RestoreOutcome::Action action : allRestoreActions())
        if (toString(action) == raw)
            return action;
    return std::nullopt;
}

void to_json(nlohmann::json& j, RestoreOutcome::Action action) {
    j = toString(action);
}

void from_json(const nlohmann::json& j, RestoreOutcome::Action& action) {
    auto decoded = restoreActionFromString(j.get<std::string>());
    if (!decoded)
        throw nlohmann::json::other_error::create(501, "unknown restore action " + j.dump(), &j);
    action = *decoded;
}

void to_json(nlohmann::json& j, const RestoreOutcome& outcome) {
    j = nlohmann::json{{"originalPath", outcome.originalPath}, {"action", outcome.action}};
    if (outcome.writtenPath)
        j["writtenPath"] = *outcome.writtenPath;
    if (outcome.diff)
        j["diff"] = *outcome.diff;
    if (outcome.backedUpTo)
        j["backedUpTo"] = *outcome.backedUpTo;
    if (outcome.needsRoot)
        j["needsRoot"] = true;
    if (outcome.error)
        j["error"] = *outcome.error;
    if (!outcome.files.empty())
        j["files"] = outcome.files;
}

namespace {

template <typename T> std::optional<T> optionalField(const nlohmann::json& j, const char* key) {
    auto it = j.find(key);
    if (it == j.end() || it->is_null())
        return std::nullopt;
    return it->get<T>();
}

} // namespace

void from_json(const nlohmann::json& j, RestoreOutcome& outcome) {
    RestoreOutcome decoded;
    j.at("originalPath").get_to(decoded.originalPath);
    j.at("action").get_to(decoded.action);
    decoded.writtenPath = optionalField<std::string>(j, "writtenPath");
    decoded.diff = optionalField<FileDiff>(j, "diff");
    decoded.backedUpTo = optionalField<std::string>(j, "backedUpTo");
    decoded.needsRoot = optionalField<bool>(j, "needsRoot").value_or(false);
    decoded.error = optionalField<std::string>(j, "error");
    if (auto it = j.find("files"); it != j.end() && !it->is_null())
        decoded.files = it->get<std::vector<RestoreOutcome>>();
    outcome = std::move(decoded);
}

} // namespace stowage
