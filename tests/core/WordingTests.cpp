#include "core/Wording.hpp"

#include <gtest/gtest.h>

using stowage::wording::localized;
using stowage::wording::Platform;

TEST(Wording, LinuxReadsPlatformWordsAsItsUsersSayThem) {
    const std::pair<const char*, const char*> cases[] = {
        {"Run these steps on your **fresh** Mac, in order.", "Run these steps on your **fresh** computer, in order."},
        {"Could not store key in Keychain", "Could not store key in keyring"},
        {"this machine's keychain", "this machine's keyring"},
        {"Reveal in Finder", "Reveal in file manager"},
        {"\u2318R", "Ctrl+R"},
        {"macOS Macro MacBook iMac", "macOS Macro MacBook iMac"},
    };
    for (const auto& [mac, linux] : cases) {
        EXPECT_EQ(localized(mac, Platform::linuxDesktop), linux) << mac;
        EXPECT_EQ(localized(mac, Platform::mac), mac);
    }
}
