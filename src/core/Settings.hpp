#pragma once
// The application's settings as stored in the per-user defaults store, read the same way by the
// desktop application and the command line.

#include "core/Types.hpp"
#include "core/platform/DefaultsStore.hpp"

#include <optional>
#include <string>
#include <vector>

namespace stowage::settings {

inline constexpr const char* scanRootsKey = "scanRoots";
inline constexpr const char* excludeGlobsKey = "excludeGlobs";
inline constexpr const char* backupDirKey = "backupDir";
inline constexpr const char* lastBackupAtKey = "lastBackupAt";
inline constexpr const char* defaultScanRoot = "~/Development";

/// Splits a list setting at newlines and commas, trims spaces and tabs, drops empty pieces.
std::vector<std::string> lines(const std::string& text);

/// The project roots: the stored "scanRoots" split into lines, or ["~/Development"] when none.
std::vector<std::string> scanRoots(const DefaultsStore& store);
/// The exclude patterns: the stored "excludeGlobs" split into lines.
std::vector<std::string> excludeGlobs(const DefaultsStore& store);
/// The stored "backupDir" (an empty string is kept), else ~/StowageBackup.
std::string backupDir(const DefaultsStore& store);

/// Seconds between the Unix epoch and 2001-01-01 00:00:00 UTC, the reference date of stored times.
inline constexpr std::int64_t referenceDateOffset = 978307200;
/// "lastBackupAt": a number of seconds since the reference date greater than 0; anything else is none.
std::optional<Timestamp> lastBackupAt(const DefaultsStore& store);
void setLastBackupAt(DefaultsStore& store, std::optional<Timestamp> when);

} // namespace stowage::settings
