#include "core/BackupError.hpp"
#include "core/KDF.hpp"
#include "support/Crypto.hpp"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <random>
#include <set>
#include <string>
#include <vector>

using namespace stowage;
using stowage::testing::fromHex;
using stowage::testing::hex;
using stowage::testing::keyOf;

// ---- PBKDF2 ------------------------------------------------------------------------------------

// RFC 7914 section 11 gives 64-byte outputs; their first 32 bytes are what a 32-byte derivation gives.
TEST(KDFTest, MatchesPublishedPbkdf2HmacSha256Vectors) {
    const struct {
        const char *passphrase, *salt;
        std::uint32_t iterations;
        const char* expected;
    } vectors[] = {
        {"passwd", "salt", 1, "55ac046e56e3089fec1691c22544b605f94185216dde0465e68b9d57c20dacbc"},
        {"Password", "NaCl", 80000, "4ddcd8f60b98be21830cee5ef22701f9641a4418d04c0414aeff08876b34ab56"},
    };
    for (const auto& v : vectors)
        EXPECT_EQ(hex(KDF::deriveKey(v.passphrase, toBytes(v.salt), v.iterations)), v.expected) << v.passphrase;
}

// Only the Unicode form is normalised (NFC); every other difference in passphrase, salt or count
// gives another key, and invalid UTF-8 is used byte for byte rather than replaced.
TEST(KDFTest, PassphraseIsNormalisedToNfcAndOtherwiseUsedAsGiven) {
    const Bytes salt = fromHex("0011223344556677");
    auto derive = [&](const std::string& passphrase) { return KDF::deriveKey(passphrase, salt, 10); };
    EXPECT_EQ(derive("caf\xC3\xA9 cr\xC3\xA8me"), derive("cafe\xCC\x81 cre\xCC\x80me"));
    EXPECT_EQ(derive("\xED\x95\x9C"), derive("\xE1\x84\x92\xE1\x85\xA1\xE1\x86\xAB")); // Hangul jamo
    for (const char* other : {"Secret", "secret ", " secret", ""})
        EXPECT_FALSE(derive("secret") == derive(other)) << other;
    for (const char* other : {"pw\xEF\xBF\xBD", "pw\xFE"})
        EXPECT_FALSE(derive("pw\xFF") == derive(other)) << other;
    EXPECT_EQ(KDF::normalizedPassphrase("cafe\xCC\x81").str(), "caf\xC3\xA9");
    EXPECT_EQ(KDF::normalizedPassphrase("pw\xFF").str(), "pw\xFF");
    EXPECT_FALSE(derive("secret") == KDF::deriveKey("secret", fromHex("0011223344556678"), 10));
    EXPECT_FALSE(derive("secret") == KDF::deriveKey("secret", salt, 11));
}

TEST(KDFDeathTest, ZeroIterationsStopTheProcess) {
    EXPECT_DEATH(KDF::deriveKey("x", fromHex("00112233"), 0), "iteration count of 0");
}

// ---- Keys and recovery codes --------------------------------------------------------------------

TEST(BundleKeyTest, GeneratedKeysDifferAndRecoveryCodesRoundTripToleratingOnlyWhiteSpaceAtTheEnds) {
    const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::set<std::string> seen;
    for (int i = 0; i < 500; ++i) {
        const SymmetricKey key = BundleKey::generate();
        const std::string code = BundleKey::recoveryCode(key).str();
        seen.insert(code);
        ASSERT_EQ(code.size(), 44u);
        EXPECT_EQ(code.find_first_not_of(alphabet), 43u);
        EXPECT_EQ(code.back(), '=');
        EXPECT_EQ(BundleKey::key(code), key);
    }
    EXPECT_EQ(seen.size(), 500u);
    EXPECT_EQ(BundleKey::recoveryCode(keyOf(0)).str(), "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=");
    EXPECT_EQ(BundleKey::recoveryCode(keyOf(0xFF)).str(), "//////////////////////////////////////////8=");

    // White space at the ends is tolerated, every other text refused.
    const SymmetricKey key = BundleKey::generate();
    const std::string code = BundleKey::recoveryCode(key).str();
    // Any Unicode white space, line break or invisible mark a paste can bring, at either end.
    for (const char* around :
         {"  ", "\n", "\t\r\n", "\u00A0", "\u2028", "\u2029", "\u3000", "\uFEFF", "\u200B", "\u0085", "\u2003\r\n"}) {
        EXPECT_EQ(BundleKey::key(code + around), key) << around;
        EXPECT_EQ(BundleKey::key(around + code), key) << around;
    }
    const std::string zero = BundleKey::recoveryCode(keyOf(0)).str();
    auto with = [](std::string text, std::size_t at, char c) { return text.replace(at, 1, 1, c); };
    // Its last byte's real bit set: still a key. The two unused bits set instead: a second text
    // for the same key, refused below.
    EXPECT_EQ(hex(BundleKey::key(with(zero, 42, 'E'))), std::string(62, '0') + "01");
    // Nothing, "=" missing, wrong lengths, the two unused bits set; text after the fill, a broken
    // sequence (not trimmed); inner white space; the URL-safe alphabet and fill inside.
    std::vector<std::string> refused = {
        "", "   ", code.substr(0, 43), base64::encode(Bytes(31, 5)), base64::encode(Bytes(33, 5)), with(zero, 42, 'B')};
    for (const char* after : {"AAAA", "\xC2", "\u00E9"})
        refused.push_back(code + after);
    for (const char* inner : {" ", "\n", "\u00A0"})
        refused.push_back(code.substr(0, 20) + inner + code.substr(20));
    for (const auto& [at, c] : {std::pair{3, '-'}, {5, '_'}, {40, '='}})
        refused.push_back(with(code, static_cast<std::size_t>(at), c));
    for (const std::string& text : refused) {
        try {
            BundleKey::key(text);
            ADD_FAILURE() << "accepted: " << text;
        } catch (const BackupError& e) {
            EXPECT_EQ(e.kind(), BackupError::Kind::badRecoveryCode);
            EXPECT_STREQ(e.what(), "Recovery code is not valid");
        }
    }
}

// ---- Base64 ------------------------------------------------------------------------------------

TEST(Base64Test, EncodesAndDecodesAsLibcryptoAtEveryTailLength) {
    // Every short length, and long ones for the vectorised loops with every tail length after them.
    std::vector<std::size_t> lengths{1000, 4095, 4096, 4097, 65536 + 23, 1000003};
    for (std::size_t length = 0; length < 300; ++length)
        lengths.push_back(length);
    std::mt19937 rng(42);
    for (std::size_t length : lengths) {
        Bytes data(length);
        for (auto& b : data)
            b = static_cast<std::uint8_t>(rng());
        std::string reference(4 * ((length + 2) / 3) + 1, '\0');
        reference.resize(static_cast<std::size_t>(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(reference.data()),
                                                                  data.data(), static_cast<int>(length))));
        ASSERT_EQ(base64::encode(data), reference) << length;
        ASSERT_EQ(base64::decode(reference, base64::Strictness::canonical), data) << length;
    }
}

TEST(Base64Test, RefusesAForeignCharacterAnywhereAndMalformedTextLeavingTheOutputAsItWas) {
    Bytes data(300);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<std::uint8_t>(i * 37 + 11);
    const std::string text = base64::encode(data);
    for (std::size_t at = 0; at + 4 < text.size(); ++at) {
        for (char c :
             {'-', '_', ' ', '\0', '\n', '=', '@', '[', '`', '{', ':', '*', ',', '.', '\x7F', '\x80', '\xFF'}) {
            std::string bad = text;
            bad[at] = c;
            ASSERT_FALSE(base64::decode(bad)) << at << " " << int(c);
        }
    }
    for (const char* bad :
         {"Zg=", "Zg", "Z===", "====", "Zm9v\n", " Zm9v", "Zm 9", "Zm9v=AAA", "Zm=v", "Zm9*", "Zg==Zg=="}) {
        Bytes out = {1, 2, 3};
        EXPECT_FALSE(base64::decodeAppend(bad, out)) << bad;
        EXPECT_EQ(out, (Bytes{1, 2, 3})) << bad;
    }
    // Unused bits: tolerated by the standard reading, refused by the canonical one.
    EXPECT_EQ(base64::decode("Zh==", base64::Strictness::standard), toBytes("f"));
    EXPECT_FALSE(base64::decode("Zh==", base64::Strictness::canonical));
    EXPECT_EQ(base64::decode("Zm9=", base64::Strictness::standard), toBytes("fo"));
    EXPECT_FALSE(base64::decode("Zm9=", base64::Strictness::canonical));
}

// ---- Passphrase strength -----------------------------------------------------------------------

// A point for eight user-perceived characters, one for two character classes, one more for three;
// letters of any script with case count by case, letters without case in no class.
TEST(PassphraseStrengthTest, ScoresCharactersAndClassesAndLabelsTheScore) {
    std::string sevenE, eightE;
    for (int i = 0; i < 7; ++i)
        sevenE += "e\xCC\x81";
    eightE = sevenE + "e\xCC\x81";
    const std::string family = "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7";
    // Per score: "aB1" has three classes but is too short; space and punctuation are symbols; four
    // classes still give two points; seven decomposed "é" are 14 scalars but 7 characters; the family
    // emoji is one character; "École" and Cyrillic count by case; katakana has no class; Arabic-Indic
    // digits are numeric.
    const std::vector<std::string> byScore[] = {
        {"", "abcdefg", sevenE, "\xE3\x83\x91\xE3\x82\xB9\xE3\x83\xAF\xE3\x83\xBC\xE3\x83\x89"},
        {"abcdefgh", "a b", "ab!", "!!!!!!!!", eightE, family + "abcdef", "\u00C9cole", "abc\xD9\xA1\xD9\xA2",
         "\xD0\xBF\xD0\xB0\xD1\x80\xD0\xBE\xD0\xBB\xD1\x8C\xD1\x8B\xD1\x85"},
        {"abcd1234", "abcdefghijklmn", "aB1", "Ab1!",
         "\xD0\x9F\xD0\xB0\xD1\x80\xD0\xBE\xD0\xBB\xD1\x8C\xD1\x8B\xD1\x85"},
        {},
        {"abcdefGHIJ1234"}};
    for (int score = 0; score < 5; ++score)
        for (const std::string& text : byScore[score])
            EXPECT_EQ(PassphraseStrength::score(text), score) << text;
    for (const auto& [score, label] : std::vector<std::pair<int, std::string>>{
             {0, "Weak"}, {1, "Weak"}, {2, "Fair"}, {3, "Good"}, {4, "Strong"}, {9, "Strong"}})
        EXPECT_EQ(PassphraseStrength::label(score), label) << score;
}

// ---- Wiping types ------------------------------------------------------------------------------

TEST(WipingTypesTest, OnlyThirtyTwoBytesMakeAKeyAndMovingWipesTheSource) {
    EXPECT_FALSE(SymmetricKey::fromBytes(Bytes(31, 1)));
    EXPECT_FALSE(SymmetricKey::fromBytes(Bytes(33, 1)));
    EXPECT_EQ(SymmetricKey::fromBytes(Bytes(32, 7)), keyOf(7));
    SymmetricKey source = keyOf(9);
    SymmetricKey moved = std::move(source);
    EXPECT_EQ(moved, keyOf(9));
    EXPECT_EQ(source, keyOf(0)); // NOLINT(bugprone-use-after-move): the wipe is the point

    std::string text = "a passphrase longer than the short-string buffer";
    SecretString secret(std::move(text));
    EXPECT_TRUE(text.empty()); // NOLINT(bugprone-use-after-move)
    SecretString copy = secret;
    SecretString taken = std::move(secret);
    EXPECT_TRUE(secret.empty()); // NOLINT(bugprone-use-after-move)
    EXPECT_EQ(taken.str(), "a passphrase longer than the short-string buffer");
    EXPECT_EQ(taken, copy);
}
