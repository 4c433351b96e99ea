#include "module/formats/string_dump.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <clocale>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

struct Found {
    uint64_t offset;
    std::string text;
    uint32_t crc;
};

// Records every new string; optionally stops after `stopAfter` of them.
class Recorder : public CScanStrDump {
public:
    explicit Recorder(std::span<const tagStrScanMethod> table = {}) : CScanStrDump(table) { set_lengths(4, 64); }
    int on_discover_string(uint64_t offset, const char* text, uint64_t length, uint32_t crc) override {
        EXPECT_EQ(std::string(text).size(), length);
        if (found.size() == stopAfter) return 0;
        found.push_back({offset, std::string(text, length), crc});
        return 1;
    }
    std::vector<std::string> texts() const {
        std::vector<std::string> out;
        for (const auto& f : found) out.push_back(f.text);
        return out;
    }
    std::vector<Found> found;
    size_t stopAfter = SIZE_MAX;
};

std::string utf16(const std::u16string& s) {
    std::string out;
    for (char16_t c : s) {
        out.push_back(char(c & 0xFF));
        out.push_back(char(c >> 8));
    }
    return out;
}

uint64_t scan(CScanStrDump& scanner, const std::string& chunk) {
    return scanner.ScanChunk(reinterpret_cast<const uint8_t*>(chunk.data()), chunk.size());
}

tagStrScanMethod definition(uint64_t id, std::vector<std::string> strings) {
    tagStrScanMethod d{};
    d.virusId = id;
    for (size_t i = 0; i < strings.size(); ++i) d.crcs[i] = crc32(0, reinterpret_cast<const Bytef*>(strings[i].data()), uInt(strings[i].size()));
    return d;
}

class CLocale : public ::testing::Test {
protected:
    void SetUp() override { std::setlocale(LC_ALL, "C"); }
    void TearDown() override { std::setlocale(LC_ALL, "C"); }
};

}  // namespace

TEST(Crc32, KnownValues) {
    const struct {
        const char* text;
        uint32_t crc;
    } cases[] = {
        {"", 0x00000000}, {"a", 0xE8B7BE43}, {"abc", 0x352441C2}, {"123456789", 0xCBF43926},
        {"The quick brown fox jumps over the lazy dog", 0x414FA339},
    };
    for (const auto& c : cases) EXPECT_EQ(std_crc32(c.text, std::strlen(c.text)), c.crc) << c.text;
}

TEST(Crc32, AgreesWithZlibAtEveryLengthAndAlignment) {
    std::mt19937 rng(11);
    std::vector<uint8_t> data(300);
    for (auto& b : data) b = uint8_t(rng());
    for (size_t offset = 0; offset < 8; ++offset) {
        for (size_t length = 0; length + offset <= data.size(); length += 1 + length / 7) {
            uLong want = crc32(0, data.data() + offset, uInt(length));
            ASSERT_EQ(std_crc32(data.data() + offset, length), uint32_t(want)) << offset << "+" << length;
        }
    }
    // The running value chains across calls.
    uint32_t running = update_crc32(0xFFFFFFFFu, data.data(), 13);
    running = update_crc32(running, data.data() + 13, 287);
    EXPECT_EQ(~running, std_crc32(data.data(), 300));
}

struct NarrowCase {
    const char* name;
    std::string chunk;
    std::vector<std::string> strings;
};

class StringDumpNarrow : public CLocale, public ::testing::WithParamInterface<NarrowCase> {};

TEST_P(StringDumpNarrow, FindsTheseStrings) {
    Recorder scanner;
    scan(scanner, GetParam().chunk);
    EXPECT_EQ(scanner.texts(), GetParam().strings);
    for (const Found& f : scanner.found) EXPECT_EQ(f.crc, std_crc32(f.text.data(), f.text.size()));
}

const NarrowCase kNarrowCases[] = {
    {"ShorterThanMinimum", "abc", {}},
    {"FoldsToLowerCase", "Hello World", {"hello world"}},
    {"RunStopsAtNonText", "xx\x01Payload", {"payload"}},
    {"Terminators", std::string("  padded\t \r\nsecond line&third\0four", 34), {"padded", "second line", "third", "four"}},
    {"RepeatCountsOnce", std::string("repeat\0REPEAT\0repeat", 20), {"repeat"}},
    {"LongPieceKeepsItsTail", std::string(36, 'a') + std::string(64, 'b'), {std::string(64, 'b')}},
    {"LeadingBlanksOfTheTail", std::string(70, 'x') + "\x01" + "    abcdef", {"abcdef"}},
    {"DoubleByteCharacters", "\xB0\xA1\xB0\xA2TEXT", {"\xB0\xA1\xB0\xA2text"}},
    {"TrailByteWithoutLead", "\x41\xA1word", {"word"}},
};

INSTANTIATE_TEST_SUITE_P(Cases, StringDumpNarrow, ::testing::ValuesIn(kNarrowCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(CLocale, OffsetsAreFromThePassStart) {
    Recorder scanner;
    scan(scanner, "xx\x01Payload");
    ASSERT_EQ(scanner.found.size(), 1u);
    EXPECT_EQ(scanner.found[0].offset, 3u);
}

TEST_F(CLocale, TwoByteTextAtEvenOffsets) {
    Recorder scanner;
    scan(scanner, utf16(u"Hello World") + std::string(2, '\0'));
    EXPECT_EQ(scanner.texts(), std::vector<std::string>{"hello world"});
    EXPECT_EQ(scanner.found.at(0).offset, 0u);
}

TEST_F(CLocale, TwoByteTextAtOddOffsets) {
    Recorder scanner;
    scan(scanner, std::string("\x01", 1) + utf16(u"Payload text") + std::string("\x01", 1));
    EXPECT_EQ(scanner.texts(), std::vector<std::string>{"payload text"});
    EXPECT_EQ(scanner.found.at(0).offset, 0u);  // from the pass's start, the chunk's second byte
}

// The odd pass ends at the next-to-last byte, so a unit in the last two bytes is not read.
TEST_F(CLocale, OddPassStopsBeforeTheLastByte) {
    Recorder scanner;
    scan(scanner, std::string("\x01", 1) + utf16(u"Payload text"));
    EXPECT_EQ(scanner.texts(), std::vector<std::string>{"payload tex"});
}

TEST_F(CLocale, IdeographsTheLocaleCannotExpressAreDropped) {
    Recorder scanner;
    scan(scanner, utf16(u"\u4E2D\u6587\u5B57\u7B26\u6D4B\u8BD5"));
    EXPECT_TRUE(scanner.found.empty());
}

TEST_F(CLocale, IdeographsAreConvertedToTheLocaleEncoding) {
    if (!std::setlocale(LC_CTYPE, "C.UTF-8")) GTEST_SKIP() << "no UTF-8 locale";
    Recorder scanner;
    scan(scanner, utf16(u"\u4E2D\u6587\u5B57\u7B26\u6D4B\u8BD5") + std::string(2, '\0'));
    std::string utf8 = "\xE4\xB8\xAD\xE6\x96\x87\xE5\xAD\x97\xE7\xAC\xA6\xE6\xB5\x8B\xE8\xAF\x95";
    bool seen = false;
    for (const Found& f : scanner.found) seen |= f.text == utf8 && f.crc == std_crc32(utf8.data(), utf8.size());
    EXPECT_TRUE(seen);
}

TEST(StringDumpLengths, AreChecked) {
    CScanStrDump scanner;
    EXPECT_FALSE(scanner.set_lengths(0, 64));
    EXPECT_FALSE(scanner.set_lengths(65, 64));
    EXPECT_FALSE(scanner.set_lengths(4, string_dumper::kMaxStringLength + 1));
    EXPECT_TRUE(scanner.set_lengths(4, 64));
    // Without lengths nothing is taken, and nothing breaks.
    CScanStrDump unset(std::span<const tagStrScanMethod>{});
    EXPECT_EQ(scan(unset, "Hello World"), 0u);
    EXPECT_EQ(unset.distinct_strings(), 0u);
}

class StringDumpDefinitions : public CLocale {
protected:
    std::vector<tagStrScanMethod> table = {
        definition(0x1000, {"first string", "second string"}),
        definition(0x2000, {"alpha beta", "gamma delta", "epsilon"}),
        definition(0x3000, {"alpha beta", "gamma delta"}),
    };
};

TEST_F(StringDumpDefinitions, CountsComeFromTheTerminatingZero) {
    CScanStrDump scanner(table);
    EXPECT_EQ(scanner.definition_count(), 3u);
}

TEST_F(StringDumpDefinitions, ReportedOnceEveryStringWasSeen) {
    Recorder scanner(table);
    EXPECT_EQ(scan(scanner, "noise here&FIRST STRING"), 0u);
    EXPECT_EQ(scan(scanner, "more noise"), 0u);
    // Completed by the third chunk.
    EXPECT_EQ(scan(scanner, "Second String"), 0x1000u);
}

TEST_F(StringDumpDefinitions, FirstCompleteDefinitionInTableOrderWins) {
    Recorder scanner(table);
    EXPECT_EQ(scan(scanner, std::string("alpha beta\0gamma delta\0epsilon", 30)), 0x2000u);
}

TEST_F(StringDumpDefinitions, ChunkBelowMinimumStillChecksDefinitions) {
    Recorder scanner(table);
    EXPECT_EQ(scan(scanner, std::string("gamma delta\0epsilon", 19)), 0u);
    EXPECT_EQ(scan(scanner, "abc"), 0u);
    EXPECT_EQ(scan(scanner, "alpha beta"), 0x2000u);
}

TEST_F(StringDumpDefinitions, ScannersDoNotShareState) {
    Recorder one(table), two(table);
    EXPECT_EQ(scan(one, "first string"), 0u);
    EXPECT_EQ(scan(two, "second string"), 0u);
    EXPECT_EQ(scan(one, "second string"), 0x1000u);
}

TEST_F(StringDumpDefinitions, StoppingTheChunkKeepsTheStringUnrecorded) {
    Recorder scanner(table);
    scanner.stopAfter = 1;
    EXPECT_EQ(scan(scanner, std::string("first string\0second string", 26)), 0u);
    EXPECT_EQ(scanner.distinct_strings(), 1u);
    scanner.stopAfter = SIZE_MAX;
    EXPECT_EQ(scan(scanner, "second string"), 0x1000u);
}

TEST(StringDumpShipped, TableHoldsOnlyCompleteDefinitions) {
    // None ships: every CRC list we would ship must be complete, and none is known in full.
    EXPECT_TRUE(CScanStrDump::g_VirusStr.empty());
    CScanStrDump scanner;
    scanner.set_lengths(4, 64);
    EXPECT_EQ(scanner.definition_count(), 0u);
    EXPECT_EQ(scan(scanner, "Hello World"), 0u);
}
