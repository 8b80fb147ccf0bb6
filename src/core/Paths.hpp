#pragma once
// Path helpers: the home folder, `~` expansion and abbreviation, component joining.
// Paths are absolute UTF-8 strings everywhere.

#include <string>
#include <vector>

namespace stowage::paths {

/// The user's home folder: $HOME when set and non-empty, else the password database entry.
/// Never ends in "/" unless it is "/" itself.
std::string homeFolder();

/// Home folder of the named user from the password database; empty when unknown.
std::string homeFolderOf(const std::string& user);

/// "~" → home; "~/x" → home + "/x"; "~name[/x]" → that user's home (+ "/x"); anything else unchanged.
/// An unknown user name leaves the path unchanged.
std::string expandTilde(const std::string& path);

/// The user's configuration folder: $XDG_CONFIG_HOME when it is an absolute path, else home + "/.config"
/// (empty when the home folder is unknown). Read from the environment on every call; no trailing "/".
std::string xdgConfigHome();

/// The user's data folder: $XDG_DATA_HOME when it is an absolute path, else home + "/.local/share"
/// (empty when the home folder is unknown). Read from the environment on every call; no trailing "/".
std::string xdgDataHome();

/// A catalog or exclude pattern as a file-system path. A leading "$XDG_CONFIG_HOME" or "$XDG_DATA_HOME"
/// (the whole pattern, or followed by "/") becomes that folder; otherwise a leading "~" is expanded as by
/// expandTilde. With `forGlob`, the substituted folder has its glob characters ("*", "?", "[", "\")
/// escaped, so only the pattern's own part is interpreted by glob or fnmatch. A pattern whose folder is
/// unknown is returned unchanged.
std::string expandPattern(const std::string& pattern, bool forGlob = false);

/// The path with "*", "?", "[" and "\" escaped by a backslash, so glob and fnmatch take it literally.
std::string escapeGlob(const std::string& path);

/// The path without trailing "/" characters ("/" itself stays "/").
std::string withoutTrailingSlashes(std::string path);

/// A configured root as scanners use it: "~" expanded, trailing "/" removed.
std::string expandRoot(const std::string& root);

/// Every non-empty configured root in its scan form, in order.
std::vector<std::string> expandRoots(const std::vector<std::string>& roots);

/// Writes a path under the home folder with a leading "~" ("~" for the home itself).
std::string abbreviateHome(const std::string& path);

/// Joins as path components: exactly one "/" between the parts, whatever their edges hold.
std::string join(const std::string& base, const std::string& component);

/// The path with one leading "/" dropped (the form stored in backup manifests).
std::string relativeForm(const std::string& path);

/// Text after the final "/" (the whole text when there is none).
std::string lastComponent(const std::string& path);

/// The path with its last component removed ("/" for a top-level path, "" for a bare name).
std::string parent(const std::string& path);

/// True when `path` equals `root` or lies below it (component-wise, so /a/bc is not under /a/b).
bool isUnder(const std::string& path, const std::string& root);

} // namespace stowage::paths
