#pragma once
// The copy of the application a backup folder may carry, so that a fresh machine can restore by
// starting it. On Linux there is no application bundle: the copy is the folder "Stowage" inside
// the backup folder, holding the app, the `stowage` command and a launcher script. On a Mac it is
// the running ".app" bundle. A copy started from there finds "backup.json" in the folder above its
// own and opens in restorer mode.

#include "core/FileAccess.hpp"

#include <optional>
#include <string>

namespace stowage::restorer {

/// The backup folder the program at `programPath` was started from: the folder that holds the
/// program's bundle (a Mac ".app") or, elsewhere, the parent of the program's own folder, when that
/// folder holds a "backup.json" file. Absent otherwise.
std::optional<std::string> launchFolder(const std::string& programPath, const FileAccessProvider& access);

/// Copies the running program into the backup folder `dir` (see above). False, with nothing
/// changed, when the program does not run from an installed or built location (a Linux program
/// named other than "stowage-app", or without "stowage" beside it; a Mac program outside a bundle),
/// when it already runs from that very copy, or when `dir` is not a folder; false as well when a
/// copy fails part-way (each file is replaced atomically, so what is there stays whole). Never throws.
bool bundle(const std::string& programPath, const std::string& dir, FileAccessProvider& access);

/// The launcher script written beside the copied programs.
std::string launcherScript();

} // namespace stowage::restorer
