// The host's format classification, one row a kind of file.
#include "host/classify.h"

#include <gtest/gtest.h>

#include <functional>

#include "host/qxbase/format_list.h"
#include "sdk/format_codes.h"
#include "sdk/identifiers.h"
#include "tests/fixtures/pe_builder.h"

namespace {

using fixtures::Bytes;

// The literal's bytes, embedded NULs included.
template <size_t N>
Bytes text(const char (&s)[N]) {
    return Bytes(s, s + N - 1);
}

Bytes pe() { return fixtures::PeBuilder().addSection({".text", Bytes(16, 0xC3)}).entryInSection(0, 0).build(); }

// A DOS header of `size` bytes (at least 64) whose e_lfanew points at `peOffset`.
Bytes mz(size_t size, uint32_t peOffset = 0) {
    Bytes b(size, 0);
    b[0] = 'M';
    b[1] = 'Z';
    if (size >= 0x40) fixtures::put32(b, 0x3C, peOffset);
    return b;
}

Bytes peWithBrokenSignature() {
    Bytes b = pe();
    b[fixtures::peHeaderOffset(b) + 1] = 'X';
    return b;
}

Bytes peWithHeaderOffsetPastTheEnd() {
    Bytes b = pe();
    fixtures::put32(b, 0x3C, uint32_t(b.size() - 10));
    return b;
}

Bytes withPrefix(Bytes head, size_t size) {
    head.resize(size, 0x41);
    return head;
}

struct ClassifyCase {
    const char* name;
    std::function<Bytes()> bytes;
    const char* fileName;
    uint32_t format;
    bool alsoPdf;
};

class Classify : public ::testing::TestWithParam<ClassifyCase> {};

TEST_P(Classify, GivesTheFormatCode) {
    const ClassifyCase& c = GetParam();
    const Bytes bytes = c.bytes();
    EXPECT_EQ(host::classifyFormat(bytes, c.fileName), c.format);
    const std::vector<uint32_t> formats = host::classifyFormats(bytes, c.fileName);
    ASSERT_FALSE(formats.empty());
    EXPECT_EQ(formats[0], c.format);
    EXPECT_EQ(std::find(formats.begin(), formats.end(), qe::FORMAT_PDF) != formats.end(), c.alsoPdf);
}

const ClassifyCase kCases[] = {
    // Programs.
    {"pe", pe, "a.exe", qe::FORMAT_PE, false},
    {"pe_named_com", pe, "a.com", qe::FORMAT_PE, false},
    {"pe_without_name", pe, "", qe::FORMAT_PE, false},
    {"mz_without_pe_header", [] { return mz(0x200, 0); }, "a.exe", qe::FORMAT_MZ, false},
    {"mz_with_broken_pe_signature", peWithBrokenSignature, "a.exe", qe::FORMAT_MZ, false},
    {"mz_with_pe_offset_past_end", peWithHeaderOffsetPastTheEnd, "a.exe", qe::FORMAT_MZ, false},
    {"mz_pe_offset_huge", [] { return mz(0x200, 0xFFFFFFF0u); }, "a.exe", qe::FORMAT_MZ, false},
    {"zm_signature", [] { Bytes b = mz(0x40); b[0] = 'Z'; b[1] = 'M'; return b; }, "a.exe", qe::FORMAT_MZ, false},
    {"mz_header_too_short", [] { return mz(0x1B); }, "a.exe", qe::FORMAT_FILE, false},
    {"mz_header_minimal", [] { return mz(0x1C); }, "a.exe", qe::FORMAT_MZ, false},
    {"mz_named_com", [] { return mz(0x200); }, "A.COM", qe::FORMAT_MZ, false},
    {"com_by_name", [] { return Bytes{0xE9, 0x10, 0x00, 0x90}; }, "/dos/game.com", qe::FORMAT_COM, false},
    {"com_upper_case_name", [] { return Bytes{0xEB, 0xFE}; }, "GAME.COM", qe::FORMAT_COM, false},
    {"com_largest", [] { return Bytes(0xFF00, 0x90); }, "big.com", qe::FORMAT_COM, false},
    {"com_too_large", [] { return Bytes(0xFF01, 0x90); }, "big.com", qe::FORMAT_FILE, false},
    {"com_empty", [] { return Bytes{}; }, "empty.com", qe::FORMAT_FILE, false},
    {"com_code_without_name", [] { return Bytes{0xE9, 0x10, 0x00, 0x90}; }, "game", qe::FORMAT_FILE, false},
    {"com_in_directory_name_only", [] { return Bytes{0x90}; }, "/x.com/game", qe::FORMAT_FILE, false},
    // Images and movies.
    {"jpeg", [] { return Bytes{0xFF, 0xD8, 0xFF, 0xE0, 0, 0x10, 'J', 'F', 'I', 'F'}; }, "a.jpg", qe::FORMAT_JPEG, false},
    {"jpeg_named_com", [] { return Bytes{0xFF, 0xD8, 0xFF, 0xE1}; }, "a.com", qe::FORMAT_JPEG, false},
    {"flash", [] { return text("FWS\x09\x20\0\0\0"); }, "a.swf", qe::FORMAT_SWF, false},
    {"flash_compressed", [] { return text("CWS\x0A\x20\0\0\0x\x9C"); }, "a.swf", qe::FORMAT_SWF_COMPRESSED, false},
    {"flash_lzma_is_ordinary", [] { return text("ZWS\x0D\x20\0\0\0"); }, "a.swf", qe::FORMAT_FILE, false},
    {"png", [] { return Bytes{0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A}; }, "a.png", qe::FORMAT_FILE, false},
    {"tiff", [] { return Bytes{'I', 'I', 0x2A, 0, 8, 0, 0, 0}; }, "a.tif", qe::FORMAT_FILE, false},
    {"gif", [] { return text("GIF89a"); }, "a.gif", qe::FORMAT_FILE, false},
    // Documents, media, fonts.
    {"ole_document", [] { return withPrefix({0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1}, 512); }, "a.doc",
     qe::FORMAT_FILE, false},
    {"pdf", [] { return text("%PDF-1.4\n1 0 obj\n"); }, "a.pdf", qe::FORMAT_FILE, true},
    {"pdf_after_junk", [] { return text("junk\r\n%PDF-1.7\n"); }, "a.bin", qe::FORMAT_FILE, true},
    {"pdf_header_too_late", [] { return fixtures::concat(Bytes(1100, ' '), text("%PDF-1.4")); }, "a.pdf", qe::FORMAT_FILE,
     false},
    {"asf", [] { return Bytes{0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11}; }, "a.wmv", qe::FORMAT_FILE, false},
    {"quicktime", [] { return text("\0\0\0\x14" "ftypqt  "); }, "a.mov", qe::FORMAT_FILE, false},
    {"riff_ani", [] { return text("RIFF\x10\0\0\0" "ACON"); }, "a.ani", qe::FORMAT_FILE, false},
    {"truetype_font", [] { return Bytes{0, 1, 0, 0, 0, 0x0C, 0, 0x80}; }, "a.ttf", qe::FORMAT_FILE, false},
    {"ntldr_named", [] { return Bytes(64, 0x90); }, "ntldr", qe::FORMAT_FILE, false},
    {"lisp_script", [] { return text("(defun c:x () (princ))\n"); }, "acad.lsp", qe::FORMAT_FILE, false},
    {"empty", [] { return Bytes{}; }, "empty", qe::FORMAT_FILE, false},
    // Scripts.
    {"vbs_by_name", [] { return text("MsgBox \"hi\"\r\n"); }, "a.vbs", qe::FORMAT_VBS, false},
    {"vbe_by_name", [] { return text("#@~^AQAAAA==x\r\n"); }, "A.VBE", qe::FORMAT_VBS, false},
    {"vbs_name_but_binary", [] { return Bytes{'M', 0, 'Z', 0}; }, "a.vbs", qe::FORMAT_FILE, false},
    {"vbs_by_content",
     [] { return text("On Error Resume Next\r\nSet fso = CreateObject(\"Scripting.FileSystemObject\")\r\n"); },
     "noname", qe::FORMAT_VBS, false},
    {"one_vbs_word_is_not_enough", [] { return text("dim the lights\n"); }, "notes.txt", qe::FORMAT_FILE, false},
    {"vbscript_in_html_is_a_page",
     [] { return text("<html><script language=vbscript>On Error Resume Next\nDim a\nEnd Sub</script>"); },
     "a.htm", qe::FORMAT_FILE, false},
    {"plain_text", [] { return text("hello world\n"); }, "a.txt", qe::FORMAT_FILE, false},
};

INSTANTIATE_TEST_SUITE_P(Files, Classify, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ClassifyFileObject, StoresTheFormatAndTheFormatList) {
    host::FileObject* file = host::FileObject::fromBytes(text("%PDF-1.5\n"), "/docs/report.pdf");
    host::classify(file);
    const QEPROPVALUE* value = nullptr;
    ASSERT_EQ(file->GetProperty(qe::PID_File_CurrentFormat, &value), QE_OK);
    EXPECT_EQ(value->vt, qe::VT_INT);
    EXPECT_EQ(value->intVal, int32_t(qe::FORMAT_FILE));
    EXPECT_EQ(host::readFormatList(static_cast<IQEArchive*>(file)),
              (std::vector<uint32_t>{qe::FORMAT_FILE, qe::FORMAT_PDF}));
    // Classified again after a repair changed the bytes.
    file->mutableBytes() = pe();
    host::classify(file);
    EXPECT_EQ(file->format(), qe::FORMAT_PE);
    EXPECT_EQ(host::readFormatList(static_cast<IQEArchive*>(file)), (std::vector<uint32_t>{qe::FORMAT_PE}));
    file->Release();
}

}  // namespace
