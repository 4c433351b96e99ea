#include "module/units/win32/virut.h"

#include <algorithm>
#include <cstring>

#include "module/toolkit/byte_reader.h"
#include "module/toolkit/host_stream.h"
#include "module/toolkit/host_vm.h"
#include "module/toolkit/interface_ptr.h"
#include "module/toolkit/mem_search.h"
#include "module/toolkit/pe_address.h"
#include "module/toolkit/pe_header.h"
#include "module/toolkit/run_checks.h"
#include "sdk/host_services.h"
#include "sdk/identifiers.h"

using namespace remedy;

namespace {

// ---- CScanVirutNew_cs ----

// sub esp, 2Ch, anything, then a call: the stub's opening within the first code bytes.
constexpr uint8_t kNewCsStubStart[] = {0x83, 0xEC, 0x2C, '*', 0xE8};
// ModRM and SIB of xchg [esp+d8], ebp (87 6C 24 d8).
constexpr uint8_t kNewCsSwap[] = {0x6C, 0x24};
constexpr uint32_t kNewCsCodeLength = 49;      // read at the entry, behind one leading zero
constexpr uint32_t kNewCsStubWindow = 16;      // buffer bytes the opening must lie in
constexpr uint32_t kNewCsStepLimit = 60'000'000;
constexpr uint32_t kNewCsMaxSteps = 50;         // from the entry to the xchg
// Stop condition: the instruction pointer leaves the loaded image (no range given).
constexpr uint32_t kStayInImage[4] = {qe::EXEC_STOP_CONTAINMENT, 0, 0, 0};

// ---- CScanVirutCe ----

constexpr uint8_t kCeStubStart[] = {0x83, 0x3C, 0x24};  // cmp dword [esp], imm8
constexpr uint8_t kCeCall = 0xE8;
constexpr uint8_t kCeStoreSwap[] = {0x87, 0x6C, 0x24, 0x21};  // xchg [esp+21h], ebp
constexpr uint8_t kCeStoreAdd[] = {0x81, 0x44, 0x24, 0x24};   // add dword [esp+24h], imm32
constexpr uint32_t kCeCodeLength = 48;
constexpr uint32_t kCeSearchLength = 49;  // the leading zero and the code
constexpr uint32_t kCeMaxInstructions = 10'000'000;
constexpr uint32_t kVmEbp = 5;
constexpr uint32_t kMoveBlock = 4096;
constexpr uint32_t kZeroBlock = 256;

// ---- CScanVirutBad ----

// The body opens with pushad; call $+5; pop ebp and then sets up its exception frame with
// push dword [fs:0] in 16-bit addressing (67 64 FF 36 00 00), whose first dword confirms it.
constexpr uint8_t kBadBodyStart[] = {0x60, 0xE8, 0x00, 0x00, 0x00, 0x00, 0x5D};
constexpr uint32_t kBadFramePushAt = 7;
constexpr uint32_t kBadFramePush = 0x36FF6467;
constexpr uint32_t kExecutableSection = 0x20000000;

IMAGE_SECTION_HEADER* lastSection(CPEHeander* headers) {
    if (!headers || !headers->sections || headers->sectionCount == 0) return nullptr;
    return &headers->sections[headers->sectionCount - 1];
}

uint32_t entryAddress(const CPEHeander& headers) {
    return headers.optionalHeader.ImageBase + headers.optionalHeader.AddressOfEntryPoint;
}

// Moves everything behind [start, start + length) down to start and ends the file there.
// Nothing to move when the range reaches the end of the file.
bool cutStreamRange(IQEStream* stream, uint64_t start, uint64_t length) {
    const std::optional<uint64_t> size = streamSize(stream);
    if (!size) return false;
    uint8_t block[kMoveBlock];
    uint64_t from = start + length, to = start;
    while (from < *size) {
        const std::optional<uint32_t> got =
            readAtOrRefused(stream, from, block, uint32_t(std::min<uint64_t>(kMoveBlock, *size - from)));
        if (!got) return false;
        if (*got == 0) break;
        if (!writeExactAt(stream, to, block, *got)) return false;
        from += *got;
        to += *got;
    }
    return setStreamSize(stream, to);
}

// Runs the VM to a stop point of `kind` at `address` and removes the point again. True when
// the run stopped at a stop point (status 1 or 3).
bool runToStopPoint(IQEVM& vm, uint32_t address, uint32_t kind) {
    const uint32_t handle = vm.AddStopPoint(address, kind, 1);
    if (handle == 0) return false;
    const uint32_t status = vm.Run(qe::VM_RUN_TO_STOP, 0);
    vm.RemoveStopPoint(handle);
    return status == qe::VM_STATUS_STOPPED || status == qe::VM_STATUS_ACCESS || vmEndedShort(status, false);
}

}  // namespace

uint32_t CScanVirutNew_cs::Scan(STScanInfo* info, tagScanExParam* param) {
    if (!info || !info->stream || !param || !param->emulator) return 0;
    const IMAGE_SECTION_HEADER* last = lastSection(param->peHeaders);
    if (!last) return 0;
    const CPEHeander& headers = *param->peHeaders;
    const uint32_t entry = entryAddress(headers);
    // Both ends of the last section's virtual range count.
    const uint64_t sectionStart = uint64_t(headers.optionalHeader.ImageBase) + last->VirtualAddress;
    if (entry < sectionStart || entry > sectionStart + last->VirtualSize) return 0;

    swapAddress_ = 0;
    // Index 0 stays zero, so an opening at the first code byte has a non-zero offset.
    uint8_t code[kNewCsCodeLength + 1] = {};
    param->emulator->ReadMemory(entry, code + 1, kNewCsCodeLength);
    const uint32_t start = SerachMem(code, kNewCsStubWindow, kNewCsStubStart, sizeof kNewCsStubStart, 1);
    if (start == 0) return 0;
    const uint32_t swap = SerachMem(code, sizeof code, kNewCsSwap, sizeof kNewCsSwap, 0);
    if (swap <= start) return 0;
    swapAddress_ = entry + swap - 2;  // the 87 opcode, one code byte before the ModRM
    return 1;
}

uint32_t CScanVirutNew_cs::Kill(STScanInfo* info, tagScanExParam* param) {
    if (!info || !info->stream || !param || !param->emulator || swapAddress_ == 0) return KILL_FAILED;
    IMAGE_SECTION_HEADER* last = lastSection(param->peHeaders);
    if (!last) return KILL_FAILED;
    CPEHeander& headers = *param->peHeaders;
    IExecExport& emu = *param->emulator;
    const uint32_t imageBase = headers.optionalHeader.ImageBase;
    const uint32_t entry = entryAddress(headers);
    const uint64_t rawStart = last->PointerToRawData;
    const uint64_t rawEnd = rawStart + last->SizeOfRawData;

    if (!emu.Restart()) return KILL_FAILED;
    emu.SetStepLimit(kNewCsStepLimit);
    emu.SetStopCondition(kStayInImage);
    emu.SetIP(entry);
    // The xchg's displacement, sign-extended as the processor takes it.
    int8_t displacement = 0;
    if (!emu.ReadMemory(swapAddress_ + 3, &displacement, 1)) return KILL_FAILED;
    bool reached = false;
    for (uint32_t step = 0; step < kNewCsMaxSteps && !reached; ++step) {
        if (!emu.Step(1)) return endedShort(emu, KILL_FAILED);
        reached = emu.GetIP() == swapAddress_;
    }
    if (!reached) return KILL_FAILED;
    if (!emu.Step(1)) return endedShort(emu, KILL_FAILED);
    const uint32_t esp = emu.GetRegister(qe::EXEC_REG_ESP);
    uint8_t saved[4];
    if (esp == 0 || !emu.ReadMemory(esp + uint32_t(int32_t(displacement)), saved, sizeof saved)) return KILL_FAILED;
    const uint32_t hostEntry = loadLe32(saved);
    if (headers.sections[0].VirtualAddress + uint64_t(imageBase) > hostEntry ||
        hostEntry >= uint64_t(imageBase) + headers.optionalHeader.SizeOfImage)
        return KILL_FAILED;
    // Everything from the virus's entry point on is cut; an entry point found there would
    // be cut with it.
    if (hostEntry >= entry) return KILL_FAILED;

    uint32_t cut = 0;
    if (!emu.AddressToFileOffset(entry, &cut) || cut > rawEnd || cut < rawStart) return KILL_FAILED;
    headers.optionalHeader.AddressOfEntryPoint = hostEntry - imageBase;
    // The section's raw data ends where the cut begins, so the header describes no bytes
    // behind the end of the file.
    last->SizeOfRawData = uint32_t(cut - rawStart);
    if (!headers.Dump()) return KILL_FAILED;
    return emu.CutFile(cut, uint32_t(rawEnd - cut)) ? KILL_REPAIRED : KILL_FAILED;
}

uint32_t CScanVirutCe::Scan(STScanInfo* info, tagScanExParam* param) {
    if (!info || !info->stream || !param || !param->emulator) return 0;
    const IMAGE_SECTION_HEADER* last = lastSection(param->peHeaders);
    if (!last) return 0;
    const CPEHeander& headers = *param->peHeaders;
    const uint32_t imageBase = headers.optionalHeader.ImageBase;
    const uint32_t entry = entryAddress(headers);

    uint8_t code[64] = {};
    param->emulator->ReadMemory(entry, code + 1, kCeCodeLength);
    const uint32_t start = SerachMem(code, kCeSearchLength, kCeStubStart, sizeof kCeStubStart, 1);
    if (start == 0) return 0;
    // The first E8 from the opening on whose displacement keeps the target within 64 KB.
    const ByteReader read(code, sizeof code);
    uint32_t call = 0;
    for (uint32_t at = start; at < kCeSearchLength && call == 0; ++at) {
        const uint16_t high = read.u16(at + 3).value_or(1);
        if (code[at] == kCeCall && (high == 0x0000 || high == 0xFFFF)) call = at;
    }
    if (call == 0) return 0;
    // The code begins at buffer index 1: the call is at entry + call - 1 and is 5 bytes long.
    const uint32_t callTarget = entry + call + 4 + read.u32(call + 1).value_or(0);

    InterfacePtr<IQEVM> vm = createHostVm(info->rot);
    if (!vm) return 0;
    const uint32_t imageLow = vm->LoadStream(info->stream);
    if (imageLow == 0) return 0;
    vm->SetRegister(qe::VM_REG_EIP, entry);
    uint32_t limits[2] = {};
    vm->GetRunLimits(limits);
    limits[1] = std::min(limits[1], kCeMaxInstructions);
    vm->SetRunLimits(limits);

    // At the callee EBP points at the dword that will hold the host's entry point; the
    // instruction that first touches it stores the address there.
    if (!runToStopPoint(*vm.get(), callTarget, qe::VM_STOP_EXECUTE)) return 0;
    const uint32_t slot = vm->GetRegister(kVmEbp);
    if (!runToStopPoint(*vm.get(), slot, qe::VM_STOP_ACCESS)) return 0;
    uint8_t store[16];
    if (vm->ReadMemory(vm->GetRegister(qe::VM_REG_EIP), store, sizeof store) < sizeof store) return 0;
    if (std::memcmp(store, kCeStoreSwap, 4) != 0 && std::memcmp(store, kCeStoreAdd, 4) != 0) return 0;
    if (const uint32_t status = vm->Run(qe::VM_RUN_STEP, 0); status != qe::VM_STATUS_STOPPED)
        return vmEndedShort(status, 0);
    uint8_t saved[4];
    if (vm->ReadMemory(slot, saved, sizeof saved) < sizeof saved) return 0;
    const uint32_t hostEntry = loadLe32(saved);
    if (hostEntry < imageLow || hostEntry >= uint64_t(imageBase) + last->VirtualAddress + last->VirtualSize) return 0;
    hostEntryRva_ = hostEntry - imageBase;
    return 1;
}

uint32_t CScanVirutCe::Kill(STScanInfo* info, tagScanExParam* param) {
    if (!info || !info->stream || !param || hostEntryRva_ == 0 || !lastSection(param->peHeaders))
        return KILL_FAILED;
    CPEHeander& headers = *param->peHeaders;
    const uint32_t entry = headers.optionalHeader.AddressOfEntryPoint;
    // The stub from the entry point on is zeroed: a host entry point there would be lost.
    if (hostEntryRva_ >= entry) return KILL_FAILED;
    // The sections above the entry point hold the rest of the virus; at least the one with the
    // entry point must remain.
    uint32_t kept = headers.sectionCount;
    while (kept > 0 && entry < headers.sections[kept - 1].VirtualAddress) --kept;
    if (kept == 0) return KILL_FAILED;

    IQEStream* const file = info->stream;
    std::optional<uint64_t> size = streamSize(file);
    if (!size) return KILL_FAILED;
    // The removed sections' raw data must follow the kept sections' and each other's in table
    // order: cutting one out moves what lies behind it, which must not be data still to keep
    // or a section still to cut.
    uint64_t previousEnd = 0;
    for (uint32_t index = 0; index < headers.sectionCount; ++index) {
        const IMAGE_SECTION_HEADER& section = headers.sections[index];
        if (section.SizeOfRawData == 0) continue;
        if (index >= kept && section.PointerToRawData < *size && section.PointerToRawData < previousEnd)
            return KILL_FAILED;
        const uint64_t sectionEnd = uint64_t(section.PointerToRawData) + section.SizeOfRawData;
        previousEnd = index < kept ? std::max(previousEnd, sectionEnd) : sectionEnd;
    }
    const uint32_t stub = rva2raw(entry, info);
    if (stub == 0xFFFFFFFFu) return KILL_FAILED;

    uint32_t imageSize = headers.optionalHeader.SizeOfImage;
    for (uint32_t index = headers.sectionCount; index > kept; --index) {
        const IMAGE_SECTION_HEADER& section = headers.sections[index - 1];
        size = streamSize(file);
        if (!size) return KILL_FAILED;
        if (section.SizeOfRawData != 0 && section.PointerToRawData < *size &&
            !cutStreamRange(file, section.PointerToRawData, section.SizeOfRawData))
            return KILL_FAILED;
        imageSize -= section.VirtualSize;
    }

    // Zeroes the stub up to the end of the section's raw data, as far as the file holds it.
    const IMAGE_SECTION_HEADER& holder = headers.sections[kept - 1];
    size = streamSize(file);
    if (!size) return KILL_FAILED;
    const uint64_t end = std::min<uint64_t>(uint64_t(holder.PointerToRawData) + holder.SizeOfRawData, *size);
    static const uint8_t zeros[kZeroBlock] = {};
    for (uint64_t at = stub; at < end; at += kZeroBlock) {
        if (!writeExactAt(file, at, zeros, uint32_t(std::min<uint64_t>(kZeroBlock, end - at)))) return KILL_FAILED;
    }

    headers.optionalHeader.AddressOfEntryPoint = hostEntryRva_;
    headers.fileHeader.NumberOfSections = uint16_t(kept);
    headers.optionalHeader.SizeOfImage = imageSize;
    hostEntryRva_ = 0;
    return headers.Dump() ? KILL_REPAIRED : KILL_FAILED;
}

uint32_t CScanVirutBad::Scan(STScanInfo* info, tagScanExParam* param) {
    if (!info || !info->stream || !param || !param->emulator) return 0;
    const IMAGE_SECTION_HEADER* last = lastSection(param->peHeaders);
    if (!last || !(last->Characteristics & kExecutableSection)) return 0;
    const CPEHeander& headers = *param->peHeaders;
    const uint32_t entry = headers.optionalHeader.AddressOfEntryPoint;
    const uint32_t span = std::max(last->VirtualSize, last->SizeOfRawData);
    if (entry >= last->VirtualAddress && uint64_t(entry) < uint64_t(last->VirtualAddress) + span) return 0;

    IExecExport& emu = *param->emulator;
    const uint32_t sectionStart = headers.optionalHeader.ImageBase + last->VirtualAddress;
    uint32_t found = 0;
    if (!emu.Search(sectionStart, span, kBadBodyStart, sizeof kBadBodyStart, &found, 1)) return 0;
    uint8_t push[4];
    if (!emu.ReadMemory(found + kBadFramePushAt, push, sizeof push) || loadLe32(push) != kBadFramePush) return 0;
    // The section keeps the host's bytes in front of the body; they must come from the file.
    const uint32_t bodyOffset = found - sectionStart;
    if (bodyOffset == 0 || bodyOffset >= last->SizeOfRawData) return 0;
    bodyRva_ = last->VirtualAddress + bodyOffset;
    return 1;
}

uint32_t CScanVirutBad::Kill(STScanInfo* info, tagScanExParam* param) {
    if (!info || !param || bodyRva_ == 0) return KILL_FAILED;
    IMAGE_SECTION_HEADER* last = lastSection(param->peHeaders);
    if (!last) return KILL_FAILED;
    CPEHeander& headers = *param->peHeaders;
    const uint32_t alignment = headers.optionalHeader.SectionAlignment;
    if (alignment == 0 || bodyRva_ <= last->VirtualAddress) return KILL_FAILED;
    const uint32_t bodyOffset = bodyRva_ - last->VirtualAddress;
    if (bodyOffset >= last->SizeOfRawData) return KILL_FAILED;

    last->VirtualSize = bodyOffset;
    last->SizeOfRawData = bodyOffset;
    const uint64_t aligned = (uint64_t(bodyOffset) + alignment - 1) / alignment * alignment;
    headers.optionalHeader.SizeOfImage = uint32_t(last->VirtualAddress + aligned);
    bodyRva_ = 0;
    return headers.Dump() ? KILL_REPAIRED : KILL_FAILED;
}
