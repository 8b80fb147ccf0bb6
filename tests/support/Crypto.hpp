#pragma once
// Byte and key helpers for the key, keychain and bundle tests.

#include "core/KDF.hpp"

#include <array>
#include <cstdint>
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

/// Lower-case hexadecimal of `size` bytes.
inline std::string hex(const std::uint8_t* data, std::size_t size) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < size; ++i) {
        out += digits[data[i] >> 4];
        out += digits[data[i] & 15];
    }
    return out;
}
inline std::string hex(const Bytes& bytes) {
    return hex(bytes.data(), bytes.size());
}
inline std::string hex(const SymmetricKey& key) {
    return hex(key.data(), key.size());
}

/// A key of 32 equal bytes.
inline SymmetricKey keyOf(std::uint8_t fill) {
    std::array<std::uint8_t, 32> bytes;
    bytes.fill(fill);
    return SymmetricKey(bytes);
}

} // namespace stowage::testing
