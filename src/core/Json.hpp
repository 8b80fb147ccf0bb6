#pragma once
// JSON conventions of stored records: ISO-8601 UTC dates with whole seconds, and the
// pretty encoder (sorted keys) used for backup.json and history.json.

#include "core/Types.hpp"

#include <nlohmann/json.hpp>

#include <optional>
#include <string>

namespace stowage::json {

/// "2026-12-06T08:26:29Z": UTC, fractions of a second dropped.
std::string iso8601(Timestamp t);
/// Parses "YYYY-MM-DDTHH:MM:SS" with an optional fraction and "Z" or a ±HH:MM offset.
std::optional<Timestamp> parseIso8601(const std::string& text);

/// Pretty-printed with sorted keys (nlohmann objects are sorted), two-space indent.
std::string pretty(const nlohmann::json& j);

/// Reads a required ISO-8601 date field; throws nlohmann::json::exception on a bad value.
Timestamp dateField(const nlohmann::json& j, const char* key);

} // namespace stowage::json
