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

/// Checks everything backup.json promises: each path restore would refuse (with restore's own
/// sentence, "unsafe path in backup.json: ..."), each config and project entry present and not
/// reached through a symbolic link, each recorded stored file present with its recorded size and
/// SHA-256 (each fault named with the file), and the bundle present, not obviously truncated and,
/// when recorded, of its size and SHA-256. The bundle is never opened. A manifest from before
/// sizes and digests were recorded is checked for what it records. Throws
/// BackupError::io("no backup.json in <dir with ~>") when there is no manifest, and DecodingError
/// when it is damaged or over maxStoredJsonBytes; every other problem is an issue of the report.
/// `dir` may begin with "~".
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

/// root/backup.json decoded, read with the size cap; throws as verify() does.
BackupManifest readManifestOf(const std::string& root, const FileAccessProvider& access);

/// The runs of dir/history.json, newest first (runs with equal dates keep their stored order).
/// Never throws: a missing, unreadable or damaged file reads as no history. `dir` may begin with "~".
std::vector<BackupRun> history(const std::string& dir, const FileAccessProvider& access);

/// Adds the run that just finished (`now`, the manifest's createdAt) to root/history.json, keeping
/// the 50 newest runs, written atomically with mode 0600. A damaged history.json is first kept beside it as
/// "history.json.damaged" (or "history.json.damaged-2", ... when that name holds other bytes);
/// when it cannot be kept, history.json is left as it is. Never throws: the backup has succeeded
/// whatever happens here.
void appendHistory(const std::string& root, Timestamp now, const BackupResult& result, FileAccessProvider& access);

/// The number of runs history.json keeps.
inline constexpr size_t maxHistoryRuns = 50;

} // namespace stowage
