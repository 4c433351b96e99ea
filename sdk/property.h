// The host's property value record: a 16-bit type tag at offset 0, the value at offset 8.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cwchar>

namespace qe {

// Type tags in use.
constexpr uint16_t VT_UI4 = 19;    // unsigned 32-bit integer (white-list flag)
constexpr uint16_t VT_INT = 22;    // 32-bit integer (format code, module marker properties)
constexpr uint16_t VT_UINT = 23;   // unsigned 32-bit integer (cached PE facts)
constexpr uint16_t VT_LPSTR = 30;  // narrow string pointer
constexpr uint16_t VT_LPWSTR = 31; // wide string pointer

}  // namespace qe

struct QEPROPVALUE {
    uint16_t vt;
    uint16_t reserved1;
    uint32_t reserved2;
    union {
        int32_t intVal;
        uint32_t uintVal;
        uint64_t u64Val;
        const char* narrowVal;
        const wchar_t* wideVal;
        const void* ptrVal;
    };
};
static_assert(sizeof(QEPROPVALUE) == 16, "property value is 16 bytes");
static_assert(offsetof(QEPROPVALUE, intVal) == 8, "value at offset 8");

// A path handed out by IQxHandleFile::GetPath: kind 0 narrow, otherwise wide.
struct QEPATHRECORD {
    uint32_t kind;
    uint32_t reserved;
    const void* path;
};
static_assert(offsetof(QEPATHRECORD, path) == 8, "path pointer at offset 8");
