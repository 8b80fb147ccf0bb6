#include "cli/Output.hpp"

#include "core/Json.hpp"

namespace stowage::cli {

nlohmann::json foundPathJson(const FoundPath& p) {
    nlohmann::json j{{"path", p.path}, {"isDirectory", p.isDirectory}, {"bytes", p.bytes}};
    j["modified"] = p.modified ? nlohmann::json(json::iso8601(*p.modified)) : nlohmann::json(nullptr);
    nlohmann::json tracking;
    switch (p.tracking.kind) {
    case GitTracking::Case::tracked:
        tracking = {{"state", "tracked"}, {"repo", p.tracking.repo}};
        break;
    case GitTracking::Case::untracked:
        tracking = {{"state", "untracked"}, {"repo", p.tracking.repo}};
        break;
    case GitTracking::Case::unknown:
        tracking = {{"state", "unknown"}};
        break;
    case GitTracking::Case::notInRepo:
        tracking = {{"state", "notInRepo"}};
        break;
    }
    j["tracking"] = tracking;
    return j;
}

nlohmann::json auditJson(const AuditResult& result) {
    nlohmann::json findings = nlohmann::json::array();
    for (const auto& f : result.inventory.findings) {
        nlohmann::json pathsJson = nlohmann::json::array();
        for (const auto& p : f.paths)
            pathsJson.push_back(foundPathJson(p));
        findings.push_back({{"rule", f.rule}, {"paths", pathsJson}});
    }
    nlohmann::json risks = nlohmann::json::array();
    for (const auto& r : result.gitRisks) {
        nlohmann::json kinds = nlohmann::json::array();
        for (auto k : r.kinds)
            kinds.push_back(toString(k));
        risks.push_back({{"repo", r.repo}, {"name", r.name}, {"kinds", kinds}, {"detail", r.detail}});
    }
    nlohmann::json projects = nlohmann::json::array();
    for (const auto& p : result.projects)
        projects.push_back({{"path", p.path}, {"name", p.name}, {"kind", toString(p.kind)}});
    return {{"scannedAt", json::iso8601(result.inventory.scannedAt)},
            {"findings", findings},
            {"gitRisks", risks},
            {"projects", projects}};
}

} // namespace stowage::cli
