// The DOS cleaners' own logic, without a host: the decryption loops on known answers, the
// Tequila loop finder on hand-made decryptors, and the units' answers without an emulator or
// without the state their scan leaves.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "module/units/dos/dos_common.h"
#include "module/units/dos/sentinel.h"
#include "module/units/dos/tequila.h"
#include "module/units/dos/tmcb.h"
#include "module/units/dos/voronezh.h"
#include "sdk/results.h"

namespace {

using namespace remedy::dos;

TEST(SlidingWordXor, OverlappingWordsGiveTheKnownResult) {
    // i = 0: word 0 ^= (0x0100 ^ 2) = 0x0102; i = 1: word at 1 ^= (0x00FF ^ 1) = 0x00FE.
    std::vector<uint8_t> bytes(4, 0);
    ASSERT_TRUE(slidingWordXor(bytes, 0, 2, 0x0100, -1));
    EXPECT_EQ(bytes, (std::vector<uint8_t>{0x02, 0x01 ^ 0xFE, 0x00, 0x00}));
    // A rising mask: i = 1 gives (0x0101 ^ 1) = 0x0100.
    std::vector<uint8_t> rising(4, 0);
    ASSERT_TRUE(slidingWordXor(rising, 1, 2, 0x0100, +1));
    EXPECT_EQ(rising, (std::vector<uint8_t>{0x00, 0x02, 0x01 ^ 0x00, 0x01}));
}

TEST(SlidingWordXor, RefusesWordsPastTheBuffer) {
    std::vector<uint8_t> bytes(4, 0x55);
    EXPECT_FALSE(slidingWordXor(bytes, 2, 2, 0x1234, -1));  // the last word would cover byte 4
    EXPECT_FALSE(slidingWordXor(bytes, 0, 0, 0x1234, -1));
    EXPECT_EQ(bytes, std::vector<uint8_t>(4, 0x55));
}

TEST(ChainedXor, EachByteIsXoredWithTheEncryptedByteBeforeIt) {
    std::vector<uint8_t> bytes{0x10, 0xAA, 0x0F, 0xF0, 0x33};
    ASSERT_TRUE(chainedXor(bytes, 0, 2));
    EXPECT_EQ(bytes, (std::vector<uint8_t>{0x10, 0xAA, 0x0F ^ 0x10, 0xF0 ^ 0x0F, 0x33 ^ 0xF0}));
    EXPECT_FALSE(chainedXor(bytes, 5, 2));
}

// A decryption loop as the family writes it, at `at` in an 80-byte window.
struct Loop {
    uint8_t cmpRegister = 0xFE;  // CMP SI (0xFB: CMP BX)
    uint8_t movOpcode = 0xBE;    // MOV SI (0xBB: MOV BX)
    uint16_t limit = 0x0160;
    uint16_t start = 0x0120;
};

void writeLoop(uint8_t (&w)[80], size_t at, const Loop& loop) {
    const uint8_t code[] = {
        0x8A, 0x04,                                                            // t: MOV AL, [SI]
        0x30, 0x05, 0x47, 0x46,                                                // XOR [DI], AL; INC DI; INC SI
        0x81, loop.cmpRegister, uint8_t(loop.limit), uint8_t(loop.limit >> 8),  // CMP reg, limit
        0x72, 0x03,                                                            // JB +3
        loop.movOpcode, uint8_t(loop.start), uint8_t(loop.start >> 8),          // MOV reg, start
        0xE2, uint8_t(-17),                                                    // LOOP t
    };
    std::memcpy(w + at, code, sizeof code);
}

TEST(TequilaLoop, FindsTheLoopByItsShape) {
    struct Case {
        const char* name;
        Loop loop;
        size_t at;
        bool found;
    } cases[] = {
        {"CMP SI / MOV SI, 64 apart", {}, 32, true},
        {"CMP BX / MOV BX, 64 apart", {0xFB, 0xBB}, 32, true},
        {"loop ending at the window's last byte", {}, 80 - 17, true},
        {"immediates 63 apart", {0xFE, 0xBE, 0x0160, 0x0121}, 32, false},
        {"negative difference", {0xFE, 0xBE, 0x0120, 0x0160}, 32, false},
        {"difference 64 only modulo 65536", {0xFE, 0xBE, 0x0010, 0xFFD0}, 32, false},
        {"CMP SI with MOV BX", {0xFE, 0xBB}, 32, false},
        {"loop target at the window's start", {}, 0, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        uint8_t window[80] = {};
        writeLoop(window, c.at, c.loop);
        const auto hit = findTequilaLoop(window);
        EXPECT_EQ(hit.has_value(), c.found);
        if (hit) {
            EXPECT_EQ(*hit, c.at + 15);
        }
    }
}

TEST(TequilaLoop, ForwardLoopIsNotADecryptor) {
    uint8_t window[80] = {};
    writeLoop(window, 32, {});
    window[32 + 16] = 0x10;  // LOOP forward
    EXPECT_FALSE(findTequilaLoop(window).has_value());
}

// Units that need the emulator fail cleanly without one; the kept-state units fail a Kill
// that no Scan prepared.
TEST(UnitsWithoutHost, AnswerFailure) {
    tagScanExParam noEmulator{};
    CScanSentinelCOM sentinel;
    CScanVoronezh1600EXE voronezh;
    CScanTmcBCOM tmcbCom;
    CScanTmcBMZ tmcbMz;
    CScanTequila5Volt2659 tequila;
    EXPECT_EQ(sentinel.Kill(nullptr, &noEmulator), KILL_FAILED);
    EXPECT_EQ(voronezh.Kill(nullptr, nullptr), KILL_FAILED);
    EXPECT_EQ(tmcbCom.Scan(nullptr, &noEmulator), 0u);
    EXPECT_EQ(tmcbCom.Kill(nullptr, &noEmulator), KILL_FAILED);
    EXPECT_EQ(tmcbMz.Kill(nullptr, &noEmulator), KILL_FAILED);
    EXPECT_EQ(tequila.Scan(nullptr, &noEmulator), 0u);
    EXPECT_EQ(tequila.Kill(nullptr, &noEmulator), KILL_FAILED);
}

}  // namespace
