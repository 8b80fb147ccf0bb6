#pragma once
// Keys for the secrets bundle: the key type, passphrase derivation (PBKDF2-HMAC-SHA256 over the
// NFC-normalised passphrase), random keys and their recovery codes, the keychain copy of the random
// key, and the advisory passphrase strength meter.
//
// Key material and passphrases live in types that wipe their bytes when they are destroyed, so a
// secret does not linger in freed memory longer than the value that holds it.

#include "core/Types.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace stowage {

class KeyStore;

/// Overwrites `size` bytes in a way the optimiser cannot remove.
void secureWipe(void* data, std::size_t size) noexcept;

/// A 256-bit symmetric key: exactly 32 bytes, wiped on destruction and when moved from.
class SymmetricKey {
public:
    static constexpr std::size_t byteCount = 32;

    explicit SymmetricKey(const std::array<std::uint8_t, byteCount>& bytes) : bytes_(bytes) {}
    /// Absent unless `size` is exactly 32.
    static std::optional<SymmetricKey> fromBytes(const std::uint8_t* data, std::size_t size);
    static std::optional<SymmetricKey> fromBytes(const Bytes& bytes) { return fromBytes(bytes.data(), bytes.size()); }

    SymmetricKey(const SymmetricKey&) = default;
    SymmetricKey& operator=(const SymmetricKey&) = default;
    SymmetricKey(SymmetricKey&& other) noexcept;
    SymmetricKey& operator=(SymmetricKey&& other) noexcept;
    ~SymmetricKey();

    const std::uint8_t* data() const noexcept { return bytes_.data(); }
    static constexpr std::size_t size() noexcept { return byteCount; }

    /// Constant-time comparison.
    bool operator==(const SymmetricKey& other) const noexcept;

private:
    std::array<std::uint8_t, byteCount> bytes_;
};

/// Text that is wiped when it is destroyed, cleared or moved from (passphrases, recovery codes).
class SecretString {
public:
    SecretString() = default;
    /// Takes the text over; the argument is left empty and its buffer wiped.
    SecretString(std::string&& text) noexcept;                               // NOLINT(google-explicit-constructor)
    SecretString(std::string_view text);                                     // NOLINT(google-explicit-constructor)
    SecretString(const char* text) : SecretString(std::string_view(text)) {} // NOLINT
    SecretString(const SecretString& other) : SecretString(std::string_view(other.text_)) {}
    SecretString& operator=(const SecretString& other);
    SecretString(SecretString&& other) noexcept : SecretString(std::move(other.text_)) {}
    SecretString& operator=(SecretString&& other) noexcept;
    ~SecretString() { clear(); }

    const std::string& str() const noexcept { return text_; }
    std::string_view view() const noexcept { return text_; }
    bool empty() const noexcept { return text_.empty(); }
    std::size_t size() const noexcept { return text_.size(); }
    /// Wipes the whole buffer (its capacity, not just its length) and empties the text.
    void clear() noexcept;
    /// Appends without leaving an unwiped copy behind when the buffer grows.
    void append(std::string_view more);

    bool operator==(const SecretString& other) const noexcept { return text_ == other.text_; }

private:
    std::string text_;
};

/// Wipes the whole buffer of a string (its capacity, not just its length) and empties it.
void wipeString(std::string& text) noexcept;
/// Wipes and empties a byte buffer.
void wipeBytes(Bytes& bytes) noexcept;

/// Where the bundle key comes from: a raw 256-bit key (the random key, from the keychain or from a
/// recovery code), or a passphrase from which the key is derived with the bundle's salt and count.
class KeySource {
public:
    enum class Kind { rawKey, passphrase };

    static KeySource rawKey(SymmetricKey key) { return KeySource(std::move(key)); }
    static KeySource passphrase(SecretString text) { return KeySource(std::move(text)); }

    Kind kind() const noexcept { return value_.index() == 0 ? Kind::rawKey : Kind::passphrase; }
    /// Precondition: kind() == Kind::rawKey.
    const SymmetricKey& key() const { return std::get<SymmetricKey>(value_); }
    /// Precondition: kind() == Kind::passphrase.
    const SecretString& passphraseText() const { return std::get<SecretString>(value_); }

private:
    explicit KeySource(SymmetricKey key) : value_(std::move(key)) {}
    explicit KeySource(SecretString text) : value_(std::move(text)) {}
    std::variant<SymmetricKey, SecretString> value_;
};

namespace KDF {

inline constexpr std::uint32_t defaultIterations = 600000;
inline constexpr std::size_t saltBytes = 16;
inline constexpr std::size_t keyBytes = 32;

/// PBKDF2-HMAC-SHA256 of the passphrase's NFC form in UTF-8 (no trimming, no case folding; the empty
/// passphrase is valid), 32 bytes of output. Text that is not valid UTF-8 is used byte for byte.
/// `iterations` must not be 0: the primitive refuses it and that failure stops the process, as does
/// any other failure of the primitive — no key is ever produced another way.
SymmetricKey deriveKey(std::string_view passphrase, const Bytes& salt, std::uint32_t iterations);

/// `count` bytes from the operating system's secure random source; a failure stops the process.
Bytes randomData(std::size_t count);

/// The passphrase in Unicode canonical composition (NFC); invalid UTF-8 comes back unchanged.
SecretString normalizedPassphrase(std::string_view passphrase);

} // namespace KDF

namespace BundleKey {

/// A fresh key of 256 random bits.
SymmetricKey generate();

/// Standard Base64 (RFC 4648, with "=" fill, no line breaks) of the 32 key bytes: 44 characters.
SecretString recoveryCode(const SymmetricKey& key);

/// The key a recovery code encodes. Unicode white space, line breaks and invisible default-ignorable
/// characters (a byte-order mark, a zero-width space) at either end are ignored; anything else that is not
/// canonical standard Base64 of exactly 32 bytes (inner whitespace, missing fill, characters outside
/// the alphabet, non-zero unused bits) throws BackupError::badRecoveryCode().
SymmetricKey key(std::string_view recoveryCode);

/// Replaces the one keychain item (service "io.stowage.bundle", account "primary") with `key`.
/// Waits at most `timeout` seconds for the store; answers false on failure or time-out and never
/// throws. A store that finishes after the time-out still completes in the background.
bool storeInKeychain(const SymmetricKey& key, double timeout);
/// The same against a given store (tests, and platforms choosing their store).
bool storeInKeychain(const SymmetricKey& key, double timeout, std::shared_ptr<KeyStore> store);

/// The key of the keychain item; absent when there is none, it cannot be read, it is not exactly
/// 32 bytes, or the store does not answer within `timeout` seconds.
std::optional<SymmetricKey> loadFromKeychain(double timeout);
std::optional<SymmetricKey> loadFromKeychain(double timeout, std::shared_ptr<KeyStore> store);

} // namespace BundleKey

namespace PassphraseStrength {

/// Advisory score 0…4 over grapheme clusters: one point for at least 8 of them, one more for at
/// least 14; one point for at least two of the classes lowercase, uppercase, numeric and other
/// (neither letter nor numeric), one more for at least three. Unicode properties throughout.
int score(std::string_view passphrase);

/// "Weak" (0 or 1), "Fair" (2), "Good" (3), "Strong" (4 or more).
std::string label(int score);

} // namespace PassphraseStrength

/// RFC 4648 standard Base64 with "=" fill.
namespace base64 {

std::size_t encodedLength(std::size_t byteCount) noexcept;
/// Writes exactly encodedLength(size) characters to `out`.
void encodeTo(const std::uint8_t* data, std::size_t size, char* out) noexcept;
std::string encode(const std::uint8_t* data, std::size_t size);
inline std::string encode(const Bytes& bytes) {
    return encode(bytes.data(), bytes.size());
}

enum class Strictness {
    /// Padding required, alphabet only, no whitespace; unused bits of the last group are ignored.
    standard,
    /// As standard, and the unused bits must be zero, so every byte string has exactly one text.
    canonical,
};

/// Appends the decoded bytes to `out`; false (with `out` restored to its former size) when the
/// text is not valid under `strictness`.
bool decodeAppend(std::string_view text, Bytes& out, Strictness strictness = Strictness::standard);
std::optional<Bytes> decode(std::string_view text, Strictness strictness = Strictness::standard);

} // namespace base64

} // namespace stowage
