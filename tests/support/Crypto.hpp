#pragma once
// Byte and key helpers for the key, keychain and bundle tests.

#include "core/KDF.hpp"

#include <string>
#include <string_view>

namespace stowage::testing {

/// Bytes of a hexadecimal text (two digits a byte).
inline Bytes fromHex(std::string_view hex) {
    Bytes out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<std::uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
    return out;
}

/// Lower-case hexadecimal, two digits a byte.
inline std::string hex(const Bytes& bytes) {
    std::string out;
    for (std::uint8_t b : bytes)
        out += {"0123456789abcdef"[b >> 4], "0123456789abcdef"[b & 15]};
    return out;
}
inline std::string hex(const SymmetricKey& key) {
    return hex(Bytes(key.data(), key.data() + key.size()));
}

/// A key of 32 equal bytes.
inline SymmetricKey keyOf(std::uint8_t fill) {
    std::array<std::uint8_t, 32> bytes;
    bytes.fill(fill);
    return SymmetricKey(bytes);
}

} // namespace stowage::testing
