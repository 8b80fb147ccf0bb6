// `stowage apps`: installed applications and how to get each back.

#include "cli/Cli.hpp"
#include "cli/Output.hpp"

#include "core/AppScanner.hpp"
#include "core/Paths.hpp"

#include <iostream>
#include <unistd.h>

namespace stowage::cli {

namespace {

void printHuman(const std::vector<InstalledApp>& apps) {
    const Style style(STDOUT_FILENO);
    if (apps.empty()) {
        std::cout << "No applications found: no bundles in /Applications or ~/Applications, and no desktop "
                     "entries in the XDG application folders.\n";
        return;
    }
    std::cout << style.bold(std::to_string(apps.size()) + " app(s) found") << "\n";
    for (const auto& app : apps) {
        std::cout << "  " << style.bold(printable(app.name));
        if (app.version)
            std::cout << " v" << printable(*app.version);
        std::cout << "  " << style.dim(label(app.source)) << "\n";
        if (auto command = app.reinstallCommand())
            std::cout << "      " << style.cyan(printable(*command)) << "\n";
        else if (auto url = app.reinstallURL())
            std::cout << "      " << printable(*url) << "\n";
    }
}

} // namespace

void addAppsCommand(CLI::App& app, Runner& selected) {
    auto json = std::make_shared<bool>(false);
    auto* cmd = app.add_subcommand("apps", "List installed applications with how to reinstall each");
    cmd->add_flag("--json", *json, "Print the list in the apps.json form");
    cmd->callback([json, &selected] {
        selected = [json](Context& context) {
            Progress progress;
            progress.update("Listing installed apps\u2026");
            // Bundles where they exist, and the desktop entries the desktop shows.
            auto apps = AppScanner(context.access).scan(std::nullopt, std::nullopt);
            progress.done();
            if (*json)
                std::cout << jsonDocument(nlohmann::json(apps), -1) << "\n";
            else
                printHuman(apps);
            return 0;
        };
    });
}

} // namespace stowage::cli
