#include <gtest/gtest.h>

#include <string>

#include "host/pe/pe_archive.h"
#include "host/qxbase/file_object.h"
#include "module/toolkit/pe_resource.h"
#include "sdk/identifiers.h"
#include "tests/fixtures/pe_builder.h"
#include "tests/fixtures/resource_builder.h"

namespace {

using fixtures::Bytes;
using fixtures::ResourceKey;
using remedy::InterfacePtr;

// A PE whose second section holds the given resource tree.
struct ResourcePe {
    explicit ResourcePe(std::vector<fixtures::ResourceType> types, void (*damage)(Bytes&, uint32_t, const fixtures::ResourceLayout&) = nullptr) {
        fixtures::PeBuilder b;
        b.addSection({".text", Bytes(0x200, 0x90), 0});
        rsrcRva = b.sectionRva(1);
        const uint32_t rsrcOffset = b.sectionFileOffset(1);
        Bytes rsrc = fixtures::buildResourceSection(rsrcRva, std::move(types), &layout);
        b.addSection({".rsrc", rsrc, 0, 0x40000040});
        b.dataDirectory(2, rsrcRva, uint32_t(rsrc.size()));
        Bytes image = b.build();
        if (damage) damage(image, rsrcOffset, layout);
        file = host::FileObject::fromBytes(image);
        EXPECT_EQ(host::createPeArchive(nullptr, qe::IID_IQEArchive, archive.putVoid()), QE_OK);
        EXPECT_EQ(archive->Open(static_cast<IQEArchive*>(file)), QE_OK);
    }
    ~ResourcePe() {
        archive.reset();
        file->Release();
    }
    host::FileObject* file;
    InterfacePtr<IQEArchive> archive;
    uint32_t rsrcRva = 0;
    fixtures::ResourceLayout layout;
};

std::vector<fixtures::ResourceType> sampleTree() {
    return {
        {ResourceKey::byId(3), {{ResourceKey::byId(1), {{ResourceKey::byId(0), {0xAA}}}}}},
        {ResourceKey::byName(u"BIN"),
         {{ResourceKey::byName(u"PAYLOAD"), {{ResourceKey::byId(0x409), {'M', 'Z'}}, {ResourceKey::byId(0x407), {1}}}}}},
        {ResourceKey::byId(10), {{ResourceKey::byId(0x65), {{ResourceKey::byId(0x409), {1, 2, 3, 4}}}}}},
    };
}

std::vector<std::wstring> allPaths(CResFinder& finder, uint32_t count) {
    std::vector<std::wstring> paths;
    for (uint32_t i = 0; i < count; ++i) {
        CResFinder::_RES_DATA data{};
        EXPECT_EQ(finder.GetResourceData(i, &data), QE_OK);
        wchar_t path[64];
        EXPECT_EQ(finder.GetResourceDataPath(data, path, 64), QE_OK);
        paths.push_back(path);
    }
    return paths;
}

TEST(CResFinder, ListsEveryDataEntryWithItsPath) {
    ResourcePe pe(sampleTree());
    CResFinder finder;
    ASSERT_EQ(finder.Open(pe.archive.get()), QE_OK);
    EXPECT_EQ(finder.GetResourceRootRVA(), pe.rsrcRva);
    uint32_t count = 0;
    ASSERT_EQ(finder.GetDataEntriesList(&count), QE_OK);
    ASSERT_EQ(count, 4u);
    // Breadth-first, named entries first within a directory.
    EXPECT_EQ(allPaths(finder, count),
              (std::vector<std::wstring>{L"409@PAYLOAD@BIN", L"407@PAYLOAD@BIN", L"0@1@3", L"409@65@A"}));
    CResFinder::_RES_DATA data{};
    ASSERT_EQ(finder.GetResourceData(3, &data), QE_OK);
    EXPECT_EQ(data.data.OffsetToData, pe.layout.dataRvas[3]);
    EXPECT_EQ(data.data.Size, 4u);
    EXPECT_EQ(finder.GetResourceData(4, &data), QE_E_INVALIDARG);
    // Listing again gives the same list, not a doubled one.
    ASSERT_EQ(finder.GetDataEntriesList(&count), QE_OK);
    EXPECT_EQ(count, 4u);
}

TEST(CResFinder, SelectsByLayerIndex) {
    ResourcePe pe(sampleTree());
    CResFinder finder;
    ASSERT_EQ(finder.Open(pe.archive.get()), QE_OK);
    struct Case {
        uint32_t type, name, language;
        QRESULT result;
        uint32_t size;
    };
    const Case cases[] = {
        {1, 1, 1, QE_OK, 2},  // BIN / PAYLOAD / 409
        {1, 1, 2, QE_OK, 1},
        {3, 1, 1, QE_OK, 4},
        {2, 1, 1, QE_OK, 1},
        {0, 1, 1, QE_E_UNEXPECTED, 0},
        {4, 1, 1, QE_E_UNEXPECTED, 0},
        {1, 2, 1, QE_E_UNEXPECTED, 0},
        {1, 1, 3, QE_E_UNEXPECTED, 0},
    };
    for (const Case& c : cases) {
        IMAGE_RESOURCE_DATA_ENTRY data{};
        EXPECT_EQ(finder.GetResourceDataByLayerIndex(c.type, c.name, c.language, &data), c.result)
            << c.type << "/" << c.name << "/" << c.language;
        if (c.result == QE_OK) {
            EXPECT_EQ(data.Size, c.size);
        }
    }
}

TEST(CResFinder, NamesAreCutToTheCapacity) {
    ResourcePe pe(sampleTree());
    CResFinder finder;
    ASSERT_EQ(finder.Open(pe.archive.get()), QE_OK);
    uint32_t count = 0;
    ASSERT_EQ(finder.GetDataEntriesList(&count), QE_OK);
    CResFinder::_RES_DATA data{};
    ASSERT_EQ(finder.GetResourceData(0, &data), QE_OK);
    wchar_t path[6];
    ASSERT_EQ(finder.GetResourceDataPath(data, path, 6), QE_OK);
    EXPECT_EQ(std::wstring(path), L"409@P");
    wchar_t name[4];
    // A name offset of 0 reads the root directory's first word (0) as the length: empty.
    ASSERT_EQ(finder.GetEntryName({0x80000000u, 0}, name, 4), QE_OK);
    EXPECT_EQ(std::wstring(name), L"");
    ASSERT_EQ(finder.GetEntryName({0, 0}, name, 4), QE_OK);
    EXPECT_EQ(std::wstring(name), L"0");
    ASSERT_EQ(finder.GetEntryName({0x12345, 0}, name, 4), QE_OK);
    EXPECT_EQ(std::wstring(name), L"123");
    EXPECT_EQ(finder.GetEntryName({1, 0}, name, 0), QE_E_INVALIDARG);
}

TEST(CResFinder, ATreeThatLoopsBackToTheRootIsListedOnce) {
    ResourcePe pe(sampleTree(), [](Bytes& image, uint32_t rsrcOffset, const fixtures::ResourceLayout& layout) {
        // The first name-level entry of the first type leads back to the root.
        for (const auto& e : layout.entries)
            if (e.level == 1) {
                fixtures::put32(image, rsrcOffset + e.offset + 4, 0x80000000u);
                break;
            }
    });
    CResFinder finder;
    ASSERT_EQ(finder.Open(pe.archive.get()), QE_OK);
    uint32_t count = 0;
    ASSERT_EQ(finder.GetDataEntriesList(&count), QE_OK);
    // The BIN type now leads back to the root; its two languages are no longer reached.
    EXPECT_EQ(allPaths(finder, count), (std::vector<std::wstring>{L"0@1@3", L"409@65@A"}));
}

TEST(CResFinder, DamagedAndMissingTreesFail) {
    {
        ResourcePe pe(sampleTree(), [](Bytes& image, uint32_t rsrcOffset, const fixtures::ResourceLayout& layout) {
            // A language entry that points outside the image.
            fixtures::put32(image, rsrcOffset + layout.entries.back().offset + 4, 0x7FFFFFF0);
        });
        CResFinder finder;
        ASSERT_EQ(finder.Open(pe.archive.get()), QE_OK);
        uint32_t count = 0;
        EXPECT_LT(finder.GetDataEntriesList(&count), 0);
    }
    {
        ResourcePe pe(sampleTree(), [](Bytes& image, uint32_t rsrcOffset, const fixtures::ResourceLayout&) {
            fixtures::put16(image, rsrcOffset + 14, 0xFFFF);  // the root claims 65535 more entries
        });
        CResFinder finder;
        ASSERT_EQ(finder.Open(pe.archive.get()), QE_OK);
        uint32_t count = 0;
        EXPECT_LT(finder.GetDataEntriesList(&count), 0);
    }
    {
        // No resource directory at all.
        fixtures::PeBuilder b;
        b.addSection({".text", Bytes(0x200, 0x90), 0});
        host::FileObject* file = host::FileObject::fromBytes(b.build());
        InterfacePtr<IQEArchive> archive;
        ASSERT_EQ(host::createPeArchive(nullptr, qe::IID_IQEArchive, archive.putVoid()), QE_OK);
        ASSERT_EQ(archive->Open(static_cast<IQEArchive*>(file)), QE_OK);
        CResFinder finder;
        ASSERT_EQ(finder.Open(archive.get()), QE_OK);
        uint32_t count = 0;
        EXPECT_EQ(finder.GetDataEntriesList(&count), QE_E_FAIL);
        EXPECT_EQ(finder.GetResourceRootRVA(), 0u);
        finder.Close();
        archive.reset();
        EXPECT_EQ(file->refCount(), 1u);
        file->Release();
    }
}

TEST(CResFinder, OpenChecksItsArgumentAndState) {
    ResourcePe pe(sampleTree());
    CResFinder finder;
    uint32_t count = 0;
    EXPECT_EQ(finder.GetDataEntriesList(&count), QE_E_UNEXPECTED);
    EXPECT_EQ(finder.Open(nullptr), QE_E_INVALIDARG);
    EXPECT_EQ(finder.Open(static_cast<IQEArchive*>(pe.file)), QE_E_INVALIDARG);  // a plain file object
    ASSERT_EQ(finder.Open(pe.archive.get()), QE_OK);
    EXPECT_EQ(finder.Open(pe.archive.get()), QE_E_UNEXPECTED);
    finder.Close();
    EXPECT_EQ(finder.Open(pe.archive.get()), QE_OK);
}

}  // namespace
