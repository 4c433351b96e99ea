// Loads a file's bytes as a program into a fresh X86Cpu, the way DOS or Windows would:
//   COM  - PSP at kPspSegment:0, the file at kPspSegment:0100, CS = DS = ES = SS = PSP,
//          SP = FFFE with a zero word on the stack (a RET reaches the PSP's INT 20h).
//   MZ   - PSP at kPspSegment, the load module (the bytes after the header paragraphs, as
//          far as the header's page counts and the file reach) at PSP + 10h with the
//          relocations applied, CS:IP and SS:SP from the header relative to the load
//          segment, DS = ES = PSP.
//   PE32 - headers and sections at ImageBase, flat 32-bit segments from a GDT, FS on a TEB
//          (whose PEB names the image), a 1 MiB stack whose top word returns into the
//          process-exit stub, imports bound to stubs at kStubBase (see ApiStub).
// Real-mode programs see the whole first MiB (plus the HMA); the interrupt table points at
// the host's handlers in kBiosSegment. Nothing of the real machine is reachable.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "host/emulator/x86_cpu.h"

namespace host {

enum class ProgramKind { None, Com, Mz, Pe };

constexpr uint16_t kPspSegment = 0x1000;
constexpr uint16_t kBiosSegment = 0xF000;
constexpr uint32_t kRealMemorySize = 0x110000;
// Offset in kBiosSegment of the host's handler for interrupt n (the vector's value at load).
constexpr uint32_t hostVectorOffset(uint32_t n) { return n * 8; }
constexpr uint32_t kHostHandlersSize = 256 * 8;

// PE address space of the host's own structures.
constexpr uint32_t kStackBase = 0x7FE00000, kStackSize = 0x100000;
constexpr uint32_t kSystemBase = 0x7FFC0000, kSystemSize = 0x20000;
constexpr uint32_t kGdtAddress = kSystemBase;
constexpr uint32_t kStubBase = kSystemBase + 0x1000, kStubSize = 16, kMaxStubs = 0x1000;  // up to +0x11000
constexpr uint32_t kTebAddress = 0x7FFDE000, kPebAddress = 0x7FFDF000;
constexpr uint32_t kBlockArenaSize = 64u << 20;

// What a call into an import stub does. The stub's bytes are real code (MOV EAX, result;
// RET argBytes) for the modelled functions; the emulator ends the run for the others.
enum class ApiAction { Return, ExitProcess, Unmodelled };

struct ApiStub {
    std::string name;  // "KERNEL32.DLL!ExitProcess" or "KERNEL32.DLL!#12" for an ordinal
    uint32_t address = 0;
    ApiAction action = ApiAction::Unmodelled;
};

// Image address range [address, address + length) holds file bytes [fileOffset, ...).
struct FileMapping {
    uint32_t address = 0;
    uint32_t fileOffset = 0;
    uint32_t length = 0;
};

// A word or dword the loader changed after copying file bytes (MZ relocation, bound
// import), so that memory can be written back to the file as it was.
struct LoadPatch {
    uint32_t address = 0;
    uint32_t size = 0;          // 2 (MZ relocation) or 4 (import slot)
    uint32_t original = 0;      // PE: the file's value
    int32_t delta = 0;          // MZ: the value added
};

struct LoadedProgram {
    ProgramKind kind = ProgramKind::None;
    uint32_t entry = 0;       // linear address of the first instruction
    uint16_t entrySegment = 0;  // real mode: CS at load
    uint32_t imageBase = 0;   // COM: file offset 0; MZ: load module; PE: ImageBase
    uint32_t imageStart = 0;  // the loaded image in memory [imageStart, imageEnd)
    uint32_t imageEnd = 0;
    uint32_t blockArena = 0;  // where AllocBlock places blocks
    std::vector<FileMapping> mappings;  // headers first for PE, then sections
    std::vector<LoadPatch> patches;
    std::vector<ApiStub> stubs;         // index i at kStubBase + i * kStubSize
    uint32_t exitStub = 0;              // the return address of a PE entry

    // File offset of a linear address, when file bytes back it.
    bool fileOffsetOf(uint32_t address, uint32_t* offset) const;
    const ApiStub* stubAt(uint32_t address) const;
};

// Recognises the kind from the bytes (MZ signature: PE32 when the NT headers are valid i386
// PE32, otherwise DOS MZ; anything else: COM) and loads it. Null, with kind None, when the
// bytes cannot be loaded (a header beyond the file, an image that does not fit the address
// space, an empty file). A PE image's pages are filled from `file` as they are first touched:
// `file` must stay alive and unchanged until the machine's fillAll (or its end).
std::unique_ptr<X86Cpu> loadProgram(std::span<const uint8_t> file, LoadedProgram* program);

}  // namespace host
