#include "module/toolkit/emulated_file.h"

#include <gtest/gtest.h>

#include <memory>
#include <numeric>
#include <vector>

#include "tests/fixtures/toolkit_exec.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A 16-byte file 1, 2, ... 16 behind the stand-in emulator.
struct Emulated {
    Emulated() {
        Bytes bytes(16);
        std::iota(bytes.begin(), bytes.end(), uint8_t(1));
        file = host::FileObject::fromBytes(std::move(bytes));
        exec = std::make_unique<fixtures::FileBackedExec>(file);
    }
    ~Emulated() {
        exec.reset();
        file->Release();
    }
    host::FileObject* file;
    std::unique_ptr<fixtures::FileBackedExec> exec;
};

TEST(EmulatedFile, ReadsAndWritesAreExactAndWithinThirtyTwoBits) {
    const struct {
        const char* name;
        uint64_t offset;
        uint32_t length;
        bool done;
    } cases[] = {
        {"inside", 2, 4, true},
        {"up to the end", 12, 4, true},
        {"cut short by the end", 14, 4, false},
        {"empty", 0, 0, false},
        {"offset beyond 32 bits", 0x100000002ull, 4, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Emulated emu;
        uint8_t buffer[4] = {};
        EXPECT_EQ(remedy::readFile(*emu.exec, buffer, c.offset, c.length), c.done);
        if (c.done) {
            EXPECT_EQ(buffer[0], uint8_t(c.offset + 1));
        }
        const uint8_t bytes[4] = {0xA0, 0xA1, 0xA2, 0xA3};
        const int writesBefore = emu.exec->writeCalls();
        // The stand-in extends the file on a write, so only an empty write and a cut offset fail.
        const bool writable = c.length != 0 && c.offset <= UINT32_MAX;
        EXPECT_EQ(remedy::writeFile(*emu.exec, bytes, c.offset, c.length), writable);
        if (c.offset > UINT32_MAX) {
            EXPECT_EQ(emu.exec->writeCalls(), writesBefore) << "a cut offset reached the host";
        }
    }
}

TEST(EmulatedFile, WordsAndSizes) {
    Emulated emu;
    uint16_t word = 0;
    uint32_t dword = 0, size = 0;
    ASSERT_TRUE(remedy::readWord(*emu.exec, 0, &word));
    EXPECT_EQ(word, 0x0201);
    ASSERT_TRUE(remedy::readDword(*emu.exec, 4, &dword));
    EXPECT_EQ(dword, 0x08070605u);
    EXPECT_FALSE(remedy::readDword(*emu.exec, 14, &dword));
    ASSERT_TRUE(remedy::writeWord(*emu.exec, 2, 0xBEEF));
    EXPECT_EQ(emu.file->bytes()[2], 0xEF);
    EXPECT_EQ(emu.file->bytes()[3], 0xBE);
    ASSERT_TRUE(remedy::truncateFile(*emu.exec, 6));
    ASSERT_TRUE(remedy::fileSize(*emu.exec, &size));
    EXPECT_EQ(size, 6u);
}

TEST(EmulatedFile, AShortReadIsRefusedOnlyWhereTheFileHeldMore) {
    Emulated emu;  // 16 bytes
    const struct {
        uint32_t offset, length, got;
        bool refused;
    } cases[] = {
        {0, 8, 8, false},   // whole
        {12, 8, 4, false},  // the end cut it
        {12, 8, 3, true},   // one byte the file holds did not come
        {20, 8, 0, false},  // wholly past the end
        {0, 8, 0, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.offset << "+" << c.length << " got " << c.got);
        EXPECT_EQ(remedy::readWasRefused(*emu.exec, c.offset, c.length, c.got), c.refused);
    }
}

}  // namespace
