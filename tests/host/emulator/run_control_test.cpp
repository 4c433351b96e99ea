// Run control of the emulator with the call patterns of its callers: stop conditions,
// RunTo kinds, RunWhile's sense, GetImageAddress.
#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "tests/host/emulator/emulator_support.h"

using namespace emutest;
namespace emu = host::emu;

namespace {

constexpr uint32_t kGarbage = 0xDEADBEEF;  // words a caller leaves unset

uint32_t linearIp(IExecExport& x) { return x.GetSegment(qe::EXEC_SEG_CS) * 16 + x.GetIP(); }

// Runs while the next instruction is not INT 21h (reads at CS:IP through the emulator).
int notAtInt21(const void* context) {
    auto& x = *static_cast<IExecExport*>(const_cast<void*>(context));
    uint8_t code[2] = {};
    x.ReadMemory(linearIp(x), code, 2);
    return !(code[0] == 0xCD && code[1] == 0x21);
}

struct IpTarget {
    IExecExport* x;
    uint32_t ip;
};
int ipNotAt(const void* context) {
    auto* t = static_cast<const IpTarget*>(context);
    return t->x->GetIP() != t->ip;
}

TEST(RunWhile, StopsBeforeTheFirstInt21AndAnswersOne) {
    Loaded l(asmProgram("com_int21_walk"));
    IExecExport& x = l.x();
    ASSERT_EQ(x.RunWhile(notAtInt21, &x), 1u);
    EXPECT_EQ(x.GetIP(), 0x108u);
    EXPECT_EQ(x.GetStopStatus(), emu::STATUS_NONE);
    EXPECT_EQ(x.GetRegister(qe::EXEC_REG_EAX) & 0xFFFF, 0x3001u);  // INT 21h not executed yet
    // Standing on it already: the callback is asked before the first instruction.
    EXPECT_EQ(x.RunWhile(notAtInt21, &x), 1u);
    EXPECT_EQ(x.GetIP(), 0x108u);
}

TEST(RunWhile, AnswersZeroWhenSomethingElseEndsTheRun) {
    Loaded l(asmProgram("com_registers"));
    IExecExport& x = l.x();
    EXPECT_EQ(x.RunWhile([](const void*) { return 1; }, nullptr), 0u);
    EXPECT_EQ(x.GetStopStatus(), emu::STATUS_ENDED);
}

TEST(RunWhile, CallbackReadsStateButCannotRun) {
    Loaded l(asmProgram("com_forever"));
    IExecExport& x = l.x();
    struct Probe {
        IExecExport* x = nullptr;
        int calls = 0;
        uint32_t nestedStep = 99, nestedRunTo = 99;
        std::vector<uint32_t> ips;
    } probe;
    probe.x = &x;
    auto callback = [](const void* context) {
        auto* p = static_cast<Probe*>(const_cast<void*>(context));
        p->ips.push_back(p->x->GetIP());
        p->nestedStep = p->x->Step(1);
        p->nestedRunTo = p->x->RunTo(0, 1);
        return int(++p->calls < 4);
    };
    EXPECT_EQ(x.RunWhile(callback, &probe), 1u);
    EXPECT_EQ(probe.ips, (std::vector<uint32_t>{0x100, 0x101, 0x100, 0x101}));
    EXPECT_EQ(probe.nestedStep, 0u);
    EXPECT_EQ(probe.nestedRunTo, 0u);
}

TEST(RunWhile, ReachesATargetIpPastADecryptionLoop) {
    Loaded l(asmProgram("com_decryptor"));
    IExecExport& x = l.x();
    // The body starts 17 bytes in: mov si (3), mov cx (3), xor (3), inc (1), loop (2), jmp (2+?).
    uint32_t body = 0;
    ASSERT_EQ(x.Search(kComEntry, 64, "\xEB", 1, &body, 1), 1u);  // the short jump into the body
    IpTarget target{&x, body - kComEntry + 0x100 + 2};
    ASSERT_EQ(x.RunWhile(ipNotAt, &target), 1u);
    uint8_t decrypted[3] = {};
    ASSERT_EQ(x.ReadMemory(kComEntry + target.ip - 0x100, decrypted, 3), 1u);
    EXPECT_EQ(decrypted[0], 0xB8);
    EXPECT_EQ(decrypted[1], 0x34);
}

TEST(RunToBoundary, FreshEmulatorStandsAtTheEntry) {
    Loaded l(asmProgram("com_decryptor"));
    IExecExport& x = l.x();
    ASSERT_EQ(x.RunTo(1, 0), 1u);
    uint32_t here = 0;
    ASSERT_EQ(x.GetImageAddress(1, 0, &here, nullptr, 0), 1u);
    EXPECT_EQ(here, kComEntry);
}

TEST(RunToBoundary, AfterClearingStopsOnFreshlyWrittenCode) {
    Loaded l(asmProgram("com_decryptor"));
    IExecExport& x = l.x();
    ASSERT_EQ(x.ClearStopConditions(), 1u);
    ASSERT_EQ(x.RunTo(1, 0), 1u);
    uint32_t here = 0, offset = 0;
    ASSERT_EQ(x.GetImageAddress(1, 0, &here, &offset, 0), 1u);
    uint8_t code[3] = {};
    ASSERT_EQ(x.ReadMemory(here, code, 3), 1u);
    EXPECT_EQ(code[0], 0xB8);  // decrypted MOV AX, 1234h, not yet run
    EXPECT_EQ(code[1], 0x34);
    EXPECT_EQ(x.GetRegister(qe::EXEC_REG_EAX) & 0xFFFF, 0u);
    EXPECT_EQ(offset, here - kComEntry);
    // Nothing more is written: the next boundary never comes and the program ends.
    EXPECT_EQ(x.RunTo(1, 0), 0u);
    EXPECT_EQ(x.GetStopStatus(), emu::STATUS_ENDED);
}

TEST(ReturnToEntry, StopsWhereTheVirusRestoredTheHost) {
    Loaded l(asmProgram("com_return_to_entry"));
    IExecExport& x = l.x();
    const uint32_t record[4] = {emu::STOP_RETURN_TO_ENTRY, kGarbage, kGarbage, 0};
    ASSERT_EQ(x.SetStopCondition(record), 1u);
    ASSERT_EQ(x.RunTo(1, 0), 1u);
    EXPECT_EQ(x.GetStopStatus(), emu::STATUS_EVENT);
    uint32_t here = 0;
    ASSERT_EQ(x.GetImageAddress(1, 0, &here, nullptr, 0), 1u);
    EXPECT_EQ(here, kComEntry);
    uint8_t restored[3] = {};
    ASSERT_EQ(x.ReadMemory(here, restored, 3), 1u);
    EXPECT_EQ(restored[0], 0xB8);
    EXPECT_EQ(restored[2], 0x4C);
    ASSERT_EQ(x.ClearStopConditions(), 1u);
    EXPECT_EQ(x.GetStopStatus(), emu::STATUS_NONE);
}

// Step(1) under kind 14, clearing and re-arming on 3 and 7, as an MZ cleaner walks a virus.
TEST(InterruptAndFarNotice, ReportsEachEventOnce) {
    struct Case {
        uint32_t p2;
        std::vector<std::pair<uint32_t, uint32_t>> events;  // (status, IP after the step)
    };
    const Case cases[] = {
        {0, {{3, 0x10A}, {7, 0x10F}, {3, 0x111}, {4, 0x116}}},
        {0x1A, {{7, 0x10F}, {3, 0x111}, {4, 0x116}}},
    };
    for (const Case& c : cases) {
        Loaded l(asmProgram("com_int21_walk"));
        IExecExport& x = l.x();
        const uint32_t record[4] = {emu::STOP_INTERRUPT_OR_FAR, kGarbage, c.p2, 0};
        ASSERT_EQ(x.SetStopCondition(record), 1u);
        std::vector<std::pair<uint32_t, uint32_t>> seen;
        for (int i = 0; i < 20; ++i) {
            x.Step(1);
            const uint32_t status = x.GetStopStatus();
            if (status == 0) continue;
            seen.emplace_back(status, x.GetIP());
            if (status != 3 && status != 7) break;
            x.ClearStopConditions();
            EXPECT_EQ(x.GetStopStatus(), 0u);
            x.SetStopCondition(record);
        }
        EXPECT_EQ(seen, c.events) << "p2 " << c.p2;
    }
}

TEST(Containment, StopsWhenTheIpLeavesTheRange) {
    Loaded l(asmProgram("com_registers"));
    IExecExport& x = l.x();
    const uint32_t record[4] = {emu::STOP_CONTAINMENT, kComEntry, 8, 0};  // the first three instructions
    ASSERT_EQ(x.SetStopCondition(record), 1u);
    EXPECT_EQ(x.Step(3), 1u);
    EXPECT_EQ(x.Step(1), 0u);
    EXPECT_EQ(x.GetStopStatus(), emu::STATUS_CONTAINMENT);
    EXPECT_EQ(x.GetIP(), 0x108u);
}

TEST(Containment, DefaultRangeIsTheImage) {
    Loaded l(asmProgram("com_return_to_entry"));
    IExecExport& x = l.x();
    const uint32_t record[4] = {emu::STOP_CONTAINMENT, 0, 0, 0};
    ASSERT_EQ(x.SetStopCondition(record), 1u);
    EXPECT_EQ(x.Step(8), 1u);  // through the virus and back: every instruction in the image
    EXPECT_EQ(x.GetIP(), 0x100u);
    x.SetIP(0x0);               // into the PSP, outside the image
    EXPECT_EQ(x.Step(1), 0u);
    EXPECT_EQ(x.GetStopStatus(), emu::STATUS_CONTAINMENT);
}

TEST(EventMask, EachFlagReportsItsEvent) {
    struct Case {
        const char* program;
        uint32_t p1, p2, p3;
        uint32_t expectedStatus;
        uint32_t expectedIp;
    };
    const Case cases[] = {
        {"com_int21_walk", 1, 0, 0, emu::STATUS_INTERRUPT, 0x10A},
        {"com_self_modify", 0, 1, 0, emu::STATUS_EVENT, 0x105},
        {"com_decryptor", 0, 0, 1, emu::STATUS_EVENT, 0},  // IP: the decrypted body
    };
    for (const Case& c : cases) {
        Loaded l(asmProgram(c.program));
        IExecExport& x = l.x();
        const uint32_t record[4] = {emu::STOP_EVENT_MASK, c.p1, c.p2, c.p3};
        ASSERT_EQ(x.SetStopCondition(record), 1u);
        EXPECT_EQ(x.Step(1000), 0u) << c.program;
        EXPECT_EQ(x.GetStopStatus(), c.expectedStatus) << c.program;
        if (c.expectedIp) {
            EXPECT_EQ(x.GetIP(), c.expectedIp) << c.program;
        } else {
            uint8_t code = 0;
            x.ReadMemory(linearIp(x), &code, 1);
            EXPECT_EQ(code, 0xB8) << c.program;
        }
        uint32_t info[5] = {};
        EXPECT_EQ(x.GetStopInfo(info), c.expectedStatus);
        EXPECT_EQ(info[2], emu::STOP_EVENT_MASK);
        EXPECT_EQ(info[1], uint32_t(linearIp(x)));
    }
}

TEST(StopConditions, UnknownKindsAreRefused) {
    Loaded l(asmProgram("com_registers"));
    const uint32_t record[4] = {9, 0, 0, 0};
    EXPECT_EQ(l.x().SetStopCondition(record), 0u);
    EXPECT_EQ(l.x().RunTo(2, 0), 0u);
    EXPECT_EQ(l.x().RunTo(4095, 4095), 0u);
    EXPECT_EQ(l.x().GetIP(), 0x100u);
}

// RunTo(0, n) for n = 1, 2, ... inspects every instruction once: the count is absolute.
TEST(RunToCount, IsAnAbsoluteInstructionCount) {
    Loaded l(asmProgram("com_registers"));
    IExecExport& x = l.x();
    ASSERT_EQ(x.Restart(), 1u);
    std::vector<uint32_t> ips;
    for (uint32_t n = 1; n <= 7; ++n) {
        ASSERT_EQ(x.RunTo(0, n), 1u) << n;
        ips.push_back(x.GetIP());
    }
    EXPECT_EQ(ips, (std::vector<uint32_t>{0x103, 0x105, 0x108, 0x109, 0x10A, 0x10D, 0x10F}));
    // Going back: the program is reloaded and run again to the third instruction.
    ASSERT_EQ(x.RunTo(0, 3), 1u);
    EXPECT_EQ(x.GetIP(), 0x108u);
    EXPECT_EQ(x.GetRegister(qe::EXEC_REG_ECX) & 0xFFFF, 0xFFu);  // POP CX not run again
    // Asking past the program's end fails.
    EXPECT_EQ(x.RunTo(0, 100), 0u);
    EXPECT_EQ(x.GetStopStatus(), emu::STATUS_ENDED);
}

TEST(ImageAddress, FollowsJumpChainsFromTheEntry) {
    Loaded l(asmProgram("com_jump_chain"));
    IExecExport& x = l.x();
    const struct {
        uint32_t selector;
        uint32_t result;
        uint32_t target;
    } cases[] = {
        {0, 1, kComEntry}, {1, 1, kComEntry + 0x10}, {2, 1, kComEntry + 0x20},
        {3, 1, 0x20200},   {4, 0, 0},                {17, 0, 0},
    };
    for (const auto& c : cases) {
        uint32_t entry = 0, target = 0;
        EXPECT_EQ(x.GetImageAddress(0, c.selector, &entry, &target, 0), c.result) << c.selector;
        if (c.result) {
            EXPECT_EQ(entry, kComEntry);
            EXPECT_EQ(target, c.target) << c.selector;
        }
    }
    uint32_t a = 0, b = 0;
    EXPECT_EQ(x.GetImageAddress(2, 0, &a, &b, 0), 0u);
    EXPECT_EQ(x.GetImageAddress(1, 1, &a, &b, 0), 0u);
    EXPECT_EQ(x.GetImageAddress(0, 0, &a, &b, 1), 0u);
    ASSERT_EQ(x.Step(3), 1u);
    ASSERT_EQ(x.GetImageAddress(1, 0, &a, &b, 0), 1u);
    EXPECT_EQ(a, 0x20200u);
    EXPECT_EQ(b, 0xFFFFFFFFu);  // no file bytes behind it
    EXPECT_EQ(x.GetIP(), 0x200u);
    EXPECT_EQ(x.GetSegment(qe::EXEC_SEG_CS), 0x2000u);
}

TEST(EntryAddress, IsTheLoadEntry) {
    Loaded l(asmProgram("mz_reloc"));
    uint32_t entry = 0, fromImage = 0;
    ASSERT_EQ(l.x().GetEntryAddress(0, &entry), 1u);
    ASSERT_EQ(l.x().GetImageAddress(0, 0, &fromImage, nullptr, 0), 1u);
    EXPECT_EQ(entry, fromImage);
    EXPECT_EQ(l.x().GetEntryAddress(1, &entry), 0u);
}

}  // namespace
