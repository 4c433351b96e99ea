#include "host/emulator/program_loader.h"

#include <unicorn/unicorn.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <strings.h>

namespace host {

namespace {

constexpr uint32_t kPage = 0x1000;
constexpr uint64_t kMaxImageExtent = 256u << 20;  // more than any real program maps
constexpr uint32_t kMaxImportDescriptors = 512;
constexpr uint32_t kMaxThunksPerModule = 4096;

uint32_t alignUp(uint64_t value, uint32_t alignment) {
    return uint32_t((value + alignment - 1) / alignment * alignment);
}

uint16_t le16(std::span<const uint8_t> b, size_t at) {
    return at + 2 <= b.size() ? uint16_t(b[at] | b[at + 1] << 8) : 0;
}
uint32_t le32(std::span<const uint8_t> b, size_t at) {
    return at + 4 <= b.size() ? uint32_t(b[at] | b[at + 1] << 8 | b[at + 2] << 16 | uint32_t(b[at + 3]) << 24) : 0;
}

uint32_t readDword(X86Cpu& cpu, uint32_t address) {
    uint8_t b[4] = {};
    if (cpu.read(address, b, 4) != 4) return 0;
    return uint32_t(b[0] | b[1] << 8 | b[2] << 16 | uint32_t(b[3]) << 24);
}
void writeDword(X86Cpu& cpu, uint32_t address, uint32_t value) {
    uint8_t b[4] = {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16), uint8_t(value >> 24)};
    cpu.write(address, b, 4);
}
void writeWord(X86Cpu& cpu, uint32_t address, uint16_t value) {
    uint8_t b[2] = {uint8_t(value), uint8_t(value >> 8)};
    cpu.write(address, b, 2);
}

// --- Real mode -------------------------------------------------------------------------

// Interrupt table, BIOS stubs, environment and PSP shared by COM and MZ programs.
std::unique_ptr<X86Cpu> openRealMode(uint32_t programEndParagraph) {
    auto cpu = X86Cpu::open(CpuMode::Real16);
    if (!cpu || !cpu->mapReused(0, kRealMemorySize)) return nullptr;
    // Vector n points at the host's handler F000:(n * 8), `INT n; RETF 2`: the INT there is
    // serviced by the host, so a program that hooked a vector and chains to the saved one
    // reaches the host's service, and RETF 2 keeps the flags it answers with. Both tables
    // are written in one piece each.
    uint8_t vectors[256 * 4];
    uint8_t handlers[kHostHandlersSize] = {};
    for (uint32_t n = 0; n < 256; ++n) {
        const uint16_t offset = uint16_t(hostVectorOffset(n));
        const uint8_t vector[4] = {uint8_t(offset), uint8_t(offset >> 8), uint8_t(kBiosSegment), uint8_t(kBiosSegment >> 8)};
        std::memcpy(vectors + n * 4, vector, 4);
        const uint8_t handler[5] = {0xCD, uint8_t(n), 0xCA, 0x02, 0x00};
        std::memcpy(handlers + offset, handler, sizeof handler);
    }
    cpu->write(0, vectors, sizeof vectors);
    cpu->write(uint32_t(kBiosSegment) * 16, handlers, sizeof handlers);
    writeWord(*cpu, 0x413, 640);  // conventional memory in KiB
    // Environment block just below the PSP: one variable and the program's name.
    static const char env[] = "PATH=C:\\\0\0\1\0C:\\HOST.COM";
    const uint32_t envSegment = kPspSegment - 0x10;
    cpu->write(envSegment * 16, env, sizeof env);
    const uint32_t psp = uint32_t(kPspSegment) * 16;
    const uint8_t int20[2] = {0xCD, 0x20};
    cpu->write(psp, int20, 2);
    writeWord(*cpu, psp + 2, uint16_t(std::min<uint32_t>(programEndParagraph, 0xA000)));
    const uint8_t farCall[5] = {0x9A, 0xF0, 0xFE, 0x1D, 0xF0};  // CALL far DOS dispatcher (unused)
    cpu->write(psp + 5, farCall, 5);
    writeWord(*cpu, psp + 0x2C, uint16_t(envSegment));
    const uint8_t int21Retf[3] = {0xCD, 0x21, 0xCB};
    cpu->write(psp + 0x50, int21Retf, 3);
    const uint8_t tail[2] = {0x00, 0x0D};  // empty command tail
    cpu->write(psp + 0x80, tail, 2);
    return cpu;
}

void setRealModeRegisters(X86Cpu& cpu, uint16_t cs, uint16_t ip, uint16_t ss, uint16_t sp, uint16_t ds) {
    cpu.setReg(UC_X86_REG_CS, cs);
    cpu.setReg(UC_X86_REG_IP, ip);
    cpu.setReg(UC_X86_REG_SS, ss);
    cpu.setReg(UC_X86_REG_ESP, sp);
    cpu.setReg(UC_X86_REG_DS, ds);
    cpu.setReg(UC_X86_REG_ES, ds);
    cpu.setReg(UC_X86_REG_FS, 0);
    cpu.setReg(UC_X86_REG_GS, 0);
    // What DOS leaves in the registers at a program's start.
    cpu.setReg(UC_X86_REG_EAX, 0);
    cpu.setReg(UC_X86_REG_EBX, 0);
    cpu.setReg(UC_X86_REG_ECX, 0xFF);
    cpu.setReg(UC_X86_REG_EDX, ds);
    cpu.setReg(UC_X86_REG_ESI, ip);
    cpu.setReg(UC_X86_REG_EDI, sp);
    cpu.setReg(UC_X86_REG_EBP, 0x091C);
    cpu.setReg(UC_X86_REG_EFLAGS, 0x0202);
}

std::unique_ptr<X86Cpu> loadCom(std::span<const uint8_t> file, LoadedProgram* p) {
    // DOS loads at most what fits the segment below the stack.
    const uint32_t length = uint32_t(std::min<size_t>(file.size(), 0xFF00));
    if (length == 0) return nullptr;
    auto cpu = openRealMode(kPspSegment + 0x1000);
    if (!cpu) return nullptr;
    const uint32_t start = uint32_t(kPspSegment) * 16 + 0x100;
    cpu->write(start, file.data(), length);
    writeWord(*cpu, uint32_t(kPspSegment) * 16 + 0xFFFE, 0);
    setRealModeRegisters(*cpu, kPspSegment, 0x100, kPspSegment, 0xFFFE, kPspSegment);
    p->kind = ProgramKind::Com;
    p->entry = p->imageBase = p->imageStart = start;
    p->entrySegment = kPspSegment;
    p->imageEnd = start + length;
    p->mappings.push_back({start, 0, length});
    return cpu;
}

std::unique_ptr<X86Cpu> loadMz(std::span<const uint8_t> file, LoadedProgram* p) {
    if (file.size() < 0x1C) return nullptr;
    const uint32_t headerBytes = uint32_t(le16(file, 8)) * 16;
    if (headerBytes < 0x1C || headerBytes > file.size()) return nullptr;  // header beyond the file
    // Module size from the page counts, clipped to what the file and memory hold.
    const uint32_t pages = le16(file, 4), lastPage = le16(file, 2);
    uint64_t imageBytes = uint64_t(pages) * 512;
    if (lastPage && pages) imageBytes -= 512 - std::min<uint32_t>(lastPage, 512);
    uint64_t moduleBytes = imageBytes > headerBytes ? imageBytes - headerBytes : 0;
    const uint16_t loadSegment = kPspSegment + 0x10;
    const uint32_t start = uint32_t(loadSegment) * 16;
    moduleBytes = std::min<uint64_t>({moduleBytes, file.size() - headerBytes, 0xA0000 - start});
    const uint32_t length = uint32_t(moduleBytes);
    auto cpu = openRealMode(loadSegment + (length + 15) / 16 + le16(file, 10));
    if (!cpu) return nullptr;
    if (length) cpu->write(start, file.data() + headerBytes, length);
    p->kind = ProgramKind::Mz;
    // Relocations: add the load segment to each listed word inside the module.
    const uint32_t relocCount = le16(file, 6), relocTable = le16(file, 0x18);
    for (uint32_t i = 0; i < relocCount; ++i) {
        const size_t at = size_t(relocTable) + size_t(i) * 4;
        if (at + 4 > file.size()) break;
        const uint32_t site = start + uint32_t(le16(file, at + 2)) * 16 + le16(file, at);
        if (site + 2 > start + length) continue;
        uint8_t w[2];
        cpu->read(site, w, 2);
        writeWord(*cpu, site, uint16_t((w[0] | w[1] << 8) + loadSegment));
        p->patches.push_back({site, 2, 0, int32_t(loadSegment)});
    }
    const uint16_t cs = uint16_t(loadSegment + le16(file, 0x16)), ip = le16(file, 0x14);
    const uint16_t ss = uint16_t(loadSegment + le16(file, 0x0E)), sp = le16(file, 0x10);
    setRealModeRegisters(*cpu, cs, ip, ss, sp, kPspSegment);
    p->entry = uint32_t(cs) * 16 + ip;
    p->entrySegment = cs;
    p->imageBase = p->imageStart = start;
    p->imageEnd = start + length;
    if (length) p->mappings.push_back({start, headerBytes, length});
    return cpu;
}

// --- PE32 ------------------------------------------------------------------------------

struct ApiModel {
    const char* name;
    uint16_t argBytes;
    uint32_t result;  // kImageBaseResult: the image base
    ApiAction action;
};
constexpr uint32_t kImageBaseResult = 0xFFFFFFFE;
constexpr uint32_t kCommandLineAddress = kSystemBase + 0x1C000;  // past the last stub, below the TEB

// The functions whose stubs return by themselves. Enough for start-up code to run on; any
// other function ends the run when called.
constexpr ApiModel kApiModels[] = {
    {"ExitProcess", 4, 0, ApiAction::ExitProcess},
    {"ExitThread", 4, 0, ApiAction::ExitProcess},
    {"GetVersion", 0, 0x0A280105, ApiAction::Return},
    {"GetTickCount", 0, 0x00010000, ApiAction::Return},
    {"GetCurrentProcessId", 0, 0x100, ApiAction::Return},
    {"GetCurrentThreadId", 0, 0x104, ApiAction::Return},
    {"GetCurrentProcess", 0, 0xFFFFFFFF, ApiAction::Return},
    {"GetLastError", 0, 0, ApiAction::Return},
    {"SetLastError", 4, 0, ApiAction::Return},
    {"GetModuleHandleA", 4, kImageBaseResult, ApiAction::Return},
    {"GetModuleHandleW", 4, kImageBaseResult, ApiAction::Return},
    {"GetProcAddress", 8, 0, ApiAction::Return},
    {"LoadLibraryA", 4, 0, ApiAction::Return},
    {"LoadLibraryW", 4, 0, ApiAction::Return},
    {"GetCommandLineA", 0, kCommandLineAddress, ApiAction::Return},
    {"GetCommandLineW", 0, kCommandLineAddress + 0x100, ApiAction::Return},
    {"Sleep", 4, 0, ApiAction::Return},
    {"CloseHandle", 4, 1, ApiAction::Return},
    {"IsDebuggerPresent", 0, 0, ApiAction::Return},
    {"MessageBoxA", 16, 1, ApiAction::Return},
    {"MessageBoxW", 16, 1, ApiAction::Return},
    {"GetStartupInfoA", 4, 0, ApiAction::Return},
    {"GetStartupInfoW", 4, 0, ApiAction::Return},
    {"GetSystemTimeAsFileTime", 4, 0, ApiAction::Return},
    {"VirtualAlloc", 16, 0, ApiAction::Return},
    {"VirtualFree", 12, 0, ApiAction::Return},
    {"GetProcessHeap", 0, 0, ApiAction::Return},
};

uint64_t gdtEntry(uint32_t base, uint32_t limit, uint8_t access, uint8_t flags) {
    return (limit & 0xFFFF) | uint64_t(base & 0xFFFFFF) << 16 | uint64_t(access) << 40 |
           uint64_t((limit >> 16) & 0xF) << 48 | uint64_t(flags & 0xF) << 52 | uint64_t(base >> 24) << 56;
}

bool overlaps(uint64_t a, uint64_t aEnd, uint64_t b, uint64_t bEnd) { return a < bEnd && b < aEnd; }

void bindImports(X86Cpu& cpu, uint32_t imageBase, uint32_t importRva, LoadedProgram* p) {
    if (!importRva) return;
    for (uint32_t d = 0; d < kMaxImportDescriptors; ++d) {
        const uint32_t desc = imageBase + importRva + d * 20;
        uint8_t raw[20];
        if (cpu.read(desc, raw, 20) != 20) return;
        const uint32_t lookup = readDword(cpu, desc), nameRva = readDword(cpu, desc + 12),
                       iat = readDword(cpu, desc + 16);
        if (!nameRva && !iat) return;
        char module[64] = {};
        cpu.read(imageBase + nameRva, module, sizeof module - 1);
        const uint32_t names = lookup ? lookup : iat;
        for (uint32_t t = 0; t < kMaxThunksPerModule && p->stubs.size() + 1 < kMaxStubs; ++t) {  // one left for the exit stub
            const uint32_t slot = imageBase + iat + t * 4;
            const uint32_t thunk = readDword(cpu, imageBase + names + t * 4);
            if (!thunk || !cpu.isMapped(slot)) break;
            std::string function;
            if (thunk & 0x80000000u) {
                char ordinal[8];
                std::snprintf(ordinal, sizeof ordinal, "#%u", unsigned(thunk & 0xFFFF));
                function = ordinal;
            } else {
                char name[128] = {};
                cpu.read(imageBase + thunk + 2, name, sizeof name - 1);
                function = name;
            }
            ApiStub stub;
            stub.name = std::string(module) + "!" + function;
            stub.address = kStubBase + uint32_t(p->stubs.size()) * kStubSize;
            uint8_t code[kStubSize];
            std::memset(code, 0xF4, sizeof code);  // never reached: the emulator stops first
            for (const ApiModel& model : kApiModels) {
                if (strcasecmp(model.name, function.c_str()) != 0) continue;
                stub.action = model.action;
                const uint32_t result = model.result == kImageBaseResult ? imageBase : model.result;
                code[0] = 0xB8;  // MOV EAX, result; RET argBytes
                std::memcpy(code + 1, &result, 4);
                code[5] = 0xC2;
                code[6] = uint8_t(model.argBytes);
                code[7] = uint8_t(model.argBytes >> 8);
                break;
            }
            cpu.write(stub.address, code, sizeof code);
            p->patches.push_back({slot, 4, readDword(cpu, slot), 0});
            writeDword(cpu, slot, stub.address);
            p->stubs.push_back(std::move(stub));
        }
    }
}

bool isPe32(std::span<const uint8_t> file, uint32_t* peOffset) {
    const uint32_t pe = le32(file, 0x3C);
    if (uint64_t(pe) + 24 + 96 > file.size()) return false;
    if (le32(file, pe) != 0x00004550 || le16(file, pe + 4) != 0x014C) return false;
    if (le16(file, pe + 20) < 96 || le16(file, pe + 24) != 0x010B) return false;
    *peOffset = pe;
    return true;
}

std::unique_ptr<X86Cpu> loadPe(std::span<const uint8_t> file, uint32_t pe, LoadedProgram* p) {
    const uint32_t opt = pe + 24;
    const uint32_t sectionCount = std::min<uint32_t>(le16(file, pe + 6), 96);
    const uint32_t sectionTable = opt + le16(file, pe + 20);
    const uint32_t entryRva = le32(file, opt + 16), imageBase = le32(file, opt + 28);
    const uint32_t sizeOfImage = le32(file, opt + 56), sizeOfHeaders = le32(file, opt + 60);
    const uint32_t importRva = le32(file, opt + 92) > 1 ? le32(file, opt + 104) : 0;
    if (imageBase < 0x10000 || imageBase % kPage) return nullptr;

    // Extent: the headers and every section, clipped to what a program can sensibly map
    // (a 4 GB SizeOfImage maps nothing beyond its sections).
    struct Section { uint32_t rva, virtualSize, rawSize, rawOffset; };
    std::vector<Section> sections;
    const uint32_t headerBytes = uint32_t(std::min<uint64_t>(sizeOfHeaders ? sizeOfHeaders : kPage, file.size()));
    uint64_t extent = std::max<uint64_t>(headerBytes, kPage);
    for (uint32_t i = 0; i < sectionCount; ++i) {
        const uint32_t at = sectionTable + i * 40;
        if (uint64_t(at) + 40 > file.size()) break;
        Section s{le32(file, at + 12), le32(file, at + 8), le32(file, at + 16), le32(file, at + 20)};
        if (s.rawOffset >= file.size()) s.rawSize = 0;
        s.rawSize = uint32_t(std::min<uint64_t>(s.rawSize, file.size() - std::min<uint64_t>(s.rawOffset, file.size())));
        if (s.rva >= kMaxImageExtent) continue;
        extent = std::max<uint64_t>(extent, uint64_t(s.rva) + std::max(s.virtualSize, s.rawSize));
        sections.push_back(s);
    }
    if (sizeOfImage <= kMaxImageExtent) extent = std::max<uint64_t>(extent, sizeOfImage);
    extent = std::min<uint64_t>(alignUp(extent, kPage), kMaxImageExtent);
    const uint64_t imageEnd = uint64_t(imageBase) + extent;
    if (imageEnd > 0xFFFFF000ull || overlaps(imageBase, imageEnd, kStackBase, kStackBase + kStackSize) ||
        overlaps(imageBase, imageEnd, kSystemBase, kSystemBase + kSystemSize))
        return nullptr;
    uint32_t arena = 0;
    for (uint32_t candidate : {0x60000000u, 0x20000000u, 0x40000000u}) {
        if (!overlaps(imageBase, imageEnd, candidate, uint64_t(candidate) + kBlockArenaSize)) {
            arena = candidate;
            break;
        }
    }

    // The image is zeros with the headers and then each section's file bytes over them, in
    // that order; its pages are filled from the file when first touched.
    const uint32_t headerLength = uint32_t(std::min<uint64_t>(headerBytes, extent));
    std::vector<ImagePiece> pieces{{0, file.data(), headerLength}};
    p->mappings.push_back({imageBase, 0, headerBytes});
    for (const Section& s : sections) {
        const uint32_t room = uint32_t(extent - s.rva);
        const uint32_t length = std::min(s.rawSize, room);
        if (length) pieces.push_back({s.rva, file.data() + s.rawOffset, length});
        // Sections before the headers in the list: a file offset resolves to the section
        // first, the header area only where no section lies.
        if (length) p->mappings.insert(p->mappings.end() - 1, {imageBase + s.rva, s.rawOffset, length});
    }
    auto cpu = X86Cpu::open(CpuMode::Protected32);
    if (!cpu->mapImage(imageBase, extent, std::move(pieces)) || !cpu->mapReused(kStackBase, kStackSize) ||
        !cpu->mapReused(kSystemBase, kSystemSize))
        return nullptr;
    p->kind = ProgramKind::Pe;
    p->imageBase = p->imageStart = imageBase;
    p->imageEnd = uint32_t(imageEnd);
    p->entry = imageBase + entryRva;
    p->blockArena = arena;

    // Flat ring-0 segments and FS on the TEB. SS goes first: loading any segment register
    // before it leaves a 16-bit stack.
    const uint64_t gdt[4] = {0, gdtEntry(0, 0xFFFFF, 0x9B, 0xC), gdtEntry(0, 0xFFFFF, 0x93, 0xC),
                             gdtEntry(kTebAddress, 0xFFF, 0x93, 0x4)};
    cpu->write(kGdtAddress, gdt, sizeof gdt);
    cpu->setGdt(kGdtAddress, sizeof gdt - 1);
    cpu->setReg(UC_X86_REG_SS, 0x10);
    cpu->setReg(UC_X86_REG_CS, 0x08);
    cpu->setReg(UC_X86_REG_DS, 0x10);
    cpu->setReg(UC_X86_REG_ES, 0x10);
    cpu->setReg(UC_X86_REG_GS, 0x10);
    cpu->setReg(UC_X86_REG_FS, 0x18);

    const uint32_t stackTop = kStackBase + kStackSize;
    writeDword(*cpu, kTebAddress + 0x00, 0xFFFFFFFF);  // no exception handler
    writeDword(*cpu, kTebAddress + 0x04, stackTop);
    writeDword(*cpu, kTebAddress + 0x08, kStackBase);
    writeDword(*cpu, kTebAddress + 0x18, kTebAddress);
    writeDword(*cpu, kTebAddress + 0x20, 0x100);
    writeDword(*cpu, kTebAddress + 0x24, 0x104);
    writeDword(*cpu, kTebAddress + 0x30, kPebAddress);
    writeDword(*cpu, kPebAddress + 0x08, imageBase);
    const uint32_t ldr = kPebAddress + 0x100;  // loader data with empty module lists
    writeDword(*cpu, kPebAddress + 0x0C, ldr);
    for (uint32_t list : {0x0Cu, 0x14u, 0x1Cu}) {
        writeDword(*cpu, ldr + list, ldr + list);
        writeDword(*cpu, ldr + list + 4, ldr + list);
    }
    static const char commandLine[] = "C:\\HOST.EXE";
    cpu->write(kCommandLineAddress, commandLine, sizeof commandLine);
    for (uint32_t i = 0; i < sizeof commandLine; ++i) {
        const uint8_t wide[2] = {uint8_t(commandLine[i]), 0};
        cpu->write(kCommandLineAddress + 0x100 + i * 2, wide, 2);
    }

    bindImports(*cpu, imageBase, importRva, p);
    // The entry's return address: a stub that ends the process.
    ApiStub exitStub{"(process exit)", kStubBase + uint32_t(p->stubs.size()) * kStubSize, ApiAction::ExitProcess};
    const uint8_t halt = 0xF4;
    cpu->write(exitStub.address, &halt, 1);
    p->exitStub = exitStub.address;
    p->stubs.push_back(exitStub);

    const uint32_t esp = stackTop - 0x1000 - 4;
    writeDword(*cpu, esp, p->exitStub);
    cpu->setReg(UC_X86_REG_ESP, esp);
    cpu->setReg(UC_X86_REG_EBP, stackTop - 0x1000);
    cpu->setReg(UC_X86_REG_EAX, p->entry);
    cpu->setReg(UC_X86_REG_EBX, kPebAddress);
    cpu->setReg(UC_X86_REG_ECX, 0);
    cpu->setReg(UC_X86_REG_EDX, 0);
    cpu->setReg(UC_X86_REG_ESI, 0);
    cpu->setReg(UC_X86_REG_EDI, 0);
    cpu->setReg(UC_X86_REG_EFLAGS, 0x0202);
    cpu->setReg(UC_X86_REG_EIP, p->entry);
    return cpu;
}

}  // namespace

bool LoadedProgram::fileOffsetOf(uint32_t address, uint32_t* offset) const {
    for (const FileMapping& m : mappings) {
        if (address >= m.address && address - m.address < m.length) {
            *offset = m.fileOffset + (address - m.address);
            return true;
        }
    }
    return false;
}

const ApiStub* LoadedProgram::stubAt(uint32_t address) const {
    if (address < kStubBase || address >= kStubBase + kMaxStubs * kStubSize) return nullptr;
    const uint32_t index = (address - kStubBase) / kStubSize;
    return index < stubs.size() ? &stubs[index] : nullptr;
}

std::unique_ptr<X86Cpu> loadProgram(std::span<const uint8_t> file, LoadedProgram* program) {
    *program = LoadedProgram{};
    std::unique_ptr<X86Cpu> cpu;
    if (file.size() >= 2 && ((file[0] == 'M' && file[1] == 'Z') || (file[0] == 'Z' && file[1] == 'M'))) {
        uint32_t pe = 0;
        cpu = isPe32(file, &pe) ? loadPe(file, pe, program) : loadMz(file, program);
    } else {
        cpu = loadCom(file, program);
    }
    if (!cpu) *program = LoadedProgram{};
    return cpu;
}

}  // namespace host
