#include "core/Json.hpp"

#include <cstdio>
#include <ctime>

namespace stowage::json {

std::string iso8601(Timestamp t) {
    auto secs = std::chrono::floor<std::chrono::seconds>(t);
    std::time_t tt = std::chrono::system_clock::to_time_t(secs);
    std::tm tm{};
    gmtime_r(&tt, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buf;
}

std::optional<Timestamp> parseIso8601(const std::string& text) {
    int y, mo, d, h, mi, s;
    int consumed = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%n", &y, &mo, &d, &h, &mi, &s, &consumed) != 6)
        return std::nullopt;
    if (consumed != 19 || mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 60)
        return std::nullopt;
    size_t i = 19;
    if (i < text.size() && text[i] == '.') {
        ++i;
        size_t digits = 0;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
            ++i;
            ++digits;
        }
        if (digits == 0)
            return std::nullopt;
    }
    long offset = 0;
    if (i < text.size() && text[i] == 'Z') {
        ++i;
    } else if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        int oh = 0, om = 0, n = 0;
        if (std::sscanf(text.c_str() + i + 1, "%2d:%2d%n", &oh, &om, &n) != 2 || n != 5)
            return std::nullopt;
        offset = (oh * 3600L + om * 60L) * (text[i] == '-' ? -1 : 1);
        i += 6;
    } else {
        return std::nullopt;
    }
    if (i != text.size())
        return std::nullopt;
    using namespace std::chrono;
    auto ymd = year{y} / month{static_cast<unsigned>(mo)} / day{static_cast<unsigned>(d)};
    if (!ymd.ok())
        return std::nullopt;
    auto tp = sys_days{ymd} + hours{h} + minutes{mi} + seconds{s} - seconds{offset};
    // The clock counts nanoseconds in 64 bits (the years 1678 to 2261 fit); a date outside its range
    // is refused rather than overflowing it.
    constexpr auto limit = duration_cast<seconds>(system_clock::duration::max()) - seconds{1};
    if (tp.time_since_epoch() > limit || tp.time_since_epoch() < -limit)
        return std::nullopt;
    return time_point_cast<system_clock::duration>(tp);
}

namespace {

/// Length of the well-formed UTF-8 sequence starting at `i`, or 0 when it is ill-formed.
size_t sequenceLength(std::string_view s, size_t i) {
    auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    unsigned char b0 = byte(i);
    if (b0 < 0x80)
        return 1;
    size_t n;
    unsigned char lo = 0x80, hi = 0xBF;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        n = 2;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        n = 3;
        if (b0 == 0xE0)
            lo = 0xA0;
        else if (b0 == 0xED)
            hi = 0x9F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        n = 4;
        if (b0 == 0xF0)
            lo = 0x90;
        else if (b0 == 0xF4)
            hi = 0x8F;
    } else {
        return 0;
    }
    if (i + n > s.size())
        return 0;
    for (size_t k = 1; k < n; ++k) {
        unsigned char b = byte(i + k);
        unsigned char l = k == 1 ? lo : 0x80, h = k == 1 ? hi : 0xBF;
        if (b < l || b > h)
            return 0;
    }
    return n;
}

/// Bytes of the maximal ill-formed subpart at `i` (at least 1), replaced by one U+FFFD.
size_t badSubpart(std::string_view s, size_t i) {
    unsigned char b0 = static_cast<unsigned char>(s[i]);
    size_t n = 1;
    unsigned char lo = 0x80, hi = 0xBF;
    size_t want;
    if (b0 >= 0xC2 && b0 <= 0xDF)
        want = 2;
    else if (b0 >= 0xE0 && b0 <= 0xEF)
        want = 3, lo = b0 == 0xE0 ? 0xA0 : 0x80, hi = b0 == 0xED ? 0x9F : 0xBF;
    else if (b0 >= 0xF0 && b0 <= 0xF4)
        want = 4, lo = b0 == 0xF0 ? 0x90 : 0x80, hi = b0 == 0xF4 ? 0x8F : 0xBF;
    else
        return 1;
    while (n < want && i + n < s.size()) {
        unsigned char b = static_cast<unsigned char>(s[i + n]);
        if (b < (n == 1 ? lo : 0x80) || b > (n == 1 ? hi : 0xBF))
            break;
        ++n;
    }
    return n;
}

} // namespace

bool isValidUtf8(std::string_view text) {
    for (size_t i = 0; i < text.size();) {
        size_t n = sequenceLength(text, i);
        if (n == 0)
            return false;
        i += n;
    }
    return true;
}

std::string validUtf8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        size_t n = sequenceLength(text, i);
        if (n > 0) {
            out.append(text.substr(i, n));
            i += n;
        } else {
            out.append("\xEF\xBF\xBD");
            i += badSubpart(text, i);
        }
    }
    return out;
}

std::string pretty(const nlohmann::json& j) {
    return j.dump(2);
}

Timestamp dateField(const nlohmann::json& j, const char* key) {
    const auto& v = j.at(key);
    auto t = parseIso8601(v.get<std::string>());
    if (!t)
        throw nlohmann::json::other_error::create(501, std::string("bad date in ") + key, &v);
    return *t;
}

} // namespace stowage::json
