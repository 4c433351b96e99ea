// Shared pieces of the DOS COM and MZ cleaners: the emulator's addresses of a DOS program, the
// decryption loops several families share, and the size rules every cleaner keeps. The
// emulated file itself is reached through module/toolkit/emulated_file.h.
//
// Every helper answers false when the host call fails or when the answer cannot be used,
// so a unit can end its repair with KILL_FAILED.
#pragma once

#include <cstdint>
#include <span>

#include "module/frame/scan_unit.h"
#include "module/toolkit/emulated_file.h"

namespace remedy::dos {

// The program's entry address: GetImageAddress (0, 0), first output.
bool entryAddress(IExecExport& emu, uint32_t* address);
// The target of the entry jump (the virus start): GetImageAddress (0, 1), second output.
bool virusStartAddress(IExecExport& emu, uint32_t* address);
// Where the second jump from the entry leads: GetImageAddress (0, 2), second output.
bool secondJumpAddress(IExecExport& emu, uint32_t* address);
// The address of the instruction being executed: GetImageAddress (1, 0), first output.
// A zero address is refused too: real-mode code never runs at linear 0.
bool currentAddress(IExecExport& emu, uint32_t* address);

// Sliding-word decryption: for i = 0 .. count-1 in order, the little-endian word at
// start + i is XORed with ((x + step*i) XOR (count - i)) mod 65536, step being +1 or -1.
// The words overlap, one byte apart. False (nothing changed) when the words do not fit.
bool slidingWordXor(std::span<uint8_t> buffer, uint32_t start, uint32_t count, uint16_t x, int step);

// Chained XOR: p = buffer[keyOffset]; for each byte from `from` to the end in order,
// c = byte, byte = c XOR p, p = c. False when the offsets lie outside the buffer.
bool chainedXor(std::span<uint8_t> buffer, uint32_t keyOffset, uint32_t from);

// XORs every byte of the span with one key byte.
void xorBytes(std::span<uint8_t> bytes, uint8_t key);

// The MZ header words a repair writes back.
constexpr uint32_t kMzSsOffset = 14;
constexpr uint32_t kMzSpOffset = 16;
constexpr uint32_t kMzIpOffset = 20;
constexpr uint32_t kMzCsOffset = 22;
// A truncated MZ file must keep its header words up to CS (offset 22 + 2).
constexpr uint32_t kMzRegistersEnd = 24;

// True when the file starts with an MZ signature ("MZ" or "ZM").
bool fileIsMz(IExecExport& emu);

// The paragraph at which the load module of an MZ program sits in emulated memory, from
// the entry address and the header's own CS:IP: (entry - IP) / 16 - CS.
bool mzLoadSegment(IExecExport& emu, uint16_t* segment);

}  // namespace remedy::dos

namespace remedy::dos {

// Writes `bytes` back at `offset` and truncates the file to `newSize`. Refuses (false, file
// untouched) when the restored bytes would not lie inside the truncated file: such a file is
// too short to be the host this virus leaves behind.
bool restoreAndTruncate(IExecExport& emu, std::span<const uint8_t> bytes, uint32_t offset, uint32_t newSize);

// The layout of a virus that keeps the host's first four bytes under a sliding-word cipher
// keyed by the distance between the program entry and the virus start.
struct SlidingWordLayout {
    uint32_t bodyLength;     // bytes read at the virus start
    uint32_t keyOffset;      // key word K
    uint32_t cipherStart;    // first encrypted word
    uint32_t cipherWords;    // number of steps
    int step;                // +1 or -1: how the mask moves with i
    uint16_t extraKey;       // XORed into X with K (0 when the family has none)
    uint32_t savedOffset;    // two words: the host's first four bytes, masked
    uint32_t savedKeyOffset; // the word they are masked with
};

// Repairs a COM program infected by such a virus: decrypts the body, writes the four bytes
// at file offset 0 and cuts the file at the virus start.
uint32_t killSlidingWordCom(tagScanExParam* param, const SlidingWordLayout& layout);

}  // namespace remedy::dos
