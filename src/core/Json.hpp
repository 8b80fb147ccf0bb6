#pragma once
// JSON conventions of stored records: ISO-8601 UTC dates with whole seconds, and the
// pretty encoder (sorted keys) used for backup.json and history.json.

#include "core/Types.hpp"

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <string_view>

namespace stowage::json {

/// "2026-12-06T08:26:29Z": UTC, fractions of a second dropped.
std::string iso8601(Timestamp t);
/// Parses "YYYY-MM-DDTHH:MM:SS" with an optional fraction and "Z" or a ±HH:MM offset.
std::optional<Timestamp> parseIso8601(const std::string& text);

/// Pretty-printed with sorted keys (nlohmann objects are sorted), two-space indent.
std::string pretty(const nlohmann::json& j);

/// Whether `text` is well-formed UTF-8 (no overlong forms, surrogates or code points past U+10FFFF).
/// The JSON encoders refuse anything else, so callers check names taken from the file system.
bool isValidUtf8(std::string_view text);
/// `text` with every ill-formed UTF-8 sequence replaced by U+FFFD (one per maximal bad subpart).
std::string validUtf8(std::string_view text);

/// Reads a required ISO-8601 date field; throws nlohmann::json::exception on a bad value.
Timestamp dateField(const nlohmann::json& j, const char* key);

} // namespace stowage::json
