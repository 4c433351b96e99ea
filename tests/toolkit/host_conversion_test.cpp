#include <gtest/gtest.h>

#include "host/qxbase/file_object.h"
#include "module/toolkit/pe_address.h"
#include "tests/fixtures/pe_builder.h"
#include "tests/toolkit/mini_rot.h"

namespace {

using fixtures::Bytes;

struct ScanContext {
    explicit ScanContext(Bytes bytes) : file(host::FileObject::fromBytes(std::move(bytes))) {
        info = {static_cast<IQEArchive*>(file), static_cast<IQEStream*>(file), &rot, 0};
    }
    ~ScanContext() { file->Release(); }
    host::FileObject* file;
    toolkit_test::MiniRot rot;
    STScanInfo info{};
};

Bytes samplePe() {
    fixtures::PeBuilder b;
    b.addSection({".text", Bytes(0x200, 0x90), 0x1000});
    b.addSection({".data", Bytes(0x400, 0x11), 0});
    return b.build();  // .text: RVA 0x1000 file 0x400; .data: RVA 0x2000 file 0x600
}

TEST(HostConversion, AsksTheHostPeModel) {
    ScanContext ctx(samplePe());
    EXPECT_EQ(rva2raw(0x1010, &ctx.info), 0x410u);
    EXPECT_EQ(rva2raw(0x2300, &ctx.info), 0x900u);
    EXPECT_EQ(rva2raw(0x1200, &ctx.info), 0xFFFFFFFFu);  // past .text's raw data
    EXPECT_EQ(raw2rva(0x900, &ctx.info), 0x2300u);
    EXPECT_EQ(raw2rva(0x5000, &ctx.info), 0xFFFFFFFFu);
    EXPECT_EQ(ctx.rot.loader.created, 5);
    // Every interface obtained on the way was released again.
    EXPECT_EQ(ctx.rot.refs, 1u);
    EXPECT_EQ(ctx.rot.loader.refs, 1u);
    EXPECT_EQ(ctx.file->refCount(), 1u);
}

TEST(HostConversion, SeesTheFileAsItIsNow) {
    ScanContext ctx(samplePe());
    EXPECT_EQ(rva2raw(0x2000, &ctx.info), 0x600u);
    fixtures::put32(ctx.file->mutableBytes(), fixtures::peSectionTableOffset(ctx.file->bytes()) + 40 + 20, 0x800);
    EXPECT_EQ(rva2raw(0x2000, &ctx.info), 0x800u);
}

TEST(HostConversion, AnyFailingStepGivesAllOnes) {
    {
        ScanContext ctx(Bytes(0x400, 'x'));  // not PE
        EXPECT_EQ(rva2raw(0x10, &ctx.info), 0xFFFFFFFFu);
        EXPECT_EQ(ctx.file->refCount(), 1u);
    }
    {
        ScanContext ctx(samplePe());
        ctx.rot.hasLoader = false;
        EXPECT_EQ(rva2raw(0x1010, &ctx.info), 0xFFFFFFFFu);
    }
    {
        ScanContext ctx(samplePe());
        ctx.rot.loader.fails = true;
        EXPECT_EQ(raw2rva(0x410, &ctx.info), 0xFFFFFFFFu);
        EXPECT_EQ(ctx.rot.loader.refs, 1u);
    }
    {
        ScanContext ctx(samplePe());
        ctx.info.rot = nullptr;
        EXPECT_EQ(rva2raw(0x1010, &ctx.info), 0xFFFFFFFFu);
        ctx.info.rot = &ctx.rot;
        ctx.info.stream = nullptr;
        EXPECT_EQ(rva2raw(0x1010, &ctx.info), 0xFFFFFFFFu);
    }
    EXPECT_EQ(rva2raw(0x1010, nullptr), 0xFFFFFFFFu);
}

}  // namespace
