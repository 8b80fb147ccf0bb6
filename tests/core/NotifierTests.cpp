// Desktop notifications reach a real notification service on a private session bus, and a missing
// service costs a quiet false, not a hang.

#include "core/Notifier.hpp"

#include "support/FakeTools.hpp"
#include "support/TempHome.hpp"

#include <gio/gio.h>
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <mutex>

using namespace stowage;

namespace {

/// A private dbus-daemon, exported as the session bus while the object lives, on which serve()
/// owns the notification service's name and answers and records every Notify call. The answers
/// come from a message filter, which runs on the connection's own worker thread.
struct PrivateNotificationBus {
    PrivateNotificationBus() {
        if (FILE* pipe = ::popen("dbus-daemon --session --fork --print-address=1 --print-pid=1 2>/dev/null", "r")) {
            char address[512] = "", pid[64] = "";
            if (std::fgets(address, sizeof address, pipe) && std::fgets(pid, sizeof pid, pipe))
                pid_ = std::atoi(pid);
            ::pclose(pipe);
            address_ = std::string(address).substr(0, std::strcspn(address, "\n"));
        }
        env_.emplace("DBUS_SESSION_BUS_ADDRESS", address_);
    }
    ~PrivateNotificationBus() {
        if (bus_)
            g_object_unref(bus_);
        if (pid_ > 0)
            ::kill(pid_, SIGTERM);
    }
    bool running() const { return !address_.empty() && pid_ > 0; }

    bool serve() {
        bus_ = g_dbus_connection_new_for_address_sync(
            address_.c_str(),
            static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                              G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, nullptr, nullptr);
        if (!bus_)
            return false;
        g_dbus_connection_add_filter(bus_, &PrivateNotificationBus::filter, this, nullptr);
        GVariant* reply =
            g_dbus_connection_call_sync(bus_, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                        "RequestName", g_variant_new("(su)", "org.freedesktop.Notifications", 4u),
                                        G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
        if (reply)
            g_variant_unref(reply);
        return reply != nullptr;
    }
    static GDBusMessage* filter(GDBusConnection* bus, GDBusMessage* message, gboolean incoming, gpointer self) {
        if (!incoming || g_strcmp0(g_dbus_message_get_member(message), "Notify") != 0)
            return message;
        const gchar* title = nullptr;
        const gchar* body = nullptr;
        g_variant_get_child(g_dbus_message_get_body(message), 3, "&s", &title);
        g_variant_get_child(g_dbus_message_get_body(message), 4, "&s", &body);
        auto* owner = static_cast<PrivateNotificationBus*>(self);
        {
            std::lock_guard lock(owner->mutex);
            owner->received.emplace_back(title, body);
        }
        GDBusMessage* reply = g_dbus_message_new_method_reply(message);
        g_dbus_message_set_body(reply, g_variant_new("(u)", 7u));
        g_dbus_connection_send_message(bus, reply, G_DBUS_SEND_MESSAGE_FLAGS_NONE, nullptr, nullptr);
        g_object_unref(reply);
        g_object_unref(message);
        return nullptr;
    }

    std::string address_;
    int pid_ = 0;
    std::optional<stowage::testing::ScopedEnv> env_;
    GDBusConnection* bus_ = nullptr;
    std::mutex mutex;
    std::vector<std::pair<std::string, std::string>> received;
};

} // namespace

TEST(Notifier, ReachesTheSessionsNotificationServiceOrSaysNoQuietly) {
    {
        stowage::testing::TempHome home;
        stowage::testing::ScopedEnv env("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + home.path() + "/no-bus");
        EXPECT_FALSE(notifier::notify("title", "no session bus"));
    }
    PrivateNotificationBus bus;
    if (!bus.running())
        GTEST_SKIP() << "dbus-daemon could not start";
    EXPECT_FALSE(notifier::notify("Scheduled backup failed", "no service owns the name yet"));
    ASSERT_TRUE(bus.serve());
    EXPECT_TRUE(notifier::notify("Scheduled backup failed", "The disk is full.\xff"));
    // Invalid UTF-8 would make the bus drop the call.
    std::lock_guard lock(bus.mutex);
    EXPECT_EQ(bus.received, (std::vector<std::pair<std::string, std::string>>{
                                {"Scheduled backup failed", "The disk is full.\xef\xbf\xbd"}}));
}
