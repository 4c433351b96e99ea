#include "host/base64.h"

#include <cstdint>

namespace host {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int valueOf(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

}  // namespace

std::string base64Encode(std::string_view bytes) {
    std::string text;
    text.reserve((bytes.size() + 2) / 3 * 4);
    for (size_t i = 0; i < bytes.size(); i += 3) {
        const size_t n = std::min<size_t>(3, bytes.size() - i);
        uint32_t group = uint32_t(uint8_t(bytes[i])) << 16;
        if (n > 1) group |= uint32_t(uint8_t(bytes[i + 1])) << 8;
        if (n > 2) group |= uint8_t(bytes[i + 2]);
        text += kAlphabet[group >> 18];
        text += kAlphabet[(group >> 12) & 63];
        text += n > 1 ? kAlphabet[(group >> 6) & 63] : '=';
        text += n > 2 ? kAlphabet[group & 63] : '=';
    }
    return text;
}

bool base64Decode(std::string_view text, std::string* bytes) {
    bytes->clear();
    if (text.size() % 4) return false;
    for (size_t i = 0; i < text.size(); i += 4) {
        const bool last = i + 4 == text.size();
        const int pad = last ? (text[i + 3] == '=') + (text[i + 2] == '=') : 0;
        if (pad == 1 && text[i + 2] == '=') return false;
        uint32_t group = 0;
        for (int k = 0; k < 4 - pad; ++k) {
            const int v = valueOf(text[i + k]);
            if (v < 0) return false;
            group = group << 6 | uint32_t(v);
        }
        group <<= 6 * pad;
        if (pad && (group & ((1u << (8 * pad)) - 1))) return false;  // stray bits: not canonical
        bytes->push_back(char(group >> 16));
        if (pad < 2) bytes->push_back(char(group >> 8));
        if (pad < 1) bytes->push_back(char(group));
    }
    return true;
}

}  // namespace host
