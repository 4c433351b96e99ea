#include "module/units/win32/cekar.h"

#include <algorithm>
#include <array>

#include "module/toolkit/byte_reader.h"
#include "module/toolkit/emulated_file.h"
#include "module/toolkit/pe_header.h"

using namespace remedy;

namespace {

constexpr uint32_t kEntryPieceSize = 0x204;
constexpr uint32_t kSavedEntryAt = 0x4A2;  // in the stream the pieces make
constexpr uint32_t kTableAt = 0x38;        // from the entry point
constexpr uint32_t kPieces = 5;
constexpr uint32_t kZeroChunk = 512;

struct Piece {
    uint32_t rva;
    uint32_t size;
};

}  // namespace

uint32_t CKillCekar::Kill(STScanInfo* info, tagScanExParam* param) {
    IExecExport* emu = emulatorOf(param);
    const CPEHeander* headers = param ? param->peHeaders : nullptr;
    if (!info || !info->stream || !emu || !headers) return KILL_FAILED;
    uint32_t sizeLow = 0, sizeHigh = 0;
    if (info->stream->GetSize(&sizeLow, &sizeHigh) < 0 || sizeHigh != 0 || sizeLow == 0) return KILL_FAILED;
    const uint32_t fileLength = sizeLow;
    const uint32_t imageBase = headers->optionalHeader.ImageBase;

    uint32_t entry = 0;
    if (!fileOffsetOf(*emu, imageBase + headers->optionalHeader.AddressOfEntryPoint, &entry)) return KILL_FAILED;
    if (fileLength <= kEntryPieceSize || entry >= fileLength - kEntryPieceSize) return KILL_FAILED;

    uint8_t table[kPieces * 6];
    if (!readFile(*emu, table, entry + kTableAt, sizeof table)) return KILL_FAILED;
    std::array<Piece, kPieces> pieces{};
    for (uint32_t i = 0; i < kPieces; ++i) pieces[i] = {loadLe32(table + 6 * i), loadLe16(table + 6 * i + 4)};
    if (pieces[0].size != kEntryPieceSize || pieces[0].rva == 0 || pieces[1].rva == 0) return KILL_FAILED;

    // The piece that holds stream offset 0x4A2, and the position in it.
    uint32_t before = pieces[0].size, k = 1;
    for (; k < kPieces; ++k) {
        if (pieces[k].rva == 0) return KILL_FAILED;
        if (before + pieces[k].size > kSavedEntryAt) break;
        before += pieces[k].size;
    }
    if (k == kPieces) return KILL_FAILED;

    std::array<uint8_t, kEntryPieceSize> saved{};
    uint32_t gathered = 0, position = kSavedEntryAt - before;
    for (; gathered < kEntryPieceSize; ++k, position = 0) {
        if (k >= kPieces || pieces[k].rva == 0) return KILL_FAILED;
        uint32_t offset = 0;
        if (!fileOffsetOf(*emu, imageBase + pieces[k].rva, &offset)) return KILL_FAILED;
        const uint32_t take = std::min(pieces[k].size - position, kEntryPieceSize - gathered);
        if (take != 0 && !readFile(*emu, saved.data() + gathered, offset + position, take)) return KILL_FAILED;
        gathered += take;
    }
    if (!writeFile(*emu, saved.data(), entry, kEntryPieceSize)) return KILL_FAILED;

    // Pieces that reach past the end of the file are not this virus's; the file does not grow.
    const std::array<uint8_t, kZeroChunk> zeros{};
    for (uint32_t i = 1; i < kPieces && pieces[i].rva != 0; ++i) {
        uint32_t offset = 0;
        if (!fileOffsetOf(*emu, imageBase + pieces[i].rva, &offset)) return KILL_FAILED;
        if (!rangeInside(offset, pieces[i].size, fileLength)) return KILL_FAILED;
        for (uint32_t done = 0; done < pieces[i].size;) {
            const uint32_t chunk = std::min(kZeroChunk, pieces[i].size - done);
            if (!writeFile(*emu, zeros.data(), offset + done, chunk)) return KILL_FAILED;
            done += chunk;
        }
    }
    return KILL_REPAIRED;
}
