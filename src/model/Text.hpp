#pragma once
// The model's locale-aware text operations, through ICU: searching without regard to letter case,
// relative dates, and trimming typed codes. Safe to call from any thread.

#include "core/Types.hpp"

#include <string>
#include <string_view>

namespace stowage::text {

/// The form of `text` that case-insensitive search compares: canonically composed, then case-folded
/// (with the dotted and dotless i of Turkish and Azeri under those locales). Invalid UTF-8 bytes
/// become U+FFFD.
std::u16string searchKey(std::string_view text);

/// Whether `text` contains `key` (a searchKey) when both are compared by their search keys. An empty
/// key is contained in everything.
bool containsKey(std::string_view text, const std::u16string& key);

/// `then` relative to `now` in the user's locale, with named forms where the language has them and
/// wide unit names: "yesterday", "3 days ago", "last week", "2 months ago", "now". The unit is the
/// largest whole one in the elapsed time (seconds up to years).
std::string relativeTime(Timestamp then, Timestamp now);

/// `text` without white space or line breaks (any Unicode ones) at either end.
std::string trimmed(std::string_view text);

} // namespace stowage::text
