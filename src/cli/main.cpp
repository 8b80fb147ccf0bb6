// stowage: the command-line twin of the desktop application.
// Exit status: 0 success, 1 failure (the error's sentence on standard error), 2 usage error.

#include "cli/Cli.hpp"

#include <iostream>

int main(int argc, char** argv) {
    using namespace stowage;
    CLI::App app{"Stowage: what would be lost if this machine were wiped today \u2014 and a backup so nothing is.",
                 "stowage"};
    app.require_subcommand(1);
    app.set_version_flag("--version", "stowage 0.9.3");

    cli::Runner selected;
    cli::addAuditCommand(app, selected);
    cli::addAppsCommand(app, selected);
    cli::addBackupCommands(app, selected);
    cli::addRestoreCommand(app, selected);
    cli::addScheduleCommand(app, selected);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        int status = app.exit(e);
        // Help and version requests are successes; every other parse problem is a usage error.
        return status == 0 ? 0 : 2;
    }

    cli::forwardTerminationSignals();
    try {
        cli::Context context{std::make_shared<DirectFileAccess>(), DefaultsStore::standard()};
        const int status = selected ? selected(context) : 2;
        cli::dieOfTerminationSignal();
        return status;
    } catch (const std::exception& e) {
        cli::dieOfTerminationSignal();
        std::cerr << "stowage: " << e.what() << "\n";
        return 1;
    }
}
