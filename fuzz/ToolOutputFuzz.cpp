// Output of the package tools the backup runs (brew, mas, npm, cargo) and application folder names:
// AppScanner::parseCaskList, parseMasList and caskCandidate, and splitManifestLines,
// parseNpmGlobalPackages, parseCargoInstalledCrates and firstCharacters on arbitrary text.
//
// Checks beyond "no crash, no sanitizer report", each a promise of the parser's contract:
// - cask tokens are non-empty and hold no blank;
// - store identifiers are all digits and names are not empty;
// - a cask candidate has no "-" at either end and no "--";
// - manifest lines are non-empty and hold no line break;
// - a crate name is a prefix of a line and holds no space;
// - firstCharacters never yields more than it was given.

#include "core/AppScanner.hpp"
#include "core/ManifestExport.hpp"

#include <algorithm>
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

bool holdsLineBreak(const std::string& line) {
    static const char* const breaks[] = {"\n", "\v", "\f", "\r", "\xC2\x85", "\xE2\x80\xA8", "\xE2\x80\xA9"};
    return std::any_of(std::begin(breaks), std::end(breaks),
                       [&](const char* b) { return line.find(b) != std::string::npos; });
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);

    for (const std::string& token : AppScanner::parseCaskList(text)) {
        if (token.empty() || token.find_first_of(" \n\r\t") != std::string::npos)
            broken("a cask token is empty or holds a blank");
    }

    for (const auto& [name, id] : AppScanner::parseMasList(text)) {
        if (name.empty() || id.empty() ||
            !std::all_of(id.begin(), id.end(), [](char c) { return c >= '0' && c <= '9'; }))
            broken("a store entry has an empty name or an identifier that is not all digits");
    }

    const std::string candidate = AppScanner::caskCandidate(text);
    if (!candidate.empty() &&
        (candidate.front() == '-' || candidate.back() == '-' || candidate.find("--") != std::string::npos))
        broken("a cask candidate has a stray \"-\"");

    for (const std::string& line : splitManifestLines(text)) {
        if (line.empty() || holdsLineBreak(line))
            broken("a manifest line is empty or holds a line break");
    }

    (void)parseNpmGlobalPackages(text);

    for (const std::string& crate : parseCargoInstalledCrates(text)) {
        if (crate.find(' ') != std::string::npos || text.find(crate) == std::string::npos)
            broken("a crate name holds a space or is not taken from the output");
    }

    const int count = size == 0 ? 0 : data[0] % 130;
    if (firstCharacters(text, count).size() > 3 * text.size())
        broken("firstCharacters grew its text beyond its replacement characters");
    return 0;
}
