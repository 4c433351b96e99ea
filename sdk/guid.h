// 16-byte identifiers of the host framework: classes, interfaces and property ids.
// They are compared as raw bytes, never field by field.
#pragma once

#include <cstdint>
#include <cstring>

struct GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
};
static_assert(sizeof(GUID) == 16, "GUID is 16 bytes");

inline bool operator==(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }
inline bool operator!=(const GUID& a, const GUID& b) { return !(a == b); }

namespace qe {

constexpr uint32_t hexDigit(char c) {
    return (c >= '0' && c <= '9')   ? uint32_t(c - '0')
           : (c >= 'a' && c <= 'f') ? uint32_t(c - 'a' + 10)
           : (c >= 'A' && c <= 'F') ? uint32_t(c - 'A' + 10)
                                    : throw "not a hex digit";
}

constexpr uint32_t hexField(const char* s, int digits) {
    uint32_t v = 0;
    for (int i = 0; i < digits; ++i) v = (v << 4) | hexDigit(s[i]);
    return v;
}

// Parses the registry form "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX" at compile time.
constexpr GUID makeGuid(const char (&s)[37]) {
    if (s[8] != '-' || s[13] != '-' || s[18] != '-' || s[23] != '-') throw "malformed identifier";
    GUID g{};
    g.Data1 = hexField(s, 8);
    g.Data2 = uint16_t(hexField(s + 9, 4));
    g.Data3 = uint16_t(hexField(s + 14, 4));
    g.Data4[0] = uint8_t(hexField(s + 19, 2));
    g.Data4[1] = uint8_t(hexField(s + 21, 2));
    for (int i = 0; i < 6; ++i) g.Data4[2 + i] = uint8_t(hexField(s + 24 + 2 * i, 2));
    return g;
}

}  // namespace qe
