#include "core/Wording.hpp"

#include <array>
#include <cctype>
#include <utility>

namespace stowage::wording {

Platform current() {
#if defined(__APPLE__)
    return Platform::mac;
#else
    return Platform::linuxDesktop;
#endif
}

namespace {

struct Replacement {
    std::string_view from;
    std::string_view to;
    bool wholeWord;
};

constexpr std::array<Replacement, 5> linuxWords{{
    {"Keychain", "keyring", false},
    {"keychain", "keyring", false},
    {"Finder", "file manager", true},
    {"Mac", "computer", true},
    {"\u2318", "Ctrl+", false},
}};

bool isWordByte(char c) {
    const auto u = static_cast<unsigned char>(c);
    return std::isalnum(u) != 0 || c == '_' || u >= 0x80;
}

} // namespace

std::string localized(std::string_view text, Platform platform) {
    if (platform == Platform::mac) return std::string(text);
    std::string out;
    out.reserve(text.size() + 16);
    std::size_t i = 0;
    while (i < text.size()) {
        bool replaced = false;
        for (const auto& r : linuxWords) {
            if (text.compare(i, r.from.size(), r.from) != 0) continue;
            if (r.wholeWord) {
                const bool startsWord = i == 0 || !isWordByte(text[i - 1]);
                const std::size_t end = i + r.from.size();
                const bool endsWord = end >= text.size() || !isWordByte(text[end]);
                if (!startsWord || !endsWord) continue;
            }
            out.append(r.to);
            i += r.from.size();
            replaced = true;
            break;
        }
        if (!replaced) out.push_back(text[i++]);
    }
    return out;
}

std::string localized(std::string_view text) { return localized(text, current()); }

} // namespace stowage::wording
