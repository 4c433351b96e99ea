#include "module/toolkit/import_reader.h"

#include <gtest/gtest.h>

#include <string>

#include "host/pe/pe_archive.h"
#include "host/qxbase/file_object.h"
#include "sdk/identifiers.h"
#include "tests/fixtures/pe_builder.h"
#include "tests/fixtures/toolkit_imports.h"

namespace {

using fixtures::Bytes;
using remedy::InterfacePtr;

struct ImportPe {
    explicit ImportPe(const std::vector<fixtures::ImportModule>& modules, bool withDirectory = true) {
        fixtures::PeBuilder b;
        b.addSection({".text", Bytes(0x200, 0x90), 0});
        const uint32_t rva = b.sectionRva(1);
        sectionOffset = b.sectionFileOffset(1);
        Bytes idata = fixtures::buildImportSection(rva, modules, &layout);
        b.addSection({".idata", idata, 0, 0xC0000040});
        if (withDirectory) b.dataDirectory(1, layout.directoryRva, layout.directorySize);
        image = b.build();
    }
    void open() {
        file = host::FileObject::fromBytes(image);
        EXPECT_EQ(host::createPeArchive(nullptr, qe::IID_IQEArchive, archive.putVoid()), QE_OK);
        EXPECT_EQ(archive->Open(static_cast<IQEArchive*>(file)), QE_OK);
    }
    ~ImportPe() {
        archive.reset();
        if (file) file->Release();
    }
    Bytes image;
    uint32_t sectionOffset = 0;
    fixtures::ImportLayout layout;
    host::FileObject* file = nullptr;
    InterfacePtr<IQEArchive> archive;
};

struct Item {
    uint32_t slot;
    std::string module, function;
    bool operator==(const Item&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Item& i) {
    return os << std::hex << i.slot << " " << i.module << "!" << i.function;
}

std::vector<Item> fetchAll(CImportedApis& reader, QRESULT* last) {
    std::vector<Item> items;
    CImportedApis::_IMPORT_ITEM item{};
    for (int i = 0; i < 100; ++i) {
        *last = reader.FetchImportsApi(&item, 0);
        if (*last != QE_OK) break;
        items.push_back({item.iatSlot, item.module, item.function});
    }
    return items;
}

const std::vector<fixtures::ImportModule> kModules = {
    {"KERNEL32.dll", {{"GetProcAddress", 0, 3}, {"LoadLibraryA", 0, 7}}},
    {"WS2_32.dll  ", {{"", 5}, {"send"}}, /*nameTable=*/false},
    {"USER32.dll", {{"MessageBoxA"}}},
};

TEST(CImportedApis, ListsImportsByNameAndOrdinal) {
    ImportPe pe(kModules);
    pe.open();
    CImportedApis reader;
    ASSERT_EQ(reader.Open(pe.archive.get()), QE_OK);
    QRESULT last = QE_OK;
    const auto& iat = pe.layout.firstThunks;
    EXPECT_EQ(fetchAll(reader, &last), (std::vector<Item>{
                                            {iat[0], "KERNEL32.dll", "GetProcAddress"},
                                            {iat[0] + 4, "KERNEL32.dll", "LoadLibraryA"},
                                            {iat[1], "WS2_32.dll", "00000005"},  // blanks cut, ordinal as text
                                            {iat[1] + 4, "WS2_32.dll", "send"},
                                            {iat[2], "USER32.dll", "MessageBoxA"},
                                        }));
    EXPECT_EQ(last, QE_E_IMPORTS_EXHAUSTED);
    CImportedApis::_IMPORT_ITEM item{};
    EXPECT_EQ(reader.FetchImportsApi(&item, 0), QE_E_IMPORTS_EXHAUSTED);
    ASSERT_EQ(reader.FetchImportsApi(&item, 1), QE_OK);  // restart
    EXPECT_STREQ(item.function, "GetProcAddress");
}

TEST(CImportedApis, OpenRefusesFilesWithoutImports) {
    ImportPe none(kModules, /*withDirectory=*/false);
    none.open();
    CImportedApis reader;
    EXPECT_EQ(reader.Open(none.archive.get()), QE_E_FAIL);
    EXPECT_EQ(reader.Open(nullptr), QE_E_INVALIDARG);
    EXPECT_EQ(reader.Open(static_cast<IQEArchive*>(none.file)), QE_E_NOINTERFACE);
    ImportPe pe(kModules);
    pe.open();
    ASSERT_EQ(reader.Open(pe.archive.get()), QE_OK);
    EXPECT_EQ(reader.Open(pe.archive.get()), QE_E_UNEXPECTED);
    reader.Close();
    CImportedApis::_IMPORT_ITEM item{};
    EXPECT_EQ(reader.FetchImportsApi(&item, 0), QE_E_UNEXPECTED);
}

TEST(CImportedApis, EmptyDescriptorListIsExhaustedAtOnce) {
    ImportPe pe({});
    pe.open();
    CImportedApis reader;
    ASSERT_EQ(reader.Open(pe.archive.get()), QE_OK);
    CImportedApis::_IMPORT_ITEM item{};
    EXPECT_EQ(reader.FetchImportsApi(&item, 0), QE_E_IMPORTS_EXHAUSTED);
}

TEST(CImportedApis, DamagedTablesFailWithoutMovingOn) {
    ImportPe pe(kModules);
    // The second module's name RVA points outside the image.
    fixtures::put32(pe.image, pe.sectionOffset + 20 + 12, 0x7FFF0000);
    pe.open();
    CImportedApis reader;
    ASSERT_EQ(reader.Open(pe.archive.get()), QE_OK);
    QRESULT last = QE_OK;
    EXPECT_EQ(fetchAll(reader, &last).size(), 2u);
    EXPECT_LT(last, 0);
    EXPECT_NE(last, QE_E_IMPORTS_EXHAUSTED);
    CImportedApis::_IMPORT_ITEM item{};
    EXPECT_EQ(reader.FetchImportsApi(&item, 0), last);  // retrying fails the same way
}

TEST(CImportedApis, ReadStringIsBounded) {
    host::FileObject* file = host::FileObject::fromBytes({'a', 'b', 'c', 'd', 0, 'x'});
    IQEStream* stream = static_cast<IQEStream*>(file);
    char buffer[8];
    ASSERT_EQ(CImportedApis::ReadString(stream, 0, buffer, 8), QE_OK);
    EXPECT_STREQ(buffer, "abcd");
    ASSERT_EQ(CImportedApis::ReadString(stream, 1, buffer, 3), QE_OK);
    EXPECT_STREQ(buffer, "bc");
    ASSERT_EQ(CImportedApis::ReadString(stream, 0, buffer, 1), QE_OK);
    EXPECT_STREQ(buffer, "");
    ASSERT_EQ(CImportedApis::ReadString(stream, 5, buffer, 8), QE_OK);  // runs into the end
    EXPECT_STREQ(buffer, "x");
    EXPECT_EQ(CImportedApis::ReadString(stream, 0, buffer, 0), QE_E_INVALIDARG);
    EXPECT_EQ(CImportedApis::ReadString(nullptr, 0, buffer, 8), QE_E_INVALIDARG);
    file->Release();
}

TEST(CImportedApis, TrimModNameRight) {
    struct Case {
        std::string name;
        uint32_t maximum;
        int accepted;
        std::string after;
    };
    const Case cases[] = {
        {"KERNEL32.DLL  ", 255, 1, "KERNEL32.DLL"},
        {"KERNEL32.DLL", 255, 1, "KERNEL32.DLL"},
        {"KERNEL32", 255, 0, "KERNEL32"},
        {"NTDLL.", 255, 1, "NTDLL."},
        {".DLL", 255, 0, ".DLL"},       // the dot must follow the first character
        {"AB.", 255, 1, "AB."},
        {"A", 255, 0, "A"},
        {"", 255, 0, ""},
        {"ABCDEF.DLL", 5, 0, "ABCDEF.DLL"},
        {"A.B ", 255, 1, "A.B"},
    };
    for (const Case& c : cases) {
        std::string buffer = c.name;
        buffer.push_back('\0');
        EXPECT_EQ(CImportedApis::TrimModName_right(buffer.data(), c.maximum), c.accepted) << c.name;
        EXPECT_STREQ(buffer.c_str(), c.after.c_str());
    }
    EXPECT_EQ(CImportedApis::TrimModName_right(nullptr, 10), 0);
}

}  // namespace
