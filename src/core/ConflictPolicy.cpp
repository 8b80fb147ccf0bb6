#include "core/ConflictPolicy.hpp"

namespace stowage {

const std::vector<ConflictPolicy>& allConflictPolicies() {
    static const std::vector<ConflictPolicy> all{ConflictPolicy::overwrite, ConflictPolicy::skip,
                                                 ConflictPolicy::writeBeside};
    return all;
}

std::string toString(ConflictPolicy policy) {
    switch (policy) {
    case ConflictPolicy::overwrite:
        return "overwrite";
    case ConflictPolicy::skip:
        return "skip";
    case ConflictPolicy::writeBeside:
        return "writeBeside";
    }
    return "overwrite";
}

std::optional<ConflictPolicy> conflictPolicyFromString(const std::string& raw) {
    for (ConflictPolicy policy : allConflictPolicies())
        if (toString(policy) == raw)
            return policy;
    return std::nullopt;
}

std::string displayName(ConflictPolicy policy) {
    switch (policy) {
    case ConflictPolicy::overwrite:
        return "Overwrite";
    case ConflictPolicy::skip:
        return "Skip existing";
    case ConflictPolicy::writeBeside:
        return "Write beside";
    }
    return "Overwrite";
}

std::string blurb(ConflictPolicy policy) {
    switch (policy) {
    case ConflictPolicy::overwrite:
        return "Replace files that already exist.";
    case ConflictPolicy::skip:
        return "Keep existing files; only write missing ones.";
    case ConflictPolicy::writeBeside:
        return "Never overwrite \u2014 save as <name>.stowage-restored.";
    }
    return {};
}

std::string besidePath(const std::string& target) {
    return target + std::string(besideSuffix);
}

void to_json(nlohmann::json& j, ConflictPolicy policy) {
    j = toString(policy);
}

void from_json(const nlohmann::json& j, ConflictPolicy& policy) {
    auto decoded = conflictPolicyFromString(j.get<std::string>());
    if (!decoded)
        throw nlohmann::json::other_error::create(501, "unknown conflict policy " + j.dump(), &j);
    policy = *decoded;
}

} // namespace stowage
