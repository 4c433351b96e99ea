#include "module/toolkit/host_stream.h"

#include <gtest/gtest.h>

#include <numeric>
#include <optional>
#include <vector>

#include "host/qxbase/file_object.h"
#include "tests/toolkit/recording_stream.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes counting(size_t n) {
    Bytes b(n);
    std::iota(b.begin(), b.end(), uint8_t(1));
    return b;
}

// Owns a file object of `size` counting bytes and releases it at the end of the test.
struct File {
    explicit File(size_t size) : object(host::FileObject::fromBytes(counting(size))) {}
    ~File() { object->Release(); }
    IQEStream* stream() { return static_cast<IQEStream*>(object); }
    host::FileObject* object;
};

constexpr size_t kFileSize = 100;

// One read at `offset` of `length` bytes from a 100-byte file, with the `failNth`-th call of
// `op` refused (0: nothing refused). The answers of the three read shapes.
struct ReadCase {
    const char* name;
    uint64_t offset;
    uint32_t length;
    host::StreamOp op;
    uint64_t failNth;
    std::optional<uint32_t> orRefused;  // readAtOrRefused
    uint32_t some;                      // readAt
    bool exact;                         // readExactAt
};

TEST(HostStream, ReadsKeepARefusalApartFromTheEndOfTheFile) {
    using host::StreamOp;
    const ReadCase cases[] = {
        {"whole read", 10, 20, StreamOp::Read, 0, 20u, 20, true},
        {"up to the end", 80, 20, StreamOp::Read, 0, 20u, 20, true},
        {"cut short by the end", 90, 20, StreamOp::Read, 0, 10u, 10, false},
        {"at the end", kFileSize, 4, StreamOp::Read, 0, 0u, 0, false},
        {"past the end", 5000, 4, StreamOp::Read, 0, 0u, 0, false},
        {"empty read", 3, 0, StreamOp::Read, 0, 0u, 0, true},
        {"read refused", 10, 20, StreamOp::Read, 1, std::nullopt, 0, false},
        {"seek refused", 10, 20, StreamOp::Seek, 1, std::nullopt, 0, false},
        {"offset beyond the 64-bit position", uint64_t(INT64_MAX) + 1, 4, StreamOp::Read, 0, std::nullopt, 0, false},
    };
    for (const ReadCase& c : cases) {
        SCOPED_TRACE(c.name);
        File file(kFileSize);
        Bytes buffer(c.length + 1, 0xEE);
        const auto plan = [&] { file.object->failNth(c.op, c.failNth); };

        plan();
        EXPECT_EQ(remedy::readAtOrRefused(file.stream(), c.offset, buffer.data(), c.length), c.orRefused);
        const uint32_t arrived = c.orRefused.value_or(0);
        for (uint32_t i = 0; i < arrived; ++i) EXPECT_EQ(buffer[i], uint8_t(c.offset + i + 1)) << i;
        EXPECT_EQ(buffer[c.length], 0xEE) << "written past the length";
        plan();
        EXPECT_EQ(remedy::readAt(file.stream(), c.offset, buffer.data(), c.length), c.some);
        plan();
        EXPECT_EQ(remedy::readExactAt(file.stream(), c.offset, buffer.data(), c.length), c.exact);
    }
}

struct WriteCase {
    const char* name;
    uint64_t offset;
    host::StreamOp op;
    uint64_t failNth;
    bool written;
};

TEST(HostStream, WritesSucceedOnlyWhenEveryByteArrived) {
    using host::StreamOp;
    const WriteCase cases[] = {
        {"inside", 10, StreamOp::Write, 0, true},
        {"extending the file", 98, StreamOp::Write, 0, true},
        {"write refused", 10, StreamOp::Write, 1, false},
        {"seek refused", 10, StreamOp::Seek, 1, false},
    };
    const uint8_t bytes[] = {0xA1, 0xA2, 0xA3, 0xA4};
    for (const WriteCase& c : cases) {
        SCOPED_TRACE(c.name);
        for (const bool exact : {true, false}) {
            File file(kFileSize);
            file.object->failNth(c.op, c.failNth);
            const bool ok = exact ? remedy::writeExactAt(file.stream(), c.offset, bytes, sizeof bytes)
                                  : remedy::writeAt(file.stream(), c.offset, bytes, sizeof bytes) == sizeof bytes;
            EXPECT_EQ(ok, c.written);
            file.object->failNth(c.op, 0);
            Bytes back(sizeof bytes);
            const bool there = remedy::readExactAt(file.stream(), c.offset, back.data(), uint32_t(back.size())) &&
                               std::equal(back.begin(), back.end(), bytes);
            EXPECT_EQ(there, c.written);
        }
    }
}

TEST(HostStream, AShortWriteIsAFailure) {
    File file(kFileSize);
    toolkit_test::RecordingStream stream(file.object);
    stream.failWriteAt = 0;
    const uint8_t bytes[] = {1, 2, 3, 4};
    EXPECT_FALSE(remedy::writeExactAt(&stream, 0, bytes, sizeof bytes));
    stream.failWriteAt = 1;
    EXPECT_EQ(remedy::writeAt(&stream, 0, bytes, sizeof bytes), 3u);
}

TEST(HostStream, TheSizeComesFromTheWideViewWhereTheHostOffersIt) {
    File file(kFileSize);
    EXPECT_EQ(remedy::streamSize(file.stream()), kFileSize);
    EXPECT_EQ(remedy::streamSize32(file.stream()), uint32_t(kFileSize));
    EXPECT_EQ(remedy::streamSize(nullptr), std::nullopt);

    toolkit_test::RecordingStream narrowOnly(file.object);
    EXPECT_EQ(remedy::streamSize(&narrowOnly), kFileSize);
    narrowOnly.failGetSize = true;
    EXPECT_EQ(remedy::streamSize(&narrowOnly), std::nullopt);
    EXPECT_EQ(remedy::streamSize32(&narrowOnly), std::nullopt);

    toolkit_test::RecordingStream wide(file.object, /*offerX=*/true);
    EXPECT_TRUE(remedy::setStreamSize(&wide, 40));
    EXPECT_EQ(remedy::streamSize(&wide), 40u);
    EXPECT_EQ(file.object->bytes().size(), 40u);
    wide.failSetSize = true;
    EXPECT_FALSE(remedy::setStreamSize(&wide, 10));
    EXPECT_EQ(wide.refs(), 1u) << "a reference to the wide view was kept";
}

TEST(HostStream, ANullStreamIsARefusal) {
    uint8_t byte = 0;
    EXPECT_FALSE(remedy::seekTo(nullptr, 0));
    EXPECT_EQ(remedy::readAtOrRefused(nullptr, 0, &byte, 1), std::nullopt);
    EXPECT_EQ(remedy::readAt(nullptr, 0, &byte, 1), 0u);
    EXPECT_FALSE(remedy::writeExactAt(nullptr, 0, &byte, 1));
    EXPECT_FALSE(remedy::setStreamSize(nullptr, 0));
}

}  // namespace
