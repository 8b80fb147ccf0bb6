#pragma once
// The one table of words that name the host platform. Texts are written with the
// Mac words ("Mac", "Keychain", "Finder", "⌘"); on any other system they read as
// that system's users say them. The engine (RESTORE.md, messages) and the desktop
// application both pass their texts through here, so one wording holds everywhere.

#include <string>
#include <string_view>

namespace stowage::wording {

enum class Platform { mac, linuxDesktop };

/// The platform this build runs on.
Platform current();

/// `text` with every platform word replaced for `platform`; unchanged on the Mac.
/// Replacements: "Mac" → "computer", "Keychain" → "keyring", "keychain" → "keyring",
/// "Finder" → "file manager", "⌘" → "Ctrl+". "Mac" is replaced only as a whole word,
/// so "macOS" or "Macro" are left alone.
std::string localized(std::string_view text, Platform platform);

/// `localized(text, current())`.
std::string localized(std::string_view text);

} // namespace stowage::wording
