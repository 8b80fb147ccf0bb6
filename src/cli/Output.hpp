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

/// The text of a JSON document for standard output: indented by two, and any byte that is not
/// UTF-8 (a file name in another encoding) replaced by U+FFFD instead of failing the command.
std::string jsonDocument(const nlohmann::json& j, int indent = 2);

/// `text` made safe for a terminal line: control characters (C0 but the tab, DEL, C1), line and paragraph
/// separators and bidirectional overrides are shown as escapes ("\n", "\x1b", "\u{202e}"), and
/// bytes that are not UTF-8 as "\xNN", so a hostile name can neither drive the terminal nor forge
/// a line of output. Printable text, including non-ASCII letters, is unchanged.
std::string printable(const std::string& text);

/// A path for human output: "~"-abbreviated and printable().
std::string shownPath(const std::string& path);

nlohmann::json foundPathJson(const FoundPath& p);
/// {"scannedAt", "findings": [{"rule", "paths"}], "gitRisks", "projects"}. A repository git could
/// not read is a gitRisks entry with kinds ["uninspected"], "inspected": false and the reason in
/// "detail".
nlohmann::json auditJson(const AuditResult& result);

} // namespace stowage::cli
