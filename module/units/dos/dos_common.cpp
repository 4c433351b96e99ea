#include "module/units/dos/dos_common.h"

#include "module/toolkit/byte_reader.h"

namespace remedy::dos {

namespace {
bool imageAddress(IExecExport& emu, uint32_t mode, uint32_t selector, bool second, uint32_t* address) {
    uint32_t out1 = 0, out2 = 0;
    if (!emu.GetImageAddress(mode, selector, &out1, &out2, 0)) return false;
    *address = second ? out2 : out1;
    return true;
}
}  // namespace

bool entryAddress(IExecExport& emu, uint32_t* address) { return imageAddress(emu, 0, 0, false, address); }
bool virusStartAddress(IExecExport& emu, uint32_t* address) { return imageAddress(emu, 0, 1, true, address); }
bool secondJumpAddress(IExecExport& emu, uint32_t* address) { return imageAddress(emu, 0, 2, true, address); }
bool currentAddress(IExecExport& emu, uint32_t* address) {
    return imageAddress(emu, 1, 0, false, address) && *address != 0;
}

bool slidingWordXor(std::span<uint8_t> buffer, uint32_t start, uint32_t count, uint16_t x, int step) {
    // The last word starts at start + count - 1 and covers two bytes.
    if (count == 0 || !rangeInside(start, uint64_t(count) + 1, buffer.size())) return false;
    for (uint32_t i = 0; i < count; ++i) {
        const uint16_t mask = uint16_t((x + step * int32_t(i)) ^ (count - i));
        uint8_t* word = buffer.data() + start + i;
        storeLe16(word, uint16_t(loadLe16(word) ^ mask));
    }
    return true;
}

bool chainedXor(std::span<uint8_t> buffer, uint32_t keyOffset, uint32_t from) {
    if (keyOffset >= buffer.size() || from > buffer.size()) return false;
    uint8_t previous = buffer[keyOffset];
    for (size_t i = from; i < buffer.size(); ++i) {
        const uint8_t encrypted = buffer[i];
        buffer[i] = uint8_t(encrypted ^ previous);
        previous = encrypted;
    }
    return true;
}

void xorBytes(std::span<uint8_t> bytes, uint8_t key) {
    for (uint8_t& b : bytes) b ^= key;
}

bool fileIsMz(IExecExport& emu) {
    uint8_t signature[2];
    if (!readFile(emu, signature, 0, 2)) return false;
    return (signature[0] == 'M' && signature[1] == 'Z') || (signature[0] == 'Z' && signature[1] == 'M');
}

bool mzLoadSegment(IExecExport& emu, uint16_t* segment) {
    uint32_t entry = 0;
    uint16_t ip = 0, cs = 0;
    if (!entryAddress(emu, &entry) || !readWord(emu, kMzIpOffset, &ip) || !readWord(emu, kMzCsOffset, &cs))
        return false;
    if (entry < ip) return false;
    *segment = uint16_t(((entry - ip) >> 4) - cs);
    return true;
}

}  // namespace remedy::dos

namespace remedy::dos {

bool restoreAndTruncate(IExecExport& emu, std::span<const uint8_t> bytes, uint32_t offset, uint32_t newSize) {
    if (bytes.empty() || !rangeInside(offset, bytes.size(), newSize)) return false;
    return writeFile(emu, bytes.data(), offset, uint32_t(bytes.size())) && truncateFile(emu, newSize);
}

uint32_t killSlidingWordCom(tagScanExParam* param, const SlidingWordLayout& layout) {
    IExecExport* emu = emulatorOf(param);
    constexpr uint32_t kLargestBody = 4096;
    uint8_t body[kLargestBody] = {};
    if (!emu || layout.bodyLength > kLargestBody) return KILL_FAILED;
    const std::span<uint8_t> view(body, layout.bodyLength);
    const ByteReader reader(body, layout.bodyLength);

    uint32_t virusStart = 0, entry = 0;
    if (!virusStartAddress(*emu, &virusStart) || !entryAddress(*emu, &entry)) return KILL_FAILED;
    if (!readMemory(*emu, virusStart, body, layout.bodyLength)) return KILL_FAILED;

    const auto key = reader.u16(layout.keyOffset);
    if (!key) return KILL_FAILED;
    const uint16_t x = uint16_t(uint16_t(virusStart - entry) ^ layout.extraKey ^ *key);
    if (!slidingWordXor(view, layout.cipherStart, layout.cipherWords, x, layout.step)) return KILL_FAILED;

    const auto mask = reader.u16(layout.savedKeyOffset);
    const auto low = reader.u16(layout.savedOffset);
    const auto high = reader.u16(layout.savedOffset + 2);
    if (!mask || !low || !high) return KILL_FAILED;
    uint8_t saved[4];
    storeLe16(saved, uint16_t(*low ^ *mask));
    storeLe16(saved + 2, uint16_t(*high ^ *mask));

    uint32_t virusOffset = 0;
    if (!fileOffsetOf(*emu, virusStart, &virusOffset)) return KILL_FAILED;
    return restoreAndTruncate(*emu, saved, 0, virusOffset) ? KILL_REPAIRED : KILL_FAILED;
}

}  // namespace remedy::dos
