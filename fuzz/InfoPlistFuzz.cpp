// Info.plist files of installed applications (XML or binary property lists, read from any folder
// the scanner lists): AppScanner::bundleInfo on arbitrary bytes.
//
// Checks beyond "no crash, no sanitizer report": nothing is thrown, and a value found is a string
// that the installed-apps list can carry.

#include "core/AppScanner.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

using namespace stowage;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Bytes plist(data, data + size);
    try {
        (void)AppScanner::bundleInfo(plist);
    } catch (...) {
        std::fprintf(stderr, "fuzz invariant broken: bundleInfo threw\n");
        std::abort();
    }
    return 0;
}
