// Desktop notifications reach a real notification service on a private session bus, and a missing
// service costs a quiet false, not a hang.

#include "core/Notifier.hpp"

#include "support/FakeTools.hpp"
#include "support/TempHome.hpp"

#include <gio/gio.h>
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>

using namespace stowage;

namespace {

/// A private dbus-daemon for one test; the bus address is exported while it lives.
class PrivateBus {
public:
    PrivateBus() {
        if (FILE* pipe = ::popen("dbus-daemon --session --fork --print-address=1 --print-pid=1 2>/dev/null", "r")) {
            char address[512] = "", pid[64] = "";
            if (std::fgets(address, sizeof address, pipe) && std::fgets(pid, sizeof pid, pipe))
                pid_ = std::atoi(pid);
            ::pclose(pipe);
            address_ = std::string(address).substr(0, std::strcspn(address, "\n"));
        }
        env_.emplace("DBUS_SESSION_BUS_ADDRESS", address_);
    }
    ~PrivateBus() {
        if (pid_ > 0)
            ::kill(pid_, SIGTERM);
    }
    bool running() const { return !address_.empty() && pid_ > 0; }
    const std::string& address() const { return address_; }

private:
    std::string address_;
    int pid_ = 0;
    std::optional<stowage::testing::ScopedEnv> env_;
};

/// A minimal notification daemon: owns the well-known name and answers and records every Notify
/// call from a message filter, which runs on the bus connection's own worker thread.
class FakeNotificationService {
public:
    explicit FakeNotificationService(const std::string& address) {
        bus_ = g_dbus_connection_new_for_address_sync(
            address.c_str(),
            static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                              G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, nullptr, nullptr);
        if (!bus_)
            return;
        g_dbus_connection_add_filter(bus_, &FakeNotificationService::filter, this, nullptr);
        GVariant* reply =
            g_dbus_connection_call_sync(bus_, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                        "RequestName", g_variant_new("(su)", "org.freedesktop.Notifications", 4u),
                                        G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
        ready_ = reply != nullptr;
        if (reply)
            g_variant_unref(reply);
    }
    ~FakeNotificationService() {
        if (bus_)
            g_object_unref(bus_);
    }
    bool ready() const { return ready_; }
    std::vector<std::pair<std::string, std::string>> received() {
        std::lock_guard lock(mutex_);
        return received_;
    }

private:
    static GDBusMessage* filter(GDBusConnection* bus, GDBusMessage* message, gboolean incoming, gpointer self) {
        if (!incoming || g_strcmp0(g_dbus_message_get_member(message), "Notify") != 0)
            return message;
        const gchar* title = nullptr;
        const gchar* body = nullptr;
        g_variant_get_child(g_dbus_message_get_body(message), 3, "&s", &title);
        g_variant_get_child(g_dbus_message_get_body(message), 4, "&s", &body);
        auto* service = static_cast<FakeNotificationService*>(self);
        {
            std::lock_guard lock(service->mutex_);
            service->received_.emplace_back(title, body);
        }
        GDBusMessage* reply = g_dbus_message_new_method_reply(message);
        g_dbus_message_set_body(reply, g_variant_new("(u)", 7u));
        g_dbus_connection_send_message(bus, reply, G_DBUS_SEND_MESSAGE_FLAGS_NONE, nullptr, nullptr);
        g_object_unref(reply);
        g_object_unref(message);
        return nullptr;
    }

    GDBusConnection* bus_ = nullptr;
    bool ready_ = false;
    std::mutex mutex_;
    std::vector<std::pair<std::string, std::string>> received_;
};

} // namespace

TEST(Notifier, ReachesTheSessionsNotificationServiceOrSaysNoQuietly) {
    PrivateBus bus;
    if (!bus.running())
        GTEST_SKIP() << "dbus-daemon could not start";

    // No service owns the name yet: a quiet false.
    EXPECT_FALSE(notifier::notify("Scheduled backup failed", "no service"));

    FakeNotificationService service(bus.address());
    ASSERT_TRUE(service.ready());
    EXPECT_TRUE(notifier::notify("Scheduled backup failed", "The disk is full.\xff"));
    auto got = service.received();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].first, "Scheduled backup failed");
    EXPECT_EQ(got[0].second, "The disk is full.\xef\xbf\xbd") << "invalid UTF-8 would make the bus drop the call";
}

TEST(Notifier, NoSessionBusIsAQuietFalse) {
    stowage::testing::TempHome home;
    stowage::testing::ScopedEnv env("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + home.path() + "/no-bus");
    EXPECT_FALSE(notifier::notify("title", "body"));
}
