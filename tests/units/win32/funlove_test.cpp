// FunLove: found by the post-library engine from the entry code's run into the body and the
// body's fragments near the end of the file, repaired by the kept unit.
#include <gtest/gtest.h>

#include "host/emulator/x86_cpu.h"
#include "tests/fixtures/magistr_funlove.h"
#include "tests/fixtures/win32_infectors.h"
#include "tests/support/module_driver.h"

using namespace fixtures::win32;
using fixtures::Bytes;

namespace {

constexpr uint32_t kFunLoveId = 0x6b69;

Bytes repairedFunLove(const FunLoveInfection& infected) {
    Bytes expected = withAppendedSectionHeaderOf(infected.clean, infected.file);
    expected = fixtures::withBytesOf(expected, infected.file, kSectionCountAt, 2);
    // Whatever lies before the body's start in the appended section stays.
    expected.insert(expected.end(), infected.file.begin() + infected.sectionOffset,
                    infected.file.begin() + infected.bodyOffset);
    return expected;
}

TEST(FunLoveScanKill, PutsTheEntryBytesBackAndCutsTheBody) {
    for (bool withProgramHeader : {true, false}) {
        const FunLoveInfection infected = funLoveInfect(withProgramHeader);
        const auto outcome = support::scanThenKill(infected.file, qe::FORMAT_PE);
        EXPECT_EQ(outcome.finding.virusId, kFunLoveId) << withProgramHeader;
        EXPECT_EQ(outcome.finding.phase, host::Phase::PostLibrary) << withProgramHeader;
        ASSERT_EQ(outcome.result, KILL_REPAIRED) << withProgramHeader;
        EXPECT_EQ(outcome.bytes, repairedFunLove(infected)) << withProgramHeader;
    }
}

// Data behind the body moves the fragments away from where the unit looks for them.
TEST(FunLoveScan, WhatTheUnitLooksAt) {
    const FunLoveInfection base = funLoveInfect(true);
    auto mutated = [&](auto change) {
        Bytes file = base.file;
        change(file);
        return file;
    };
    auto putText = [](Bytes& file, const char* text) {
        for (size_t i = 0; text[i]; ++i) file.at(2 + i) = uint8_t(text[i]);
    };
    struct Case {
        const char* name;
        Bytes file;
        bool found;
    };
    const uint32_t body = base.sectionOffset;
    auto withOverlay = [](Bytes file, size_t length) {
        file.insert(file.end(), length, 0x55);
        return file;
    };
    auto withoutEntryField = [&](Bytes file) {
        fixtures::put32(file, body + kFunLoveEntryField, 0);
        return file;
    };
    const Bytes bare = funLoveInfect(false).file;
    const Case cases[] = {
        {"as infected", base.file, true},
        {"kernel drop, upper case", mutated([&](Bytes& f) { putText(f, "KERNEL32"); }), false},
        {"kernel drop, mixed case", mutated([&](Bytes& f) { putText(f, "kErnel32"); }), false},
        {"kernel text one letter short", mutated([&](Bytes& f) { putText(f, "KERNEL3"); }), true},
        {"5123 bytes", Bytes(base.file.begin(), base.file.begin() + 5123), true},
        {"5122 bytes", Bytes(base.file.begin(), base.file.begin() + 5122), false},
        {"body header's entry point differs",
         mutated([&](Bytes& f) { fixtures::put32(f, body + kFunLoveEntryField, 0x1369); }), false},
        {"body header's signature differs", mutated([&](Bytes& f) { f.at(body + 2) = 0; }), false},
        {"copy code differs", mutated([&](Bytes& f) { f.at(body + kFunLoveCopyCode) ^= 0xFF; }), false},
        {"overlay of 4096 bytes behind the body",
         mutated([&](Bytes& f) { f.insert(f.end(), 4096, 0x55); }), false},
        {"entry code runs elsewhere", mutated([&](Bytes& f) { f.at(0x400 + 4) ^= 0x10; }), false},
        // Fragment C at tail position 841 needs the body's header, at 840 it does not.
        {"C at 841", withOverlay(base.file, 3), true},
        {"C at 841, header without its entry point", withOverlay(withoutEntryField(base.file), 3), false},
        {"C at 840, header without its entry point", withOverlay(withoutEntryField(base.file), 4), true},
        // Without a header: C at 318 has A at the tail's start; at 317 A lies before it.
        {"bare body, C at 318", withOverlay(bare, 9), true},
        {"bare body, C at 317", withOverlay(bare, 10), false},
    };
    for (const Case& c : cases) {
        const auto outcome = support::scanThenKill(c.file, qe::FORMAT_PE);
        EXPECT_EQ(outcome.finding.virusId == kFunLoveId, c.found) << c.name;
    }
}

TEST(FunLoveScan, CleanProgramIsLeftAlone) {
    const Bytes clean = cleanProgram();
    const uint64_t enginesBefore = host::X86Cpu::enginesOpenedOnThisThread();
    const auto outcome = support::scanThenKill(clean, qe::FORMAT_PE);
    EXPECT_NE(outcome.finding.virusId, kFunLoveId);
    EXPECT_EQ(outcome.bytes, clean);
    // The body's fragments are missing from the tail: the entry is never run, so a program
    // without them costs no emulator engine.
    EXPECT_EQ(host::X86Cpu::enginesOpenedOnThisThread(), enginesBefore);
}

}  // namespace
