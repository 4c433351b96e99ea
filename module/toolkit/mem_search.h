// Byte-pattern search in memory windows the units read from a file: counted byte buffers
// (memstr, memistr, SerachMem over __stmstm_t), zero-terminated strings (stristrA, stristrW)
// and a byte count (IsExistXByte). Plain forward scans; nothing but the two string functions
// allocates, and nothing keeps state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

// First occurrence of needle in haystack, or null. Null when the needle length is below 1,
// when the haystack is shorter than the needle, or when a pointer is null.
const uint8_t* memstr(const void* haystack, int32_t haystackLength, const void* needle, int32_t needleLength);
uint8_t* memstr(void* haystack, int32_t haystackLength, const void* needle, int32_t needleLength);
// As memstr, with 'A'..'Z' folded to lower case on both sides (bytes from 0x80 compare exactly).
const uint8_t* memistr(const void* haystack, int32_t haystackLength, const void* needle, int32_t needleLength);
uint8_t* memistr(void* haystack, int32_t haystackLength, const void* needle, int32_t needleLength);

// Pattern languages of __stmstm_t. Both compare bytes exactly.
template <class Char>
struct __stream_traits_non_wildcard_case_sensitive {
    static constexpr bool kWildcard = false;
    static bool eq(Char a, Char b) { return a == b; }
};

// '*' matches any run of bytes (also empty), '?' exactly one byte, and a backslash makes the
// next pattern byte literal.
template <class Char>
struct __stream_traits_wildcard_case_sensitive {
    static constexpr bool kWildcard = true;
    static constexpr Char kAnyRun = Char('*');
    static constexpr Char kAnyOne = Char('?');
    static constexpr Char kEscape = Char('\\');
    static bool eq(Char a, Char b) { return a == b; }
};

namespace remedy::detail {

// One element of a wildcard segment: '?' (any byte) or a literal byte.
template <class PatternIt>
struct SegmentElement {
    bool any;
    PatternIt literal;  // the literal byte's place in the pattern
    PatternIt next;     // where the following element starts
};

// Reads the element at p (which is not the segment's end).
template <class Traits, class PatternIt>
SegmentElement<PatternIt> readElement(PatternIt p, PatternIt patternEnd) {
    if (Traits::eq(*p, Traits::kAnyOne)) return {true, p, p + 1};
    if (Traits::eq(*p, Traits::kEscape) && p + 1 != patternEnd) return {false, p + 1, p + 2};
    return {false, p, p + 1};
}

// A segment ends at an unescaped '*', at the pattern's end, or at a lone trailing backslash.
template <class Traits, class PatternIt>
bool segmentEndsAt(PatternIt p, PatternIt patternEnd) {
    if (p == patternEnd || Traits::eq(*p, Traits::kAnyRun)) return true;
    return Traits::eq(*p, Traits::kEscape) && p + 1 == patternEnd;
}

enum class SegmentMatch { kMatch, kMismatch, kHaystackEnded };

// Verifies the segment starting at pattern place p against the haystack at h.
template <class Traits, class HaystackIt, class PatternIt>
SegmentMatch matchSegmentAt(HaystackIt h, HaystackIt end, PatternIt p, PatternIt patternEnd, HaystackIt* matchEnd) {
    while (!segmentEndsAt<Traits>(p, patternEnd)) {
        if (h == end) return SegmentMatch::kHaystackEnded;
        SegmentElement<PatternIt> e = readElement<Traits>(p, patternEnd);
        if (!e.any && !Traits::eq(*h, *e.literal)) return SegmentMatch::kMismatch;
        ++h;
        p = e.next;
    }
    *matchEnd = h;
    return SegmentMatch::kMatch;
}

}  // namespace remedy::detail

// Finds the first match of [patternBegin, patternEnd) in [begin, end) and returns its start,
// or `end` when there is none. matchLength: bytes from the start to the end of the last matched
// element; fixedLength: bytes matched by non-'*' elements; openEnd: the haystack ran out while
// the pattern still had a '*' (or a lone trailing backslash) to consume, so the part after it
// was not required. An empty pattern (or, with wildcards, one of only '*') matches at `begin`
// with both lengths 0 and openEnd set.
template <class Traits, class HaystackIt, class PatternIt>
HaystackIt __stmstm_t(HaystackIt begin, HaystackIt end, PatternIt patternBegin, PatternIt patternEnd,
                      size_t* matchLength = nullptr, size_t* fixedLength = nullptr, bool* openEnd = nullptr) {
    auto report = [&](HaystackIt start, size_t length, size_t fixed, bool open) {
        if (matchLength) *matchLength = length;
        if (fixedLength) *fixedLength = fixed;
        if (openEnd) *openEnd = open;
        return start;
    };
    if constexpr (!Traits::kWildcard) {
        if (patternBegin == patternEnd) return report(begin, 0, 0, true);
        const size_t patternLength = size_t(patternEnd - patternBegin);
        for (HaystackIt candidate = begin; candidate != end; ++candidate) {
            if (!Traits::eq(*candidate, *patternBegin)) continue;
            if (size_t(end - candidate) < patternLength) return end;  // runs past the haystack end
            size_t i = 1;
            while (i < patternLength && Traits::eq(candidate[i], patternBegin[i])) ++i;
            if (i == patternLength) return report(candidate, patternLength, patternLength, false);
        }
        return end;
    } else {
        using namespace remedy::detail;
        // The segments between '*' are matched left to right, each at its first place after the
        // previous one; a later place for an earlier segment could only leave less haystack for
        // the rest, so there is no retry.
        HaystackIt searchFrom = begin;
        PatternIt p = patternBegin;
        bool matched = false;
        HaystackIt matchStart = begin, matchEnd = begin;
        size_t fixed = 0;
        for (;;) {
            while (p != patternEnd && Traits::eq(*p, Traits::kAnyRun)) ++p;
            if (p == patternEnd || (p + 1 == patternEnd && Traits::eq(*p, Traits::kEscape))) {
                if (!matched) matchStart = matchEnd = searchFrom;
                return report(matchStart, size_t(matchEnd - matchStart), fixed, true);
            }
            const SegmentElement<PatternIt> first = readElement<Traits>(p, patternEnd);
            HaystackIt found = end, segmentEnd = end;
            for (HaystackIt candidate = searchFrom; candidate != end; ++candidate) {
                if (!first.any && !Traits::eq(*candidate, *first.literal)) continue;
                SegmentMatch r = matchSegmentAt<Traits>(candidate, end, p, patternEnd, &segmentEnd);
                if (r == SegmentMatch::kHaystackEnded) return end;
                if (r == SegmentMatch::kMatch) {
                    found = candidate;
                    break;
                }
            }
            if (found == end) return end;
            if (!matched) matchStart = found;
            matched = true;
            matchEnd = segmentEnd;
            fixed += size_t(segmentEnd - found);
            while (!segmentEndsAt<Traits>(p, patternEnd)) p = readElement<Traits>(p, patternEnd).next;
            if (p == patternEnd) return report(matchStart, size_t(matchEnd - matchStart), fixed, false);
            if (matchEnd == end) return report(matchStart, size_t(matchEnd - matchStart), fixed, true);
            searchFrom = matchEnd;
        }
    }
}

// Offset of the first match of pattern in buffer ('*', '?' and backslash are wildcards when
// `wildcard` is non-zero). 0 when there is no match - and also for a match at offset 0.
uint32_t SerachMem(const void* buffer, uint32_t length, const void* pattern, uint32_t patternLength, int wildcard);

// Case-insensitive substring search ('A'..'Z' folded) for at most `limit` characters of needle.
// On a match: the haystack address one character after the match's start; else null (also for
// null strings and an empty needle).
const char* stristrA(const char* haystack, const char* needle, long limit);
// As stristrA over wide strings; characters 0..255 are folded with the C library's tolower.
const wchar_t* stristrW(const wchar_t* haystack, const wchar_t* needle, long limit);

// 1 when `value` occurs at least `minimum` times among the first `length` bytes, else 0.
int IsExistXByte(const void* buffer, int32_t length, uint8_t value, int32_t minimum);

namespace remedy {

// First occurrence of `pattern` in `haystack`, as an offset from its start (SerachMem without
// its ambiguous 0); nullopt for an empty pattern or none.
std::optional<uint32_t> findBytes(std::span<const uint8_t> haystack, std::span<const uint8_t> pattern);

// A byte pattern with wildcards: each element is a byte value, or kAnyByte for any byte.
using BytePattern = std::span<const int16_t>;
constexpr int16_t kAnyByte = -1;

// True when `pattern` matches `data` at `at` (false when it would run past the end).
bool matchesAt(std::span<const uint8_t> data, size_t at, BytePattern pattern);

// First place of `pattern` in `data`, by a plain forward scan.
std::optional<size_t> findPattern(std::span<const uint8_t> data, BytePattern pattern);

// As findPattern by quick search (Sunday): after a mismatch the window moves by the shift of the
// byte just behind it (the pattern's length + 1 for bytes not in the pattern, else the distance
// from the byte's last place in the pattern to the pattern's end). Starts above `lastStart` are
// not tried.
std::optional<size_t> quickSearch(std::span<const uint8_t> data, BytePattern pattern, size_t lastStart);

}  // namespace remedy
