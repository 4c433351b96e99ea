#include <gtest/gtest.h>

#include <vector>

#include "module/toolkit/pe_address.h"

namespace {

struct SwapCase {
    std::vector<uint8_t> input;
    int32_t length;
    std::vector<uint8_t> expected;
};

TEST(SwapByteOrder, ReversesTheFirstLengthBytes) {
    const SwapCase cases[] = {
        {{1, 2, 3}, 3, {3, 2, 1}},
        {{1, 2, 3, 4}, 4, {4, 3, 2, 1}},
        {{1, 2, 3, 4, 5}, 2, {2, 1, 3, 4, 5}},  // only the given length
        {{1, 2}, 1, {1, 2}},
        {{1, 2}, 0, {1, 2}},
        {{1, 2}, -5, {1, 2}},
    };
    for (const SwapCase& c : cases) {
        std::vector<uint8_t> buffer = c.input;
        EXPECT_EQ(SwapByteOrder(buffer.data(), c.length), 1);
        EXPECT_EQ(buffer, c.expected) << "length " << c.length;
    }
}

TEST(SwapByteOrder, NullBufferFails) { EXPECT_EQ(SwapByteOrder(nullptr, 4), 0); }

}  // namespace
