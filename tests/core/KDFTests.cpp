#include "core/BackupError.hpp"
#include "core/KDF.hpp"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <random>
#include <set>
#include <string>

using namespace stowage;

namespace {

Bytes fromHex(std::string_view hex) {
    Bytes out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<std::uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
    return out;
}

Bytes keyBytes(const SymmetricKey& key) {
    return Bytes(key.data(), key.data() + key.size());
}

std::string hex(const Bytes& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (auto b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

SymmetricKey keyOf(std::uint8_t fill) {
    std::array<std::uint8_t, 32> bytes;
    bytes.fill(fill);
    return SymmetricKey(bytes);
}

} // namespace

// ---- PBKDF2 ------------------------------------------------------------------------------------

// RFC 7914 section 11 gives 64-byte outputs; the first 32 bytes are PBKDF2's first block, which is
// exactly what a 32-byte derivation produces.
TEST(KDFTest, MatchesPublishedPbkdf2HmacSha256Vectors) {
    struct Vector {
        const char* passphrase;
        const char* salt;
        std::uint32_t iterations;
        const char* expected64;
    } vectors[] = {
        {"passwd", "salt", 1,
         "55ac046e56e3089fec1691c22544b605f94185216dde0465e68b9d57c20dacbc"
         "49ca9cccf179b645991664b39d77ef317c71b845b1e30bd509112041d3a19783"},
        {"Password", "NaCl", 80000,
         "4ddcd8f60b98be21830cee5ef22701f9641a4418d04c0414aeff08876b34ab56"
         "a1d425a1225833549adb841b51c9b3176a272bdebba1d078478f62b397f33c8d"},
    };
    for (const auto& v : vectors) {
        const SymmetricKey key = KDF::deriveKey(v.passphrase, toBytes(v.salt), v.iterations);
        EXPECT_EQ(hex(keyBytes(key)), std::string(v.expected64).substr(0, 64)) << v.passphrase;
    }
}

TEST(KDFTest, PrecomposedAndDecomposedAccentsGiveTheSameKey) {
    const Bytes salt = fromHex("000102030405060708090a0b0c0d0e0f");
    const SymmetricKey precomposed = KDF::deriveKey("caf\xC3\xA9 cr\xC3\xA8me", salt, 1000);
    const SymmetricKey decomposed = KDF::deriveKey("cafe\xCC\x81 cre\xCC\x80me", salt, 1000);
    EXPECT_EQ(precomposed, decomposed);
    // The derivation runs over the NFC bytes themselves, so the key is the plain PBKDF2 of them.
    EXPECT_EQ(KDF::normalizedPassphrase("cafe\xCC\x81").str(), "caf\xC3\xA9");
    // Hangul jamo compose too.
    EXPECT_EQ(KDF::normalizedPassphrase("\xE1\x84\x92\xE1\x85\xA1\xE1\x86\xAB").str(), "\xED\x95\x9C");
}

TEST(KDFTest, NoTrimmingNoCaseFoldingAndEveryParameterCounts) {
    const Bytes salt = fromHex("0011223344556677");
    const SymmetricKey base = KDF::deriveKey("secret", salt, 1000);
    EXPECT_EQ(base, KDF::deriveKey("secret", salt, 1000));
    EXPECT_FALSE(base == KDF::deriveKey("Secret", salt, 1000));
    EXPECT_FALSE(base == KDF::deriveKey("secret ", salt, 1000));
    EXPECT_FALSE(base == KDF::deriveKey(" secret", salt, 1000));
    EXPECT_FALSE(base == KDF::deriveKey("secret", fromHex("0011223344556678"), 1000));
    EXPECT_FALSE(base == KDF::deriveKey("secret", salt, 1001));
}

TEST(KDFTest, EmptyPassphraseAndEmptySaltDerive) {
    const SymmetricKey a = KDF::deriveKey("", {}, 1);
    EXPECT_EQ(a, KDF::deriveKey("", {}, 1));
    EXPECT_FALSE(a == KDF::deriveKey("a", {}, 1));
}

TEST(KDFTest, InvalidUtf8IsUsedByteForByte) {
    // Not replaced by U+FFFD, which would make distinct byte strings share a key.
    const Bytes salt = fromHex("a0a1a2a3a4a5a6a7");
    const SymmetricKey raw = KDF::deriveKey("pw\xFF", salt, 10);
    EXPECT_FALSE(raw == KDF::deriveKey("pw\xEF\xBF\xBD", salt, 10));
    EXPECT_FALSE(raw == KDF::deriveKey("pw\xFE", salt, 10));
    EXPECT_EQ(KDF::normalizedPassphrase("pw\xFF").str(), "pw\xFF");
}

TEST(KDFDeathTest, ZeroIterationsStopTheProcess) {
    EXPECT_DEATH(KDF::deriveKey("x", fromHex("00112233"), 0), "iteration count of 0");
}

TEST(KDFTest, RandomDataHasTheRequestedLengthAndVaries) {
    EXPECT_TRUE(KDF::randomData(0).empty());
    EXPECT_EQ(KDF::randomData(KDF::saltBytes).size(), 16u);
    std::set<Bytes> seen;
    for (int i = 0; i < 50; ++i)
        seen.insert(KDF::randomData(16));
    EXPECT_EQ(seen.size(), 50u);
    EXPECT_EQ(KDF::defaultIterations, 600000u);
    EXPECT_EQ(KDF::keyBytes, 32u);
}

// ---- Keys and recovery codes --------------------------------------------------------------------

TEST(SymmetricKeyTest, OnlyThirtyTwoBytesMakeAKeyAndMovingWipesTheSource) {
    EXPECT_FALSE(SymmetricKey::fromBytes(Bytes(31, 1)));
    EXPECT_FALSE(SymmetricKey::fromBytes(Bytes(33, 1)));
    ASSERT_TRUE(SymmetricKey::fromBytes(Bytes(32, 7)));
    EXPECT_EQ(*SymmetricKey::fromBytes(Bytes(32, 7)), keyOf(7));

    SymmetricKey source = keyOf(9);
    SymmetricKey moved = std::move(source);
    EXPECT_EQ(moved, keyOf(9));
    EXPECT_EQ(source, keyOf(0)); // NOLINT(bugprone-use-after-move): the wipe is the point
}

TEST(BundleKeyTest, GeneratedKeysDiffer) {
    std::set<Bytes> seen;
    for (int i = 0; i < 100; ++i)
        seen.insert(keyBytes(BundleKey::generate()));
    EXPECT_EQ(seen.size(), 100u);
}

TEST(BundleKeyTest, RecoveryCodeShapeAndRoundTrip) {
    const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (int i = 0; i < 500; ++i) {
        const SymmetricKey key = BundleKey::generate();
        const SecretString code = BundleKey::recoveryCode(key);
        ASSERT_EQ(code.size(), 44u);
        EXPECT_EQ(code.str().back(), '=');
        EXPECT_NE(code.str()[42], '=');
        EXPECT_EQ(code.str().find_first_not_of(alphabet), 43u);
        EXPECT_EQ(BundleKey::key(code.view()), key);
    }
    EXPECT_EQ(BundleKey::recoveryCode(keyOf(0)).str(), "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=");
    EXPECT_EQ(BundleKey::recoveryCode(keyOf(0xFF)).str(), "//////////////////////////////////////////8=");
}

TEST(BundleKeyTest, RecoveryCodeToleratesWhitespaceAtTheEndsOnly) {
    const SymmetricKey key = BundleKey::generate();
    const std::string code = BundleKey::recoveryCode(key).str();
    EXPECT_EQ(BundleKey::key("  " + code + "  "), key);
    EXPECT_EQ(BundleKey::key(code + "\n"), key);
    EXPECT_EQ(BundleKey::key("\t\r\n" + code + "\r\n"), key);
    // Any Unicode white space, line break or invisible mark a paste can bring, at either end.
    for (const char* around : {"\u00A0", "\u2028", "\u2029", "\u3000", "\uFEFF", "\u200B", "\u0085", "\u2003\r\n"}) {
        EXPECT_EQ(BundleKey::key(code + around), key) << around;
        EXPECT_EQ(BundleKey::key(std::string(around) + code), key) << around;
    }

    auto expectRefused = [](const std::string& text) {
        try {
            BundleKey::key(text);
            ADD_FAILURE() << "accepted: " << text;
        } catch (const BackupError& e) {
            EXPECT_EQ(e.kind(), BackupError::Kind::badRecoveryCode);
            EXPECT_STREQ(e.what(), "Recovery code is not valid");
        }
    };
    expectRefused(code.substr(0, 20) + " " + code.substr(20));
    expectRefused(code.substr(0, 20) + "\n" + code.substr(20));
    expectRefused(code.substr(0, 20) + "\u00A0" + code.substr(20));
    expectRefused(code + "\xC2"); // a broken sequence is not trimmed
    expectRefused(code + "\u00E9");
    expectRefused(code.substr(0, 43)); // "=" removed
    expectRefused("");
    expectRefused("   ");
    expectRefused(base64::encode(Bytes(31, 5)));
    expectRefused(base64::encode(Bytes(33, 5)));
    std::string urlSafe = code;
    urlSafe[3] = '-';
    expectRefused(urlSafe);
    std::string underscore = code;
    underscore[5] = '_';
    expectRefused(underscore);
    expectRefused(code.substr(0, 40) + "=" + code.substr(41)); // fill inside the code
    expectRefused(code + "AAAA");
}

TEST(BundleKeyTest, RecoveryCodeWithNonZeroUnusedBitsIsRefused) {
    // 32 bytes leave two unused bits in the last character before the fill; another writer setting
    // them would give a second text for the same key.
    const std::string code = BundleKey::recoveryCode(keyOf(0)).str(); // ...AAA=
    std::string noncanonical = code;
    noncanonical[42] = 'B'; // value 1: only the unused bits differ
    try {
        BundleKey::key(noncanonical);
        ADD_FAILURE() << "non-canonical code accepted";
    } catch (const BackupError& e) {
        EXPECT_EQ(e.kind(), BackupError::Kind::badRecoveryCode);
    }
    noncanonical[42] = 'E'; // value 4: a real bit of the last byte
    EXPECT_EQ(keyBytes(BundleKey::key(noncanonical)).back(), 1);
}

// ---- Base64 ------------------------------------------------------------------------------------

TEST(Base64Test, Rfc4648Vectors) {
    const std::pair<const char*, const char*> vectors[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
    };
    for (const auto& [plain, encoded] : vectors) {
        EXPECT_EQ(base64::encode(toBytes(plain)), encoded);
        EXPECT_EQ(base64::decode(encoded, base64::Strictness::canonical), toBytes(plain));
    }
}

TEST(Base64Test, AgreesWithLibcryptoOnRandomData) {
    std::mt19937 rng(42);
    for (std::size_t length = 0; length < 300; ++length) {
        Bytes data(length);
        for (auto& b : data)
            b = static_cast<std::uint8_t>(rng());
        std::string reference(4 * ((length + 2) / 3) + 1, '\0');
        const int n =
            EVP_EncodeBlock(reinterpret_cast<unsigned char*>(reference.data()), data.data(), static_cast<int>(length));
        reference.resize(static_cast<std::size_t>(n));
        ASSERT_EQ(base64::encode(data), reference) << length;
        ASSERT_EQ(base64::decode(reference, base64::Strictness::canonical), data) << length;
    }
}

TEST(Base64Test, LongInputsAgreeWithLibcrypto) {
    // Long enough for the vectorised loops, with every tail length after them.
    std::mt19937 rng(7);
    for (std::size_t length : {1000u, 4095u, 4096u, 4097u, 65536u + 23u, 1000003u}) {
        Bytes data(length);
        for (auto& b : data)
            b = static_cast<std::uint8_t>(rng());
        std::string reference(4 * ((length + 2) / 3) + 1, '\0');
        reference.resize(static_cast<std::size_t>(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(reference.data()),
                                                                  data.data(), static_cast<int>(length))));
        ASSERT_EQ(base64::encode(data), reference) << length;
        ASSERT_EQ(base64::decode(reference), data) << length;
    }
}

TEST(Base64Test, AForeignCharacterAnywhereIsRefused) {
    Bytes data(300);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<std::uint8_t>(i * 37 + 11);
    const std::string text = base64::encode(data);
    const char foreign[] = {'-', '_', ' ', '\0', '\n', '=',    '@',    '[',   '`',
                            '{', ':', '*', ',',  '.',  '\x7F', '\x80', '\xFF'};
    for (std::size_t at = 0; at + 4 < text.size(); ++at) {
        for (char c : foreign) {
            std::string bad = text;
            bad[at] = c;
            ASSERT_FALSE(base64::decode(bad)) << at << " " << int(c);
        }
    }
}

TEST(Base64Test, RefusesMalformedTextAndLeavesTheOutputAsItWas) {
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

TEST(PassphraseStrengthTest, ScoresLengthAndClasses) {
    EXPECT_EQ(PassphraseStrength::score(""), 0);
    EXPECT_EQ(PassphraseStrength::score("abcdefg"), 0);
    EXPECT_EQ(PassphraseStrength::score("abcdefgh"), 1);
    EXPECT_EQ(PassphraseStrength::score("abcd1234"), 2);
    EXPECT_EQ(PassphraseStrength::score("abcdefGHIJ1234"), 4);
    EXPECT_EQ(PassphraseStrength::score("abcdefghijklmn"), 2);
    EXPECT_EQ(PassphraseStrength::score("aB1"), 2);  // three classes, too short
    EXPECT_EQ(PassphraseStrength::score("a b"), 1);  // space counts as a symbol
    EXPECT_EQ(PassphraseStrength::score("ab!"), 1);  // punctuation too
    EXPECT_EQ(PassphraseStrength::score("Ab1!"), 2); // four classes still give two points
    EXPECT_EQ(PassphraseStrength::score("!!!!!!!!"), 1);
}

TEST(PassphraseStrengthTest, CountsUserPerceivedCharactersAndUnicodeClasses) {
    const std::string decomposedE = "e\xCC\x81";
    std::string seven, eight;
    for (int i = 0; i < 7; ++i)
        seven += decomposedE;
    eight = seven + decomposedE;
    EXPECT_EQ(PassphraseStrength::score(seven), 0); // 14 scalars, 7 characters
    EXPECT_EQ(PassphraseStrength::score(eight), 1);
    // A family emoji is one character made of seven scalars.
    const std::string family = "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7";
    EXPECT_EQ(PassphraseStrength::score(family + "abcdef"), 1); // 7 characters, two classes
    // Accented and non-Latin letters are letters with case, not symbols.
    EXPECT_EQ(PassphraseStrength::score("\xC3\x89"
                                        "cole"),
              1); // É + lowercase: two classes
    EXPECT_EQ(PassphraseStrength::score("\xD0\xBF\xD0\xB0\xD1\x80\xD0\xBE\xD0\xBB\xD1\x8C\xD1\x8B\xD1\x85"),
              1); // 8 Cyrillic lowercase letters
    EXPECT_EQ(PassphraseStrength::score("\xD0\x9F\xD0\xB0\xD1\x80\xD0\xBE\xD0\xBB\xD1\x8C\xD1\x8B\xD1\x85"), 2);
    // Letters without case belong to no class; Arabic-Indic digits are numeric.
    EXPECT_EQ(PassphraseStrength::score("\xE3\x83\x91\xE3\x82\xB9\xE3\x83\xAF\xE3\x83\xBC\xE3\x83\x89"), 0);
    EXPECT_EQ(PassphraseStrength::score("abc\xD9\xA1\xD9\xA2"), 1);
}

TEST(PassphraseStrengthTest, Labels) {
    EXPECT_EQ(PassphraseStrength::label(0), "Weak");
    EXPECT_EQ(PassphraseStrength::label(1), "Weak");
    EXPECT_EQ(PassphraseStrength::label(2), "Fair");
    EXPECT_EQ(PassphraseStrength::label(3), "Good");
    EXPECT_EQ(PassphraseStrength::label(4), "Strong");
    EXPECT_EQ(PassphraseStrength::label(9), "Strong");
}

// ---- Wiping types ------------------------------------------------------------------------------

TEST(SecretStringTest, TakesTextOverAndLeavesTheSourceEmpty) {
    std::string source = "a passphrase longer than the short-string buffer";
    SecretString secret(std::move(source));
    EXPECT_EQ(secret.str(), "a passphrase longer than the short-string buffer");
    EXPECT_TRUE(source.empty()); // NOLINT(bugprone-use-after-move)

    SecretString copy = secret;
    SecretString moved = std::move(secret);
    EXPECT_TRUE(secret.empty()); // NOLINT(bugprone-use-after-move)
    EXPECT_EQ(moved, copy);
    moved.append(std::string(200, 'x'));
    EXPECT_EQ(moved.size(), copy.size() + 200);
    moved.clear();
    EXPECT_TRUE(moved.empty());
}

TEST(KeySourceTest, HoldsEitherCase) {
    const KeySource raw = KeySource::rawKey(keyOf(3));
    EXPECT_EQ(raw.kind(), KeySource::Kind::rawKey);
    EXPECT_EQ(raw.key(), keyOf(3));
    const KeySource pass = KeySource::passphrase("correct horse");
    EXPECT_EQ(pass.kind(), KeySource::Kind::passphrase);
    EXPECT_EQ(pass.passphraseText().str(), "correct horse");
}
