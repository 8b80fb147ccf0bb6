// Desktop notifications reach a real notification service on a private session bus, and a missing
// service costs a quiet false, not a hang.

#include "core/Notifier.hpp"

#include "support/FakeTools.hpp"
#include "support/TempHome.hpp"

#include <gio/gio.h>
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <thread>

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

/// A minimal notification daemon: owns the well-known name and records every Notify call.
class FakeNotificationService {
public:
    explicit FakeNotificationService(const std::string& address) {
        context_ = g_main_context_new();
        loop_ = g_main_loop_new(context_, FALSE);
        thread_ = std::thread([this, address] {
            g_main_context_push_thread_default(context_);
            GError* error = nullptr;
            bus_ = g_dbus_connection_new_for_address_sync(
                address.c_str(),
                static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                                  G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
                nullptr, nullptr, &error);
            g_clear_error(&error);
            if (bus_) {
                static const char* xml =
                    "<node><interface name='org.freedesktop.Notifications'><method name='Notify'>"
                    "<arg type='s' direction='in'/><arg type='u' direction='in'/><arg type='s' direction='in'/>"
                    "<arg type='s' direction='in'/><arg type='s' direction='in'/><arg type='as' direction='in'/>"
                    "<arg type='a{sv}' direction='in'/><arg type='i' direction='in'/>"
                    "<arg type='u' direction='out'/></method></interface></node>";
                GDBusNodeInfo* info = g_dbus_node_info_new_for_xml(xml, nullptr);
                static const GDBusInterfaceVTable vtable{&FakeNotificationService::onCall, nullptr, nullptr, {}};
                g_dbus_connection_register_object(bus_, "/org/freedesktop/Notifications", info->interfaces[0], &vtable,
                                                  this, nullptr, nullptr);
                g_dbus_node_info_unref(info);
                GVariant* reply = g_dbus_connection_call_sync(
                    bus_, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "RequestName",
                    g_variant_new("(su)", "org.freedesktop.Notifications", 4u), G_VARIANT_TYPE("(u)"),
                    G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
                if (reply) {
                    g_variant_unref(reply);
                    ready_ = true;
                }
            }
            started_ = true;
            g_main_loop_run(loop_);
            if (bus_)
                g_object_unref(bus_);
            g_main_context_pop_thread_default(context_);
        });
        while (!started_)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ~FakeNotificationService() {
        g_main_loop_quit(loop_);
        g_main_context_wakeup(context_);
        thread_.join();
        g_main_loop_unref(loop_);
        g_main_context_unref(context_);
    }
    bool ready() const { return ready_; }
    std::vector<std::pair<std::string, std::string>> received() {
        std::lock_guard lock(mutex_);
        return received_;
    }

private:
    static void onCall(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant* parameters,
                       GDBusMethodInvocation* invocation, gpointer self) {
        const gchar* title = nullptr;
        const gchar* body = nullptr;
        g_variant_get_child(parameters, 3, "&s", &title);
        g_variant_get_child(parameters, 4, "&s", &body);
        auto* service = static_cast<FakeNotificationService*>(self);
        {
            std::lock_guard lock(service->mutex_);
            service->received_.emplace_back(title, body);
        }
        g_dbus_method_invocation_return_value(invocation, g_variant_new("(u)", 7u));
    }

    GMainContext* context_;
    GMainLoop* loop_;
    GDBusConnection* bus_ = nullptr;
    std::thread thread_;
    std::atomic<bool> started_{false}, ready_{false};
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
