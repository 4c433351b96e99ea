#include "cli/json_text.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>

#include "cli/utf8_text.h"

namespace cli {

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
        uint32_t codePoint = 0;
        const size_t length = utf8Length(text, i, &codePoint);
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

std::string base64Text(std::string_view bytes) {
    static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    for (size_t at = 0; at < bytes.size(); at += 3) {
        const size_t have = std::min<size_t>(3, bytes.size() - at);
        uint32_t group = 0;
        for (size_t k = 0; k < 3; ++k) group = group << 8 | (k < have ? uint8_t(bytes[at + k]) : 0);
        for (size_t k = 0; k < 4; ++k) out += k <= have ? digits[(group >> (18 - 6 * k)) & 63] : '=';
    }
    return out;
}

}  // namespace cli
