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
    return time_point_cast<system_clock::duration>(tp);
}

std::string pretty(const nlohmann::json& j) { return j.dump(2); }

Timestamp dateField(const nlohmann::json& j, const char* key) {
    const auto& v = j.at(key);
    auto t = parseIso8601(v.get<std::string>());
    if (!t)
        throw nlohmann::json::other_error::create(501, std::string("bad date in ") + key, &v);
    return *t;
}

} // namespace stowage::json
