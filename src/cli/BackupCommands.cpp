// `stowage backup`, `stowage verify` and `stowage history`: write a backup folder, check one, and
// list the runs recorded in one.
//
// Passphrases are never taken as argument values (they would show in the process list and the
// shell history): they come from --passphrase-file, the STOWAGE_PASSPHRASE environment variable, or
// a prompt with echo off, asked twice, when standard input is a terminal.

#include "cli/Cli.hpp"
#include "cli/Output.hpp"
#include "cli/SecretInput.hpp"

#include "core/BackupEngine.hpp"
#include "core/BackupError.hpp"
#include "core/DefaultKnowledgeBase.hpp"
#include "core/Json.hpp"
#include "core/KDF.hpp"
#include "core/Paths.hpp"
#include "core/Scanner.hpp"
#include "core/Settings.hpp"
#include "core/Verify.hpp"

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <iostream>
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
    bool newKey = false;
    bool showRecoveryCode = false;
    bool scheduled = false;
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

/// The folder `verify` and `history` work on: the one given, else the current folder when it holds
/// backup.json (as restore does), else the saved backup folder.
std::string existingBackupFolder(const Context& context, const std::string& given) {
    if (given.empty()) {
        std::error_code ec;
        const std::string here = std::filesystem::current_path(ec).string();
        if (!ec && context.access->exists(paths::join(here, "backup.json")))
            return here;
    }
    return backupFolder(context, given);
}

// ---- Passphrase ------------------------------------------------------------------------------

/// The passphrase to seal with: --passphrase-file, else STOWAGE_PASSPHRASE, else asked twice on the
/// terminal. `origin` says which, for the output.
SecretString readPassphrase(const BackupCommandOptions& options, std::string& origin) {
    // "-" on a terminal is typed, and a passphrase typed for sealing is always confirmed.
    if (!options.passphraseFile.empty() && !(options.passphraseFile == "-" && canPrompt())) {
        SecretString text = readSecretFile(options.passphraseFile, "passphrase");
        if (text.empty())
            throw std::runtime_error("The passphrase file " + options.passphraseFile + " is empty.");
        origin = "file";
        return text;
    }
    if (auto fromEnvironment = secretFromEnvironment(passphraseVariable);
        fromEnvironment && !fromEnvironment->empty() && options.passphraseFile.empty()) {
        origin = passphraseVariable;
        return std::move(*fromEnvironment);
    }
    if (!canPrompt())
        throw UsageError("--passphrase needs --passphrase-file, the STOWAGE_PASSPHRASE environment variable, or a "
                         "terminal to ask on.");
    SecretString first = promptHidden("Passphrase: ").value_or(SecretString());
    if (first.empty())
        throw std::runtime_error("Enter a passphrase to encrypt your secrets (or switch off encryption).");
    SecretString second = promptHidden("Confirm passphrase: ").value_or(SecretString());
    if (!(first == second))
        throw std::runtime_error("Passphrase and confirmation don't match.");
    origin = "prompt";
    return first;
}

// ---- Human output ----------------------------------------------------------------------------

std::string plural(std::size_t n, const std::string& one, const std::string& many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

/// A new key's code in full, once; a kept key's code only when asked for, since the user saved it
/// when it was new and every extra showing leaves it in another scrollback or log.
void printRecoveryCode(const BackupResult& result, bool showKept) {
    const Style style(STDOUT_FILENO);
    auto& out = std::cout;
    if (!result.newKey && !showKept) {
        out << "\n  Recovery code: " << style.bold("unchanged")
            << " \u2014 the code you saved at your last backup on this machine opens this backup.\n"
            << "  (--show-recovery-code prints it again.)\n";
        return;
    }
    const std::string rule(64, '=');
    out << "\n" << style.bold(rule) << "\n";
    if (result.newKey) {
        out << style.bold("  NEW RECOVERY CODE \u2014 shown once. Save it somewhere safe, off this machine.") << "\n";
        out << "  " << style.yellow("Recovery codes saved before this backup no longer open it.") << "\n\n";
    } else {
        out << style.bold("  RECOVERY CODE (unchanged) \u2014 the one you saved before still opens this backup.")
            << "\n\n";
    }
    out << "      " << style.bold(style.cyan(*result.recoveryCode)) << "\n\n";
    if (!result.newKey)
        out << "  This machine's keychain holds the key.\n";
    else if (result.keyStoredInKeychain)
        out << "  A copy of the key was stored in this machine's keychain.\n";
    else
        out << "  "
            << style.yellow("The key could NOT be stored in this machine's keychain: this code is your only "
                            "way back in.")
            << "\n";
    out << "  To restore the secrets on another machine you need this code.\n";
    out << style.bold(rule) << "\n";
}

void printBackupResult(const BackupResult& result, const std::string& passphraseOrigin, bool showKeptCode) {
    const Style style(STDOUT_FILENO);
    auto& out = std::cout;
    if (result.complete())
        out << style.green("\u2713") << " " << style.bold("Backed up to " + paths::abbreviateHome(result.outputDir))
            << "\n";
    else
        out << style.red("\u2717") << " "
            << style.bold("Backed up to " + paths::abbreviateHome(result.outputDir) + ", but " +
                          plural(result.incompleteItems.size(), "item was", "items were") + " not fully backed up")
            << "\n";
    out << "  " << plural(result.configFiles.size(), "config item", "config items") << " \u00b7 "
        << plural(result.capturedSecrets.size(), "secret file", "secret files") << " \u00b7 "
        << plural(result.projectsBackedUp.size(), "project", "projects") << " \u00b7 "
        << plural(result.manifests.size(), "reinstall list", "reinstall lists") << "\n";
    if (result.unchangedFiles > 0)
        out << "  " << plural(static_cast<std::size_t>(result.unchangedFiles), "config file", "config files")
            << " unchanged since the last backup\n";
    if (result.secretsBundlePath)
        out << "  Secrets sealed "
            << (!result.usedPassphrase                   ? std::string("with a random key")
                : passphraseOrigin == passphraseVariable ? "with the passphrase from " + passphraseOrigin
                                                         : std::string("with your passphrase"))
            << " in " << paths::abbreviateHome(*result.secretsBundlePath) << "\n";
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
    if (!result.complete()) {
        out << "\n"
            << style.red("Not fully backed up (see the warnings above; the rest of the backup was kept):") << "\n";
        for (const auto& item : result.incompleteItems)
            out << "  - " << item << "\n";
    }
    if (result.recoveryCode)
        printRecoveryCode(result, showKeptCode);
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

std::pair<int, BackupResult> runBackupNow(Context& context, const BackupCommandOptions& command);

/// A run started by the scheduler: the saved settings, never a prompt or a passphrase, the
/// keychain's key only (so the recovery code the user saved keeps opening the folder), and its
/// outcome recorded and, when it fails, announced on the desktop.
int runScheduled(Context& context, const BackupCommandOptions& given) {
    if (given.passphrase || given.newKey || !given.passphraseFile.empty())
        throw UsageError("--scheduled seals with the key kept in the keyring; it takes no passphrase and no new key.");
    BackupCommandOptions command = given;
    command.showRecoveryCode = false;
    return runScheduledBackup(context, [&] {
        BackupResult result = runBackupNow(context, command).second;
        ScheduledOutcome outcome;
        outcome.summary = "Backed up " + plural(result.configFiles.size(), "config item", "config items") + ", " +
                          plural(result.capturedSecrets.size(), "secret file", "secret files") + " and " +
                          plural(result.projectsBackedUp.size(), "project", "projects") + " to " +
                          paths::abbreviateHome(result.outputDir) + ".";
        if (!result.warnings.empty())
            outcome.summary += " " + plural(result.warnings.size(), "warning", "warnings") + ": " + result.warnings.front();
        return outcome;
    });
}

int runBackup(Context& context, const BackupCommandOptions& command) {
    if (command.scheduled)
        return runScheduled(context, command);
    return runBackupNow(context, command).first;
}

std::pair<int, BackupResult> runBackupNow(Context& context, const BackupCommandOptions& command) {
    BackupOptions options;
    options.includeSecrets = !command.noSecrets;
    options.includeConfig = !command.noConfig;
    options.includeManifests = !command.noManifests;
    options.includeProjectGitHistory = command.gitHistory;
    options.incremental = !command.full && context.store->boolean("incremental").value_or(true);
    for (const auto& project : command.projects)
        options.projectSources.insert(absoluteFolder(project));

    const std::string folder = backupFolder(context, command.to);

    options.newKey = command.newKey;
    options.requireKeptKey = command.scheduled;

    // STOWAGE_PASSPHRASE is the non-interactive way to ask for a passphrase: set, it seals with the
    // passphrase even without --passphrase, rather than leaving a script with a random key it never
    // sees. Set but empty it is a mistake (an unset variable expanded), not a request for a random key.
    const auto fromEnvironment =
        command.scheduled ? std::nullopt : secretFromEnvironment(passphraseVariable);
    const bool environmentAsks = fromEnvironment.has_value() && options.includeSecrets;
    if (environmentAsks && fromEnvironment->empty() && !command.passphrase)
        throw UsageError("STOWAGE_PASSPHRASE is set but empty: put the passphrase in it, or unset it to seal "
                         "secrets with a random key.");
    if (environmentAsks && command.newKey)
        throw UsageError("--new-key draws a random key, but STOWAGE_PASSPHRASE asks for a passphrase: unset it or "
                         "leave --new-key out.");

    // Asked before the scan, so a mistyped confirmation costs nothing.
    SecretString passphrase;
    std::string passphraseOrigin;
    if ((command.passphrase || environmentAsks) && options.includeSecrets) {
        passphrase = readPassphrase(command, passphraseOrigin);
        const std::string strength = PassphraseStrength::label(PassphraseStrength::score(passphrase.view()));
        if (strength == "Weak")
            std::cerr << "warning: passphrase strength: " << strength << "\n";
        options.passphrase = passphrase.str();
    }

    Progress progress;
    progress.update("Scanning your machine\u2026");
    auto roots = resolveRoots(context, command.roots);
    auto excludes = resolveExcludes(context, command.excludes);
    // Only what this run can back up is looked for: the copies take config findings, the bundle
    // secret ones, and nothing takes the rest (a --no-secrets run pays for no .env hunt).
    std::vector<ArtifactRule> rules;
    for (const auto& rule : DefaultKnowledgeBase::rules())
        if ((rule.tier == Tier::config && options.includeConfig) ||
            (rule.tier == Tier::secret && options.includeSecrets))
            rules.push_back(rule);
    Inventory inventory = Scanner(std::move(rules), roots, 400, excludes, context.access).scan();
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

    if (command.json) {
        nlohmann::json j = result;
        if (result.usedPassphrase)
            j["passphraseFrom"] = passphraseOrigin;
        std::cout << jsonDocument(j) << "\n";
    } else {
        printBackupResult(result, passphraseOrigin, command.showRecoveryCode);
    }
    // The backup is kept and usable, but a selected item is missing from it: not a success.
    const int status = result.complete() ? 0 : 1;
    return {status, std::move(result)};
}

struct DeepOptions {
    bool deep = false;
    std::string recoveryCodeFile;
    std::string passphraseFile;
};

/// The key of the bundle for `verify --deep`, asked for only in the form the bundle needs. A
/// recovery code: --recovery-code-file, else STOWAGE_RECOVERY_CODE, else this machine's keychain,
/// else asked for on a terminal. A passphrase: --passphrase-file, else STOWAGE_PASSPHRASE, else
/// asked for on a terminal. Absent when none of these gives one.
std::optional<KeySource> deepKey(const DeepOptions& options, bool passphraseBundle) {
    if (passphraseBundle) {
        std::optional<SecretString> text;
        if (!options.passphraseFile.empty())
            text = readSecretFile(options.passphraseFile, "passphrase");
        else if (auto fromEnvironment = secretFromEnvironment(passphraseVariable);
                 fromEnvironment && !fromEnvironment->empty())
            text = std::move(fromEnvironment);
        else
            text = promptHidden("Passphrase for secrets.stowage: ");
        if (!text || text->empty())
            return std::nullopt;
        return KeySource::passphrase(std::move(*text));
    }
    std::optional<SecretString> code;
    if (!options.recoveryCodeFile.empty())
        code = readSecretFile(options.recoveryCodeFile, "recovery code");
    else if (auto fromEnvironment = secretFromEnvironment(recoveryCodeVariable);
             fromEnvironment && !fromEnvironment->empty())
        code = std::move(fromEnvironment);
    if (!code) {
        if (auto key = BundleKey::loadFromKeychain(BackupEngine::keychainTimeout))
            return KeySource::rawKey(std::move(*key));
        code = promptHidden("Recovery code (input hidden): ");
    }
    if (!code || code->empty())
        return std::nullopt;
    return KeySource::rawKey(BundleKey::key(code->view()));
}

int runVerify(Context& context, const std::string& dir, bool asJson, const DeepOptions& deep = {}) {
    const std::string folder = existingBackupFolder(context, dir);
    VerifyReport report = deep.deep ? verifyDeep(folder, *context.access,
                                                 [&](bool passphraseBundle) { return deepKey(deep, passphraseBundle); })
                                    : BackupEngine(context.access).verify(folder);
    if (asJson) {
        std::cout << jsonDocument(nlohmann::json(report)) << "\n";
        return report.ok() ? 0 : 1;
    }
    const Style style(STDOUT_FILENO);
    std::cout << "Checked " << plural(static_cast<std::size_t>(report.checkedConfigs), "config item", "config items")
              << ", " << plural(static_cast<std::size_t>(report.checkedFiles), "stored file", "stored files") << " and "
              << plural(static_cast<std::size_t>(report.checkedSecrets), "secret file", "secret files") << " in "
              << paths::abbreviateHome(folder) << "\n";
    if (report.ok()) {
        if (deep.deep && report.checkedSecrets > 0)
            std::cout << "secrets.stowage opens and holds every listed secret.\n";
        std::cout << style.green("\u2713") << " No issues found.\n";
        return 0;
    }
    std::cout << style.red(plural(report.issues.size(), "issue", "issues")) << "\n";
    for (const auto& issue : report.issues)
        std::cout << "  - " << issue << "\n";
    return 1;
}

int runHistory(Context& context, const std::string& dir, bool asJson) {
    const std::string folder = existingBackupFolder(context, dir);
    auto runs = BackupEngine(context.access).history(folder);
    if (asJson) {
        std::cout << jsonDocument(nlohmann::json(runs)) << "\n";
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
    cmd->add_flag("--scheduled", backup->scheduled,
                  "Run as the scheduler does: saved settings, no prompts, only the key kept in the keyring; the "
                  "outcome is recorded and a failure shows a desktop notification");
    cmd->add_flag("--new-key", backup->newKey,
                  "Seal with a new random key even when this machine's keychain holds the one this folder opens "
                  "with; recovery codes saved before then no longer open this backup")
        ->excludes(passphraseFlag);
    cmd->add_flag("--show-recovery-code", backup->showRecoveryCode,
                  "Print the recovery code also when it is unchanged (a new one is always printed)");
    cmd->callback([backup, &selected] {
        selected = [backup](Context& context) { return guarded([&] { return runBackup(context, *backup); }); };
    });

    auto verifyDir = std::make_shared<std::string>();
    auto verifyJson = std::make_shared<bool>(false);
    auto* verifyCmd = app.add_subcommand("verify", "Check that a backup folder holds what its backup.json promises");
    verifyCmd->add_option("dir", *verifyDir,
                          "Backup folder (default: the current folder when it holds backup.json, else the saved one)");
    verifyCmd->add_flag("--json", *verifyJson, "Print the report as JSON");
    auto deep = std::make_shared<DeepOptions>();
    auto* deepFlag = verifyCmd->add_flag(
        "--deep", deep->deep,
        "Also open secrets.stowage and check that every listed secret is inside (key from this machine's keychain, "
        "--recovery-code-file, STOWAGE_RECOVERY_CODE, a passphrase, or a prompt)");
    verifyCmd
        ->add_option("--recovery-code-file", deep->recoveryCodeFile,
                     "File holding the recovery code (\"-\" for standard input); a pipe or <(...) works too")
        ->needs(deepFlag);
    verifyCmd
        ->add_option("--passphrase-file", deep->passphraseFile,
                     "File holding the passphrase (\"-\" for standard input); else STOWAGE_PASSPHRASE or a prompt")
        ->needs(deepFlag);
    verifyCmd->callback([verifyDir, verifyJson, deep, &selected] {
        selected = [verifyDir, verifyJson, deep](Context& context) {
            return runVerify(context, *verifyDir, *verifyJson, *deep);
        };
    });

    auto historyDir = std::make_shared<std::string>();
    auto historyJson = std::make_shared<bool>(false);
    auto* historyCmd = app.add_subcommand("history", "List the backups recorded in a backup folder, newest first");
    historyCmd->add_option("dir", *historyDir,
                           "Backup folder (default: the current folder when it holds backup.json, else the saved one)");
    historyCmd->add_flag("--json", *historyJson, "Print the runs as JSON");
    historyCmd->callback([historyDir, historyJson, &selected] {
        selected = [historyDir, historyJson](Context& context) {
            return runHistory(context, *historyDir, *historyJson);
        };
    });
}

} // namespace stowage::cli
