#include "cli/escaped_text.h"

#include <cstdint>

#include "cli/utf8_text.h"

namespace cli {

namespace {

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
