// Both OLE readers over many corrupted variants of one document: whatever the bytes say, the
// reader's tables stay bounded by the file and the editor never changes the file's size.
#include <gtest/gtest.h>

#include <random>

#include "module/formats/ole_file.h"
#include "module/formats/ole_storage.h"
#include "tests/fixtures/ole_builder.h"
#include "tests/formats/host_file.h"

using fixtures::Bytes;
using formats_test::HostFile;

namespace {

Bytes document() {
    fixtures::OleBuilder builder;
    builder.fragmented();
    builder.addStream("WordDocument", Bytes(6000, 0x41));
    builder.addStream("1Table", Bytes(900, 0x42));
    uint32_t storage = builder.addStorage("ObjectPool");
    builder.addStream("Contents", Bytes(300, 0x43), storage);
    builder.addStream("Data", Bytes(4500, 0x44), storage);
    return builder.build().bytes;
}

// Overwrites a few 32-bit words of the structures (header, FAT, directory) with values that
// matter to chains: small sector numbers, markers and large numbers.
Bytes mutate(const Bytes& original, uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes b = original;
    const uint32_t values[] = {0, 1, 2, 3, 5, 7, 100, 0x7FFF, 0xFFFFFFFA, 0xFFFFFFFC, 0xFFFFFFFD, 0xFFFFFFFE, 0xFFFFFFFF, 0x80000000};
    int words = 1 + int(rng() % 4);
    for (int i = 0; i < words; ++i) {
        size_t at = (rng() % 2 ? rng() % 512 : 512 + rng() % 3072) & ~size_t(3);
        uint32_t v = rng() % 3 ? values[rng() % std::size(values)] : uint32_t(rng());
        fixtures::put32(b, at, v);
    }
    if (rng() % 8 == 0) b.resize(rng() % b.size());
    return b;
}

}  // namespace

TEST(OleMutations, ReaderStaysBoundedByTheFile) {
    const Bytes original = document();
    for (uint32_t seed = 0; seed < 400; ++seed) {
        HostFile host(mutate(original, seed));
        OLESSDataFile ole(host.stream());
        ASSERT_LE((ole.fat.size() + ole.difat.size() + ole.miniFat.size()) * 4, host.bytes().size()) << seed;
        ASSERT_LE(ole.entries.size() * 128, host.bytes().size()) << seed;
    }
}

TEST(OleMutations, EditorNeverChangesTheFileSize) {
    const Bytes original = document();
    int opened = 0;
    for (uint32_t seed = 0; seed < 400; ++seed) {
        HostFile host(mutate(original, seed));
        const size_t size = host.bytes().size();
        scanex::COleFile ole;
        if (!ole.OpenOleFile(host.unknown())) continue;
        ++opened;
        Bytes buffer(7000, 0x5A);
        for (uint32_t sid = 0; sid < ole.GetDirEntryNum() && sid < 16; ++sid) {
            uint32_t length = std::min<uint32_t>(ole.GetStreamLen(sid), 7000);
            EXPECT_LE(ole.ReadStream(buffer.data(), sid, 0, 7000), 7000u);
            ole.WriteStream(buffer.data(), sid, 0, length);
            ole.SetStreamLen(sid, length / 2);
            ole.Remove(sid);
            delete[] ole.GetStreamName(sid);
            ole.GetSiblingSID(sid);
        }
        ASSERT_EQ(host.bytes().size(), size) << seed;
    }
    // Many variants still open, so the edits above really ran.
    EXPECT_GT(opened, 100);
}
