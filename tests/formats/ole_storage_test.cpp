#include "module/formats/ole_storage.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <functional>

#include "tests/fixtures/ole_builder.h"
#include "tests/formats/host_file.h"

using fixtures::Bytes;
using fixtures::OleBuilder;
using fixtures::OleFile;
using formats_test::HostFile;

namespace {

Bytes pattern(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = uint8_t(seed + i * 7 + (i >> 8));
    return b;
}

const OLESS_DIRECTORY_ENTRY_EX* findEntry(const OLESSDataFile& ole, const wchar_t* name) {
    for (const auto& e : ole.entries)
        if (wcscasecmp(e.name, name) == 0) return &e;
    return nullptr;
}

Bytes readBack(std::span<const uint8_t> file, uint64_t offset, size_t length) {
    if (offset + length > file.size()) return {};
    return Bytes(file.begin() + offset, file.begin() + offset + length);
}

OleFile sampleDocument(uint32_t sectorShift) {
    OleBuilder ole(sectorShift);
    ole.addStream("WordDocument", pattern(9000, 1));
    ole.addStream("1Table", pattern(700, 2));
    uint32_t storage = ole.addStorage("ObjectPool");
    ole.addStream("Contents", pattern(100, 3), storage);
    ole.addStream("Empty", {});
    return ole.build();
}

}  // namespace

class OleStorageRoundTrip : public ::testing::TestWithParam<uint32_t> {};

TEST_P(OleStorageRoundTrip, EveryStreamIsFoundAtItsDataOffset) {
    OleFile file = sampleDocument(GetParam());
    HostFile host(file.bytes);
    OLESSDataFile ole(host.stream());
    ASSERT_EQ(ole.valid, 1u);

    // The root entry has a non-zero size (it holds the mini stream) and is not stored.
    EXPECT_EQ(findEntry(ole, L"Root Entry"), nullptr);
    for (const char* name : {"WordDocument", "1Table", "Contents"}) {
        SCOPED_TRACE(name);
        const fixtures::OleEntryLayout* want = nullptr;
        for (const auto& e : file.entries)
            if (e.name == name) want = &e;
        ASSERT_NE(want, nullptr);
        std::wstring wide(want->name.begin(), want->name.end());
        const OLESS_DIRECTORY_ENTRY_EX* got = findEntry(ole, wide.c_str());
        ASSERT_NE(got, nullptr);
        EXPECT_EQ(got->type, 2);
        EXPECT_EQ(got->size, want->data.size());
        EXPECT_EQ(got->dataOffset, want->dataOffset);
        EXPECT_EQ(readBack(host.bytes(), got->dataOffset, got->size), want->data);
    }
    const OLESS_DIRECTORY_ENTRY_EX* storage = findEntry(ole, L"ObjectPool");
    ASSERT_NE(storage, nullptr);
    EXPECT_EQ(storage->type, 1);
    EXPECT_EQ(storage->dataOffset, 0u);
    const OLESS_DIRECTORY_ENTRY_EX* empty = findEntry(ole, L"Empty");
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty->dataOffset, 0u);
}

INSTANTIATE_TEST_SUITE_P(SectorSizes, OleStorageRoundTrip, ::testing::Values(9u, 12u));

TEST(OleStorage, NamesCompareWithoutRegardToCase) {
    OleBuilder builder;
    builder.addStream("WordDocument", pattern(5000, 9));
    HostFile host(builder.build().bytes);
    OLESSDataFile ole(host.stream());
    ASSERT_EQ(ole.valid, 1u);
    const OLESS_DIRECTORY_ENTRY_EX* e = findEntry(ole, L"WORDDOCUMENT");
    ASSERT_NE(e, nullptr);
    EXPECT_STREQ(e->name, L"WordDocument");
    EXPECT_EQ(e->nameLength, 26);
}

// A stream of 100 bytes at mini sector 3, with the mini stream at sector 7: (7 + 1) * 512 + 3 * 64.
TEST(OleStorage, MiniStreamDataOffset) {
    OleBuilder builder;
    for (int i = 0; i < 3; ++i) builder.addStream("Mini" + std::to_string(i), pattern(64, uint8_t(i)));
    uint32_t target = builder.addStream("Target", pattern(100, 42));
    for (int i = 0; i < 12; ++i) builder.addStream("Empty" + std::to_string(i), {});
    OleFile file = builder.build();
    ASSERT_EQ(file.miniStreamSectors.at(0), 7u);
    ASSERT_EQ(file.entries[target].chain.at(0), 3u);

    HostFile host(file.bytes);
    OLESSDataFile ole(host.stream());
    ASSERT_EQ(ole.valid, 1u);
    EXPECT_EQ(ole.GetMiniSectorOffset(3, 7), 4288u);
    EXPECT_EQ(ole.GetSectorOffset(7), 4096u);
    const OLESS_DIRECTORY_ENTRY_EX* e = findEntry(ole, L"Target");
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->dataOffset, 4288u);
    EXPECT_EQ(readBack(host.bytes(), e->dataOffset, 100), pattern(100, 42));
}

TEST(OleStorage, RootOfSizeZeroIsKeptWithOffsetZero) {
    OleBuilder builder;
    builder.addStream("Big", pattern(4096, 5));
    HostFile host(builder.build().bytes);
    OLESSDataFile ole(host.stream());
    ASSERT_EQ(ole.valid, 1u);
    const OLESS_DIRECTORY_ENTRY_EX* root = findEntry(ole, L"Root Entry");
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->type, 5);
    EXPECT_EQ(root->dataOffset, 0u);
}

// A directory in the last sector the FAT covers: the chain may end there, but a link to the
// sector after it points beyond the FAT.
TEST(OleStorage, DirectoryLinkBeyondTheFat) {
    OleBuilder builder;
    builder.addStream("Big", pattern(4096, 5));
    OleFile file = builder.build();
    ASSERT_EQ(file.fatSectors.size(), 1u);
    Bytes directory = readBack(file.bytes, file.sectorOffset(file.directorySectors[0]), 512);
    file.bytes.resize(file.sectorOffset(129), 0);
    fixtures::putBytes(file.bytes, file.sectorOffset(127), directory);
    fixtures::putBytes(file.bytes, file.sectorOffset(128), directory);
    file.setHeader32(48, 127);

    file.setFat(127, fixtures::kOleEndOfChain);
    {
        HostFile host(file.bytes);
        EXPECT_EQ(OLESSDataFile(host.stream()).valid, 1u);
    }
    file.setFat(127, 128);
    {
        HostFile host(file.bytes);
        EXPECT_EQ(OLESSDataFile(host.stream()).valid, 0u);
    }
}

struct HostileCase {
    const char* name;
    std::function<void(OleFile&)> corrupt;
};

class OleStorageHostile : public ::testing::TestWithParam<HostileCase> {};

TEST_P(OleStorageHostile, IsNotValid) {
    OleFile file = sampleDocument(9);
    GetParam().corrupt(file);
    HostFile host(file.bytes);
    OLESSDataFile ole(host.stream());
    EXPECT_EQ(ole.valid, 0u);
    // Tables never hold more than the file could supply.
    EXPECT_LE((ole.fat.size() + ole.difat.size() + ole.miniFat.size()) * 4, host.bytes().size());
}

const HostileCase kHostileCases[] = {
    {"BadSignature", [](OleFile& f) { f.bytes[7] = 0; }},
    {"ShorterThanHeader", [](OleFile& f) { f.bytes.resize(511); }},
    {"SectorShift6", [](OleFile& f) { f.setHeader16(30, 6); }},
    {"SectorShift31", [](OleFile& f) { f.setHeader16(30, 31); }},
    {"SectorShiftHuge", [](OleFile& f) { f.setHeader16(30, 0xFFFF); }},
    {"MiniSectorAboveCutoff", [](OleFile& f) { f.setHeader16(32, 13); }},
    {"MiniSectorBelow16", [](OleFile& f) { f.setHeader16(32, 3); }},
    {"FatEntryPointsElsewhere", [](OleFile& f) { f.setFat(2, 5); }},
    {"FatClaims409600SectorsIn2K", [](OleFile& f) { f.bytes.resize(2048); f.setHeader32(44, 409600); }},
    {"FatCountHuge", [](OleFile& f) { f.setHeader32(44, 0xFFFFFFFF); }},
    {"FirstFatSectorOutsideFile", [](OleFile& f) { f.setHeader32(76, 0x00FFFFFF); }},
    {"FirstFatSectorWraps", [](OleFile& f) { f.setHeader32(76, 0xFFFFFFF0); }},
    {"DifatCountHuge", [](OleFile& f) { f.setHeader32(68, 0); f.setHeader32(72, 0xFFFFFFFF); }},
    {"MiniFatOutsideFile", [](OleFile& f) { f.setHeader32(60, 0x7FFFFF); f.setHeader32(64, 0x1000); }},
    {"DirectoryOutsideFile", [](OleFile& f) { f.setHeader32(48, 0x100000); }},
    {"DirectoryChainLoops", [](OleFile& f) {
         // 1 -> 0 -> 1 ... reads on sequentially; the walk is bounded by the FAT.
         f.setFat(0, 1);
         f.setFat(f.directorySectors[0], 0);
     }},
    {"TruncatedDirectory", [](OleFile& f) { f.bytes.resize(f.sectorOffset(f.directorySectors[0]) + 200); }},
    {"SecondRootEntry", [](OleFile& f) {
         uint64_t root = f.directoryEntryOffset(0);
         fixtures::putBytes(f.bytes, f.directoryEntryOffset(3), readBack(f.bytes, root, 128));
     }},
    {"MiniStreamOffsetWraps", [](OleFile& f) { f.setEntry32(2, 116, 0xFFFFFF00); }},
};

INSTANTIATE_TEST_SUITE_P(Cases, OleStorageHostile, ::testing::ValuesIn(kHostileCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(OleStorage, NullStreamIsNotValid) {
    OLESSDataFile ole(nullptr);
    EXPECT_EQ(ole.valid, 0u);
}

// The second FAT sector is listed in a DIFAT sector; the FAT itself is read from the first one on.
TEST(OleStorage, DifatSectorListingTheNextFatSector) {
    OleBuilder builder;
    builder.headerFatSlots(1);
    builder.addStream("Big", pattern(70000, 4));
    OleFile file = builder.build();
    ASSERT_EQ(file.fatSectors, (std::vector<uint32_t>{0, 1}));
    ASSERT_EQ(file.difatSectors.size(), 1u);
    {
        HostFile host(file.bytes);
        OLESSDataFile ole(host.stream());
        ASSERT_EQ(ole.valid, 1u);
        EXPECT_EQ(ole.difat.size(), 128u);
        EXPECT_EQ(ole.fat.size(), 256u);
        const OLESS_DIRECTORY_ENTRY_EX* e = findEntry(ole, L"Big");
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(readBack(host.bytes(), e->dataOffset, 70000), pattern(70000, 4));
    }
    // A DIFAT value that is not the next sector is refused like a FAT value.
    fixtures::put32(file.bytes, file.sectorOffset(file.difatSectors[0]) + 4, 7);
    HostFile host(file.bytes);
    EXPECT_EQ(OLESSDataFile(host.stream()).valid, 0u);
}
