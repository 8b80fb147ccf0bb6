#include "core/BackupError.hpp"
#include "core/FileAccess.hpp"
#include "core/KDF.hpp"
#include "core/Paths.hpp"
#include "core/SecretsBundle.hpp"
#include "support/FaultInjectingFileAccess.hpp"
#include "support/TempHome.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sys/stat.h>

using namespace stowage;
namespace fs = std::filesystem;
using stowage::testing::TempHome;

namespace {

Bytes fromHex(std::string_view hex) {
    Bytes out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<std::uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
    return out;
}

std::string hex(const std::uint8_t* data, std::size_t size) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < size; ++i) {
        out += digits[data[i] >> 4];
        out += digits[data[i] & 15];
    }
    return out;
}
std::string hex(const Bytes& bytes) {
    return hex(bytes.data(), bytes.size());
}

SymmetricKey keyFromHex(std::string_view text) {
    return *SymmetricKey::fromBytes(fromHex(text));
}

SymmetricKey keyOf(std::uint8_t fill) {
    std::array<std::uint8_t, 32> bytes;
    bytes.fill(fill);
    return SymmetricKey(bytes);
}

std::array<std::uint8_t, 12> nonceFrom(std::string_view text) {
    std::array<std::uint8_t, 12> nonce{};
    const Bytes bytes = fromHex(text);
    std::copy(bytes.begin(), bytes.end(), nonce.begin());
    return nonce;
}

/// Runs `f` and reports whether it threw BackupError::decryptFailed (any other outcome fails).
template <typename F>::testing::AssertionResult failsToDecrypt(F&& f) {
    try {
        f();
        return ::testing::AssertionFailure() << "opened";
    } catch (const BackupError& e) {
        if (e.kind() != BackupError::Kind::decryptFailed)
            return ::testing::AssertionFailure() << "threw " << e.what();
        if (std::string(e.what()) != "Could not decrypt bundle \u2014 wrong key or corrupt file")
            return ::testing::AssertionFailure() << "description " << e.what();
        return ::testing::AssertionSuccess();
    } catch (const std::exception& e) {
        return ::testing::AssertionFailure() << "threw " << e.what();
    }
}

/// A passphrase bundle assembled byte by byte from the primitives, independent of the sealing code.
Bytes handBuiltPassphraseBundle(std::string_view json, std::string_view passphrase, const Bytes& salt,
                                std::uint32_t iterations) {
    Bytes blob = {'S', 'T', 'B', '2', 0x02, 0x01, static_cast<std::uint8_t>(salt.size())};
    blob.insert(blob.end(), salt.begin(), salt.end());
    blob.push_back(static_cast<std::uint8_t>(iterations >> 24));
    blob.push_back(static_cast<std::uint8_t>(iterations >> 16));
    blob.push_back(static_cast<std::uint8_t>(iterations >> 8));
    blob.push_back(static_cast<std::uint8_t>(iterations));
    const auto nonce = nonceFrom("0102030405060708090a0b0c");
    blob.insert(blob.end(), nonce.begin(), nonce.end());
    const Bytes box = SecretsBundle::gcmSeal(KDF::deriveKey(passphrase, salt, iterations), nonce,
                                             reinterpret_cast<const std::uint8_t*>(json.data()), json.size());
    blob.insert(blob.end(), box.begin(), box.end());
    return blob;
}

Bytes handBuiltRawBundle(std::string_view json, const SymmetricKey& key) {
    const auto nonce = nonceFrom("a1a2a3a4a5a6a7a8a9aaabac");
    Bytes blob(nonce.begin(), nonce.end());
    const Bytes box =
        SecretsBundle::gcmSeal(key, nonce, reinterpret_cast<const std::uint8_t*>(json.data()), json.size());
    blob.insert(blob.end(), box.begin(), box.end());
    return blob;
}

const char* const smallDocument =
    R"({"version":1,"createdAt":786000000.5,"files":[{"path":"/home/u/.ssh/id_ed25519","mode":384,"data":"c2VjcmV0"}]})";

BundlePayload samplePayload() {
    BundlePayload payload;
    payload.createdAt = std::chrono::system_clock::now();
    payload.files.push_back({"/home/u/.ssh/id_ed25519", 0600, toBytes("-----BEGIN KEY-----\nabc\n"), std::nullopt});
    payload.files.push_back({"/home/u/work/app/.env", 0644, toBytes("TOKEN=1"),
                             ProjectContext{"/home/u/work/app", "git@example.com:u/app.git", ".env"}});
    return payload;
}

std::vector<std::string> pathsOf(const BundlePayload& payload) {
    std::vector<std::string> out;
    for (const auto& f : payload.files)
        out.push_back(f.path);
    return out;
}

/// Files and their metadata, without the creation time.
void expectSameFiles(const BundlePayload& a, const BundlePayload& b) {
    EXPECT_EQ(a.files, b.files);
}

/// File access that cannot report entry information (reads still work).
class NoInfoAccess : public DirectFileAccess {
public:
    std::optional<FileInfo> info(const std::string&) const override { return std::nullopt; }
};

const SecretsBundle::ProjectLookup noProjects = [](const std::string&, const FileAccessProvider&) {
    return std::optional<ProjectContext>();
};

} // namespace

// ---- AES-256-GCM known answers -----------------------------------------------------------------

// Test cases 13 to 15 of the published GCM test vectors (McGrew and Viega), the 256-bit-key
// cases without associated data.
TEST(GcmTest, MatchesPublishedTestVectors) {
    struct Vector {
        const char *key, *nonce, *plaintext, *ciphertext, *tag;
    } vectors[] = {
        {"0000000000000000000000000000000000000000000000000000000000000000", "000000000000000000000000", "", "",
         "530f8afbc74536b9a963b4f1c4cb738b"},
        {"0000000000000000000000000000000000000000000000000000000000000000", "000000000000000000000000",
         "00000000000000000000000000000000", "cea7403d4d606b6e074ec5d3baf39d18", "d0d1c8a799996bf0265b98b5d48ab919"},
        {"feffe9928665731c6d6a8f9467308308feffe9928665731c6d6a8f9467308308", "cafebabefacedbaddecaf888",
         "d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a72"
         "1c3c0c95956809532fcf0e2449a6b525b16aedf5aa0de657ba637b391aafd255",
         "522dc1f099567d07f47f37a32a84427d643a8cdcbfe5c0c97598a2bd2555d1aa"
         "8cb08e48590dbb3da7b08b1056828838c5f61e6393ba7a0abcc9f662898015ad",
         "b094dac5d93471bdec1a502270e3cc6c"},
    };
    for (const auto& v : vectors) {
        const SymmetricKey key = keyFromHex(v.key);
        const Bytes plaintext = fromHex(v.plaintext);
        const Bytes sealed = SecretsBundle::gcmSeal(key, nonceFrom(v.nonce), plaintext.data(), plaintext.size());
        EXPECT_EQ(hex(sealed), std::string(v.ciphertext) + v.tag);

        Bytes combined = fromHex(v.nonce);
        combined.insert(combined.end(), sealed.begin(), sealed.end());
        EXPECT_EQ(SecretsBundle::gcmOpenCombined(key, combined.data(), combined.size()), plaintext);
        combined.back() ^= 1;
        EXPECT_TRUE(failsToDecrypt([&] { SecretsBundle::gcmOpenCombined(key, combined.data(), combined.size()); }));
    }
}

// ---- Layout ------------------------------------------------------------------------------------

TEST(SecretsBundleTest, RawFormIsNonceCiphertextTag) {
    const SymmetricKey key = BundleKey::generate();
    const BundlePayload payload = samplePayload();
    const std::string json = SecretsBundle::encodePayload(payload);
    const Bytes blob = SecretsBundle::sealRaw(toBytes(json), key);
    ASSERT_EQ(blob.size(), 28 + json.size());
    EXPECT_FALSE(SecretsBundle::isPassphraseBundle(blob));
    // Opened by hand: the first 12 bytes are the nonce, the rest the box.
    EXPECT_EQ(toString(SecretsBundle::gcmOpenCombined(key, blob.data(), blob.size())), json);
}

TEST(SecretsBundleTest, PassphraseFormHeaderIsByteExact) {
    const BundlePayload payload = samplePayload();
    const std::string json = SecretsBundle::encodePayload(payload);
    const Bytes blob = SecretsBundle::sealV2(toBytes(json), "correct horse");
    ASSERT_EQ(blob.size(), 55 + json.size());
    EXPECT_EQ(hex(blob.data(), 7), "5354423202011"
                                   "0");
    EXPECT_EQ(hex(blob.data() + 23, 4), "000927c0");
    EXPECT_TRUE(SecretsBundle::isPassphraseBundle(blob));
    // The key is PBKDF2 of the passphrase with the salt stored at offset 7.
    const Bytes salt(blob.begin() + 7, blob.begin() + 23);
    const SymmetricKey key = KDF::deriveKey("correct horse", salt, 600000);
    EXPECT_EQ(toString(SecretsBundle::gcmOpenCombined(key, blob.data() + 27, blob.size() - 27)), json);
}

TEST(SecretsBundleTest, PayloadDocumentIsCompactJsonWithBase64AndReferenceDateSeconds) {
    BundlePayload payload = samplePayload();
    payload.createdAt = std::chrono::system_clock::from_time_t(978307200 + 86400) + std::chrono::milliseconds(250);
    const std::string json = SecretsBundle::encodePayload(payload);
    // Compact: no whitespace anywhere (none of these texts holds any), fields in record order.
    EXPECT_EQ(json.find_first_of(" \n\t\r"), std::string::npos);
    EXPECT_EQ(json.rfind("{\"version\":1,\"createdAt\":86400.25,\"files\":[{\"path\":", 0), 0u);
    const auto doc = nlohmann::json::parse(json);
    EXPECT_EQ(doc["version"], 1);
    EXPECT_DOUBLE_EQ(doc["createdAt"].get<double>(), 86400.25);
    ASSERT_EQ(doc["files"].size(), 2u);
    EXPECT_EQ(doc["files"][0]["path"], "/home/u/.ssh/id_ed25519");
    EXPECT_EQ(doc["files"][0]["mode"], 384);
    EXPECT_EQ(doc["files"][0]["data"], "LS0tLS1CRUdJTiBLRVktLS0tLQphYmMK");
    EXPECT_FALSE(doc["files"][0].contains("project"));
    EXPECT_EQ(doc["files"][1]["project"],
              (nlohmann::json{
                  {"repoRoot", "/home/u/work/app"}, {"remote", "git@example.com:u/app.git"}, {"relPath", ".env"}}));
}

// ---- Round trips -------------------------------------------------------------------------------

TEST(SecretsBundleTest, RoundTripsThroughBothFormsKeepingPathsModesAndBytes) {
    TempHome home;
    Bytes binary;
    for (int i = 0; i < 256; ++i)
        binary.push_back(static_cast<std::uint8_t>(i));
    binary.insert(binary.end(), {0, 0, 0xFF, '"', '\\', '\n'});
    const std::string a = home.writeFile(".ssh/id_ed25519", "private key\n", 0600);
    const std::string b =
        home.writeFile("bin\xC3\xA4r/d\xC3\xA9j\xC3\xA0 vu \xF0\x9F\x94\x91.p12", toString(binary), 0640);
    const std::string c = home.writeFile("empty", "", 0400);
    const std::string d = home.writeFile("tool.sh", "#!/bin/sh\n", 0755);
    const std::vector<std::string> paths = {a, b, c, d};
    DirectFileAccess access;

    const SymmetricKey key = BundleKey::generate();
    for (const KeySource& source : {KeySource::rawKey(key), KeySource::passphrase("p\xC3\xA4ss phrase")}) {
        const auto sealed = SecretsBundle::seal(paths, source, access, noProjects);
        EXPECT_EQ(sealed.included, paths);
        EXPECT_TRUE(sealed.skipped.empty());
        const BundlePayload opened = SecretsBundle::open(sealed.blob, source);
        EXPECT_EQ(opened.version, 1);
        EXPECT_LT(std::chrono::abs(opened.createdAt - std::chrono::system_clock::now()), std::chrono::minutes(1));
        ASSERT_EQ(pathsOf(opened), paths);
        EXPECT_EQ(opened.files[0].data, toBytes("private key\n"));
        EXPECT_EQ(opened.files[1].data, binary);
        EXPECT_TRUE(opened.files[2].data.empty());
        EXPECT_EQ(opened.files[0].mode, 0600);
        EXPECT_EQ(opened.files[1].mode, 0640);
        EXPECT_EQ(opened.files[2].mode, 0400);
        EXPECT_EQ(opened.files[3].mode, 0755);
        for (const auto& f : opened.files)
            EXPECT_FALSE(f.project);
    }
    // The decomposed spelling of the passphrase opens the same bundle.
    const auto sealed = SecretsBundle::seal({a}, KeySource::passphrase("caf\xC3\xA9"), access, noProjects);
    EXPECT_EQ(SecretsBundle::open(sealed.blob, KeySource::passphrase("cafe\xCC\x81")).files.size(), 1u);
}

TEST(SecretsBundleTest, EmptyPayloadSealsAndOpens) {
    DirectFileAccess access;
    const SymmetricKey key = BundleKey::generate();
    const auto raw = SecretsBundle::seal({}, KeySource::rawKey(key), access, noProjects);
    EXPECT_TRUE(SecretsBundle::open(raw.blob, key).files.empty());
    const auto pass = SecretsBundle::seal({}, KeySource::passphrase(""), access, noProjects);
    EXPECT_TRUE(SecretsBundle::open(pass.blob, KeySource::passphrase("")).files.empty());
    EXPECT_TRUE(failsToDecrypt([&] { SecretsBundle::open(pass.blob, KeySource::passphrase(" ")); }));
}

TEST(SecretsBundleTest, SealingTwiceGivesDifferentBlobsThatOpenAlike) {
    TempHome home;
    const std::string a = home.writeFile("token", "same content", 0600);
    DirectFileAccess access;
    const SymmetricKey key = BundleKey::generate();
    const auto first = SecretsBundle::seal({a}, key);
    const auto second = SecretsBundle::seal({a}, key);
    EXPECT_NE(first.blob, second.blob);
    EXPECT_NE(Bytes(first.blob.begin(), first.blob.begin() + 12), Bytes(second.blob.begin(), second.blob.begin() + 12));
    expectSameFiles(SecretsBundle::open(first.blob, key), SecretsBundle::open(second.blob, key));

    const auto p1 = SecretsBundle::seal({a}, KeySource::passphrase("pw"), access, noProjects);
    const auto p2 = SecretsBundle::seal({a}, KeySource::passphrase("pw"), access, noProjects);
    EXPECT_NE(Bytes(p1.blob.begin() + 7, p1.blob.begin() + 23), Bytes(p2.blob.begin() + 7, p2.blob.begin() + 23));
    expectSameFiles(SecretsBundle::open(p1.blob, KeySource::passphrase("pw")),
                    SecretsBundle::open(p2.blob, KeySource::passphrase("pw")));
}

TEST(SecretsBundleTest, LargeBinaryPayloadRoundTrips) {
    TempHome home;
    Bytes big = KDF::randomData(3 * 1024 * 1024 + 1);
    const std::string path = home.writeFile("big.bin", toString(big), 0600);
    const SymmetricKey key = BundleKey::generate();
    const auto sealed = SecretsBundle::seal({path}, key);
    EXPECT_GT(sealed.blob.size(), 28 + base64::encodedLength(big.size()));
    EXPECT_EQ(SecretsBundle::open(sealed.blob, key).files.at(0).data, big);
}

// ---- Hand-built bundles ------------------------------------------------------------------------

TEST(SecretsBundleTest, HandBuiltBundleWithEightByteSaltAndThousandIterationsOpens) {
    const Bytes blob = handBuiltPassphraseBundle(smallDocument, "hunter2", fromHex("0011223344556677"), 1000);
    EXPECT_TRUE(SecretsBundle::isPassphraseBundle(blob));
    const BundlePayload payload = SecretsBundle::open(blob, KeySource::passphrase("hunter2"));
    ASSERT_EQ(payload.files.size(), 1u);
    EXPECT_EQ(payload.files[0].path, "/home/u/.ssh/id_ed25519");
    EXPECT_EQ(payload.files[0].mode, 0600);
    EXPECT_EQ(payload.files[0].data, toBytes("secret"));
    EXPECT_EQ(payload.createdAt,
              std::chrono::system_clock::from_time_t(978307200 + 786000000) + std::chrono::milliseconds(500));
    // Other parameters a writer may choose: no salt at all, a single iteration, a 255-byte salt.
    EXPECT_EQ(SecretsBundle::open(handBuiltPassphraseBundle(smallDocument, "x", {}, 1), KeySource::passphrase("x"))
                  .files.size(),
              1u);
    EXPECT_EQ(
        SecretsBundle::open(handBuiltPassphraseBundle(smallDocument, "x", Bytes(255, 9), 2), KeySource::passphrase("x"))
            .files.size(),
        1u);
}

TEST(SecretsBundleTest, AnyValidDocumentSpellingIsRead) {
    // Other key orders, whitespace, escaped slashes in Base64 and paths, unknown keys, null project.
    const std::string document = R"( {
        "files" : [ { "extra" : {"nested": [1, 2.5e3, true, null, "x"]}, "data" : "YWJj\/w==",
                      "project" : null, "mode" : 420.0, "path" : "\/home\/u\/a\u00e9\ud83d\udd11" },
                    { "path": "/b", "mode": 0, "data": "",
                      "project": {"relPath": "x/y", "repoRoot": "/r", "unknown": 1} } ],
        "createdAt" : -1.5e2, "version" : 7, "future" : "ignored" } )";
    const BundlePayload payload =
        SecretsBundle::open(handBuiltRawBundle(document, keyOf(3)), KeySource::rawKey(keyOf(3)));
    EXPECT_EQ(payload.version, 7);
    EXPECT_EQ(payload.createdAt, std::chrono::system_clock::from_time_t(978307200 - 150));
    ASSERT_EQ(payload.files.size(), 2u);
    EXPECT_EQ(payload.files[0].path, "/home/u/a\xC3\xA9\xF0\x9F\x94\x91");
    EXPECT_EQ(payload.files[0].mode, 0644);
    EXPECT_EQ(payload.files[0].data, (Bytes{'a', 'b', 'c', 0xFF}));
    EXPECT_FALSE(payload.files[0].project);
    EXPECT_EQ(payload.files[1].project, (ProjectContext{"/r", std::nullopt, "x/y"}));
}

TEST(SecretsBundleTest, DocumentsThatAreNotPayloadsFailWithTheDecoderError) {
    const char* bad[] = {
        "",
        "[]",
        "{}",
        R"({"version":1,"createdAt":0})",
        R"({"version":1,"files":[]})",
        R"({"createdAt":0,"files":[]})",
        R"({"version":1,"createdAt":0,"files":[{"path":"/a","mode":384}]})",
        R"({"version":1,"createdAt":0,"files":[{"path":"/a","data":""}]})",
        R"({"version":1,"createdAt":0,"files":[{"mode":384,"data":""}]})",
        R"({"version":1,"createdAt":0,"files":[{"path":"/a","mode":65536,"data":""}]})",
        R"({"version":1,"createdAt":0,"files":[{"path":"/a","mode":-1,"data":""}]})",
        R"({"version":1,"createdAt":0,"files":[{"path":"/a","mode":384.5,"data":""}]})",
        R"({"version":1,"createdAt":0,"files":[{"path":"/a","mode":"384","data":""}]})",
        R"({"version":1,"createdAt":0,"files":[{"path":"/a","mode":384,"data":"abc"}]})",
        R"({"version":1,"createdAt":0,"files":[{"path":"/a","mode":384,"data":"ab c="}]})",
        R"({"version":1,"createdAt":0,"files":[{"path":"/a","mode":384,"data":"","project":{"relPath":"x"}}]})",
        R"({"version":1,"createdAt":0,"files":[{"path":7,"mode":384,"data":""}]})",
        R"({"version":1,"createdAt":"now","files":[]})",
        R"({"version":null,"createdAt":0,"files":[]})",
        R"({"version":1,"createdAt":1e400,"files":[]})",
        R"({"version":1,"createdAt":0,"files":[]} x)",
        R"({"version":1,"createdAt":0,"files":[],})",
        R"({"version":01,"createdAt":0,"files":[]})",
        "{\"version\":1,\"createdAt\":0,\"files\":[{\"path\":\"/\xFF\",\"mode\":1,\"data\":\"\"}]}",
        "{\"version\":1,\"createdAt\":0,\"files\":[{\"path\":\"/\xED\xA0\x80\",\"mode\":1,\"data\":\"\"}]}",
        R"({"version":1,"createdAt":0,"files":[{"path":"/\ud800","mode":1,"data":""}]})",
        "{\"version\":1,\"createdAt\":0,\"files\":[{\"path\":\"/a\tb\",\"mode\":1,\"data\":\"\"}]}",
        R"({"version":1,"createdAt":0,"files":[{"path":"/a","mode":1,"data":"YQ==)",
    };
    for (const char* document : bad) {
        try {
            SecretsBundle::open(handBuiltRawBundle(document, keyOf(4)), keyOf(4));
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

// ---- Single faults -----------------------------------------------------------------------------

class SingleFaultTest : public ::testing::Test {
protected:
    // A low count keeps each attempt cheap; the faults do not depend on the count.
    const Bytes salt = fromHex("000102030405060708090a0b0c0d0e0f");
    const Bytes good = handBuiltPassphraseBundle(smallDocument, "pw", salt, 1000);
    const KeySource passphrase = KeySource::passphrase("pw");
    static constexpr std::size_t L = 16;

    void SetUp() override { ASSERT_EQ(SecretsBundle::open(good, passphrase).files.size(), 1u); }

    Bytes withCount(std::uint32_t count) const {
        Bytes blob = good;
        for (int i = 0; i < 4; ++i)
            blob[7 + L + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(count >> (24 - 8 * i));
        return blob;
    }
};

TEST_F(SingleFaultTest, EveryTruncationFails) {
    for (std::size_t length = 0; length < good.size(); ++length) {
        const Bytes cut(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(length));
        EXPECT_TRUE(failsToDecrypt([&] { SecretsBundle::open(cut, passphrase); })) << length;
    }
    // The lengths named by the format: inside the magic's aftermath, the count, the box.
    for (std::size_t length : {std::size_t{6}, 7 + L + 3, 7 + L + 4 + 27}) {
        const Bytes cut(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(length));
        EXPECT_TRUE(failsToDecrypt([&] { SecretsBundle::open(cut, passphrase); })) << length;
    }
}

TEST_F(SingleFaultTest, EveryByteFromOffsetSixChangedFails) {
    for (std::size_t offset = 6; offset < good.size(); ++offset) {
        for (std::uint8_t flip : {std::uint8_t{0x01}, std::uint8_t{0xFF}}) {
            Bytes blob = good;
            blob[offset] ^= flip;
            EXPECT_TRUE(failsToDecrypt([&] { SecretsBundle::open(blob, passphrase); })) << offset;
        }
    }
}

TEST_F(SingleFaultTest, EveryTagByteFlippedFails) {
    for (std::size_t i = good.size() - 16; i < good.size(); ++i) {
        Bytes blob = good;
        blob[i] ^= 0xFF;
        EXPECT_TRUE(failsToDecrypt([&] { SecretsBundle::open(blob, passphrase); })) << i;
    }
}

TEST_F(SingleFaultTest, BytesFourAndFiveAreNotInterpreted) {
    for (std::size_t offset : {4, 5}) {
        Bytes blob = good;
        blob[offset] = 0x77;
        EXPECT_EQ(SecretsBundle::open(blob, passphrase).files.size(), 1u) << offset;
    }
}

TEST_F(SingleFaultTest, IterationCountsOutsideTheBoundsAreRefusedWithoutDeriving) {
    EXPECT_TRUE(failsToDecrypt([&] { SecretsBundle::open(withCount(0), passphrase); }));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(failsToDecrypt([&] { SecretsBundle::open(withCount(SecretsBundle::maxIterations + 1), passphrase); }));
    EXPECT_TRUE(failsToDecrypt([&] { SecretsBundle::open(withCount(0xFFFFFFFF), passphrase); }));
    // Refused before any derivation: 4 billion iterations would take the better part of an hour.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_EQ(SecretsBundle::maxIterations, 10'000'000u);
}

TEST_F(SingleFaultTest, WrongKeySourceWrongPassphraseAndTrailingBytesFail) {
    EXPECT_TRUE(failsToDecrypt([&] { SecretsBundle::open(good, KeySource::passphrase("pW")); }));
    // A passphrase bundle is never tried with a raw key, not even the right derived one.
    const SymmetricKey derived = KDF::deriveKey("pw", salt, 1000);
    EXPECT_TRUE(failsToDecrypt([&] { SecretsBundle::open(good, derived); }));
    // A raw bundle opened with a passphrase.
    const Bytes raw = handBuiltRawBundle(smallDocument, keyOf(5));
    EXPECT_EQ(SecretsBundle::open(raw, keyOf(5)).files.size(), 1u);
    EXPECT_TRUE(failsToDecrypt([&] { SecretsBundle::open(raw, KeySource::passphrase("pw")); }));
    EXPECT_TRUE(failsToDecrypt([&] { SecretsBundle::open(raw, keyOf(6)); }));
    // Trailing garbage, on either form.
    for (Bytes blob : {good, raw}) {
        blob.push_back(0);
        EXPECT_TRUE(failsToDecrypt([&] {
            if (SecretsBundle::isPassphraseBundle(blob))
                SecretsBundle::open(blob, passphrase);
            else
                SecretsBundle::open(blob, keyOf(5));
        }));
    }
}

TEST(SecretsBundleTest, RawBundleTruncationsAndFlipsFail) {
    const Bytes raw = handBuiltRawBundle(smallDocument, keyOf(5));
    for (std::size_t length = 0; length < raw.size(); ++length) {
        const Bytes cut(raw.begin(), raw.begin() + static_cast<std::ptrdiff_t>(length));
        EXPECT_TRUE(failsToDecrypt([&] { SecretsBundle::open(cut, keyOf(5)); })) << length;
    }
    for (std::size_t offset = 0; offset < raw.size(); ++offset) {
        Bytes blob = raw;
        blob[offset] ^= 0x10;
        if (SecretsBundle::isPassphraseBundle(blob))
            continue;
        EXPECT_TRUE(failsToDecrypt([&] { SecretsBundle::open(blob, keyOf(5)); })) << offset;
    }
}

TEST(SecretsBundleTest, MagicAloneMakesAPassphraseBundle) {
    EXPECT_TRUE(SecretsBundle::isPassphraseBundle(toBytes("STB2")));
    EXPECT_TRUE(SecretsBundle::isPassphraseBundle(toBytes("STB2anything")));
    EXPECT_FALSE(SecretsBundle::isPassphraseBundle(toBytes("STB")));
    EXPECT_FALSE(SecretsBundle::isPassphraseBundle(toBytes("stb2")));
    EXPECT_FALSE(SecretsBundle::isPassphraseBundle({}));
    EXPECT_TRUE(failsToDecrypt([] { SecretsBundle::open(toBytes("STB2"), KeySource::passphrase("x")); }));
    EXPECT_TRUE(failsToDecrypt([] { SecretsBundle::open(toBytes("STB2"), keyOf(1)); }));
}

TEST(SecretsBundleTest, ANonceBeginningWithTheMagicIsDrawnAgain) {
    // The first two draws begin with "STB2"; every seal path must draw again until one does not.
    TempHome home;
    home.writeFile("key", "secret\n", 0600);
    const std::vector<std::string> files{home / "key"};
    using Seal = std::function<Bytes()>;
    const std::vector<std::pair<const char*, Seal>> seals = {
        {"seal with a key", [&] { return SecretsBundle::seal(files, keyOf(7)).blob; }},
        {"sealRaw", [] { return SecretsBundle::sealRaw(toBytes(smallDocument), keyOf(7)); }},
        {"seal with a passphrase",
         [&] { return SecretsBundle::seal(files, KeySource::passphrase("pw"), DirectFileAccess()).blob; }},
    };
    for (const auto& [name, seal] : seals) {
        int draws = 0;
        SecretsBundle::ScopedNonceSource forced([&](std::size_t count) {
            Bytes bytes(count, static_cast<std::uint8_t>(draws));
            if (draws++ < 2)
                std::copy(SecretsBundle::magic.begin(), SecretsBundle::magic.end(), bytes.begin());
            return bytes;
        });
        const Bytes blob = seal();
        EXPECT_EQ(draws, 3) << name;
        if (std::string(name) != "seal with a passphrase") {
            EXPECT_FALSE(SecretsBundle::isPassphraseBundle(blob)) << name;
            EXPECT_EQ(Bytes(blob.begin(), blob.begin() + 12), Bytes(12, 2)) << name;
            EXPECT_NO_THROW(SecretsBundle::gcmOpenCombined(keyOf(7), blob.data(), blob.size())) << name;
        }
    }
}

// ---- Building the payload ----------------------------------------------------------------------

TEST(BuildPayloadTest, UnreadablePathsAreSkippedAndOrderIsKept) {
    TempHome home;
    const std::string a = home.writeFile("a", "A", 0600);
    const std::string locked = home.writeFile("locked", "L", 0000);
    const std::string b = home.writeFile("b", "B", 0644);
    const std::string folder = home.makeDir("folder");
    const std::string missing = home / "missing";
    DirectFileAccess access;
    const bool root = ::geteuid() == 0; // root reads a 0000 file all the same
    const auto built = SecretsBundle::buildPayload({b, missing, a, locked, folder}, access, noProjects);
    std::vector<std::string> expectedIncluded = {b, a};
    std::vector<std::string> expectedSkipped = {missing, folder};
    if (root)
        expectedIncluded.push_back(locked);
    else
        expectedSkipped.insert(expectedSkipped.begin() + 1, locked);
    EXPECT_EQ(built.included, expectedIncluded);
    EXPECT_EQ(built.skipped, expectedSkipped);
    EXPECT_EQ(pathsOf(built.payload), expectedIncluded);
    EXPECT_EQ(built.payload.version, 1);
}

TEST(BuildPayloadTest, ModeIsThatOfTheFileALinkLeadsToAndDefaultsTo0600) {
    TempHome home;
    const std::string target = home.writeFile("keys/id_rsa", "KEY", 0600);
    const std::string link = home / "id_rsa_link";
    fs::create_symlink(target, link);
    const std::string relativeTarget = home.writeFile("keys/other", "OTHER", 0640);
    const std::string relativeLink = home / "keys/other_link";
    fs::create_symlink("other", relativeLink);
    DirectFileAccess access;
    const auto built = SecretsBundle::buildPayload({link, relativeLink}, access, noProjects);
    ASSERT_EQ(built.payload.files.size(), 2u);
    EXPECT_EQ(built.payload.files[0].mode, 0600); // not the link's own 0777
    EXPECT_EQ(built.payload.files[0].data, toBytes("KEY"));
    EXPECT_EQ(built.payload.files[0].path, link); // recorded as selected
    EXPECT_EQ(built.payload.files[1].mode, 0640);

    NoInfoAccess noInfo;
    EXPECT_EQ(SecretsBundle::buildPayload({relativeTarget}, noInfo, noProjects).payload.files.at(0).mode, 0600);
}

TEST(BuildPayloadTest, ProjectComesFromTheLookup) {
    TempHome home;
    const std::string inside = home.writeFile("work/app/.env", "X=1", 0600);
    const std::string outside = home.writeFile(".netrc", "machine", 0600);
    DirectFileAccess access;
    const SecretsBundle::ProjectLookup lookup = [&](const std::string& path, const FileAccessProvider&) {
        if (path == inside)
            return std::optional<ProjectContext>(ProjectContext{home / "work/app", std::nullopt, ".env"});
        return std::optional<ProjectContext>();
    };
    const auto sealed = SecretsBundle::seal({inside, outside}, KeySource::rawKey(keyOf(1)), access, lookup);
    const BundlePayload payload = SecretsBundle::open(sealed.blob, keyOf(1));
    EXPECT_EQ(payload.files[0].project, (ProjectContext{home / "work/app", std::nullopt, ".env"}));
    EXPECT_FALSE(payload.files[1].project);
    const auto doc = nlohmann::json::parse(SecretsBundle::encodePayload(payload));
    EXPECT_FALSE(doc["files"][0]["project"].contains("remote"));
    EXPECT_FALSE(doc["files"][1].contains("project"));
}

TEST(BuildPayloadTest, TextThatIsNotUtf8CannotBeEncoded) {
    BundlePayload payload;
    payload.files.push_back({"/home/u/\xFF", 0600, {}, std::nullopt});
    EXPECT_THROW(SecretsBundle::encodePayload(payload), nlohmann::json::type_error);
}

// ---- Interoperability with an independent implementation ---------------------------------------

class InteropTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (stowage::testing::sh("command -v node >/dev/null 2>&1") != 0)
            GTEST_SKIP() << "node is not installed; the interoperability script cannot run";
        script = std::string(STOWAGE_SOURCE_DIR) + "/tests/core/bundle_interop.js";
    }

    /// Runs the script with the given environment and arguments; answers its standard output, or
    /// absent when it fails.
    std::optional<std::string> node(const std::string& env, const std::string& args) {
        const std::string out = home.path() + "/node.out";
        const int status =
            stowage::testing::sh(env + " node '" + script + "' " + args + " > '" + out + "' 2>/dev/null");
        if (status != 0)
            return std::nullopt;
        return stowage::testing::slurp(out);
    }

    std::string writeBlob(const Bytes& blob) {
        const std::string path = home.path() + "/blob.stowage";
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(blob.data()), static_cast<std::streamsize>(blob.size()));
        return path;
    }

    TempHome home;
    std::string script;
};

TEST_F(InteropTest, NodeOpensOurBundles) {
    const std::string a = home.writeFile(".ssh/id_\xC3\xA9"
                                         "d25519",
                                         "ssh key\n", 0600);
    const std::string b = home.writeFile("bin", std::string("\0\xFF\x01\"\\/", 6), 0644);
    DirectFileAccess access;
    const SymmetricKey key = BundleKey::generate();

    const auto raw = SecretsBundle::seal({a, b}, KeySource::rawKey(key), access, noProjects);
    const auto rawOut = node("BUNDLE_KEY_HEX=" + hex(key.data(), 32), "open '" + writeBlob(raw.blob) + "'");
    ASSERT_TRUE(rawOut);
    auto doc = nlohmann::json::parse(*rawOut);
    ASSERT_EQ(doc["files"].size(), 2u);
    EXPECT_EQ(doc["files"][0]["path"], a);
    EXPECT_EQ(doc["files"][0]["data"], base64::encode(toBytes("ssh key\n")));
    EXPECT_EQ(doc["files"][1]["data"], base64::encode(toBytes(std::string("\0\xFF\x01\"\\/", 6))));
    EXPECT_EQ(doc["files"][1]["mode"], 0644);

    const auto pass = SecretsBundle::seal({a}, KeySource::passphrase("cafe\xCC\x81 au lait"), access, noProjects);
    const auto passOut = node("BUNDLE_PASSPHRASE='caf\xC3\xA9 au lait'", "open '" + writeBlob(pass.blob) + "'");
    ASSERT_TRUE(passOut);
    EXPECT_EQ(nlohmann::json::parse(*passOut)["files"][0]["path"], a);
    // And the independent reader refuses what it should.
    EXPECT_FALSE(node("BUNDLE_PASSPHRASE='cafe au lait'", "open '" + writeBlob(pass.blob) + "'"));
    EXPECT_FALSE(node("BUNDLE_KEY_HEX=" + hex(key.data(), 32), "open '" + writeBlob(pass.blob) + "'"));
}

TEST_F(InteropTest, WeOpenNodesBundles) {
    const nlohmann::json document = {
        {"version", 1},
        {"createdAt", 797000000.25},
        {"files",
         {{{"path", "/home/u/.aws/credentials"}, {"mode", 384}, {"data", base64::encode(toBytes("[default]\n"))}},
          {{"path", "/home/u/w/app/.env"},
           {"mode", 416},
           {"data", base64::encode(Bytes{0, 1, 2, 253, 254, 255})},
           {"project",
            {{"repoRoot", "/home/u/w/app"}, {"remote", "https://example.com/u/app"}, {"relPath", ".env"}}}}}},
    };
    const std::string payloadPath = home.writeFile("payload.json", document.dump());
    const std::string blobPath = home.path() + "/node.stowage";
    const SymmetricKey key = BundleKey::generate();

    auto check = [&](const BundlePayload& payload) {
        ASSERT_EQ(payload.files.size(), 2u);
        EXPECT_EQ(payload.files[0].path, "/home/u/.aws/credentials");
        EXPECT_EQ(payload.files[0].mode, 0600);
        EXPECT_EQ(payload.files[0].data, toBytes("[default]\n"));
        EXPECT_EQ(payload.files[1].mode, 0640);
        EXPECT_EQ(payload.files[1].data, (Bytes{0, 1, 2, 253, 254, 255}));
        EXPECT_EQ(payload.files[1].project,
                  (ProjectContext{"/home/u/w/app", std::string("https://example.com/u/app"), ".env"}));
        EXPECT_EQ(payload.createdAt,
                  std::chrono::system_clock::from_time_t(978307200 + 797000000) + std::chrono::milliseconds(250));
    };

    ASSERT_TRUE(node("BUNDLE_KEY_HEX=" + hex(key.data(), 32), "seal '" + payloadPath + "' '" + blobPath + "'"));
    const Bytes rawBlob = toBytes(stowage::testing::slurp(blobPath));
    EXPECT_EQ(rawBlob.size(), 28 + document.dump().size());
    check(SecretsBundle::open(rawBlob, key));

    ASSERT_TRUE(node("BUNDLE_PASSPHRASE='s\xC3\xB8rensen'", "seal '" + payloadPath + "' '" + blobPath + "'"));
    const Bytes passBlob = toBytes(stowage::testing::slurp(blobPath));
    EXPECT_EQ(hex(passBlob.data(), 7), "53544232020110");
    EXPECT_EQ(hex(passBlob.data() + 23, 4), "000927c0");
    check(SecretsBundle::open(passBlob, KeySource::passphrase("s\xC3\xB8rensen")));

    // Another writer's parameters: an 8-byte salt and 1000 iterations.
    ASSERT_TRUE(node("BUNDLE_PASSPHRASE=pw BUNDLE_ITERATIONS=1000 BUNDLE_SALT_BYTES=8",
                     "seal '" + payloadPath + "' '" + blobPath + "'"));
    check(SecretsBundle::open(toBytes(stowage::testing::slurp(blobPath)), KeySource::passphrase("pw")));
}

// ---- Comparing with the disk -------------------------------------------------------------------

namespace {

bool contains(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

Bytes withZeroAt(std::size_t size, std::size_t at) {
    Bytes data(size, 'x');
    for (std::size_t i = 79; i < size; i += 80)
        data[i] = '\n';
    data[at] = 0;
    return data;
}

unsigned modeOf(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0xFFFF;
}

} // namespace

TEST(BundleDiffTest, KindsByWhatIsOnDisk) {
    TempHome home;
    DirectFileAccess access;
    EXPECT_EQ(SecretsBundle::diff(toBytes("x"), home / "absent", access), (FileDiff{FileDiff::Kind::new_, {}, 0, 0}));
    EXPECT_EQ(SecretsBundle::diff(toBytes("x"), home.makeDir("folder"), access),
              (FileDiff{FileDiff::Kind::modified, {}, 0, 0}));

    // Identical bytes are identical at any size.
    const Bytes big(300 * 1024, 'a');
    const std::string bigPath = home.writeFile("big", toString(big));
    EXPECT_EQ(SecretsBundle::diff(big, bigPath, access).kind, FileDiff::Kind::identical);
    Bytes bigger = big;
    bigger.back() = 'b';
    EXPECT_EQ(SecretsBundle::diff(bigger, bigPath, access), (FileDiff{FileDiff::Kind::binary, {}, 0, 0}));
}

TEST(BundleDiffTest, SizeLimitAndZeroBytesMakeBinary) {
    TempHome home;
    DirectFileAccess access;
    const std::string onDisk = home.writeFile("text", "line one\nline two\n");
    EXPECT_EQ(SecretsBundle::diff(withZeroAt(9000, 7999), onDisk, access).kind, FileDiff::Kind::binary);
    const FileDiff late = SecretsBundle::diff(withZeroAt(9000, 8000), onDisk, access);
    EXPECT_EQ(late.kind, FileDiff::Kind::modified);
    EXPECT_FALSE(late.hunks.empty());
    // A zero byte in the file on disk counts as well.
    const std::string binaryOnDisk = home.writeFile("bin", toString(withZeroAt(100, 50)));
    EXPECT_EQ(SecretsBundle::diff(toBytes("text\n"), binaryOnDisk, access).kind, FileDiff::Kind::binary);
    // Exactly 256 KiB is still text; one byte more is not.
    const Bytes limit(LineDiff::maxBytes, 'q');
    EXPECT_EQ(SecretsBundle::diff(limit, onDisk, access).kind, FileDiff::Kind::modified);
    EXPECT_EQ(SecretsBundle::diff(Bytes(LineDiff::maxBytes + 1, 'q'), onDisk, access).kind, FileDiff::Kind::binary);
    const std::string limitOnDisk = home.writeFile("limit", std::string(LineDiff::maxBytes + 1, 'q'));
    EXPECT_EQ(SecretsBundle::diff(toBytes("q"), limitOnDisk, access).kind, FileDiff::Kind::binary);
}

TEST(BundleDiffTest, LinesAddedAreTheBackupCopysAndBadUtf8IsReplaced) {
    TempHome home;
    DirectFileAccess access;
    const std::string path = home.writeFile(".env", "A=1\nB=2\nC=3\n");
    const FileDiff d = SecretsBundle::diff(toBytes("A=1\nB=two\nC=3\nD=4\n"), path, access);
    EXPECT_EQ(d.kind, FileDiff::Kind::modified);
    EXPECT_EQ(d.added, 2);
    EXPECT_EQ(d.removed, 1);
    EXPECT_TRUE(contains(d.hunks, "- B=2"));
    EXPECT_TRUE(contains(d.hunks, "+ B=two"));
    EXPECT_TRUE(contains(d.hunks, "+ D=4"));
    EXPECT_TRUE(contains(d.hunks, "  A=1"));

    // Latin-1 on disk, a truncated four-byte sequence and a bad lead in the copy: one U+FFFD for
    // each maximal ill-formed part.
    const std::string latin = home.writeFile("latin", "caf\xE9\n");
    const FileDiff l = SecretsBundle::diff(toBytes("caf\xC3\xA9\n\xF0\x9F\x94x\n\xE0\x80y\n"), latin, access);
    EXPECT_TRUE(contains(l.hunks, "- caf\xEF\xBF\xBD"));
    EXPECT_TRUE(contains(l.hunks, "+ caf\xC3\xA9"));
    EXPECT_TRUE(contains(l.hunks, "+ \xEF\xBF\xBDx"));
    EXPECT_TRUE(contains(l.hunks, "+ \xEF\xBF\xBD\xEF\xBF\xBDy"));
}

// ---- Restoring ---------------------------------------------------------------------------------

namespace {

BundlePayload payloadOf(std::vector<BundleFile> files) {
    BundlePayload payload;
    payload.createdAt = std::chrono::system_clock::now();
    payload.files = std::move(files);
    return payload;
}

/// Records the mode every write asks for.
class RecordingAccess : public DirectFileAccess {
public:
    using DirectFileAccess::write;
    void write(const Bytes& data, const std::string& path, std::optional<std::uint16_t> mode) override {
        writes.emplace_back(path, mode);
        DirectFileAccess::write(data, path, mode);
    }
    void writeBeneath(const std::string& root, const Bytes& data, const std::string& path,
                      std::optional<std::uint16_t> mode) override {
        writes.emplace_back(path, mode);
        DirectFileAccess::writeBeneath(root, data, path, mode);
    }
    std::vector<std::pair<std::string, std::optional<std::uint16_t>>> writes;
};

} // namespace

TEST(BundleRestoreTest, PrefixRootsTheRecordedPathAndModesAreKept) {
    TempHome home;
    const std::string prefix = home.makeDir("r");
    const BundlePayload payload = payloadOf({{"/Users/u/.ssh/id_ed25519", 0600, toBytes("KEY"), std::nullopt},
                                             {"/Users/u/.config/tool/token", 0640, toBytes("T"), std::nullopt},
                                             {"/Users/u/bin/run", 0755, toBytes("#!"), std::nullopt}});
    RecordingAccess access;
    const mode_t savedUmask = ::umask(077);
    const auto outcomes = SecretsBundle::restore(payload, std::nullopt, ConflictPolicy::overwrite, std::nullopt,
                                                 std::nullopt, prefix, false, access);
    ::umask(savedUmask);
    ASSERT_EQ(outcomes.size(), 3u);
    EXPECT_EQ(outcomes[0].originalPath, "/Users/u/.ssh/id_ed25519");
    EXPECT_EQ(outcomes[0].writtenPath, prefix + "/Users/u/.ssh/id_ed25519");
    EXPECT_EQ(outcomes[0].action, RestoreOutcome::Action::restored);
    EXPECT_FALSE(outcomes[0].diff);
    EXPECT_FALSE(outcomes[0].backedUpTo);
    EXPECT_EQ(stowage::testing::slurp(prefix + "/Users/u/.ssh/id_ed25519"), "KEY");
    EXPECT_EQ(modeOf(prefix + "/Users/u/.ssh/id_ed25519"), 0600u);
    EXPECT_EQ(modeOf(prefix + "/Users/u/.config/tool/token"), 0640u);
    EXPECT_EQ(modeOf(prefix + "/Users/u/bin/run"), 0755u);
    // Each secret went through one atomic write that carried its mode from the start.
    ASSERT_EQ(access.writes.size(), 3u);
    EXPECT_EQ(access.writes[0].second, std::optional<std::uint16_t>(0600));
}

TEST(BundleRestoreTest, ReplacingAnExistingFileNarrowsItToTheRecordedMode) {
    TempHome home;
    const std::string path = home.writeFile(".netrc", "old", 0644);
    DirectFileAccess access;
    SecretsBundle::restore(payloadOf({{path, 0600, toBytes("new"), std::nullopt}}), std::nullopt,
                           ConflictPolicy::overwrite, std::nullopt, std::nullopt, std::nullopt, false, access);
    EXPECT_EQ(stowage::testing::slurp(path), "new");
    EXPECT_EQ(modeOf(path), 0600u);
}

TEST(BundleRestoreTest, PoliciesDecideWhatHappensToExistingTargets) {
    TempHome home;
    const std::string existing = home.writeFile("secrets/existing", "on disk\n", 0600);
    const std::string fresh = home / "secrets/fresh";
    const std::string snapshot = home / "backup/.stowage-overwritten";
    const BundlePayload payload = payloadOf(
        {{existing, 0600, toBytes("from backup\n"), std::nullopt}, {fresh, 0600, toBytes("new\n"), std::nullopt}});
    DirectFileAccess access;

    const auto skipped = SecretsBundle::restore(payload, std::nullopt, ConflictPolicy::skip, snapshot, std::nullopt,
                                                std::nullopt, false, access);
    EXPECT_EQ(skipped[0].action, RestoreOutcome::Action::skipped);
    EXPECT_FALSE(skipped[0].writtenPath);
    EXPECT_EQ(stowage::testing::slurp(existing), "on disk\n");
    EXPECT_EQ(skipped[1].action, RestoreOutcome::Action::restored); // missing targets are always restored
    EXPECT_FALSE(skipped[1].backedUpTo);                            // and nothing was there to save
    EXPECT_EQ(stowage::testing::slurp(fresh), "new\n");

    const auto beside = SecretsBundle::restore(payload, std::set<std::string>{existing}, ConflictPolicy::writeBeside,
                                               snapshot, std::nullopt, std::nullopt, false, access);
    ASSERT_EQ(beside.size(), 1u);
    EXPECT_EQ(beside[0].action, RestoreOutcome::Action::wroteBeside);
    EXPECT_EQ(beside[0].writtenPath, existing + ".stowage-restored");
    EXPECT_FALSE(beside[0].backedUpTo);
    EXPECT_EQ(stowage::testing::slurp(existing), "on disk\n");
    EXPECT_EQ(stowage::testing::slurp(existing + ".stowage-restored"), "from backup\n");
    EXPECT_EQ(modeOf(existing + ".stowage-restored"), 0600u);
    EXPECT_FALSE(fs::exists(snapshot));

    const auto overwritten = SecretsBundle::restore(payload, std::set<std::string>{existing}, ConflictPolicy::overwrite,
                                                    snapshot, std::nullopt, std::nullopt, false, access);
    // Saved into this run's own folder, named by the UTC time.
    ASSERT_TRUE(overwritten[0].backedUpTo);
    const std::string saved = *overwritten[0].backedUpTo;
    const std::string run = saved.substr(snapshot.size() + 1, 16);
    EXPECT_EQ(saved, snapshot + "/" + run + existing);
    EXPECT_EQ(run[8], 'T');
    EXPECT_EQ(run.back(), 'Z');
    EXPECT_EQ(stowage::testing::slurp(saved), "on disk\n");
    EXPECT_EQ(stowage::testing::slurp(existing), "from backup\n");

    EXPECT_TRUE(SecretsBundle::restore(payload, std::set<std::string>{}, ConflictPolicy::overwrite, snapshot,
                                       std::nullopt, std::nullopt, false, access)
                    .empty());
}

TEST(BundleRestoreTest, DryRunWritesNothingAndDiffsAgainstTheTarget) {
    TempHome home;
    const std::string existing = home.writeFile("existing", "a\nb\n", 0600);
    const std::string fresh = home / "dir/fresh";
    const std::string snapshot = home / "snap";
    const BundlePayload payload =
        payloadOf({{existing, 0600, toBytes("a\nB\n"), std::nullopt}, {fresh, 0600, toBytes("n"), std::nullopt}});
    DirectFileAccess access;
    for (ConflictPolicy policy : {ConflictPolicy::overwrite, ConflictPolicy::skip, ConflictPolicy::writeBeside}) {
        const auto outcomes =
            SecretsBundle::restore(payload, std::nullopt, policy, snapshot, std::nullopt, std::nullopt, true, access);
        ASSERT_EQ(outcomes.size(), 2u);
        ASSERT_TRUE(outcomes[0].diff);
        EXPECT_EQ(outcomes[0].diff->kind, FileDiff::Kind::modified);
        EXPECT_EQ(outcomes[0].diff->added, 1);
        EXPECT_FALSE(outcomes[0].backedUpTo);
        EXPECT_EQ(outcomes[1].diff, (FileDiff{FileDiff::Kind::new_, {}, 0, 0}));
        EXPECT_EQ(outcomes[1].action, RestoreOutcome::Action::restored);
    }
    EXPECT_EQ(stowage::testing::slurp(existing), "a\nb\n");
    EXPECT_FALSE(fs::exists(home / "dir"));
    EXPECT_FALSE(fs::exists(existing + ".stowage-restored"));
    EXPECT_FALSE(fs::exists(snapshot));
}

TEST(BundleRestoreTest, DestinationsRedirectButSavedCopiesKeepTheRecordedPath) {
    TempHome home;
    const std::string recorded = "/Users/old/work/app/.env";
    const std::string relocated = home.writeFile("code/app/.env", "LOCAL=1\n", 0644);
    const std::string snapshot = home / "snap";
    DirectFileAccess access;
    const auto outcomes = SecretsBundle::restore(
        payloadOf({{recorded, 0600, toBytes("SECRET=1\n"), std::nullopt}}), std::nullopt, ConflictPolicy::overwrite,
        snapshot, std::map<std::string, std::string>{{recorded, relocated}}, std::nullopt, false, access);
    ASSERT_EQ(outcomes.size(), 1u);
    EXPECT_EQ(outcomes[0].originalPath, recorded);
    EXPECT_EQ(outcomes[0].writtenPath, relocated);
    ASSERT_TRUE(outcomes[0].backedUpTo);
    EXPECT_TRUE(paths::isUnder(*outcomes[0].backedUpTo, snapshot));
    EXPECT_EQ(outcomes[0].backedUpTo->substr(outcomes[0].backedUpTo->size() - recorded.size()), recorded);
    EXPECT_EQ(stowage::testing::slurp(*outcomes[0].backedUpTo), "LOCAL=1\n");
    EXPECT_EQ(stowage::testing::slurp(relocated), "SECRET=1\n");
    EXPECT_EQ(modeOf(relocated), 0600u);
}

TEST(BundleRestoreTest, AFailedSavedCopyLeavesTheTargetAsItIs) {
    TempHome home;
    const std::string target = home.writeFile("token", "current", 0600);
    const std::string snapshot = home / "snap";
    const std::string older = snapshot + target;
    fs::create_directories(fs::path(older).parent_path());
    std::ofstream(older) << "an older saved copy";
    stowage::testing::FaultInjectingFileAccess access;
    access.failOn(stowage::testing::FaultInjectingFileAccess::Operation::write, 1);
    const auto outcomes =
        SecretsBundle::restore(payloadOf({{target, 0600, toBytes("restored"), std::nullopt}}), std::nullopt,
                               ConflictPolicy::overwrite, snapshot, std::nullopt, std::nullopt, false, access);
    ASSERT_EQ(outcomes.size(), 1u);
    EXPECT_EQ(outcomes[0].action, RestoreOutcome::Action::failed);
    EXPECT_FALSE(outcomes[0].backedUpTo);
    ASSERT_TRUE(outcomes[0].error);
    EXPECT_NE(outcomes[0].error->find("could not save"), std::string::npos);
    EXPECT_EQ(stowage::testing::slurp(target), "current");
    EXPECT_EQ(stowage::testing::slurp(older), "an older saved copy");
    EXPECT_EQ(access.calls(stowage::testing::FaultInjectingFileAccess::Operation::write), 1);
}

TEST(BundleRestoreTest, TheFirstFailingWriteEndsTheRestoreAndEarlierFilesStay) {
    TempHome home;
    const std::string first = home / "out/first";
    const std::string second = home / "out/second";
    const std::string third = home / "out/third";
    stowage::testing::FaultInjectingFileAccess access;
    access.failOn(stowage::testing::FaultInjectingFileAccess::Operation::write, 2);
    const BundlePayload payload = payloadOf({{first, 0600, toBytes("1"), std::nullopt},
                                             {second, 0600, toBytes("2"), std::nullopt},
                                             {third, 0600, toBytes("3"), std::nullopt}});
    try {
        SecretsBundle::restore(payload, std::nullopt, ConflictPolicy::overwrite, std::nullopt, std::nullopt,
                               std::nullopt, false, access);
        ADD_FAILURE() << "the failing write was not reported";
    } catch (const BackupError& e) {
        EXPECT_EQ(e.kind(), BackupError::Kind::io);
    }
    EXPECT_EQ(stowage::testing::slurp(first), "1");
    EXPECT_FALSE(fs::exists(second));
    EXPECT_FALSE(fs::exists(third));
}

TEST(BundleRestoreTest, APathClimbingOutOfThePrefixIsRefused) {
    TempHome home;
    const std::string prefix = home.makeDir("scratch");
    DirectFileAccess access;
    for (const std::string path : {"/../escape", "/home/../../escape", "/a/./b"}) {
        // Refused by the bundle's own check, before the write's walk would have to catch it.
        try {
            SecretsBundle::restore(payloadOf({{path, 0600, toBytes("x"), std::nullopt}}), std::nullopt,
                                   ConflictPolicy::overwrite, std::nullopt, std::nullopt, prefix, false, access);
            ADD_FAILURE() << path << " was restored";
        } catch (const BackupError& e) {
            EXPECT_EQ(e.message(), "will not restore " + path + " under " + prefix + ": the path leaves the folder");
        }
    }
    EXPECT_FALSE(fs::exists(home.path() + "/escape"));
    // Dots inside names are ordinary.
    const auto outcomes =
        SecretsBundle::restore(payloadOf({{"/u/..hidden/.x..", 0600, toBytes("x"), std::nullopt}}), std::nullopt,
                               ConflictPolicy::overwrite, std::nullopt, std::nullopt, prefix, false, access);
    EXPECT_EQ(outcomes.at(0).writtenPath, prefix + "/u/..hidden/.x..");
}

// ---- The whole road: files in a repository, sealed, opened and restored elsewhere ---------------

TEST(BundleRoundTripTest, GitProjectContextIsRecordedAndFilesComeBack) {
    if (stowage::testing::sh("command -v git >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "git is not installed";
    TempHome home;
    const std::string repo = home.makeDir("work/app");
    ASSERT_EQ(stowage::testing::sh("git -C '" + repo + "' init -q && git -C '" + repo +
                                   "' remote add origin https://example.com/u/app.git"),
              0);
    const std::string env = home.writeFile("work/app/config/.env", "TOKEN=abc\n", 0600);
    const std::string netrc = home.writeFile(".netrc", "machine example.com\n", 0600);
    DirectFileAccess access;
    const SymmetricKey key = BundleKey::generate();
    const auto sealed = SecretsBundle::seal({env, netrc, home / "missing"}, KeySource::rawKey(key), access);
    EXPECT_EQ(sealed.skipped, std::vector<std::string>{home / "missing"});
    const BundlePayload payload = SecretsBundle::open(sealed.blob, key);
    ASSERT_EQ(payload.files.size(), 2u);
    ASSERT_TRUE(payload.files[0].project);
    EXPECT_EQ(payload.files[0].project->repoRoot, repo);
    EXPECT_EQ(payload.files[0].project->relPath, "config/.env");
    EXPECT_EQ(payload.files[0].project->remote, "https://example.com/u/app.git");
    EXPECT_FALSE(payload.files[1].project);

    const std::string prefix = home.makeDir("restored");
    SecretsBundle::restore(payload, std::nullopt, ConflictPolicy::overwrite, std::nullopt, std::nullopt, prefix, false,
                           access);
    EXPECT_EQ(stowage::testing::slurp(prefix + env), "TOKEN=abc\n");
    EXPECT_EQ(stowage::testing::slurp(prefix + netrc), "machine example.com\n");
}
