#pragma once
// Reinstall lists and the restore guide of a backup folder.
//
// Much of a developer machine is reinstalled rather than restored, so a backup asks the package
// tools what is installed and keeps their answers as small text files in manifest/, plus the list
// of installed applications with how to get each back. RESTORE.md, written at the end of every
// run, walks the fresh machine through the backup in order.
//
// Every tool runs through the shell runner without a working folder and with its 120-second limit;
// the tools run side by side and their answers are taken in a fixed order. A missing tool or empty output produces no file; only Homebrew reports
// problems as warnings. A failed write of a list is ignored and the file is still listed (verify
// does not check manifest files); a failed write of RESTORE.md is an error for the caller.

#include "core/BackupManifest.hpp"
#include "core/FileAccess.hpp"

#include <string>
#include <vector>

namespace stowage {

/// Regenerates the tool lists into root/manifest and returns their folder-relative paths in the
/// order produced: "manifest/Brewfile", "manifest/crontab.txt", "manifest/appstore.txt",
/// "manifest/pip-global.txt", "manifest/vscode-extensions.txt", "manifest/npm-global.txt",
/// "manifest/cargo-installed.txt", each only when its source produced something. Appends the
/// Homebrew warnings to `warnings`. Never throws.
std::vector<std::string> exportManifests(const std::string& root, FileAccessProvider& access,
                                         std::vector<std::string>& warnings);

/// The installed-apps step that follows exportManifests: scans "/Applications" and
/// "~/Applications", and when any application is found writes root/manifest/apps.md (the reinstall
/// guide) and root/manifest/apps.json (compact JSON of the list), appends "manifest/apps.md" and
/// "manifest/apps.json" to `result.manifests`, and sets `result.installedApps` and
/// `result.manualApps`. With no application nothing is written and both counts stay 0.
/// Never throws.
void exportInstalledApps(const std::string& root, const FileAccessPtr& access, BackupResult& result);

// ---- Parsers of tool output ------------------------------------------------------------------

/// `text` split at every newline (LF, VT, FF, CR, NEL, LS, PS; CR LF counts as one), empty lines
/// dropped.
std::vector<std::string> splitManifestLines(const std::string& text);

/// Package names from "npm ls -g --depth=0": the text after the first "── " of each tree line,
/// cut before its last "@" unless that "@" starts the text (so "@scope/tool@2.0.0" gives
/// "@scope/tool"). Lines without "── " are skipped; duplicates and empty names are kept.
std::vector<std::string> parseNpmGlobalPackages(const std::string& output);

/// Crate names from "cargo install --list": the first space-separated word of every line that
/// does not begin with whitespace (indented lines name the crate's binaries).
std::vector<std::string> parseCargoInstalledCrates(const std::string& output);

/// The first `count` user-perceived characters of `text`; ill-formed UTF-8 becomes U+FFFD.
std::string firstCharacters(const std::string& text, int count);

// ---- Restore guide ---------------------------------------------------------------------------

/// `t` with the medium date style and the short time style, through ICU. An empty `locale` means
/// the user's (LC_ALL, then LC_TIME, then LANG, else ICU's default); an empty `timeZone` means the
/// user's (TZ, else the system's zone).
std::string formatGuideDate(Timestamp t, const std::string& locale = {}, const std::string& timeZone = {});

/// The text of RESTORE.md for `manifest`: a heading, then the reinstall section (only with
/// manifest files), the config section (only with configs), the secrets section (only with a
/// bundle) and the manual steps, numbered 1 to 4 whether or not the earlier ones are present.
/// `locale` and `timeZone` are passed to formatGuideDate.
std::string restoreGuide(const BackupManifest& manifest, const std::string& locale = {},
                         const std::string& timeZone = {});

/// Writes restoreGuide(manifest) to root/RESTORE.md with the atomic write; the write's error is
/// thrown unchanged.
void writeRestoreDoc(const BackupManifest& manifest, const std::string& root, FileAccessProvider& access);

} // namespace stowage
