#include "module/units/win32/kuku.h"

#include <array>
#include <optional>
#include <span>
#include <vector>

#include "module/toolkit/byte_reader.h"
#include "module/toolkit/emulated_file.h"
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

constexpr int16_t _ = kAnyByte;

constexpr int16_t kFpuMarker[] = {0xDB, 0x44, 0x24, 0x04, 0xDE, 0xC1, 0xDB, 0x1C, 0x24};
constexpr int16_t kCopyTail[] = {0x8B, 0xF8, 0xF3, 0xA4, 0x61};
constexpr int16_t kDeltaPrologue[] = {0xE8, 0x00, 0x00, 0x00, 0x00, 0x5D, 0x81, 0xED};
constexpr int16_t kCallSetup[] = {0x89, 0xAD, _, _, _, _, 0xFF, 0xB5, _, _, _, _,
                                  0x8D, 0x85, _, _, _, _, 0x50, 0x6A, 0x00, 0x6A, 0x00};
constexpr int16_t kFrameEntry[] = {0xC8, 0x00, 0x00, 0x00, 0x8B, 0x6D, 0x08, 0x80, 0xBD};
constexpr int16_t kCountedCopy[] = {0x8B, 0x8D, _, _, _, _, 0x8D, 0xB5, _, _, _, _,
                                    0x8B, 0xBD, _, _, _, _, 0xF3, 0xA4};
constexpr int16_t kKeyedCopy[] = {0x81, 0xF1, _, _, _, _, 0x8D, 0xB5, _, _, _, _,
                                  0x8B, 0xBD, _, _, _, _, 0xF3, 0xA4};
constexpr int16_t kShiftLoop[] = {0xD1, _, 0x2B, _, 0xD1, _, 0x66, _, _, _, _, _, _, _, 0x41, 0x41};
constexpr int16_t kLoopTail[] = {0x74, 0x02, 0xEB, 0xE5};
constexpr int16_t kLongSetup[] = {0x8D, 0x85, _, _, _, _, 0x50, 0x6A, 0x00, 0x89, 0xAD, _, _, _, _, 0xFF,
                                  0xB5, _, _, _, _, 0x8D, 0x85, _, _, _, _, 0x50, 0x6A, 0x00, 0x6A, 0x00};
constexpr int16_t kCountLoad[] = {0x8B, 0x8D, _, _, _, _, 0x49, 0x85, 0xC9};
constexpr int16_t kSourceLoad[] = {0x8D, 0xB5, _, _, _, _, 0x8B, 0xBD, _, _, _, _, 0xF3, 0xA4};
constexpr int16_t kImmediateCopy[] = {0x8D, 0xB5, _, _, _, _, 0xB9, _, _, _, _, 0x8B, _, 0xF3, 0xA4};

uint32_t le32(std::span<const uint8_t> data, size_t at) { return ByteReader(data).u32(at).value_or(0); }

bool hasSections(const tagScanExParam* param) {
    return param && param->peHeaders && param->peHeaders->sections && param->peHeaders->sectionCount > 0;
}

const IMAGE_SECTION_HEADER& lastSection(const CPEHeander& headers) {
    return headers.sections[headers.sectionCount - 1];
}

// --- CScanKuku's trace ---

// The host emulator's step budget for one trace (loader, decryptor and the body's own loop
// together). A million single steps is several times what a decryptor needs for a whole body
// and gives up on one that never ends in about half a second; a budget in the billions would
// keep such a file busy for many minutes.
constexpr uint32_t kTraceStepLimit = 1'000'000;
// What the cleaner repairs: the entry code the loader overwrote is well below this.
constexpr uint32_t kMaxStolenLength = 0x10000;
constexpr uint32_t kBodyToEntry = 0x1116;  // the body's entry lies this far behind its start
constexpr uint32_t kBodyExtent = 0xE000;   // the decryptor runs inside [start, start + this)
constexpr uint32_t kRetJumpLength = 499;   // the loader length of the generation that ends in jmp-to-ret
constexpr int kMaxSkippedCalls = 64;     // in a row, before the trace looks at anything else
constexpr uint32_t kSpecificFileOffset = 0x2534A0, kSpecificAddress = 0x6540A0;

struct StolenBytes {
    uint32_t source = 0;     // emulated address of the plain entry bytes
    uint32_t length = 0;
    uint32_t bodyStart = 0;  // emulated address where the body begins (B)
};

class KukuTracer {
public:
    KukuTracer(IExecExport* exec, uint32_t entry) : exec_(exec), entry_(entry) {}

    // Runs the loader and the body's decryptor and finds the stolen bytes; false on any failure.
    bool run(StolenBytes* out) {
        uint32_t ip2 = 0, bodyEntry = 0, bodyStart = 0;
        if (!traceLoader(&ip2, &bodyEntry, &bodyStart)) return false;
        if (!runToBodyEntry(ip2, bodyEntry, bodyStart)) return false;
        out->bodyStart = bodyStart;
        return locateStolenBytes(bodyEntry, bodyStart, out) && out->source != 0 && out->length != 0 &&
               out->length <= kMaxStolenLength;
    }

private:
    bool step() { return exec_->Step(1) == 1; }
    uint32_t ip() { return exec_->GetIP(); }
    bool read(uint32_t address, void* buffer, uint32_t length) {
        return exec_->ReadMemory(address, buffer, length) == 1;
    }
    std::optional<uint32_t> dword(uint32_t address) {
        uint8_t b[4];
        if (!read(address, b, 4)) return std::nullopt;
        return loadLe32(b);
    }

    static bool isPrefix(uint8_t b) {
        return b == 0x26 || b == 0x2E || b == 0x36 || b == 0x3E || (b >= 0x64 && b <= 0x67) || b == 0xF0 ||
               b == 0xF2 || b == 0xF3;
    }

    // The loader moves values through MMX registers to hide them; the moves become NOPs and the
    // value is carried from the movd-to-MMX to the movd-from-MMX that names the same register.
    bool replaceMmxMove(uint32_t at, const uint8_t code[4]) {
        static const uint8_t nops[3] = {0x90, 0x90, 0x90};
        const uint8_t modrm = code[2];
        const uint32_t mmx = (modrm >> 3) & 7, general = modrm & 7;
        const bool registerForm = (modrm & 0xC0) == 0xC0;
        if (code[1] == 0x6E && registerForm) {
            carried_ = {mmx, exec_->GetRegister(general)};
        } else if (code[1] == 0x7E && registerForm && carried_ && carried_->mmx == mmx) {
            exec_->SetRegister(general, carried_->value);
        }
        return exec_->WriteMemory(at, nops, 3) == 1;
    }

    // Steps through the loader until the transfer that leaves the body's entry A and start B on
    // the stack (A - B = 0x1116, or A begins with a call $+5). Sets M, the length of the loader
    // code, on the way.
    bool traceLoader(uint32_t* ip2, uint32_t* bodyEntry, uint32_t* bodyStart) {
        uint8_t lastByte = 0;
        for (;;) {
            if (!step()) return false;
            uint32_t at = ip();
            uint8_t code[4];
            if (!read(at, code, 4)) return false;
            // API calls through the import table are skipped, their one argument dropped. The
            // instruction behind a call is examined too before it runs (a call it does not skip
            // would leave the image and end the trace).
            for (int calls = 0; code[0] == 0xFF && code[1] == 0x15 && calls < kMaxSkippedCalls; ++calls) {
                at += 6;
                exec_->SetIP(at);
                exec_->SetRegister(qe::EXEC_REG_ESP, exec_->GetRegister(qe::EXEC_REG_ESP) + 4);
                if (!read(at, code, 4)) return false;
            }
            if (code[0] == 0x0F && (code[1] == 0x6E || code[1] == 0x7E)) {
                if (!replaceMmxMove(at, code)) return false;
                continue;
            }
            uint32_t a = at;
            if (isPrefix(code[0])) {
                a = at + 1;
                if (!read(a, code, 4)) return false;
            }
            if (code[0] == 0xFF && code[1] >= 0xE0 && code[1] <= 0xE7) {  // jmp reg
                if (lastByte != 0xC3) loaderLength_ = a + 2 - entry_;
            } else if (code[0] == 0xC3) {
                if (lastByte != 0xC3) loaderLength_ = a + 1 - entry_;
            } else if (code[0] == 0xE9) {
                const auto displacement = dword(a + 1);
                if (!displacement || !read(a + 5 + *displacement, &lastByte, 1)) return false;
                if (lastByte == 0xC3) {
                    // A jump to a ret: the return address and the body's entry are on the stack.
                    const auto first = dword(exec_->GetRegister(qe::EXEC_REG_ESP));
                    const auto second = dword(exec_->GetRegister(qe::EXEC_REG_ESP) + 4);
                    if (!first || !second) return false;
                    loaderLength_ = kRetJumpLength;
                    if (*second - *first != kBodyToEntry) lastByte = 0;
                    continue;
                }
            } else {
                continue;
            }
            if (!step()) return false;
            *ip2 = ip();
            const uint32_t esp = exec_->GetRegister(qe::EXEC_REG_ESP);
            const auto a32 = dword(esp), b32 = dword(esp + 4);
            if (!a32 || !b32) return false;
            const auto atEntry = dword(*a32);
            if (*a32 - *b32 == kBodyToEntry || (atEntry && *atEntry == 0xE8)) {
                *bodyEntry = *a32;
                *bodyStart = *b32;
                return true;
            }
        }
    }

    // The decryptor runs from ip2 inside the body until the body's entry.
    bool runToBodyEntry(uint32_t ip2, uint32_t bodyEntry, uint32_t bodyStart) {
        exec_->SetIP(ip2);
        for (uint32_t at = ip(); at != bodyEntry; at = ip()) {
            if (at - bodyStart >= kBodyExtent) return false;  // below B wraps around too
            if (!step()) return false;
        }
        return true;
    }

    bool locateStolenBytes(uint32_t bodyEntry, uint32_t bodyStart, StolenBytes* out) {
        uint8_t head[64];
        if (!read(bodyEntry, head, sizeof head)) return false;
        if (matchesAt(head, 0, kDeltaPrologue)) return fromThreadData(bodyEntry, head, out);
        const auto shiftLoop = findPattern(head, kShiftLoop);
        const auto loopTail = findPattern(head, kLoopTail);
        if (shiftLoop && loopTail) return fromImmediateCopy(bodyEntry, bodyStart, uint32_t(*loopTail), out);
        return fromLongSetup(bodyEntry, out);
    }

    // Layout 1: the body starts with call $+5 / pop ebp / sub ebp, delta; at +0x169 it starts a
    // thread whose procedure copies from a block {1, length, bytes}.
    bool fromThreadData(uint32_t bodyEntry, const uint8_t head[64], StolenBytes* out) {
        const uint32_t delta = loadLe32(head + 8);
        uint8_t setup[48];
        if (!read(bodyEntry + 0x169, setup, sizeof setup)) return false;
        const auto at = findPattern(std::span<const uint8_t>(setup, 30), kCallSetup);
        if (!at || *at != 2) return false;
        const uint32_t base = bodyEntry + 5 - delta;
        uint8_t proc[256];
        if (!read(base + loadLe32(setup + 16), proc, sizeof proc) || !matchesAt(proc, 0, kFrameEntry)) return false;
        const uint32_t block = base + loadLe32(proc + 9);
        uint8_t flag = 0;
        const auto stored = dword(block + 1);
        if (!read(block, &flag, 1) || flag != 1 || !stored) return false;
        out->source = block + 5;
        out->length = *stored;
        const auto keyed = findPattern(proc, kKeyedCopy);
        if (keyed && !findPattern(proc, kCountedCopy))
            out->length = *stored == 1 ? loaderLength_ : loadLe32(proc + *keyed + 2) ^ *stored;
        return true;
    }

    // Layout 2: a shift-and-xor loop decrypts the bytes in place; the copy behind the loop
    // names them relative to the body's start.
    bool fromImmediateCopy(uint32_t bodyEntry, uint32_t bodyStart, uint32_t loopTail, StolenBytes* out) {
        const uint32_t behindLoop = bodyEntry + loopTail + 4;
        for (uint32_t at = ip(); at != behindLoop; at = ip()) {
            if (at - bodyEntry >= 0x40) return false;
            if (!step()) return false;
        }
        uint8_t code[0x50];
        if (!read(behindLoop, code, sizeof code)) return false;
        const auto copy = findPattern(code, kImmediateCopy);
        if (!copy) return false;
        out->source = bodyStart + le32(code, *copy + 2);
        out->length = le32(code, *copy + 7);
        return true;
    }

    // Layout 3: four instructions set the body's base in EBP; the thread procedure named by the
    // long call setup loads the length and the source relative to it.
    bool fromLongSetup(uint32_t bodyEntry, StolenBytes* out) {
        if (exec_->Step(4) != 1) return false;
        const uint32_t base = exec_->GetRegister(qe::EXEC_REG_EBP);
        std::vector<uint8_t> code(kBodyToEntry);
        if (!read(bodyEntry, code.data(), kBodyToEntry)) return false;
        const auto setup = findPattern(code, kLongSetup);
        if (!setup) return false;
        if (!read(base + le32(code, *setup + 0x17), code.data(), kBodyToEntry)) return false;
        const auto count = findPattern(code, kCountLoad);
        const auto source = findPattern(code, kSourceLoad);
        if (!count || !source) return false;
        const auto length = dword(base + le32(code, *count + 2));
        if (!length) return false;
        out->length = *length;
        out->source = base + le32(code, *source + 2);
        return true;
    }

    struct Carried {
        uint32_t mmx;
        uint32_t value;
    };
    IExecExport* exec_;
    uint32_t entry_;
    uint32_t loaderLength_ = 0;  // M
    std::optional<Carried> carried_;
};

// Restarts the emulator and traces the file to its stolen bytes.
bool traceKuku(IExecExport* exec, const CPEHeander& headers, IQEStream* stream, StolenBytes* out) {
    if (exec->Restart() != 1) return false;
    CScanKuku::PatchSpecificKuKuFile(exec, stream);
    // The trace stays in the image: leaving it (an API call the trace did not skip) fails.
    const uint32_t containment[4] = {qe::EXEC_STOP_CONTAINMENT, 0, 0, 0};
    exec->SetStepLimit(kTraceStepLimit);
    exec->SetStopCondition(containment);
    const uint32_t entry = headers.optionalHeader.ImageBase + headers.optionalHeader.AddressOfEntryPoint;
    exec->SetIP(entry);
    return KukuTracer(exec, entry).run(out) || endedShort(*exec, false);
}

// What cutting the body changes, worked out before anything is written.
struct BodyCut {
    bool wholeSection = false;
    uint32_t offset = 0, length = 0;
};

// The body must start inside the last section's raw data: a body found anywhere else leaves
// the last section to the host program, and nothing is repaired.
bool planBodyCut(IExecExport* exec, const IMAGE_SECTION_HEADER& last, uint32_t bodyStart, BodyCut* cut) {
    const uint64_t sectionEnd = uint64_t(last.PointerToRawData) + last.SizeOfRawData;
    uint32_t bodyOffset = 0;
    if (exec->AddressToFileOffset(bodyStart, &bodyOffset) != 1) return false;
    if (bodyOffset < last.PointerToRawData || bodyOffset >= sectionEnd) return false;
    if (last.VirtualSize == last.SizeOfRawData)
        *cut = {true, last.PointerToRawData, last.SizeOfRawData};
    else
        *cut = {false, bodyOffset, uint32_t(sectionEnd - bodyOffset)};
    return true;
}

uint32_t saturatingSub(uint32_t a, uint32_t b) { return a > b ? a - b : 0; }

uint32_t killKuku(STScanInfo* info, tagScanExParam* param) {
    if (!info || !info->stream || !hasSections(param) || !param->emulator) return KILL_FAILED;
    IExecExport* exec = param->emulator;
    CPEHeander& headers = *param->peHeaders;
    StolenBytes stolen;
    if (!traceKuku(exec, headers, info->stream, &stolen)) return KILL_FAILED;

    IMAGE_SECTION_HEADER& last = headers.sections[headers.sectionCount - 1];
    BodyCut cut;
    if (!planBodyCut(exec, last, stolen.bodyStart, &cut)) return KILL_FAILED;
    std::vector<uint8_t> bytes(stolen.length);
    if (exec->ReadMemory(stolen.source, bytes.data(), stolen.length) != 1) return KILL_FAILED;
    const uint32_t entry = headers.optionalHeader.ImageBase + headers.optionalHeader.AddressOfEntryPoint;
    uint32_t entryOffset = 0;
    const uint32_t fileSize = exec->GetFileSize();
    // The entry code is put back inside the file; it never grows it.
    if (exec->AddressToFileOffset(entry, &entryOffset) != 1 || fileSize == 0xFFFFFFFF ||
        !rangeInside(entryOffset, stolen.length, fileSize))
        return KILL_FAILED;
    if (!writeFile(*exec, bytes.data(), entryOffset, stolen.length)) return KILL_FAILED;

    if (exec->CutFile(cut.offset, cut.length) != 1) return KILL_FAILED;
    if (cut.wholeSection) {
        headers.fileHeader.NumberOfSections--;
        headers.optionalHeader.SizeOfImage = saturatingSub(headers.optionalHeader.SizeOfImage, last.SizeOfRawData);
    } else {
        last.VirtualSize = saturatingSub(last.VirtualSize, cut.length);
        last.SizeOfRawData -= cut.length;
        headers.optionalHeader.SizeOfImage = saturatingSub(headers.optionalHeader.SizeOfImage, cut.length);
    }
    return headers.Dump() ? KILL_REPAIRED : KILL_FAILED;
}

}  // namespace

// --- CScanKUKU_ko ---

uint32_t CScanKUKU_ko::Scan(STScanInfo* info, tagScanExParam* param) {
    if (!info || !info->stream || !hasSections(param)) return 0;
    if (lastSection(*param->peHeaders).VirtualSize < 8192) return 0;
    const uint32_t entryOffset = rva2raw(param->peHeaders->optionalHeader.AddressOfEntryPoint, info);
    if (entryOffset == 0xFFFFFFFF) return 0;
    uint8_t window[128] = {};
    readAt(info->stream, uint64_t(entryOffset) + 32, window, sizeof window);  // a short read leaves zeros
    return quickSearch(window, kFpuMarker, sizeof window - std::size(kFpuMarker)) ? 1 : 0;
}

uint32_t CScanKUKU_ko::Kill(STScanInfo* info, tagScanExParam* param) {
    if (!info || !info->stream || !hasSections(param)) return KILL_FAILED;
    InterfacePtr<IQEVM> vm = createHostVm(info->rot);
    if (!vm) return KILL_FAILED;
    const uint32_t imageBase = vm->LoadStream(info->stream);
    if (imageBase == 0) return KILL_FAILED;
    const IMAGE_SECTION_HEADER& last = lastSection(*param->peHeaders);
    if (vm->AddStopPoint(imageBase + last.VirtualAddress, qe::VM_STOP_RANGE_ENTRY, last.SizeOfRawData) == 0)
        return KILL_FAILED;
    // Three entries into the body (two calls, then the jump the x87 code computes), and six
    // instructions of the body's entry code that set ESI to the body's base.
    if (const uint32_t status = vm->Run(qe::VM_RUN_RANGE_ENTRIES, 3); status != qe::VM_STATUS_STOPPED)
        return vmEndedShort(status, KILL_FAILED);
    for (int i = 0; i < 6; ++i)
        if (const uint32_t status = vm->Run(qe::VM_RUN_STEP, 0); status != qe::VM_STATUS_STOPPED)
            return vmEndedShort(status, KILL_FAILED);
    const uint32_t base = vm->GetRegister(qe::EXEC_REG_ESI);
    uint8_t code[256] = {};
    vm->ReadMemory(vm->GetRegister(qe::VM_REG_EIP) + 544, code, sizeof code);  // unmapped bytes stay zero
    // mov ecx, length; add esi, offset; mov edi, eax; rep movsb; popad
    const auto tail = quickSearch(code, kCopyTail, sizeof code - std::size(kCopyTail));
    if (!tail || *tail < 12) return KILL_FAILED;
    const uint32_t offset = le32(code, *tail - 4), length = le32(code, *tail - 10);
    if (length < 1 || length > 511) return KILL_FAILED;
    uint8_t stolen[511];
    if (vm->ReadMemory(base + offset, stolen, length) != length) return KILL_FAILED;

    const uint32_t entryOffset = rva2raw(param->peHeaders->optionalHeader.AddressOfEntryPoint, info);
    uint32_t sizeLow = 0, sizeHigh = 0;
    if (entryOffset == 0xFFFFFFFF || info->stream->GetSize(&sizeLow, &sizeHigh) < 0) return KILL_FAILED;
    if (sizeHigh == 0 && !rangeInside(entryOffset, length, sizeLow)) return KILL_FAILED;  // never grow the file
    if (!writeExactAt(info->stream, entryOffset, stolen, length)) return KILL_FAILED;
    return DeleteLastSection(info, param) ? KILL_REPAIRED : KILL_FAILED;
}

// --- CScanKuku ---

void CScanKuku::PatchSpecificKuKuFile(IExecExport* exec, IQEStream* stream) {
    if (!exec || !stream) return;
    uint8_t fromFile[4], inMemory[4];
    if (!readExactAt(stream, kSpecificFileOffset, fromFile, 4)) return;
    if (exec->ReadMemory(kSpecificAddress, inMemory, 4) != 1) return;
    if (loadLe32(inMemory) == 0 && loadLe32(fromFile) != 0) exec->WriteMemory(kSpecificAddress, fromFile, 4);
}

uint32_t CScanKuku::Scan(STScanInfo* info, tagScanExParam* param) {
    if (!info || !info->stream || !hasSections(param) || !param->emulator) return 0;
    IExecExport* exec = param->emulator;
    const uint32_t fileSize = exec->GetFileSize();
    if (fileSize < 57'856 || fileSize > 21'028'864) return 0;
    const IMAGE_SECTION_HEADER& last = lastSection(*param->peHeaders);
    if (!(last.Characteristics & 0x20000000) || last.SizeOfRawData < 57'344) return 0;
    if (last.PointerToRawData >= fileSize) return 0;

    // The body's decryptor begins with the delta prologue; the section is searched in 64 KB
    // blocks that overlap by the prologue's length less one.
    constexpr uint32_t kBlock = 0x10000, kOverlap = std::size(kDeltaPrologue) - 1;
    const uint32_t end = uint32_t(std::min<uint64_t>(uint64_t(last.PointerToRawData) + last.SizeOfRawData, fileSize));
    std::vector<uint8_t> block(kBlock);
    bool found = false;
    for (uint32_t at = last.PointerToRawData; at < end && !found; at += kBlock - kOverlap) {
        const uint32_t length = std::min(kBlock, end - at);
        const uint32_t got = exec->ReadFile(block.data(), at, length);
        found = findPattern(std::span<const uint8_t>(block.data(), got), kDeltaPrologue).has_value();
        if (at + length >= end) break;
    }
    if (!found) return 0;
    StolenBytes stolen;
    const bool repairable = traceKuku(exec, *param->peHeaders, info->stream, &stolen);
    exec->Restart();  // the units after this one see the program as loaded
    return repairable ? 1 : 0;
}

uint32_t CScanKuku::Kill(STScanInfo* info, tagScanExParam* param) { return killKuku(info, param); }

uint32_t CKillKukuKill::Kill(STScanInfo* info, tagScanExParam* param) {
    if (!info || !info->stream || !param || !param->peHeaders) return KILL_FAILED;
    CScanKuku cleaner;
    return cleaner.Kill(info, param);
}
