// `stowage restore`: puts a backup folder's config items, project trees and secrets back, with the
// same choices as the application's restore pane.
//
// The key is obtained and the bundle opened before anything is written, so a wrong passphrase or
// recovery code never leaves half a restore behind. Passphrases are never taken as argument values:
// --passphrase-file (or "-" for standard input), STOWAGE_PASSPHRASE, or a prompt without echo on a
// terminal. A recovery code comes the same ways (--recovery-code-file, STOWAGE_RECOVERY_CODE, the
// prompt) or, exposed to other users, as the value of --recovery-code.

#include "cli/Cli.hpp"
#include "cli/Output.hpp"
#include "cli/SecretInput.hpp"

#include "core/BackupError.hpp"
#include "core/GitInfo.hpp"
#include "core/KDF.hpp"
#include "core/Paths.hpp"
#include "core/RestoreEngine.hpp"
#include "core/Settings.hpp"
#include "core/Wording.hpp"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <stdexcept>
#include <unistd.h>

namespace stowage::cli {

namespace {

struct RestoreOptions {
    std::string from;
    bool config = false;
    bool secrets = false;
    bool projects = false;
    std::vector<std::string> only;
    std::optional<std::string> recoveryCode;
    std::optional<std::string> recoveryCodeFile;
    std::optional<std::string> passphraseFile;
    std::string policy = "overwrite";
    bool noSaveReplaced = false;
    bool dryRun = false;
    std::string prefix;
    std::vector<std::string> projectRoots;
    bool noRelocate = false;
    bool json = false;
};

/// A project secret left out because its repository was not found on this machine.
struct Unresolved {
    std::string originalPath;
    ProjectContext project;
};

/// One kind's part of the run.
struct Section {
    std::string title;
    std::string label;
    std::vector<RestoreOutcome> outcomes;
};

// ---- Paths -------------------------------------------------------------------------------------

/// A path typed by the user: "~" expanded, taken relative to the current folder, no trailing "/".
std::string absoluteUserPath(const std::string& typed) {
    std::string path = paths::expandTilde(typed);
    if (path.empty() || path[0] != '/')
        path = std::filesystem::absolute(path).lexically_normal().string();
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

std::string resolveBackupDir(const Context& context, const RestoreOptions& options) {
    if (!options.from.empty())
        return absoluteUserPath(options.from);
    std::error_code ec;
    const std::string here = std::filesystem::current_path(ec).string();
    if (!ec && context.access->exists(paths::join(here, "backup.json")))
        return here;
    return absoluteUserPath(settings::backupDir(*context.store));
}

// ---- Selection ---------------------------------------------------------------------------------

/// The recorded paths that --only picks: those equal to or below a given path, compared both as
/// recorded and as moved under this home folder (so "~/.zshrc" finds a backup from another home).
class OnlyFilter {
public:
    OnlyFilter(const std::vector<std::string>& typed, HomeMapping home) : home_(std::move(home)) {
        for (const auto& t : typed)
            wanted_.push_back(absoluteUserPath(t));
        used_.assign(wanted_.size(), false);
    }

    bool active() const { return !wanted_.empty(); }

    RestoreSelection select(const std::vector<std::string>& recorded) {
        if (!active())
            return std::nullopt;
        std::set<std::string> chosen;
        for (const std::string& path : recorded)
            for (size_t i = 0; i < wanted_.size(); ++i)
                if (paths::isUnder(path, wanted_[i]) || paths::isUnder(home_(path), wanted_[i])) {
                    chosen.insert(path);
                    used_[i] = true;
                }
        return chosen;
    }

    /// The first given path that matched nothing restored.
    std::optional<std::string> unmatched() const {
        for (size_t i = 0; i < wanted_.size(); ++i)
            if (!used_[i])
                return wanted_[i];
        return std::nullopt;
    }

private:
    HomeMapping home_;
    std::vector<std::string> wanted_;
    std::vector<bool> used_;
};

bool selectsNothing(const RestoreSelection& select) {
    return select && select->empty();
}

// ---- Keys --------------------------------------------------------------------------------------

SecretString passphraseFor(const RestoreOptions& options) {
    std::optional<SecretString> passphrase;
    if (options.passphraseFile)
        passphrase = readSecretFile(*options.passphraseFile, "passphrase");
    else if (auto fromEnvironment = secretFromEnvironment(passphraseVariable))
        passphrase = std::move(fromEnvironment);
    else
        passphrase = promptHidden("Passphrase for secrets.stowage: ");
    if (!passphrase)
        throw std::runtime_error("These secrets are sealed with a passphrase: give it with --passphrase-file FILE or "
                                 "STOWAGE_PASSPHRASE, or run on a terminal to be asked for it.");
    if (passphrase->empty())
        throw std::runtime_error("No passphrase given.");
    return std::move(*passphrase);
}

/// The recovery code given for this run: --recovery-code-file, else --recovery-code, else
/// STOWAGE_RECOVERY_CODE. Absent when none is given: the keychain is tried, then a prompt.
std::optional<SecretString> givenRecoveryCode(const RestoreOptions& options) {
    if (options.recoveryCodeFile)
        return readSecretFile(*options.recoveryCodeFile, "recovery code");
    if (options.recoveryCode)
        return SecretString(*options.recoveryCode);
    if (auto fromEnvironment = secretFromEnvironment(recoveryCodeVariable);
        fromEnvironment && !fromEnvironment->empty())
        return fromEnvironment;
    return std::nullopt;
}

/// Opens the bundle with what was given; when nothing was given and this machine's keychain has no
/// key that opens it, asks for the recovery code on a terminal.
BundlePayload openSecrets(const RestoreEngine& engine, const std::string& dir, const RestoreOptions& options,
                          Progress& progress) {
    std::optional<SecretString> passphrase, recoveryCode;
    if (engine.secretsNeedPassphrase(dir)) {
        if (options.recoveryCode || options.recoveryCodeFile)
            std::cerr << "These secrets are sealed with a passphrase; the recovery code is not used.\n";
        passphrase = passphraseFor(options);
    } else {
        recoveryCode = givenRecoveryCode(options);
    }
    progress.update("Opening secrets\u2026");
    try {
        return engine.openSecrets(dir, passphrase, recoveryCode);
    } catch (const BackupError& e) {
        const bool keychainFailed =
            !passphrase && !recoveryCode &&
            (e.kind() == BackupError::Kind::badRecoveryCode || e.kind() == BackupError::Kind::decryptFailed);
        if (!keychainFailed || !canPrompt())
            throw;
    }
    progress.done();
    recoveryCode = promptHidden(wording::localized("This machine's keychain does not open these secrets.\n") +
                                "Recovery code (input hidden): ");
    if (!recoveryCode || recoveryCode->empty())
        throw BackupError::badRecoveryCode();
    progress.update("Opening secrets\u2026");
    return engine.openSecrets(dir, std::nullopt, recoveryCode);
}

// ---- Output ------------------------------------------------------------------------------------

std::string comparison(const FileDiff& diff) {
    return toString(diff.kind);
}

/// The word shown before a path: what happens to it, or in a dry run how the backup copy compares
/// with what is there now.
std::string verdict(const RestoreOutcome& outcome, bool dry) {
    using Action = RestoreOutcome::Action;
    switch (outcome.action) {
    case Action::skipped:
        return "skipped";
    case Action::wroteBeside:
        return "beside";
    case Action::unchanged:
        return "identical";
    case Action::failed:
        return "failed";
    case Action::restored:
        break;
    }
    if (!dry)
        return "restored";
    return outcome.diff ? comparison(*outcome.diff) : "directory";
}

std::string paint(const Style& style, const std::string& word, const std::string& text) {
    if (word == "new" || word == "restored")
        return style.green(text);
    if (word == "modified" || word == "binary" || word == "beside")
        return style.yellow(text);
    if (word == "failed")
        return style.red(text);
    if (word == "skipped" || word == "identical")
        return style.dim(text);
    return style.cyan(text);
}

/// Length of the valid UTF-8 sequence starting at `at`, or 0 when the bytes there are not one.
size_t utf8Length(const std::string& text, size_t at) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xe ? 3 : (lead >> 3) == 0x1e ? 4 : 0;
    if (length == 0 || at + length > text.size() || (length == 2 && lead < 0xc2))
        return 0;
    for (size_t i = 1; i < length; ++i)
        if ((byte(at + i) & 0xc0) != 0x80)
            return 0;
    if ((length == 3 && lead == 0xe0 && byte(at + 1) < 0xa0) || (length == 3 && lead == 0xed && byte(at + 1) >= 0xa0) ||
        (length == 4 && lead == 0xf0 && byte(at + 1) < 0x90) ||
        (length == 4 && (lead > 0xf4 || (lead == 0xf4 && byte(at + 1) >= 0x90))))
        return 0;
    return length;
}

/// A file name as a terminal may show it: control characters (which could move the cursor or
/// rewrite earlier lines) and bytes that are not UTF-8 appear as \xNN escapes.
std::string shownPath(const std::string& path) {
    static const char* const kDigits = "0123456789abcdef";
    const std::string text = paths::abbreviateHome(path);
    std::string shown;
    for (size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        const size_t length = utf8Length(text, i);
        if (length == 0 || c < 0x20 || c == 0x7f) {
            shown += "\\x";
            shown += kDigits[c >> 4];
            shown += kDigits[c & 0xf];
            ++i;
        } else {
            shown.append(text, i, length);
            i += length;
        }
    }
    return shown;
}

void printOutcome(const Style& style, const RestoreOutcome& outcome, bool dry, const std::string& indent = "  ") {
    const std::string word = verdict(outcome, dry);
    std::string padded = word;
    padded.resize(std::max<size_t>(padded.size(), 10), ' ');
    std::cout << indent << paint(style, word, padded) << " "
              << shownPath(outcome.writtenPath ? *outcome.writtenPath : outcome.originalPath);
    if (outcome.needsRoot)
        std::cout << style.dim(" (needs root)");
    else if (outcome.action == RestoreOutcome::Action::skipped)
        std::cout << style.dim(" (exists)");
    if (outcome.error)
        std::cout << "  " << style.red(*outcome.error);
    // Skipped, beside and failed entries still say how the file there compares with the backup copy.
    if (dry && outcome.diff && outcome.action != RestoreOutcome::Action::restored &&
        outcome.action != RestoreOutcome::Action::unchanged && outcome.diff->kind != FileDiff::Kind::directory)
        std::cout << style.dim("  existing file " + comparison(*outcome.diff));
    if (outcome.diff && outcome.diff->kind == FileDiff::Kind::modified &&
        (outcome.diff->added != 0 || outcome.diff->removed != 0))
        std::cout << "  " << style.green("+" + std::to_string(outcome.diff->added)) << "/"
                  << style.red("\u2212" + std::to_string(outcome.diff->removed));
    if (outcome.backedUpTo)
        std::cout << style.dim("  (previous version saved to " + shownPath(*outcome.backedUpTo) + ")");
    std::cout << "\n";
    if (outcome.diff) {
        for (const std::string& line : outcome.diff->hunks) {
            std::string shown = indent + "    " + printable(line);
            if (line.rfind("+ ", 0) == 0)
                std::cout << style.green(shown) << "\n";
            else if (line.rfind("- ", 0) == 0)
                std::cout << style.red(shown) << "\n";
            else if (line == "\u2026")
                std::cout << style.dim(shown) << "\n";
            else
                std::cout << shown << "\n";
        }
    }
    // A folder lists what happens inside it; a folder that is new as a whole only counts its files.
    const bool allNew = std::all_of(outcome.files.begin(), outcome.files.end(), [](const RestoreOutcome& file) {
        return file.action == RestoreOutcome::Action::restored &&
               (!file.diff || file.diff->kind == FileDiff::Kind::new_);
    });
    if (dry && allNew && outcome.files.size() > 1) {
        std::cout << indent << "    " << style.dim(std::to_string(outcome.files.size()) + " new file(s)") << "\n";
        return;
    }
    for (const RestoreOutcome& file : outcome.files)
        printOutcome(style, file, dry, indent + "  ");
}

/// Whether any entry, or any file inside one, failed.
bool anyFailed(const std::vector<RestoreOutcome>& outcomes) {
    return std::any_of(outcomes.begin(), outcomes.end(), [](const RestoreOutcome& outcome) {
        return outcome.action == RestoreOutcome::Action::failed || anyFailed(outcome.files);
    });
}

void printHuman(const std::string& dir, const std::vector<Section>& sections, const std::vector<Unresolved>& unresolved,
                bool dry) {
    const Style style(STDOUT_FILENO);
    std::cout << style.bold(dry ? "Dry run \u2014 nothing was written." : "Restored from " + paths::abbreviateHome(dir))
              << "\n";
    if (sections.empty()) {
        std::cout << "Nothing selected.\n";
        return;
    }
    for (const Section& section : sections) {
        std::cout << "\n" << style.bold(section.title) << "\n";
        if (section.outcomes.empty())
            std::cout << style.dim("  nothing selected") << "\n";
        for (const RestoreOutcome& outcome : section.outcomes)
            printOutcome(style, outcome, dry);
    }
    if (!unresolved.empty()) {
        std::cout << "\n"
                  << style.yellow(
                         std::to_string(unresolved.size()) +
                         " project secret(s) not restored \u2014 their repository was not found on this machine:")
                  << "\n";
        for (const Unresolved& u : unresolved)
            std::cout << "  " << shownPath(u.originalPath) << "  "
                      << style.dim(u.project.remote ? "(" + printable(GitInfo::displayRemote(*u.project.remote)) + ")"
                                                    : "(no remote recorded)")
                      << "\n";
        std::cout << style.dim("Clone each repository under a project root (or name its folder with --project-root), "
                               "then run again; --no-relocate writes them to their recorded paths instead.")
                  << "\n";
    }
    std::cout << "\n";
    for (const Section& section : sections)
        std::cout << summarize(section.outcomes, section.label, dry) << "\n";
}

nlohmann::json toJson(const std::string& dir, const std::vector<Section>& sections,
                      const std::vector<Unresolved>& unresolved, bool dry) {
    nlohmann::json outcomes = nlohmann::json::array();
    nlohmann::json report = nlohmann::json::array();
    for (const Section& section : sections) {
        for (const RestoreOutcome& outcome : section.outcomes) {
            nlohmann::json j = outcome;
            j["kind"] = section.label;
            outcomes.push_back(std::move(j));
        }
        report.push_back(summarize(section.outcomes, section.label, dry));
    }
    if (sections.empty())
        report.push_back("Nothing selected.");
    nlohmann::json left = nlohmann::json::array();
    for (const Unresolved& u : unresolved) {
        ProjectContext shown = u.project;
        if (shown.remote)
            shown.remote = GitInfo::displayRemote(*shown.remote);
        left.push_back({{"originalPath", u.originalPath}, {"project", shown}});
    }
    return {{"backupDir", dir}, {"dryRun", dry}, {"outcomes", outcomes}, {"report", report}, {"unresolved", left}};
}

// ---- The run -----------------------------------------------------------------------------------

int run(Context& context, const RestoreOptions& options) {
    const std::string dir = resolveBackupDir(context, options);
    RestoreEngine engine(context.access);
    const BackupManifest manifest = engine.loadManifest(dir);
    const HomeMapping home = HomeMapping::forManifest(manifest);

    const bool anyKind = options.config || options.secrets || options.projects;
    const bool hasProjects = manifest.projects && !manifest.projects->empty();
    const bool doConfig = anyKind ? options.config : !manifest.configs.empty();
    const bool doProjects = anyKind ? options.projects : hasProjects;
    const bool doSecrets = anyKind ? options.secrets : manifest.hasSecrets;

    OnlyFilter only(options.only, home);
    std::vector<std::string> recordedConfigs, recordedProjects;
    for (const auto& entry : manifest.configs)
        recordedConfigs.push_back(entry.originalPath);
    if (manifest.projects)
        for (const auto& entry : *manifest.projects)
            recordedProjects.push_back(entry.originalPath);
    const RestoreSelection configSelect = doConfig ? only.select(recordedConfigs) : std::nullopt;
    const RestoreSelection projectSelect = doProjects ? only.select(recordedProjects) : std::nullopt;
    RestoreSelection secretSelect = doSecrets ? only.select(manifest.secretPaths) : std::nullopt;
    if (auto missed = only.unmatched())
        throw std::runtime_error("Nothing in this backup matches " + paths::abbreviateHome(*missed) + ".");

    const ConflictPolicy policy = conflictPolicyFromString(options.policy).value_or(ConflictPolicy::overwrite);
    std::optional<std::string> snapshot;
    if (policy == ConflictPolicy::overwrite && !options.noSaveReplaced)
        snapshot = paths::join(dir, RestoreEngine::snapshotFolderName);
    std::optional<std::string> prefix;
    if (!options.prefix.empty())
        prefix = absoluteUserPath(options.prefix);

    Progress progress;
    // Secrets first in preparation: the key and the relocation plan are settled before any write.
    std::optional<BundlePayload> payload;
    RestoreDestinations destinations;
    std::vector<Unresolved> unresolved;
    const bool secretsWanted = doSecrets && !selectsNothing(secretSelect);
    if (secretsWanted) {
        payload = openSecrets(engine, dir, options, progress);
        if (!options.noRelocate) {
            progress.update("Looking for your repositories\u2026");
            auto plans = engine.planRelocations(dir, *payload, resolveRoots(context, options.projectRoots), false);
            std::set<std::string> chosen;
            for (const BundleFile& file : payload->files)
                if (!secretSelect || secretSelect->count(file.path))
                    chosen.insert(file.path);
            std::map<std::string, std::string> table;
            for (const RelocationPlan& plan : plans) {
                if (!plan.project || !chosen.count(plan.originalPath))
                    continue;
                if (plan.destination) {
                    table[plan.originalPath] = *plan.destination;
                } else {
                    // Never written to its old absolute path, where the project no longer is.
                    chosen.erase(plan.originalPath);
                    unresolved.push_back({plan.originalPath, *plan.project});
                }
            }
            secretSelect = std::move(chosen);
            if (!table.empty())
                destinations = std::move(table);
        }
    }

    std::vector<Section> sections;
    if (doConfig && !selectsNothing(configSelect)) {
        progress.update(options.dryRun ? "Comparing config\u2026" : "Restoring config\u2026");
        sections.push_back(
            {"Config", "config", engine.restoreConfig(dir, configSelect, policy, snapshot, prefix, options.dryRun)});
    }
    if (doProjects && !selectsNothing(projectSelect)) {
        progress.update(options.dryRun ? "Comparing projects\u2026" : "Restoring projects\u2026");
        sections.push_back(
            {"Projects", "project",
             engine.restoreProjects(dir, projectSelect, policy, snapshot, std::nullopt, prefix, options.dryRun)});
    }
    if (payload) {
        progress.update(options.dryRun ? "Comparing secrets\u2026" : "Restoring secrets\u2026");
        sections.push_back({"Secrets", "secret",
                            engine.restoreSecrets(dir, *payload, secretSelect, policy, snapshot, destinations, prefix,
                                                  options.dryRun)});
    }
    progress.done();

    if (options.json)
        std::cout << jsonDocument(toJson(dir, sections, unresolved, options.dryRun)) << "\n";
    else
        printHuman(dir, sections, unresolved, options.dryRun);
    // Every entry was tried; one that could not be restored still makes the run a failure.
    for (const Section& section : sections)
        if (anyFailed(section.outcomes))
            return 1;
    return 0;
}

} // namespace

void addRestoreCommand(CLI::App& app, Runner& selected) {
    auto options = std::make_shared<RestoreOptions>();
    auto* cmd = app.add_subcommand("restore", "Put a backup's config files, projects and secrets back on this machine");
    cmd->add_option("--from", options->from,
                    "Backup folder (default: the current folder when it holds backup.json, else the saved one)");
    cmd->add_flag("--config", options->config, "Restore config files");
    cmd->add_flag("--secrets", options->secrets, "Restore secrets");
    cmd->add_flag("--projects", options->projects, "Restore project sources");
    cmd->add_option("--only", options->only, "Restore only this recorded path or what lies below it (repeatable)");
    // The code is a secret: the file, the environment variable and the prompt keep it off the command
    // line, where the process list and the shell history would show it.
    auto* codeFile = cmd->add_option(
        "--recovery-code-file", options->recoveryCodeFile,
        "File holding the recovery code (\"-\" for standard input; a pipe or <(...) works too). Without it: "
        "STOWAGE_RECOVERY_CODE, this machine's keychain, then a prompt on a terminal");
    cmd->add_option("--recovery-code", options->recoveryCode,
                    "The recovery code itself. Other users can see it in the process list and it stays in your shell "
                    "history: prefer --recovery-code-file, STOWAGE_RECOVERY_CODE or the prompt")
        ->excludes(codeFile);
    cmd->add_option("--passphrase-file", options->passphraseFile,
                    "File holding the passphrase (\"-\" for standard input); else STOWAGE_PASSPHRASE or a prompt");
    cmd->add_option("--policy", options->policy, "What to do with files that already exist (default: overwrite)")
        ->check(CLI::IsMember({"overwrite", "skip", "writeBeside"}));
    cmd->add_flag("--no-save-replaced", options->noSaveReplaced,
                  "Do not save replaced files into the backup's .stowage-overwritten folder");
    cmd->add_flag("--dry-run", options->dryRun, "Show what would change, with diffs; write nothing");
    cmd->add_option("--prefix", options->prefix, "Restore every file under this folder instead of its own place");
    cmd->add_option("--project-root", options->projectRoots,
                    "Where to look for repositories of project secrets (repeatable; default: saved scan roots)");
    cmd->add_flag("--no-relocate", options->noRelocate, "Write every secret to its recorded path");
    cmd->add_flag("--json", options->json, "Print the outcomes as one JSON document");
    cmd->callback([options, &selected] { selected = [options](Context& context) { return run(context, *options); }; });
}

} // namespace stowage::cli
