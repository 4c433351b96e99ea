#include "module/toolkit/mem_search.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace {

// -1: no match, else the expected offset.
struct CountedCase {
    std::string haystack;
    std::string needle;
    int expected;
};

int offsetOf(const uint8_t* found, const std::string& haystack) {
    return found ? int(found - reinterpret_cast<const uint8_t*>(haystack.data())) : -1;
}

TEST(Memstr, FindsTheFirstExactOccurrence) {
    const CountedCase cases[] = {
        {"hello world", "world", 6},
        {"abababc", "abc", 4},
        {"aaab", "aab", 1},
        {"abc", "abc", 0},      // equal lengths: one position
        {"abc", "abd", -1},
        {"ab", "abc", -1},      // needle longer than the haystack
        {"abc", "", -1},        // empty needle
        {std::string("x\0y\0z", 5), std::string("\0z", 2), 3},
        {"xVIRUSx", "virus", -1},  // no folding
    };
    for (const CountedCase& c : cases) {
        EXPECT_EQ(offsetOf(memstr(c.haystack.data(), int32_t(c.haystack.size()), c.needle.data(),
                                  int32_t(c.needle.size())),
                           c.haystack),
                  c.expected)
            << c.haystack << " / " << c.needle;
    }
}

TEST(Memistr, FoldsOnlyAsciiLetters) {
    const CountedCase cases[] = {
        {"xVIRUSx", "virus", 1},
        {"xvirusx", "VIRUS", 1},
        {"\xC9t\xE9", "\xE9t\xE9", -1},  // 0xE9 does not match 0xC9
        {"\xE9t\xE9", "\xE9T\xE9", 0},
        {"[@]", "{`}", -1},  // neighbours of the letters are not folded
        {"abc", "", -1},
        {"AB", "abc", -1},
    };
    for (const CountedCase& c : cases) {
        EXPECT_EQ(offsetOf(memistr(c.haystack.data(), int32_t(c.haystack.size()), c.needle.data(),
                                   int32_t(c.needle.size())),
                           c.haystack),
                  c.expected)
            << c.haystack << " / " << c.needle;
    }
}

TEST(Memstr, NegativeOrNullArgumentsGiveNull) {
    const char h[] = "abc";
    EXPECT_EQ(memstr(h, -1, "a", 1), nullptr);
    EXPECT_EQ(memstr(h, 3, "a", -1), nullptr);
    EXPECT_EQ(memstr(static_cast<const void*>(nullptr), 3, "a", 1), nullptr);
    EXPECT_EQ(memistr(h, 3, nullptr, 1), nullptr);
}

struct PatternCase {
    std::string haystack;
    std::string pattern;
    int offset;  // -1: no match
    size_t matchLength;
    size_t fixedLength;
    bool openEnd;
};

using Bytes = std::basic_string<unsigned char>;

PatternCase run(bool wildcard, const PatternCase& c) {
    Bytes h(c.haystack.begin(), c.haystack.end());
    Bytes p(c.pattern.begin(), c.pattern.end());
    size_t matchLength = 999, fixedLength = 999;
    bool openEnd = false;
    unsigned char* begin = h.data();
    unsigned char* end = h.data() + h.size();
    unsigned char* found =
        wildcard ? __stmstm_t<__stream_traits_wildcard_case_sensitive<unsigned char>>(
                       begin, end, p.data(), p.data() + p.size(), &matchLength, &fixedLength, &openEnd)
                 : __stmstm_t<__stream_traits_non_wildcard_case_sensitive<unsigned char>>(
                       begin, end, p.data(), p.data() + p.size(), &matchLength, &fixedLength, &openEnd);
    if (found == end && !(c.offset == int(h.size()))) return {c.haystack, c.pattern, -1, 0, 0, false};
    return {c.haystack, c.pattern, int(found - begin), matchLength, fixedLength, openEnd};
}

void expectSame(const PatternCase& got, const PatternCase& want) {
    SCOPED_TRACE("haystack '" + want.haystack + "' pattern '" + want.pattern + "'");
    ASSERT_EQ(got.offset, want.offset);
    if (want.offset < 0) return;
    EXPECT_EQ(got.matchLength, want.matchLength);
    EXPECT_EQ(got.fixedLength, want.fixedLength);
    EXPECT_EQ(got.openEnd, want.openEnd);
}

TEST(StmstmLiteral, FindsTheFirstOccurrenceWithoutSkippingStarts) {
    const PatternCase cases[] = {
        {"abcdef", "", 0, 0, 0, true},
        {"", "a", -1, 0, 0, false},
        {"xxabc", "abc", 2, 3, 3, false},
        {"aaab", "aab", 1, 3, 3, false},       // the failed candidate re-anchors one byte on
        {"abab", "aba", 0, 3, 3, false},
        {"xxab", "abc", -1, 0, 0, false},      // runs past the end
        {"a*c abc", "a*c", 0, 3, 3, false},    // '*' is literal here
        {"abc", "a?c", -1, 0, 0, false},
    };
    for (const PatternCase& c : cases) expectSame(run(false, c), c);
}

TEST(StmstmWildcard, PatternLanguage) {
    const PatternCase cases[] = {
        {"abc", "a?c", 0, 3, 3, false},
        {"zaxc", "a?c", 1, 3, 3, false},
        {"abc", "a\\?c", -1, 0, 0, false},
        {"abc a?c", "a\\?c", 4, 3, 3, false},
        {"abbbc", "a*c", 0, 5, 2, false},
        {"xxabbbcyy", "**a*c", 2, 5, 2, false},  // leading '*' is not part of the match
        {"abc", "**", 0, 0, 0, true},
        {"abc", "", 0, 0, 0, true},
        {"", "*", 0, 0, 0, true},
        {"", "a", -1, 0, 0, false},
        {"", "*?", -1, 0, 0, false},
        {"zzab", "ab*cd", 2, 2, 2, true},        // buffer ends in 'ab': open end
        {"zzabx", "ab*cd", -1, 0, 0, false},     // the rest is required while bytes remain
        {"zza", "ab*cd", -1, 0, 0, false},
        {"abc", "abc*def", 0, 3, 3, true},
        {"abcXXdef", "abc*def", 0, 8, 6, false},
        {"abcdef", "abc*", 0, 3, 3, true},
        {"abcdef", "a\\", 0, 1, 1, true},        // a lone trailing backslash acts like '*'
        {"a*b", "a\\*b", 0, 3, 3, false},
        {"axxb", "a\\*b", -1, 0, 0, false},
        {"aab", "a?b", 0, 3, 3, false},
        {"xaaab", "a?b", 2, 3, 3, false},        // re-anchored candidate
        {"abcabd", "ab?*d", 0, 6, 4, false},
        {"q1w2e3", "?2*3", 2, 4, 3, false},
        {"abXcdYef", "ab*cd*ef", 0, 8, 6, false},
        {"abXcd", "ab*cd*ef", 0, 5, 4, true},
        {"abXc", "ab*cd*ef", -1, 0, 0, false},
    };
    for (const PatternCase& c : cases) expectSame(run(true, c), c);
}

TEST(SerachMem, ReportsOffsetsAndZeroForNoMatch) {
    struct Case {
        std::string buffer, pattern;
        int wildcard;
        uint32_t expected;
    };
    const Case cases[] = {
        {"xxabc", "abc", 0, 2},
        {"abcxx", "abc", 0, 0},  // found at offset 0: the same answer as no match
        {"xxxxx", "abc", 0, 0},
        {"xx\xE8?\x01\x02", "\xE8?\x01", 0, 2},
        {"xx\xE8\x55\x01\x02", "\xE8?\x01", 0, 0},
        {"xx\xE8\x55\x01\x02", "\xE8?\x01", 1, 2},
        {std::string("pq\0\0\x8B", 5), std::string("\0?\x8B", 3), 1, 2},
        {"xxab", "ab*cd", 1, 2},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(SerachMem(c.buffer.data(), uint32_t(c.buffer.size()), c.pattern.data(), uint32_t(c.pattern.size()),
                            c.wildcard),
                  c.expected)
            << c.buffer << " / " << c.pattern;
    }
    EXPECT_EQ(SerachMem(nullptr, 4, "a", 1, 0), 0u);
}

TEST(Stristr, NarrowReturnsOnePastTheMatchStart) {
    const char* haystack = "xxHELLO";
    EXPECT_EQ(stristrA(haystack, "hello", 5), haystack + 3);
    EXPECT_EQ(stristrA(haystack, "hello", 3), haystack + 3);      // searches "hel"
    const char* cut = "xxHEL";
    EXPECT_EQ(stristrA(cut, "hello", 3), cut + 3);
    EXPECT_EQ(stristrA("xxHEL", "hello", 5), nullptr);
    EXPECT_EQ(stristrA("abc", "HELLO", 5), nullptr);
    EXPECT_EQ(stristrA(nullptr, "a", 1), nullptr);
    EXPECT_EQ(stristrA("a", nullptr, 1), nullptr);
    EXPECT_EQ(stristrA("", "", 0), nullptr);
    const char* mixed = "Setup.EXE";
    EXPECT_EQ(stristrA(mixed, ".exe", 100), mixed + 6);
}

TEST(Stristr, WideFoldsLettersAndLeavesWideCharactersAlone) {
    const wchar_t* haystack = L"xxHELLO";
    EXPECT_EQ(stristrW(haystack, L"hello", 5), haystack + 3);
    EXPECT_EQ(stristrW(haystack, L"helxx", 3), haystack + 3);
    EXPECT_EQ(stristrW(L"\x0410\x0411", L"\x0430", 1), nullptr);  // Cyrillic: not folded
    const wchar_t* cyr = L"a\x0410";
    EXPECT_EQ(stristrW(cyr, L"\x0410", 1), cyr + 2);
    EXPECT_EQ(stristrW(nullptr, L"a", 1), nullptr);
}

TEST(IsExistXByte, CountsAgainstTheMinimum) {
    const uint8_t buffer[] = {0xE8, 0, 0xE8, 1, 0xE8};
    EXPECT_EQ(IsExistXByte(buffer, 5, 0xE8, 3), 1);
    EXPECT_EQ(IsExistXByte(buffer, 5, 0xE8, 4), 0);
    EXPECT_EQ(IsExistXByte(buffer, 4, 0xE8, 3), 0);  // only the first length bytes
    EXPECT_EQ(IsExistXByte(buffer, 0, 0xE8, 0), 1);
    EXPECT_EQ(IsExistXByte(buffer, -3, 0xE8, 1), 0);
    EXPECT_EQ(IsExistXByte(buffer, -3, 0xE8, -1), 1);
}

TEST(FindBytes, AnswersAMatchAtTheStartApartFromNone) {
    const uint8_t data[] = {'a', 'b', 'c', 'a', 'b'};
    const struct {
        std::string pattern;
        std::optional<uint32_t> expected;
    } cases[] = {{"ab", 0u}, {"ca", 2u}, {"bc", 1u}, {"abx", std::nullopt}, {"", std::nullopt},
                 {"abcabx", std::nullopt}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pattern);
        const auto* p = reinterpret_cast<const uint8_t*>(c.pattern.data());
        EXPECT_EQ(remedy::findBytes(data, std::span<const uint8_t>(p, c.pattern.size())), c.expected);
    }
}

// Both searches over wildcard patterns must find the same first place; the quick search only
// looks at starts up to its limit.
TEST(FindPattern, PlainAndQuickSearchAgreeWithWildcards) {
    constexpr int16_t _ = remedy::kAnyByte;
    const std::vector<uint8_t> data = {0x00, 0x41, 0x42, 0x41, 0x43, 0x99, 0x41, 0x42};
    const struct {
        const char* name;
        std::vector<int16_t> pattern;
        std::optional<size_t> expected;
    } cases[] = {
        {"exact", {0x41, 0x43}, 3},
        {"wildcard last", {0x41, _}, 1},       // the byte behind a window must not skip past a wildcard
        {"wildcard first", {_, 0x43, 0x99}, 3},
        {"wildcard only", {_, _}, 0},
        {"at the very end", {0x99, 0x41, 0x42}, 5},
        {"absent", {0x42, 0x42}, std::nullopt},
        {"longer than the data", std::vector<int16_t>(9, _), std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(remedy::findPattern(data, c.pattern), c.expected);
        const size_t lastStart = data.size() >= c.pattern.size() ? data.size() - c.pattern.size() : 0;
        EXPECT_EQ(remedy::quickSearch(data, c.pattern, lastStart), c.expected);
    }
    const int16_t tail[] = {0x41, 0x42};
    EXPECT_EQ(remedy::quickSearch(data, tail, 0), std::nullopt) << "a start above the limit was tried";
    EXPECT_TRUE(remedy::matchesAt(data, 6, tail));
    EXPECT_FALSE(remedy::matchesAt(data, 7, tail));
    EXPECT_FALSE(remedy::matchesAt(data, 100, tail));
}

}  // namespace
