// Figures of the host emulator: instructions per second (free and under a stop condition),
// one Step, an emulator nobody uses, and loading a 1 MB PE up to its first instruction.
// Times are the CPU time of the measuring thread.
#include <ctime>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "host/emulator/emulator.h"

namespace {

// The thread's CPU time, not wall time: the figures stay meaningful on a shared machine.
struct Clock {
    using time_point = double;
    static double now() {
        timespec t{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
        return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
    }
};

double secondsSince(Clock::time_point start) { return Clock::now() - start; }

// inc ax; jmp short back: a COM program that never ends.
const std::vector<uint8_t> kLoop = {0x40, 0xEB, 0xFD};

void put32(std::vector<uint8_t>& b, size_t at, uint32_t v) { std::memcpy(b.data() + at, &v, 4); }
void put16(std::vector<uint8_t>& b, size_t at, uint16_t v) { std::memcpy(b.data() + at, &v, 2); }

// A PE32 with one 1 MiB code section of NOPs ending in a loop.
std::vector<uint8_t> onePeMegabyte() {
    const uint32_t raw = 1u << 20;
    std::vector<uint8_t> pe(0x400 + raw, 0x90);
    std::memset(pe.data(), 0, 0x400);
    pe[0] = 'M', pe[1] = 'Z';
    put32(pe, 0x3C, 0x80);
    put32(pe, 0x80, 0x00004550);
    put16(pe, 0x84, 0x014C);
    put16(pe, 0x86, 1);
    put16(pe, 0x94, 224);
    put16(pe, 0x96, 0x0102);
    const size_t opt = 0x98;
    put16(pe, opt, 0x010B);
    put32(pe, opt + 16, 0x1000);       // entry
    put32(pe, opt + 28, 0x400000);     // image base
    put32(pe, opt + 32, 0x1000);
    put32(pe, opt + 36, 0x200);
    put32(pe, opt + 56, 0x1000 + raw); // size of image
    put32(pe, opt + 60, 0x400);
    put32(pe, opt + 92, 16);
    const size_t sec = opt + 224;
    std::memcpy(pe.data() + sec, ".text", 5);
    put32(pe, sec + 8, raw);
    put32(pe, sec + 12, 0x1000);
    put32(pe, sec + 16, raw);
    put32(pe, sec + 20, 0x400);
    put32(pe, sec + 36, 0x60000020);
    pe[pe.size() - 2] = 0xEB, pe[pe.size() - 1] = 0xFE;
    return pe;
}

struct Program {
    host::FileObject* file;
    std::unique_ptr<host::Emulator> emu;
    explicit Program(std::vector<uint8_t> bytes)
        : file(host::FileObject::fromBytes(std::move(bytes))), emu(host::Emulator::create(file)) {}
    ~Program() {
        emu.reset();
        file->Release();
    }
};

// Loading a PE and running its first instruction, and the load alone (GetImageBase loads).
void reportPeLoad(const char* label, const std::vector<uint8_t>& pe) {
    const int n = 200;
    double total = 0, load = 0, lifetime = 0;
    for (int i = 0; i < n; ++i) {
        Program p(pe);
        const auto start = Clock::now();
        p.emu->Step(1);
        total += secondsSince(start);
        p.emu.reset();  // closes the engine
        lifetime += secondsSince(start);
    }
    for (int i = 0; i < n; ++i) {
        Program p(pe);
        const auto start = Clock::now();
        (void)p.emu->GetImageBase();
        load += secondsSince(start);
    }
    std::printf("%s %.3f ms (the load alone %.3f ms; with the engine's close %.3f ms)\n", label, total / n * 1e3,
                load / n * 1e3, lifetime / n * 1e3);
}

}  // namespace

// With an argument, only the figures whose label starts with it ("free", "under", "one",
// "unused", "1 MB"), e.g. to profile one of them.
int main(int argc, char** argv) {
    const std::string only = argc > 1 ? argv[1] : "";
    const auto wanted = [&](const char* label) { return std::string(label).rfind(only, 0) == 0; };
    if (wanted("free")) {
        Program p(kLoop);
        const uint32_t n = 50'000'000;
        p.emu->SetStepLimit(n);
        p.emu->Step(1);  // load and translate first
        const auto start = Clock::now();
        p.emu->Step(n - 1);
        std::printf("free run:                 %.1f M instructions/s\n", (n - 1) / secondsSince(start) / 1e6);
    }
    if (wanted("under")) {
        Program p(kLoop);
        const uint32_t n = 50'000'000;
        p.emu->SetStepLimit(n);
        const uint32_t containment[4] = {host::emu::STOP_CONTAINMENT, 0, 0, 0};
        p.emu->SetStopCondition(containment);
        p.emu->Step(1);
        const auto start = Clock::now();
        p.emu->Step(n - 1);
        std::printf("under a stop condition:   %.1f M instructions/s\n", (n - 1) / secondsSince(start) / 1e6);
    }
    if (wanted("one")) {
        Program p(kLoop);
        p.emu->Step(1);
        const int n = 200'000;
        const auto start = Clock::now();
        for (int i = 0; i < n; ++i) p.emu->Step(1);
        std::printf("one Step:                 %.3f us\n", secondsSince(start) / n * 1e6);
    }
    if (wanted("unused")) {
        host::FileObject* file = host::FileObject::fromBytes(kLoop);
        const int n = 200'000;
        const auto start = Clock::now();
        for (int i = 0; i < n; ++i) {
            auto emu = host::Emulator::create(file);
            (void)emu->GetFileSize();
        }
        std::printf("unused emulator:          %.3f us\n", secondsSince(start) / n * 1e6);
        file->Release();
    }
    if (wanted("1 MB")) {
        // The entry block of the NOP image runs to the translator's longest block; a real
        // entry block is a few instructions long, as in the second image.
        std::vector<uint8_t> pe = onePeMegabyte();
        reportPeLoad("1 MB PE load + 1st insn:  ", pe);
        pe[0x400] = 0xEB, pe[0x401] = 0xFE;
        reportPeLoad("  with a short entry block:", pe);
    }
    return 0;
}
