#include "core/KDF.hpp"
#include "core/UnicodeTrim.hpp"

#include "core/BackupError.hpp"
#include "core/platform/KeyStore.hpp"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/kdf.h>
#include <openssl/params.h>
#include <openssl/rand.h>

#include <unicode/ubrk.h>
#include <unicode/uchar.h>
#include <unicode/unorm2.h>
#include <unicode/ustring.h>
#include <unicode/utf16.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace stowage {

// ---- Wiping ------------------------------------------------------------------------------------

void secureWipe(void* data, std::size_t size) noexcept {
    if (data != nullptr && size > 0)
        OPENSSL_cleanse(data, size);
}

void wipeString(std::string& text) noexcept {
    // Growing to the capacity never reallocates, and makes every byte of the buffer addressable.
    text.resize(text.capacity());
    secureWipe(text.data(), text.size());
    text.clear();
}

void wipeBytes(Bytes& bytes) noexcept {
    secureWipe(bytes.data(), bytes.capacity());
    bytes.clear();
}

namespace {

/// A UTF-16 buffer for ICU that is wiped when it goes away.
struct WipedUChars {
    std::vector<UChar> chars;
    ~WipedUChars() { secureWipe(chars.data(), chars.capacity() * sizeof(UChar)); }
};

[[noreturn]] void fatal(const char* what) {
    std::fprintf(stderr, "stowage: fatal: %s\n", what);
    std::abort();
}

/// UTF-8 → UTF-16; false when the text is not valid UTF-8.
bool toUtf16(std::string_view text, WipedUChars& out) {
    UErrorCode status = U_ZERO_ERROR;
    int32_t length = 0;
    u_strFromUTF8(nullptr, 0, &length, text.data(), static_cast<int32_t>(text.size()), &status);
    if (status != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(status))
        return false;
    out.chars.assign(static_cast<std::size_t>(length) + 1, 0);
    status = U_ZERO_ERROR;
    u_strFromUTF8(out.chars.data(), length + 1, &length, text.data(), static_cast<int32_t>(text.size()), &status);
    if (U_FAILURE(status))
        return false;
    out.chars.resize(static_cast<std::size_t>(length));
    return true;
}

/// UTF-16 with replacement characters for invalid UTF-8 (used where the text is only looked at).
void toUtf16Lenient(std::string_view text, WipedUChars& out) {
    UErrorCode status = U_ZERO_ERROR;
    int32_t length = 0;
    int32_t substitutions = 0;
    u_strFromUTF8WithSub(nullptr, 0, &length, text.data(), static_cast<int32_t>(text.size()), 0xFFFD, &substitutions,
                         &status);
    out.chars.assign(static_cast<std::size_t>(length) + 1, 0);
    status = U_ZERO_ERROR;
    u_strFromUTF8WithSub(out.chars.data(), length + 1, &length, text.data(), static_cast<int32_t>(text.size()), 0xFFFD,
                         &substitutions, &status);
    out.chars.resize(U_SUCCESS(status) ? static_cast<std::size_t>(length) : 0);
}

bool isAscii(std::string_view text) {
    for (char c : text)
        if (static_cast<unsigned char>(c) >= 0x80)
            return false;
    return true;
}

} // namespace

// ---- SymmetricKey ------------------------------------------------------------------------------

std::optional<SymmetricKey> SymmetricKey::fromBytes(const std::uint8_t* data, std::size_t size) {
    if (size != byteCount || data == nullptr)
        return std::nullopt;
    std::array<std::uint8_t, byteCount> bytes;
    std::memcpy(bytes.data(), data, byteCount);
    SymmetricKey key(bytes);
    secureWipe(bytes.data(), bytes.size());
    return key;
}

SymmetricKey::SymmetricKey(SymmetricKey&& other) noexcept : bytes_(other.bytes_) {
    secureWipe(other.bytes_.data(), other.bytes_.size());
}

SymmetricKey& SymmetricKey::operator=(SymmetricKey&& other) noexcept {
    if (this != &other) {
        bytes_ = other.bytes_;
        secureWipe(other.bytes_.data(), other.bytes_.size());
    }
    return *this;
}

SymmetricKey::~SymmetricKey() {
    secureWipe(bytes_.data(), bytes_.size());
}

bool SymmetricKey::operator==(const SymmetricKey& other) const noexcept {
    return CRYPTO_memcmp(bytes_.data(), other.bytes_.data(), byteCount) == 0;
}

// ---- SecretString ------------------------------------------------------------------------------

SecretString::SecretString(std::string&& text) noexcept {
    // Copy rather than steal: a short text lives inside the source object, and a stolen long buffer
    // would leave this object's capacity decided by the source. Either way the source is wiped.
    try {
        text_.reserve(text.size());
        text_.assign(text);
    } catch (...) {
        text_.clear();
    }
    wipeString(text);
}

SecretString::SecretString(std::string_view text) {
    text_.reserve(text.size());
    text_.assign(text);
}

SecretString& SecretString::operator=(const SecretString& other) {
    if (this != &other) {
        clear();
        append(other.text_);
    }
    return *this;
}

SecretString& SecretString::operator=(SecretString&& other) noexcept {
    if (this != &other) {
        clear();
        try {
            append(other.text_);
        } catch (...) {
            clear();
        }
        other.clear();
    }
    return *this;
}

void SecretString::clear() noexcept {
    wipeString(text_);
}

void SecretString::append(std::string_view more) {
    if (text_.size() + more.size() <= text_.capacity()) {
        text_.append(more);
        return;
    }
    std::string grown;
    grown.reserve(std::max(text_.size() + more.size(), 2 * text_.capacity()));
    grown.append(text_).append(more);
    wipeString(text_);
    text_.swap(grown);
}

// ---- KDF ---------------------------------------------------------------------------------------

namespace KDF {

SecretString normalizedPassphrase(std::string_view passphrase) {
    if (isAscii(passphrase))
        return SecretString(passphrase);
    WipedUChars source;
    if (!toUtf16(passphrase, source))
        return SecretString(passphrase);
    UErrorCode status = U_ZERO_ERROR;
    const UNormalizer2* nfc = unorm2_getNFCInstance(&status);
    if (U_FAILURE(status))
        fatal("Unicode normalisation is unavailable");
    const auto sourceLength = static_cast<int32_t>(source.chars.size());
    if (unorm2_quickCheck(nfc, source.chars.data(), sourceLength, &status) == UNORM_YES && U_SUCCESS(status))
        return SecretString(passphrase);

    WipedUChars composed;
    status = U_ZERO_ERROR;
    int32_t length = unorm2_normalize(nfc, source.chars.data(), sourceLength, nullptr, 0, &status);
    composed.chars.assign(static_cast<std::size_t>(length) + 1, 0);
    status = U_ZERO_ERROR;
    length = unorm2_normalize(nfc, source.chars.data(), sourceLength, composed.chars.data(), length + 1, &status);
    if (U_FAILURE(status))
        fatal("Unicode normalisation failed");

    std::string utf8;
    status = U_ZERO_ERROR;
    int32_t utf8Length = 0;
    u_strToUTF8(nullptr, 0, &utf8Length, composed.chars.data(), length, &status);
    utf8.assign(static_cast<std::size_t>(utf8Length) + 1, '\0');
    status = U_ZERO_ERROR;
    u_strToUTF8(utf8.data(), utf8Length + 1, &utf8Length, composed.chars.data(), length, &status);
    if (U_FAILURE(status)) {
        wipeString(utf8);
        fatal("Unicode conversion failed");
    }
    utf8.resize(static_cast<std::size_t>(utf8Length));
    return SecretString(std::move(utf8));
}

SymmetricKey deriveKey(std::string_view passphrase, const Bytes& salt, std::uint32_t iterations) {
    static EVP_KDF* const pbkdf2 = EVP_KDF_fetch(nullptr, OSSL_KDF_NAME_PBKDF2, nullptr);
    if (pbkdf2 == nullptr)
        fatal("PBKDF2 is unavailable in libcrypto");

    const SecretString normalized = normalizedPassphrase(passphrase);
    // OpenSSL wants a non-null pointer even for empty inputs.
    static const unsigned char empty = 0;
    void* passData = normalized.empty() ? const_cast<unsigned char*>(&empty)
                                        : static_cast<void*>(const_cast<char*>(normalized.str().data()));
    void* saltData = salt.empty() ? const_cast<unsigned char*>(&empty) : const_cast<std::uint8_t*>(salt.data());
    std::uint64_t iter = iterations;
    // Short salts and low counts are the caller's decision (bundles carry their own parameters), so
    // the SP 800-132 lower-bound checks are switched off explicitly.
    int noLowerBoundChecks = 1;
    char digest[] = "SHA256";
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_PASSWORD, passData, normalized.size()),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT, saltData, salt.size()),
        OSSL_PARAM_construct_uint64(OSSL_KDF_PARAM_ITER, &iter),
        OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0),
        OSSL_PARAM_construct_int(OSSL_KDF_PARAM_PKCS5, &noLowerBoundChecks),
        OSSL_PARAM_construct_end(),
    };

    EVP_KDF_CTX* ctx = EVP_KDF_CTX_new(pbkdf2);
    if (ctx == nullptr)
        fatal("PBKDF2 context allocation failed");
    std::array<std::uint8_t, SymmetricKey::byteCount> out{};
    const int ok = EVP_KDF_derive(ctx, out.data(), out.size(), params);
    EVP_KDF_CTX_free(ctx); // frees its copy of the password with a wiping free
    if (ok != 1) {
        secureWipe(out.data(), out.size());
        fatal(iterations == 0 ? "PBKDF2 refused an iteration count of 0" : "PBKDF2 derivation failed");
    }
    SymmetricKey key(out);
    secureWipe(out.data(), out.size());
    return key;
}

Bytes randomData(std::size_t count) {
    Bytes out(count);
    if (count > 0 && RAND_bytes(out.data(), static_cast<int>(count)) != 1)
        fatal("the secure random generator failed");
    return out;
}

} // namespace KDF

// ---- BundleKey ---------------------------------------------------------------------------------

namespace BundleKey {

SymmetricKey generate() {
    std::array<std::uint8_t, SymmetricKey::byteCount> bytes{};
    if (RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) != 1)
        fatal("the secure random generator failed");
    SymmetricKey key(bytes);
    secureWipe(bytes.data(), bytes.size());
    return key;
}

SecretString recoveryCode(const SymmetricKey& key) {
    std::string text(base64::encodedLength(key.size()), '\0');
    base64::encodeTo(key.data(), key.size(), text.data());
    return SecretString(std::move(text));
}

SymmetricKey key(std::string_view recoveryCode) {
    // Only the ends are trimmed: anything inside the code makes it invalid. A paste or a text file
    // leaves white space, line breaks and invisible marks (a byte-order mark, a zero-width space)
    // around a code; none is in the Base64 alphabet, so dropping them can never change which key a
    // code names.
    recoveryCode = trimUnicodeEnds(recoveryCode, true);
    Bytes bytes;
    bytes.reserve(SymmetricKey::byteCount + 3);
    if (!base64::decodeAppend(recoveryCode, bytes, base64::Strictness::canonical)) {
        wipeBytes(bytes);
        throw BackupError::badRecoveryCode();
    }
    auto result = SymmetricKey::fromBytes(bytes);
    wipeBytes(bytes);
    if (!result)
        throw BackupError::badRecoveryCode();
    return std::move(*result);
}

namespace {

/// What a keychain worker shares with the caller that waits for it. The worker holds its own
/// reference, so a worker that outlives its caller's wait still finds everything alive; the last
/// owner to let go destroys the state and with it the key copy, which wipes itself.
struct KeychainCall {
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    bool stored = false;
    std::optional<SymmetricKey> key;
    std::shared_ptr<KeyStore> store;
};

std::chrono::steady_clock::duration waitLimit(double timeout) {
    // NaN and negative limits wait not at all; absurdly long ones are capped at a day.
    if (!(timeout > 0))
        return std::chrono::steady_clock::duration::zero();
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(std::min(timeout, 86400.0)));
}

/// Runs `job` on its own worker thread and waits for it until the limit; false on time-out or when
/// no thread could be started.
bool runBounded(const std::shared_ptr<KeychainCall>& call, double timeout, void (*job)(KeychainCall&)) {
    const auto deadline = std::chrono::steady_clock::now() + waitLimit(timeout);
    try {
        std::thread([call, job] {
            job(*call);
            std::lock_guard lock(call->mutex);
            call->done = true;
            call->finished.notify_all();
        }).detach();
    } catch (const std::system_error&) {
        return false;
    }
    std::unique_lock lock(call->mutex);
    return call->finished.wait_until(lock, deadline, [&] { return call->done; });
}

} // namespace

bool storeInKeychain(const SymmetricKey& key, double timeout) {
    return storeInKeychain(key, timeout, KeyStore::standard());
}

bool storeInKeychain(const SymmetricKey& key, double timeout, std::shared_ptr<KeyStore> store) {
    if (!store)
        return false;
    auto call = std::make_shared<KeychainCall>();
    call->key = key;
    call->store = std::move(store);
    const bool answered = runBounded(call, timeout, [](KeychainCall& c) {
        bool ok = false;
        try {
            ok = c.store->store(*c.key) == KeyStore::Status::ok;
        } catch (...) {
            ok = false;
        }
        std::lock_guard lock(c.mutex);
        c.stored = ok;
    });
    if (!answered)
        return false;
    std::lock_guard lock(call->mutex);
    return call->stored;
}

std::optional<SymmetricKey> loadFromKeychain(double timeout) {
    return loadFromKeychain(timeout, KeyStore::standard());
}

std::optional<SymmetricKey> loadFromKeychain(double timeout, std::shared_ptr<KeyStore> store) {
    if (!store)
        return std::nullopt;
    auto call = std::make_shared<KeychainCall>();
    call->store = std::move(store);
    const bool answered = runBounded(call, timeout, [](KeychainCall& c) {
        std::optional<SymmetricKey> found;
        try {
            KeyStore::Loaded loaded = c.store->load();
            if (loaded.status == KeyStore::Status::ok)
                found = std::move(loaded.key);
        } catch (...) {
            found.reset();
        }
        std::lock_guard lock(c.mutex);
        c.key = std::move(found);
    });
    if (!answered)
        return std::nullopt;
    std::lock_guard lock(call->mutex);
    return call->key;
}

} // namespace BundleKey

// ---- PassphraseStrength ------------------------------------------------------------------------

namespace PassphraseStrength {

int score(std::string_view passphrase) {
    if (passphrase.empty())
        return 0;
    WipedUChars text;
    toUtf16Lenient(passphrase, text);
    const auto length = static_cast<int32_t>(text.chars.size());

    UErrorCode status = U_ZERO_ERROR;
    UBreakIterator* clusters = ubrk_open(UBRK_CHARACTER, "", text.chars.data(), length, &status);
    if (U_FAILURE(status))
        fatal("Unicode text segmentation is unavailable");

    int characters = 0;
    bool lower = false, upper = false, digit = false, symbol = false;
    for (int32_t start = ubrk_first(clusters), end = ubrk_next(clusters); end != UBRK_DONE;
         start = end, end = ubrk_next(clusters)) {
        ++characters;
        // A user-perceived character takes the properties of its first scalar (a base letter keeps
        // its class when combining marks follow it).
        UChar32 c;
        U16_GET(text.chars.data(), 0, start, length, c);
        const bool isLetter = u_hasBinaryProperty(c, UCHAR_ALPHABETIC);
        const bool isNumeric = u_getIntPropertyValue(c, UCHAR_NUMERIC_TYPE) != U_NT_NONE;
        if (isLetter && u_hasBinaryProperty(c, UCHAR_LOWERCASE))
            lower = true;
        if (isLetter && u_hasBinaryProperty(c, UCHAR_UPPERCASE))
            upper = true;
        if (isNumeric)
            digit = true;
        if (!isLetter && !isNumeric)
            symbol = true;
    }
    ubrk_close(clusters);

    int points = 0;
    if (characters >= 8)
        ++points;
    if (characters >= 14)
        ++points;
    const int classes = int(lower) + int(upper) + int(digit) + int(symbol);
    if (classes >= 2)
        ++points;
    if (classes >= 3)
        ++points;
    return points;
}

std::string label(int score) {
    if (score <= 1)
        return "Weak";
    if (score == 2)
        return "Fair";
    if (score == 3)
        return "Good";
    return "Strong";
}

} // namespace PassphraseStrength

// ---- Base64 ------------------------------------------------------------------------------------

namespace base64 {

namespace {

constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

/// Two output characters for every 12-bit group, so three input bytes take two lookups.
struct PairTable {
    std::array<std::uint16_t, 4096> pairs{};
    constexpr PairTable() {
        for (unsigned i = 0; i < 4096; ++i) {
            const auto hi = static_cast<unsigned char>(alphabet[i >> 6]);
            const auto lo = static_cast<unsigned char>(alphabet[i & 63]);
            // Stored in memory order: the first character at the lower address.
            if constexpr (std::endian::native == std::endian::little)
                pairs[i] = static_cast<std::uint16_t>(hi | (lo << 8));
            else
                pairs[i] = static_cast<std::uint16_t>((hi << 8) | lo);
        }
    }
};
constexpr PairTable pairTable;

/// Decoding tables, one per position in a group of four, holding the 6-bit value already shifted
/// into place; characters outside the alphabet carry bit 24 so one test catches any of them.
constexpr std::uint32_t invalid = 0x01000000;
struct DecodeTables {
    std::array<std::uint32_t, 256> d[4]{};
    constexpr DecodeTables() {
        for (auto& table : d)
            table.fill(invalid);
        for (std::uint32_t v = 0; v < 64; ++v) {
            const auto c = static_cast<unsigned char>(alphabet[v]);
            d[0][c] = v << 18;
            d[1][c] = v << 12;
            d[2][c] = v << 6;
            d[3][c] = v;
        }
    }
};
constexpr DecodeTables decodeTables;

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define STOWAGE_BASE64_AVX2 1

bool haveAvx2() {
    static const bool yes = __builtin_cpu_supports("avx2");
    return yes;
}

/// Encodes whole 24-byte blocks while 28 bytes can be read (the loads take 16 bytes from offsets 0
/// and 12); answers how many input bytes it consumed. Each 32-bit lane gathers three input bytes,
/// the multiplies move the four 6-bit fields into separate bytes, and a 16-entry table of offsets
/// turns each field into its character.
__attribute__((target("avx2"))) std::size_t encodeAvx2(const std::uint8_t* in, std::size_t size, char* out) {
    const __m256i gather = _mm256_setr_epi8(1, 0, 2, 1, 4, 3, 5, 4, 7, 6, 8, 7, 10, 9, 11, 10, //
                                            1, 0, 2, 1, 4, 3, 5, 4, 7, 6, 8, 7, 10, 9, 11, 10);
    const __m256i offsets = _mm256_setr_epi8('a' - 26, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52,
                                             '0' - 52, '0' - 52, '0' - 52, '0' - 52, '+' - 62, '/' - 63, 'A', 0, 0, //
                                             'a' - 26, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52,
                                             '0' - 52, '0' - 52, '0' - 52, '0' - 52, '+' - 62, '/' - 63, 'A', 0, 0);
    std::size_t i = 0;
    for (; i + 28 <= size; i += 24, out += 32) {
        const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
        const __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i + 12));
        __m256i v = _mm256_shuffle_epi8(_mm256_inserti128_si256(_mm256_castsi128_si256(lo), hi, 1), gather);
        const __m256i ac =
            _mm256_mulhi_epu16(_mm256_and_si256(v, _mm256_set1_epi32(0x0fc0fc00)), _mm256_set1_epi32(0x04000040));
        const __m256i bd =
            _mm256_mullo_epi16(_mm256_and_si256(v, _mm256_set1_epi32(0x003f03f0)), _mm256_set1_epi32(0x01000010));
        const __m256i fields = _mm256_or_si256(ac, bd);
        __m256i index = _mm256_subs_epu8(fields, _mm256_set1_epi8(51));
        const __m256i upper = _mm256_cmpgt_epi8(_mm256_set1_epi8(26), fields);
        index = _mm256_or_si256(index, _mm256_and_si256(upper, _mm256_set1_epi8(13)));
        v = _mm256_add_epi8(_mm256_shuffle_epi8(offsets, index), fields);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), v);
    }
    return i;
}

/// Decodes 32-character blocks (no fill) while 32 output bytes can be written; answers how many
/// characters it consumed, or SIZE_MAX when it met a character outside the alphabet. The nibble
/// tables flag invalid characters; the roll table maps each character class to its offset.
__attribute__((target("avx2"))) std::size_t decodeAvx2(const char* in, std::size_t size, std::uint8_t* out,
                                                       std::size_t room) {
    const __m256i lutLo = _mm256_setr_epi8(
        0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x13, 0x1A, 0x1B, 0x1B, 0x1B, 0x1A, //
        0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x13, 0x1A, 0x1B, 0x1B, 0x1B, 0x1A);
    const __m256i lutHi = _mm256_setr_epi8(
        0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, //
        0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10);
    const __m256i lutRoll = _mm256_setr_epi8(0, 16, 19, 4, -65, -65, -71, -71, 0, 0, 0, 0, 0, 0, 0, 0, //
                                             0, 16, 19, 4, -65, -65, -71, -71, 0, 0, 0, 0, 0, 0, 0, 0);
    const __m256i mask2F = _mm256_set1_epi8(0x2F);
    const __m256i pack = _mm256_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1, //
                                          2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1);
    const __m256i lanes = _mm256_setr_epi32(0, 1, 2, 4, 5, 6, -1, -1);
    std::size_t i = 0;
    for (; i + 32 <= size && room >= 32; i += 32, out += 24, room -= 24) {
        __m256i str = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + i));
        const __m256i hiNibbles = _mm256_and_si256(_mm256_srli_epi32(str, 4), mask2F);
        const __m256i loNibbles = _mm256_and_si256(str, mask2F);
        const __m256i hi = _mm256_shuffle_epi8(lutHi, hiNibbles);
        const __m256i lo = _mm256_shuffle_epi8(lutLo, loNibbles);
        if (!_mm256_testz_si256(lo, hi))
            return SIZE_MAX;
        const __m256i slash = _mm256_cmpeq_epi8(str, mask2F);
        str = _mm256_add_epi8(str, _mm256_shuffle_epi8(lutRoll, _mm256_add_epi8(slash, hiNibbles)));
        const __m256i pairs = _mm256_maddubs_epi16(str, _mm256_set1_epi32(0x01400140));
        __m256i words = _mm256_madd_epi16(pairs, _mm256_set1_epi32(0x00011000));
        words = _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(words, pack), lanes);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), words);
    }
    return i;
}
#endif

} // namespace

std::size_t encodedLength(std::size_t byteCount) noexcept {
    return (byteCount + 2) / 3 * 4;
}

void encodeTo(const std::uint8_t* data, std::size_t size, char* out) noexcept {
    std::size_t i = 0;
#ifdef STOWAGE_BASE64_AVX2
    if (haveAvx2()) {
        i = encodeAvx2(data, size, out);
        out += i / 3 * 4;
    }
#endif
    for (; i + 3 <= size; i += 3) {
        const std::uint32_t v = (std::uint32_t(data[i]) << 16) | (std::uint32_t(data[i + 1]) << 8) | data[i + 2];
        std::memcpy(out, &pairTable.pairs[v >> 12], 2);
        std::memcpy(out + 2, &pairTable.pairs[v & 0xFFF], 2);
        out += 4;
    }
    const std::size_t rest = size - i;
    if (rest == 1) {
        const std::uint32_t v = std::uint32_t(data[i]) << 16;
        out[0] = alphabet[(v >> 18) & 63];
        out[1] = alphabet[(v >> 12) & 63];
        out[2] = '=';
        out[3] = '=';
    } else if (rest == 2) {
        const std::uint32_t v = (std::uint32_t(data[i]) << 16) | (std::uint32_t(data[i + 1]) << 8);
        out[0] = alphabet[(v >> 18) & 63];
        out[1] = alphabet[(v >> 12) & 63];
        out[2] = alphabet[(v >> 6) & 63];
        out[3] = '=';
    }
}

std::string encode(const std::uint8_t* data, std::size_t size) {
    std::string out(encodedLength(size), '\0');
    encodeTo(data, size, out.data());
    return out;
}

bool decodeAppend(std::string_view text, Bytes& out, Strictness strictness) {
    if (text.size() % 4 != 0)
        return false;
    const std::size_t former = out.size();
    if (text.empty())
        return true;
    std::size_t padding = 0;
    if (text.back() == '=')
        padding = text[text.size() - 2] == '=' ? 2 : 1;
    const std::size_t groups = text.size() / 4;
    out.resize(former + groups * 3 - padding);

    auto fail = [&] {
        secureWipe(out.data() + former, out.size() - former);
        out.resize(former);
        return false;
    };

    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    std::uint8_t* o = out.data() + former;
    const auto& d = decodeTables.d;
    const std::size_t fullGroups = groups - 1;
    std::size_t g = 0;
#ifdef STOWAGE_BASE64_AVX2
    // Every group but the last, which may carry the fill.
    if (haveAvx2()) {
        const std::size_t done = decodeAvx2(text.data(), fullGroups * 4, o, out.size() - former);
        if (done == SIZE_MAX)
            return fail();
        g = done / 4;
        s += done;
        o += done / 4 * 3;
    }
#endif
    for (; g < fullGroups; ++g, s += 4, o += 3) {
        const std::uint32_t v = d[0][s[0]] | d[1][s[1]] | d[2][s[2]] | d[3][s[3]];
        if (v & invalid)
            return fail();
        o[0] = static_cast<std::uint8_t>(v >> 16);
        o[1] = static_cast<std::uint8_t>(v >> 8);
        o[2] = static_cast<std::uint8_t>(v);
    }
    // The last group may carry "=" fill.
    if (padding == 0) {
        const std::uint32_t v = d[0][s[0]] | d[1][s[1]] | d[2][s[2]] | d[3][s[3]];
        if (v & invalid)
            return fail();
        o[0] = static_cast<std::uint8_t>(v >> 16);
        o[1] = static_cast<std::uint8_t>(v >> 8);
        o[2] = static_cast<std::uint8_t>(v);
    } else if (padding == 1) {
        const std::uint32_t v = d[0][s[0]] | d[1][s[1]] | d[2][s[2]];
        if ((v & invalid) || (strictness == Strictness::canonical && (v & 0xFF) != 0))
            return fail();
        o[0] = static_cast<std::uint8_t>(v >> 16);
        o[1] = static_cast<std::uint8_t>(v >> 8);
    } else {
        const std::uint32_t v = d[0][s[0]] | d[1][s[1]];
        if ((v & invalid) || (strictness == Strictness::canonical && (v & 0xFFFF) != 0))
            return fail();
        o[0] = static_cast<std::uint8_t>(v >> 16);
    }
    return true;
}

std::optional<Bytes> decode(std::string_view text, Strictness strictness) {
    Bytes out;
    if (!decodeAppend(text, out, strictness))
        return std::nullopt;
    return out;
}

} // namespace base64

} // namespace stowage
