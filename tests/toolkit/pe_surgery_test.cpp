#include <gtest/gtest.h>

#include <numeric>

#include "host/emulator/emulator.h"
#include "host/qxbase/file_object.h"
#include "module/toolkit/pe_address.h"
#include "module/toolkit/pe_header.h"
#include "tests/fixtures/pe_builder.h"
#include "tests/fixtures/toolkit_exec.h"
#include "tests/toolkit/recording_stream.h"

namespace {

using fixtures::Bytes;
using fixtures::get16;
using fixtures::get32;
using fixtures::put32;

// .text: RVA 0x1000, file 0x400, raw 0x200, virtual 0x800.
// .data: RVA 0x2000, file 0x600, raw 0x400, virtual 0x400.
Bytes samplePe() {
    fixtures::PeBuilder b;
    b.addSection({".text", Bytes(0x200, 0x90), 0x800});
    b.addSection({".data", Bytes(0x400, 0x11), 0});
    return b.build();
}

uint32_t sectionField(std::span<const uint8_t> image, int section, uint32_t field) {
    return get32(image, fixtures::peSectionTableOffset(image) + 40 * section + field);
}
void setSectionField(Bytes& image, int section, uint32_t field, uint32_t value) {
    put32(image, fixtures::peSectionTableOffset(image) + 40 * section + field, value);
}

struct FileRef {
    explicit FileRef(Bytes bytes) : object(host::FileObject::fromBytes(std::move(bytes))) {}
    ~FileRef() { object->Release(); }
    IUnknown* stream() const { return static_cast<IQEStream*>(object); }
    host::FileObject* object;
};

TEST(ConvertRva, UsesTheRawExtentOfTheFirstMatchingSection) {
    struct Case {
        uint32_t rva;
        int result;
        uint32_t offset;
    };
    const Case cases[] = {
        {0x1000, 1, 0x400}, {0x11FF, 1, 0x5FF},
        {0x1200, 0, 0},  // in .text's uninitialised tail
        {0x2000, 1, 0x600}, {0x23FF, 1, 0x9FF}, {0x2400, 0, 0},
        {0x10, 0, 0},    // headers are no section here
    };
    FileRef file(samplePe());
    for (const Case& c : cases) {
        uint32_t out = 0xDEAD;
        EXPECT_EQ(ConvertRVAtoFileOffset(c.rva, &out, file.stream()), c.result) << std::hex << c.rva;
        EXPECT_EQ(out, c.result ? c.offset : 0xDEAD) << std::hex << c.rva;
    }
    const Case back[] = {{0x400, 1, 0x1000}, {0x9FF, 1, 0x23FF}, {0xA00, 0, 0}, {0x3FF, 0, 0}};
    for (const Case& c : back) {
        uint32_t out = 0xDEAD;
        EXPECT_EQ(ConvertFileOffsetToRva(c.rva, &out, file.stream()), c.result) << std::hex << c.rva;
        EXPECT_EQ(out, c.result ? c.offset : 0xDEAD) << std::hex << c.rva;
    }
    EXPECT_EQ(file.object->refCount(), 1u);
}

TEST(ConvertRva, OverlappingSectionsAndNonPeFiles) {
    Bytes image = samplePe();
    setSectionField(image, 1, 12, 0x1000);  // .data claims .text's RVA
    FileRef overlapping(image);
    uint32_t out = 0;
    ASSERT_EQ(ConvertRVAtoFileOffset(0x1010, &out, overlapping.stream()), 1);
    EXPECT_EQ(out, 0x410u);
    ASSERT_EQ(ConvertRVAtoFileOffset(0x1300, &out, overlapping.stream()), 1);  // only .data holds it
    EXPECT_EQ(out, 0x900u);

    FileRef text(Bytes(0x800, 'x'));
    EXPECT_EQ(ConvertRVAtoFileOffset(0x1000, &out, text.stream()), 0);
    EXPECT_EQ(ConvertFileOffsetToRva(0x400, &out, text.stream()), 0);
    EXPECT_EQ(ConvertRVAtoFileOffset(0x1000, nullptr, overlapping.stream()), 0);
    EXPECT_EQ(ConvertRVAtoFileOffset(0x1000, &out, nullptr), 0);
}

// The emulator-side headers of a file, as the engines hand them to units.
struct ExecContext {
    explicit ExecContext(Bytes bytes) : file(std::move(bytes)), exec(file.object), headers(&exec) {
        EXPECT_TRUE(headers.Initialize());
        param = {&exec, &headers, 0, 0};
    }
    uint32_t sizeOfImage() const { return get32(file.object->bytes(), fixtures::PeBuilder::kPeOffset + 80); }
    FileRef file;
    fixtures::FileBackedExec exec;
    CPEHeander headers;
    tagScanExParam param{};
};

TEST(ModifySizeOfImage, RoundsTheLastSectionUpToTheAlignment) {
    struct Case {
        uint32_t virtualSize;
        uint32_t expected;
    };
    const Case cases[] = {{0x1001, 0x4000}, {0x2000, 0x4000}, {0x1, 0x3000}, {0, 0x2000}};
    for (const Case& c : cases) {
        Bytes image = samplePe();
        setSectionField(image, 1, 8, c.virtualSize);
        image.resize(image.size() + 100, 0xEE);  // longer than the last raw end
        ExecContext ctx(image);
        ASSERT_EQ(ModifySizeOfImage(&ctx.param), 1) << std::hex << c.virtualSize;
        EXPECT_EQ(ctx.sizeOfImage(), c.expected) << std::hex << c.virtualSize;
        EXPECT_EQ(ctx.exec.writes().size(), 1u);  // only SizeOfImage
    }
}

TEST(ModifySizeOfImage, WritesThroughTheHostEmulator) {
    Bytes image = samplePe();
    setSectionField(image, 1, 8, 0x1001);
    image.resize(0x600 + 0x100);  // the file ends inside .data's raw data
    FileRef file(image);
    std::unique_ptr<host::Emulator> exec = host::Emulator::create(file.object);
    CPEHeander headers(exec.get());
    ASSERT_TRUE(headers.Initialize());
    tagScanExParam param{exec.get(), &headers, 0, 0};
    ASSERT_EQ(ModifySizeOfImage(&param), 1);
    EXPECT_EQ(get32(file.object->bytes(), fixtures::PeBuilder::kPeOffset + 80), 0x4000u);
    EXPECT_EQ(sectionField(file.object->bytes(), 1, 16), 0x100u);
    EXPECT_EQ(file.object->bytes().size(), 0x700u);
}

TEST(ModifySizeOfImage, CutsTheRawSizeOfALastSectionTheFileCutsShort) {
    Bytes image = samplePe();
    image.resize(0x600 + 0x123);
    ExecContext ctx(image);
    ASSERT_EQ(ModifySizeOfImage(&ctx.param), 1);
    EXPECT_EQ(sectionField(ctx.file.object->bytes(), 1, 16), 0x123u);
    EXPECT_EQ(ctx.sizeOfImage(), 0x3000u);

    // A file that ends before the section's raw data begins holds none of it.
    Bytes before = samplePe();
    setSectionField(before, 1, 20, 0x5000);
    ExecContext ctx2(before);
    ASSERT_EQ(ModifySizeOfImage(&ctx2.param), 1);
    EXPECT_EQ(sectionField(ctx2.file.object->bytes(), 1, 16), 0u);
}

TEST(ModifySizeOfImage, FailsWithoutSectionsAlignmentOrWrites) {
    ExecContext ctx(samplePe());
    ctx.headers.optionalHeader.SectionAlignment = 0;
    EXPECT_EQ(ModifySizeOfImage(&ctx.param), 0);
    ctx.headers.optionalHeader.SectionAlignment = 0x1000;
    ctx.headers.fileHeader.NumberOfSections = 0;
    EXPECT_EQ(ModifySizeOfImage(&ctx.param), 0);
    ctx.headers.fileHeader.NumberOfSections = 3;  // more than the held table
    EXPECT_EQ(ModifySizeOfImage(&ctx.param), 0);
    ctx.headers.fileHeader.NumberOfSections = 2;
    ctx.exec.failWritesFrom(0);
    EXPECT_EQ(ModifySizeOfImage(&ctx.param), 0);
    EXPECT_EQ(ModifySizeOfImage(nullptr), 0);
}

// The scanned file's stream plus the emulator-side headers DeleteLastSection reads.
struct SurgeryContext : ExecContext {
    explicit SurgeryContext(Bytes bytes) : ExecContext(std::move(bytes)), stream(file.object, true) {
        info = {static_cast<IQEArchive*>(file.object), &stream, nullptr, 0};
    }
    toolkit_test::RecordingStream stream;
    STScanInfo info{};
};

TEST(DeleteLastSection, CutsTheFileAtTheSectionWithoutOverlay) {
    Bytes original = samplePe();
    SurgeryContext ctx(original);
    ASSERT_EQ(DeleteLastSection(&ctx.info, &ctx.param), 1);
    const Bytes now(ctx.file.object->bytes().begin(), ctx.file.object->bytes().end());
    ASSERT_EQ(now.size(), 0x600u);
    EXPECT_EQ(get16(now, fixtures::PeBuilder::kPeOffset + 6), 1u);
    EXPECT_EQ(ctx.sizeOfImage(), 0x3000u - 0x400u);  // not re-aligned
    // The header of the removed section stays; only the count no longer covers it.
    EXPECT_EQ(sectionField(now, 1, 12), 0x2000u);
    EXPECT_EQ(ctx.stream.refs(), 1u);
}

TEST(DeleteLastSection, MovesTheOverlayDownInBlocks) {
    Bytes original = samplePe();
    Bytes overlay(10000);
    std::iota(overlay.begin(), overlay.end(), uint8_t(5));
    Bytes image = fixtures::concat(original, overlay);
    SurgeryContext ctx(image);
    ASSERT_EQ(DeleteLastSection(&ctx.info, &ctx.param), 1);
    // Count, SizeOfImage, then the overlay in 4096, 4096 and 1808 bytes.
    EXPECT_EQ(ctx.stream.writeSizes, (std::vector<uint32_t>{2, 4, 4096, 4096, 1808}));
    Bytes expected(ctx.file.object->bytes().begin(), ctx.file.object->bytes().begin() + 0x600);
    expected.insert(expected.end(), overlay.begin(), overlay.end());
    EXPECT_EQ(ctx.file.object->bytes(), expected);
}

// Any failing host call answers 0, also one after the section count was rewritten: the file is
// then left as far as the work got and must not be reported as repaired.
TEST(DeleteLastSection, EveryFailingStepAnswersZero) {
    const Bytes image = fixtures::concat(samplePe(), Bytes(5000, 0x77));
    struct Case {
        const char* name;
        void (*fail)(toolkit_test::RecordingStream&);
        bool truncated;
    };
    const Case cases[] = {
        {"the section count", [](toolkit_test::RecordingStream& s) { s.failWriteAt = 0; }, false},
        {"SizeOfImage", [](toolkit_test::RecordingStream& s) { s.failWriteAt = 1; }, false},
        {"the size", [](toolkit_test::RecordingStream& s) { s.failGetSize = true; }, false},
        {"a seek of the move", [](toolkit_test::RecordingStream& s) { s.failSeekAt = 3; }, false},
        {"the second overlay block", [](toolkit_test::RecordingStream& s) { s.failWriteAt = 3; }, false},
        {"the cut", [](toolkit_test::RecordingStream& s) { s.failSetSize = true; }, false},
    };
    for (const Case& c : cases) {
        SurgeryContext ctx(image);
        c.fail(ctx.stream);
        EXPECT_EQ(DeleteLastSection(&ctx.info, &ctx.param), 0) << c.name;
        EXPECT_EQ(ctx.file.object->bytes().size(), image.size()) << c.name;  // never cut
    }

    SurgeryContext none(samplePe());
    none.headers.sectionCount = 0;
    EXPECT_EQ(DeleteLastSection(&none.info, &none.param), 0);
    EXPECT_TRUE(none.stream.writeSizes.empty());
}

TEST(DeleteLastSection, SectionWithoutRawDataOrBeyondTheFileOnlyRewritesHeaders) {
    Bytes image = samplePe();
    setSectionField(image, 1, 20, 0x9000);  // raw data past the end of the file
    SurgeryContext ctx(image);
    ASSERT_EQ(DeleteLastSection(&ctx.info, &ctx.param), 1);
    EXPECT_EQ(ctx.file.object->bytes().size(), image.size());
    EXPECT_EQ(ctx.stream.writeSizes, (std::vector<uint32_t>{2, 4}));
}

}  // namespace
