#include "module/units/win32/magistr.h"

#include <algorithm>
#include <array>

#include "module/toolkit/byte_reader.h"
#include "module/toolkit/emulated_file.h"
#include "module/toolkit/mem_search.h"
#include "module/toolkit/pe_header.h"
#include "module/toolkit/run_checks.h"

using namespace remedy;

namespace {

constexpr uint32_t kEntryCodeLength = 512;
constexpr uint8_t kEntryCodeMark = 0x64;  // the worm's entry code always uses an FS override

constexpr uint32_t kImportWindow = 1024;
constexpr uint32_t kDescriptorSize = 20;
constexpr uint32_t kMaxDescriptors = 48;
constexpr uint32_t kImportDirectory = 1;

constexpr uint32_t kMaxBodyLength = 0xA000;
constexpr uint32_t kBodySlack = 10;
constexpr uint8_t kDeltaCall[4] = {0xE8, 0x00, 0x00, 0x00};  // call $+5: the decryptor's start
constexpr uint8_t kXorOpcode = 0x31;
constexpr uint32_t kMaxScanSteps = 65536;
constexpr uint32_t kMarkers[] = {0x184B, 0x1C81};

// A host that gets control back ends well before this many instructions; the worm alone runs on.
constexpr uint32_t kBodyRunSteps = 2097152;

// The two layouts of the decrypted body: where the copy code stands and where the host's
// entry bytes are kept.
constexpr uint8_t kKeyedLayout[16] = {0x8B, 0x85, 0x50, 0x84, 0x40, 0x00, 0x89, 0x85,
                                      0x18, 0x20, 0x40, 0x00, 0x8B, 0x85, 0x84, 0x84};
constexpr uint32_t kKeyedLayoutAt = 0xB6;
constexpr uint32_t kKeyedKeyAt = 0x1923;
constexpr uint32_t kKeyedEntryAt = 0x6476;
constexpr uint8_t kPlainLayout[16] = {0x8D, 0xB5, 0x88, 0x64, 0x40, 0x00, 0x8D, 0xBD,
                                      0x0E, 0x73, 0x40, 0x00, 0xB9, 0x00, 0x02, 0x00};
constexpr uint32_t kPlainLayoutAt = 0xD9;
constexpr uint32_t kPlainEntryAt = 0x5488;

uint32_t deleteWorm(IExecExport& emu) { return emu.DeleteFile() ? KILL_REMOVED : KILL_REMOVE_FAILED; }

// The walk from the decryptor's delta call to its first XOR, one instruction at a time, as one
// run: the callback looks at each instruction before it executes, where a run of its own per
// step would start the x86 engine up to 65,536 times.
struct XorWalk {
    enum class End { Walking, AtXor, Unreadable, Capped };
    IExecExport* emu;
    mutable uint32_t steps = 0;
    mutable End end = End::Walking;
};

int untilXor(const void* context) {
    const auto& walk = *static_cast<const XorWalk*>(context);
    uint8_t opcode[2];
    if (walk.steps == kMaxScanSteps) walk.end = XorWalk::End::Capped;
    else if (!readMemory(*walk.emu, walk.emu->GetIP(), opcode, sizeof opcode)) walk.end = XorWalk::End::Unreadable;
    else if (opcode[0] == kXorOpcode) walk.end = XorWalk::End::AtXor;
    if (walk.end != XorWalk::End::Walking) return 0;
    ++walk.steps;
    return 1;
}

}  // namespace

bool CScanMargistr::IsMargistrWriteMemery(IExecExport* emu) {
    if (!emu) return false;
    for (uint32_t index : {qe::EXEC_REG_EAX, qe::EXEC_REG_EBX, qe::EXEC_REG_ECX, qe::EXEC_REG_EDX, qe::EXEC_REG_ESI,
                           qe::EXEC_REG_EDI}) {
        const uint32_t value = emu->GetRegister(index);
        if (std::find(std::begin(kMarkers), std::end(kMarkers), value) != std::end(kMarkers)) return true;
    }
    return false;
}

void CScanMargistr::Reset() {
    m_body.clear();
    m_body.shrink_to_fit();
    m_length = 0;
    m_entryOffset = 0;
    m_bodyOffset = 0;
}

uint32_t CScanMargistr::Scan(STScanInfo*, tagScanExParam* param) {
    IExecExport* emu = emulatorOf(param);
    const CPEHeander* headers = param ? param->peHeaders : nullptr;
    if (!emu || !headers || !headers->dataDirectories) return 0;
    const uint32_t imageBase = headers->optionalHeader.ImageBase;
    const uint32_t entryVa = imageBase + headers->optionalHeader.AddressOfEntryPoint;

    std::array<uint8_t, kEntryCodeLength> entryCode{};
    if (!readMemory(*emu, entryVa, entryCode.data(), kEntryCodeLength)) return 0;
    if (std::find(entryCode.begin(), entryCode.end(), kEntryCodeMark) == entryCode.end()) return 0;

    std::array<uint8_t, kImportWindow> imports{};
    const uint32_t importRva = headers->dataDirectories[kImportDirectory].VirtualAddress;
    if (!readMemory(*emu, imageBase + importRva, imports.data(), kImportWindow)) return 0;

    // The worm's descriptor is the first with exactly one non-zero field, that field being the
    // body's address; the table's end before it means there is none.
    std::optional<uint32_t> bodyVa;
    for (uint32_t d = 0; d < kMaxDescriptors && !bodyVa; ++d) {
        uint32_t zeros = 0, value = 0;
        for (uint32_t field = 0; field < 5; ++field) {
            const uint32_t word = loadLe32(&imports[d * kDescriptorSize + field * 4]);
            if (word == 0) ++zeros; else value = word;
        }
        if (zeros == 5) return 0;
        if (zeros == 4) bodyVa = value;
    }
    if (!bodyVa || uint64_t(*bodyVa) >= uint64_t(imageBase) + headers->optionalHeader.SizeOfImage) return 0;
    uint32_t bodyOffset = 0, entryOffset = 0, fileLength = 0;
    if (!fileOffsetOf(*emu, *bodyVa, &bodyOffset) || bodyOffset == 0) return 0;
    if (!fileOffsetOf(*emu, entryVa, &entryOffset)) return 0;
    if (!fileSize(*emu, &fileLength) || fileLength <= bodyOffset) return 0;

    const uint32_t length = std::min(fileLength - bodyOffset, kMaxBodyLength);
    m_body.assign(length + kBodySlack, 0);
    m_length = length;
    m_entryOffset = entryOffset;
    m_bodyOffset = bodyOffset;
    const uint32_t got = emu->ReadFile(m_body.data(), bodyOffset, length);
    if (got == 0 || got > length) return 0;

    const auto start = findBytes(std::span<const uint8_t>(m_body.data(), length), kDeltaCall);
    if (!start) return 0;
    // The decryptor runs from its delta call to its first XOR, where the worm's loop count or
    // key stands in a register.
    emu->SetIP(*bodyVa + *start);
    const XorWalk walk{emu};
    // A decryptor that faults or ends before its XOR cannot show the marker.
    if (!emu->RunWhile(untilXor, &walk)) return endedShort(*emu, 0);
    switch (walk.end) {
        case XorWalk::End::AtXor: return IsMargistrWriteMemery(emu) ? 1 : 0;
        case XorWalk::End::Capped: return walkCapReached(0);
        default: return 0;
    }
}

uint32_t CScanMargistr::Kill(STScanInfo*, tagScanExParam* param) {
    IExecExport* emu = emulatorOf(param);
    if (!emu || m_length == 0 || m_body.size() < m_length) return KILL_FAILED;
    emu->ClearStopConditions();
    // The decryptor runs on until it jumps into the bytes it has written.
    if (!emu->RunTo(qe::EXEC_RUN_TO_BOUNDARY, 0)) return endedShort(*emu, KILL_FAILED);
    uint32_t decrypted = 0, unused = 0;
    if (!emu->GetImageAddress(1, 0, &decrypted, &unused, 0)) return KILL_FAILED;
    // A body that runs every step without ending is the worm itself. One that ends (a fault, its
    // end, an import the host does not model) has decrypted what the kill reads; a step limit
    // proves neither, and nothing is written.
    if (emu->Step(kBodyRunSteps)) return deleteWorm(*emu);
    if (emu->GetStopStatus() == qe::EXEC_STATUS_STEP_LIMIT) return endedShort(*emu, KILL_FAILED);
    if (!readMemory(*emu, decrypted, m_body.data(), m_length)) return KILL_FAILED;

    const ByteReader body(m_body.data(), m_length);
    std::array<uint8_t, kEntryCodeLength> entryCode{};
    if (body.equals(kKeyedLayoutAt, kKeyedLayout, sizeof kKeyedLayout)) {
        const auto key = body.u32(kKeyedKeyAt);
        if (!key || !body.copy(kKeyedEntryAt, entryCode.data(), kEntryCodeLength)) return KILL_FAILED;
        for (uint32_t i = 0; i < kEntryCodeLength; i += 4) storeLe32(&entryCode[i], loadLe32(&entryCode[i]) ^ *key);
    } else if (body.equals(kPlainLayoutAt, kPlainLayout, sizeof kPlainLayout)) {
        if (!body.copy(kPlainEntryAt, entryCode.data(), kEntryCodeLength)) return KILL_FAILED;
    } else {
        return deleteWorm(*emu);
    }

    uint32_t fileLength = 0;
    if (!fileSize(*emu, &fileLength) || fileLength <= m_entryOffset) return KILL_FAILED;
    if (!writeFile(*emu, entryCode.data(), m_entryOffset, kEntryCodeLength)) return KILL_FAILED;
    return truncateFile(*emu, m_bodyOffset) ? KILL_REPAIRED : KILL_FAILED;
}
