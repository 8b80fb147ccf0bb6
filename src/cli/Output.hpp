#pragma once
// Results shared between commands and their JSON forms.

#include "cli/Cli.hpp"

#include "core/GitRiskScanner.hpp"
#include "core/Models.hpp"
#include "core/ProjectScanner.hpp"

#include <nlohmann/json.hpp>

namespace stowage::cli {

struct AuditResult {
    Inventory inventory;
    std::vector<GitRisk> gitRisks;
    std::vector<ProjectInfo> projects;
};

/// Runs the machine scan, the git-risk scan and the project scan.
AuditResult runAudit(const FileAccessPtr& access, const std::vector<std::string>& roots,
                     const std::vector<std::string>& excludes);

nlohmann::json foundPathJson(const FoundPath& p);
/// {"scannedAt", "findings": [{"rule", "paths"}], "gitRisks", "projects"}.
nlohmann::json auditJson(const AuditResult& result);

} // namespace stowage::cli
