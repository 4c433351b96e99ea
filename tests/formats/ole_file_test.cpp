#include "module/formats/ole_file.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <set>

#include "tests/fixtures/ole_builder.h"
#include "tests/formats/host_file.h"

using fixtures::Bytes;
using fixtures::OleBuilder;
using fixtures::OleFile;
using formats_test::HostFile;
using scanex::COleFile;

namespace {

constexpr uint32_t kNoSid = COleFile::kNoSid;

Bytes pattern(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = uint8_t(seed + i * 13 + (i >> 9));
    return b;
}

// A fragmented document: no chain is contiguous.
struct Document {
    OleFile file;
    uint32_t big, small, storage, nested;
};

Document makeDocument() {
    OleBuilder builder;
    builder.fragmented();
    Document d{};
    d.big = builder.addStream("WordDocument", pattern(10000, 1));
    d.small = builder.addStream("1Table", pattern(300, 2));
    d.storage = builder.addStorage("ObjectPool");
    d.nested = builder.addStream("Contents", pattern(700, 3), d.storage);
    builder.addStream("Data", pattern(5000, 4));
    d.file = builder.build();
    return d;
}

// File offset of byte i of an entry's data, following its chain in the layout.
uint64_t dataByteOffset(const OleFile& file, uint32_t sid, size_t i) {
    const auto& e = file.entries[sid];
    if (e.inMiniStream) return file.miniSectorOffset(e.chain.at(i / 64)) + i % 64;
    return file.sectorOffset(e.chain.at(i / 512)) + i % 512;
}

// The file as it must look after `data` was written at `offset` of stream `sid`.
Bytes expectedAfterWrite(const OleFile& file, uint32_t sid, size_t offset, const Bytes& data) {
    Bytes out = file.bytes;
    for (size_t i = 0; i < data.size(); ++i) out.at(dataByteOffset(file, sid, offset + i)) = data[i];
    return out;
}

}  // namespace

TEST(OleFile, ChainsAreNotContiguousInTheFixture) {
    Document d = makeDocument();
    const auto& chain = d.file.entries[d.big].chain;
    ASSERT_GE(chain.size(), 2u);
    EXPECT_NE(chain[1], chain[0] + 1);
}

TEST(OleFile, ReadsEveryStreamWhole) {
    Document d = makeDocument();
    HostFile host(d.file.bytes);
    COleFile ole;
    ASSERT_EQ(ole.OpenOleFile(host.unknown()), 1u);
    EXPECT_EQ(ole.GetDirEntryNum(), 8u);  // two directory sectors
    for (uint32_t sid : {d.big, d.small, d.nested}) {
        const Bytes& want = d.file.entries[sid].data;
        Bytes got(want.size());
        EXPECT_EQ(ole.ReadStream(got.data(), sid, 0, uint32_t(got.size())), want.size());
        EXPECT_EQ(got, want);
        EXPECT_EQ(ole.GetStreamLen(sid), want.size());
    }
}

struct ReadCase {
    const char* name;
    bool small;
    uint32_t offset, length, expected;
};

class OleFileRead : public ::testing::TestWithParam<ReadCase> {};

TEST_P(OleFileRead, CopiesTheRightSlice) {
    const ReadCase& c = GetParam();
    Document d = makeDocument();
    uint32_t sid = c.small ? d.small : d.big;
    HostFile host(d.file.bytes);
    COleFile ole;
    ASSERT_EQ(ole.OpenOleFile(host.unknown()), 1u);
    Bytes got(c.length, 0xEE);
    ASSERT_EQ(ole.ReadStream(got.data(), sid, c.offset, c.length), c.expected);
    const Bytes& data = d.file.entries[sid].data;
    for (uint32_t i = 0; i < c.expected; ++i) {
        // The chain decides, not the size field: bytes after the data are the padding of its last block.
        uint8_t want = c.offset + i < data.size() ? data[c.offset + i] : 0;
        ASSERT_EQ(got[i], want) << "byte " << i;
    }
}

const ReadCase kReadCases[] = {
    // 412 bytes of the first sector, one whole sector, 76 bytes of the third.
    {"RegularPartialWholePartial", false, 100, 1000, 1000},
    {"RegularAligned", false, 512, 1024, 1024},
    {"RegularTail", false, 9990, 10, 10},
    {"RegularPastSizeUntilChainEnds", false, 9990, 400, 250},  // 20 sectors hold 10240 bytes
    {"RegularOffsetPastChain", false, 20000, 10, 0},
    {"MiniPartialWholePartial", true, 10, 200, 200},
    {"MiniPastSizeUntilChainEnds", true, 250, 400, 70},  // 5 mini sectors hold 320 bytes
    {"ZeroLength", false, 0, 0, 0},
};

INSTANTIATE_TEST_SUITE_P(Cases, OleFileRead, ::testing::ValuesIn(kReadCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(OleFile, FindsEntriesByExactName) {
    Document d = makeDocument();
    HostFile host(d.file.bytes);
    COleFile ole;
    ASSERT_EQ(ole.OpenOleFile(host.unknown()), 1u);
    EXPECT_EQ(ole.GetSID(0, "WordDocument"), d.big);
    EXPECT_EQ(ole.GetSID(0, "1Table"), d.small);
    EXPECT_EQ(ole.GetSID(0, "worddocument"), kNoSid);
    EXPECT_EQ(ole.GetSID(0, "Contents"), kNoSid);  // not a child of the root
    EXPECT_EQ(ole.GetSID(d.storage, "Contents"), d.nested);
    const uint8_t wide[] = {'C', 0, 'o', 0, 'n', 0, 't', 0, 'e', 0, 'n', 0, 't', 0, 's', 0};
    EXPECT_EQ(ole.GetSID(d.storage, wide, 8), d.nested);
    EXPECT_EQ(ole.GetSID(d.storage, wide, 7), kNoSid);
    EXPECT_EQ(ole.GetSID(99, "Contents"), kNoSid);

    std::unique_ptr<char[]> name(ole.GetStreamName(d.big));
    ASSERT_NE(name, nullptr);
    EXPECT_STREQ(name.get(), "WordDocument");
    EXPECT_EQ(ole.GetStreamName(99), nullptr);
    EXPECT_EQ(ole.GetDirEntry(99), nullptr);
    EXPECT_EQ(ole.GetStreamLen(99), 0u);
}

TEST(OleFile, WalksTheTree) {
    Document d = makeDocument();
    HostFile host(d.file.bytes);
    COleFile ole;
    ASSERT_EQ(ole.OpenOleFile(host.unknown()), 1u);
    EXPECT_EQ(ole.GetParantSID(d.nested), d.storage);
    EXPECT_EQ(ole.GetChildSID(d.storage), d.nested);
    EXPECT_EQ(ole.GetSiblingSID(d.nested), kNoSid);
    EXPECT_EQ(ole.GetParantSID(0), kNoSid);
    EXPECT_EQ(ole.GetParantSID(500), kNoSid);

    std::set<uint32_t> children;
    uint32_t sid = ole.GetChildSID(0);
    for (int guard = 0; sid != kNoSid && guard < 10; ++guard, sid = ole.GetSiblingSID(sid)) {
        EXPECT_EQ(ole.GetParantSID(sid), 0u);
        children.insert(sid);
    }
    EXPECT_EQ(children, (std::set<uint32_t>{1, 2, 3, 5}));
}

struct WriteCase {
    const char* name;
    bool small;
    uint32_t offset, length;
};

class OleFileWrite : public ::testing::TestWithParam<WriteCase> {};

TEST_P(OleFileWrite, PatchesExactlyTheStreamBytes) {
    const WriteCase& c = GetParam();
    Document d = makeDocument();
    uint32_t sid = c.small ? d.small : d.big;
    HostFile host(d.file.bytes);
    COleFile ole;
    ASSERT_EQ(ole.OpenOleFile(host.unknown()), 1u);
    Bytes data = pattern(c.length, 0x77);
    ASSERT_EQ(ole.WriteStream(data.data(), sid, c.offset, c.length), c.length);
    EXPECT_EQ(host.bytes(), expectedAfterWrite(d.file, sid, c.offset, data));

    Bytes back(c.length);
    EXPECT_EQ(ole.ReadStream(back.data(), sid, c.offset, c.length), c.length);
    EXPECT_EQ(back, data);
}

const WriteCase kWriteCases[] = {
    {"RegularPartialWholePartial", false, 100, 1000},
    {"RegularWholeStream", false, 0, 10000},
    {"RegularLastByte", false, 9999, 1},
    {"MiniPartial", true, 3, 10},
    {"MiniWholeStream", true, 0, 300},
};

INSTANTIATE_TEST_SUITE_P(Cases, OleFileWrite, ::testing::ValuesIn(kWriteCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(OleFile, NeverExtendsAStream) {
    Document d = makeDocument();
    HostFile host(d.file.bytes);
    COleFile ole;
    ASSERT_EQ(ole.OpenOleFile(host.unknown()), 1u);
    Bytes data(100, 0x55);
    EXPECT_EQ(ole.WriteStream(data.data(), d.big, 9950, 100), 0u);
    EXPECT_EQ(ole.WriteStream(data.data(), d.small, 250, 51), 0u);
    EXPECT_EQ(ole.WriteStream(data.data(), d.big, 0xFFFFFFF0u, 100), 0u);
    EXPECT_EQ(host.bytes(), d.file.bytes);
}

// Whatever the chains say, the file never grows.
TEST(OleFile, NeverGrowsTheFile) {
    Document d = makeDocument();
    const auto& chain = d.file.entries[d.big].chain;
    // The last sector of the stream is cut off the file; another chain link points far away.
    uint32_t last = chain.back();
    d.file.bytes.resize(d.file.sectorOffset(last));
    uint32_t dataSid = 5;
    d.file.setFat(d.file.entries[dataSid].chain[2], 5000);
    HostFile host(d.file.bytes);
    COleFile ole;
    ASSERT_EQ(ole.OpenOleFile(host.unknown()), 1u);
    const size_t size = host.bytes().size();

    Bytes data(10000, 0x66);
    EXPECT_LT(ole.WriteStream(data.data(), d.big, 0, 10000), 10000u);
    EXPECT_EQ(ole.WriteStream(data.data(), dataSid, 0, 5000), 1536u);
    uint8_t sector[512] = {};
    EXPECT_EQ(ole.WriteSect(sector, last), 0u);
    EXPECT_EQ(ole.WriteSect(sector, 5000), 0u);
    EXPECT_EQ(ole.WriteSect(sector, 0xFFFFFFFE), 0u);
    EXPECT_EQ(ole.WriteMinSect(sector, 100000), 0u);
    EXPECT_EQ(ole.Remove(d.big), 1u);
    EXPECT_EQ(host.bytes().size(), size);
}

struct LengthCase {
    const char* name;
    bool small;  // the 300-byte stream, else the 5000-byte one
    uint32_t length;
    uint32_t result;
};

class OleFileSetLength : public ::testing::TestWithParam<LengthCase> {};

TEST_P(OleFileSetLength, OnlyShortensWithinItsKind) {
    const LengthCase& c = GetParam();
    Document d = makeDocument();
    uint32_t sid = c.small ? d.small : 5;
    uint32_t old = c.small ? 300 : 5000;
    HostFile host(d.file.bytes);
    COleFile ole;
    ASSERT_EQ(ole.OpenOleFile(host.unknown()), 1u);
    EXPECT_EQ(ole.SetStreamLen(sid, c.length), c.result);
    uint32_t want = c.result ? c.length : old;
    EXPECT_EQ(ole.GetStreamLen(sid), want);
    fixtures::Bytes stored(host.bytes().begin(), host.bytes().end());
    EXPECT_EQ(fixtures::get32(stored, d.file.directoryEntryOffset(sid) + 120), want);
    EXPECT_EQ(stored.size(), d.file.bytes.size());
}

const LengthCase kLengthCases[] = {
    {"RegularTo4096Refused", false, 4096, 0},
    {"RegularTo4097", false, 4097, 1},
    {"RegularSame", false, 5000, 1},
    {"RegularLonger", false, 5001, 0},
    {"MiniLongerRefused", true, 400, 0},
    {"MiniShorter", true, 50, 1},
    {"MiniToZero", true, 0, 1},
};

INSTANTIATE_TEST_SUITE_P(Cases, OleFileSetLength, ::testing::ValuesIn(kLengthCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(OleFile, StreamOfExactly4096IsNeverResized) {
    OleBuilder builder;
    uint32_t sid = builder.addStream("Exact", pattern(4096, 1));
    HostFile host(builder.build().bytes);
    COleFile ole;
    ASSERT_EQ(ole.OpenOleFile(host.unknown()), 1u);
    EXPECT_EQ(ole.SetStreamLen(sid, 4096), 0u);
    EXPECT_EQ(ole.SetStreamLen(sid, 4095), 0u);
    EXPECT_EQ(ole.GetStreamLen(sid), 4096u);
}

TEST(OleFile, RemoveZeroesAndUnlinksAStream) {
    Document d = makeDocument();
    HostFile host(d.file.bytes);
    COleFile ole;
    ASSERT_EQ(ole.OpenOleFile(host.unknown()), 1u);
    ASSERT_EQ(ole.Remove(d.small), 1u);

    Bytes after(host.bytes().begin(), host.bytes().end());
    ASSERT_EQ(after.size(), d.file.bytes.size());
    for (size_t i = 0; i < 300; ++i) ASSERT_EQ(after[dataByteOffset(d.file, d.small, i)], 0) << i;
    EXPECT_EQ(fixtures::get32(after, d.file.directoryEntryOffset(d.small) + 120), 65u);
    EXPECT_EQ(ole.GetSID(0, "1Table"), kNoSid);
    for (const char* name : {"WordDocument", "ObjectPool", "Data"}) EXPECT_NE(ole.GetSID(0, name), kNoSid) << name;
    // The other streams are untouched.
    Bytes big(10000);
    ole.ReadStream(big.data(), d.big, 0, 10000);
    EXPECT_EQ(big, d.file.entries[d.big].data);
    // Once unlinked, nothing points to it.
    EXPECT_EQ(ole.Remove(d.small), 0u);
}

TEST(OleFile, RemovedTinyStreamKeepsItsSize) {
    OleBuilder builder;
    uint32_t sid = builder.addStream("Tiny", pattern(20, 1));
    builder.addStream("Other", pattern(20, 2));
    OleFile file = builder.build();
    HostFile host(file.bytes);
    COleFile ole;
    ASSERT_EQ(ole.OpenOleFile(host.unknown()), 1u);
    ASSERT_EQ(ole.Remove(sid), 1u);
    EXPECT_EQ(ole.GetStreamLen(sid), 20u);
}

TEST(OleFile, RemoveHangsTheRightSubtreeUnderTheLeftOne) {
    OleBuilder builder;
    uint32_t storage = builder.addStorage("S");
    std::vector<uint32_t> kids;
    for (char c = 'a'; c <= 'g'; ++c) kids.push_back(builder.addStream(std::string(1, c), pattern(10, uint8_t(c)), storage));
    OleFile file = builder.build();
    // Balanced: d is the storage's child, b and f its siblings, c the rightmost of b's subtree.
    const uint32_t b = kids[1], c = kids[2], dd = kids[3], f = kids[5];
    ASSERT_EQ(file.entry32(storage, 76), dd);
    ASSERT_EQ(file.entry32(dd, 68), b);
    ASSERT_EQ(file.entry32(dd, 72), f);
    ASSERT_EQ(file.entry32(b, 72), c);

    HostFile host(file.bytes);
    COleFile ole;
    ASSERT_EQ(ole.OpenOleFile(host.unknown()), 1u);
    ASSERT_EQ(ole.Remove(dd), 1u);
    Bytes after(host.bytes().begin(), host.bytes().end());
    auto field = [&](uint32_t sid, uint32_t at) { return fixtures::get32(after, file.directoryEntryOffset(sid) + at); };
    EXPECT_EQ(field(storage, 76), b);
    EXPECT_EQ(field(c, 72), f);
    for (char name = 'a'; name <= 'g'; ++name) {
        std::string s(1, name);
        if (name == 'd') EXPECT_EQ(ole.GetSID(storage, s.c_str()), kNoSid);
        else EXPECT_EQ(ole.GetSID(storage, s.c_str()), kids[size_t(name - 'a')]) << s;
    }
    // The data of the removed stream is zeroed.
    for (size_t i = 0; i < 10; ++i) EXPECT_EQ(after[dataByteOffset(file, dd, i)], 0);
}

TEST(OleFile, ReadsFatSectorsListedInDifatSectors) {
    for (uint32_t slots : {0u, 1u}) {
        SCOPED_TRACE(slots);
        OleBuilder builder;
        builder.headerFatSlots(slots).fragmented();
        uint32_t a = builder.addStream("A", pattern(40000, 1));
        uint32_t b = builder.addStream("B", pattern(40000, 2));
        OleFile file = builder.build();
        ASSERT_GE(file.fatSectors.size(), 2u);
        ASSERT_GE(file.difatSectors.size(), 1u);
        HostFile host(file.bytes);
        COleFile ole;
        ASSERT_EQ(ole.OpenOleFile(host.unknown()), 1u);
        for (uint32_t sid : {a, b}) {
            Bytes got(40000);
            EXPECT_EQ(ole.ReadStream(got.data(), sid, 0, 40000), 40000u);
            EXPECT_EQ(got, file.entries[sid].data);
        }
    }
}

struct OpenCase {
    const char* name;
    std::function<void(OleFile&)> corrupt;
};

class OleFileHostileOpen : public ::testing::TestWithParam<OpenCase> {};

TEST_P(OleFileHostileOpen, DoesNotOpenAndStaysReusable) {
    Document d = makeDocument();
    OleFile bad = d.file;
    GetParam().corrupt(bad);
    HostFile badHost(bad.bytes);
    COleFile ole;
    EXPECT_EQ(ole.OpenOleFile(badHost.unknown()), 0u);
    EXPECT_EQ(ole.GetDirEntryNum(), 0u);
    uint8_t buffer[16];
    EXPECT_EQ(ole.ReadStream(buffer, 1, 0, 16), 0u);
    EXPECT_EQ(badHost.object().refCount(), 1u);

    HostFile good(d.file.bytes);
    EXPECT_EQ(ole.OpenOleFile(good.unknown()), 1u);
    EXPECT_EQ(ole.GetSID(0, "WordDocument"), d.big);
}

const OpenCase kOpenCases[] = {
    {"BadSignature", [](OleFile& f) { f.bytes[0] = 0; }},
    {"ShorterThanHeader", [](OleFile& f) { f.bytes.resize(500); }},
    {"ZeroFatSectors", [](OleFile& f) { f.setHeader32(44, 0); }},
    {"FatAbove409600Entries", [](OleFile& f) { f.setHeader32(44, 3201); }},
    {"FatCountOverflows", [](OleFile& f) { f.setHeader32(44, 0x02000001); }},
    {"FatSectorsAllMissing", [](OleFile& f) { f.setHeader32(76, 0x00FFFFFF); }},
    {"SectorShift12", [](OleFile& f) { f.setHeader16(30, 12); }},
    {"DirectorySelfLink", [](OleFile& f) { f.setFat(f.directorySectors[0], f.directorySectors[0]); }},
    {"DirectoryLinkOutsideFat", [](OleFile& f) { f.setFat(f.directorySectors[0], 100000); }},
    {"DirectoryChainLoops", [](OleFile& f) { f.setFat(f.directorySectors[1], f.directorySectors[0]); }},
    {"DirectoryChainEndsFree", [](OleFile& f) { f.setFat(f.directorySectors[1], 0xFFFFFFFF); }},
    {"DirectoryStartOutsideFat", [](OleFile& f) { f.setHeader32(48, 0x7FFFFFFF); }},
    {"MiniFatCountHuge", [](OleFile& f) { f.setHeader32(64, 0x00FFFFFF); }},
    {"MiniFatChainLeavesFat", [](OleFile& f) { f.setHeader32(64, 3); }},
};

INSTANTIATE_TEST_SUITE_P(Cases, OleFileHostileOpen, ::testing::ValuesIn(kOpenCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(OleFile, HostileDifatChainEnds) {
    OleBuilder builder;
    builder.headerFatSlots(0);
    builder.addStream("A", pattern(5000, 1));
    OleFile file = builder.build();
    // The DIFAT sector names itself as the next one and claims a huge count: the walk is
    // bounded by the file, and the FAT still loads.
    file.setHeader32(72, 0xFFFFFFFF);
    fixtures::put32(file.bytes, file.sectorOffset(file.difatSectors[0]) + 508, file.difatSectors[0]);
    HostFile host(file.bytes);
    COleFile ole;
    EXPECT_EQ(ole.OpenOleFile(host.unknown()), 1u);
}

TEST(OleFile, LoopingStreamChainEnds) {
    Document d = makeDocument();
    const auto& chain = d.file.entries[d.big].chain;
    d.file.setFat(chain[1], chain[0]);
    HostFile host(d.file.bytes);
    COleFile ole;
    ASSERT_EQ(ole.OpenOleFile(host.unknown()), 1u);
    std::vector<uint8_t> buffer(1 << 20);
    uint32_t got = ole.ReadStream(buffer.data(), d.big, 0, uint32_t(buffer.size()));
    EXPECT_LT(got, buffer.size());
    EXPECT_EQ(ole.ReadStream(buffer.data(), d.big, 0x7FFFFFFF, 10), 0u);
}

TEST(OleFile, RefusesNonStreamObjects) {
    COleFile ole;
    EXPECT_EQ(ole.OpenOleFile(nullptr), 0u);
}
