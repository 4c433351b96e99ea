#include "module/formats/lzh_unpacker.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>

#include "tests/fixtures/lzh_compressor.h"
#include "tests/formats/host_file.h"

using fixtures::Bytes;
using fixtures::LzhEncoder;
using formats_test::HostFile;

namespace {

struct Unpacked {
    uint32_t result;
    Bytes output;
};

Unpacked unpack(const Bytes& packed, int size, uint64_t sourceOffset = 0) {
    HostFile source(packed);
    HostFile destination({});
    source.stream()->Seek(int64_t(sourceOffset), QE_SEEK_SET, nullptr);
    auto unpacker = std::make_unique<CLZHUnpacker>();
    uint32_t result = unpacker->LZHUnpack(size, source.unknown(), destination.unknown());
    EXPECT_EQ(source.object().refCount(), 1u);
    EXPECT_EQ(destination.object().refCount(), 1u);
    return {result, Bytes(destination.bytes().begin(), destination.bytes().end())};
}

Bytes text(size_t n) {
    const std::string words = "the quick brown fox jumps over the lazy dog; pack my box with five dozen liquor jugs. ";
    Bytes b;
    for (size_t i = 0; b.size() < n; ++i) b.push_back(uint8_t(words[(i * 7 + i / 91) % words.size()]));
    return b;
}

Bytes randomBytes(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes b(n);
    for (auto& x : b) x = uint8_t(rng());
    return b;
}

// Random data, then long runs copied from far back in the window.
Bytes mixed(size_t n) {
    Bytes b = randomBytes(5000, 9);
    std::mt19937 rng(3);
    while (b.size() < n) {
        size_t back = 1 + rng() % 4095, len = 3 + rng() % 80;
        for (size_t k = 0; k < len; ++k) b.push_back(b[b.size() - back]);
        b.push_back(uint8_t(rng()));
    }
    b.resize(n);
    return b;
}

}  // namespace

struct RoundTripCase {
    const char* name;
    Bytes data;
};

class LzhRoundTrip : public ::testing::TestWithParam<RoundTripCase> {};

TEST_P(LzhRoundTrip, DecodesToTheInput) {
    const Bytes& data = GetParam().data;
    Bytes packed = fixtures::lzhCompress(data);
    Unpacked got = unpack(packed, int(data.size()));
    EXPECT_EQ(got.result, data.size());
    ASSERT_EQ(got.output.size(), data.size());
    EXPECT_TRUE(got.output == data);
}

INSTANTIATE_TEST_SUITE_P(Cases, LzhRoundTrip,
                         ::testing::Values(RoundTripCase{"Text", text(20000)}, RoundTripCase{"Zeros", Bytes(70000, 0)},
                                           RoundTripCase{"Blanks", Bytes(5000, ' ')},
                                           RoundTripCase{"OneByte", Bytes{'A'}},
                                           // More than 0x8000 symbols: the tree is rebuilt several times.
                                           RoundTripCase{"RandomRebuildsTheTree", randomBytes(100000, 1)},
                                           RoundTripCase{"FarMatchesAcrossBuffers", mixed(120000)}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(LzhUnpacker, RandomInputReallyForcesRebuilds) {
    Bytes data = randomBytes(100000, 1);
    LzhEncoder probe;
    for (uint8_t b : data) probe.literal(b);
    EXPECT_GT(probe.symbols(), 3u * 0x8000);
}

TEST(LzhUnpacker, MatchAtTheStartCopiesBlanks) {
    LzhEncoder enc;
    enc.match(0, 10);
    enc.literal('x');
    enc.match(4035, 4);  // the first blank of the window
    Unpacked got = unpack(enc.finish(), 15);
    EXPECT_EQ(got.result, 15u);
    EXPECT_EQ(std::string(got.output.begin(), got.output.end()), "          x    ");
}

TEST(LzhUnpacker, FinalMatchIsCopiedWhole) {
    LzhEncoder enc;
    enc.literal('a');
    enc.literal('b');
    enc.match(1, 40);  // "abab..." overlapping its own output
    Unpacked got = unpack(enc.finish(), 5);
    EXPECT_EQ(got.result, 42u);
    ASSERT_EQ(got.output.size(), 42u);
    for (size_t i = 0; i < 42; ++i) EXPECT_EQ(got.output[i], i % 2 ? 'b' : 'a');
}

TEST(LzhUnpacker, NoSizeProducesNothing) {
    Bytes packed = fixtures::lzhCompress(text(100));
    for (int size : {0, -1, -100000}) {
        Unpacked got = unpack(packed, size);
        EXPECT_EQ(got.result, 0u);
        EXPECT_TRUE(got.output.empty());
    }
}

TEST(LzhUnpacker, ReadsFromTheSourcePosition) {
    Bytes data = text(3000);
    Bytes packed = fixtures::lzhCompress(data);
    Bytes file = fixtures::concat(Bytes(777, 0xCC), packed);
    Unpacked got = unpack(file, int(data.size()), 777);
    EXPECT_EQ(got.output, data);
}

// A source that ends early stops the decoding: the count tells the caller, and the output is
// a correct prefix of the data instead of garbage.
TEST(LzhUnpacker, TruncatedSourceStopsShort) {
    Bytes data = mixed(60000);
    Bytes packed = fixtures::lzhCompress(data);
    for (size_t keep : {size_t(0), size_t(1), size_t(2), packed.size() / 3, packed.size() - 1}) {
        SCOPED_TRACE(keep);
        Bytes cut(packed.begin(), packed.begin() + keep);
        Unpacked got = unpack(cut, int(data.size()));
        EXPECT_LT(got.result, data.size());
        EXPECT_EQ(got.result, got.output.size());
        EXPECT_TRUE(std::equal(got.output.begin(), got.output.end(), data.begin()));
    }
}

TEST(LzhUnpacker, GarbageInputEndsBoundedBySize) {
    Bytes junk = randomBytes(5000, 77);
    Unpacked got = unpack(junk, 1 << 20);
    EXPECT_LE(got.result, (1u << 20) + 59);
    EXPECT_EQ(got.result, got.output.size());
}

TEST(LzhUnpacker, MissingStreamsGiveZero) {
    HostFile destination({});
    CLZHUnpacker unpacker;
    EXPECT_EQ(unpacker.LZHUnpack(10, nullptr, destination.unknown()), 0u);
    EXPECT_EQ(unpacker.LZHUnpack(10, destination.unknown(), nullptr), 0u);
}

TEST(LzhUnpacker, IsReusable) {
    Bytes a = text(5000), b = mixed(9000);
    HostFile sourceA(fixtures::lzhCompress(a)), sourceB(fixtures::lzhCompress(b));
    HostFile outA({}), outB({});
    CLZHUnpacker unpacker;
    EXPECT_EQ(unpacker.LZHUnpack(int(a.size()), sourceA.unknown(), outA.unknown()), a.size());
    EXPECT_EQ(unpacker.LZHUnpack(int(b.size()), sourceB.unknown(), outB.unknown()), b.size());
    EXPECT_EQ(outA.bytes(), a);
    EXPECT_EQ(outB.bytes(), b);
}

// The window slots after the blanks start cleared, even when the unpacker ran before.
TEST(LzhUnpacker, WindowTailStartsCleared) {
    CLZHUnpacker unpacker;
    Bytes earlier = randomBytes(8000, 5);
    HostFile first(fixtures::lzhCompress(earlier)), firstOut({});
    ASSERT_EQ(unpacker.LZHUnpack(int(earlier.size()), first.unknown(), firstOut.unknown()), earlier.size());

    LzhEncoder enc;
    enc.match(4095, 3);
    HostFile second(enc.finish()), secondOut({});
    EXPECT_EQ(unpacker.LZHUnpack(3, second.unknown(), secondOut.unknown()), 3u);
    EXPECT_EQ(secondOut.bytes(), Bytes(3, 0));
}
