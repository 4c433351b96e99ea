// Kuku cleaners end to end: samples made by the Kuku fixture builder, found by the scan engines
// and repaired by the kept unit, or repaired through kill method 0x1d.
#include <gtest/gtest.h>

#include "host/emulator/emulator.h"
#include "host/qxbase/file_object.h"
#include "module/units/win32/kuku.h"
#include "tests/fixtures/kuku_infector.h"
#include "tests/fixtures/win32_infectors.h"
#include "tests/support/module_driver.h"

using fixtures::Bytes;
using fixtures::get32;
using fixtures::put32;
using namespace fixtures::kuku;
using fixtures::win32::kPe;
using fixtures::win32::kSectionTableAt;
using fixtures::win32::kSizeOfImageAt;
using fixtures::withBytesOf;

namespace {

constexpr uint32_t kKukuId = 0x153388;
constexpr uint32_t kKukuKoId = 0x17993D;
constexpr uint32_t kKukuKillMethod = 0x1D;
constexpr uint32_t kBodySection = 2;
constexpr uint32_t kBodyEntryAt = kSectionTableAt + kBodySection * 40;

// The body section removed whole: the clean program, except for the size totals and the
// section's table entry, which stay as the virus set them (the count goes back).
Bytes withBodySectionRemoved(const Bytes& clean, const Bytes& infected) {
    Bytes expected = withBytesOf(clean, infected, kPe + 0x1C, 12);
    return withBytesOf(expected, infected, kBodyEntryAt, 40);
}

support::Outcome scanAndKill(const Bytes& file) { return support::scanThenKill(file, qe::FORMAT_PE); }

struct TraceCase {
    const char* name;
    Loader loader;
    Body body;
};

void PrintTo(const TraceCase& c, std::ostream* os) { *os << c.name; }

class KukuTrace : public ::testing::TestWithParam<TraceCase> {};

// Every loader and copy layout the cleaner knows: the entry code comes back and the body
// section goes, through the scan engine's find and through the kill method alike.
TEST_P(KukuTrace, RestoresTheEntryCodeAndRemovesTheBody) {
    const Infected sample = infect(GetParam().loader, GetParam().body);
    const Bytes expected = withBodySectionRemoved(sample.clean, sample.file);

    const auto scanned = scanAndKill(sample.file);
    ASSERT_EQ(scanned.finding.virusId, kKukuId);
    ASSERT_EQ(scanned.result, KILL_REPAIRED);
    EXPECT_EQ(scanned.bytes, expected);

    const auto killed = support::kill(sample.file, qe::FORMAT_PE, host::KillRequest::byMethod(kKukuKillMethod));
    ASSERT_EQ(killed.result, KILL_REPAIRED);
    EXPECT_EQ(killed.bytes, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, KukuTrace,
    ::testing::Values(TraceCase{"ThreadCountedCopy", Loader::JumpRegister, Body::ThreadCounted},
                      TraceCase{"ThreadKeyedCopy", Loader::JumpRegister, Body::ThreadKeyed},
                      TraceCase{"ThreadLoaderLength", Loader::JumpRegister, Body::ThreadLoaderLength},
                      TraceCase{"JumpToRetLoaderLength", Loader::JumpToRet, Body::ThreadLoaderLength},
                      TraceCase{"ShiftLoop", Loader::JumpRegister, Body::ShiftLoop},
                      TraceCase{"ShiftLoopAfterJumpToRet", Loader::JumpToRet, Body::ShiftLoop},
                      TraceCase{"LongSetup", Loader::JumpRegister, Body::LongSetup},
                      TraceCase{"LongSetupAfterJumpToRet", Loader::JumpToRet, Body::LongSetup}),
    [](const ::testing::TestParamInfo<TraceCase>& info) { return info.param.name; });

// The lengths the loader generations imply: the jmp-reg loader's own length, 499 for the
// jump-to-ret generation (longer than its loader, so clean bytes are written over clean bytes).
TEST(KukuTraceLengths, LoaderLengthGenerationsRestoreWhatTheyImply) {
    EXPECT_EQ(infect(Loader::JumpRegister, Body::ThreadLoaderLength).stolenLength, kLoaderLength);
    EXPECT_EQ(infect(Loader::JumpToRet, Body::ThreadLoaderLength).stolenLength, kJumpToRetLength);
}

// A body section with uninitialised space behind its raw data is shortened: its raw data from
// the body's start is cut and VirtualSize, SizeOfRawData and SizeOfImage drop by that much.
TEST(KukuKill, ShortensALastSectionWhoseSizesDiffer) {
    const Infected sample = infect(Loader::JumpRegister, Body::ThreadCounted, 0x1000);
    Bytes expected(sample.file.begin(), sample.file.begin() + kBodyOffset);
    expected = withBytesOf(expected, sample.clean, kEntryOffset, 0x400);
    put32(expected, kBodyEntryAt + 8, get32(sample.file, kBodyEntryAt + 8) - kBodySize);
    put32(expected, kBodyEntryAt + 16, 0);
    put32(expected, kSizeOfImageAt, get32(sample.file, kSizeOfImageAt) - kBodySize);
    ASSERT_EQ(get32(expected, kBodyEntryAt + 8), 0x1000u);

    const auto killed = support::kill(sample.file, qe::FORMAT_PE, host::KillRequest::byMethod(kKukuKillMethod));
    ASSERT_EQ(killed.result, KILL_REPAIRED);
    EXPECT_EQ(killed.bytes, expected);
}

// A loader that never stops looping and a decryptor that never reaches the body: the cleaner
// gives up with its failure and the file stays as it was; the scan does not report them.
TEST(KukuKill, EndlessLoaderOrDecryptorFailsWithoutWriting) {
    for (const Infected& sample :
         {infect(Loader::Forever, Body::ThreadCounted), infect(Loader::JumpRegister, Body::DecryptorForever)}) {
        const auto killed = support::kill(sample.file, qe::FORMAT_PE, host::KillRequest::byMethod(kKukuKillMethod));
        EXPECT_EQ(killed.result, KILL_FAILED);
        EXPECT_EQ(killed.bytes, sample.file);
        EXPECT_NE(scanAndKill(sample.file).finding.virusId, kKukuId);
    }
}

// Without the loader over the entry point (the body left behind in a clean-running program)
// there is nothing the cleaner could repair, so the scan stays silent.
TEST(KukuScan, ReportsOnlyWhatTheCleanerCanRepair) {
    const Infected sample = infect(Loader::JumpRegister, Body::ThreadCounted);
    const Bytes bodyOnly = withBytesOf(sample.file, sample.clean, kEntryOffset, 0x400);
    EXPECT_FALSE(scanAndKill(bodyOnly).finding.found());
    // A last section that is not executable.
    Bytes dataSection = sample.file;
    put32(dataSection, kBodyEntryAt + 36, 0xC0000040);
    EXPECT_NE(scanAndKill(dataSection).finding.virusId, kKukuId);
    // Below the smallest file size the family infects.
    Bytes small = sample.file;
    small.resize(57'855);
    EXPECT_NE(scanAndKill(small).finding.virusId, kKukuId);
}

// --- the x87-jump generation ---

// The stolen bytes the VM finds are written back and the last section is deleted; lengths 1
// and 511 are accepted (bytes of the loader behind a short length stay).
TEST(KukuKoKill, RestoresTheStolenBytesAndDeletesTheBody) {
    const uint32_t loaderLength = uint32_t(infectKo().stolenLength);
    for (uint32_t length : {loaderLength, 1u, 511u}) {
        const Infected sample = infectKo(length);
        Bytes expected = withBodySectionRemoved(sample.clean, sample.file);
        if (length < loaderLength)
            expected = withBytesOf(expected, sample.file, kEntryOffset + length, loaderLength - length);
        const auto outcome = scanAndKill(sample.file);
        ASSERT_EQ(outcome.finding.virusId, kKukuKoId) << length;
        ASSERT_EQ(outcome.result, KILL_REPAIRED) << length;
        EXPECT_EQ(outcome.bytes, expected) << length;
    }
}

// A length of 0 or 512 in the copy code is refused before anything is written.
TEST(KukuKoKill, RefusesLengthsOutsideOneTo511) {
    for (uint32_t declared : {0u, 512u}) {
        const Infected sample = infectKoDeclaring(512, declared);
        const auto outcome = scanAndKill(sample.file);
        ASSERT_EQ(outcome.finding.virusId, kKukuKoId) << declared;
        EXPECT_EQ(outcome.result, KILL_FAILED) << declared;
        EXPECT_EQ(outcome.bytes, sample.file) << declared;
    }
}

// A loader that spins before it enters the body: the VM's run limit ends the run and the
// cleaner fails without writing.
TEST(KukuKoKill, EndlessLoaderFailsWithoutWriting) {
    Infected sample = infectKo();
    sample.file[kEntryOffset] = 0xEB;  // jmp $ over the pushad; the x87 sequence stays in place
    sample.file[kEntryOffset + 1] = 0xFE;
    const auto outcome = scanAndKill(sample.file);
    ASSERT_EQ(outcome.finding.virusId, kKukuKoId);
    EXPECT_EQ(outcome.result, KILL_FAILED);
    EXPECT_EQ(outcome.bytes, sample.file);
}

// The x87 sequence counts only inside the 128 bytes from 32 bytes behind the entry point, and
// starting no later than 119 bytes into them; the last section must be at least 8 KB.
TEST(KukuKoScan, FindsTheX87SequenceOnlyInItsWindow) {
    const Bytes marker = {0xDB, 0x44, 0x24, 0x04, 0xDE, 0xC1, 0xDB, 0x1C, 0x24};
    struct Case {
        int32_t position;  // from entry + 32
        uint32_t sectionSize;
        bool found;
    } cases[] = {{0, 0x2000, true}, {119, 0x2000, true}, {57, 0x2000, true}, {120, 0x2000, false},
                 {-1, 0x2000, false}, {0, 0x1E00, false}};
    for (const Case& c : cases) {
        // The clean entry code ends the program at once; only the bytes matter here.
        fixtures::PeBuilder builder = fixtures::win32::cleanBuilder({.codeSize = 0x400, .codeFillerEnd = 0x400});
        builder.addSection({".kuku", Bytes(c.sectionSize, 0xCC), 0, 0xE0000020});
        Bytes file = builder.build();
        fixtures::putBytes(file, kEntryOffset + 32 + c.position, marker);
        const auto outcome = scanAndKill(file);
        EXPECT_EQ(outcome.finding.virusId == kKukuKoId, c.found) << c.position << " " << c.sectionSize;
    }
}

// --- the fix-up for one known sample ---

// A program whose image reaches 6540A0h (an uninitialised section) and whose file reaches
// 2534A0h; `fileDword` is the file's dword there, `memoryDword` what the program holds.
uint32_t patchedDword(uint32_t fileDword, uint32_t memoryDword, bool fileReachesIt = true) {
    fixtures::PeBuilder builder = fixtures::win32::cleanBuilder();
    builder.addSection({".bss", Bytes(0x200, 0), 0x260000, 0xC0000080});
    Bytes bytes = builder.build();
    put32(bytes, 0x2534A0, fileDword);
    if (!fileReachesIt) bytes.resize(0x2534A2);
    host::FileObject* file = host::FileObject::fromBytes(std::move(bytes));
    uint32_t result = 0xFFFFFFFF;
    {
        auto exec = host::Emulator::create(file);
        uint8_t value[4];
        fixtures::Bytes held(4);
        put32(held, 0, memoryDword);
        EXPECT_EQ(exec->WriteMemory(0x6540A0, held.data(), 4), 1u);
        CScanKuku::PatchSpecificKuKuFile(exec.get(), static_cast<IQEStream*>(file));
        if (exec->ReadMemory(0x6540A0, value, 4) == 1) result = fixtures::get32(Bytes(value, value + 4), 0);
    }
    file->Release();
    return result;
}

TEST(KukuSpecificFile, PutsTheFileDwordWhereTheProgramStillHoldsZero) {
    EXPECT_EQ(patchedDword(0xA1B2C3D4, 0), 0xA1B2C3D4u);
    EXPECT_EQ(patchedDword(0xA1B2C3D4, 0x11111111), 0x11111111u);  // already set: kept
    EXPECT_EQ(patchedDword(0xA1B2C3D4, 0, false), 0u);             // the file ends before it
}

}  // namespace
