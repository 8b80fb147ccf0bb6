#pragma once
// Trimming of UTF-8 text by Unicode properties, shared by recovery codes and typed settings.

#include <string_view>

namespace stowage {

/// `text` without Unicode white space at either end, and with `invisibleToo` without
/// default-ignorable marks either (zero-width spaces, joiners, byte-order marks) that a copy from a
/// web page or a chat leaves behind. A byte that is not valid UTF-8 stops the trim on its side.
/// The result is a view into `text`: nothing is copied, so a secret is never duplicated into a
/// buffer nobody wipes.
std::string_view trimUnicodeEnds(std::string_view text, bool invisibleToo = false);

} // namespace stowage
