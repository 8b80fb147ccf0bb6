// `stowage audit`: what would be lost if this machine were wiped today.

#include "cli/Cli.hpp"
#include "cli/Output.hpp"

#include "core/DefaultKnowledgeBase.hpp"
#include "core/GitRiskScanner.hpp"
#include "core/Json.hpp"
#include "core/Paths.hpp"
#include "core/ProjectScanner.hpp"
#include "core/Scanner.hpp"
#include "core/Settings.hpp"

#include <future>
#include <iostream>
#include <unistd.h>

namespace stowage::cli {

namespace {

struct AuditOptions {
    std::vector<std::string> roots;
    std::vector<std::string> excludes;
    bool json = false;
};

std::string trackingTag(const GitTracking& tracking, const Style& style) {
    switch (tracking.kind) {
    case GitTracking::Case::tracked:
        return style.green("[in repo]");
    case GitTracking::Case::untracked:
        return style.yellow("[untracked]");
    case GitTracking::Case::notInRepo:
        return style.red("[not backed up]");
    case GitTracking::Case::unknown:
        break;
    }
    return {};
}

std::string riskText(Risk risk, const Style& style) {
    const std::string text = label(risk);
    switch (risk) {
    case Risk::critical:
        return style.bold(style.red(text));
    case Risk::high:
        return style.red(text);
    case Risk::medium:
        return style.yellow(text);
    case Risk::low:
        break;
    }
    return style.dim(text);
}

void printHuman(const AuditResult& r) {
    const Style style(STDOUT_FILENO);
    auto& out = std::cout;
    const auto& inv = r.inventory;
    const auto highest = inv.highestRisk();
    out << style.bold("What you'd lose on a wipe") << "\n\n";
    out << "  " << inv.findings.size() << " items found \u00b7 " << inv.secretCount() << " secrets \u00b7 "
        << inv.configGaps().size()
        << " config gaps \u00b7 highest risk: " << (highest ? riskText(*highest, style) : "none") << "\n";
    out << "  " << r.projects.size() << " projects \u00b7 scanned " << json::iso8601(inv.scannedAt) << "\n";

    std::vector<const GitRisk*> atRisk;
    std::vector<const GitRisk*> uninspected;
    for (const auto& risk : r.gitRisks)
        (risk.uninspected() ? uninspected : atRisk).push_back(&risk);
    if (!atRisk.empty()) {
        out << "\n" << style.bold(std::to_string(atRisk.size()) + " repo(s) with unsaved or unpushed work") << "\n";
        out << style.dim(
                   "Not a file Stowage backs up \u2014 commit or push these before you wipe, or you'll lose the work.")
            << "\n";
        for (const GitRisk* risk : atRisk)
            out << "  " << style.bold(printable(risk->name)) << "  " << printable(risk->detail) << "  "
                << style.dim(shownPath(risk->repo)) << "\n";
    }
    if (!uninspected.empty()) {
        out << "\n"
            << style.yellow(style.bold(std::to_string(uninspected.size()) + " repo(s) could not be inspected")) << "\n"
            << style.dim("Git could not read these, so any unsaved work in them is unknown \u2014 check each one "
                         "yourself before you wipe.")
            << "\n";
        for (const GitRisk* risk : uninspected)
            out << "  " << style.bold(printable(risk->name)) << "  " << printable(risk->detail) << "  "
                << style.dim(shownPath(risk->repo)) << "\n";
    }

    if (inv.findings.empty()) {
        if (!r.gitRisks.empty())
            return;
        out << "\nNothing at risk found\n"
            << "Either you're impressively tidy, or Stowage's scan roots need widening. Add folders with --root "
               "(or in the app's Settings), then rescan.\n";
        return;
    }
    for (Tier tier : allTiers()) {
        auto findings = inv.findingsIn(tier);
        if (findings.empty())
            continue;
        out << "\n" << style.bold(displayName(tier)) << " \u2014 " << style.dim(blurb(tier)) << "\n";
        for (const auto& f : findings) {
            const auto n = f.paths.size();
            out << "  " << (f.isUnbackedConfigGap() ? style.yellow("\u26a0 ") : "")
                << style.bold(printable(f.rule.title)) << "  " << riskText(f.rule.risk, style) << " \u00b7 " << n
                << " item" << (n == 1 ? "" : "s") << "\n";
            for (const auto& p : f.paths) {
                std::string tag = trackingTag(p.tracking, style);
                out << "      " << shownPath(p.path) << (p.isDirectory ? "/" : "") << (tag.empty() ? "" : "  " + tag)
                    << "\n";
            }
        }
    }
}

} // namespace

AuditResult runAudit(const FileAccessPtr& access, const std::vector<std::string>& roots,
                     const std::vector<std::string>& excludes) {
    // The three scans are independent reads, so they run side by side.
    auto machine = std::async(std::launch::async, [&] {
        return Scanner(DefaultKnowledgeBase::rules(), roots, 400, excludes, access).scan();
    });
    auto risks = std::async(std::launch::async, [&] { return GitRiskScanner(roots, access).scan(); });
    auto projects = std::async(std::launch::async, [&] { return ProjectScanner(roots, access).scan(); });
    return AuditResult{machine.get(), risks.get(), projects.get()};
}

void addAuditCommand(CLI::App& app, Runner& selected) {
    auto options = std::make_shared<AuditOptions>();
    auto* cmd = app.add_subcommand("audit", "Scan this machine and show what a wipe would lose");
    cmd->add_option("--root", options->roots, "Project root to search (repeatable; default: saved scan roots)");
    cmd->add_option("--exclude", options->excludes, "Exclude glob (repeatable; default: saved exclusion globs)");
    cmd->add_flag("--json", options->json, "Print one JSON document");
    cmd->callback([options, &selected] {
        selected = [options](Context& context) {
            Progress progress;
            progress.update("Scanning your machine\u2026");
            auto result = runAudit(context.access, resolveRoots(context, options->roots),
                                   resolveExcludes(context, options->excludes));
            progress.done();
            if (options->json)
                std::cout << jsonDocument(auditJson(result)) << "\n";
            else
                printHuman(result);
            return 0;
        };
    });
}

} // namespace stowage::cli
