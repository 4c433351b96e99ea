#include "module/toolkit/stream_copy.h"

#include <gtest/gtest.h>

#include <numeric>

#include "host/emulator/emulator.h"
#include "tests/fixtures/toolkit_exec.h"
#include "tests/toolkit/recording_stream.h"

namespace {

using Bytes = std::vector<uint8_t>;
using toolkit_test::RecordingStream;

Bytes counting(size_t n, uint8_t start = 0) {
    Bytes b(n);
    std::iota(b.begin(), b.end(), start);
    return b;
}

// Owns a file object and releases it at the end of the test.
struct File {
    explicit File(Bytes bytes) : object(host::FileObject::fromBytes(std::move(bytes))) {}
    ~File() { object->Release(); }
    host::FileObject* object;
    host::ByteView bytes() const { return object->bytes(); }
};

struct NcpyCase {
    const char* name;
    size_t sourceSize;
    size_t destinationSize;
    uint32_t dstOffset, srcOffset, count, blockSize;
    std::vector<uint32_t> expectedReads;
};

TEST(Streamncpy, CopiesInBlocksAndEndsTheDestinationAfterTheCopy) {
    const NcpyCase cases[] = {
        {"three blocks", 12000, 0, 0, 100, 10000, 4096, {4096, 4096, 1808}},
        {"exact blocks", 9000, 0, 0, 0, 8192, 4096, {4096, 4096}},
        {"remainder only", 100, 0, 0, 0, 10, 4096, {10}},
        {"truncates a longer destination", 300, 5000, 16, 0, 200, 64, {64, 64, 64, 8}},
        {"short source", 1000, 0, 0, 900, 500, 64, {64, 64, 64}},
        {"source offset past the end", 100, 50, 10, 200, 64, 16, {16}},
        {"count 0", 100, 50, 10, 0, 0, 16, {}},
    };
    for (const NcpyCase& c : cases) {
        SCOPED_TRACE(c.name);
        File src(counting(c.sourceSize, 7)), dst(Bytes(c.destinationSize, 0xEE));
        RecordingStream srcStream(src.object), dstStream(dst.object);
        ASSERT_EQ(streamncpy(&dstStream, &srcStream, c.dstOffset, c.srcOffset, c.count, c.blockSize), QE_OK);
        EXPECT_EQ(srcStream.readSizes, c.expectedReads);
        const size_t available = c.srcOffset < c.sourceSize ? c.sourceSize - c.srcOffset : 0;
        const size_t copied = std::min<size_t>(c.count, available);
        Bytes expected(c.destinationSize, 0xEE);
        expected.resize(c.dstOffset + copied, 0);
        std::copy_n(src.bytes().begin() + std::min<size_t>(c.srcOffset, c.sourceSize), copied,
                    expected.begin() + c.dstOffset);
        EXPECT_EQ(dst.bytes(), expected);
    }
}

TEST(Streamncpy, FailuresAreReported) {
    File src(counting(1000)), dst(Bytes(10, 0));
    RecordingStream srcStream(src.object), dstStream(dst.object);
    EXPECT_EQ(streamncpy(nullptr, &srcStream, 0, 0, 10, 16), QE_E_INVALIDARG);
    EXPECT_EQ(streamncpy(&dstStream, nullptr, 0, 0, 10, 16), QE_E_INVALIDARG);
    EXPECT_EQ(streamncpy(&dstStream, &srcStream, 0, 0, 10, 0), QE_E_FAIL);  // no block size
    dstStream.failWriteAt = 1;
    EXPECT_EQ(streamncpy(&dstStream, &srcStream, 0, 0, 100, 16), QE_E_FAIL);
    EXPECT_EQ(dst.bytes().size(), 32u);  // two blocks written, no truncation after the failure
    dstStream.failWriteAt = -1;
    dstStream.failSetSize = true;
    EXPECT_EQ(streamncpy(&dstStream, &srcStream, 0, 0, 100, 16), QE_E_FAIL);
    srcStream.failSeekAt = int(srcStream.seeks.size()) + 2;
    dstStream.failSetSize = false;
    EXPECT_EQ(streamncpy(&dstStream, &srcStream, 0, 0, 100, 16), QE_E_FAIL);
    EXPECT_EQ(srcStream.refs(), 1u);
    EXPECT_EQ(dstStream.refs(), 1u);
}

TEST(Streamcpy, MovesTheTailDownWithinOneStream) {
    Bytes original = counting(0x1234, 3);
    File file(original);
    RecordingStream stream(file.object);
    ASSERT_EQ(streamcpy(&stream, &stream, 0, 0x200, 0x100), QE_OK);
    EXPECT_EQ(file.bytes(), Bytes(original.begin() + 0x200, original.end()));
}

TEST(Streamcpy, SourceOffsetAtOrPastTheEndFails) {
    File src(counting(100)), dst(Bytes(10, 0xEE));
    RecordingStream srcStream(src.object), dstStream(dst.object);
    EXPECT_EQ(streamcpy(&dstStream, &srcStream, 0, 100, 16), QE_E_FAIL);
    EXPECT_EQ(streamcpy(&dstStream, &srcStream, 0, 101, 16), QE_E_FAIL);
    EXPECT_TRUE(srcStream.readSizes.empty());
    EXPECT_EQ(dst.bytes(), Bytes(10, 0xEE));
    srcStream.failGetSize = true;
    EXPECT_EQ(streamcpy(&dstStream, &srcStream, 0, 0, 16), QE_E_FAIL);
    EXPECT_EQ(streamcpy(&dstStream, nullptr, 0, 0, 16), QE_E_INVALIDARG);
    srcStream.failGetSize = false;
    ASSERT_EQ(streamcpy(&dstStream, &srcStream, 2, 90, 16), QE_OK);
    Bytes expected = {0xEE, 0xEE};
    expected.insert(expected.end(), src.bytes().begin() + 90, src.bytes().end());
    EXPECT_EQ(dst.bytes(), expected);
}

TEST(DataCopy, WritesWholeBlocksIntoTheEmulatedFile) {
    File src(counting(10000, 1)), dstFile(Bytes(64, 0xEE));
    RecordingStream srcStream(src.object, /*offerX=*/true);
    fixtures::FileBackedExec exec(dstFile.object);
    ASSERT_EQ(DataCopy(srcStream.unknown(), 100, &exec, 8, 5000, 4096), 1);
    // Two steps; the last reads a whole block, so 8192 bytes arrive.
    EXPECT_EQ(srcStream.readSizes, (std::vector<uint32_t>{4096, 4096}));
    EXPECT_EQ(srcStream.xSeeks, 2);  // seeks go through IQXStream when offered
    EXPECT_EQ(exec.writes(), (std::vector<std::pair<uint32_t, uint32_t>>{{8, 4096}, {8 + 4096, 4096}}));
    Bytes expected(8, 0xEE);
    expected.insert(expected.end(), src.bytes().begin() + 100, src.bytes().begin() + 100 + 8192);
    EXPECT_EQ(dstFile.bytes(), expected);
    EXPECT_EQ(srcStream.refs(), 1u);
}

TEST(DataCopy, WritesThroughTheHostEmulator) {
    File src(counting(300, 9)), dstFile(Bytes(100, 0xEE));
    RecordingStream srcStream(src.object);
    std::unique_ptr<host::Emulator> exec = host::Emulator::create(dstFile.object);
    ASSERT_EQ(DataCopy(srcStream.unknown(), 50, exec.get(), 90, 200, 64), 1);
    // Four steps of 64 bytes: 256 bytes arrive, written from offset 90 on; the file grows.
    Bytes expected(90, 0xEE);
    expected.insert(expected.end(), src.bytes().begin() + 50, src.bytes().begin() + 50 + 250);
    EXPECT_EQ(dstFile.bytes(), expected);  // the last step read what the source still held (250 - 192 = 58)
}

TEST(DataCopy, CountZeroReadsNothingAndFailuresGiveZero) {
    File src(counting(100)), dstFile(Bytes(10, 0));
    RecordingStream srcStream(src.object);
    fixtures::FileBackedExec exec(dstFile.object);
    EXPECT_EQ(DataCopy(srcStream.unknown(), 0, &exec, 0, 0, 4096), 1);
    EXPECT_TRUE(srcStream.readSizes.empty());
    EXPECT_EQ(DataCopy(srcStream.unknown(), 0, &exec, 0, 10, 0), 0);
    EXPECT_EQ(DataCopy(srcStream.unknown(), 200, &exec, 0, 10, 16), 0);  // empty read
    exec.failWritesFrom(0);
    EXPECT_EQ(DataCopy(srcStream.unknown(), 0, &exec, 0, 10, 16), 0);
    EXPECT_EQ(DataCopy(srcStream.unknown(), 0, nullptr, 0, 10, 16), 0);
}

TEST(CopyFileObjectToFileObject, CopiesBetweenStreamsWithoutTruncating) {
    File src(counting(300)), dst(Bytes(1000, 0xEE));
    RecordingStream srcStream(src.object), dstStream(dst.object);
    ASSERT_EQ(CopyFileObjectToFileObject(srcStream.unknown(), 10, dstStream.unknown(), 20, 100, 64), 1);
    Bytes expected(1000, 0xEE);
    std::copy_n(src.bytes().begin() + 10, 128, expected.begin() + 20);  // two whole blocks
    EXPECT_EQ(dst.bytes(), expected);
    EXPECT_EQ(srcStream.refs(), 1u);
    EXPECT_EQ(dstStream.refs(), 1u);
}

TEST(CopyFileObjectToFileObject, SourceEndingBeforeTheRangeFails) {
    File src(counting(100)), dst(Bytes(0));
    RecordingStream srcStream(src.object), dstStream(dst.object);
    // Step 0 reads 64, step 1 reads 36, step 2 reads nothing.
    EXPECT_EQ(CopyFileObjectToFileObject(srcStream.unknown(), 0, dstStream.unknown(), 0, 150, 64), 0);
    EXPECT_EQ(dst.bytes(), src.bytes());  // the blocks before the failure stay written
    dstStream.failWriteAt = int(dstStream.writeSizes.size());
    EXPECT_EQ(CopyFileObjectToFileObject(srcStream.unknown(), 0, dstStream.unknown(), 0, 10, 64), 0);
    struct NoStream : IUnknown {
        QRESULT QueryInterface(const GUID&, void**) override { return QE_E_NOINTERFACE; }
        uint32_t AddRef() override { return 1; }
        uint32_t Release() override { return 1; }
    } nothing;
    EXPECT_EQ(CopyFileObjectToFileObject(srcStream.unknown(), 0, &nothing, 0, 10, 64), 0);
    EXPECT_EQ(CopyFileObjectToFileObject(&nothing, 0, dstStream.unknown(), 0, 10, 64), 0);
}

TEST(Decode, KeepsTheLowByteOfEachUnit) {
    const uint16_t units[] = {0x0041, 0x0142, 0xFF00, 0x00E9};
    uint8_t out[5] = {9, 9, 9, 9, 9};
    Decode(out, units, 4);
    EXPECT_EQ(Bytes(out, out + 5), (Bytes{0x41, 0x42, 0x00, 0xE9, 9}));
    Decode(out, units, 0);
    EXPECT_EQ(out[0], 0x41);
}

}  // namespace
