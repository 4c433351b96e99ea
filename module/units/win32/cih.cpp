#include "module/units/win32/cih.h"

#include <algorithm>

#include "module/toolkit/byte_reader.h"
#include "module/toolkit/emulated_file.h"
#include "module/toolkit/mem_search.h"
#include "module/toolkit/pe_header.h"

using namespace remedy;

namespace {

constexpr uint32_t kTableLength = 256;
constexpr uint32_t kMaxPieceSize = 0x10000;

constexpr uint32_t kMaxHeaderCopy = 4096;
constexpr uint32_t kRemainsLength = 277;
constexpr uint8_t kKeyPattern[13] = {0x74, 0x32, 0x0F, 0x21, 0xC1, 0xE3, 0x10, 0x83, 0x04, 0x24, 0x15, 0x66, 0x89};

struct RemainsPattern {
    uint32_t offset;
    uint8_t bytes[16];
};
constexpr RemainsPattern kRemainsPatterns[] = {
    {45, {0xC4, 0x20, 0x97, 0x8D, 0x46, 0x9D, 0xCF, 0x8D, 0x87, 0xF7, 0xFC, 0xFF, 0xFF, 0x50, 0xCD, 0x20}},
    {157, {0x85, 0xDD, 0x01, 0x00, 0x00, 0xFE, 0x06, 0x83, 0xC6, 0x05, 0x56, 0x8A, 0x43, 0x04, 0x3C, 0xFF}},
    {221, {0x00, 0x66, 0x83, 0x7B, 0x18, 0x01, 0x0F, 0x85, 0x93, 0x01, 0x00, 0x00, 0x66, 0xB8, 0x00, 0x43}},
    {261, {0x74, 0x08, 0x66, 0xB8, 0x01, 0x43, 0x33, 0xC9, 0xFF, 0xD7, 0x33, 0xC0, 0xB4, 0xD5, 0x33, 0xC9}},
};

}  // namespace

uint32_t CScanPECIHVirusBody::Kill(STScanInfo*, tagScanExParam* param) {
    IExecExport* emu = emulatorOf(param);
    const CPEHeander* headers = param ? param->peHeaders : nullptr;
    if (!emu || !headers) return KILL_FAILED;
    uint32_t body = 0, second = 0, bodyOffset = 0;
    if (!emu->GetImageAddress(0, 0, &body, &second, 0) || !fileOffsetOf(*emu, body, &bodyOffset))
        return KILL_FAILED;
    if (bodyOffset <= 255) return KILL_FAILED;

    uint8_t table[kTableLength];
    const uint32_t tableOffset = bodyOffset - kTableLength;
    // The walk is best effort where the table's own data ends it (a stop below still reports the
    // repair), but a read or write the host refuses is a failure: reporting success then would
    // leave the body in a file called clean.
    if (!readFile(*emu, table, tableOffset, kTableLength)) return KILL_FAILED;

    // Pieces are listed from the end of the block downwards: the size of piece 0 at 252, then
    // (address, size) pairs of the others in steps of 8. Piece 0 sits in the header area, where
    // a raw offset and an RVA are the same number.
    uint32_t slot = kTableLength;
    uint32_t current = bodyOffset;
    bool first = true;
    for (;;) {
        const uint32_t size = loadLe32(table + slot - 4);
        // A stop inside the walk leaves the table in the file as it is.
        if (size == 0 || size > kMaxPieceSize) return KILL_REPAIRED;
        uint32_t pieceOffset = 0;
        const uint32_t address = first ? headers->optionalHeader.ImageBase + current : current;
        if (!fileOffsetOf(*emu, address, &pieceOffset)) return KILL_REPAIRED;
        uint32_t fileLength = 0;
        // A piece that would run past the end of the file is not written: the file does not grow.
        if (!fileSize(*emu, &fileLength) || !rangeInside(pieceOffset, size, fileLength)) return KILL_REPAIRED;
        const std::vector<uint8_t> zeros(size, 0);
        if (!writeFile(*emu, zeros.data(), pieceOffset, size)) return KILL_FAILED;

        slot -= 8;
        first = false;
        current = loadLe32(table + slot);
        storeLe32(table + slot + 4, 0);
        storeLe32(table + slot, 0);
        if (current == 0 || slot < 8) break;
    }
    uint32_t fileLength = 0;
    if (fileSize(*emu, &fileLength) && fileLength >= tableOffset &&
        !writeFile(*emu, table, tableOffset, kTableLength))
        return KILL_FAILED;
    return KILL_REPAIRED;
}

uint32_t CScanPE_CIH_1003_Junk::Scan(STScanInfo*, tagScanExParam* param) {
    Reset();
    IExecExport* emu = emulatorOf(param);
    const CPEHeander* headers = param ? param->peHeaders : nullptr;
    if (!emu || !headers) return 0;
    const uint32_t headerSize = headers->optionalHeader.SizeOfHeaders;
    if (headers->optionalHeader.AddressOfEntryPoint <= headerSize) return 0;
    const uint32_t length = std::min(headerSize, kMaxHeaderCopy);
    if (length <= sizeof kKeyPattern) return 0;
    headerCopy_.assign(length, 0);
    if (!readFile(*emu, headerCopy_.data(), 0, length)) {
        Reset();
        return 0;
    }
    // The first occurrence of the key, as a quick search over the copy finds it.
    const auto found = findBytes(headerCopy_, kKeyPattern);
    if (!found) return 0;
    const ByteReader copy(headerCopy_.data(), headerCopy_.size());
    if (!copy.has(*found, kRemainsLength)) return 0;
    for (const RemainsPattern& pattern : kRemainsPatterns)
        if (!copy.equals(uint64_t(*found) + pattern.offset, pattern.bytes, sizeof pattern.bytes)) return 0;
    match_ = *found;
    return 1;
}

uint32_t CScanPE_CIH_1003_Junk::Kill(STScanInfo*, tagScanExParam* param) {
    IExecExport* emu = emulatorOf(param);
    if (!emu || !match_ || !rangeInside(*match_, kRemainsLength, headerCopy_.size())) return KILL_FAILED;
    std::fill_n(headerCopy_.begin() + *match_, kRemainsLength, uint8_t(0));
    return writeFile(*emu, headerCopy_.data(), 0, uint32_t(headerCopy_.size())) ? KILL_REPAIRED : KILL_FAILED;
}

void CScanPE_CIH_1003_Junk::Reset() {
    headerCopy_.clear();
    headerCopy_.shrink_to_fit();
    match_.reset();
}
