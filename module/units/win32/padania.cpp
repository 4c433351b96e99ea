#include "module/units/win32/padania.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "module/toolkit/byte_reader.h"
#include "module/toolkit/emulated_file.h"
#include "module/toolkit/host_stream.h"
#include "module/toolkit/pe_header.h"

using namespace remedy;

namespace {

constexpr uint32_t kBodyLength = 1335;
constexpr uint32_t kBodyAddress = 0xC0000000;
constexpr uint8_t kBodyStart[16] = {0xB8, 0x00, 0x10, 0x00, 0xC0, 0xB9, 0x00, 0x10,
                                    0x00, 0x00, 0x8B, 0x18, 0x81, 0xFB, 0x00, 0x20};
constexpr uint8_t kBodyMiddle[16] = {0x77, 0x09, 0x81, 0x7B, 0x0C, 0x56, 0x4D, 0x4D,
                                     0x20, 0x74, 0x05, 0x40, 0xE2, 0xE2, 0xEB, 0x28};
constexpr uint8_t kBodyEnd[16] = {0xB9, 0x00, 0x04, 0x00, 0x00, 0x8B, 0x15, 0xA0,
                                  0x05, 0x00, 0xC0, 0xBE, 0xA8, 0x05, 0x00, 0xC0};
constexpr uint8_t kLoader[16] = {0xE8, 0x00, 0x00, 0x00, 0x00, 0x58, 0x83, 0xC0,
                                 0x0B, 0x50, 0x68, 0x00, 0x00, 0x00, 0xC0, 0xC3};

// Behind the section table.
constexpr uint32_t kLoaderAt = 23;
constexpr uint32_t kSavedBytesAt = 50;
constexpr uint32_t kReturnJumpAt = 56;  // opcode, then the displacement
constexpr uint32_t kLoaderAreaLength = 56;

constexpr uint32_t kSectionCountField = 6;
constexpr uint32_t kSizeOfImageField = 80;

// The end of the section table, for the 224-byte PE32 optional header the virus assumes.
uint64_t sectionTableEnd(const CPEHeander& headers) {
    return uint64_t(headers.peOffset) + 248 + 40 * uint64_t(headers.fileHeader.NumberOfSections);
}

}  // namespace

uint32_t CScanPadania1335b::Scan(STScanInfo*, tagScanExParam* param) {
    IExecExport* emu = emulatorOf(param);
    const CPEHeander* headers = param ? param->peHeaders : nullptr;
    if (!emu || !headers || !headers->sections || headers->sectionCount < 2) return 0;
    const IMAGE_SECTION_HEADER& last = headers->sections[headers->sectionCount - 1];
    if (last.VirtualAddress + headers->optionalHeader.ImageBase != kBodyAddress) return 0;
    // A body cut short is judged by the bytes there are: a fragment not read does not match.
    std::vector<uint8_t> body(kBodyLength, 0);
    const uint32_t got = emu->ReadFile(body.data(), last.PointerToRawData, kBodyLength);
    if (got == 0 || got > kBodyLength) return 0;
    const ByteReader read(body.data(), got);
    return read.equals(0, kBodyStart, 16) && read.equals(26, kBodyMiddle, 16) && read.equals(422, kBodyEnd, 16);
}

uint32_t CScanPadania1335b::Kill(STScanInfo* info, tagScanExParam* param) {
    IExecExport* emu = emulatorOf(param);
    const CPEHeander* headers = param ? param->peHeaders : nullptr;
    if (!info || !info->stream || !emu || !headers || !headers->sections || headers->sectionCount < 2)
        return KILL_FAILED;
    const uint64_t tableEnd = sectionTableEnd(*headers);
    if (tableEnd + kReturnJumpAt + 5 > 0xFFFFFFFFu) return KILL_FAILED;
    const uint32_t t = uint32_t(tableEnd);
    uint32_t base = emu->GetImageBase();
    if (base == 0) base = headers->optionalHeader.ImageBase;

    uint8_t loader[16];
    if (!readExactAt(info->stream, t + kLoaderAt, loader, sizeof loader) ||
        std::memcmp(loader, kLoader, sizeof loader) != 0)
        return KILL_FAILED;
    uint8_t displacement[4], saved[6];
    if (!readFile(*emu, displacement, t + kReturnJumpAt + 1, 4) || !readFile(*emu, saved, t + kSavedBytesAt, 6))
        return KILL_FAILED;

    // The loader's jump back leads behind the patched instruction in the host's code.
    uint32_t back = 0, size = 0;
    if (!fileOffsetOf(*emu, base + t + kReturnJumpAt + 5 + loadLe32(displacement), &back)) return KILL_FAILED;
    if (!fileSize(*emu, &size)) return KILL_FAILED;
    const bool nopFirst = saved[0] == 0x90;
    const uint32_t length = nopFirst ? 5 : 6;
    if (back < length || size <= back - length) return KILL_FAILED;
    if (!writeFile(*emu, saved + (nopFirst ? 1 : 0), back - length, length)) return KILL_FAILED;

    const uint8_t zeros[kLoaderAreaLength] = {};
    if (size < t || !writeFile(*emu, zeros, t, kLoaderAreaLength)) return KILL_FAILED;

    // The body is zeroed as far as the file holds it: a VirtualSize beyond the file's end does
    // not make the file grow.
    const IMAGE_SECTION_HEADER& removed = headers->sections[headers->sectionCount - 1];
    if (!fileSize(*emu, &size) || size < removed.PointerToRawData) return KILL_FAILED;
    const uint32_t wipe = std::min(removed.VirtualSize, size - removed.PointerToRawData);
    if (wipe != 0) {
        const std::vector<uint8_t> body(wipe, 0);
        if (!writeFile(*emu, body.data(), removed.PointerToRawData, wipe)) return KILL_FAILED;
    }

    uint8_t count[2];
    storeLe16(count, uint16_t(headers->fileHeader.NumberOfSections - 1));
    if (!writeFile(*emu, count, headers->peOffset + kSectionCountField, 2)) return KILL_FAILED;
    const uint32_t alignment = headers->optionalHeader.SectionAlignment;
    if (alignment == 0) return KILL_FAILED;
    const IMAGE_SECTION_HEADER& kept = headers->sections[headers->sectionCount - 2];
    const uint64_t imageSize =
        (uint64_t(kept.VirtualSize) + alignment - 1) / alignment * alignment + kept.VirtualAddress;
    uint8_t sizeField[4];
    storeLe32(sizeField, uint32_t(imageSize));
    if (!writeFile(*emu, sizeField, headers->peOffset + kSizeOfImageField, 4)) return KILL_FAILED;

    const uint64_t rawEnd = uint64_t(removed.PointerToRawData) + removed.SizeOfRawData;
    if (fileSize(*emu, &size) && size < rawEnd && rawEnd <= 0xFFFFFFFFu && !emu->SetFileSize(uint32_t(rawEnd)))
        return KILL_FAILED;
    return KILL_REPAIRED;
}
