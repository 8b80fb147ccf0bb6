#include "core/BackupError.hpp"
#include "core/Json.hpp"
#include "core/SecretsBundle.hpp"
#include "core/Verify.hpp"
#include "core/platform/KeyStore.hpp"
#include "support/FaultInjectingFileAccess.hpp"
#include "support/TempHome.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

using namespace stowage;
using stowage::testing::FaultInjectingFileAccess;
using stowage::testing::slurp;
using stowage::testing::TempHome;
using ::testing::ElementsAre;
namespace fs = std::filesystem;

namespace {

Timestamp at(const char* iso) {
    return *json::parseIso8601(iso);
}
Timestamp day(int d) {
    return at("2026-01-01T00:00:00Z") + std::chrono::hours(24 * d);
}

class BackupFolderTest : public ::testing::Test {
protected:
    TempHome home;
    DirectFileAccess access;
    std::string root = home.makeDir("Backup");

    void writeManifest(const BackupManifest& m) { home.writeFile("Backup/backup.json", m.encode()); }
    void writeBundle(const Bytes& bytes) { access.write(bytes, root + "/secrets.stowage", 0600); }

    static BackupManifest manifest(std::vector<ConfigEntry> configs, bool hasSecrets = false,
                                   std::vector<std::string> secrets = {}) {
        BackupManifest m;
        m.createdAt = at("2026-12-05T11:04:37Z");
        m.configs = std::move(configs);
        m.hasSecrets = hasSecrets;
        m.secretPaths = std::move(secrets);
        return m;
    }
};

} // namespace

// ---- verify ------------------------------------------------------------------------------------

TEST_F(BackupFolderTest, VerifyWithoutManifestThrowsWithTheFolderWrittenWithTilde) {
    try {
        verify("~/Backup", access);
        FAIL() << "no error";
    } catch (const BackupError& e) {
        EXPECT_EQ(e.kind(), BackupError::Kind::io);
        EXPECT_STREQ(e.what(), "I/O error: no backup.json in ~/Backup");
    }
    EXPECT_TRUE(history("~/Backup", access).empty());
}

TEST_F(BackupFolderTest, VerifyThrowsTheDecodingErrorOfADamagedManifest) {
    home.writeFile("Backup/backup.json", R"({"version":1,"createdAt":"2026-12-05T11:04:37Z"})");
    EXPECT_THROW(verify(root, access), DecodingError);
}

TEST_F(BackupFolderTest, AManifestOrHistoryOverTheCapIsNeverReadIntoMemory) {
    for (const char* name : {"backup.json", "history.json"}) {
        home.writeFile(std::string("Backup/") + name, "");
        fs::resize_file(root + "/" + name, static_cast<std::uintmax_t>(maxStoredJsonBytes) + 1); // sparse
    }
    try {
        verify(root, access);
        FAIL() << "no error";
    } catch (const DecodingError& e) {
        EXPECT_STREQ(e.what(), "backup.json cannot be read: it is larger than 256 MiB.");
    }
    EXPECT_TRUE(history(root, access).empty());
    appendHistory(root, day(1), BackupResult(root), access);
    EXPECT_EQ(fs::file_size(root + "/history.json"), static_cast<std::uintmax_t>(maxStoredJsonBytes) + 1)
        << "left alone: it cannot be kept aside";
}

TEST_F(BackupFolderTest, ACompleteFolderVerifies) {
    home.writeFile("Backup/config/home/.zshrc", "export A=1\n");
    home.makeDir("Backup/config/home/.config/git"); // a stored folder, contents not examined
    writeManifest(manifest({{home / ".zshrc", "config/home/.zshrc"}, {home / ".config/git", "config/home/.config/git"}},
                           true, {home / ".ssh/id_ed25519", home / ".aws/credentials"}));
    writeBundle(Bytes(28, 0x41)); // the smallest raw-key bundle

    VerifyReport report = verify("~/Backup", access);
    EXPECT_TRUE(report.ok());
    EXPECT_EQ(report.checkedConfigs, 2);
    EXPECT_EQ(report.checkedSecrets, 2);
}

TEST_F(BackupFolderTest, MissingConfigCopiesAreReportedInManifestOrder) {
    home.writeFile("Backup/config/home/.gitconfig", "[user]\n");
    writeManifest(manifest({{home / ".zshrc", "config/home/.zshrc"},
                            {home / ".gitconfig", "config/home/.gitconfig"},
                            {"/etc/hosts", "config/abs/_etc_hosts"}}));
    VerifyReport report = verify(root, access);
    EXPECT_EQ(report.checkedConfigs, 3);
    EXPECT_EQ(report.checkedSecrets, 0);
    EXPECT_THAT(report.issues,
                ElementsAre("missing config file: config/home/.zshrc", "missing config file: config/abs/_etc_hosts"));
    EXPECT_FALSE(report.ok());
}

TEST_F(BackupFolderTest, EveryPathRestoreRefusesIsAnIssueEvenWhenTheTargetExists) {
    home.writeFile("outside.txt", "x");
    home.makeDir("Backup/projects");
    BackupManifest m =
        manifest({{"/a", "../outside.txt"}, {"/b", home / "outside.txt"}, {"/c", ""}, {"rel", "config/x"}}, false,
                 {"not/absolute"});
    // What a project given as "app/" used to record.
    m.projects = std::vector<ProjectEntry>{{home / "app/", "projects/", ""}};
    m.storedFiles = std::vector<StoredFile>{{"config/../../etc/passwd", 1, ""}};
    writeManifest(m);
    const std::string unsafe = "unsafe path in backup.json: ";
    EXPECT_THAT(verify(root, access).issues,
                ElementsAre(unsafe + "../outside.txt", unsafe + (home / "outside.txt"), unsafe, unsafe + "rel",
                            unsafe + (home / "app/"), unsafe + "projects/", unsafe + "not/absolute",
                            unsafe + "config/../../etc/passwd", "missing config file: config/x"));
}

TEST_F(BackupFolderTest, EveryRecordedFileIsCheckedForPresenceSizeAndDigest) {
    const Bytes bundle(40, 0x41);
    const std::string zshrc = "export A=1\n", mainC = "int main;\n";
    auto build = [&] {
        fs::remove_all(root);
        home.writeFile("Backup/config/home/.zshrc", zshrc);
        home.writeFile("Backup/projects/app/main.c", mainC);
        writeBundle(bundle);
        BackupManifest m = manifest({{home / ".zshrc", "config/home/.zshrc"}}, true, {home / ".ssh/id"});
        m.projects = std::vector<ProjectEntry>{{home / "app", "projects/app", "app"}};
        m.storedFiles = std::vector<StoredFile>{{"config/home/.zshrc", 11, sha256Hex(toBytes(zshrc))},
                                                {"projects/app/main.c", 10, sha256Hex(toBytes(mainC))}};
        m.secretsSize = 40;
        m.secretsSha256 = sha256Hex(bundle);
        writeManifest(m);
    };
    build();
    VerifyReport good = verify(root, access);
    EXPECT_TRUE(good.ok()) << ::testing::PrintToString(good.issues);
    EXPECT_EQ(good.checkedFiles, 2);

    struct Case {
        const char* what;
        std::function<void()> damage;
        std::vector<std::string> issues;
    };
    const std::vector<Case> cases{
        {"a flipped bit in the bundle",
         [&] {
             Bytes flipped = bundle;
             flipped[20] ^= 0x01;
             writeBundle(flipped);
         },
         {"secrets.stowage is damaged (its SHA-256 does not match backup.json)"}},
        {"a bundle cut short",
         [&] { writeBundle(Bytes(30, 0x41)); },
         {"secrets.stowage has the wrong size (30 bytes, expected 40)"}},
        {"projects/ deleted",
         [&] { fs::remove_all(root + "/projects"); },
         {"missing project folder: projects/app", "missing file: projects/app/main.c"}},
        {"a changed copy",
         [&] { home.writeFile("Backup/config/home/.zshrc", "export A=3\n"); },
         {"damaged file: config/home/.zshrc (its SHA-256 does not match backup.json)"}},
        {"a grown copy",
         [&] { home.writeFile("Backup/projects/app/main.c", "int main();\n"); },
         {"wrong size: projects/app/main.c (12 bytes, expected 10)"}},
        {"a copy replaced by a link",
         [&] {
             fs::remove(root + "/config/home/.zshrc");
             fs::create_symlink(home.writeFile("elsewhere", zshrc), root + "/config/home/.zshrc");
         },
         {"symbolic link in backup folder: config/home/.zshrc"}},
        {"a folder replaced by a link",
         [&] {
             fs::rename(root + "/projects/app", home / "moved");
             fs::create_symlink(home / "moved", root + "/projects/app");
         },
         {"symbolic link in backup folder: projects/app", "symbolic link in backup folder: projects/app/main.c"}},
    };
    for (const auto& c : cases) {
        build();
        c.damage();
        EXPECT_EQ(verify(root, access).issues, c.issues) << c.what;
    }
}

TEST_F(BackupFolderTest, SecretsBundleChecks) {
    writeManifest(manifest({}, true, {"/s1", "/s2", "/s3"}));

    VerifyReport missing = verify(root, access);
    EXPECT_THAT(missing.issues, ElementsAre("secrets.stowage is missing"));
    EXPECT_EQ(missing.checkedSecrets, 0);

    writeBundle(Bytes(10, 0x00));
    VerifyReport truncated = verify(root, access);
    EXPECT_THAT(truncated.issues, ElementsAre("secrets.stowage looks truncated (10 bytes)"));
    EXPECT_EQ(truncated.checkedSecrets, 3);

    writeBundle(Bytes(27, 0x00));
    EXPECT_THAT(verify(root, access).issues, ElementsAre("secrets.stowage looks truncated (27 bytes)"));
    writeBundle({});
    EXPECT_THAT(verify(root, access).issues, ElementsAre("secrets.stowage looks truncated (0 bytes)"));

    writeBundle(toBytes("STB2")); // the passphrase magic alone
    EXPECT_TRUE(verify(root, access).ok());
    writeBundle(toBytes("STB1"));
    EXPECT_THAT(verify(root, access).issues, ElementsAre("secrets.stowage looks truncated (4 bytes)"));
    writeBundle(Bytes(28, 0x00));
    EXPECT_TRUE(verify(root, access).ok());
}

TEST_F(BackupFolderTest, WithoutSecretsTheBundleIsNotLookedAt) {
    writeManifest(manifest({}, false, {}));
    writeBundle(Bytes(3, 0x00));
    VerifyReport report = verify(root, access);
    EXPECT_TRUE(report.ok());
    EXPECT_EQ(report.checkedSecrets, 0);
    EXPECT_EQ(report.checkedConfigs, 0);
}

TEST_F(BackupFolderTest, DeepVerificationOpensTheBundleAndFindsEveryListedSecret) {
    // Never the user's keyring: the keychain of this test is a file in the temporary home.
    auto keychain = std::make_shared<FileKeyStore>(home / "keys");
    KeyStore::overrideStandard(keychain);
    const std::string a = home.writeFile("a", "A"), b = home.writeFile("b", "B"), c = home / "c";
    writeManifest(manifest({}, true, {a, b, c}));
    const auto keyOf = [](std::uint8_t fill) {
        std::array<std::uint8_t, 32> bytes;
        bytes.fill(fill);
        return SymmetricKey(bytes);
    };
    const Bytes rawBundle = SecretsBundle::seal({a, b}, keyOf(1)).blob; // c does not exist yet
    home.writeFile("c", "C");
    const Bytes passphraseBundle = SecretsBundle::seal({a, b, c}, KeySource::passphrase("pw"), access).blob;
    Bytes flipped = rawBundle;
    flipped[20] ^= 1;

    const std::string missingC = "secret missing from secrets.stowage: " + c;
    const std::string wrongKey =
        "secrets.stowage does not open: Could not decrypt bundle \u2014 wrong key or corrupt file";
    struct Case {
        const char* what;
        Bytes bundle;
        std::optional<KeySource> given;
        std::optional<SymmetricKey> inKeychain;
        std::vector<std::string> issues;
    };
    const std::vector<Case> cases = {
        {"the right key", rawBundle, KeySource::rawKey(keyOf(1)), std::nullopt, {missingC}},
        {"a wrong key", rawBundle, KeySource::rawKey(keyOf(2)), keyOf(1), {wrongKey}},
        {"a flipped bit", flipped, KeySource::rawKey(keyOf(1)), std::nullopt, {wrongKey}},
        {"the keychain's key", rawBundle, std::nullopt, keyOf(1), {missingC}},
        {"no key anywhere",
         rawBundle,
         std::nullopt,
         std::nullopt,
         {"secrets.stowage was not opened: no recovery code given and no key in this machine's keyring"}},
        {"the passphrase", passphraseBundle, KeySource::passphrase("pw"), std::nullopt, {}},
        {"no passphrase",
         passphraseBundle,
         std::nullopt,
         keyOf(1),
         {"secrets.stowage was not opened: no passphrase given"}},
    };
    for (const Case& test : cases) {
        writeBundle(test.bundle);
        keychain->remove();
        if (test.inKeychain)
            keychain->store(*test.inKeychain);
        std::optional<bool> asked;
        VerifyReport report = verifyDeep(root, access, [&](bool passphrase) {
            asked = passphrase;
            return test.given;
        });
        EXPECT_EQ(report.issues, test.issues) << test.what;
        EXPECT_EQ(asked, SecretsBundle::isPassphraseBundle(test.bundle)) << test.what;
        EXPECT_EQ(report.checkedSecrets, 3) << test.what;
    }
    KeyStore::overrideStandard(nullptr);
}

// ---- history -----------------------------------------------------------------------------------

namespace {

BackupRun run(Timestamp t, std::int64_t configs = 0) {
    return BackupRun{t, configs, 0, 0, 0, false};
}

BackupResult resultWith(int configs, int secrets, int manifests, std::int64_t bytes, bool passphrase) {
    BackupResult r("/unused");
    r.configFiles.assign(static_cast<size_t>(configs), "config/x");
    r.capturedSecrets.assign(static_cast<size_t>(secrets), "/s");
    r.manifests.assign(static_cast<size_t>(manifests), "manifest/m");
    r.totalBytes = bytes;
    r.usedPassphrase = passphrase;
    return r;
}

/// A provider on which history.json exists but cannot be read.
class UnreadableHistory : public FaultInjectingFileAccess {
public:
    std::optional<Bytes> read(const std::string& path) const override {
        if (path.ends_with("/history.json"))
            return std::nullopt;
        return FaultInjectingFileAccess::read(path);
    }
};

} // namespace

TEST_F(BackupFolderTest, HistoryReadsNewestFirstAndKeepsStoredOrderForEqualDates) {
    home.writeFile("Backup/history.json",
                   encodeHistory({run(day(1), 1), run(day(3), 3), run(day(2), 21), run(day(2), 22)}));
    auto runs = history("~/Backup", access);
    ASSERT_EQ(runs.size(), 4u);
    EXPECT_EQ(runs[0].configCount, 3);
    EXPECT_EQ(runs[1].configCount, 21);
    EXPECT_EQ(runs[2].configCount, 22);
    EXPECT_EQ(runs[3].configCount, 1);
}

TEST_F(BackupFolderTest, DamagedHistoryReadsAsEmptyAndIsNotTouched) {
    home.writeFile("Backup/history.json", "[{\"createdAt\": 12}]");
    EXPECT_TRUE(history(root, access).empty());
    EXPECT_EQ(slurp(root + "/history.json"), "[{\"createdAt\": 12}]");
}

TEST_F(BackupFolderTest, AppendHistoryRecordsTheRunAtTheFront) {
    appendHistory(root, day(1), resultWith(1, 0, 0, 10, false), access);
    appendHistory(root, day(2) + std::chrono::milliseconds(600), resultWith(4, 2, 7, 123456, true), access);
    auto runs = history(root, access);
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0], (BackupRun{day(2), 4, 2, 7, 123456, true})); // stored with whole seconds
    EXPECT_EQ(runs[1], (BackupRun{day(1), 1, 0, 0, 10, false}));
    EXPECT_EQ(slurp(root + "/history.json"), encodeHistory(runs));

    // A clock that went backwards puts the run where its date belongs.
    appendHistory(root, day(0), resultWith(9, 0, 0, 0, false), access);
    runs = history(root, access);
    ASSERT_EQ(runs.size(), 3u);
    EXPECT_EQ(runs[2].configCount, 9);
}

TEST_F(BackupFolderTest, HistoryKeepsTheFiftyNewestRuns) {
    for (int i = 1; i <= 50; ++i)
        appendHistory(root, day(i), resultWith(i, 0, 0, 0, false), access);
    EXPECT_EQ(history(root, access).size(), 50u);
    appendHistory(root, day(51), resultWith(51, 0, 0, 0, false), access);
    auto runs = history(root, access);
    ASSERT_EQ(runs.size(), 50u);
    EXPECT_EQ(runs.front().configCount, 51);
    EXPECT_EQ(runs.back().configCount, 2); // the oldest run is gone
}

TEST_F(BackupFolderTest, ADamagedHistoryIsKeptAsideBeforeBeingReplaced) {
    home.writeFile("Backup/history.json", "not json at all");
    appendHistory(root, day(5), resultWith(1, 0, 0, 0, false), access);
    EXPECT_EQ(slurp(root + "/history.json.damaged"), "not json at all");
    auto runs = history(root, access);
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].createdAt, day(5));

    // A second, different damage does not overwrite the first copy.
    home.writeFile("Backup/history.json", "[1,2,3]");
    appendHistory(root, day(6), resultWith(2, 0, 0, 0, false), access);
    EXPECT_EQ(slurp(root + "/history.json.damaged"), "not json at all");
    EXPECT_EQ(slurp(root + "/history.json.damaged-2"), "[1,2,3]");
    EXPECT_EQ(history(root, access).size(), 1u);
}

TEST_F(BackupFolderTest, HistoryThatCannotBeKeptAsideIsLeftAlone) {
    home.writeFile("Backup/history.json", "garbage");
    auto faulty = std::make_shared<FaultInjectingFileAccess>();
    faulty->failOn(FaultInjectingFileAccess::Operation::write, 1); // the copy aside
    appendHistory(root, day(1), resultWith(1, 0, 0, 0, false), *faulty);
    EXPECT_EQ(slurp(root + "/history.json"), "garbage");
    EXPECT_FALSE(fs::exists(root + "/history.json.damaged"));

    UnreadableHistory unreadable;
    home.writeFile("Backup/history.json", encodeHistory({run(day(1))}));
    appendHistory(root, day(2), resultWith(1, 0, 0, 0, false), unreadable);
    EXPECT_EQ(unreadable.calls(FaultInjectingFileAccess::Operation::write), 0);
}

TEST_F(BackupFolderTest, AFailedHistoryWriteIsSilentAndLeavesTheOldFile) {
    std::string before = encodeHistory({run(day(1))});
    home.writeFile("Backup/history.json", before);
    FaultInjectingFileAccess faulty;
    faulty.failOn(FaultInjectingFileAccess::Operation::write, 1);
    EXPECT_NO_THROW(appendHistory(root, day(2), resultWith(1, 0, 0, 0, false), faulty));
    EXPECT_EQ(slurp(root + "/history.json"), before);

    // Into a folder that does not exist: nothing, and no error.
    EXPECT_NO_THROW(appendHistory(home / "nowhere/else", day(2), resultWith(1, 0, 0, 0, false), access));
}
