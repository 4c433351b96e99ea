#include "module/toolkit/mem_search.h"

#include <cctype>
#include <cstring>
#include <new>
#include <string>

namespace {

uint8_t foldAscii(uint8_t b) { return (b >= 'A' && b <= 'Z') ? uint8_t(b + 0x20) : b; }

template <bool kFold>
const uint8_t* searchCounted(const void* haystack, int32_t haystackLength, const void* needle, int32_t needleLength) {
    if (!haystack || !needle || needleLength < 1 || haystackLength < needleLength) return nullptr;
    const auto* h = static_cast<const uint8_t*>(haystack);
    const auto* n = static_cast<const uint8_t*>(needle);
    const int32_t lastStart = haystackLength - needleLength;
    for (int32_t start = 0; start <= lastStart; ++start) {
        int32_t i = 0;
        for (; i < needleLength; ++i) {
            uint8_t a = h[start + i], b = n[i];
            if (a != b && (!kFold || foldAscii(a) != foldAscii(b))) break;
        }
        if (i == needleLength) return h + start;
    }
    return nullptr;
}

// The position one character after the first occurrence of the folded needle, or null.
template <class Char, class Fold>
const Char* foldedSearch(const Char* haystack, const Char* needle, long limit, Fold fold) {
    if (!haystack || !needle) return nullptr;
    try {
        std::basic_string<Char> h(haystack), n;
        for (long i = 0; i < limit && needle[i]; ++i) n.push_back(needle[i]);
        // An empty needle would "match" at the terminator of an empty haystack, one past it.
        if (n.empty()) return nullptr;
        for (Char& c : h) c = fold(c);
        for (Char& c : n) c = fold(c);
        size_t at = h.find(n);
        if (at == std::basic_string<Char>::npos) return nullptr;
        return haystack + at + 1;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

}  // namespace

const uint8_t* memstr(const void* haystack, int32_t haystackLength, const void* needle, int32_t needleLength) {
    return searchCounted<false>(haystack, haystackLength, needle, needleLength);
}
uint8_t* memstr(void* haystack, int32_t haystackLength, const void* needle, int32_t needleLength) {
    return const_cast<uint8_t*>(searchCounted<false>(haystack, haystackLength, needle, needleLength));
}
const uint8_t* memistr(const void* haystack, int32_t haystackLength, const void* needle, int32_t needleLength) {
    return searchCounted<true>(haystack, haystackLength, needle, needleLength);
}
uint8_t* memistr(void* haystack, int32_t haystackLength, const void* needle, int32_t needleLength) {
    return const_cast<uint8_t*>(searchCounted<true>(haystack, haystackLength, needle, needleLength));
}

template unsigned char* __stmstm_t<__stream_traits_non_wildcard_case_sensitive<unsigned char>, unsigned char*,
                                   unsigned char*>(unsigned char*, unsigned char*, unsigned char*, unsigned char*,
                                                   size_t*, size_t*, bool*);
template unsigned char* __stmstm_t<__stream_traits_wildcard_case_sensitive<unsigned char>, unsigned char*,
                                   unsigned char*>(unsigned char*, unsigned char*, unsigned char*, unsigned char*,
                                                   size_t*, size_t*, bool*);

uint32_t SerachMem(const void* buffer, uint32_t length, const void* pattern, uint32_t patternLength, int wildcard) {
    if ((!buffer && length) || (!pattern && patternLength)) return 0;
    // The searches never write; the instantiations take plain byte pointers.
    auto* begin = static_cast<unsigned char*>(const_cast<void*>(buffer));
    auto* end = begin + length;
    auto* patternBegin = static_cast<unsigned char*>(const_cast<void*>(pattern));
    auto* patternEnd = patternBegin + patternLength;
    unsigned char* found =
        wildcard ? __stmstm_t<__stream_traits_wildcard_case_sensitive<unsigned char>>(begin, end, patternBegin, patternEnd)
                 : __stmstm_t<__stream_traits_non_wildcard_case_sensitive<unsigned char>>(begin, end, patternBegin,
                                                                                          patternEnd);
    if (found == end) return 0;
    return uint32_t(found - begin);
}

const char* stristrA(const char* haystack, const char* needle, long limit) {
    return foldedSearch(haystack, needle, limit,
                        [](char c) { return (c >= 'A' && c <= 'Z') ? char(c + ('a' - 'A')) : c; });
}

const wchar_t* stristrW(const wchar_t* haystack, const wchar_t* needle, long limit) {
    return foldedSearch(haystack, needle, limit, [](wchar_t c) {
        // tolower is defined only for values of unsigned char; wider characters stay as they are.
        return (c >= 0 && c <= 255) ? wchar_t(std::tolower(int(c))) : c;
    });
}

int IsExistXByte(const void* buffer, int32_t length, uint8_t value, int32_t minimum) {
    int64_t count = 0;
    if (buffer) {
        const auto* bytes = static_cast<const uint8_t*>(buffer);
        for (int32_t i = 0; i < length; ++i) count += bytes[i] == value;
    }
    return count >= minimum ? 1 : 0;
}
