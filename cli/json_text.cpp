#include "cli/json_text.h"

#include <cstdint>
#include <cstdio>

namespace cli {

namespace {

// Length of the valid UTF-8 sequence at text[i], or 0 when it is not valid.
size_t utf8Length(std::string_view text, size_t i) {
    const auto byte = [&](size_t k) { return uint8_t(text[k]); };
    const uint8_t lead = byte(i);
    size_t length;
    uint32_t min;
    if (lead >= 0xC2 && lead <= 0xDF) length = 2, min = 0x80;
    else if (lead >= 0xE0 && lead <= 0xEF) length = 3, min = 0x800;
    else if (lead >= 0xF0 && lead <= 0xF4) length = 4, min = 0x10000;
    else return 0;
    if (i + length > text.size()) return 0;
    uint32_t code = lead & (0x7F >> length);
    for (size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
        code = code << 6 | (byte(i + k) & 0x3F);
    }
    if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
    return length;
}

}  // namespace

std::string jsonString(std::string_view text) {
    std::string out = "\"";
    for (size_t i = 0; i < text.size();) {
        const uint8_t c = uint8_t(text[i]);
        if (c < 0x80) {
            if (c == '"') out += "\\\"";
            else if (c == '\\') out += "\\\\";
            else if (c == '\n') out += "\\n";
            else if (c == '\t') out += "\\t";
            else if (c == '\r') out += "\\r";
            else if (c < 0x20 || c == 0x7F) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04X", c);
                out += escaped;
            } else {
                out += char(c);
            }
            ++i;
            continue;
        }
        const size_t length = utf8Length(text, i);
        if (length == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
        } else {
            out.append(text.substr(i, length));
            i += length;
        }
    }
    return out + "\"";
}

}  // namespace cli
