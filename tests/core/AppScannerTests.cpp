#include "core/AppScanner.hpp"

#include "support/FakeTools.hpp"
#include "support/TempHome.hpp"

#include <gtest/gtest.h>
#include <plist/plist.h>
#include <unicode/locid.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>

using namespace stowage;
using stowage::testing::slurp;
using stowage::testing::TempHome;

namespace {

std::string xmlInfoPlist(const std::string& bundleID, const std::string& version) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
           "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
           "<plist version=\"1.0\">\n<dict>\n"
           "\t<key>CFBundleIdentifier</key>\n\t<string>" +
           bundleID +
           "</string>\n"
           "\t<key>CFBundleShortVersionString</key>\n\t<string>" +
           version +
           "</string>\n"
           "\t<key>CFBundleName</key>\n\t<string>Ignored</string>\n"
           "</dict>\n</plist>\n";
}

std::string binaryInfoPlist(const std::string& bundleID, const std::string& version) {
    plist_t dict = plist_new_dict();
    plist_dict_set_item(dict, "CFBundleIdentifier", plist_new_string(bundleID.c_str()));
    plist_dict_set_item(dict, "CFBundleShortVersionString", plist_new_string(version.c_str()));
    plist_dict_set_item(dict, "LSMinimumSystemVersion", plist_new_uint(14));
    char* bin = nullptr;
    uint32_t length = 0;
    plist_to_bin(dict, &bin, &length);
    std::string out(bin, length);
    plist_to_bin_free(bin);
    plist_free(dict);
    return out;
}

/// Counts the provider calls a scan makes and whether every begun root is ended.
class CountingAccess : public DirectFileAccess {
public:
    mutable int reads = 0;
    mutable int existsCalls = 0;
    std::vector<std::string> begun, ended;

    bool exists(const std::string& path) const override {
        ++existsCalls;
        return DirectFileAccess::exists(path);
    }
    std::optional<Bytes> read(const std::string& path) const override {
        ++reads;
        return DirectFileAccess::read(path);
    }
    std::optional<Bytes> readAtMost(const std::string& path, std::int64_t maxBytes, bool* tooLarge) const override {
        ++reads;
        return DirectFileAccess::readAtMost(path, maxBytes, tooLarge);
    }
    bool beginAccess(const std::string& path) override {
        begun.push_back(path);
        return true;
    }
    void endAccess(const std::string& path) override { ended.push_back(path); }
};

/// Fake `which`, `brew` and `mas` in a folder placed first on PATH for the object's lifetime. The
/// fake `which` finds a tool only when the test created it; every fake logs its arguments.
class FakeTools {
public:
    explicit FakeTools(const TempHome& home) : bin_(home.makeDir("fakebin")), log_(bin_ + "/calls.log") {
        writeScript("which", "echo \"which $*\" >> \"${0%/*}/calls.log\"\n"
                             "[ -x \"${0%/*}/$1\" ] || exit 1\n"
                             "echo \"${0%/*}/$1\"\n");
        const char* path = std::getenv("PATH");
        savedPath_ = path ? path : "";
        setenv("PATH", (bin_ + ":" + savedPath_).c_str(), 1);
    }
    ~FakeTools() { setenv("PATH", savedPath_.c_str(), 1); }
    FakeTools(const FakeTools&) = delete;
    FakeTools& operator=(const FakeTools&) = delete;

    /// A tool that prints `output` exactly and exits with `status`.
    void addTool(const std::string& name, const std::string& output, int status = 0) {
        std::ofstream(bin_ + "/" + name + ".out", std::ios::binary) << output;
        writeScript(name, "echo \"" + name + " $*\" >> \"${0%/*}/calls.log\"\n" + "cat \"${0%/*}/" + name + ".out\"\n" +
                              "exit " + std::to_string(status) + "\n");
    }

    std::string calls() const { return slurp(log_); }

private:
    void writeScript(const std::string& name, const std::string& body) {
        const std::string file = bin_ + "/" + name;
        std::ofstream(file, std::ios::binary) << "#!/bin/sh\n" << body;
        ::chmod(file.c_str(), 0755);
    }

    std::string bin_;
    std::string log_;
    std::string savedPath_;
};

/// An application bundle under `folder` (relative to the home) with an optional Info.plist.
std::string makeApp(const TempHome& home, const std::string& folder, const std::string& name,
                    const std::optional<std::string>& infoPlist = std::nullopt, bool receipt = false) {
    const std::string bundle = folder + "/" + name + ".app";
    home.makeDir(bundle + "/Contents/MacOS");
    if (infoPlist)
        home.writeFile(bundle + "/Contents/Info.plist", *infoPlist);
    if (receipt)
        home.writeFile(bundle + "/Contents/_MASReceipt/receipt", "receipt-bytes");
    return home / bundle;
}

InstalledApp app(const std::string& name, AppSource source, std::optional<std::string> version = std::nullopt,
                 std::optional<std::string> bundleID = std::nullopt) {
    InstalledApp a;
    a.name = name;
    a.path = "/Applications/" + name + ".app";
    a.source = source;
    a.version = std::move(version);
    a.bundleID = std::move(bundleID);
    return a;
}

std::vector<std::string> names(const std::vector<InstalledApp>& apps) {
    std::vector<std::string> out;
    for (const auto& a : apps)
        out.push_back(a.name);
    return out;
}

} // namespace

// ---- Vocabulary and JSON ---------------------------------------------------------------------

TEST(InstalledAppTest, SourceRawValuesAndLabels) {
    EXPECT_EQ(toString(AppSource::homebrewCask), "homebrewCask");
    EXPECT_EQ(appSourceFromString("appStore"), AppSource::appStore);
    EXPECT_EQ(appSourceFromString("Manual"), std::nullopt);
    EXPECT_EQ(label(AppSource::appStore), "App Store");
    EXPECT_EQ(label(AppSource::homebrewCask), "Homebrew cask");
    EXPECT_EQ(label(AppSource::manual), "Manual download");
}

TEST(InstalledAppTest, JsonRoundTripOmitsAbsentFieldsAndRejectsUnknownSource) {
    InstalledApp full = app("Xcode", AppSource::appStore, "15.4", "com.apple.dt.Xcode");
    full.appStoreID = "497799835";
    nlohmann::json j = full;
    EXPECT_EQ(j.dump(), R"({"appStoreID":"497799835","bundleID":"com.apple.dt.Xcode","name":"Xcode",)"
                        R"("path":"/Applications/Xcode.app","source":"appStore","version":"15.4"})");
    EXPECT_EQ(j.get<InstalledApp>(), full);

    InstalledApp cask = app("Visual Studio Code", AppSource::homebrewCask);
    cask.caskToken = "visual-studio-code";
    EXPECT_EQ(nlohmann::json(cask).get<InstalledApp>(), cask);

    InstalledApp bare = nlohmann::json::parse(R"({"name":"Tool","path":"/A/Tool.app","source":"manual",
                                                  "version":null,"futureKey":1})")
                            .get<InstalledApp>();
    EXPECT_EQ(bare.name, "Tool");
    EXPECT_EQ(bare.path, "/A/Tool.app");
    EXPECT_EQ(bare.source, AppSource::manual);
    EXPECT_FALSE(bare.version);
    EXPECT_FALSE(bare.bundleID);
    EXPECT_EQ(nlohmann::json(bare).dump(), R"({"name":"Tool","path":"/A/Tool.app","source":"manual"})");

    EXPECT_THROW(nlohmann::json::parse(R"({"name":"T","path":"/T.app","source":"sideloaded"})").get<InstalledApp>(),
                 nlohmann::json::exception);
    EXPECT_THROW(nlohmann::json::parse(R"({"name":"T","source":"manual"})").get<InstalledApp>(),
                 nlohmann::json::exception);
}

TEST(InstalledAppTest, DerivedCommandAndLinks) {
    InstalledApp cask = app("Visual Studio Code", AppSource::homebrewCask);
    EXPECT_EQ(cask.caskCommand(), std::nullopt);
    EXPECT_EQ(cask.reinstallURL(), std::nullopt);
    cask.caskToken = "visual-studio-code";
    EXPECT_EQ(cask.caskCommand(), "brew install --cask visual-studio-code");
    EXPECT_EQ(cask.reinstallURL(), std::nullopt);

    InstalledApp store = app("Final Cut Pro", AppSource::appStore);
    EXPECT_EQ(store.caskCommand(), std::nullopt);
    EXPECT_EQ(store.reinstallURL(), "macappstore://apps.apple.com/search?term=Final%20Cut%20Pro");
    store.appStoreID = "424389933";
    EXPECT_EQ(store.reinstallURL(), "macappstore://apps.apple.com/app/id424389933");

    EXPECT_EQ(app("Sketch", AppSource::manual).reinstallURL(), "https://duckduckgo.com/?q=Sketch%20mac%20download");
    // Characters that would end or change the query value are encoded, not passed through.
    EXPECT_EQ(app("C++ & Co #1", AppSource::manual).reinstallURL(),
              "https://duckduckgo.com/?q=C%2B%2B%20%26%20Co%20%231%20mac%20download");
    EXPECT_EQ(app("Café", AppSource::appStore).reinstallURL(), "macappstore://apps.apple.com/search?term=Caf%C3%A9");
}

// ---- Parsing steps ---------------------------------------------------------------------------

TEST(AppScannerParseTest, CaskCandidates) {
    EXPECT_EQ(AppScanner::caskCandidate("Visual Studio Code"), "visual-studio-code");
    EXPECT_EQ(AppScanner::caskCandidate("Foo  -  Bar"), "foo-bar");
    EXPECT_EQ(AppScanner::caskCandidate("Café (Beta)"), "café-beta");
    // The same name with a separate combining accent, as some file systems store it.
    EXPECT_EQ(AppScanner::caskCandidate("Cafe\u0301 (Beta)"), "café-beta");
    EXPECT_EQ(AppScanner::caskCandidate("1Password 7"), "1password-7");
    EXPECT_EQ(AppScanner::caskCandidate("__Docker_Desktop__"), "docker-desktop");
    EXPECT_EQ(AppScanner::caskCandidate("iTerm2.old"), "iterm2old");
    EXPECT_EQ(AppScanner::caskCandidate("Ünïcode Ärger"), "ünïcode-ärger");
    EXPECT_EQ(AppScanner::caskCandidate("!!! ???"), "");
}

TEST(AppScannerParseTest, MasListing) {
    auto ids = AppScanner::parseMasList("1234 Some App (2.1.0)\n"
                                        "\n"
                                        "abc Not An App (1.0)\n"
                                        "12a4 Mixed (1.0)\n"
                                        "99999\n"
                                        "4242    \n"
                                        "  409183694 Keynote               (13.1)\r\n"
                                        "497799835 Xcode (15.0)\n"
                                        "111 Foo (Bar) Tool (3)\n"
                                        "222 No Version\n"
                                        "497799836 Xcode (15.1)");
    EXPECT_EQ(ids, (std::map<std::string, std::string>{{"Some App", "1234"},
                                                       {"Keynote", "409183694"},
                                                       {"Xcode", "497799836"},
                                                       {"Foo (Bar) Tool", "111"},
                                                       {"No Version", "222"}}));
    EXPECT_TRUE(AppScanner::parseMasList("").empty());
}

TEST(AppScannerParseTest, CaskListing) {
    EXPECT_EQ(AppScanner::parseCaskList("firefox\nvisual-studio-code  iterm2\n\n\tdocker\n"),
              (std::set<std::string>{"docker", "firefox", "iterm2", "visual-studio-code"}));
    EXPECT_TRUE(AppScanner::parseCaskList(" \n\n").empty());
}

TEST(AppScannerParseTest, BundleInfoFromXmlBinaryAndJunk) {
    auto xml = AppScanner::bundleInfo(toBytes(xmlInfoPlist("org.example.one", "1.2.3")));
    EXPECT_EQ(xml.first, "org.example.one");
    EXPECT_EQ(xml.second, "1.2.3");

    auto bin = AppScanner::bundleInfo(toBytes(binaryInfoPlist("org.example.two", "2.0")));
    EXPECT_EQ(bin.first, "org.example.two");
    EXPECT_EQ(bin.second, "2.0");

    // Values of the wrong type and roots that are not dictionaries give nothing.
    auto wrongType = AppScanner::bundleInfo(toBytes("<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>"
                                                    "<key>CFBundleIdentifier</key><integer>7</integer>"
                                                    "<key>CFBundleShortVersionString</key><string>3</string>"
                                                    "</dict></plist>"));
    EXPECT_EQ(wrongType.first, std::nullopt);
    EXPECT_EQ(wrongType.second, "3");
    auto array = AppScanner::bundleInfo(
        toBytes("<?xml version=\"1.0\"?><plist version=\"1.0\"><array><string>x</string></array></plist>"));
    EXPECT_FALSE(array.first || array.second);

    for (const std::string& junk : {std::string(), std::string("not a plist at all"),
                                    std::string("bplist00\x01\x02", 10), xmlInfoPlist("a", "b").substr(0, 60)}) {
        auto info = AppScanner::bundleInfo(toBytes(junk));
        EXPECT_FALSE(info.first || info.second) << junk;
    }
}

// ---- Scanning real bundles -------------------------------------------------------------------

TEST(AppScannerScanTest, ClassifiesBundlesAcrossRoots) {
    TempHome home;
    makeApp(home, "System", "Xcode", xmlInfoPlist("com.apple.dt.Xcode", "15.4"), true);
    makeApp(home, "System", "Visual Studio Code", binaryInfoPlist("com.microsoft.VSCode", "1.90.0"));
    makeApp(home, "System", "Firefox", xmlInfoPlist("org.mozilla.firefox", "126.0"), true);
    makeApp(home, "System", "Broken", std::string("<plist><dict><key>CFBundleIdentifier"));
    makeApp(home, "System", "Shared", xmlInfoPlist("first.copy", "1"));
    makeApp(home, "System", "Utilities/Terminal", xmlInfoPlist("com.apple.Terminal", "2"));
    home.writeFile("System/notes.txt", "not an app");
    home.makeDir("System/Folder.apps");
    makeApp(home, "Applications", "Shared", xmlInfoPlist("second.copy", "2"));
    makeApp(home, "Applications", "bare");

    auto access = std::make_shared<CountingAccess>();
    AppScanner scanner({home / "System", home / "Missing", "~/Applications"}, access);
    auto apps = scanner.scan(std::set<std::string>{"visual-studio-code", "firefox", "bare"},
                             std::map<std::string, std::string>{{"Xcode", "497799835"}});

    ASSERT_EQ(names(apps),
              (std::vector<std::string>{"bare", "Broken", "Firefox", "Shared", "Visual Studio Code", "Xcode"}));
    const InstalledApp& bare = apps[0];
    EXPECT_EQ(bare.source, AppSource::homebrewCask);
    EXPECT_EQ(bare.caskToken, "bare");
    EXPECT_EQ(bare.path, home / "Applications/bare.app");
    EXPECT_FALSE(bare.bundleID || bare.version);

    const InstalledApp& broken = apps[1];
    EXPECT_EQ(broken.source, AppSource::manual);
    EXPECT_FALSE(broken.bundleID || broken.version || broken.caskToken || broken.appStoreID);

    // A store receipt wins over a cask of the same name; without a known identifier none is set.
    const InstalledApp& firefox = apps[2];
    EXPECT_EQ(firefox.source, AppSource::appStore);
    EXPECT_EQ(firefox.caskToken, std::nullopt);
    EXPECT_EQ(firefox.appStoreID, std::nullopt);
    EXPECT_EQ(firefox.version, "126.0");

    // The first root's copy is the one listed.
    const InstalledApp& shared = apps[3];
    EXPECT_EQ(shared.path, home / "System/Shared.app");
    EXPECT_EQ(shared.bundleID, "first.copy");

    const InstalledApp& code = apps[4];
    EXPECT_EQ(code.source, AppSource::homebrewCask);
    EXPECT_EQ(code.caskToken, "visual-studio-code");
    EXPECT_EQ(code.bundleID, "com.microsoft.VSCode");
    EXPECT_EQ(code.version, "1.90.0");

    const InstalledApp& xcode = apps[5];
    EXPECT_EQ(xcode.source, AppSource::appStore);
    EXPECT_EQ(xcode.appStoreID, "497799835");
    EXPECT_EQ(xcode.bundleID, "com.apple.dt.Xcode");
    EXPECT_EQ(xcode.path, home / "System/Xcode.app");

    // One read and one existence test per listed bundle; each root bracketed.
    EXPECT_EQ(access->reads, 6);
    EXPECT_EQ(access->existsCalls, 6);
    EXPECT_EQ(access->begun, (std::vector<std::string>{home / "System", home / "Missing", home / "Applications"}));
    EXPECT_EQ(access->ended, access->begun);
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
        auto apps = scanner.scan(std::set<std::string>{}, std::map<std::string, std::string>{});
        icu::Locale::setDefault(saved, status);
        return names(apps);
    };
    const std::vector<std::string> english{"Alpha", "alpha2", "Ärger", "beta", "zebra", "Zed"};
    EXPECT_EQ(scanIn("en_US"), english);
    // Swedish sorts "Ä" after "z".
    EXPECT_EQ(scanIn("sv_SE"), (std::vector<std::string>{"Alpha", "alpha2", "beta", "zebra", "Zed", "Ärger"}));
    // The POSIX locale still gives a case-insensitive order, not capitals first.
    EXPECT_EQ(scanIn("en_US_POSIX"), english);

    AppScanner none({home / "nothing-here"}, std::make_shared<DirectFileAccess>());
    EXPECT_TRUE(none.scan(std::set<std::string>{}, std::map<std::string, std::string>{}).empty());
}

TEST(AppScannerScanTest, EqualNamesKeepListingOrder) {
    TempHome home;
    makeApp(home, "A", "tool");
    makeApp(home, "B", "Tool");
    makeApp(home, "C", "TOOL");
    auto apps = AppScanner({home / "C", home / "A", home / "B"}, std::make_shared<DirectFileAccess>())
                    .scan(std::set<std::string>{"tool"}, std::map<std::string, std::string>{});
    // Differently cased names are different apps, all offered the same cask; the sort is stable.
    ASSERT_EQ(names(apps), (std::vector<std::string>{"TOOL", "tool", "Tool"}));
    for (const auto& a : apps)
        EXPECT_EQ(a.caskToken, "tool");
}

// ---- External tools --------------------------------------------------------------------------

TEST(AppScannerToolsTest, AbsentToolsGiveNothingAndAreNotRun) {
    TempHome home;
    FakeTools tools(home);
    EXPECT_TRUE(AppScanner::brewCaskTokens().empty());
    EXPECT_TRUE(AppScanner::masTrackIDs().empty());
    EXPECT_EQ(tools.calls(), "which brew\nwhich mas\n");
}

TEST(AppScannerToolsTest, ParsesRealToolOutput) {
    TempHome home;
    FakeTools tools(home);
    tools.addTool("brew", "firefox\niterm2\nvisual-studio-code\n");
    tools.addTool("mas", "497799835  Xcode         (15.4)\n 409183694  Keynote       (14.0)\nnot-an-id Foo (1)\n");
    EXPECT_EQ(AppScanner::brewCaskTokens(), (std::set<std::string>{"firefox", "iterm2", "visual-studio-code"}));
    EXPECT_EQ(AppScanner::masTrackIDs(),
              (std::map<std::string, std::string>{{"Keynote", "409183694"}, {"Xcode", "497799835"}}));
    EXPECT_EQ(tools.calls(), "which brew\nbrew list --cask\nwhich mas\nmas list\n");
}

TEST(AppScannerToolsTest, FailingListingsGivePartialOrEmptyResults) {
    TempHome home;
    FakeTools tools(home);
    tools.addTool("brew", "firefox\n", 1);
    tools.addTool("mas", "497799835 Xcode (15.4)\n", 1);
    EXPECT_EQ(AppScanner::brewCaskTokens(), (std::set<std::string>{"firefox"}));
    EXPECT_TRUE(AppScanner::masTrackIDs().empty());
}

TEST(AppScannerToolsTest, ScanRunsEachToolOnceWhenNotGivenTheirResults) {
    TempHome home;
    FakeTools tools(home);
    tools.addTool("brew", "visual-studio-code\n");
    tools.addTool("mas", "497799835 Xcode (15.4)\n");
    makeApp(home, "Applications", "Xcode", xmlInfoPlist("com.apple.dt.Xcode", "15.4"), true);
    makeApp(home, "Applications", "Visual Studio Code");

    auto apps = AppScanner({"~/Applications"}, std::make_shared<DirectFileAccess>()).scan();
    ASSERT_EQ(apps.size(), 2u);
    EXPECT_EQ(apps[0].caskToken, "visual-studio-code");
    EXPECT_EQ(apps[1].appStoreID, "497799835");
    EXPECT_EQ(tools.calls(), "which brew\nbrew list --cask\nwhich mas\nmas list\n");

    // Results handed in are used as they are: no tool runs at all.
    auto given = AppScanner({"~/Applications"}, std::make_shared<DirectFileAccess>())
                     .scan(std::set<std::string>{}, std::map<std::string, std::string>{});
    EXPECT_EQ(given[0].source, AppSource::manual);
    EXPECT_EQ(given[1].appStoreID, std::nullopt);
    EXPECT_EQ(tools.calls(), "which brew\nbrew list --cask\nwhich mas\nmas list\n");
}

// ---- Reinstall guide -------------------------------------------------------------------------

TEST(ReinstallMarkdownTest, NoAppsGivesTitleAndZeroSummaryOnly) {
    EXPECT_EQ(AppScanner::reinstallMarkdown({}),
              "# Installed apps\n\n0 app(s) found \u00B7 0 need manual reinstall, 0 via Homebrew, 0 from the App "
              "Store.\n");
}

TEST(ReinstallMarkdownTest, AllSectionsByteExact) {
    InstalledApp sketch = app("Sketch", AppSource::manual, "100.3", "com.bohemiancoding.sketch3");
    InstalledApp tool = app("My Tool", AppSource::manual);
    InstalledApp code = app("Visual Studio Code", AppSource::homebrewCask, "1.90.0");
    code.caskToken = "visual-studio-code";
    InstalledApp tokenless = app("Odd", AppSource::homebrewCask);
    InstalledApp xcode = app("Xcode", AppSource::appStore, "15.4");
    xcode.appStoreID = "497799835";
    InstalledApp keynote = app("Keynote", AppSource::appStore);

    const std::string expected =
        "# Installed apps\n"
        "\n"
        "6 app(s) found \u00B7 2 need manual reinstall, 2 via Homebrew, 2 from the App Store.\n"
        "\n"
        "## Manual downloads \u2014 redownload these yourself\n"
        "\n"
        "Not in Homebrew or the App Store, so nothing else will bring them back:\n"
        "\n"
        "- **Sketch** v100.3 \u00B7 `com.bohemiancoding.sketch3` \u2014 search: "
        "https://duckduckgo.com/?q=Sketch+mac+download\n"
        "- **My Tool** \u2014 search: https://duckduckgo.com/?q=My+Tool+mac+download\n"
        "\n"
        "## Homebrew casks \u2014 covered by `brew bundle --file manifest/Brewfile`\n"
        "\n"
        "- Visual Studio Code \u2014 `brew install --cask visual-studio-code`\n"
        "- Odd \u2014 `brew install --cask `\n"
        "\n"
        "## App Store \u2014 reinstall from your Purchases (also in manifest/appstore.txt)\n"
        "\n"
        "- Keynote\n"
        "- Xcode v15.4 \u2014 https://apps.apple.com/app/id497799835\n";
    EXPECT_EQ(AppScanner::reinstallMarkdown({sketch, code, tool, keynote, xcode, tokenless}), expected);
}

TEST(ReinstallMarkdownTest, OnlyPresentSectionsAndSafeSearchLinks) {
    EXPECT_EQ(
        AppScanner::reinstallMarkdown({app("Café (Beta)", AppSource::manual), app("R&D 100%", AppSource::manual)}),
        "# Installed apps\n\n2 app(s) found \u00B7 2 need manual reinstall, 0 via Homebrew, 0 from the App "
        "Store.\n\n## Manual downloads \u2014 redownload these yourself\n\n"
        "Not in Homebrew or the App Store, so nothing else will bring them back:\n\n"
        "- **Café (Beta)** \u2014 search: https://duckduckgo.com/?q=Café+(Beta)+mac+download\n"
        "- **R&D 100%** \u2014 search: https://duckduckgo.com/?q=R%26D+100%25+mac+download\n");

    InstalledApp xcode = app("Xcode", AppSource::appStore);
    xcode.appStoreID = "1";
    EXPECT_EQ(AppScanner::reinstallMarkdown({xcode}),
              "# Installed apps\n\n1 app(s) found \u00B7 0 need manual reinstall, 0 via Homebrew, 1 from the App "
              "Store.\n\n## App Store \u2014 reinstall from your Purchases (also in manifest/appstore.txt)\n\n"
              "- Xcode \u2014 https://apps.apple.com/app/id1\n");
}

// ---- Desktop entries -------------------------------------------------------------------------

namespace {

void put(const std::string& path, const std::string& content) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << content;
}

std::string entry(const std::string& name, const std::string& extra = {}) {
    return "[Desktop Entry]\nType=Application\nName=" + name + "\nExec=run-it %U\n" + extra;
}

} // namespace

TEST(DesktopEntryScanTest, ListsWhatTheDesktopShowsWithItsSource) {
    TempHome home;
    stowage::testing::FakeTools tools(home);
    stowage::testing::ScopedEnv desktopName("XDG_CURRENT_DESKTOP", "ubuntu:GNOME");
    stowage::testing::ScopedEnv language("LANGUAGE", "de_DE.UTF-8");
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
    put(home / "Apps/Tool.AppImage", std::string("\x7F"
                                                 "ELF\x02\x01\x01\x00"
                                                 "AI\x02",
                                                 11) +
                                         std::string(64, '\0'));
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

    struct Expected {
        std::string name, desktopID;
        AppSource source;
        std::optional<std::string> version, command;
    };
    const std::vector<Expected> expected = {
        {"Builder", "org.gnome.Builder.desktop", AppSource::flatpak, "45.0",
         "flatpak install -y --user gnome-nightly org.gnome.Builder"},
        {"GNU Image Manipulation Program", "graphics-gimp.desktop", AppSource::distributionPackage, "2.10.34-1",
         "sudo apt-get install -y gimp"},
        {"My Editor", "editor.desktop", AppSource::manual, std::nullopt, std::nullopt},
        {"My Tool", "mytool.desktop", AppSource::manual, std::nullopt, std::nullopt},
        {"Spotify", "com.spotify.Client.desktop", AppSource::flatpak, "1.2.26",
         "flatpak install -y --system flathub com.spotify.Client"},
        {"Tool Image", "appimagekit-tool.desktop", AppSource::appImage, "3.1", std::nullopt},
        {"Vim auf Deutsch", "vim.desktop", AppSource::distributionPackage, "2:9.0.1378-2",
         "sudo apt-get install -y vim-common"},
        {"Visual Studio Code", "code_code.desktop", AppSource::snap, "1.85.1",
         "sudo snap install code --channel=latest/stable --classic"},
    };
    ASSERT_EQ(apps.size(), expected.size()) << ::testing::PrintToString(names(apps));
    for (std::size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(expected[i].name);
        EXPECT_EQ(apps[i].name, expected[i].name);
        EXPECT_EQ(apps[i].desktopID, expected[i].desktopID);
        EXPECT_EQ(apps[i].source, expected[i].source);
        EXPECT_EQ(apps[i].version, expected[i].version);
        EXPECT_EQ(apps[i].reinstallCommand(), expected[i].command);
    }
    EXPECT_EQ(apps[2].path, user + "editor.desktop") << "the user's entry overrides the system's";
    EXPECT_EQ(apps[5].executable, home / "Apps/Tool.AppImage");
    EXPECT_EQ(apps[2].reinstallURL(), "https://duckduckgo.com/?q=My%20Editor%20linux%20download");

    // One owner query and one version query for all entries, one listing per tool.
    const std::string calls = tools.calls();
    auto count = [&calls](const std::string& start) {
        std::size_t n = 0;
        for (std::size_t at = calls.find(start); at != std::string::npos; at = calls.find(start, at + 1))
            n += at == 0 || calls[at - 1] == '\n';
        return n;
    };
    EXPECT_EQ(count("dpkg-query -S"), 1u);
    EXPECT_EQ(count("dpkg-query -W"), 1u);
    EXPECT_EQ(count("flatpak list"), 1u);
    EXPECT_EQ(count("snap list"), 1u);

    std::string md = AppScanner::reinstallMarkdown(apps);
    EXPECT_NE(md.find("8 app(s) found \u00B7 2 need manual reinstall, 0 via Homebrew, 0 from the App Store, 2 from "
                      "distribution packages, 2 from Flatpak, 1 from Snap, 1 AppImage(s).\n"),
              std::string::npos)
        << md;
    EXPECT_NE(
        md.find("- Visual Studio Code v1.85.1 \u2014 `sudo snap install code --channel=latest/stable --classic`\n"),
        std::string::npos);
    EXPECT_NE(md.find("- **My Editor** \u00B7 `editor.desktop` \u2014 search: "
                      "https://duckduckgo.com/?q=My+Editor+linux+download\n"),
              std::string::npos);
}

TEST(DesktopEntryScanTest, ToolOutputParsersTakeOnlyWellFormedNames) {
    EXPECT_EQ(AppScanner::parseDpkgOwners("vim-common: /usr/share/applications/vim.desktop\n"
                                          "gimp, gimp-data:amd64: /usr/share/a/gimp.desktop\n"
                                          "diversion by x from: /usr/share/applications/vim.desktop\n"
                                          "evil;rm -rf ~: /usr/share/a/e.desktop\n"
                                          "dpkg-query: no path found matching pattern /x\n"),
              (std::map<std::string, std::string>{{"/usr/share/a/gimp.desktop", "gimp"},
                                                  {"/usr/share/applications/vim.desktop", "vim-common"}}));
    auto pacman = AppScanner::parsePacmanOwners("/usr/share/applications/a b.desktop is owned by gimp 2.10.36-1\n"
                                                "error: No package owns /x\n"
                                                "/y is owned by $(evil) 1\n");
    ASSERT_EQ(pacman.size(), 1u);
    EXPECT_EQ(pacman["/usr/share/applications/a b.desktop"], (AppScanner::PackageRecord{"gimp", "2.10.36-1"}));

    auto flatpaks = AppScanner::parseFlatpakList("org.a.App\tflathub\tuser\t1.0\n"
                                                 "org.b.App\tflat hub\tsystem\t1.0\n"
                                                 "org.c.App\t'x'\tsystem\n"
                                                 "org.d.App\tfedora\tsystem\n");
    EXPECT_EQ(flatpaks, (std::vector<AppScanner::FlatpakRecord>{{"org.a.App", "flathub", "user", "1.0"},
                                                                {"org.d.App", "fedora", "system", std::nullopt}}));

    auto snaps = AppScanner::parseSnapList("Name Version Rev Tracking Publisher Notes\n"
                                           "code 1.85 150 latest/stable vscode** classic\n"
                                           "core22 2023 1033 latest/stable canonical** base\n"
                                           "snapd 2.61 20671 latest/stable canonical** snapd\n"
                                           "pc-kernel 5.15 1 22/stable canonical** kernel\n"
                                           "hello 2.10 42 - me -\n"
                                           "bad`name 1 1 latest/stable me -\n");
    ASSERT_EQ(snaps.size(), 5u);
    EXPECT_EQ(snaps[0], (AppScanner::SnapRecord{"code", "1.85", "latest/stable", true, false}));
    EXPECT_TRUE(snaps[1].system && snaps[2].system && snaps[3].system);
    EXPECT_EQ(snaps[4], (AppScanner::SnapRecord{"hello", "2.10", std::nullopt, false, false}));

    EXPECT_EQ(AppScanner::nixStorePackage("/nix/store/0abc-firefox-121.0.1/share/applications/firefox.desktop"),
              (AppScanner::PackageRecord{"firefox", "121.0.1"}));
    EXPECT_EQ(AppScanner::nixStorePackage("/nix/store/0abc-gnome-text-editor-45.1/x"),
              (AppScanner::PackageRecord{"gnome-text-editor", "45.1"}));
    EXPECT_EQ(AppScanner::nixStorePackage("/nix/store/0abc-hello/x"),
              (AppScanner::PackageRecord{"hello", std::nullopt}));
    EXPECT_EQ(AppScanner::nixStorePackage("/usr/share/applications/firefox.desktop"), std::nullopt);
    EXPECT_TRUE(AppScanner::isAppImageHeader({0x7F, 'E', 'L', 'F', 2, 1, 1, 0, 'A', 'I', 2}));
    EXPECT_FALSE(AppScanner::isAppImageHeader({0x7F, 'E', 'L', 'F', 2, 1, 1, 0, 0, 0, 0}));
    EXPECT_FALSE(AppScanner::isAppImageHeader({'#', '!', '/', 'b', 'i', 'n', '/', 's', 'A', 'I', 2}));
}

TEST(InstalledAppTest, LinuxSourcesRoundTripAndRefuseUnsafeCommands) {
    InstalledApp snap = app("Code", AppSource::snap, "1.85");
    snap.desktopID = "code_code.desktop";
    snap.packageName = "code";
    snap.channel = "latest/stable";
    snap.classic = true;
    nlohmann::json j = snap;
    EXPECT_EQ(j["source"], "snap");
    EXPECT_EQ(j["classic"], true);
    EXPECT_EQ(j.get<InstalledApp>(), snap);
    EXPECT_EQ(label(AppSource::distributionPackage), "Distribution package");
    EXPECT_EQ(appSourceFromString("appImage"), AppSource::appImage);

    // A stored list may have been edited: a name that is not a package name gives no command.
    InstalledApp hostile = app("Evil", AppSource::distributionPackage);
    hostile.packageManager = "dpkg";
    hostile.packageName = "vim; rm -rf ~";
    EXPECT_EQ(hostile.reinstallCommand(), std::nullopt);
    hostile.packageName = "vim";
    hostile.packageManager = "pacman";
    EXPECT_EQ(hostile.reinstallCommand(), "sudo pacman -S --needed vim");
    InstalledApp nix = app("Firefox", AppSource::nix);
    nix.packageName = "firefox";
    EXPECT_EQ(nix.reinstallCommand(), "nix profile install nixpkgs#firefox");
    snap.channel = "latest/stable --devmode $(x)";
    EXPECT_EQ(snap.reinstallCommand(), "sudo snap install code --classic");
}

TEST(DesktopEntryScanTest, EachPackageDatabaseNamesTheOwner) {
    struct Case {
        std::string tool, body, manager, package, version, command;
    };
    const std::vector<Case> cases = {
        {"dpkg-query",
         "if [ \"$1\" = -S ]; then shift 2; for p in \"$@\"; do case \"$p\" in */vim.desktop) echo \"vim: $p\";; esac; "
         "done; exit 1; fi\nprintf 'vim\\t2:9.0-2\\n'\n",
         "dpkg", "vim", "2:9.0-2", "sudo apt-get install -y vim"},
        {"rpm",
         "shift 4\nfor p in \"$@\"; do case \"$p\" in */vim.desktop) printf 'vim-enhanced\\t9.0-1.fc39\\n';; "
         "*) echo \"file $p is not owned by any package\";; esac; done\n",
         "rpm", "vim-enhanced", "9.0-1.fc39", "sudo dnf install -y vim-enhanced"},
        {"pacman",
         "shift 2\nfor p in \"$@\"; do case \"$p\" in */vim.desktop) echo \"$p is owned by vim 9.0-1\";; "
         "*) echo \"error: No package owns $p\" >&2;; esac; done\n",
         "pacman", "vim", "9.0-1", "sudo pacman -S --needed vim"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.tool);
        TempHome home;
        stowage::testing::FakeTools tools(home);
        tools.script(c.tool, c.body);
        const std::string sys = home.systemRoot() + "/usr/share/applications/";
        put(sys + "vim.desktop", entry("Vim"));
        put(sys + "local.desktop", entry("Local"));

        auto apps = AppScanner(std::make_shared<DirectFileAccess>()).scan();
        ASSERT_EQ(names(apps), (std::vector<std::string>{"Local", "Vim"}));
        EXPECT_EQ(apps[0].source, AppSource::manual);
        EXPECT_EQ(apps[1].source, AppSource::distributionPackage);
        EXPECT_EQ(apps[1].packageManager, c.manager);
        EXPECT_EQ(apps[1].packageName, c.package);
        EXPECT_EQ(apps[1].version, c.version);
        EXPECT_EQ(apps[1].reinstallCommand(), c.command);
    }
}
