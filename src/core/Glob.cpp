#include "core/Glob.hpp"

#include "core/Paths.hpp"

#include <fnmatch.h>

namespace stowage::Glob {

namespace {

bool fnmatchWhole(const std::string& text, const std::string& pattern) {
    // fnmatch works on C strings; an embedded NUL would silently shorten either side.
    if (text.find('\0') != std::string::npos || pattern.find('\0') != std::string::npos)
        return false;
    return ::fnmatch(pattern.c_str(), text.c_str(), 0) == 0;
}

} // namespace

bool matches(const std::string& path, const std::string& pattern) {
    // A blank line in the user's exclude list must not exclude anything; taken literally, the empty
    // pattern would cover every path that ends in "/" or holds "//".
    if (pattern.empty())
        return false;
    // The expanded folder is escaped: a home folder spelled with "[" or "*" must not change what the
    // user's pattern means.
    const std::string expanded = paths::expandPattern(pattern, true);
    if (fnmatchWhole(path, expanded))
        return true;
    if (fnmatchWhole(paths::lastComponent(path), expanded))
        return true;
    if (expanded.find('/') != std::string::npos)
        return false;
    // Literal folder-name test: glob characters are not interpreted here.
    return path.find("/" + expanded + "/") != std::string::npos;
}

bool matchesAny(const std::string& path, const std::vector<std::string>& patterns) {
    for (const auto& pattern : patterns) {
        if (matches(path, pattern))
            return true;
    }
    return false;
}

} // namespace stowage::Glob
