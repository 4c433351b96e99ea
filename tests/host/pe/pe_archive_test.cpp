#include "host/pe/pe_archive.h"

#include <gtest/gtest.h>

#include "host/qxbase/file_object.h"
#include "module/toolkit/interface_ptr.h"
#include "sdk/identifiers.h"
#include "tests/fixtures/pe_builder.h"
#include "tests/fixtures/resource_builder.h"

namespace {

using fixtures::Bytes;
using fixtures::get32;
using fixtures::put16;
using fixtures::put32;
using remedy::InterfacePtr;
using remedy::queryInterface;

// Two sections: .text (0x400 raw bytes, 0x1800 virtual) at RVA 0x1000 / file 0x400, .data
// (0x200 raw) at RVA 0x3000 / file 0x800.
Bytes twoSectionPe() {
    fixtures::PeBuilder b;
    b.addSection({".text", Bytes(0x300, 0x90), 0x1800});
    b.addSection({".data", Bytes(0x200, 0x11), 0});
    b.entryInSection(0, 0x10);
    return b.build();
}

struct Opened {
    explicit Opened(Bytes bytes) : file(host::FileObject::fromBytes(std::move(bytes))) {
        void* raw = nullptr;
        EXPECT_EQ(host::createPeArchive(nullptr, qe::IID_IQEArchive, &raw), QE_OK);
        archive.reset(static_cast<IQEArchive*>(raw));
        openResult = archive->Open(static_cast<IQEArchive*>(file));
    }
    ~Opened() {
        archive.reset();
        file->Release();
    }
    template <class T>
    InterfacePtr<T> as(const GUID& iid) {
        return queryInterface<T>(archive.get(), iid);
    }
    host::FileObject* file;
    InterfacePtr<IQEArchive> archive;
    QRESULT openResult = QE_E_FAIL;
};

TEST(PeArchive, AnswersTheHeaderRecordsOfTheFile) {
    Bytes image = twoSectionPe();
    Opened pe(image);
    ASSERT_EQ(pe.openResult, QE_OK);
    auto table = pe.as<IQEPERecordTable>(qe::IID_IQEPERecordTable);
    ASSERT_TRUE(table);
    const uint32_t nt = fixtures::peHeaderOffset(image);
    uint8_t fileHeader[20];
    uint32_t count = 0;
    ASSERT_EQ(table->GetRecord(qe::PE_RECORD_FILE_HEADER, 0, fileHeader, sizeof fileHeader, &count), QE_OK);
    EXPECT_EQ(Bytes(fileHeader, fileHeader + 20), Bytes(image.begin() + nt + 4, image.begin() + nt + 24));
    uint8_t sections[80];
    ASSERT_EQ(table->GetRecord(qe::PE_RECORD_SECTION_HEADERS, 0, sections, sizeof sections, &count), QE_OK);
    EXPECT_EQ(count, 2u);
    const uint32_t tableAt = fixtures::peSectionTableOffset(image);
    EXPECT_EQ(Bytes(sections, sections + 80), Bytes(image.begin() + tableAt, image.begin() + tableAt + 80));
    // Arrays start at the given index; a buffer smaller than one entry is refused.
    uint8_t second[40];
    ASSERT_EQ(table->GetRecord(qe::PE_RECORD_SECTION_HEADERS, 1, second, sizeof second, &count), QE_OK);
    EXPECT_EQ(Bytes(second, second + 40), Bytes(image.begin() + tableAt + 40, image.begin() + tableAt + 80));
    EXPECT_EQ(table->GetRecord(qe::PE_RECORD_SECTION_HEADERS, 2, second, sizeof second, &count), QE_E_FAIL);
    EXPECT_EQ(table->GetRecord(qe::PE_RECORD_SECTION_HEADERS, 0, second, 39, &count), QE_E_INVALIDARG);
    uint8_t directories[16 * 8];
    ASSERT_EQ(table->GetRecord(qe::PE_RECORD_DATA_DIRECTORY, 0, directories, sizeof directories, &count), QE_OK);
    EXPECT_EQ(count, 16u);
    EXPECT_EQ(table->GetRecord(99, 0, directories, sizeof directories, &count), QE_E_INVALIDARG);

    auto peArchive = pe.as<IQEPEArchive>(qe::IID_IQEPEArchive);
    uint32_t base = 0, entry = 0;
    ASSERT_EQ(peArchive->GetImageBase(&base), QE_OK);
    ASSERT_EQ(peArchive->GetEntryPoint(&entry), QE_OK);
    EXPECT_EQ(base, 0x400000u);
    EXPECT_EQ(entry, 0x1010u);
    InterfacePtr<IQEStream> stream;
    ASSERT_EQ(peArchive->GetStream(stream.put()), QE_OK);
    EXPECT_EQ(static_cast<void*>(stream.get()), static_cast<void*>(static_cast<IQEStream*>(pe.file)));
}

TEST(PeArchive, ConvertsBetweenRvaAndFileOffset) {
    Opened pe(twoSectionPe());
    ASSERT_EQ(pe.openResult, QE_OK);
    auto sections = pe.as<IQEPESectionTable>(qe::IID_IQEPESectionTable);
    struct Case {
        uint32_t rva;
        QRESULT result;
        uint32_t offset;
    };
    const Case toRaw[] = {
        {0x1000, QE_OK, 0x400}, {0x13FF, QE_OK, 0x7FF},
        {0x1400, QE_E_FAIL, 0},  // uninitialised tail of .text
        {0x3010, QE_OK, 0x810}, {0x3200, QE_E_FAIL, 0},
        {0x80, QE_OK, 0x80},     // header area maps one to one
        {0xFFFFFFFF, QE_E_FAIL, 0},
    };
    for (const Case& c : toRaw) {
        uint32_t out = 0xABCD;
        EXPECT_EQ(sections->rva2raw(c.rva, &out), c.result) << std::hex << c.rva;
        if (c.result == QE_OK) {
            EXPECT_EQ(out, c.offset) << std::hex << c.rva;
        }
    }
    const Case toRva[] = {
        {0x400, QE_OK, 0x1000}, {0x7FF, QE_OK, 0x13FF}, {0x810, QE_OK, 0x3010},
        {0xA00, QE_E_FAIL, 0}, {0x3C, QE_OK, 0x3C},
    };
    for (const Case& c : toRva) {
        uint32_t out = 0;
        EXPECT_EQ(sections->raw2rva(c.rva, &out), c.result) << std::hex << c.rva;
        if (c.result == QE_OK) {
            EXPECT_EQ(out, c.offset) << std::hex << c.rva;
        }
    }
    EXPECT_EQ(sections->IsValidRva(0x1000), QE_OK);
    EXPECT_EQ(sections->IsValidRva(0x27FF), QE_OK);  // inside .text's virtual extent
    EXPECT_EQ(sections->IsValidRva(0x2800), QE_E_FAIL);
    EXPECT_EQ(sections->IsValidRva(0x10), QE_E_FAIL);  // headers are not a section
    EXPECT_EQ(sections->rva2raw(0x1000, nullptr), QE_E_INVALIDARG);
}

TEST(PeArchive, AcceptsAnyTwoBytesAfterThePeSignature) {
    Bytes image = twoSectionPe();
    image[fixtures::peHeaderOffset(image) + 2] = 0x12;
    Opened pe(image);
    EXPECT_EQ(pe.openResult, QE_OK);
}

TEST(PeArchive, FirstOverlappingSectionWins) {
    Bytes image = twoSectionPe();
    // Make .data claim the same RVA as .text.
    put32(image, fixtures::peSectionTableOffset(image) + 40 + 12, 0x1000);
    Opened pe(image);
    auto sections = pe.as<IQEPESectionTable>(qe::IID_IQEPESectionTable);
    uint32_t out = 0;
    ASSERT_EQ(sections->rva2raw(0x1010, &out), QE_OK);
    EXPECT_EQ(out, 0x410u);
}

TEST(PeArchive, RefusesFilesThatAreNotPe) {
    Bytes good = twoSectionPe();
    const uint32_t nt = fixtures::peHeaderOffset(good);
    struct Case {
        const char* name;
        Bytes bytes;
    };
    Bytes zm = good;
    zm[0] = 'Z', zm[1] = 'M';
    Bytes farPe = good;
    put32(farPe, 0x3C, 0x7FFFFFF0);
    Bytes badSignature = good;
    badSignature[nt + 1] = 'X';
    Bytes cutTable(good.begin(), good.begin() + fixtures::peSectionTableOffset(good) + 60);
    Bytes hugeCount = good;
    put16(hugeCount, nt + 6, 0xFFFF);
    const Case cases[] = {
        {"empty", {}}, {"text", Bytes(200, 'a')}, {"ZM", zm}, {"PE offset past the end", farPe},
        {"no PE signature", badSignature}, {"section table cut short", cutTable},
        {"section count beyond the file", hugeCount}, {"headers only", Bytes(good.begin(), good.begin() + 0x40)},
    };
    for (const Case& c : cases) {
        Opened pe(c.bytes);
        EXPECT_EQ(pe.openResult, QE_E_FAIL) << c.name;
        auto sections = pe.as<IQEPESectionTable>(qe::IID_IQEPESectionTable);
        uint32_t out = 0;
        EXPECT_LT(sections->rva2raw(0x1000, &out), 0) << c.name;
        EXPECT_EQ(pe.file->refCount(), 1u) << c.name;  // a failed open keeps no reference
    }
}

TEST(PeArchive, OpenReadsTheCurrentBytes) {
    Opened pe(twoSectionPe());
    auto sections = pe.as<IQEPESectionTable>(qe::IID_IQEPESectionTable);
    uint32_t out = 0;
    ASSERT_EQ(sections->rva2raw(0x3000, &out), QE_OK);
    EXPECT_EQ(out, 0x800u);
    // A cleaner moves .data's raw data; a new Open sees it.
    put32(pe.file->mutableBytes(), fixtures::peSectionTableOffset(pe.file->bytes()) + 40 + 20, 0x600);
    ASSERT_EQ(pe.archive->Open(static_cast<IQEArchive*>(pe.file)), QE_OK);
    ASSERT_EQ(sections->rva2raw(0x3000, &out), QE_OK);
    EXPECT_EQ(out, 0x600u);
    pe.archive->Close();
    EXPECT_EQ(sections->rva2raw(0x3000, &out), QE_E_UNEXPECTED);
    EXPECT_EQ(pe.file->refCount(), 1u);
}

TEST(PeArchive, FetchesResourceRecordsByRva) {
    fixtures::PeBuilder b;
    b.addSection({".text", Bytes(0x200, 0x90), 0});
    const uint32_t rsrcRva = b.sectionRva(1);
    fixtures::ResourceLayout layout;
    Bytes rsrc = fixtures::buildResourceSection(
        rsrcRva, {{fixtures::ResourceKey::byId(10), {{fixtures::ResourceKey::byId(0x65), {{fixtures::ResourceKey::byId(0x409), {1, 2, 3}}}}}}},
        &layout);
    b.addSection({".rsrc", rsrc, 0, 0x40000040});
    b.dataDirectory(2, rsrcRva, uint32_t(rsrc.size()));
    Opened pe(b.build());
    ASSERT_EQ(pe.openResult, QE_OK);
    auto table = pe.as<IQEPERecordTable>(qe::IID_IQEPERecordTable);
    uint8_t directory[16], entry[8], data[16];
    ASSERT_EQ(table->GetRecord(qe::PE_RECORD_RESOURCE_DIRECTORY, rsrcRva, directory, 16, nullptr), QE_OK);
    EXPECT_EQ(directory[14], 1);  // one ID entry
    ASSERT_EQ(table->GetRecord(qe::PE_RECORD_RESOURCE_ENTRY, rsrcRva + 16, entry, 8, nullptr), QE_OK);
    EXPECT_EQ(entry[0], 10);
    ASSERT_EQ(table->GetRecord(qe::PE_RECORD_RESOURCE_DATA_ENTRY, rsrcRva + layout.dataEntries[0], data, 16, nullptr),
              QE_OK);
    EXPECT_EQ(get32(Bytes(data, data + 16), 4), 3u);
    EXPECT_EQ(table->GetRecord(qe::PE_RECORD_RESOURCE_DIRECTORY, 0x900000, directory, 16, nullptr), QE_E_FAIL);
    EXPECT_EQ(table->GetRecord(qe::PE_RECORD_RESOURCE_DIRECTORY, rsrcRva, directory, 15, nullptr), QE_E_INVALIDARG);
}

}  // namespace

namespace {

// With the PE model installed, the scanned file object itself answers the PE interfaces.
TEST(PeModel, FileObjectsAnswerThePeInterfaces) {
    host::installPeModel();
    host::FileObject* pe = host::FileObject::fromBytes(twoSectionPe());
    host::FileObject* text = host::FileObject::fromBytes(Bytes(300, 'x'));
    auto sections = queryInterface<IQEPESectionTable>(static_cast<IQEArchive*>(pe), qe::IID_IQEPESectionTable);
    ASSERT_TRUE(sections);
    uint32_t offset = 0;
    ASSERT_EQ(sections->rva2raw(0x3010, &offset), QE_OK);
    EXPECT_EQ(offset, 0x810u);
    auto records = queryInterface<IQEPERecordTable>(static_cast<IQEArchive*>(pe), qe::IID_IQEPERecordTable);
    EXPECT_TRUE(records);
    // The PE archive's stream is the file's.
    auto peArchive = queryInterface<IQEPEArchive>(static_cast<IQEArchive*>(pe), qe::IID_IQEPEArchive);
    ASSERT_TRUE(peArchive);
    InterfacePtr<IQEStream> stream;
    ASSERT_EQ(peArchive->GetStream(stream.put()), QE_OK);
    EXPECT_EQ(static_cast<void*>(stream.get()), static_cast<void*>(static_cast<IQEStream*>(pe)));
    void* none = &offset;
    EXPECT_LT(static_cast<IQEArchive*>(text)->QueryInterface(qe::IID_IQEPEArchive, &none), 0);
    EXPECT_EQ(none, nullptr);
    stream.reset();
    peArchive.reset();
    records.reset();
    sections.reset();
    EXPECT_EQ(pe->refCount(), 1u);
    host::FileObject::setPeViewCreator(nullptr);
    EXPECT_FALSE(queryInterface<IQEPEArchive>(static_cast<IQEArchive*>(pe), qe::IID_IQEPEArchive));
    pe->Release();
    text->Release();
}

}  // namespace
