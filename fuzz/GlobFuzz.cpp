// Exclude patterns from the settings against paths found on disk: Glob::matches on arbitrary
// strings (the input is split in two by InputSplitter).
//
// Checks beyond "no crash, no sanitizer report":
// - the empty pattern matches nothing;
// - a non-empty pattern free of glob characters, "~" and NUL matches itself as a path;
// - matchesAny agrees with matches for a one-pattern list.

#include "core/Glob.hpp"

#include "InputSplitter.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

using namespace stowage;

namespace {

[[noreturn]] void broken(const char* what) {
    std::fprintf(stderr, "fuzz invariant broken: %s\n", what);
    std::abort();
}

/// Text that names itself: no wildcard, no "~" and no XDG base-folder token, which expand.
bool isPlain(const std::string& text) {
    if (text.rfind("$XDG_CONFIG_HOME", 0) == 0 || text.rfind("$XDG_DATA_HOME", 0) == 0)
        return false;
    return !text.empty() && text.front() != '~' && text.find_first_of(std::string("*?[\\\0", 5)) == std::string::npos;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // A fixed home folder, so "~" expands the same way in every run.
    static const bool homeSet = ::setenv("HOME", "/home/fuzz", 1) == 0;
    (void)homeSet;

    InputSplitter input(data, size);
    const std::string path = input.takeString(size);
    const std::string pattern = input.takeRest();

    const bool matched = Glob::matches(path, pattern);
    if (pattern.empty() && matched)
        broken("the empty pattern matched");
    if (Glob::matchesAny(path, {pattern}) != matched)
        broken("matchesAny disagrees with matches");
    if (isPlain(pattern) && !Glob::matches(pattern, pattern))
        broken("a plain pattern does not match itself");
    return 0;
}
