#include "core/Notifier.hpp"

#include "core/Json.hpp"

#include <gio/gio.h>

namespace stowage::notifier {

bool notify(const std::string& title, const std::string& body) {
    GError* error = nullptr;
    // A private connection: the shared one would outlive this call and keep a thread of GLib's.
    gchar* address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    if (!address) {
        g_clear_error(&error);
        return false;
    }
    GDBusConnection* bus = g_dbus_connection_new_for_address_sync(
        address,
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &error);
    g_free(address);
    if (!bus) {
        g_clear_error(&error);
        return false;
    }
    const std::string safeTitle = json::validUtf8(title);
    const std::string safeBody = json::validUtf8(body);
    GVariantBuilder actions;
    g_variant_builder_init(&actions, G_VARIANT_TYPE("as"));
    GVariantBuilder hints;
    g_variant_builder_init(&hints, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&hints, "{sv}", "desktop-entry", g_variant_new_string("io.larchworks.Stowage"));
    GVariant* reply =
        g_dbus_connection_call_sync(bus, "org.freedesktop.Notifications", "/org/freedesktop/Notifications",
                                    "org.freedesktop.Notifications", "Notify",
                                    g_variant_new("(susssasa{sv}i)", "Stowage", 0u, "stowage", safeTitle.c_str(),
                                                  safeBody.c_str(), &actions, &hints, -1),
                                    G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, 2000, nullptr, &error);
    const bool shown = reply != nullptr;
    if (reply)
        g_variant_unref(reply);
    g_clear_error(&error);
    g_dbus_connection_close_sync(bus, nullptr, nullptr);
    g_object_unref(bus);
    return shown;
}

} // namespace stowage::notifier
