#include "cli/Output.hpp"

#include "core/GitInfo.hpp"
#include "core/Json.hpp"
#include "core/Paths.hpp"

#include <unicode/utf8.h>

#include <cstdio>

namespace stowage::cli {

std::string jsonDocument(const nlohmann::json& j, int indent) {
    return j.dump(indent, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string printable(const std::string& text) {
    std::string shown;
    shown.reserve(text.size());
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    const auto length = static_cast<int32_t>(text.size());
    int32_t i = 0;
    char buffer[16];
    while (i < length) {
        const int32_t start = i;
        UChar32 c;
        U8_NEXT(bytes, i, length, c);
        if (c < 0) {
            for (int32_t b = start; b < i; ++b) {
                std::snprintf(buffer, sizeof buffer, "\\x%02x", bytes[b]);
                shown += buffer;
            }
        } else if (c == '\n') {
            shown += "\\n";
        } else if (c == '\r') {
            shown += "\\r";
        } else if ((c < 0x20 && c != '\t') || c == 0x7F) {
            std::snprintf(buffer, sizeof buffer, "\\x%02x", static_cast<unsigned>(c));
            shown += buffer;
        } else if ((c >= 0x80 && c <= 0x9F) || c == 0x2028 || c == 0x2029 || (c >= 0x202A && c <= 0x202E) ||
                   (c >= 0x2066 && c <= 0x2069)) {
            std::snprintf(buffer, sizeof buffer, "\\u{%04x}", static_cast<unsigned>(c));
            shown += buffer;
        } else {
            shown.append(text, static_cast<std::size_t>(start), static_cast<std::size_t>(i - start));
        }
    }
    return shown;
}

std::string shownPath(const std::string& path) {
    return printable(paths::abbreviateHome(path));
}

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
        nlohmann::json risk{{"repo", r.repo}, {"name", r.name}, {"kinds", kinds}, {"detail", r.detail}};
        if (r.uninspected())
            risk["inspected"] = false;
        risks.push_back(std::move(risk));
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
