#include "model/Text.hpp"

#include "core/UnicodeTrim.hpp"

#include <unicode/locid.h>
#include <unicode/normalizer2.h>
#include <unicode/reldatefmt.h>
#include <unicode/unistr.h>

#include <chrono>
#include <cmath>
#include <cstring>

namespace stowage::text {

namespace {

icu::UnicodeString fromUtf8(std::string_view text) {
    return icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
}

std::string toUtf8(const icu::UnicodeString& text) {
    std::string out;
    text.toUTF8String(out);
    return out;
}

bool turkic() {
    const char* language = icu::Locale::getDefault().getLanguage();
    return std::strcmp(language, "tr") == 0 || std::strcmp(language, "az") == 0;
}

} // namespace

std::u16string searchKey(std::string_view text) {
    icu::UnicodeString value = fromUtf8(text);
    UErrorCode status = U_ZERO_ERROR;
    if (const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status); U_SUCCESS(status)) {
        icu::UnicodeString composed = nfc->normalize(value, status);
        if (U_SUCCESS(status))
            value = composed;
    }
    value.foldCase(turkic() ? U_FOLD_CASE_EXCLUDE_SPECIAL_I : U_FOLD_CASE_DEFAULT);
    return std::u16string(value.getBuffer(), static_cast<std::size_t>(value.length()));
}

bool containsKey(std::string_view text, const std::u16string& key) {
    if (key.empty())
        return true;
    return searchKey(text).find(key) != std::u16string::npos;
}

std::string relativeTime(Timestamp then, Timestamp now) {
    using namespace std::chrono;
    const double elapsed = duration<double>(now - then).count();
    const double magnitude = std::fabs(elapsed);
    struct Unit {
        double seconds;
        URelativeDateTimeUnit unit;
    };
    // Largest unit first; a unit is used once at least one whole one has passed.
    static constexpr Unit units[] = {
        {365.0 * 86400, UDAT_REL_UNIT_YEAR}, {30.0 * 86400, UDAT_REL_UNIT_MONTH}, {7.0 * 86400, UDAT_REL_UNIT_WEEK},
        {86400, UDAT_REL_UNIT_DAY},          {3600, UDAT_REL_UNIT_HOUR},          {60, UDAT_REL_UNIT_MINUTE},
    };
    URelativeDateTimeUnit unit = UDAT_REL_UNIT_SECOND;
    double count = std::floor(magnitude);
    for (const Unit& candidate : units) {
        if (magnitude >= candidate.seconds) {
            unit = candidate.unit;
            count = std::floor(magnitude / candidate.seconds);
            break;
        }
    }
    const double offset = elapsed >= 0 ? -count : count;

    UErrorCode status = U_ZERO_ERROR;
    icu::RelativeDateTimeFormatter formatter(icu::Locale::getDefault(), nullptr, UDAT_STYLE_LONG,
                                             UDISPCTX_CAPITALIZATION_NONE, status);
    icu::UnicodeString out;
    if (U_SUCCESS(status))
        formatter.format(offset == 0 ? 0.0 : offset, unit, out, status);
    if (U_FAILURE(status) || out.isEmpty()) {
        // Without locale data: plain English.
        const long n = static_cast<long>(count);
        static const char* names[] = {"year", "month", "week", "day", "hour", "minute", "second"};
        const char* name = names[6];
        for (std::size_t i = 0; i < 6; ++i)
            if (units[i].unit == unit)
                name = names[i];
        std::string words = std::to_string(n) + " " + name + (n == 1 ? "" : "s");
        return elapsed >= 0 ? words + " ago" : "in " + words;
    }
    return toUtf8(out);
}

std::string trimmed(std::string_view text) {
    return std::string(trimUnicodeEnds(text));
}

} // namespace stowage::text
