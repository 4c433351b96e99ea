#include "module/units/dos/voronezh.h"

#include <array>

#include "module/toolkit/byte_reader.h"
#include "module/units/dos/dos_common.h"

using namespace remedy;
using namespace remedy::dos;

namespace {

// The COM forms sit at the start of the file over the host's first N bytes, which they moved to
// the end of the file XORed with a key byte of their body. The key is taken from the first read
// before the second read reuses the buffer.
struct MovedHead {
    uint32_t firstRead;   // bytes read at the entry
    uint32_t keyOffset;   // key byte in them
    uint32_t headLength;  // N; 0 when the body says it (word at lengthOffset)
    uint32_t lengthOffset;
    uint32_t secondRead;  // bytes read at entry + S - N
};

uint32_t killMovedHead(tagScanExParam* param, const MovedHead& form) {
    constexpr uint32_t kBufferLength = 1616;
    IExecExport* emu = emulatorOf(param);
    if (!emu) return KILL_FAILED;
    std::array<uint8_t, kBufferLength> buffer{};
    if (form.firstRead > kBufferLength || form.secondRead > kBufferLength) return KILL_FAILED;

    uint32_t entry = 0, size = 0;
    if (!fileSize(*emu, &size) || !entryAddress(*emu, &entry)) return KILL_FAILED;
    if (!readMemory(*emu, entry, buffer.data(), form.firstRead)) return KILL_FAILED;
    const ByteReader first(buffer.data(), form.firstRead);
    const uint8_t key = first.u8(form.keyOffset).value_or(0);
    uint32_t headLength = form.headLength;
    if (headLength == 0) headLength = first.u16(form.lengthOffset).value_or(0);
    if (headLength == 0 || headLength > form.secondRead) return KILL_FAILED;
    // An infected file holds the body and, at its end, the host bytes the body replaced; a
    // shorter file cannot be this virus's work and is left alone.
    if (size / 2 < headLength) return KILL_FAILED;

    const uint32_t tail = size - headLength;
    if (!readMemory(*emu, entry + tail, buffer.data(), form.secondRead)) return KILL_FAILED;
    const std::span<uint8_t> head(buffer.data(), headLength);
    xorBytes(head, key);
    return restoreAndTruncate(*emu, head, 0, tail) ? KILL_REPAIRED : KILL_FAILED;
}

}  // namespace

// N is the word at 163 of the body (at most 1024), the key byte is at 149.
uint32_t CScanVoronezhCom::Kill(STScanInfo*, tagScanExParam* param) {
    return killMovedHead(param, {1024, 149, 0, 163, 1024});
}

uint32_t CScanVoronezh1600Com::Kill(STScanInfo*, tagScanExParam* param) {
    return killMovedHead(param, {512, 372, 1600, 0, 1616});
}

// A file shorter than the 600-byte body is refused (the size rule of killMovedHead).
uint32_t CScanVoronezh600Com::Kill(STScanInfo*, tagScanExParam* param) {
    return killMovedHead(param, {600, 224, 600, 0, 600});
}

// A file shorter than the 650-byte body gets the same answer as its 600-byte twin: repair failed.
// Reporting it repaired would tell the host a file was cleaned that was never touched.
uint32_t CScanVoronezh650Com::Kill(STScanInfo*, tagScanExParam* param) {
    return killMovedHead(param, {650, 214, 650, 0, 650});
}

// MZ: the virus put a far jump (EA offset segment, 5 bytes) over the host's entry and keeps the
// five bytes it replaced at 426 of its body. It added a relocation entry for the segment word of
// its jump (the last entry) and moved the host's entry for a segment word among those five bytes
// to where the word now lies in the body (virus + 427). The repair puts the bytes back, cuts the
// body, points the moved entry back at the entry bytes and drops the virus's entry.
uint32_t CScanVoronezh1600EXE::Kill(STScanInfo*, tagScanExParam* param) {
    constexpr uint32_t kHeaderLength = 64;
    constexpr uint32_t kMaxEntries = 512;
    IExecExport* emu = emulatorOf(param);
    if (!emu) return KILL_FAILED;

    uint32_t entry = 0, virusStart = 0, entryOffset = 0, virusOffset = 0, size = 0;
    if (!entryAddress(*emu, &entry) || !virusStartAddress(*emu, &virusStart)) return KILL_FAILED;
    if (!fileOffsetOf(*emu, entry, &entryOffset) || !fileOffsetOf(*emu, virusStart, &virusOffset)) return KILL_FAILED;
    uint8_t body[512] = {};
    if (!readFile(*emu, body, virusOffset, sizeof body)) return KILL_FAILED;
    if (!fileSize(*emu, &size) || size <= entryOffset) return KILL_FAILED;
    if (!rangeInside(entryOffset, 5, virusOffset) || virusOffset < kHeaderLength) return KILL_FAILED;

    // Everything the repair needs is checked before the first write.
    uint8_t header[kHeaderLength] = {};
    if (!readFile(*emu, header, 0, kHeaderLength)) return KILL_FAILED;
    const uint32_t headerParagraphs = loadLe16(header + 8);
    const uint32_t entries = loadLe16(header + 6);
    const uint32_t tableOffset = loadLe16(header + 24);
    if (headerParagraphs > 128) return KILL_FAILED;
    // The virus added one entry; a table without entries, or larger than the cleaner's
    // 512-entry table, is not its work.
    if (entries == 0 || entries > kMaxEntries) return KILL_FAILED;
    if (!rangeInside(tableOffset, 4 * entries, virusOffset)) return KILL_FAILED;
    std::array<uint8_t, 4 * kMaxEntries> table{};
    if (!readFile(*emu, table.data(), tableOffset, 4 * entries)) return KILL_FAILED;

    const int64_t loadModuleStart = int64_t(headerParagraphs) * 16;
    const int64_t target = int64_t(virusOffset) + 427 - loadModuleStart;
    uint32_t chosen = entries - 1;
    for (uint32_t k = 0; k + 1 < entries; ++k) {
        const uint8_t* e = table.data() + 4 * k;
        if (int64_t(loadLe16(e + 2)) * 16 + loadLe16(e) == target) {
            chosen = k;
            break;
        }
    }
    // The last entry is the virus's own and is cleared below, whatever it was chosen for.
    if (chosen + 1 < entries) {
        uint8_t* moved = table.data() + 4 * chosen;
        const int64_t distance = int64_t(virusOffset) + 426 - int64_t(entryOffset);
        const uint16_t offset = loadLe16(moved);
        if (distance <= offset) {
            storeLe16(moved, uint16_t(offset - distance));
        } else {
            // The offset word cannot absorb the distance: point the entry at the same place as a
            // normalised segment:offset pair.
            const int64_t address = int64_t(loadLe16(moved + 2)) * 16 + offset - distance;
            if (address < 0) return KILL_FAILED;
            storeLe16(moved, uint16_t(address & 15));
            storeLe16(moved + 2, uint16_t(address >> 4));
        }
    }
    std::fill_n(table.data() + 4 * (entries - 1), 4, uint8_t(0));

    if (!writeFile(*emu, body + 426, entryOffset, 5) || !truncateFile(*emu, virusOffset)) return KILL_FAILED;
    if (!writeFile(*emu, table.data(), tableOffset, 4 * entries)) return KILL_FAILED;
    // Only the entry count changes in the header; writing that word alone keeps the table and
    // entry bytes just written even where they share the header's first 64 bytes.
    return writeWord(*emu, 6, uint16_t(entries - 1)) ? KILL_REPAIRED : KILL_FAILED;
}
