#include "core/Collation.hpp"

#include <unicode/coll.h>
#include <unicode/locid.h>
#include <unicode/stringpiece.h>

#include <algorithm>
#include <cctype>
#include <memory>

namespace stowage {

namespace {

// The POSIX locale ("C", mapped by ICU to en_US_POSIX) orders every capital before every small
// letter even at the case-blind strength; the root order is what a user of that locale expects.
icu::Locale collationLocale() {
    icu::Locale locale = icu::Locale::getDefault();
    const std::string variant = locale.getVariant();
    if (locale.isBogus() || std::string(locale.getLanguage()).empty() || variant == "POSIX")
        return icu::Locale::getRoot();
    return locale;
}

std::unique_ptr<icu::Collator> makeCollator() {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::Collator> collator(icu::Collator::createInstance(collationLocale(), status));
    if (U_FAILURE(status) || !collator)
        return nullptr;
    // Secondary strength: base letters and accents count, letter case does not.
    collator->setStrength(icu::Collator::SECONDARY);
    return collator;
}

// Collators are not shared between threads; each thread keeps its own.
icu::Collator* threadCollator() {
    thread_local std::unique_ptr<icu::Collator> collator = makeCollator();
    return collator.get();
}

bool asciiCaseInsensitiveLess(const std::string& a, const std::string& b) {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) < std::tolower(static_cast<unsigned char>(y));
    });
}

} // namespace

bool localizedCaseInsensitiveLess(const std::string& a, const std::string& b) {
    icu::Collator* collator = threadCollator();
    if (collator == nullptr)
        return asciiCaseInsensitiveLess(a, b);
    UErrorCode status = U_ZERO_ERROR;
    UCollationResult result = collator->compareUTF8(icu::StringPiece(a.data(), static_cast<int32_t>(a.size())),
                                                    icu::StringPiece(b.data(), static_cast<int32_t>(b.size())), status);
    if (U_FAILURE(status))
        return asciiCaseInsensitiveLess(a, b);
    return result == UCOL_LESS;
}

} // namespace stowage
