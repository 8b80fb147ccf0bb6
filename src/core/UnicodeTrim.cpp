#include "core/UnicodeTrim.hpp"

#include <algorithm>
#include <cstdint>

#include <unicode/uchar.h>
#include <unicode/utf8.h>

namespace stowage {

std::string_view trimUnicodeEnds(std::string_view text, bool invisibleToo) {
    auto trimmable = [invisibleToo](UChar32 c) {
        return c >= 0 && (u_hasBinaryProperty(c, UCHAR_WHITE_SPACE) ||
                          (invisibleToo && u_hasBinaryProperty(c, UCHAR_DEFAULT_IGNORABLE_CODE_POINT)));
    };
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    const auto length = static_cast<int32_t>(std::min<std::size_t>(text.size(), INT32_MAX));
    int32_t begin = 0;
    while (begin < length) {
        int32_t next = begin;
        UChar32 c;
        U8_NEXT(bytes, next, length, c);
        if (!trimmable(c))
            break;
        begin = next;
    }
    int32_t end = length;
    while (end > begin) {
        int32_t previous = end;
        UChar32 c;
        U8_PREV(bytes, begin, previous, c);
        if (!trimmable(c))
            break;
        end = previous;
    }
    return text.substr(static_cast<std::size_t>(begin), static_cast<std::size_t>(end - begin));
}

} // namespace stowage
