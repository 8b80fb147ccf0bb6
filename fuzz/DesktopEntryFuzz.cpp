// Desktop entries as the app scan reads them: the bytes become one ".desktop" file in a private
// applications folder and AppScanner::scanDesktopEntries lists it (key file parsing, the menu's
// show/hide rules, TryExec lookup, Exec splitting, localized names, Flatpak and snap markers).
//
// Checks beyond "no crash, no sanitizer report": at most one app comes out of one file; its name is
// non-empty, free of control characters and without blanks at either end (it becomes a list row
// and a line of RESTORE.md); a package name handed on is one AppScanner::isPackageName accepts
// (it goes into reinstall commands); and the entry's path and id are the file's own.
//
// PATH points at an empty folder so that no package tool runs: one input is one file read.

#include "core/AppScanner.hpp"
#include "core/FileAccess.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

using namespace stowage;

namespace {

[[noreturn]] void broken(const char* what) {
    std::fprintf(stderr, "fuzz invariant broken: %s\n", what);
    std::abort();
}

std::string root;

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char pattern[] = "/tmp/stowage-desktop-fuzz-XXXXXX";
    if (!::mkdtemp(pattern))
        broken("no temporary folder");
    root = pattern;
    ::mkdir((root + "/applications").c_str(), 0700);
    ::mkdir((root + "/bin").c_str(), 0700);
    ::setenv("PATH", (root + "/bin").c_str(), 1);
    std::atexit([] {
        std::error_code ignored;
        std::filesystem::remove_all(root, ignored);
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string path = root + "/applications/fuzz.desktop";
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    DesktopEntryRoots config;
    config.applicationFolders = {root + "/applications"};
    config.flatpakUserDir = root + "/flatpak";
    config.snapDesktopDir = root + "/snap";
    config.currentDesktops = {"GNOME"};
    config.languages = {"de_DE.UTF-8", "fr"};
    config.searchPath = {root + "/bin"};

    AppScanner scanner({}, std::make_shared<DirectFileAccess>());
    const auto apps = scanner.scanDesktopEntries(config);
    if (apps.size() > 1)
        broken("one file listed as several apps");
    for (const InstalledApp& app : apps) {
        if (app.name.empty())
            broken("an app without a name");
        for (unsigned char c : app.name)
            if (c < 0x20 || c == 0x7F)
                broken("a control character in an app name");
        if (app.name.front() == ' ' || app.name.back() == ' ')
            broken("an app name with blanks at an end");
        if (app.packageName && !AppScanner::isPackageName(*app.packageName))
            broken("a package name that is not plausible");
        if (app.path != path || app.desktopID != "fuzz.desktop")
            broken("an app that is not the file's own");
    }
    return 0;
}
