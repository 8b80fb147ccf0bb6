#pragma once
// Basic value types shared by every component.

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace stowage {

using Bytes = std::vector<std::uint8_t>;
using Timestamp = std::chrono::system_clock::time_point;

inline Bytes toBytes(const std::string& s) { return Bytes(s.begin(), s.end()); }
inline std::string toString(const Bytes& b) { return std::string(b.begin(), b.end()); }

} // namespace stowage
