#include "module/toolkit/mem_search.h"

#include <algorithm>
#include <array>
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

namespace remedy {

std::optional<uint32_t> findBytes(std::span<const uint8_t> haystack, std::span<const uint8_t> pattern) {
    if (pattern.empty() || pattern.size() > haystack.size()) return std::nullopt;
    const uint32_t hit = SerachMem(haystack.data(), uint32_t(haystack.size()), pattern.data(),
                                   uint32_t(pattern.size()), 0);
    if (hit != 0) return hit;
    // SerachMem answers 0 both for a match at the start and for none.
    if (std::memcmp(haystack.data(), pattern.data(), pattern.size()) == 0) return 0u;
    return std::nullopt;
}

bool matchesAt(std::span<const uint8_t> data, size_t at, BytePattern pattern) {
    if (at > data.size() || data.size() - at < pattern.size()) return false;
    for (size_t i = 0; i < pattern.size(); ++i)
        if (pattern[i] >= 0 && data[at + i] != uint8_t(pattern[i])) return false;
    return true;
}

std::optional<size_t> findPattern(std::span<const uint8_t> data, BytePattern pattern) {
    for (size_t at = 0; at + pattern.size() <= data.size(); ++at)
        if (matchesAt(data, at, pattern)) return at;
    return std::nullopt;
}

std::optional<size_t> quickSearch(std::span<const uint8_t> data, BytePattern pattern, size_t lastStart) {
    const size_t m = pattern.size();
    std::array<size_t, 256> shift;
    shift.fill(m + 1);
    for (size_t i = 0; i < m; ++i) {
        if (pattern[i] >= 0) {
            shift[uint8_t(pattern[i])] = m - i;
        } else {
            // A wildcard matches every byte: no byte may move the window past it.
            for (size_t& s : shift) s = std::min(s, m - i);
        }
    }
    for (size_t at = 0; at <= lastStart;) {
        if (matchesAt(data, at, pattern)) return at;
        if (at + m >= data.size()) return std::nullopt;
        at += shift[data[at + m]];
    }
    return std::nullopt;
}

}  // namespace remedy
