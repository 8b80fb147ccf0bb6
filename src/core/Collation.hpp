#pragma once
// Ordering of names as a user reads them: locale-aware and blind to letter case, so that "alpha",
// "Beta" and "gamma" list in that order whatever their capitals.

#include <string>

namespace stowage {

/// True when `a` sorts before `b` under the user's locale with letter case ignored (accents still
/// count). Names that compare equal are neither less than the other, so a stable sort keeps their
/// order. Safe to call from any thread.
bool localizedCaseInsensitiveLess(const std::string& a, const std::string& b);

} // namespace stowage
