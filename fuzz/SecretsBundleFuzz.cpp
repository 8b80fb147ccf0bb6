// The container of the secrets bundle (secrets.stowage): SecretsBundle::open on arbitrary blobs, in
// both forms, with a fixed key and a fixed passphrase.
//
// The first input byte chooses what the rest is:
//   0: a whole blob opened with the raw key;
//   1: a whole blob opened with the passphrase (only when its iteration count is at most 64, so a
//      hostile count cannot stall the search; larger counts are checked to fail before any
//      derivation when they exceed the maximum);
//   2: the plaintext of a raw-key bundle, sealed here and opened, so the document reader runs
//      behind the real decryption;
//   3: a passphrase bundle assembled here around the rest: one salt-length byte, the salt, a count of
//      1 to 4, then the plaintext; it must open (or fail only on its document).
// Every failure must be BackupError::decryptFailed, or BundleDecodingError for a document that
// decrypted; modes 2 and 3 must never fail to decrypt.

#include "core/BackupError.hpp"
#include "core/KDF.hpp"
#include "core/SecretsBundle.hpp"

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

using namespace stowage;

namespace {

[[noreturn]] void broken(const char* what) {
    std::fprintf(stderr, "fuzz invariant broken: %s\n", what);
    std::abort();
}

const SymmetricKey& fixedKey() {
    static const SymmetricKey key = [] {
        std::array<std::uint8_t, SymmetricKey::byteCount> bytes{};
        for (std::size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = static_cast<std::uint8_t>(i * 7 + 1);
        return SymmetricKey(bytes);
    }();
    return key;
}

constexpr std::string_view passphrase = "correct horse";

enum class Outcome { opened, decryptFailed, undecodable };

Outcome tryOpen(const Bytes& blob, const KeySource& source) {
    try {
        (void)SecretsBundle::open(blob, source);
        return Outcome::opened;
    } catch (const BackupError& e) {
        if (e.kind() != BackupError::Kind::decryptFailed)
            broken("opening failed with a BackupError other than decryptFailed");
        return Outcome::decryptFailed;
    } catch (const BundleDecodingError&) {
        return Outcome::undecodable;
    }
}

/// The iteration count a passphrase blob carries, when its header is long enough to hold one.
std::optional<std::uint32_t> headerCount(const Bytes& blob) {
    if (blob.size() < 7)
        return std::nullopt;
    const std::size_t at = 7 + std::size_t{blob[6]};
    if (blob.size() < at + 4)
        return std::nullopt;
    return (std::uint32_t(blob[at]) << 24) | (std::uint32_t(blob[at + 1]) << 16) | (std::uint32_t(blob[at + 2]) << 8) |
           std::uint32_t(blob[at + 3]);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    const std::uint8_t mode = data[0] % 4;
    const Bytes rest(data + 1, data + size);

    switch (mode) {
    case 0:
        tryOpen(rest, KeySource::rawKey(fixedKey()));
        break;
    case 1: {
        const auto count = headerCount(rest);
        if (SecretsBundle::isPassphraseBundle(rest) && count && *count > 64) {
            // Refused before any derivation, or else too slow to fuzz.
            if (*count > SecretsBundle::maxIterations &&
                tryOpen(rest, KeySource::passphrase(SecretString(passphrase))) != Outcome::decryptFailed)
                broken("a count above the maximum was not refused");
            break;
        }
        tryOpen(rest, KeySource::passphrase(SecretString(passphrase)));
        break;
    }
    case 2: {
        const Bytes blob = SecretsBundle::sealRaw(rest, fixedKey());
        if (tryOpen(blob, KeySource::rawKey(fixedKey())) == Outcome::decryptFailed)
            broken("a freshly sealed raw-key bundle did not decrypt");
        break;
    }
    case 3: {
        if (rest.size() < 2)
            break;
        const std::size_t saltLength = std::min<std::size_t>(rest[0], rest.size() - 2);
        const Bytes salt(rest.begin() + 1, rest.begin() + 1 + static_cast<std::ptrdiff_t>(saltLength));
        const std::uint32_t iterations = 1 + rest[1 + saltLength] % 4;
        const Bytes plaintext(rest.begin() + 2 + static_cast<std::ptrdiff_t>(saltLength), rest.end());

        Bytes blob(SecretsBundle::magic.begin(), SecretsBundle::magic.end());
        blob.push_back(0x02);
        blob.push_back(0x01);
        blob.push_back(static_cast<std::uint8_t>(salt.size()));
        blob.insert(blob.end(), salt.begin(), salt.end());
        for (int shift = 24; shift >= 0; shift -= 8)
            blob.push_back(static_cast<std::uint8_t>(iterations >> shift));
        std::array<std::uint8_t, SecretsBundle::nonceBytes> nonce{};
        nonce[0] = static_cast<std::uint8_t>(size);
        blob.insert(blob.end(), nonce.begin(), nonce.end());
        const SymmetricKey key = KDF::deriveKey(passphrase, salt, iterations);
        const Bytes box = SecretsBundle::gcmSeal(key, nonce, plaintext.data(), plaintext.size());
        blob.insert(blob.end(), box.begin(), box.end());

        if (tryOpen(blob, KeySource::passphrase(SecretString(passphrase))) == Outcome::decryptFailed)
            broken("a well-formed passphrase bundle did not decrypt");
        if (tryOpen(blob, KeySource::rawKey(fixedKey())) != Outcome::decryptFailed)
            broken("a passphrase bundle was accepted with a raw key");
        break;
    }
    }
    return 0;
}
