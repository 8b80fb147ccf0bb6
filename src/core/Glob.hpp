#pragma once
// Exclude-pattern matching shared by the scanner (excluded findings are dropped and excluded folders are
// not entered) and the backup engine (excluded files and folders are not copied).

#include <string>
#include <vector>

namespace stowage::Glob {

/// True when `path` is covered by `pattern`. A leading "~", "$XDG_CONFIG_HOME" or "$XDG_DATA_HOME" in the
/// pattern is expanded, and the folder it stands for is taken literally (the path is taken as given). The
/// pattern matches when, under POSIX fnmatch without flags, it matches the whole path or the path's last
/// component; a pattern without "/" also matches when some folder strictly inside the path is spelled
/// exactly like it ("node_modules" covers ".../node_modules/x/y.js"). Since "*" and "?" cross "/" and
/// match a leading ".", "**" is the same as "*". Case-sensitive. An empty pattern matches nothing. Pure;
/// safe from any thread.
bool matches(const std::string& path, const std::string& pattern);

/// True when `matches` holds for some pattern, trying them in order; false for an empty list.
bool matchesAny(const std::string& path, const std::vector<std::string>& patterns);

} // namespace stowage::Glob
