#include "cli/utf8_text.h"

namespace cli {

size_t utf8Length(std::string_view text, size_t at, uint32_t* codePoint) {
    const auto byte = [&](size_t i) { return uint8_t(text[i]); };
    const uint8_t lead = byte(at);
    size_t length;
    uint32_t value, minimum;
    if (lead < 0x80) return *codePoint = lead, 1;
    if ((lead & 0xE0) == 0xC0) length = 2, value = lead & 0x1F, minimum = 0x80;
    else if ((lead & 0xF0) == 0xE0) length = 3, value = lead & 0x0F, minimum = 0x800;
    else if ((lead & 0xF8) == 0xF0) length = 4, value = lead & 0x07, minimum = 0x10000;
    else return 0;
    if (text.size() - at < length) return 0;
    for (size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80) return 0;
        value = value << 6 | (byte(at + i) & 0x3F);
    }
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
    *codePoint = value;
    return length;
}

bool isValidUtf8(std::string_view text) {
    for (size_t at = 0; at < text.size();) {
        uint32_t codePoint = 0;
        const size_t length = utf8Length(text, at, &codePoint);
        if (length == 0) return false;
        at += length;
    }
    return true;
}

}  // namespace cli
