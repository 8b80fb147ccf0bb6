#pragma once
// Desktop notifications through the session bus's org.freedesktop.Notifications service, the
// interface every Linux desktop's notification daemon answers.

#include <string>

namespace stowage::notifier {

/// Shows a notification titled `title`. Returns false, quietly, when there is no session bus or no
/// notification service answers within two seconds; a scheduled run goes on either way.
bool notify(const std::string& title, const std::string& body);

} // namespace stowage::notifier
