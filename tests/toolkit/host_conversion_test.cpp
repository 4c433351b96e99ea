#include <gtest/gtest.h>

#include "host/qxbase/file_object.h"
#include "module/toolkit/pe_address.h"
#include "tests/fixtures/pe_builder.h"
#include "host/pe/pe_archive.h"
#include "host/running_object_table.h"
#include "host/services.h"
#include "sdk/identifiers.h"

namespace {

using fixtures::Bytes;

// The host's default running-object table (its loader knows the PE archive), and the scanned
// file. Without the PE class, the table gets a loader that knows no class.
struct ScanContext {
    explicit ScanContext(Bytes bytes, bool registerPe = true)
        : file(host::FileObject::fromBytes(std::move(bytes))), rot(host::RunningObjectTable::createDefault()) {
        if (!registerPe) {
            host::ObjectLoader* empty = host::ObjectLoader::create();
            rot->RegisterObject(qe::PID_ROT_ObjectLoader, empty);
            empty->Release();
        }
        info = {static_cast<IQEArchive*>(file), static_cast<IQEStream*>(file), rot, 0};
    }
    ~ScanContext() {
        EXPECT_EQ(rot->Release(), 0u);  // every reference taken on the way was given back
        file->Release();
    }
    host::FileObject* file;
    host::RunningObjectTable* rot;
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
        ASSERT_EQ(ctx.rot->RevokeObject(qe::PID_ROT_ObjectLoader), QE_OK);
        EXPECT_EQ(rva2raw(0x1010, &ctx.info), 0xFFFFFFFFu);
    }
    {
        ScanContext ctx(samplePe(), /*registerPe=*/false);  // the loader cannot create the class
        EXPECT_EQ(raw2rva(0x410, &ctx.info), 0xFFFFFFFFu);
    }
    {
        ScanContext ctx(samplePe());
        ctx.info.rot = nullptr;
        EXPECT_EQ(rva2raw(0x1010, &ctx.info), 0xFFFFFFFFu);
        ctx.info.rot = ctx.rot;
        ctx.info.stream = nullptr;
        EXPECT_EQ(rva2raw(0x1010, &ctx.info), 0xFFFFFFFFu);
    }
    EXPECT_EQ(rva2raw(0x1010, nullptr), 0xFFFFFFFFu);
}

}  // namespace
