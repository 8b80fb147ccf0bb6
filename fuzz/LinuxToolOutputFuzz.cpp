// Output of the Linux package tools the app scan and the backup run (dpkg-query, rpm, pacman,
// flatpak, snap, go version -m), resolved Nix store paths and file heads tested for AppImage:
// AppScanner::parseDpkgOwners, parseNameVersionLines, parsePacmanOwners, parseFlatpakList,
// parseSnapList, nixStorePackage, isAppImageHeader and parseGoBinaryModules on arbitrary text.
//
// Checks beyond "no crash, no sanitizer report": every name a parser hands on may go into a command
// line of RESTORE.md or the app's copy buttons, so each passes AppScanner::isPackageName (the
// strict form those commands rely on), and Go module paths hold no blank or line break.

#include "core/AppScanner.hpp"
#include "core/ManifestExport.hpp"

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

void plausible(const std::string& name, const char* what) {
    if (!AppScanner::isPackageName(name))
        broken(what);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);

    for (const auto& [path, package] : AppScanner::parseDpkgOwners(text))
        plausible(package, "a dpkg owner is not a package name");
    for (const auto& [name, version] : AppScanner::parseNameVersionLines(text))
        plausible(name, "a name of a name/version line is not a package name");
    for (const auto& [path, record] : AppScanner::parsePacmanOwners(text))
        plausible(record.name, "a pacman owner is not a package name");
    for (const auto& record : AppScanner::parseFlatpakList(text)) {
        plausible(record.id, "a flatpak id is not a plausible name");
        plausible(record.origin, "a flatpak origin is not a plausible name");
    }
    for (const auto& record : AppScanner::parseSnapList(text))
        plausible(record.name, "a snap name is not a plausible name");
    if (auto nix = AppScanner::nixStorePackage(text))
        plausible(nix->name, "a Nix package name is not a plausible name");
    (void)AppScanner::isAppImageHeader(Bytes(data, data + size));
    for (const auto& module : parseGoBinaryModules(text))
        if (module.empty() || module.find_first_of(" \t\r\n") != std::string::npos)
            broken("a Go module path is empty or holds a blank");
    return 0;
}
