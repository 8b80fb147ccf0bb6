#pragma once
// Writes a backup folder from an inventory and the user's choices, and reads an existing one back.
//
// One call of run() performs a whole backup: it regenerates the reinstall lists, copies config
// items and project source trees (pruned, size- and count-limited, incremental), seals the
// selected secret files into the encrypted bundle, writes backup.json and RESTORE.md, measures the
// folder and appends the run to history.json. Non-fatal problems come back as warning sentences in
// BackupResult::warnings (and an item not fully backed up in BackupResult::incompleteItems); copies
// that the new backup.json does not list are removed from config/ and projects/ once it is written;
// run() throws only when the folder cannot be opened or one of its
// essential files (the folder itself, the bundle, backup.json, RESTORE.md) cannot be produced, and
// then the folder's previous backup is left as it was (see BackupEngine.cpp).

#include "core/BackupJournal.hpp"
#include "core/BackupManifest.hpp"
#include "core/FileAccess.hpp"
#include "core/Models.hpp"

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

namespace stowage {

class BackupEngine {
public:
    /// Folder names never copied inside a config item (and, like projectPrune, inside any tree).
    static const std::set<std::string>& configPrune();
    /// Folder names never copied inside a project (and, like configPrune, inside any tree).
    static const std::set<std::string>& projectPrune();

    static constexpr int configMaxFiles = 300;
    static constexpr std::int64_t configMaxBytes = 2'000'000;
    static constexpr int projectMaxFiles = 5000;
    static constexpr std::int64_t projectMaxBytes = 25'000'000;
    /// Limits of one selected secret folder, expanded into the files below it before sealing.
    static constexpr int secretFolderMaxFiles = 2000;
    static constexpr std::int64_t secretFolderMaxBytes = 25'000'000;
    /// The largest secret file sealed; a larger one is left out of the bundle with a warning.
    static constexpr std::int64_t secretMaxBytes = std::int64_t{64} << 20;
    /// How long the random key's keychain copy may take to store.
    static constexpr double keychainTimeout = 5.0;

    /// Receives a short, human description of the stage a run has reached ("Copying ~/.config…").
    /// Called on the thread that runs the backup; never given a secret or file content.
    using ProgressHandler = std::function<void(const std::string& stage)>;

    explicit BackupEngine(FileAccessPtr access, ProgressHandler progress = {});

    /// Every file operation of the engine goes through it.
    FileAccessPtr access;
    ProgressHandler progress;

    /// Backs up into `to` (may begin with "~"). Throws BackupError::io("no access to <to with ~>")
    /// when the folder cannot be opened, and the underlying error when the folder, the bundle,
    /// backup.json or RESTORE.md cannot be produced. The folder's access is begun once and ended
    /// exactly once on every way out after it was granted.
    BackupResult run(const Inventory& inventory, const std::string& to, const BackupOptions& options) const;

    /// What the folder's backup.json promises and whether it is there; see verify() in Verify.hpp.
    VerifyReport verify(const std::string& dir) const;
    /// The folder's runs, newest first; empty on any problem.
    std::vector<BackupRun> history(const std::string& dir) const;

    /// Total size of the files below `path` (a symbolic link counts its own size; nothing is
    /// followed). Unreadable entries count as nothing.
    std::int64_t directorySize(const std::string& path) const;

    /// A project folder as the engine uses it: absolute (a relative path is taken against the
    /// working folder), with "." and ".." resolved and no trailing "/", so "app/", "./app" and
    /// "app" are one project named "app".
    static std::string normalizedProject(const std::string& path);

    /// Copy writers working at once. Each atomic write waits for its data to reach the disk, so
    /// copies are written side by side to keep the disk busy; the walk that decides what is copied
    /// stays sequential and deterministic.
    static constexpr int copyWorkers = 16;

private:
    class CopyQueue;
    struct TreeCopy;
    /// What the copies of one phase left in the folder.
    struct Copied {
        std::vector<std::string> storedPaths;
        /// Every file the phase holds in the folder, absolute paths; also the folders it made.
        std::vector<StoredFile> files;
        std::vector<std::string> folders;
        /// Items not fully backed up, by label.
        std::vector<std::string> incomplete;
        int unchanged = 0;
    };
    struct ConfigCopy : Copied {
        std::vector<ConfigEntry> entries;
    };
    struct ProjectCopy : Copied {
        std::vector<ProjectEntry> entries;
    };

    /// Copies that replace an existing file are first recorded in `journal` (see BackupJournal.hpp).
    ConfigCopy copyConfig(const std::vector<Finding>& findings, const std::string& root, const BackupOptions& options,
                          BackupJournal& journal, std::vector<std::string>& warnings) const;
    /// `sealed`: files this run seals into the bundle, left out of the plain copies.
    ProjectCopy copyProjects(const std::set<std::string>& sources, const std::string& root,
                             const BackupOptions& options, const std::set<std::string>& sealed, BackupJournal& journal,
                             std::vector<std::string>& warnings) const;
    /// Walks one file or folder tree and hands every file to copy to `queue`; `backupRoot` is never
    /// entered, so a backup kept inside a copied tree is not copied into itself.
    void copyTree(const std::string& from, const std::string& to, const std::string& backupRoot,
                  const std::vector<std::string>& exclude, CopyQueue& queue, TreeCopy& tree) const;
    /// The selected secret paths with every folder replaced by the regular files below it; a
    /// file over secretMaxBytes is left out, and named in `incomplete`.
    std::vector<std::string> expandSecretFolders(const std::vector<std::string>& paths,
                                                 const std::vector<std::string>& exclude,
                                                 std::vector<std::string>& warnings,
                                                 std::vector<std::string>& incomplete) const;
    /// Removes from config/ and projects/ whatever the new manifest does not hold: copies of items
    /// no longer selected, excluded or deleted, and links nobody made. `keep` holds the folder
    /// paths (relative to root) of the stored files, the entries and the folders this run made.
    void removeUnlisted(const std::string& root, const std::set<std::string>& keep,
                        std::vector<std::string>& warnings) const;
    void report(const std::string& stage) const;
};

} // namespace stowage
