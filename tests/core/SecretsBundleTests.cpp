#include "core/BackupError.hpp"
#include "core/FileAccess.hpp"
#include "core/KDF.hpp"
#include "core/SecretsBundle.hpp"
#include "support/Crypto.hpp"
#include "support/FaultInjectingFileAccess.hpp"
#include "support/TempHome.hpp"
#include "support/Trees.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <filesystem>

using namespace stowage;
using namespace stowage::testing;
namespace fs = std::filesystem;
using Action = RestoreOutcome::Action;
using Fault = FaultInjectingFileAccess;

namespace {

std::array<std::uint8_t, 12> nonceFrom(std::string_view text) {
    std::array<std::uint8_t, 12> nonce{};
    const Bytes bytes = fromHex(text);
    std::copy(bytes.begin(), bytes.end(), nonce.begin());
    return nonce;
}

/// Whether `f` throws BackupError::decryptFailed with its sentence (any other outcome is a failure).
template <typename F> bool failsToDecrypt(F&& f) {
    try {
        f();
    } catch (const BackupError& e) {
        return e.kind() == BackupError::Kind::decryptFailed &&
               std::string(e.what()) == "Could not decrypt bundle \u2014 wrong key or corrupt file";
    } catch (...) {
    }
    return false;
}

// Bundles assembled byte by byte from the primitives, independent of the sealing code.
Bytes handBuiltRaw(std::string_view json, const SymmetricKey& key) {
    Bytes blob = fromHex("a1a2a3a4a5a6a7a8a9aaabac");
    const Bytes box = SecretsBundle::gcmSeal(key, nonceFrom("a1a2a3a4a5a6a7a8a9aaabac"),
                                             reinterpret_cast<const std::uint8_t*>(json.data()), json.size());
    blob.insert(blob.end(), box.begin(), box.end());
    return blob;
}
Bytes handBuiltPassphrase(std::string_view json, std::string_view passphrase, const Bytes& salt,
                          std::uint32_t iterations) {
    Bytes blob = {'S', 'T', 'B', '2', 0x02, 0x01, static_cast<std::uint8_t>(salt.size())};
    blob.insert(blob.end(), salt.begin(), salt.end());
    for (int shift : {24, 16, 8, 0})
        blob.push_back(static_cast<std::uint8_t>(iterations >> shift));
    const Bytes box = handBuiltRaw(json, KDF::deriveKey(passphrase, salt, iterations));
    blob.insert(blob.end(), box.begin(), box.end());
    return blob;
}

const char* const smallDocument =
    R"({"version":1,"createdAt":786000000.5,"files":[{"path":"/home/u/.ssh/id_ed25519","mode":384,"data":"c2VjcmV0"}]})";

const SecretsBundle::ProjectLookup noProjects = [](const std::string&, const FileAccessProvider&) {
    return std::optional<ProjectContext>();
};

BundleFile secret(const std::string& path, const std::string& data, std::uint16_t mode = 0600) {
    return {path, mode, toBytes(data), std::nullopt};
}

BundlePayload payloadOf(std::vector<BundleFile> files) {
    BundlePayload payload;
    payload.createdAt = std::chrono::system_clock::now();
    payload.files = std::move(files);
    return payload;
}

Timestamp referenceDate(double seconds) {
    return std::chrono::system_clock::from_time_t(978307200) +
           std::chrono::duration_cast<std::chrono::system_clock::duration>(std::chrono::duration<double>(seconds));
}

} // namespace

// ---- Format ------------------------------------------------------------------------------------

// Test case 15 of the published GCM test vectors (McGrew and Viega): a 256-bit key, no associated data.
TEST(GcmTest, MatchesAPublishedTestVector) {
    const struct {
        std::string key, nonce, plaintext, sealed;
    } vectors[] = {{"feffe9928665731c6d6a8f9467308308feffe9928665731c6d6a8f9467308308", "cafebabefacedbaddecaf888",
                    "d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a72"
                    "1c3c0c95956809532fcf0e2449a6b525b16aedf5aa0de657ba637b391aafd255",
                    "522dc1f099567d07f47f37a32a84427d643a8cdcbfe5c0c97598a2bd2555d1aa"
                    "8cb08e48590dbb3da7b08b1056828838c5f61e6393ba7a0abcc9f662898015ad"
                    "b094dac5d93471bdec1a502270e3cc6c"}};
    for (const auto& v : vectors) {
        const SymmetricKey key = *SymmetricKey::fromBytes(fromHex(v.key));
        const Bytes plaintext = fromHex(v.plaintext);
        const Bytes sealed = SecretsBundle::gcmSeal(key, nonceFrom(v.nonce), plaintext.data(), plaintext.size());
        EXPECT_EQ(hex(sealed), v.sealed);
        Bytes combined = fromHex(v.nonce + v.sealed);
        EXPECT_EQ(SecretsBundle::gcmOpenCombined(key, combined.data(), combined.size()), plaintext);
        combined.back() ^= 1;
        EXPECT_TRUE(failsToDecrypt([&] { SecretsBundle::gcmOpenCombined(key, combined.data(), combined.size()); }));
    }
}

TEST(SecretsBundleTest, SealedFormsAndThePayloadDocumentHaveTheDocumentedLayout) {
    BundlePayload payload =
        payloadOf({{"/home/u/.ssh/id_ed25519", 0600, toBytes("-----BEGIN KEY-----\nabc\n"), std::nullopt},
                   {"/home/u/work/app/.env", 0644, toBytes("T"),
                    ProjectContext{"/home/u/w", "git@example.com:u/a.git", ".env"}}});
    payload.createdAt = referenceDate(86400.25);
    const std::string json = SecretsBundle::encodePayload(payload);
    EXPECT_EQ(json, R"({"version":1,"createdAt":86400.25,"files":[{"path":"/home/u/.ssh/id_ed25519","mode":384,)"
                    R"("data":"LS0tLS1CRUdJTiBLRVktLS0tLQphYmMK"},{"path":"/home/u/work/app/.env","mode":420,)"
                    R"("data":"VA==","project":{"relPath":".env","remote":"git@example.com:u/a.git",)"
                    R"("repoRoot":"/home/u/w"}}]})");

    // Raw: nonce ‖ ciphertext ‖ tag.
    const SymmetricKey key = BundleKey::generate();
    const Bytes raw = SecretsBundle::sealRaw(toBytes(json), key);
    ASSERT_EQ(raw.size(), 28 + json.size());
    EXPECT_EQ(toString(SecretsBundle::gcmOpenCombined(key, raw.data(), raw.size())), json);
    // Passphrase: "STB2", 2, 1, salt length 16, salt, count 600000 big-endian, then the raw form
    // under PBKDF2 of the passphrase.
    const Bytes blob = SecretsBundle::sealV2(toBytes(json), "correct horse");
    ASSERT_EQ(blob.size(), 55 + json.size());
    EXPECT_EQ(hex(Bytes(blob.begin(), blob.begin() + 7)), "53544232020110");
    EXPECT_EQ(hex(Bytes(blob.begin() + 23, blob.begin() + 27)), "000927c0");
    const SymmetricKey derived = KDF::deriveKey("correct horse", Bytes(blob.begin() + 7, blob.begin() + 23), 600000);
    EXPECT_EQ(toString(SecretsBundle::gcmOpenCombined(derived, blob.data() + 27, blob.size() - 27)), json);

    payload.files[0].path = "/home/u/\xFF";
    EXPECT_THROW(SecretsBundle::encodePayload(payload), nlohmann::json::type_error);
}

TEST(SecretsBundleTest, BothFormsRoundTripPathsModesAndBytesWithFreshNoncesAndSalts) {
    TempHome home;
    Bytes binary = KDF::randomData(3 * 1024 * 1024 + 1);
    binary.insert(binary.end(), {0, 0, 0xFF, '"', '\\', '\n'});
    const std::vector<std::string> paths = {
        home.writeFile(".ssh/id_ed25519", "private key\n", 0600),
        home.writeFile("bin\xC3\xA4r/d\xC3\xA9j\xC3\xA0 vu \xF0\x9F\x94\x91.p12", toString(binary), 0640),
        home.writeFile("empty", "", 0400), home.writeFile("tool.sh", "#!/bin/sh\n", 0755)};
    DirectFileAccess access;
    for (const KeySource& source : {KeySource::rawKey(BundleKey::generate()), KeySource::passphrase("p\xC3\xA4ss")}) {
        const auto sealed = SecretsBundle::seal(paths, source, access, noProjects);
        const BundlePayload opened = SecretsBundle::open(sealed.blob, source);
        EXPECT_EQ(opened.version, 1);
        EXPECT_LT(std::chrono::abs(opened.createdAt - std::chrono::system_clock::now()), std::chrono::minutes(1));
        EXPECT_EQ(opened.files,
                  (std::vector<BundleFile>{secret(paths[0], "private key\n"), secret(paths[1], toString(binary), 0640),
                                           secret(paths[2], "", 0400), secret(paths[3], "#!/bin/sh\n", 0755)}));
        // Sealed again: another nonce (raw) or salt (passphrase), the same contents.
        const auto again = SecretsBundle::seal(paths, source, access, noProjects);
        const std::size_t at = SecretsBundle::isPassphraseBundle(again.blob) ? 7 : 0;
        EXPECT_NE(Bytes(again.blob.begin() + at, again.blob.begin() + at + 12),
                  Bytes(sealed.blob.begin() + at, sealed.blob.begin() + at + 12));
        EXPECT_EQ(SecretsBundle::open(again.blob, source).files, opened.files);
    }
    // Nothing to seal, under an empty passphrase.
    const auto empty = SecretsBundle::seal({}, KeySource::passphrase(""), access, noProjects);
    EXPECT_TRUE(SecretsBundle::open(empty.blob, KeySource::passphrase("")).files.empty());
    EXPECT_TRUE(failsToDecrypt([&] { SecretsBundle::open(empty.blob, KeySource::passphrase(" ")); }));
}

// ---- Reading what other writers may write -----------------------------------------------------

TEST(SecretsBundleTest, OtherSaltsCountsAndDocumentSpellingsAreRead) {
    for (const auto& [salt, iterations] : std::vector<std::pair<Bytes, std::uint32_t>>{
             {fromHex("0011223344556677"), 1000}, {{}, 1}, {Bytes(255, 9), 2}}) {
        const BundlePayload payload = SecretsBundle::open(
            handBuiltPassphrase(smallDocument, "hunter2", salt, iterations), KeySource::passphrase("hunter2"));
        EXPECT_EQ(payload.files, std::vector<BundleFile>{secret("/home/u/.ssh/id_ed25519", "secret")});
        EXPECT_EQ(payload.createdAt, referenceDate(786000000.5));
    }
    // Any valid spelling of the document: other key orders, whitespace, escaped slashes in Base64 and paths, unknown
    // keys, null project.
    const std::string document = R"( {
        "files" : [ { "extra" : {"nested": [1, 2.5e3, true, null, "x"]}, "data" : "YWJj\/w==",
                      "project" : null, "mode" : 420.0, "path" : "\/home\/u\/a\u00e9\ud83d\udd11" },
                    { "path": "/b", "mode": 0, "data": "",
                      "project": {"relPath": "x/y", "repoRoot": "/r", "unknown": 1} } ],
        "createdAt" : -1.5e2, "version" : 7, "future" : "ignored" } )";
    const BundlePayload payload = SecretsBundle::open(handBuiltRaw(document, keyOf(3)), keyOf(3));
    EXPECT_EQ(payload.version, 7);
    EXPECT_EQ(payload.createdAt, referenceDate(-150));
    EXPECT_EQ(payload.files, (std::vector<BundleFile>{
                                 {"/home/u/a\xC3\xA9\xF0\x9F\x94\x91", 0644, Bytes{'a', 'b', 'c', 0xFF}, std::nullopt},
                                 {"/b", 0, {}, ProjectContext{"/r", std::nullopt, "x/y"}}}));
}

TEST(SecretsBundleTest, DocumentsThatAreNotPayloadsFailWithTheDecoderError) {
    // Whole documents, then single file entries in an otherwise sound document.
    std::vector<std::string> bad = {"",
                                    "[]",
                                    "{}",
                                    R"({"version":1,"createdAt":0})",
                                    R"({"version":1,"files":[]})",
                                    R"({"createdAt":0,"files":[]})",
                                    R"({"version":1,"createdAt":"now","files":[]})",
                                    R"({"version":null,"createdAt":0,"files":[]})",
                                    R"({"version":1,"createdAt":1e400,"files":[]})",
                                    R"({"version":1,"createdAt":0,"files":[]} x)",
                                    R"({"version":1,"createdAt":0,"files":[],})",
                                    R"({"version":01,"createdAt":0,"files":[]})",
                                    R"({"version":1,"createdAt":0,"files":[{"path":"/a","mode":1,"data":"YQ==)"};
    for (const char* file :
         {R"({"path":"/a","mode":384})", R"({"path":"/a","data":""})", R"({"mode":384,"data":""})",
          R"({"path":"/a","mode":65536,"data":""})", R"({"path":"/a","mode":-1,"data":""})",
          R"({"path":"/a","mode":384.5,"data":""})", R"({"path":"/a","mode":"384","data":""})",
          R"({"path":"/a","mode":384,"data":"abc"})", R"({"path":"/a","mode":384,"data":"ab c="})",
          R"({"path":"/a","mode":384,"data":"","project":{"relPath":"x"}})", R"({"path":7,"mode":384,"data":""})",
          "{\"path\":\"/\xFF\",\"mode\":1,\"data\":\"\"}", "{\"path\":\"/\xED\xA0\x80\",\"mode\":1,\"data\":\"\"}",
          R"({"path":"/\ud800","mode":1,"data":""})", "{\"path\":\"/a\tb\",\"mode\":1,\"data\":\"\"}"})
        bad.push_back(R"({"version":1,"createdAt":0,"files":[)" + std::string(file) + "]}");
    for (const std::string& document : bad) {
        try {
            SecretsBundle::open(handBuiltRaw(document, keyOf(4)), keyOf(4));
            ADD_FAILURE() << "accepted: " << document;
        } catch (const BundleDecodingError& e) {
            EXPECT_NE(std::string(e.what()).find("not readable"), std::string::npos);
        } catch (const std::exception& e) {
            ADD_FAILURE() << "wrong error for " << document << ": " << e.what();
        }
    }
    // Hostile nesting is refused, not followed down the stack.
    const std::string deep =
        R"({"version":1,"createdAt":0,"files":[],"x":)" + std::string(100000, '[') + std::string(100000, ']') + "}";
    EXPECT_THROW(SecretsBundle::decodePayload(deep), BundleDecodingError);
}

// ---- Damage and wrong keys ---------------------------------------------------------------------

TEST(SecretsBundleTest, EveryTruncationChangedByteWrongKeyAndCountOutOfBoundsFailsToDecrypt) {
    const Bytes salt = fromHex("000102030405060708090a0b0c0d0e0f");
    const KeySource passphrase = KeySource::passphrase("pw");
    const Bytes good = handBuiltPassphrase(smallDocument, "pw", salt, 1000);
    const Bytes raw = handBuiltRaw(smallDocument, keyOf(5));
    ASSERT_EQ(SecretsBundle::open(good, passphrase).files.size(), 1u);
    ASSERT_EQ(SecretsBundle::open(raw, keyOf(5)).files.size(), 1u);
    // Every byte from the version bytes on (which are not interpreted) in the passphrase form; every
    // byte of the raw form, but for a change turning it into the other form.
    auto expectDamageFails = [](const Bytes& blob, const KeySource& source, std::size_t firstChanged) {
        for (std::size_t length = 0; length < blob.size(); ++length) {
            const Bytes cut(blob.begin(), blob.begin() + static_cast<std::ptrdiff_t>(length));
            EXPECT_TRUE(failsToDecrypt([&] { SecretsBundle::open(cut, source); })) << length;
        }
        for (std::size_t offset = firstChanged; offset < blob.size(); ++offset) {
            for (std::uint8_t flip : {0x01, 0xFF}) {
                Bytes changed = blob;
                changed[offset] ^= flip;
                EXPECT_TRUE(SecretsBundle::isPassphraseBundle(changed) != SecretsBundle::isPassphraseBundle(blob) ||
                            failsToDecrypt([&] { SecretsBundle::open(changed, source); }))
                    << offset;
            }
        }
        Bytes longer = blob;
        longer.push_back(0);
        EXPECT_TRUE(failsToDecrypt([&] { SecretsBundle::open(longer, source); }));
    };
    expectDamageFails(good, passphrase, 6);
    expectDamageFails(raw, KeySource::rawKey(keyOf(5)), 0);
    for (std::size_t offset : {4, 5}) {
        Bytes blob = good;
        blob[offset] = 0x77;
        EXPECT_EQ(SecretsBundle::open(blob, passphrase).files.size(), 1u) << offset;
    }
    // The right passphrase in another case, the derived key used as a raw key, a passphrase for a
    // raw bundle, another raw key.
    EXPECT_TRUE(failsToDecrypt([&] { SecretsBundle::open(good, KeySource::passphrase("pW")); }));
    EXPECT_TRUE(failsToDecrypt([&] { SecretsBundle::open(good, KDF::deriveKey("pw", salt, 1000)); }));
    EXPECT_TRUE(failsToDecrypt([&] { SecretsBundle::open(raw, passphrase); }));
    EXPECT_TRUE(failsToDecrypt([&] { SecretsBundle::open(raw, keyOf(6)); }));

    // Iteration counts outside the bounds are refused before deriving.
    const auto start = std::chrono::steady_clock::now();
    for (std::uint32_t count : {0u, SecretsBundle::maxIterations + 1, 0xFFFFFFFFu}) {
        Bytes blob = handBuiltPassphrase(smallDocument, "pw", {}, 1);
        for (int i = 0; i < 4; ++i)
            blob[7 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(count >> (24 - 8 * i));
        EXPECT_TRUE(failsToDecrypt([&] { SecretsBundle::open(blob, KeySource::passphrase("pw")); })) << count;
    }
    // 4 billion iterations would take the better part of an hour.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

TEST(SecretsBundleTest, ANonceBeginningWithTheMagicIsDrawnAgain) {
    // The first two draws begin with "STB2"; both forms must draw again until one does not.
    TempHome home;
    const std::vector<std::string> files{home.writeFile("key", "secret\n", 0600)};
    for (const KeySource& source : {KeySource::rawKey(keyOf(7)), KeySource::passphrase("pw")}) {
        int draws = 0;
        SecretsBundle::ScopedNonceSource forced([&](std::size_t count) {
            Bytes bytes(count, static_cast<std::uint8_t>(draws));
            if (draws++ < 2)
                std::copy(SecretsBundle::magic.begin(), SecretsBundle::magic.end(), bytes.begin());
            return bytes;
        });
        const Bytes blob = SecretsBundle::seal(files, source, DirectFileAccess(), noProjects).blob;
        EXPECT_EQ(draws, 3);
        EXPECT_EQ(SecretsBundle::open(blob, source).files.size(), 1u);
    }
}

// ---- Building the payload ----------------------------------------------------------------------

TEST(BuildPayloadTest, SkipsUnreadablePathsKeepsOrderFollowsLinksAndRecordsRepositories) {
    TempHome home;
    const std::string a = home.writeFile("a", "A", 0600);
    const std::string locked = home.writeFile("locked", "L", 0000);
    const std::string b = home.writeFile("b", "B", 0644);
    const std::string folder = home.makeDir("folder");
    const std::string link = home / "id_rsa_link", relativeLink = home / "keys/other_link";
    fs::create_symlink(home.writeFile("keys/id_rsa", "KEY", 0600), link);
    home.writeFile("keys/other", "OTHER", 0640);
    fs::create_symlink("other", relativeLink);
    DirectFileAccess access;
    const bool root = ::geteuid() == 0; // root reads a 0000 file all the same
    const auto built =
        SecretsBundle::buildPayload({b, home / "missing", a, locked, folder, link, relativeLink}, access, noProjects);
    std::vector<std::string> included = {b, a, link, relativeLink}, skipped = {home / "missing", folder};
    if (root)
        included.insert(included.begin() + 2, locked);
    else
        skipped.insert(skipped.begin() + 1, locked);
    EXPECT_EQ(built.included, included);
    EXPECT_EQ(built.skipped, skipped);
    ASSERT_EQ(built.payload.files.size(), included.size());
    // A link is recorded as selected, with the bytes and mode (not its own 0777) of what it leads to.
    EXPECT_EQ(built.payload.files.end()[-2], secret(link, "KEY"));
    EXPECT_EQ(built.payload.files.back().mode, 0640);
    // Without entry information the mode is 0600.
    struct NoInfoAccess : DirectFileAccess {
        std::optional<FileInfo> info(const std::string&) const override { return std::nullopt; }
    } noInfo;
    EXPECT_EQ(SecretsBundle::buildPayload({b}, noInfo, noProjects).payload.files.at(0).mode, 0600);

    // The git lookup records a file's repository.
    const std::string repo = home.makeDir("work/app");
    ASSERT_EQ(
        sh("git -C '" + repo + "' init -q && git -C '" + repo + "' remote add origin https://example.com/u/app.git"),
        0);
    const std::string env = home.writeFile("work/app/config/.env", "TOKEN=abc\n", 0600);
    const std::string netrc = home.writeFile(".netrc", "machine example.com\n", 0600);
    const SymmetricKey key = BundleKey::generate();
    const BundlePayload payload = SecretsBundle::open(SecretsBundle::seal({env, netrc}, key).blob, key);
    ASSERT_EQ(payload.files.size(), 2u);
    EXPECT_EQ(payload.files[0].project, (ProjectContext{repo, "https://example.com/u/app.git", "config/.env"}));
    EXPECT_FALSE(payload.files[1].project);
}

// ---- Comparing with the disk -------------------------------------------------------------------

// Where a zero byte makes binary is LineDiff::isBinary's own matter; here, that either side counts.
TEST(BundleDiffTest, KindsFollowWhatIsOnDiskAndLinesAddedAreTheBackupCopys) {
    TempHome home;
    DirectFileAccess access;
    using Kind = FileDiff::Kind;
    auto diff = [&](const Bytes& incoming, const std::string& path) {
        return SecretsBundle::diff(incoming, path, access);
    };
    const std::string text = home.writeFile("text", "line one\nline two\n");
    EXPECT_EQ(diff(toBytes("x"), home / "absent"), (FileDiff{Kind::new_, {}, 0, 0}));
    EXPECT_EQ(diff(toBytes("x"), home.makeDir("folder")), (FileDiff{Kind::modified, {}, 0, 0}));
    EXPECT_EQ(diff(Bytes{'a', 0}, text), (FileDiff{Kind::binary, {}, 0, 0}));
    EXPECT_EQ(diff(toBytes("text\n"), home.writeFile("bin", std::string("a\0b", 3))).kind, Kind::binary);
    // Identical bytes are identical at any size; exactly 256 KiB is still text, one byte more is not.
    const Bytes limit(LineDiff::maxBytes, 'q'), over(LineDiff::maxBytes + 1, 'q');
    EXPECT_EQ(diff(over, home.writeFile("over", toString(over))).kind, Kind::identical);
    EXPECT_EQ(diff(limit, text).kind, Kind::modified);
    EXPECT_EQ(diff(over, text).kind, Kind::binary);
    EXPECT_EQ(diff(toBytes("q"), home / "over").kind, Kind::binary);
    // Lines added are the backup copy's.
    EXPECT_EQ(diff(toBytes("A=1\nB=two\nC=3\nD=4\n"), home.writeFile(".env", "A=1\nB=2\nC=3\n")),
              (FileDiff{FileDiff::Kind::modified, {"  A=1", "- B=2", "+ B=two", "  C=3", "+ D=4", "  "}, 2, 1}));
    // Latin-1 on disk, a truncated four-byte sequence and a bad lead in the copy: one U+FFFD for
    // each maximal ill-formed part.
    EXPECT_EQ(diff(toBytes("caf\xC3\xA9\n\xF0\x9F\x94x\n\xE0\x80y\n"), home.writeFile("latin", "caf\xE9\n")).hunks,
              (std::vector<std::string>{"- caf\xEF\xBF\xBD", "+ caf\xC3\xA9", "+ \xEF\xBF\xBDx",
                                        "+ \xEF\xBF\xBD\xEF\xBF\xBDy", "  "}));
}

// ---- Restoring ---------------------------------------------------------------------------------

namespace {

/// Records the mode every write beneath a folder asks for.
struct RecordingAccess : DirectFileAccess {
    void writeBeneath(const std::string& root, const Bytes& data, const std::string& path,
                      std::optional<std::uint16_t> mode) override {
        modes.push_back(mode);
        DirectFileAccess::writeBeneath(root, data, path, mode);
    }
    std::vector<std::optional<std::uint16_t>> modes;
};

std::vector<RestoreOutcome> restore(const BundlePayload& payload, ConflictPolicy policy, FileAccessProvider& access,
                                    const std::optional<std::string>& prefix = std::nullopt,
                                    const std::optional<std::string>& snapshot = std::nullopt, bool dryRun = false,
                                    const std::optional<std::set<std::string>>& select = std::nullopt) {
    return SecretsBundle::restore(payload, select, policy, snapshot, std::nullopt, prefix, dryRun, access);
}

} // namespace

TEST(BundleRestoreTest, EachSecretIsWrittenOnceWithItsModeNeverOutsideThePrefixAndAFailedWriteEndsTheRestore) {
    TempHome home;
    const std::string prefix = home.makeDir("r");
    const std::string netrc = home.writeFile(".netrc", "old", 0644);
    auto recording = std::make_shared<RecordingAccess>();
    Fault access(recording);
    UmaskScope umask(077);
    // Dots inside names are ordinary.
    const auto outcomes = restore(payloadOf({secret("/u/.ssh/id_ed25519", "KEY"), secret("/u/..hidden/.x..", "T", 0640),
                                             secret("/u/run", "#!", 0755)}),
                                  ConflictPolicy::overwrite, access, prefix);
    ASSERT_EQ(outcomes.size(), 3u);
    EXPECT_EQ(outcomes[0].originalPath, "/u/.ssh/id_ed25519");
    EXPECT_EQ(outcomes[0].writtenPath, prefix + "/u/.ssh/id_ed25519");
    EXPECT_EQ(outcomes[0].action, Action::restored);
    EXPECT_FALSE(outcomes[0].diff || outcomes[0].backedUpTo);
    EXPECT_EQ(slurp(prefix + "/u/.ssh/id_ed25519"), "KEY");
    EXPECT_EQ(modeOf(prefix + "/u/.ssh/id_ed25519"), 0600u);
    EXPECT_EQ(modeOf(prefix + "/u/..hidden/.x.."), 0640u);
    EXPECT_EQ(modeOf(prefix + "/u/run"), 0755u);
    // Each through one atomic write that carried its mode from the start.
    EXPECT_EQ(recording->modes, (std::vector<std::optional<std::uint16_t>>{0600, 0640, 0755}));
    // Replacing an existing file narrows it to the recorded mode.
    restore(payloadOf({secret(netrc, "new")}), ConflictPolicy::overwrite, access);
    EXPECT_EQ(slurp(netrc), "new");
    EXPECT_EQ(modeOf(netrc), 0600u);
    // Refused by the bundle's own check, before the write's walk would have to catch it.
    for (const std::string path : {"/../escape", "/home/../../escape", "/a/./b"}) {
        try {
            restore(payloadOf({secret(path, "x")}), ConflictPolicy::overwrite, access, prefix);
            ADD_FAILURE() << path << " was restored";
        } catch (const BackupError& e) {
            EXPECT_EQ(e.message(), "will not restore " + path + " under " + prefix + ": the path leaves the folder");
        }
    }
    EXPECT_FALSE(fs::exists(home / "escape"));

    // The first failing write ends the restore with its error; files written before it stay.
    access.failOn(Fault::Operation::write, access.calls(Fault::Operation::write) + 2);
    try {
        restore(payloadOf({secret(home / "out/1", "1"), secret(home / "out/2", "2"), secret(home / "out/3", "3")}),
                ConflictPolicy::overwrite, access);
        ADD_FAILURE() << "the failing write was not reported";
    } catch (const BackupError& e) {
        EXPECT_EQ(e.kind(), BackupError::Kind::io);
    }
    EXPECT_EQ(treeOf(home / "out"), (std::map<std::string, TreeEntry>{{"1", {"file", "1", 0600}}}));
}

// Per policy, a dry run first: it writes nothing and shows the change; then the restore itself.
TEST(BundleRestoreTest, PoliciesDecideWhatHappensToExistingTargetsAndDryRunsWriteNothing) {
    const struct {
        ConflictPolicy policy;
        Action action;
        std::optional<std::string> written;
        std::map<std::string, std::string> after;
    } cases[] = {
        {ConflictPolicy::skip, Action::skipped, std::nullopt, {{"existing", "on disk\n"}, {"fresh", "new\n"}}},
        {ConflictPolicy::writeBeside,
         Action::wroteBeside,
         "existing.stowage-restored",
         {{"existing", "on disk\n"}, {"existing.stowage-restored", "on disk\nfrom backup\n"}, {"fresh", "new\n"}}},
        {ConflictPolicy::overwrite,
         Action::restored,
         "existing",
         {{"existing", "on disk\nfrom backup\n"}, {"fresh", "new\n"}}}};
    for (const auto& c : cases) {
        TempHome home;
        const std::string secrets = home.makeDir("secrets"), snapshot = home / "snap";
        home.writeFile("secrets/existing", "on disk\n", 0600);
        const BundlePayload payload =
            payloadOf({secret(secrets + "/existing", "on disk\nfrom backup\n"), secret(secrets + "/fresh", "new\n")});
        DirectFileAccess access;
        const auto preview = restore(payload, c.policy, access, std::nullopt, snapshot, true);
        ASSERT_EQ(preview.size(), 2u);
        EXPECT_EQ(preview[0].diff, (FileDiff{FileDiff::Kind::modified, {"  on disk", "+ from backup", "  "}, 1, 0}));
        EXPECT_EQ(preview[1].diff, (FileDiff{FileDiff::Kind::new_, {}, 0, 0}));
        EXPECT_EQ(treeOf(home.path()).size(), 2u); // the folder and the existing file

        const auto outcomes = restore(payload, c.policy, access, std::nullopt, snapshot);
        ASSERT_EQ(outcomes.size(), 2u);
        EXPECT_EQ(outcomes[0].action, c.action);
        EXPECT_EQ(outcomes[0].writtenPath, c.written ? std::optional(secrets + "/" + *c.written) : std::nullopt);
        // A missing target is always restored, with nothing to save.
        EXPECT_EQ(outcomes[1].action, Action::restored);
        EXPECT_FALSE(outcomes[1].backedUpTo);
        std::map<std::string, std::string> after;
        for (const auto& [name, entry] : treeOf(secrets)) {
            after[name] = entry.content;
            EXPECT_EQ(entry.mode, 0600u) << name;
        }
        EXPECT_EQ(after, c.after);
        // Only an overwrite saves the file it replaces.
        EXPECT_EQ(fs::exists(snapshot), c.policy == ConflictPolicy::overwrite);
        EXPECT_EQ(slurp(outcomes[0].backedUpTo.value_or("")), c.policy == ConflictPolicy::overwrite ? "on disk\n" : "");
        EXPECT_TRUE(restore(payload, c.policy, access, std::nullopt, snapshot, false, std::set<std::string>{}).empty());
    }
}

TEST(BundleRestoreTest, DestinationsRedirectButSavedCopiesKeepTheRecordedPath) {
    TempHome home;
    const std::string recorded = "/Users/old/work/app/.env";
    const std::string relocated = home.writeFile("code/app/.env", "LOCAL=1\n", 0644);
    DirectFileAccess access;
    const auto outcomes = SecretsBundle::restore(
        payloadOf({secret(recorded, "SECRET=1\n")}), std::nullopt, ConflictPolicy::overwrite, home / "snap",
        std::map<std::string, std::string>{{recorded, relocated}}, std::nullopt, false, access);
    ASSERT_EQ(outcomes.size(), 1u);
    EXPECT_EQ(outcomes[0].writtenPath, relocated);
    EXPECT_EQ(slurp(relocated), "SECRET=1\n");
    EXPECT_EQ(modeOf(relocated), 0600u);
    // Saved as <snapshot>/<run>/<recorded path>.
    ASSERT_TRUE(outcomes[0].backedUpTo);
    EXPECT_EQ(*outcomes[0].backedUpTo,
              home / "snap/" + outcomes[0].backedUpTo->substr((home / "snap/").size(), 16) + recorded);
    EXPECT_EQ(slurp(*outcomes[0].backedUpTo), "LOCAL=1\n");
}
