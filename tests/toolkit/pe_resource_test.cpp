#include "module/toolkit/pe_resource.h"

#include <gtest/gtest.h>

#include "host/qxbase/file_object.h"
#include "tests/fixtures/pe_builder.h"
#include "tests/fixtures/resource_builder.h"
#include "tests/fixtures/toolkit_exec.h"

namespace {

using fixtures::Bytes;
using fixtures::ResourceKey;

constexpr uint32_t kImageBase = 0x400000;

// A loaded image (through the file-backed emulator stand-in) with the given resource tree.
struct LoadedPe {
    explicit LoadedPe(std::vector<fixtures::ResourceType> types, bool withResources = true) {
        fixtures::PeBuilder b;
        b.addSection({".text", Bytes(0x200, 0x90), 0});
        rsrcRva = b.sectionRva(1);
        rsrcOffset = b.sectionFileOffset(1);
        Bytes rsrc = fixtures::buildResourceSection(rsrcRva, std::move(types), &layout);
        b.addSection({".rsrc", rsrc, 0, 0x40000040});
        if (withResources) b.dataDirectory(2, rsrcRva, uint32_t(rsrc.size()));
        file = host::FileObject::fromBytes(b.build());
        exec = std::make_unique<fixtures::FileBackedExec>(file);
    }
    ~LoadedPe() {
        exec.reset();
        file->Release();
    }
    host::FileObject* file;
    std::unique_ptr<fixtures::FileBackedExec> exec;
    uint32_t rsrcRva = 0, rsrcOffset = 0;
    fixtures::ResourceLayout layout;
};

std::vector<fixtures::ResourceType> sampleTree() {
    return {
        {ResourceKey::byId(3), {{ResourceKey::byId(1), {{ResourceKey::byId(0), {0xAA}}}}}},
        {ResourceKey::byName(u"BIN"), {{ResourceKey::byName(u"Payload"), {{ResourceKey::byId(0x409), {'M', 'Z', 0}}}}}},
        {ResourceKey::byId(10), {{ResourceKey::byId(0x65), {{ResourceKey::byId(0x409), {1, 2, 3, 4}}}}}},
    };
}

CPEResource::_find_res byId(uint16_t id, uint32_t kinds = 3) { return {kinds, 1, id, nullptr, 0}; }
CPEResource::_find_res byName(const std::u16string& name, uint32_t kinds = 3) {
    return {kinds, 0, 0, name.data(), uint16_t(name.size())};
}

TEST(FindRes, FindsByIdAndByNameIgnoringLetterCase) {
    LoadedPe pe(sampleTree());
    // Layout order: BIN (named first), 3, 10.
    struct Case {
        const char* what;
        CPEResource::_find_res type, name, language;
        int result;
        size_t index;  // into the layout's data RVAs
        uint32_t size;
    };
    const std::u16string bin = u"bin", payload = u"PAYLOAD", binx = u"binx", bi = u"bi";
    const Case cases[] = {
        {"ids", byId(10), byId(0x65), byId(0x409), 1, 2, 4},
        {"names", byName(bin), byName(payload), byId(0x409), 1, 0, 3},
        {"icon", byId(3), byId(1), byId(0), 1, 1, 1},
        {"longer name", byName(binx), byName(payload), byId(0x409), 0, 0, 0},
        {"shorter name", byName(bi), byName(payload), byId(0x409), 0, 0, 0},
        {"id against a name", byId(10), byName(payload), byId(0x409), 0, 0, 0},
        {"type entries lead to directories", byId(10, 2), byId(0x65), byId(0x409), 0, 0, 0},
        {"language entries lead to data", byId(10), byId(0x65), byId(0x409, 1), 0, 0, 0},
        {"missing language", byId(10), byId(0x65), byId(0x407), 0, 0, 0},
    };
    for (const Case& c : cases) {
        uint32_t va = 0, size = 0;
        EXPECT_EQ(FindRes(pe.exec.get(), c.type, c.name, c.language, &va, &size), c.result) << c.what;
        if (c.result) {
            EXPECT_EQ(va, kImageBase + pe.layout.dataRvas[c.index]) << c.what;
            EXPECT_EQ(size, c.size) << c.what;
        }
    }
}

TEST(CPEResource, FindResourceReportsTheEntryAddress) {
    LoadedPe pe(sampleTree());
    CPEResource resources;
    ASSERT_EQ(resources.Init(pe.exec.get()), 1);
    EXPECT_EQ(resources.GetRootDirVA(), kImageBase + pe.rsrcRva);
    uint32_t entryVa = 0;
    ASSERT_EQ(resources.FindResource(byId(3), &entryVa, 0), 1);
    EXPECT_EQ(entryVa, kImageBase + pe.rsrcRva + 16 + 8);  // the second root entry
    IMAGE_RESOURCE_DIRECTORY root;
    ASSERT_EQ(resources.ReadResourceDirectory(resources.GetRootDirVA(), &root), 1);
    EXPECT_EQ(root.NumberOfNamedEntries, 1);
    EXPECT_EQ(root.NumberOfIdEntries, 2);
    EXPECT_EQ(resources.ReadResourceDirectory(0x10, &root), 0);  // outside the image
}

TEST(FindRes, FileWithoutResourcesGivesZero) {
    LoadedPe pe(sampleTree(), /*withResources=*/false);
    uint32_t va = 0, size = 0;
    EXPECT_EQ(FindRes(pe.exec.get(), byId(10), byId(0x65), byId(0x409), &va, &size), 0);
    CPEResource resources;
    EXPECT_EQ(resources.Init(pe.exec.get()), 0);
    EXPECT_EQ(resources.Init(nullptr), 0);
}

struct Recorder final : CResEnumCallback {
    int OnResource(uint32_t dataVa, uint32_t size, uint32_t* dataVaOut) override {
        seen.push_back({dataVa, size});
        EXPECT_EQ(*dataVaOut, dataVa);
        return int(seen.size()) < stopAfter ? 1 : 0;
    }
    std::vector<std::pair<uint32_t, uint32_t>> seen;
    int stopAfter = 1000;
};

TEST(EnumRes, VisitsEveryResourceUntilTheCallbackStops) {
    LoadedPe pe(sampleTree());
    Recorder all;
    uint32_t va = 0, size = 0;
    ASSERT_EQ(EnumRes(pe.exec.get(), &va, &size, &all), 1);
    const auto& rvas = pe.layout.dataRvas;
    EXPECT_EQ(all.seen, (std::vector<std::pair<uint32_t, uint32_t>>{
                            {kImageBase + rvas[0], 3}, {kImageBase + rvas[1], 1}, {kImageBase + rvas[2], 4}}));
    EXPECT_EQ(va, kImageBase + rvas[2]);
    EXPECT_EQ(size, 4u);

    Recorder first;
    first.stopAfter = 1;
    ASSERT_EQ(EnumRes(pe.exec.get(), &va, &size, &first), 1);
    EXPECT_EQ(first.seen.size(), 1u);
    EXPECT_EQ(EnumRes(pe.exec.get(), &va, &size, nullptr), 0);
}

TEST(EnumRes, DamagedTreesEndWithoutHanging) {
    {
        LoadedPe pe(sampleTree(), /*withResources=*/false);
        Recorder r;
        uint32_t va = 0, size = 0;
        EXPECT_EQ(EnumRes(pe.exec.get(), &va, &size, &r), 0);
    }
    {
        LoadedPe pe(sampleTree());
        // The root claims 65535 more entries than the image holds.
        fixtures::put16(pe.file->mutableBytes(), pe.rsrcOffset + 14, 0xFFFF);
        Recorder r;
        uint32_t va = 0, size = 0;
        EXPECT_EQ(EnumRes(pe.exec.get(), &va, &size, &r), 0);
    }
    {
        LoadedPe pe({{ResourceKey::byId(3), {{ResourceKey::byId(1), {{ResourceKey::byId(0), {0xAA}}}}}}});
        // The only type entry leads back to the root: every level is the root again.
        fixtures::put32(pe.file->mutableBytes(), pe.rsrcOffset + pe.layout.entries[0].offset + 4, 0x80000000u);
        Recorder r;
        uint32_t va = 0, size = 0;
        EXPECT_EQ(EnumRes(pe.exec.get(), &va, &size, &r), 1);
        EXPECT_EQ(r.seen.size(), 1u);  // the root's entry read as a data entry, once
    }
}

}  // namespace
