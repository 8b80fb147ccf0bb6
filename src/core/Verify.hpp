#pragma once
// Read-side services over an existing backup folder, and the run history every backup appends to.
//
// None of these opens access to the folder: the caller already holds it, or the folder is readable
// without it. Every file operation goes through the given FileAccessProvider.

#include "core/BackupManifest.hpp"
#include "core/FileAccess.hpp"
#include "core/KDF.hpp"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace stowage {

/// Checks that the files backup.json promises are present and that the secrets bundle is not
/// obviously damaged. Stored folders count as present when the folder exists; contents are not
/// compared and the bundle is never decrypted. manifest/, projects/, RESTORE.md and history.json
/// are not examined. Throws BackupError::io("no backup.json in <dir with ~>") when the manifest
/// cannot be read, and DecodingError when it is damaged; every other problem is an issue of the
/// report. `dir` may begin with "~".
VerifyReport verify(const std::string& dir, const FileAccessProvider& access);

/// Gives the key of a folder's bundle, asked once with whether the bundle is the passphrase form.
/// Absent means none was given; for a raw-key bundle this machine's keychain is then tried. What it
/// throws (a malformed recovery code, a passphrase file that cannot be read) ends the verification.
using BundleKeyProvider = std::function<std::optional<KeySource>(bool passphraseBundle)>;

/// verify(), and then, when backup.json lists secrets and the bundle is there, opens secrets.stowage
/// with the key `keyFor` gives and checks that every secret backup.json lists is inside. A bundle
/// that does not open is the issue "secrets.stowage does not open: <reason>"; each listed secret the
/// bundle lacks is "secret missing from secrets.stowage: <path>". Throws as verify() does.
VerifyReport verifyDeep(const std::string& dir, const FileAccessProvider& access, const BundleKeyProvider& keyFor);

/// The runs of dir/history.json, newest first (runs with equal dates keep their stored order).
/// Never throws: a missing, unreadable or damaged file reads as no history. `dir` may begin with "~".
std::vector<BackupRun> history(const std::string& dir, const FileAccessProvider& access);

/// Adds the run that just finished (`now`, the manifest's createdAt) to root/history.json, keeping
/// the 50 newest runs, written atomically. A damaged history.json is first kept beside it as
/// "history.json.damaged" (or "history.json.damaged-2", ... when that name holds other bytes);
/// when it cannot be kept, history.json is left as it is. Never throws: the backup has succeeded
/// whatever happens here.
void appendHistory(const std::string& root, Timestamp now, const BackupResult& result, FileAccessProvider& access);

/// The number of runs history.json keeps.
inline constexpr size_t maxHistoryRuns = 50;

} // namespace stowage
