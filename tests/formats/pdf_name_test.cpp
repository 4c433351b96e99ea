#include "module/formats/pdf_name.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::span<const uint8_t> bytesOf(const std::string& text) {
    return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

TEST(PdfName, DecodesEscapesAsReadersDo) {
    struct Case {
        std::string text;  // a name starting at offset 0
        const char* wanted;
        bool matches;
        size_t end;  // where the name ends when it matches
    };
    const Case cases[] = {
        {"/Colors 3", "Colors", true, 7},
        {"/#43olors 3", "Colors", true, 9},
        {"/C#6f#6cors 3", "Colors", true, 11},          // lower-case hex digits
        {"/C#6F#6Cors 3", "Colors", true, 11},          // upper-case hex digits
        {"/#43#6F#6c#6f#72#73", "Colors", true, 19},    // every letter, the data ends the name
        {"/Colors/Next", "Colors", true, 7},            // a delimiter ends the name
        {"/Colors(x)", "Colors", true, 7},
        {"/Colors\r\n", "Colors", true, 7},
        {"/#4a#53 6 0 R", "JS", true, 7},
        {"/ColorsX 3", "Colors", false, 0},             // longer
        {"/Color 3", "Colors", false, 0},               // shorter
        {"/colors 3", "Colors", false, 0},              // names are case-sensitive
        {"/C#6gors 3", "Colors", false, 0},             // "#6g" is no escape: the name is C#6gors
        {"/Colors#", "Colors", false, 0},               // a lone "#" is a byte of the name
        {"/Colors#4", "Colors", false, 0},
        {"/A#2FB", "A/B", true, 6},                     // an escaped delimiter is part of the name
        {"Colors", "Colors", false, 0},                 // no "/"
    };
    for (const Case& c : cases) {
        const auto name = remedy::pdfNameAt(bytesOf(c.text), 0, c.wanted);
        ASSERT_EQ(name.has_value(), c.matches) << c.text;
        if (name) {
            EXPECT_EQ(name->end, c.end) << c.text;
        }
    }
}

TEST(PdfName, FindsTheFirstMatchingNameFromAnOffset) {
    const std::string text = "<</Type/Action/S/JavaScript/#4aS 6 0 R/J#53 7 0 R>>";
    const auto first = remedy::findPdfName(bytesOf(text), 0, "JS");
    ASSERT_TRUE(first);
    EXPECT_EQ(text.substr(first->slash, first->end - first->slash), "/#4aS");
    const auto second = remedy::findPdfName(bytesOf(text), first->slash + 1, "JS");
    ASSERT_TRUE(second);
    EXPECT_EQ(text.substr(second->slash, second->end - second->slash), "/J#53");
    EXPECT_FALSE(remedy::findPdfName(bytesOf(text), second->slash + 1, "JS"));
    EXPECT_FALSE(remedy::findPdfName(bytesOf(text), 0, "URI"));
    EXPECT_FALSE(remedy::findPdfName({}, 0, "JS"));
    EXPECT_FALSE(remedy::pdfNameAt(bytesOf(text), text.size(), "JS"));
}

}  // namespace
