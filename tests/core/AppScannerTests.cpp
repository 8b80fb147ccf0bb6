#include "core/AppScanner.hpp"

#include "support/FakeTools.hpp"
#include "support/ScanFixtures.hpp"

#include <gtest/gtest.h>
#include <plist/plist.h>
#include <unicode/locid.h>

#include <filesystem>
#include <fstream>
#include <sys/stat.h>

using namespace stowage;
using stowage::testing::FakeTools;
using stowage::testing::ScopedEnv;
using stowage::testing::TempHome;

namespace {

std::string xmlInfoPlist(const std::string& bundleID, const std::string& version) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
           "\t<key>CFBundleIdentifier</key>\n\t<string>" +
           bundleID + "</string>\n\t<key>CFBundleShortVersionString</key>\n\t<string>" + version +
           "</string>\n\t<key>CFBundleName</key>\n\t<string>Ignored</string>\n</dict>\n</plist>\n";
}

/// The same property list in the binary form.
std::string binaryInfoPlist(const std::string& bundleID, const std::string& version) {
    const std::string xml = xmlInfoPlist(bundleID, version);
    plist_t dict = nullptr;
    plist_from_xml(xml.data(), static_cast<uint32_t>(xml.size()), &dict);
    char* bin = nullptr;
    uint32_t length = 0;
    plist_to_bin(dict, &bin, &length);
    std::string out(bin, length);
    plist_to_bin_free(bin);
    plist_free(dict);
    return out;
}

/// An application bundle under `folder` (relative to the home) with an optional Info.plist.
void makeApp(const TempHome& home, const std::string& folder, const std::string& name,
             const std::optional<std::string>& infoPlist = std::nullopt, bool receipt = false) {
    const std::string bundle = folder + "/" + name + ".app";
    home.makeDir(bundle + "/Contents/MacOS");
    if (infoPlist)
        home.writeFile(bundle + "/Contents/Info.plist", *infoPlist);
    if (receipt)
        home.writeFile(bundle + "/Contents/_MASReceipt/receipt", "receipt-bytes");
}

/// One line per app for whole-list comparisons: name, source, version, bundle or desktop id, and
/// the way back (command, cask token or store id), "-" for each part that is absent.
std::vector<std::string> rows(const std::vector<InstalledApp>& apps) {
    std::vector<std::string> out;
    for (const auto& a : apps)
        out.push_back(a.name + " | " + toString(a.source) + " | " + a.version.value_or("-") + " | " +
                      a.bundleID.value_or(a.desktopID.value_or("-")) + " | " +
                      a.reinstallCommand().value_or(a.appStoreID.value_or("-")));
    return out;
}

void put(const std::string& path, const std::string& content) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << content;
}

std::string entry(const std::string& name, const std::string& extra = {}) {
    return "[Desktop Entry]\nType=Application\nName=" + name + "\nExec=run-it %U\n" + extra;
}

const std::set<std::string> noCasks;
const std::map<std::string, std::string> noStoreIDs;

} // namespace

// ---- Installed apps ----------------------------------------------------------------------------

TEST(InstalledAppTest, JsonRoundTripsAndReinstallCommandsAndLinksAreSafe) {
    std::vector<InstalledApp> read;
    for (
        const std::string text :
        {R"({"appStoreID":"497799835","bundleID":"com.apple.dt.Xcode","name":"Xcode","path":"/A/X.app","source":"appStore","version":"15.4"})",
         R"({"caskToken":"visual-studio-code","name":"Visual Studio Code","path":"/A/C.app","source":"homebrewCask"})",
         R"({"channel":"latest/stable","classic":true,"desktopID":"code_code.desktop","name":"Code","packageName":"code","path":"/a/c","source":"snap"})"}) {
        read.push_back(nlohmann::json::parse(text).get<InstalledApp>());
        EXPECT_EQ(nlohmann::json(read.back()).dump(), text);
    }
    InstalledApp &xcode = read[0], &cask = read[1], &snap = read[2];
    auto bare = nlohmann::json::parse(R"({"name":"Tool","path":"/A/Tool.app","source":"manual","version":null,"x":1})")
                    .get<InstalledApp>();
    EXPECT_EQ(nlohmann::json(bare).dump(), R"({"name":"Tool","path":"/A/Tool.app","source":"manual"})");
    for (const char* bad :
         {R"({"name":"T","path":"/T.app","source":"sideloaded"})", R"({"name":"T","source":"manual"})"})
        EXPECT_THROW(nlohmann::json::parse(bad).get<InstalledApp>(), nlohmann::json::exception) << bad;

    EXPECT_EQ(xcode.reinstallURL(), "macappstore://apps.apple.com/app/id497799835");
    EXPECT_EQ(cask.caskCommand(), "brew install --cask visual-studio-code");
    EXPECT_EQ(cask.reinstallURL(), std::nullopt);
    EXPECT_EQ(snap.reinstallCommand(), "sudo snap install code --channel=latest/stable --classic");
    xcode.appStoreID.reset();
    cask.caskToken.reset();
    EXPECT_EQ(xcode.reinstallURL(), "macappstore://apps.apple.com/search?term=Xcode");
    EXPECT_EQ(cask.caskCommand(), std::nullopt);
    // Characters that would end or change the query value are encoded, not passed through.
    EXPECT_EQ(nlohmann::json::parse(R"({"name":"C++ & Café #1","path":"/a","source":"manual"})")
                  .get<InstalledApp>()
                  .reinstallURL(),
              "https://duckduckgo.com/?q=C%2B%2B%20%26%20Caf%C3%A9%20%231%20mac%20download");
    // A stored list may have been edited: a part that is not a plain name gives no command, or is left out.
    snap.channel = "latest/stable --devmode $(x)";
    EXPECT_EQ(snap.reinstallCommand(), "sudo snap install code --classic");
    InstalledApp package = snap;
    package.source = AppSource::distributionPackage;
    package.packageManager = "dpkg";
    package.packageName = "vim; rm -rf ~";
    EXPECT_EQ(package.reinstallCommand(), std::nullopt);
    package.source = AppSource::nix;
    package.packageName = "firefox";
    EXPECT_EQ(package.reinstallCommand(), "nix profile install nixpkgs#firefox");
}

// ---- Parsing steps ---------------------------------------------------------------------------

TEST(AppScannerParseTest, CaskNamesAndBundleInfoOfWrongTypesOrJunk) {
    const std::vector<std::pair<std::string, std::string>> candidates{{"Visual Studio Code", "visual-studio-code"},
                                                                      {"Cafe\u0301 (Beta)", "café-beta"},
                                                                      {"__Docker_Desktop__", "docker-desktop"},
                                                                      {"Ünïcode Ärger", "ünïcode-ärger"},
                                                                      {"!!! ???", ""}};
    for (const auto& [name, token] : candidates)
        EXPECT_EQ(AppScanner::caskCandidate(name), token) << name;

    using Info = std::pair<std::optional<std::string>, std::optional<std::string>>;
    // Values of the wrong type and roots that are not dictionaries give nothing.
    EXPECT_EQ(AppScanner::bundleInfo(toBytes("<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>"
                                             "<key>CFBundleIdentifier</key><integer>7</integer>"
                                             "<key>CFBundleShortVersionString</key><string>3</string></dict></plist>")),
              Info(std::nullopt, "3"));
    for (const std::string& junk :
         {std::string("<?xml version=\"1.0\"?><plist version=\"1.0\"><array><string>x</string></array></plist>"),
          std::string(), std::string("not a plist"), std::string("bplist00\x01\x02", 10),
          xmlInfoPlist("a", "b").substr(0, 60)})
        EXPECT_EQ(AppScanner::bundleInfo(toBytes(junk)), Info()) << junk;
}

// Flatpak and snap listings are read through the reinstall lists and the desktop scan; here the owner
// queries' odd lines, Nix store paths and AppImage heads.
TEST(AppScannerParseTest, LinuxToolOutputsGiveOnlyWellFormedNames) {
    EXPECT_EQ(AppScanner::parseDpkgOwners("vim-common: /a/vim.desktop\ndiversion by x from: /a/vim.desktop\n"
                                          "evil;rm -rf ~: /a/e.desktop\ndpkg-query: no path found matching x\n"),
              (std::map<std::string, std::string>{{"/a/vim.desktop", "vim-common"}}));
    EXPECT_EQ(AppScanner::parsePacmanOwners("/a/b c.desktop is owned by gimp 2.10.36-1\nerror: No package owns /x\n"
                                            "/y is owned by $(evil) 1\n"),
              (std::map<std::string, AppScanner::PackageRecord>{{"/a/b c.desktop", {"gimp", "2.10.36-1"}}}));
    // A row with a column missing is skipped, not read shifted.
    EXPECT_EQ(AppScanner::parseSnapList("Name Version Rev Tracking Publisher Notes\nfirefox 1 2 latest/stable\n"
                                        "code 1.9 3 latest/stable vscode classic\n")
                  .size(),
              1u);
    EXPECT_EQ(AppScanner::nixStorePackage("/nix/store/0abc-gnome-text-editor-45.1/share/applications/x.desktop"),
              (AppScanner::PackageRecord{"gnome-text-editor", "45.1"}));
    EXPECT_EQ(AppScanner::nixStorePackage("/nix/store/0abc-hello/x"),
              (AppScanner::PackageRecord{"hello", std::nullopt}));
    EXPECT_EQ(AppScanner::nixStorePackage("/usr/share/applications/firefox.desktop"), std::nullopt);
    EXPECT_TRUE(AppScanner::isAppImageHeader({0x7F, 'E', 'L', 'F', 2, 1, 1, 0, 'A', 'I', 2}));
    EXPECT_FALSE(AppScanner::isAppImageHeader({0x7F, 'E', 'L', 'F', 2, 1, 1, 0, 0, 0, 0}));
    EXPECT_FALSE(AppScanner::isAppImageHeader({'#', '!', '/', 'b', 'i', 'n', '/', 's', 'A', 'I', 2}));
}

// ---- Scanning real bundles -------------------------------------------------------------------

TEST(AppScannerScanTest, ClassifiesBundlesAcrossRootsWithEachListingToolRunOnceForTheReinstallGuide) {
    TempHome home;
    FakeTools tools(home);
    EXPECT_TRUE(AppScanner::brewCaskTokens().empty());
    EXPECT_TRUE(AppScanner::masTrackIDs().empty());
    EXPECT_EQ(tools.calls(), "which brew\nwhich mas\n") << "absent tools are not run";
    // A failed listing keeps what it printed only for casks.
    tools.answer("brew", "list --cask", "firefox\n", 1);
    tools.answer("mas", "list", "497799835 Xcode (15.4)\n", 1);
    EXPECT_EQ(AppScanner::brewCaskTokens(), (std::set<std::string>{"firefox"}));
    EXPECT_TRUE(AppScanner::masTrackIDs().empty());
    tools.script("brew", "printf 'firefox\\nvisual-studio-code  bare\\n\\n\\tdocker\\n'\n");
    tools.script("mas",
                 "printf '1234 Some App (2.1.0)\\n\\nabc Not An App (1.0)\\n12a4 Mixed (1.0)\\n99999\\n4242    \\n"
                 "  409183694 Keynote     (13.1)\\r\\n497799835 Xcode (15.0)\\n111 Foo (Bar) Tool (3)\\n"
                 "222 No Version\\n497799836 Xcode (15.1)'\n");
    EXPECT_EQ(AppScanner::masTrackIDs(), (std::map<std::string, std::string>{{"Some App", "1234"},
                                                                             {"Keynote", "409183694"},
                                                                             {"Xcode", "497799836"},
                                                                             {"Foo (Bar) Tool", "111"},
                                                                             {"No Version", "222"}}));

    makeApp(home, "System", "Xcode", xmlInfoPlist("com.apple.dt.Xcode", "15.4"), true);
    makeApp(home, "System", "Visual Studio Code", binaryInfoPlist("com.microsoft.VSCode", "1.90.0"));
    makeApp(home, "System", "Firefox", xmlInfoPlist("org.mozilla.firefox", "126.0"), true);
    makeApp(home, "System", "R&D 100% (Broken)", std::string("<plist><dict><key>CFBundleIdentifier"));
    makeApp(home, "System", "Shared", xmlInfoPlist("first.copy", "1"));
    makeApp(home, "System", "Utilities/Terminal", xmlInfoPlist("com.apple.Terminal", "2"));
    home.writeFile("System/notes.txt", "not an app");
    home.makeDir("System/Folder.apps");
    makeApp(home, "Applications", "Shared", xmlInfoPlist("second.copy", "2"));
    makeApp(home, "Applications", "bare");
    makeApp(home, "System", "BARE"); // another app, offered the same cask, listed first as its root is
    auto access = std::make_shared<stowage::testing::RecordingAccess>();
    AppScanner scanner({home / "System", home / "Missing", "~/Applications"}, access);
    const std::string before = tools.calls();
    auto apps = scanner.scan();
    const std::string after = tools.calls();
    EXPECT_EQ(after.substr(before.size()), "which brew\nbrew list --cask\nwhich mas\nmas list\n");
    EXPECT_EQ(access->paths("begin"),
              (std::vector<std::string>{home / "System", home / "Missing", home / "Applications"}));
    EXPECT_EQ(access->paths("end"), access->paths("begin"));

    // A store receipt wins over a cask of the same name; without a known identifier none is set. The
    // first root's copy is the one listed.
    EXPECT_EQ(rows(apps), (std::vector<std::string>{
                              "BARE | homebrewCask | - | - | brew install --cask bare",
                              "bare | homebrewCask | - | - | brew install --cask bare",
                              "Firefox | appStore | 126.0 | org.mozilla.firefox | -",
                              "R&D 100% (Broken) | manual | - | - | -", "Shared | manual | 1 | first.copy | -",
                              "Visual Studio Code | homebrewCask | 1.90.0 | com.microsoft.VSCode | brew install --cask "
                              "visual-studio-code",
                              "Xcode | appStore | 15.4 | com.apple.dt.Xcode | 497799836"}));
    EXPECT_EQ(apps[1].path, home / "Applications/bare.app");
    EXPECT_EQ(apps[4].path, home / "System/Shared.app");
    EXPECT_EQ(AppScanner::reinstallMarkdown(apps),
              "# Installed apps\n\n7 app(s) found \u00B7 2 need manual reinstall, 3 via Homebrew, 2 from the App "
              "Store.\n\n## Manual downloads \u2014 redownload these yourself\n\n"
              "Not in Homebrew or the App Store, so nothing else will bring them back:\n\n"
              "- **R&D 100% (Broken)** \u2014 search: https://duckduckgo.com/?q=R%26D+100%25+(Broken)+mac+download\n"
              "- **Shared** v1 \u00B7 `first.copy` \u2014 search: https://duckduckgo.com/?q=Shared+mac+download\n\n"
              "## Homebrew casks \u2014 covered by `brew bundle --file manifest/Brewfile`\n\n"
              "- BARE \u2014 `brew install --cask bare`\n- bare \u2014 `brew install --cask bare`\n"
              "- Visual Studio Code \u2014 `brew install --cask visual-studio-code`\n\n"
              "## App Store \u2014 reinstall from your Purchases (also in manifest/appstore.txt)\n\n"
              "- Firefox v126.0\n- Xcode v15.4 \u2014 https://apps.apple.com/app/id497799836\n");

    // Results handed in are used as they are: no tool runs at all.
    auto given = scanner.scan(noCasks, noStoreIDs);
    EXPECT_EQ(tools.calls(), after);
    EXPECT_TRUE(given[5].source == AppSource::manual && !given[6].appStoreID) << rows(given)[5];
}

TEST(AppScannerScanTest, SortsCaseInsensitivelyInTheUsersLocale) {
    TempHome home;
    for (const char* n : {"zebra", "Alpha", "beta", "Ärger", "alpha2", "Zed"})
        makeApp(home, "A", n);
    AppScanner scanner({home / "A"}, std::make_shared<DirectFileAccess>());
    auto scanIn = [&scanner](const char* localeName) {
        const icu::Locale saved = icu::Locale::getDefault();
        UErrorCode status = U_ZERO_ERROR;
        icu::Locale::setDefault(icu::Locale(localeName), status);
        std::vector<std::string> names;
        for (const auto& app : scanner.scan(noCasks, noStoreIDs))
            names.push_back(app.name);
        icu::Locale::setDefault(saved, status);
        return names;
    };
    // Swedish sorts "Ä" after "z"; the POSIX locale still gives a case-insensitive order, not capitals first.
    const std::vector<std::string> english{"Alpha", "alpha2", "Ärger", "beta", "zebra", "Zed"};
    for (const auto& [locale, order] : std::map<std::string, std::vector<std::string>>{
             {"en_US", english},
             {"en_US_POSIX", english},
             {"sv_SE", {"Alpha", "alpha2", "beta", "zebra", "Zed", "Ärger"}}})
        EXPECT_EQ(scanIn(locale.c_str()), order) << locale;
}

// ---- Desktop entries -------------------------------------------------------------------------

TEST(DesktopEntryScanTest, ListsWhatTheDesktopShowsWithItsSourceFromTheFirstPackageDatabase) {
    TempHome home;
    FakeTools tools(home);
    ScopedEnv desktopName("XDG_CURRENT_DESKTOP", "ubuntu:GNOME"), language("LANGUAGE", "de_DE.UTF-8");
    const std::string sys = home.systemRoot() + "/usr/share/applications/";
    const std::string user = home / ".local/share/applications/";

    put(sys + "vim.desktop", entry("Vim", "Name[de]=Vim auf Deutsch\n"));
    put(sys + "graphics/gimp.desktop", entry("GNU Image Manipulation Program"));
    put(sys + "mytool.desktop", entry("My Tool", "TryExec=mytool\nOnlyShowIn=GNOME;KDE;\n"));
    put(sys + "editor.desktop", entry("System Editor"));
    put(user + "editor.desktop", entry("My Editor"));
    put(sys + "masked.desktop", entry("Masked"));
    put(user + "masked.desktop", entry("Masked", "Hidden=true\n"));
    // Not shown: hidden, no display, another desktop's, excluded here, missing TryExec, not an app,
    // not a key file.
    put(sys + "hidden.desktop", entry("Hidden", "Hidden=true\n"));
    put(sys + "nodisplay.desktop", entry("No Display", "NoDisplay=true\n"));
    put(sys + "kde.desktop", entry("KDE Only", "OnlyShowIn=KDE;\n"));
    put(sys + "notgnome.desktop", entry("Not GNOME", "NotShowIn=GNOME;\n"));
    put(sys + "gone.desktop", entry("Gone", "TryExec=" + home / "nowhere/gone" + "\n"));
    put(sys + "link.desktop", "[Desktop Entry]\nType=Link\nName=Web Link\nURL=https://example.com\n");
    put(sys + "broken.desktop", "not a \x01 key file");
    std::filesystem::create_symlink(home / "nowhere/tool", home / "dangling-tool");
    put(sys + "dangling.desktop", entry("Dangling", "TryExec=" + home / "dangling-tool" + "\n"));
    // A folder linking back up the tree is read once, not once more per level.
    std::filesystem::create_directories(user);
    std::filesystem::create_directory_symlink(user, user + "loop");
    ASSERT_EQ(::mkfifo((user + "fifo.desktop").c_str(), 0600), 0) << "a FIFO is never read";
    put(home / "Apps/Tool.AppImage",
        std::string{'\x7F', 'E', 'L', 'F', 2, 1, 1, 0, 'A', 'I', 2} + std::string(64, '\0'));
    put(user + "appimagekit-tool.desktop",
        "[Desktop Entry]\nType=Application\nName=Tool Image\nX-AppImage-Version=3.1\nExec=\"" +
            home / "Apps/Tool.AppImage" + "\" %U\n");
    put(home / ".local/share/flatpak/exports/share/applications/org.gnome.Builder.desktop",
        entry("Builder", "X-Flatpak=org.gnome.Builder\n"));
    put(home.systemRoot() + "/var/lib/flatpak/exports/share/applications/com.spotify.Client.desktop", entry("Spotify"));
    put(home.systemRoot() + "/var/lib/snapd/desktop/applications/code_code.desktop",
        entry("Visual Studio Code", "X-SnapInstanceName=code\n"));

    tools.script("mytool", "exit 0\n");
    tools.script("dpkg-query", "if [ \"$1\" = -S ]; then shift; [ \"$1\" = -- ] && shift\n"
                               "  for p in \"$@\"; do case \"$p\" in\n"
                               "    */vim.desktop) echo \"vim-common: $p\";;\n"
                               "    */graphics/gimp.desktop) echo \"gimp, gimp-data:amd64: $p\";;\n"
                               "    *) echo \"dpkg-query: no path found matching pattern $p\" >&2;;\n"
                               "  esac; done; exit 1; fi\n"
                               "[ \"$1\" = -W ] && printf 'gimp\\t2.10.34-1\\nvim-common\\t2:9.0.1378-2\\n'\n");
    tools.answer("flatpak", "list --app --columns=application,origin,installation,version",
                 "org.gnome.Builder\tgnome-nightly\tuser\t45.0\ncom.spotify.Client\tflathub\tsystem\t1.2.26\n");
    tools.answer("snap", "list",
                 "Name    Version   Rev   Tracking       Publisher   Notes\n"
                 "code    1.85.1    150   latest/stable  vscode**    classic\n"
                 "core22  20231123  1033  latest/stable  canonical** base\n");

    auto apps = AppScanner(std::make_shared<DirectFileAccess>()).scan();
    EXPECT_EQ(rows(apps),
              (std::vector<std::string>{
                  "Builder | flatpak | 45.0 | org.gnome.Builder.desktop | flatpak install -y --user gnome-nightly "
                  "org.gnome.Builder",
                  "GNU Image Manipulation Program | distributionPackage | 2.10.34-1 | graphics-gimp.desktop | sudo "
                  "apt-get install -y gimp",
                  "My Editor | manual | - | editor.desktop | -", "My Tool | manual | - | mytool.desktop | -",
                  "Spotify | flatpak | 1.2.26 | com.spotify.Client.desktop | flatpak install -y --system flathub "
                  "com.spotify.Client",
                  "Tool Image | appImage | 3.1 | appimagekit-tool.desktop | -",
                  "Vim auf Deutsch | distributionPackage | 2:9.0.1378-2 | vim.desktop | sudo apt-get install -y "
                  "vim-common",
                  "Visual Studio Code | snap | 1.85.1 | code_code.desktop | sudo snap install code "
                  "--channel=latest/stable --classic"}));
    ASSERT_EQ(apps.size(), 8u);
    EXPECT_EQ(apps[2].path, user + "editor.desktop") << "the user's entry overrides the system's";
    EXPECT_EQ(apps[5].executable, home / "Apps/Tool.AppImage");

    // One owner query and one version query for all entries, one listing per tool.
    const std::string calls = "\n" + tools.calls();
    for (const std::string call : {"dpkg-query -S", "dpkg-query -W", "flatpak list", "snap list"}) {
        const auto first = calls.find("\n" + call);
        EXPECT_TRUE(first != std::string::npos && calls.find("\n" + call, first + 1) == std::string::npos) << calls;
    }

    const std::string md = AppScanner::reinstallMarkdown(apps);
    for (const char* part :
         {"8 app(s) found \u00B7 2 need manual reinstall, 0 via Homebrew, 0 from the App Store, 2 from distribution "
          "packages, 2 from Flatpak, 1 from Snap, 1 AppImage(s).\n",
          "- Visual Studio Code v1.85.1 \u2014 `sudo snap install code --channel=latest/stable --classic`\n"})
        EXPECT_NE(md.find(part), std::string::npos) << part << "\n" << md;

    // Only the first package database present is asked; each names owners its own way.
    std::filesystem::remove(tools.bin() + "/dpkg-query");
    tools.script("rpm",
                 "shift 4\nfor p in \"$@\"; do case \"$p\" in */vim.desktop) printf 'vim-enhanced\\t9.0-1.fc39\\n';; "
                 "*) echo \"file $p is not owned by any package\";; esac; done\n");
    EXPECT_EQ(rows(AppScanner(std::make_shared<DirectFileAccess>()).scan())[6],
              "Vim auf Deutsch | distributionPackage | 9.0-1.fc39 | vim.desktop | sudo dnf install -y vim-enhanced");
    std::filesystem::remove(tools.bin() + "/rpm");
    tools.script("pacman",
                 "shift 2\nfor p in \"$@\"; do case \"$p\" in */vim.desktop) echo \"$p is owned by vim 9.0-1\";; "
                 "*) echo \"error: No package owns $p\" >&2;; esac; done\n");
    EXPECT_EQ(rows(AppScanner(std::make_shared<DirectFileAccess>()).scan())[6],
              "Vim auf Deutsch | distributionPackage | 9.0-1 | vim.desktop | sudo pacman -S --needed vim");
}
