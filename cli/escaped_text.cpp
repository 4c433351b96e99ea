#include "cli/escaped_text.h"

#include <cstdint>

namespace cli {

namespace {

// Length of the valid UTF-8 sequence starting at text[at] (shortest form, no surrogates, at
// most U+10FFFF), or 0 when the bytes there are not one.
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

// Characters a terminal acts on or that reorder what it shows.
bool mustEscape(uint32_t c) {
    return c < 0x20 || c == 0x7F || c == '\\' || (c >= 0x80 && c <= 0x9F) || (c >= 0x202A && c <= 0x202E) ||
           (c >= 0x2066 && c <= 0x2069) || c == 0x200E || c == 0x200F || c == 0x061C;
}

void appendHex(std::string* out, uint8_t byte) {
    static const char digits[] = "0123456789abcdef";
    *out += "\\x";
    *out += digits[byte >> 4];
    *out += digits[byte & 15];
}

}  // namespace

std::string escapedText(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (size_t at = 0; at < bytes.size();) {
        uint32_t c = 0;
        const size_t length = utf8Length(bytes, at, &c);
        if (length == 0) {
            appendHex(&out, uint8_t(bytes[at++]));
            continue;
        }
        if (!mustEscape(c)) {
            out.append(bytes.substr(at, length));
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\\') {
            out += "\\\\";
        } else {
            for (size_t i = 0; i < length; ++i) appendHex(&out, uint8_t(bytes[at + i]));
        }
        at += length;
    }
    return out;
}

}  // namespace cli
