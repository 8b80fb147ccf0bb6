// `stowage backup`, `stowage verify` and `stowage history`: write a backup folder, check one, and
// list the runs recorded in one.
//
// Passphrases are never taken as argument values (they would show in the process list and the
// shell history): they come from --passphrase-file, the STOWAGE_PASSPHRASE environment variable, or
// a prompt with echo off, asked twice, when standard input is a terminal.

#include "cli/Cli.hpp"
#include "cli/Output.hpp"

#include "core/BackupEngine.hpp"
#include "core/BackupError.hpp"
#include "core/DefaultKnowledgeBase.hpp"
#include "core/Json.hpp"
#include "core/KDF.hpp"
#include "core/Paths.hpp"
#include "core/Scanner.hpp"
#include "core/Settings.hpp"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <termios.h>
#include <unistd.h>

namespace stowage::cli {

namespace {

/// A usage problem found after parsing (exit status 2, like a parse error).
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct BackupCommandOptions {
    std::string to;
    bool passphrase = false;
    std::string passphraseFile;
    bool noSecrets = false;
    bool noConfig = false;
    bool noManifests = false;
    std::vector<std::string> projects;
    bool gitHistory = false;
    bool full = false;
    std::vector<std::string> roots;
    std::vector<std::string> excludes;
    bool json = false;
};

/// A folder argument: "~" expanded, made absolute against the working folder.
std::string absoluteFolder(const std::string& given) {
    std::string expanded = paths::expandTilde(given);
    if (expanded.empty() || expanded[0] == '/')
        return expanded;
    std::error_code ec;
    auto absolute = std::filesystem::absolute(expanded, ec);
    return ec ? expanded : absolute.lexically_normal().string();
}

/// The folder to work on: the one given, else the saved backup folder, else ~/StowageBackup.
std::string backupFolder(const Context& context, const std::string& given) {
    if (!given.empty())
        return absoluteFolder(given);
    std::string saved = settings::backupDir(*context.store);
    if (saved.empty())
        saved = paths::join(paths::homeFolder(), "StowageBackup");
    return absoluteFolder(saved);
}

// ---- Passphrase ------------------------------------------------------------------------------

/// Echo is switched off for the lifetime of the object and restored afterwards, also when the
/// user interrupts the prompt.
class NoEcho {
public:
    explicit NoEcho(int fd) : fd_(fd) {
        if (::tcgetattr(fd_, &saved_) != 0)
            return;
        active_ = this;
        previousInt_ = std::signal(SIGINT, &NoEcho::interrupted);
        previousTerm_ = std::signal(SIGTERM, &NoEcho::interrupted);
        termios quiet = saved_;
        quiet.c_lflag &= static_cast<tcflag_t>(~ECHO);
        quiet.c_lflag |= ECHONL;
        ok_ = ::tcsetattr(fd_, TCSAFLUSH, &quiet) == 0;
    }
    ~NoEcho() {
        if (active_ == this) {
            ::tcsetattr(fd_, TCSAFLUSH, &saved_);
            std::signal(SIGINT, previousInt_);
            std::signal(SIGTERM, previousTerm_);
            active_ = nullptr;
        }
    }
    NoEcho(const NoEcho&) = delete;
    NoEcho& operator=(const NoEcho&) = delete;
    bool ok() const { return ok_; }

private:
    static void interrupted(int signal) {
        if (active_ != nullptr)
            ::tcsetattr(active_->fd_, TCSANOW, &active_->saved_);
        std::signal(signal, SIG_DFL);
        std::raise(signal);
    }

    static inline NoEcho* active_ = nullptr;
    int fd_;
    termios saved_{};
    bool ok_ = false;
    void (*previousInt_)(int) = SIG_DFL;
    void (*previousTerm_)(int) = SIG_DFL;
};

/// One line from the terminal without echo, the line break dropped.
SecretString promptHidden(const std::string& prompt) {
    std::cerr << prompt << std::flush;
    NoEcho noEcho(STDIN_FILENO);
    if (!noEcho.ok())
        throw std::runtime_error("Could not switch off echo on the terminal to ask for the passphrase.");
    SecretString line;
    for (;;) {
        char c = 0;
        ssize_t n = ::read(STDIN_FILENO, &c, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0 || c == '\n')
            break;
        if (c != '\r')
            line.append(std::string_view(&c, 1));
        c = 0;
    }
    return line;
}

/// Drops one trailing line break ("\n" or "\r\n"), as editors and `echo` leave one.
void dropLineBreak(SecretString& text) {
    std::string_view v = text.view();
    size_t keep = v.size();
    if (keep > 0 && v[keep - 1] == '\n') {
        --keep;
        if (keep > 0 && v[keep - 1] == '\r')
            --keep;
    }
    if (keep != v.size()) {
        SecretString shorter(v.substr(0, keep));
        text = std::move(shorter);
    }
}

SecretString readPassphrase(const Context& context, const BackupCommandOptions& options) {
    if (!options.passphraseFile.empty()) {
        const std::string path = absoluteFolder(options.passphraseFile);
        auto bytes = context.access->read(path);
        if (!bytes)
            throw std::runtime_error("Could not read the passphrase file " + paths::abbreviateHome(path) + ".");
        SecretString text(std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()));
        wipeBytes(*bytes);
        dropLineBreak(text);
        if (text.empty())
            throw std::runtime_error("The passphrase file " + paths::abbreviateHome(path) + " is empty.");
        return text;
    }
    if (const char* fromEnvironment = std::getenv("STOWAGE_PASSPHRASE"); fromEnvironment && *fromEnvironment)
        return SecretString(std::string_view(fromEnvironment));
    if (::isatty(STDIN_FILENO) != 1)
        throw UsageError("--passphrase needs --passphrase-file, the STOWAGE_PASSPHRASE environment variable, or a "
                         "terminal to ask on.");
    SecretString first = promptHidden("Passphrase: ");
    if (first.empty())
        throw std::runtime_error("Enter a passphrase to encrypt your secrets (or switch off encryption).");
    SecretString second = promptHidden("Confirm passphrase: ");
    if (!(first == second))
        throw std::runtime_error("Passphrase and confirmation don't match.");
    return first;
}

// ---- Human output ----------------------------------------------------------------------------

std::string plural(std::size_t n, const std::string& one, const std::string& many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

void printRecoveryCode(const BackupResult& result) {
    const Style style(STDOUT_FILENO);
    auto& out = std::cout;
    const std::string rule(64, '=');
    out << "\n" << style.bold(rule) << "\n";
    out << style.bold("  RECOVERY CODE \u2014 shown once. Save it somewhere safe, off this machine.") << "\n\n";
    out << "      " << style.bold(style.cyan(*result.recoveryCode)) << "\n\n";
    if (result.keyStoredInKeychain)
        out << "  A copy of the key was stored in this machine's keychain.\n";
    else
        out << "  "
            << style.yellow("The key could NOT be stored in this machine's keychain: this code is your only "
                            "way back in.")
            << "\n";
    out << "  To restore the secrets on another machine you need this code.\n";
    out << style.bold(rule) << "\n";
}

void printBackupResult(const BackupResult& result) {
    const Style style(STDOUT_FILENO);
    auto& out = std::cout;
    out << style.green("\u2713") << " " << style.bold("Backed up to " + paths::abbreviateHome(result.outputDir))
        << "\n";
    out << "  " << plural(result.configFiles.size(), "config item", "config items") << " \u00b7 "
        << plural(result.capturedSecrets.size(), "secret file", "secret files") << " \u00b7 "
        << plural(result.projectsBackedUp.size(), "project", "projects") << " \u00b7 "
        << plural(result.manifests.size(), "reinstall list", "reinstall lists") << "\n";
    if (result.unchangedFiles > 0)
        out << "  " << plural(static_cast<std::size_t>(result.unchangedFiles), "config file", "config files")
            << " unchanged since the last backup\n";
    if (result.secretsBundlePath)
        out << "  Secrets sealed " << (result.usedPassphrase ? "with your passphrase" : "with a random key") << " in "
            << paths::abbreviateHome(*result.secretsBundlePath) << "\n";
    out << "  Total size: " << formatBytes(result.totalBytes) << "\n";
    if (result.installedApps > 0) {
        out << "  " << plural(static_cast<std::size_t>(result.installedApps), "app", "apps") << " listed";
        if (result.manualApps > 0)
            out << "; " << style.yellow(std::to_string(result.manualApps) + " can only be reinstalled by hand")
                << " (see manifest/apps.md)";
        out << "\n";
    }
    if (!result.warnings.empty()) {
        out << "\n" << style.yellow(plural(result.warnings.size(), "warning", "warnings")) << "\n";
        for (const auto& warning : result.warnings)
            out << "  - " << warning << "\n";
    }
    if (!result.skippedSecrets.empty()) {
        out << "\n"
            << style.yellow(plural(result.skippedSecrets.size(), "secret", "secrets") +
                            " could not be read and were left out")
            << "\n";
        for (const auto& path : result.skippedSecrets)
            out << "  - " << paths::abbreviateHome(path) << "\n";
    }
    if (result.recoveryCode)
        printRecoveryCode(result);
}

std::string localTime(Timestamp t) {
    std::time_t seconds = std::chrono::system_clock::to_time_t(t);
    std::tm parts{};
    ::localtime_r(&seconds, &parts);
    char buffer[64];
    std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S", &parts);
    return buffer;
}

// ---- Commands --------------------------------------------------------------------------------

int runBackup(Context& context, const BackupCommandOptions& command) {
    BackupOptions options;
    options.includeSecrets = !command.noSecrets;
    options.includeConfig = !command.noConfig;
    options.includeManifests = !command.noManifests;
    options.includeProjectGitHistory = command.gitHistory;
    options.incremental = !command.full && context.store->boolean("incremental").value_or(true);
    for (const auto& project : command.projects)
        options.projectSources.insert(absoluteFolder(project));

    const std::string folder = backupFolder(context, command.to);

    // Asked before the scan, so a mistyped confirmation costs nothing.
    SecretString passphrase;
    if (command.passphrase && options.includeSecrets) {
        passphrase = readPassphrase(context, command);
        const std::string strength = PassphraseStrength::label(PassphraseStrength::score(passphrase.view()));
        if (strength == "Weak")
            std::cerr << "warning: passphrase strength: " << strength << "\n";
        options.passphrase = passphrase.str();
    }

    Progress progress;
    progress.update("Scanning your machine\u2026");
    auto roots = resolveRoots(context, command.roots);
    auto excludes = resolveExcludes(context, command.excludes);
    Inventory inventory = Scanner(DefaultKnowledgeBase::rules(), roots, 400, excludes, context.access).scan();
    auto selectable = inventory.selectablePaths();
    options.selectedPaths = std::set<std::string>(selectable.begin(), selectable.end());
    options.excludeGlobs = excludes;

    BackupEngine engine(context.access, [&progress](const std::string& stage) { progress.update(stage); });
    BackupResult result = [&] {
        try {
            return engine.run(inventory, folder, options);
        } catch (...) {
            if (options.passphrase)
                wipeString(*options.passphrase);
            throw;
        }
    }();
    if (options.passphrase)
        wipeString(*options.passphrase);
    progress.done();

    settings::setLastBackupAt(*context.store, std::chrono::system_clock::now());

    if (command.json)
        std::cout << jsonText(nlohmann::json(result)) << "\n";
    else
        printBackupResult(result);
    return 0;
}

int runVerify(Context& context, const std::string& dir, bool asJson) {
    const std::string folder = backupFolder(context, dir);
    VerifyReport report = BackupEngine(context.access).verify(folder);
    if (asJson) {
        std::cout << jsonText(nlohmann::json(report)) << "\n";
        return report.ok() ? 0 : 1;
    }
    const Style style(STDOUT_FILENO);
    std::cout << "Checked " << plural(static_cast<std::size_t>(report.checkedConfigs), "config item", "config items")
              << " and " << plural(static_cast<std::size_t>(report.checkedSecrets), "secret file", "secret files")
              << " in " << paths::abbreviateHome(folder) << "\n";
    if (report.ok()) {
        std::cout << style.green("\u2713") << " No issues found.\n";
        return 0;
    }
    std::cout << style.red(plural(report.issues.size(), "issue", "issues")) << "\n";
    for (const auto& issue : report.issues)
        std::cout << "  - " << issue << "\n";
    return 1;
}

int runHistory(Context& context, const std::string& dir, bool asJson) {
    const std::string folder = backupFolder(context, dir);
    auto runs = BackupEngine(context.access).history(folder);
    if (asJson) {
        std::cout << jsonText(nlohmann::json(runs)) << "\n";
        return 0;
    }
    if (runs.empty()) {
        std::cout << "No backups recorded in " << paths::abbreviateHome(folder) << ".\n";
        return 0;
    }
    const Style style(STDOUT_FILENO);
    std::cout << style.bold(plural(runs.size(), "backup", "backups") + " in " + paths::abbreviateHome(folder))
              << " (newest first)\n";
    for (const auto& run : runs) {
        std::cout << "  " << localTime(run.createdAt) << "  " << run.configCount << " config \u00b7 " << run.secretCount
                  << " secrets \u00b7 " << run.manifestCount << " lists \u00b7 " << formatBytes(run.totalBytes)
                  << (run.usedPassphrase ? " \u00b7 passphrase" : "") << "\n";
    }
    return 0;
}

/// Runs a command body, turning a late usage problem into exit status 2.
int guarded(const std::function<int()>& body) {
    try {
        return body();
    } catch (const UsageError& e) {
        std::cerr << "stowage: " << e.what() << "\n";
        return 2;
    }
}

} // namespace

void addBackupCommands(CLI::App& app, Runner& selected) {
    auto backup = std::make_shared<BackupCommandOptions>();
    auto* cmd = app.add_subcommand("backup", "Scan this machine and back everything selectable up into one folder");
    cmd->add_option("--to", backup->to, "Backup folder (default: the saved backup folder, else ~/StowageBackup)");
    auto* passphraseFlag = cmd->add_flag(
        "--passphrase", backup->passphrase,
        "Seal secrets with a passphrase (from --passphrase-file, STOWAGE_PASSPHRASE, or a prompt) instead of a "
        "random key");
    cmd->add_option("--passphrase-file", backup->passphraseFile, "File whose content is the passphrase")
        ->needs(passphraseFlag);
    cmd->add_flag("--no-secrets", backup->noSecrets, "Leave secrets out");
    cmd->add_flag("--no-config", backup->noConfig, "Leave config files out");
    cmd->add_flag("--no-manifests", backup->noManifests, "Do not regenerate the reinstall lists");
    // "~" is expanded before the folder is checked, so a quoted "~/x" works like an unquoted one.
    const CLI::Validator expandFolder(
        [](std::string& value) {
            value = absoluteFolder(value);
            return std::string();
        },
        "", "expand");
    cmd->add_option("--project", backup->projects, "Project folder whose source tree is copied (repeatable)")
        ->transform(expandFolder)
        ->check(CLI::ExistingDirectory);
    cmd->add_flag("--git-history", backup->gitHistory, "Keep the .git folder of copied projects");
    cmd->add_flag("--full", backup->full, "Rewrite every copy, even unchanged ones");
    cmd->add_option("--root", backup->roots, "Project root to search (repeatable; default: saved scan roots)");
    cmd->add_option("--exclude", backup->excludes, "Exclude glob (repeatable; default: saved exclusion globs)");
    cmd->add_flag("--json", backup->json, "Print the result as one JSON document");
    cmd->callback([backup, &selected] {
        selected = [backup](Context& context) { return guarded([&] { return runBackup(context, *backup); }); };
    });

    auto verifyDir = std::make_shared<std::string>();
    auto verifyJson = std::make_shared<bool>(false);
    auto* verifyCmd = app.add_subcommand("verify", "Check that a backup folder holds what its backup.json promises");
    verifyCmd->add_option("dir", *verifyDir, "Backup folder (default: the saved backup folder)");
    verifyCmd->add_flag("--json", *verifyJson, "Print the report as JSON");
    verifyCmd->callback([verifyDir, verifyJson, &selected] {
        selected = [verifyDir, verifyJson](Context& context) { return runVerify(context, *verifyDir, *verifyJson); };
    });

    auto historyDir = std::make_shared<std::string>();
    auto historyJson = std::make_shared<bool>(false);
    auto* historyCmd = app.add_subcommand("history", "List the backups recorded in a backup folder, newest first");
    historyCmd->add_option("dir", *historyDir, "Backup folder (default: the saved backup folder)");
    historyCmd->add_flag("--json", *historyJson, "Print the runs as JSON");
    historyCmd->callback([historyDir, historyJson, &selected] {
        selected = [historyDir, historyJson](Context& context) {
            return runHistory(context, *historyDir, *historyJson);
        };
    });
}

} // namespace stowage::cli
