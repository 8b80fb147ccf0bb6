// Recovery codes and the Base64 beneath them, plus the passphrase helpers that see typed text:
// BundleKey::key, base64::decode / decodeAppend in both strictness levels, KDF::normalizedPassphrase
// and PassphraseStrength::score on arbitrary bytes.
//
// Checks beyond "no crash, no sanitizer report":
// - BundleKey::key throws only BackupError::badRecoveryCode, and a code it accepts is exactly the
//   recovery code of the key it yields, up to characters outside the Base64 alphabet at the ends;
// - the library's (vectorised) decoder agrees byte for byte with a plain reference decoder written
//   here from RFC 4648, in both strictness levels;
// - a failed decodeAppend leaves the buffer it appends to exactly as it was;
// - canonical text re-encodes to itself.

#include "core/BackupError.hpp"
#include "core/KDF.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

using namespace stowage;

namespace {

[[noreturn]] void broken(const char* what) {
    std::fprintf(stderr, "fuzz invariant broken: %s\n", what);
    std::abort();
}

int sextet(char c) {
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

/// RFC 4648 section 4, padding required, no other characters; `canonical` also demands zero pad bits.
std::optional<Bytes> referenceDecode(std::string_view text, bool canonical) {
    if (text.size() % 4 != 0)
        return std::nullopt;
    Bytes out;
    for (std::size_t i = 0; i < text.size(); i += 4) {
        const bool last = i + 4 == text.size();
        int fill = 0;
        if (last && text[i + 3] == '=')
            fill = text[i + 2] == '=' ? 2 : 1;
        std::uint32_t v = 0;
        for (int k = 0; k < 4 - fill; ++k) {
            const int s = sextet(text[i + static_cast<std::size_t>(k)]);
            if (s < 0)
                return std::nullopt;
            v |= static_cast<std::uint32_t>(s) << (18 - 6 * k);
        }
        if (canonical && ((fill == 1 && (v & 0xFF) != 0) || (fill == 2 && (v & 0xFFFF) != 0)))
            return std::nullopt;
        out.push_back(static_cast<std::uint8_t>(v >> 16));
        if (fill < 2)
            out.push_back(static_cast<std::uint8_t>(v >> 8));
        if (fill < 1)
            out.push_back(static_cast<std::uint8_t>(v));
    }
    return out;
}

void checkDecoder(std::string_view text, base64::Strictness strictness) {
    const bool canonical = strictness == base64::Strictness::canonical;
    const std::optional<Bytes> expected = referenceDecode(text, canonical);
    const std::optional<Bytes> actual = base64::decode(text, strictness);
    if (expected != actual)
        broken("base64::decode disagrees with the reference decoder");

    Bytes appended = {0xAA, 0xBB, 0xCC};
    const bool ok = base64::decodeAppend(text, appended, strictness);
    if (ok != expected.has_value())
        broken("decodeAppend disagrees with decode");
    if (!ok && appended != Bytes{0xAA, 0xBB, 0xCC})
        broken("a failed decodeAppend changed the buffer");
    if (ok && (appended.size() != 3 + expected->size() ||
               !std::equal(expected->begin(), expected->end(), appended.begin() + 3)))
        broken("decodeAppend appended other bytes than decode returned");
    if (ok && canonical && base64::encode(*expected) != text)
        broken("canonical Base64 did not encode back to itself");
}

/// True when nothing in `part` could belong to a code: no Base64 character and no fill.
bool outsideTheAlphabet(std::string_view part) {
    for (char c : part)
        if (sextet(c) >= 0 || c == '=')
            return false;
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    checkDecoder(text, base64::Strictness::standard);
    checkDecoder(text, base64::Strictness::canonical);

    try {
        const SymmetricKey key = BundleKey::key(text);
        // What the trim dropped (white space, line breaks, invisible marks) can never be part of a code.
        const SecretString code = BundleKey::recoveryCode(key);
        const std::size_t at = text.find(code.view());
        if (at == std::string_view::npos || !outsideTheAlphabet(text.substr(0, at)) ||
            !outsideTheAlphabet(text.substr(at + code.size())))
            broken("an accepted recovery code is not the code of its key");
    } catch (const BackupError& e) {
        if (e.kind() != BackupError::Kind::badRecoveryCode)
            broken("a recovery code failed with a BackupError other than badRecoveryCode");
    }

    (void)KDF::normalizedPassphrase(text);
    const int score = PassphraseStrength::score(text);
    if (score < 0 || score > 4)
        broken("a passphrase score outside 0...4");
    (void)PassphraseStrength::label(score);
    return 0;
}
