// Virut units found by the post-library scan engine and repaired through the unit it kept.
#include <gtest/gtest.h>

#include "host/emulator/vm.h"
#include "sdk/format_codes.h"
#include "sdk/identifiers.h"
#include "tests/fixtures/virut_infector.h"
#include "tests/fixtures/win32_infectors.h"
#include "tests/support/module_driver.h"

using namespace fixtures::virut;
using fixtures::Bytes;
using fixtures::withBytesOf;

namespace {

constexpr uint32_t kNewCsId = 0x1781B3;
constexpr uint32_t kCeId = 0x188B0E;
constexpr uint32_t kBadId = 0x154E46;

constexpr uint32_t kSizeTotalsAt = fixtures::win32::kPe + 0x1C;  // code / data size totals
constexpr uint32_t kAddedTableEntry = kIdataTableEntry + 40;
constexpr uint32_t kVirtualSizeField = 8, kCharacteristicsField = 36;

support::Outcome scanAndRepair(const Bytes& file) { return support::scanThenKill(file, qe::FORMAT_PE); }

// What an infection leaves in the header that no repair undoes: the size totals and, for the
// section the virus grew, its virtual size and characteristics.
Bytes withGrownIdataOf(const Bytes& clean, const Bytes& infected) {
    Bytes expected = withBytesOf(clean, infected, kSizeTotalsAt, 12);
    expected = withBytesOf(expected, infected, kIdataTableEntry + kVirtualSizeField, 4);
    return withBytesOf(expected, infected, kIdataTableEntry + kCharacteristicsField, 4);
}

Bytes appended(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Runs the infected program in the host's VM: true when it reaches the host's entry point.
bool reachesHostEntry(const Bytes& file) {
    host::FileObject* object = host::FileObject::fromBytes(file);
    IQEVM* vm = nullptr;
    bool reached = false;
    if (host::createVm(nullptr, qe::IID_IQEVM, reinterpret_cast<void**>(&vm)) == QE_OK) {
        IQEStream* stream = nullptr;
        object->QueryInterface(qe::IID_IQEStream, reinterpret_cast<void**>(&stream));
        if (vm->LoadStream(stream) != 0 &&
            vm->AddStopPoint(fixtures::win32::kImageBase + kHostEntryRva, qe::VM_STOP_EXECUTE, 1) != 0)
            reached = vm->Run(qe::VM_RUN_TO_STOP, 0) == qe::VM_STATUS_STOPPED &&
                      vm->GetRegister(qe::VM_REG_EIP) == fixtures::win32::kImageBase + kHostEntryRva;
        stream->Release();
        vm->Release();
    }
    object->Release();
    return reached;
}

// The infections are working programs: the virus runs and hands over to the host, whose
// entry point only its run-time state holds.
TEST(VirutInfections, HandOverToTheHost) {
    EXPECT_TRUE(reachesHostEntry(newCsInfect()));
    for (CeVariant variant : {CeVariant::SectionAdd, CeVariant::SectionXchg, CeVariant::TailAdd, CeVariant::SectionDecoy})
        EXPECT_TRUE(reachesHostEntry(ceInfect(variant).file)) << int(variant);
}

// ---- new cs ----

// The entry point comes back from the stack, the stub and body go from the file (an overlay
// moves down behind the section) and the section's raw size ends where they began.
TEST(VirutNewCs, RoundTripThroughTheKeptUnit) {
    const Bytes clean = fixtures::win32::cleanProgram();
    for (const Bytes& overlay : {Bytes{}, fixtures::win32::filler(3000, 9)}) {
        NewCsOptions options;
        options.overlay = overlay;
        const Bytes infected = newCsInfect(options);
        const auto outcome = scanAndRepair(infected);
        ASSERT_EQ(outcome.finding.virusId, kNewCsId) << overlay.size();
        EXPECT_EQ(outcome.result, KILL_REPAIRED);
        EXPECT_EQ(outcome.bytes, appended(withGrownIdataOf(clean, infected), overlay)) << overlay.size();
    }
}

// The entry point may stand exactly at the end of the last section's virtual size, not a byte
// beyond it.
TEST(VirutNewCs, EntryAtTheSectionsVirtualEndIsExamined) {
    const Bytes clean = fixtures::win32::cleanProgram();
    NewCsOptions atEnd;
    atEnd.idataVirtualSize = 0x400;
    const Bytes infected = newCsInfect(atEnd);
    const auto outcome = scanAndRepair(infected);
    ASSERT_EQ(outcome.finding.virusId, kNewCsId);
    EXPECT_EQ(outcome.result, KILL_REPAIRED);
    EXPECT_EQ(outcome.bytes, withGrownIdataOf(clean, infected));

    NewCsOptions beyond;
    beyond.idataVirtualSize = 0x3FF;
    const Bytes outside = newCsInfect(beyond);
    const auto missed = scanAndRepair(outside);
    EXPECT_FALSE(missed.finding.found());
    EXPECT_EQ(missed.bytes, outside);
}

// The xchg's ModRM/SIB bytes must follow the stub's opening.
TEST(VirutNewCs, SwapBytesBeforeTheOpeningAreNotTheStub) {
    NewCsOptions options;
    options.swapFirst = true;
    const Bytes infected = newCsInfect(options);
    const auto outcome = scanAndRepair(infected);
    EXPECT_FALSE(outcome.finding.found());
    EXPECT_EQ(outcome.bytes, infected);
}

// The repair steps at most 50 instructions to the xchg; a stub that needs more is found but
// left as it is.
TEST(VirutNewCs, StepsToTheSwapAreBounded) {
    const Bytes clean = fixtures::win32::cleanProgram();
    static_assert(newCsStepsToSwap(43) == 50);
    NewCsOptions fifty;
    fifty.spin = 43;
    const Bytes reachable = newCsInfect(fifty);
    const auto repaired = scanAndRepair(reachable);
    ASSERT_EQ(repaired.finding.virusId, kNewCsId);
    EXPECT_EQ(repaired.result, KILL_REPAIRED);
    EXPECT_EQ(repaired.bytes, withGrownIdataOf(clean, reachable));

    NewCsOptions fiftyOne;
    fiftyOne.spin = 44;
    const Bytes tooFar = newCsInfect(fiftyOne);
    const auto failed = scanAndRepair(tooFar);
    ASSERT_EQ(failed.finding.virusId, kNewCsId);
    EXPECT_EQ(failed.result, KILL_FAILED);
    EXPECT_EQ(failed.bytes, tooFar);
}

// An entry point inside the code the repair cuts away would leave a program without its
// start: the file stays as it is.
TEST(VirutNewCs, EntryPointInsideTheVirusIsRefused) {
    NewCsOptions options;
    options.selfEntry = true;
    const Bytes infected = newCsInfect(options);
    const auto outcome = scanAndRepair(infected);
    ASSERT_EQ(outcome.finding.virusId, kNewCsId);
    EXPECT_EQ(outcome.result, KILL_FAILED);
    EXPECT_EQ(outcome.bytes, infected);
}

// ---- ce ----

// The added section goes with its raw data, the stub in .idata's tail is zeroed back to what
// it was, and the header gets the entry point, section count and image size back; the added
// section's table entry stays behind the count.
TEST(VirutCe, RoundTripRemovesTheAddedSection) {
    const Bytes clean = fixtures::win32::cleanProgram();
    for (CeVariant variant : {CeVariant::SectionAdd, CeVariant::SectionXchg, CeVariant::SectionDecoy}) {
        const Bytes infected = ceInfect(variant).file;
        const auto outcome = scanAndRepair(infected);
        ASSERT_EQ(outcome.finding.virusId, kCeId) << int(variant);
        EXPECT_EQ(outcome.result, KILL_REPAIRED) << int(variant);
        Bytes expected = withBytesOf(clean, infected, kSizeTotalsAt, 12);
        expected = withBytesOf(expected, infected, kAddedTableEntry, 40);
        EXPECT_EQ(outcome.bytes, expected) << int(variant);
    }
}

// Data behind the removed section moves down to where the section's raw data began.
TEST(VirutCe, OverlayBehindTheRemovedSectionMovesDown) {
    const Bytes clean = fixtures::win32::cleanProgram();
    const Bytes overlay = fixtures::win32::filler(9000, 4);  // more than two move blocks
    const Bytes infected = appended(ceInfect(CeVariant::SectionAdd).file, overlay);
    const auto outcome = scanAndRepair(infected);
    ASSERT_EQ(outcome.finding.virusId, kCeId);
    EXPECT_EQ(outcome.result, KILL_REPAIRED);
    Bytes expected = withBytesOf(clean, infected, kSizeTotalsAt, 12);
    expected = withBytesOf(expected, infected, kAddedTableEntry, 40);
    EXPECT_EQ(outcome.bytes, appended(expected, overlay));
}

// The stub is zeroed from the entry point on: an entry point recovered there is refused
// before anything is written.
TEST(VirutCe, EntryPointInsideTheStubIsRefused) {
    const Bytes infected = ceInfect(CeVariant::SectionSelfEntry).file;
    const auto outcome = scanAndRepair(infected);
    ASSERT_EQ(outcome.finding.virusId, kCeId);
    EXPECT_EQ(outcome.result, KILL_FAILED);
    EXPECT_EQ(outcome.bytes, infected);
}

// With the entry point in the last section no section goes: the stub and body are zeroed to
// the end of the section's raw data.
TEST(VirutCe, EntryInTheLastSectionOnlyZeroes) {
    const CeInfected infected = ceInfect(CeVariant::TailAdd);
    const auto outcome = scanAndRepair(infected.file);
    ASSERT_EQ(outcome.finding.virusId, kCeId);
    EXPECT_EQ(outcome.result, KILL_REPAIRED);
    Bytes expected = infected.file;
    std::fill(expected.begin() + infected.stubOffset, expected.end(), 0);
    fixtures::put32(expected, fixtures::win32::kEntryAt, kHostEntryRva);
    EXPECT_EQ(outcome.bytes, expected);
}

// A body that never reaches the store runs into the instruction limit: nothing is found.
TEST(VirutCe, EndlessBodyIsNotFound) {
    const Bytes infected = ceInfect(CeVariant::SectionForever).file;
    const auto outcome = scanAndRepair(infected);
    EXPECT_FALSE(outcome.finding.found());
    EXPECT_EQ(outcome.bytes, infected);
}

// ---- bad ----

// The section ends where the body begins again; the body stays in the file behind it.
TEST(VirutBad, RoundTripEndsTheSectionAtTheBody) {
    const Bytes clean = fixtures::win32::cleanProgram();
    const Bytes infected = badInfect();
    const auto outcome = scanAndRepair(infected);
    ASSERT_EQ(outcome.finding.virusId, kBadId);
    EXPECT_EQ(outcome.result, KILL_REPAIRED);
    Bytes expected = withBytesOf(clean, infected, kSizeTotalsAt, 12);
    expected = withBytesOf(expected, infected, kIdataTableEntry + kCharacteristicsField, 4);
    const Bytes body(infected.begin() + kBadBodyOffset, infected.end());
    EXPECT_EQ(outcome.bytes, appended(expected, body));
}

TEST(VirutBad, NeedsAnExecutableSectionAndTheFramePush) {
    for (const Bytes& file : {badInfect(false, true), badInfect(true, false)}) {
        const auto outcome = scanAndRepair(file);
        EXPECT_FALSE(outcome.finding.found());
        EXPECT_EQ(outcome.bytes, file);
    }
}

}  // namespace

namespace {

// ---- hostile files ----

// Infections with a header field or a code dword overwritten: whatever the units make of
// them, a file nothing was found in stays as it was and a kill answers repaired or failed.
TEST(VirutHostile, DamagedInfectionsAreHandledCleanly) {
    struct Damage {
        const char* what;
        Bytes file;
        uint32_t offset, value;
    };
    const Bytes newCs = newCsInfect(), ce = ceInfect(CeVariant::SectionAdd).file, bad = badInfect();
    const uint32_t stub = ceInfect(CeVariant::SectionAdd).stubOffset;
    const Damage damages[] = {
        {"new cs: raw size past the end", newCs, kIdataTableEntry + 16, 0xFFFFFFF0},
        {"new cs: raw pointer past the end", newCs, kIdataTableEntry + 20, 0x7FFFFF00},
        {"new cs: virtual size huge", newCs, kIdataTableEntry + 8, 0xFFFFFFFF},
        {"new cs: saved entry garbage", newCs, kIdataOffset + 0x400 + 0x33, 0xDEADBEEF},
        {"ce: added raw size past the end", ce, kAddedTableEntry + 16, 0xFFFFFFF0},
        {"ce: added raw pointer in front", ce, kAddedTableEntry + 20, 0x400},
        {"ce: added virtual size huge", ce, kAddedTableEntry + 8, 0xFFFFF000},
        {"ce: call far away", ce, stub + 9, 0x7FFF0000},
        {"ce: call to itself", ce, stub + 9, 0xFFFFFFFB},
        {"bad: raw size past the end", bad, kIdataTableEntry + 16, 0xFFFFFFF0},
        {"bad: section alignment 0", bad, fixtures::win32::kPe + 0x38, 0},
    };
    for (const Damage& damage : damages) {
        Bytes file = damage.file;
        fixtures::put32(file, damage.offset, damage.value);
        const auto outcome = scanAndRepair(file);
        if (!outcome.finding.found()) {
            EXPECT_EQ(outcome.bytes, file) << damage.what;
            continue;
        }
        EXPECT_TRUE(outcome.result == KILL_REPAIRED || outcome.result == KILL_FAILED) << damage.what;
    }
}

}  // namespace
