#include "module/units/win32/parite.h"

#include <cstring>

#include "module/toolkit/byte_reader.h"
#include "module/toolkit/emulated_file.h"
#include "module/toolkit/pe_header.h"

using namespace remedy;

namespace {

// Header fields as offsets from the PE signature.
constexpr uint32_t kSectionCountField = 0x06;
constexpr uint32_t kEntryField = 0x28;
constexpr uint32_t kImportDirectoryField = 0x80;
constexpr uint32_t kBoundImportField = 0xD0;
constexpr uint32_t kHeaderPrefixLength = 44;  // signature, file header, 20 bytes of optional header

// The data block at the address the host reports as the running virus (1, 0).
constexpr uint32_t kSavedEntry = 12;
constexpr uint32_t kSavedThunks = 36;
constexpr uint32_t kKeyBytes = 48;
constexpr uint32_t kKeyReadLength = 30;

// Import descriptors are 20 bytes; an import table cannot hold more than this many and a walk
// that gets this far is reading garbage.
constexpr uint32_t kDescriptorSize = 20;
constexpr uint32_t kMaxDescriptors = 0x10000;

enum class EntryRule { Unchanged, Plain, Keyed };

struct PariteVariant {
    bool thunksAreNameAddresses;  // saved as the VA of the name string: minus ImageBase + 2
    EntryRule entry;
    bool cutAtEntry;              // else at the virus start (0, 0)
    bool checkSizes;
    bool clearBoundImport;
};

// The emulated image reads zeros where a section's raw data is missing; the virus's data must be
// there in the file, or a cut-off body would be taken for saved values.
bool backedByFile(IExecExport& emu, uint32_t address, uint32_t length) {
    uint32_t last = 0, size = 0;
    return fileOffsetOf(emu, address + length - 1, &last) && fileSize(emu, &size) && last < size;
}

bool imageAddress(IExecExport& emu, uint32_t mode, uint32_t* address) {
    uint32_t first = 0, second = 0;
    if (!emu.GetImageAddress(mode, 0, &first, &second, 0)) return false;
    *address = first;
    return true;
}

uint32_t keyedEntry(IExecExport& emu, uint32_t block, uint32_t encoded) {
    uint8_t key[kKeyReadLength] = {};
    if (!readMemory(emu, block + kKeyBytes, key, sizeof key)) return 0;
    std::array<uint8_t, 16> heap{};
    int32_t count = 0;
    for (int i = 0; i < 8; ++i) {
        PariteEnCode(heap, key[i], count);
        PariteEnCode(heap, key[12 + i], count);
    }
    const ByteReader words(heap.data(), heap.size());
    uint32_t entry = encoded;
    for (uint32_t k = 0; k < 4; ++k) entry ^= words.u32(4 * k).value_or(0);
    return entry;
}

// Finds the KERNEL32.DLL descriptor from the raw offset of the import table and answers the raw
// offset of its name-thunk array.
bool kernelThunks(IExecExport& emu, uint32_t imageBase, uint32_t table, uint32_t* thunks) {
    static constexpr char kKernel[13] = "KERNEL32.DLL";
    for (uint32_t n = 0; n < kMaxDescriptors; ++n) {
        uint8_t descriptor[kDescriptorSize];
        const uint64_t at = uint64_t(table) + uint64_t(n) * kDescriptorSize;
        if (at > 0xFFFFFFFFu || !readFile(emu, descriptor, uint32_t(at), kDescriptorSize)) return false;
        const ByteReader d(descriptor, sizeof descriptor);
        const uint32_t nameRva = d.u32(12).value_or(0);
        if (nameRva == 0) return false;
        uint32_t nameOffset = 0;
        if (!fileOffsetOf(emu, imageBase + nameRva, &nameOffset)) return false;
        char name[21] = {};
        // A name that ends the file comes back short; what was read still decides.
        if (emu.ReadFile(name, nameOffset, 20) == 0) return false;
        for (char* c = name; *c; ++c)
            if (*c >= 'a' && *c <= 'z') *c = char(*c - 'a' + 'A');
        if (std::memcmp(name, kKernel, sizeof kKernel) != 0) continue;
        uint32_t thunkRva = d.u32(0).value_or(0);
        if (thunkRva == 0) thunkRva = d.u32(16).value_or(0);
        return fileOffsetOf(emu, imageBase + thunkRva, thunks);
    }
    return false;
}

uint32_t killParite(tagScanExParam* param, const PariteVariant& variant) {
    IExecExport* emu = emulatorOf(param);
    const CPEHeander* headers = param ? param->peHeaders : nullptr;
    if (!emu || !headers) return KILL_FAILED;
    const uint32_t imageBase = headers->optionalHeader.ImageBase;
    const uint32_t pe = headers->peOffset;

    uint32_t block = 0;
    uint8_t saved[8];
    if (!imageAddress(*emu, 1, &block) || !readMemory(*emu, block + kSavedThunks, saved, sizeof saved))
        return KILL_FAILED;
    const uint32_t blockLength = variant.entry == EntryRule::Keyed ? kKeyBytes + kKeyReadLength : kSavedThunks + 8;
    if (!backedByFile(*emu, block, blockLength)) return KILL_FAILED;
    uint32_t thunk1 = ByteReader(saved, 8).u32(0).value_or(0);
    uint32_t thunk2 = ByteReader(saved, 8).u32(4).value_or(0);
    if (variant.thunksAreNameAddresses) {
        thunk1 -= imageBase + 2;
        thunk2 -= imageBase + 2;
    }

    uint32_t entry = 0;
    if (variant.entry != EntryRule::Unchanged) {
        uint8_t word[4];
        if (!readMemory(*emu, block + kSavedEntry, word, sizeof word)) return KILL_FAILED;
        entry = ByteReader(word, 4).u32(0).value_or(0);
        if (variant.entry == EntryRule::Keyed) entry = keyedEntry(*emu, block, entry);
    }

    // The cut is worked out before anything is written. It must fall inside the last section,
    // the one the virus appended: a cut into the program's own sections (a virus start that is
    // really the program's entry) would lose the program, so the file is left as it is.
    uint32_t cutAddress = 0, cut = 0, size = 0;
    if (variant.cutAtEntry)
        cutAddress = imageBase + headers->optionalHeader.AddressOfEntryPoint;
    else if (!imageAddress(*emu, 0, &cutAddress))
        return KILL_FAILED;
    if (!fileOffsetOf(*emu, cutAddress, &cut) || !fileSize(*emu, &size)) return KILL_FAILED;
    if (headers->sectionCount == 0 || !headers->sections) return KILL_FAILED;
    const uint32_t lastSection = headers->sections[headers->sectionCount - 1].PointerToRawData;
    if (cut <= uint64_t(pe) + kHeaderPrefixLength || cut < lastSection || cut > size) return KILL_FAILED;

    uint8_t field[4];
    uint32_t importRva = 0, importTable = 0, thunks = 0;
    if (!readFile(*emu, field, pe + kImportDirectoryField, 4)) return KILL_FAILED;
    importRva = ByteReader(field, 4).u32(0).value_or(0);
    if (!fileOffsetOf(*emu, imageBase + importRva, &importTable)) return KILL_FAILED;
    if (!kernelThunks(*emu, imageBase, importTable, &thunks)) return KILL_FAILED;
    if (variant.checkSizes && thunks > size) return KILL_FAILED;
    uint8_t restored[8];
    std::memcpy(restored, &thunk1, 4);
    std::memcpy(restored + 4, &thunk2, 4);
    if (!writeFile(*emu, restored, thunks, sizeof restored)) return KILL_FAILED;

    uint8_t prefix[kHeaderPrefixLength];
    if (!readFile(*emu, prefix, pe, sizeof prefix)) return KILL_FAILED;
    uint16_t sections = 0;
    std::memcpy(&sections, prefix + kSectionCountField, 2);
    if (sections == 0) return KILL_FAILED;  // no section of the virus to take away
    --sections;
    std::memcpy(prefix + kSectionCountField, &sections, 2);
    if (variant.entry != EntryRule::Unchanged) std::memcpy(prefix + kEntryField, &entry, 4);
    if (variant.checkSizes && pe > size) return KILL_FAILED;
    if (!writeFile(*emu, prefix, pe, sizeof prefix)) return KILL_FAILED;

    if (variant.clearBoundImport && !emu->FillFile(pe + kBoundImportField, 0, 8)) return KILL_FAILED;
    return truncateFile(*emu, cut) ? KILL_REPAIRED : KILL_FAILED;
}

}  // namespace

void PariteEnCode(std::array<uint8_t, 16>& heap, uint8_t value, int32_t& count) {
    if (count < 0 || count >= int32_t(heap.size())) return;
    uint32_t hole = uint32_t(count);
    ++count;
    while (hole != 0) {
        const uint32_t parent = (hole - 1) / 2;
        if (heap[parent] >= value) break;
        heap[hole] = heap[parent];
        hole = parent;
    }
    heap[hole] = value;
}

uint32_t CScanWin32Parite_a::Kill(STScanInfo*, tagScanExParam* param) {
    return killParite(param, {true, EntryRule::Unchanged, false, true, false});
}

uint32_t CScanWin32Parite_b::Kill(STScanInfo*, tagScanExParam* param) {
    return killParite(param, {true, EntryRule::Plain, true, true, false});
}

uint32_t CScanWin32Parite_c::Kill(STScanInfo*, tagScanExParam* param) {
    return killParite(param, {true, EntryRule::Keyed, true, true, false});
}

uint32_t CScanWin32Parite_d::Kill(STScanInfo*, tagScanExParam* param) {
    return killParite(param, {false, EntryRule::Unchanged, false, false, true});
}
