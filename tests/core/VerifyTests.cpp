// What a backup folder holds and promises: backup.json read and written faithfully (and refused
// whole when damaged), every recorded entry checked by verify, the bundle opened by deep
// verification, and history.json kept newest first without ever losing a damaged copy.

#include "core/BackupError.hpp"
#include "core/BackupManifest.hpp"
#include "core/Json.hpp"
#include "core/SecretsBundle.hpp"
#include "core/Verify.hpp"
#include "core/platform/KeyStore.hpp"
#include "support/FaultInjectingFileAccess.hpp"
#include "support/RunStowage.hpp"
#include "support/TempHome.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

using namespace stowage;
using stowage::testing::contains;
using stowage::testing::errorOf;
using stowage::testing::FaultInjectingFileAccess;
using stowage::testing::slurp;
using Json = nlohmann::json;
using Strings = std::vector<std::string>;
namespace fs = std::filesystem;

namespace {

Timestamp day(int d) {
    return *json::parseIso8601("2026-01-01T00:00:00Z") + std::chrono::hours(24 * d);
}

BackupResult withConfigs(int configs) {
    BackupResult r("/unused");
    r.configFiles.assign(static_cast<size_t>(configs), "config/x");
    return r;
}

BackupManifest manifestOf(std::vector<ConfigEntry> configs, Strings secrets = {}) {
    BackupManifest m;
    m.createdAt = day(0);
    m.configs = std::move(configs);
    m.hasSecrets = !secrets.empty();
    m.secretPaths = std::move(secrets);
    return m;
}

/// A manifest with every key, a project list and a well-formed non-ASCII name.
BackupManifest fullManifest() {
    BackupManifest m =
        manifestOf({{"/home/u/.zshrc", "config/home/.zshrc"}, {"/home/u/café.txt", "config/home/café.txt"}},
                   {"/home/u/.ssh/id_ed25519"});
    m.manifests = {"manifest/Brewfile"};
    m.projects = std::vector<ProjectEntry>{{"/home/u/src/app", "projects/app", "app"},
                                           {"/home/u/work/app", "projects/app-2", "app-2"}};
    m.homeFolder = "/home/u";
    m.secretsSize = 1234;
    m.secretsSha256 = std::string(64, 'a');
    m.storedFiles = std::vector<StoredFile>{{"config/home/.zshrc", 12, std::string(64, 'b')}};
    return m;
}

/// A backup folder in a temporary home.
class BackupFolderTest : public ::testing::Test {
protected:
    stowage::testing::TempHome home;
    DirectFileAccess access;
    std::string root = home.makeDir("Backup");

    void writeBundle(const Bytes& bytes) { access.write(bytes, root + "/secrets.stowage", 0600); }
    void writeManifest(const BackupManifest& m) { home.writeFile("Backup/backup.json", m.encode()); }
    Strings issues() { return verify(root, access).issues; }
};

} // namespace

TEST(BackupManifestJson, EveryShapeRoundTripsAsPrettySortedTextWithWholeSecondUtcDates) {
    BackupManifest old = fullManifest(), emptyProjects = fullManifest(), fractions = fullManifest();
    old.projects = std::nullopt; // a manifest from before the later keys: they stay out
    old.homeFolder = old.secretsSha256 = std::nullopt;
    old.secretsSize = std::nullopt;
    old.storedFiles = std::nullopt;
    emptyProjects.projects = std::vector<ProjectEntry>{};
    for (const BackupManifest& m : {fullManifest(), old, emptyProjects}) {
        const std::string text = m.encode();
        EXPECT_EQ(BackupManifest::decode(text), m) << text;
        EXPECT_EQ(text, Json::parse(text).dump(2)) << "pretty, with sorted keys";
        EXPECT_EQ(Json::parse(text).contains("projects"), m.projects.has_value());
    }
    fractions.createdAt += std::chrono::seconds(37) + std::chrono::milliseconds(870); // dropped, never rounded up
    EXPECT_EQ(Json::parse(fractions.encode())["createdAt"], "2026-01-01T00:00:37Z");

    // Other writers: an offset date, unknown keys, a null project list, integral floats.
    BackupManifest read = BackupManifest::decode(R"({"version":1.0,"createdAt":"2026-12-05T12:04:37+01:00",
        "configs":[{"originalPath":"/a","storedRelPath":"config/abs/_a","checksum":"x"}],"manifests":[],
        "hasSecrets":false,"secretPaths":[],"projects":null,"futureKey":{"nested":[1,2]}})");
    EXPECT_EQ(read.createdAt, *json::parseIso8601("2026-12-05T11:04:37Z"));
    EXPECT_EQ(read.projects, std::nullopt);
    EXPECT_EQ(read.version, 1);

    BackupManifest invalid = fullManifest();
    invalid.configs.push_back({"/home/u/caf\xE9.txt", "config/home/caf\xE9.txt"});
    EXPECT_EQ(errorOf([&] { (void)invalid.encode(); }),
              "I/O error: cannot write backup.json: a recorded name is not valid UTF-8");
    EXPECT_EQ(sha256Hex(toBytes("abc")), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(BackupManifestJson, AMissingOrMistypedKeyMakesTheWholeManifestUnreadable) {
    const Json good = Json::parse(fullManifest().encode());
    auto with = [&](const char* key, const Json& value) {
        Json j = good;
        j[key] = value;
        return j.dump();
    };
    Json noSize = good;
    noSize["storedFiles"][0].erase("size");
    std::vector<std::pair<std::string, std::string>> cases{
        {"", "it is not valid JSON"},
        {"[1,2]", "the top level is not an object"},
        {noSize.dump(), "the key \"storedFiles[0].size\" is missing"},
        {with("version", "1"), "\"version\" is not a whole number"},
        {with("hasSecrets", 1), "\"hasSecrets\" is not true or false"},
        {with("createdAt", "5 Dec 2026"), "\"createdAt\" is not an ISO-8601 date"},
        {with("secretPaths", Json::array({1})), "\"secretPaths[0]\" is not a string"},
        {with("configs", Json::array({"config/x"})), "\"configs[0]\" is not an object"},
        {with("projects", Json::array({{{"originalPath", "/p"}, {"storedRelPath", "projects/p"}}})),
         "the key \"projects[0].name\" is missing"},
        {with("storedFiles", 7), "\"storedFiles\" is not a list"},
        {with("manifests", "Brewfile"), "\"manifests\" is not a list"},
    };
    for (const char* key : {"version", "createdAt", "configs", "manifests", "hasSecrets", "secretPaths"}) {
        Json j = good;
        j.erase(key);
        cases.emplace_back(j.dump(), std::string("the key \"") + key + "\" is missing");
    }
    for (const auto& [text, detail] : cases) {
        const std::string error = errorOf([&] { BackupManifest::decode(text); });
        EXPECT_TRUE(contains(error, "backup.json cannot be read: " + detail)) << error;
    }
    const std::string history = errorOf([] { decodeHistory("{}"); });
    EXPECT_TRUE(contains(history, "history.json cannot be read: the top level is not a list")) << history;
}

TEST(StoredTextSafety, Utf8IsCheckedAndRepairedAndOnlyPlainRelativePathsInsideTheFolderAreSafe) {
    const std::string bad = "\xEF\xBF\xBD"; // U+FFFD
    const std::vector<std::tuple<std::string, bool, std::string>> texts{
        {"caf\xC3\xA9 \xE2\x94\x80 \xF0\x9F\x98\x80", true, ""},
        {"caf\xE9!", false, "caf" + bad + "!"},
        {"a\xE2\x94z", false, "a" + bad + "z"}, // cut short
        {"\xC0\xAF", false, bad + bad},         // overlong "/"
        {"\xED\xA0\x80", false, ""},            // surrogate
        {"\xF4\x90\x80\x80", false, ""},        // past U+10FFFF
    };
    for (const auto& [text, valid, repaired] : texts) {
        EXPECT_EQ(json::isValidUtf8(text), valid) << text;
        EXPECT_TRUE(json::isValidUtf8(json::validUtf8(text))) << text;
        EXPECT_TRUE(repaired.empty() || json::validUtf8(text) == repaired) << text;
    }
    for (const char* safe : {"config/home/.zshrc", "projects/app-2", "config/home/..hidden"})
        EXPECT_TRUE(isSafeStoredPath(safe)) << safe;
    for (const char* unsafe : {"", "/etc/passwd", "config/../../etc", "..", "config//x", "config/x/"})
        EXPECT_FALSE(isSafeStoredPath(unsafe)) << unsafe;
    EXPECT_FALSE(isSafeStoredPath(std::string("config/a\0b", 10)));
}

TEST_F(BackupFolderTest, AFolderWithoutAReadableManifestIsAnErrorAndHasNoHistory) {
    EXPECT_EQ(errorOf([&] { verify("~/Backup", access); }), "I/O error: no backup.json in ~/Backup");

    // Over the cap, neither file is read into memory; the history is left alone, as it cannot be kept aside.
    for (const char* name : {"/backup.json", "/history.json"}) {
        home.writeFile(std::string("Backup") + name, "");
        fs::resize_file(root + name, static_cast<std::uintmax_t>(maxStoredJsonBytes) + 1); // sparse
    }
    EXPECT_EQ(errorOf([&] { verify(root, access); }), "backup.json cannot be read: it is larger than 256 MiB.");
    EXPECT_TRUE(history(root, access).empty());
    appendHistory(root, day(1), withConfigs(1), access);
    EXPECT_EQ(fs::file_size(root + "/history.json"), static_cast<std::uintmax_t>(maxStoredJsonBytes) + 1);
}

TEST_F(BackupFolderTest, EveryRecordedEntryIsCheckedForPresenceSizeDigestAndLinks) {
    const Bytes bundle(40, 0x41);
    const std::string zshrc = "export A=1\n", mainC = "int main;\n";
    auto build = [&] {
        fs::remove_all(root);
        home.writeFile("Backup/config/home/.zshrc", zshrc);
        home.makeDir("Backup/config/home/.config/git"); // a stored folder, contents not examined
        home.writeFile("Backup/projects/app/main.c", mainC);
        writeBundle(bundle);
        BackupManifest m = manifestOf({{home / ".zshrc", "config/home/.zshrc"},
                                       {home / ".config/git", "config/home/.config/git"},
                                       {"/etc/hosts", "config/abs/_etc_hosts"}},
                                      {home / ".ssh/id", home / ".aws/credentials"});
        m.projects = std::vector<ProjectEntry>{{home / "app", "projects/app", "app"}};
        m.storedFiles = std::vector<StoredFile>{{"config/home/.zshrc", 11, sha256Hex(toBytes(zshrc))},
                                                {"projects/app/main.c", 10, sha256Hex(toBytes(mainC))}};
        m.secretsSize = 40;
        m.secretsSha256 = sha256Hex(bundle);
        writeManifest(m);
    };
    build();
    VerifyReport report = verify("~/Backup", access);
    EXPECT_EQ(report.issues, Strings{"missing config file: config/abs/_etc_hosts"});
    EXPECT_EQ(report.checkedConfigs + report.checkedSecrets + report.checkedFiles, 3 + 2 + 2);

    Bytes flipped = bundle;
    flipped[20] ^= 0x01;
    auto linkInstead = [&](const std::string& stored, const std::string& moved) {
        fs::rename(root + "/" + stored, moved);
        fs::create_symlink(moved, root + "/" + stored);
    };
    const std::vector<std::pair<std::function<void()>, Strings>> cases{
        {[] {}, {}},
        {[&] { writeBundle(flipped); }, {"secrets.stowage is damaged (its SHA-256 does not match backup.json)"}},
        {[&] { writeBundle(Bytes(30, 0x41)); }, {"secrets.stowage has the wrong size (30 bytes, expected 40)"}},
        {[&] { fs::remove_all(root + "/projects"); },
         {"missing project folder: projects/app", "missing file: projects/app/main.c"}},
        {[&] { home.writeFile("Backup/config/home/.zshrc", "export A=3\n"); },
         {"damaged file: config/home/.zshrc (its SHA-256 does not match backup.json)"}},
        {[&] { home.writeFile("Backup/projects/app/main.c", "int main();\n"); },
         {"wrong size: projects/app/main.c (12 bytes, expected 10)"}},
        {[&] { linkInstead("projects/app", home / "moved"); },
         {"symbolic link in backup folder: projects/app", "symbolic link in backup folder: projects/app/main.c"}},
    };
    for (const auto& [damage, expected] : cases) {
        build();
        home.writeFile("Backup/config/abs/_etc_hosts", "127.0.0.1\n");
        damage();
        EXPECT_EQ(issues(), expected);
    }
}

TEST_F(BackupFolderTest, EveryPathRestoreRefusesIsAnIssueEvenWhenTheTargetExists) {
    home.writeFile("outside.txt", "x");
    home.makeDir("Backup/projects");
    BackupManifest m = manifestOf(
        {{"/a", "../outside.txt"}, {"/b", home / "outside.txt"}, {"/c", ""}, {"rel", "config/x"}}, {"not/absolute"});
    m.hasSecrets = false;
    m.projects = std::vector<ProjectEntry>{{home / "app/", "projects/", ""}}; // what "app/" once recorded
    m.storedFiles = std::vector<StoredFile>{{"config/../../etc/passwd", 1, ""}};
    writeManifest(m);
    const std::string unsafe = "unsafe path in backup.json: ";
    EXPECT_EQ(issues(), (Strings{unsafe + "../outside.txt", unsafe + (home / "outside.txt"), unsafe, unsafe + "rel",
                                 unsafe + (home / "app/"), unsafe + "projects/", unsafe + "not/absolute",
                                 unsafe + "config/../../etc/passwd", "missing config file: config/x"}));
}

TEST_F(BackupFolderTest, WithoutRecordedDigestsTheBundleIsCheckedForPresenceAndLengthWhenSecretsAreListed) {
    writeManifest(manifestOf({}, {"/s1", "/s2", "/s3"}));
    EXPECT_EQ(issues(), Strings{"secrets.stowage is missing"});
    const std::vector<std::pair<Bytes, Strings>> cases{
        {Bytes(27, 0), {"secrets.stowage looks truncated (27 bytes)"}},
        {Bytes(28, 0), {}},    // the smallest raw-key bundle
        {toBytes("STB2"), {}}, // the passphrase magic alone
    };
    for (const auto& [bytes, expected] : cases) {
        writeBundle(bytes);
        EXPECT_EQ(issues(), expected) << bytes.size();
    }
    writeManifest(manifestOf({}));
    writeBundle(Bytes(3, 0));
    EXPECT_TRUE(verify(root, access).ok()) << "without secrets the bundle is not looked at";
}

TEST_F(BackupFolderTest, DeepVerificationOpensTheBundleAndFindsEveryListedSecret) {
    auto keychain = std::make_shared<FileKeyStore>(home / "keys"); // never the user's keyring
    KeyStore::overrideStandard(keychain);
    const std::string a = home.writeFile("a", "A"), b = home.writeFile("b", "B"), c = home / "c";
    writeManifest(manifestOf({}, {a, b, c}));
    const SymmetricKey one(std::array<std::uint8_t, 32>{1}), two(std::array<std::uint8_t, 32>{2});
    const Bytes rawBundle = SecretsBundle::seal({a, b}, one).blob; // c does not exist yet
    home.writeFile("c", "C");
    const Bytes passphraseBundle = SecretsBundle::seal({a, b, c}, KeySource::passphrase("pw"), access).blob;

    const std::string missingC = "secret missing from secrets.stowage: " + c,
                      notOpened = "secrets.stowage was not opened: ";
    const std::string noKey = notOpened + "no recovery code given and no key in this machine's keyring";
    const std::string wrongKey =
        "secrets.stowage does not open: Could not decrypt bundle \u2014 wrong key or corrupt file";
    const std::vector<std::tuple<Bytes, std::optional<KeySource>, std::optional<SymmetricKey>, Strings>> cases = {
        {rawBundle, KeySource::rawKey(one), std::nullopt, {missingC}},
        {rawBundle, KeySource::rawKey(two), one, {wrongKey}},
        {rawBundle, std::nullopt, one, {missingC}}, // the keychain's key
        {rawBundle, std::nullopt, std::nullopt, {noKey}},
        {passphraseBundle, KeySource::passphrase("pw"), std::nullopt, {}},
        {passphraseBundle, std::nullopt, one, {notOpened + "no passphrase given"}},
    };
    for (const auto& [bundle, given, inKeychain, expected] : cases) {
        writeBundle(bundle);
        keychain->remove();
        if (inKeychain)
            keychain->store(*inKeychain);
        std::optional<bool> asked;
        VerifyReport report = verifyDeep(root, access, [&](bool passphrase) {
            asked = passphrase;
            return given;
        });
        EXPECT_EQ(report.issues, expected);
        EXPECT_EQ(asked, SecretsBundle::isPassphraseBundle(bundle)) << "asked for the kind of key it needs";
    }
    KeyStore::overrideStandard(nullptr);
}

TEST_F(BackupFolderTest, HistoryIsNewestFirstInWholeSecondsAndKeepsTheFiftyNewestRuns) {
    home.writeFile("Backup/history.json", encodeHistory({{day(1), 1}, {day(3), 3}, {day(2), 21}, {day(2), 22}}));
    EXPECT_EQ(history("~/Backup", access),
              (std::vector<BackupRun>{{day(3), 3}, {day(2), 21}, {day(2), 22}, {day(1), 1}}))
        << "equal dates keep their stored order";

    fs::remove(root + "/history.json");
    appendHistory(root, day(1), withConfigs(1), access);
    BackupResult full = withConfigs(4);
    full.capturedSecrets = {"/s", "/t"};
    full.manifests = {"manifest/m"};
    full.totalBytes = 123456789012LL;
    full.usedPassphrase = true;
    appendHistory(root, day(2) + std::chrono::milliseconds(600), full, access);
    auto runs = history(root, access);
    EXPECT_EQ(runs, (std::vector<BackupRun>{{day(2), 4, 2, 1, 123456789012LL, true}, {day(1), 1}}));
    appendHistory(root, day(0), withConfigs(9), access); // a clock that went backwards
    EXPECT_EQ(history(root, access).back().configCount, 9);

    for (int i = 3; i <= 51; ++i)
        appendHistory(root, day(i), withConfigs(i), access);
    runs = history(root, access);
    ASSERT_EQ(runs.size(), 50u);
    EXPECT_EQ(runs.front().configCount, 51);
    EXPECT_EQ(runs.back().configCount, 4) << "the two oldest runs are gone";
}

namespace {

/// A provider on which history.json exists but cannot be read.
class UnreadableHistory : public FaultInjectingFileAccess {
public:
    std::optional<Bytes> read(const std::string& path) const override {
        return path.ends_with("/history.json") ? std::nullopt : FaultInjectingFileAccess::read(path);
    }
};

} // namespace

TEST_F(BackupFolderTest, ADamagedHistoryReadsAsEmptyAndIsKeptAsideBeforeBeingReplacedNeverLost) {
    const std::string damaged = "[{\"createdAt\": 12}]";
    home.writeFile("Backup/history.json", damaged);
    EXPECT_TRUE(history(root, access).empty());
    FaultInjectingFileAccess faulty;
    faulty.failOn(FaultInjectingFileAccess::Operation::write, 1); // the copy aside
    appendHistory(root, day(1), withConfigs(1), faulty);
    EXPECT_EQ(slurp(root + "/history.json"), damaged) << "neither reading nor a failed copy aside touches it";

    appendHistory(root, day(5), withConfigs(1), access);
    EXPECT_EQ(slurp(root + "/history.json.damaged"), damaged);
    EXPECT_EQ(history(root, access), (std::vector<BackupRun>{{day(5), 1}}));
    home.writeFile("Backup/history.json", "[1,2,3]"); // a second damage does not overwrite the first copy
    appendHistory(root, day(6), withConfigs(2), access);
    EXPECT_EQ(slurp(root + "/history.json.damaged") + slurp(root + "/history.json.damaged-2"), damaged + "[1,2,3]");

    // An unreadable history is never replaced; a failed write is silent and leaves the old file.
    UnreadableHistory unreadable;
    appendHistory(root, day(7), withConfigs(1), unreadable);
    EXPECT_EQ(unreadable.calls(FaultInjectingFileAccess::Operation::write), 0);
    const std::string before = slurp(root + "/history.json");
    faulty.failOn(FaultInjectingFileAccess::Operation::write, 2);
    EXPECT_NO_THROW(appendHistory(root, day(8), withConfigs(1), faulty));
    EXPECT_EQ(slurp(root + "/history.json"), before);
    EXPECT_NO_THROW(appendHistory(home / "nowhere/else", day(2), withConfigs(1), access));
}
