#include "module/units/win32/resur.h"

#include <array>

#include "module/toolkit/byte_reader.h"
#include "module/toolkit/emulated_file.h"
#include "module/toolkit/pe_header.h"

using namespace remedy;

namespace {

constexpr uint32_t kEntryField = 0x28;
constexpr uint32_t kImageBaseField = 0x34;
constexpr uint32_t kImportDirectoryField = 0x80;
constexpr uint32_t kRelocationDirectoryField = 0xA0;
constexpr uint32_t kSectionTableField = 0xF8;
constexpr uint32_t kSectionEntrySize = 40;

// Resur d also keeps the image base and has a body of its own size.
constexpr uint32_t kResurdImageBase = 5099;
constexpr uint32_t kResurdWipeLength = 8704;
constexpr uint32_t kResurdWipeBefore = 3285;

// Resur e keeps the whole NT headers: signature, file header, PE32 optional header.
constexpr uint32_t kResureSavedHeaders = 74284;
constexpr uint32_t kNtHeadersLength = 248;
constexpr uint32_t kResureClearedEntries = 5;

bool virusStart(IExecExport& emu, uint32_t* address) {
    uint32_t second = 0;
    return emu.GetImageAddress(0, 0, address, &second, 0) != 0;
}

// The emulated image reads zeros where a section's raw data is missing; saved values must come
// from bytes the file holds, or a cut-off body would put zeros into the header.
bool backedByFile(IExecExport& emu, uint32_t address, uint32_t length) {
    uint32_t last = 0, size = 0;
    return fileOffsetOf(emu, address + length - 1, &last) && fileSize(emu, &size) && last < size;
}

// Copies a dword of the emulated image into the file.
bool restoreDword(IExecExport& emu, uint32_t address, uint32_t offset) {
    uint8_t word[4];
    return backedByFile(emu, address, sizeof word) && readMemory(emu, address, word, sizeof word) &&
           writeFile(emu, word, offset, sizeof word);
}

// Zeroes `length` bytes at `offset` and `before` bytes in front of it. A body that would start
// before the file does is not blanked in front. False when the host refused a fill: the body is
// then still in the file, and the repair must not be reported as done.
bool wipeBody(IExecExport& emu, uint32_t offset, uint32_t length, uint32_t before) {
    if (length != 0 && !emu.FillFile(offset, 0, length)) return false;
    if (before != 0 && offset >= before && !emu.FillFile(offset - before, 0, before)) return false;
    return true;
}

}  // namespace

uint32_t CleanWin32ResurFamily(tagScanExParam* param, uint32_t importOffset, uint32_t entryOffset,
                               uint32_t wipeLength, uint32_t wipeBefore) {
    IExecExport* emu = emulatorOf(param);
    const CPEHeander* headers = param ? param->peHeaders : nullptr;
    if (!emu || !headers) return KILL_FAILED;
    const uint32_t pe = headers->peOffset;
    uint32_t body = 0;
    if (!virusStart(*emu, &body)) return KILL_FAILED;
    // Both saved values are checked before either is written.
    if (!backedByFile(*emu, body + entryOffset, 4) || !backedByFile(*emu, body + importOffset, 4)) return KILL_FAILED;
    if (!restoreDword(*emu, body + entryOffset, pe + kEntryField)) return KILL_FAILED;
    if (!restoreDword(*emu, body + importOffset, pe + kImportDirectoryField)) return KILL_FAILED;
    uint32_t bodyOffset = 0;
    if (fileOffsetOf(*emu, body, &bodyOffset) && !wipeBody(*emu, bodyOffset, wipeLength, wipeBefore))
        return KILL_FAILED;
    return KILL_REPAIRED;
}

uint32_t CScanWin32Resura::Kill(STScanInfo*, tagScanExParam* param) {
    return CleanWin32ResurFamily(param, 23427, 23455, 24576, 3632);
}

uint32_t CScanWin32Resurb::Kill(STScanInfo*, tagScanExParam* param) {
    return CleanWin32ResurFamily(param, 30900, 30920, 32768, 3240);
}

uint32_t CScanWin32Resurc::Kill(STScanInfo*, tagScanExParam* param) {
    return CleanWin32ResurFamily(param, 127236, 127264, 139264, 17648);
}

// Resur d also changed the image base and left a relocation directory of its own.
uint32_t CScanWin32Resurd::Kill(STScanInfo*, tagScanExParam* param) {
    const uint32_t common = CleanWin32ResurFamily(param, 5047, 5075, 0, 0);
    if (common != KILL_REPAIRED) return common;
    IExecExport& emu = *param->emulator;
    const uint32_t pe = param->peHeaders->peOffset;
    uint32_t body = 0, bodyOffset = 0;
    if (!virusStart(emu, &body)) return KILL_FAILED;
    if (!restoreDword(emu, body + kResurdImageBase, pe + kImageBaseField)) return KILL_FAILED;
    const uint8_t zero[8] = {};
    if (!writeFile(emu, zero, pe + kRelocationDirectoryField, sizeof zero)) return KILL_FAILED;
    if (fileOffsetOf(emu, body, &bodyOffset) && !wipeBody(emu, bodyOffset, kResurdWipeLength, kResurdWipeBefore))
        return KILL_FAILED;
    return KILL_REPAIRED;
}

uint32_t CScanWin32Resure::Kill(STScanInfo*, tagScanExParam* param) {
    IExecExport* emu = emulatorOf(param);
    const CPEHeander* headers = param ? param->peHeaders : nullptr;
    if (!emu || !headers || !headers->sections) return KILL_FAILED;
    uint32_t body = 0;
    if (!virusStart(*emu, &body)) return KILL_FAILED;
    std::array<uint8_t, kNtHeadersLength> saved{};
    if (!backedByFile(*emu, body + kResureSavedHeaders, kNtHeadersLength) ||
        !readMemory(*emu, body + kResureSavedHeaders, saved.data(), kNtHeadersLength))
        return KILL_FAILED;
    uint8_t lfanew[4];
    if (!readFile(*emu, lfanew, 60, sizeof lfanew)) return KILL_FAILED;
    const uint32_t pe = ByteReader(lfanew, 4).u32(0).value_or(0);

    // The virus's section is the one past the restored count, and it must be one of the
    // sections the infected file has: its raw offset is where the host program ends.
    const uint32_t restoredCount = ByteReader(saved.data(), saved.size()).u16(6).value_or(0);
    if (restoredCount >= headers->sectionCount) return KILL_FAILED;
    const uint32_t cut = headers->sections[restoredCount].PointerToRawData;
    uint32_t size = 0;
    if (!fileSize(*emu, &size) || cut > size || cut <= uint64_t(pe) + kNtHeadersLength) return KILL_FAILED;

    if (!writeFile(*emu, saved.data(), pe, kNtHeadersLength)) return KILL_FAILED;
    const uint64_t entries = uint64_t(pe) + kSectionTableField + uint64_t(restoredCount) * kSectionEntrySize;
    if (entries < cut && !emu->FillFile(uint32_t(entries), 0, kResureClearedEntries * kSectionEntrySize))
        return KILL_FAILED;
    return truncateFile(*emu, cut) ? KILL_REPAIRED : KILL_FAILED;
}
