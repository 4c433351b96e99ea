// Parite and Resur cleaners through the kill engine and the host's emulator.
#include <gtest/gtest.h>

#include <array>

#include "module/units/win32/parite.h"
#include "tests/fixtures/win32_infectors.h"
#include "tests/support/module_driver.h"

using namespace fixtures::win32;
using fixtures::Bytes;
using fixtures::get32;
using fixtures::put32;
using fixtures::withBytesOf;

namespace {

struct PariteCase {
    const char* name;
    PariteVariant variant;
    uint32_t id;
    CleanOptions program;
};

class PariteRoundTrip : public testing::TestWithParam<PariteCase> {};

// The virus starts at the entry of its section, which is where this host reports both the virus
// start and (at load) the running virus. Variants a and d keep the entry as they find it, so the
// repaired program still enters at the address where the virus began.
TEST_P(PariteRoundTrip, RestoresThunksEntryAndCutsTheSection) {
    const PariteCase& c = GetParam();
    PariteInfection infection;
    infection.variant = c.variant;
    infection.program = c.program;
    const Bytes clean = cleanProgram(c.program);
    const Bytes infected = pariteInfect(infection);
    ASSERT_NE(get32(infected, kernelThunkOffset(c.program)), get32(clean, kernelThunkOffset(c.program)));

    const auto outcome = support::kill(infected, qe::FORMAT_PE, host::KillRequest::byId(c.id));
    ASSERT_EQ(outcome.result, KILL_REPAIRED);
    Bytes expected = withAppendedSectionHeaderOf(clean, infected);
    if (c.variant == PariteVariant::A || c.variant == PariteVariant::D)
        expected = withBytesOf(expected, infected, kEntryAt, 4);
    EXPECT_EQ(outcome.bytes, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Variants, PariteRoundTrip,
    testing::Values(PariteCase{"a", PariteVariant::A, 0x3f0f, {}},
                    PariteCase{"b", PariteVariant::B, 0x3eab, {}},
                    PariteCase{"c", PariteVariant::C, 0x3ead, {}},
                    PariteCase{"d", PariteVariant::D, 0x13ca4, {}},
                    PariteCase{"b_upper_case_name", PariteVariant::B, 0x3eab, {"KERNEL32.DLL", true}},
                    PariteCase{"b_mixed_case_name", PariteVariant::B, 0x3eab, {"Kernel32.Dll", true}},
                    PariteCase{"c_address_table_only", PariteVariant::C, 0x3ead, {"kernel32.dll", false}},
                    PariteCase{"a_address_table_only", PariteVariant::A, 0x3f0f, {"kernel32.dll", false}}),
    [](const testing::TestParamInfo<PariteCase>& info) { return std::string(info.param.name); });

// A module name that only begins with KERNEL32.DLL is another module: the walk reaches the end
// of the import table without a match and the file keeps its thunks (the header is not touched).
TEST(PariteKill, LongerModuleNameDoesNotMatch) {
    PariteInfection infection;
    infection.variant = PariteVariant::B;
    infection.program.kernelName = "kernel32.dllx";
    const Bytes infected = pariteInfect(infection);
    const auto outcome = support::kill(infected, qe::FORMAT_PE, host::KillRequest::byId(0x3eab));
    EXPECT_EQ(outcome.result, KILL_FAILED);
    EXPECT_EQ(outcome.bytes, infected);
}

// A host whose virus start is its own entry in its own code (the virus did not take the entry)
// would be cut into its own sections: refused, the file stays as it is.
TEST(PariteKill, CutIntoTheProgramsOwnSectionsIsRefused) {
    PariteInfection infection;
    infection.variant = PariteVariant::A;
    Bytes infected = pariteInfect(infection);
    put32(infected, kEntryAt, kCodeRva);
    const auto outcome = support::kill(infected, qe::FORMAT_PE, host::KillRequest::byId(0x3f0f));
    EXPECT_EQ(outcome.result, KILL_FAILED);
    EXPECT_EQ(outcome.bytes, infected);
}

// Hostile import directories: outside the image, or a table cut off by the end of the file.
TEST(PariteKill, ImportDirectoryOutsideTheFileFails) {
    PariteInfection infection;
    infection.variant = PariteVariant::B;
    for (uint32_t rva : {0x7FFF0000u, 0xFFFFFFF0u}) {
        Bytes infected = pariteInfect(infection);
        put32(infected, kImportDirAt, rva);
        const auto outcome = support::kill(infected, qe::FORMAT_PE, host::KillRequest::byId(0x3eab));
        EXPECT_EQ(outcome.result, KILL_FAILED) << std::hex << rva;
    }
}

TEST(PariteKill, CutOffBodyFails) {
    PariteInfection infection;
    infection.variant = PariteVariant::C;
    Bytes infected = pariteInfect(infection);
    infected.resize(infected.size() - 0x200 + 20);  // the data block is cut off at byte 20
    const auto outcome = support::kill(infected, qe::FORMAT_PE, host::KillRequest::byId(0x3ead));
    EXPECT_NE(outcome.result, KILL_REPAIRED);
}

// The heap layout: each insert moves smaller parents down; ties stay.
TEST(PariteEnCodeHeap, BuildsTheMaxHeapInInsertOrder) {
    struct Case {
        std::vector<uint8_t> inserts;
        std::vector<uint8_t> layout;
    };
    const Case cases[] = {
        {{5}, {5}},
        {{1, 2}, {2, 1}},
        {{1, 2, 3}, {3, 1, 2}},
        {{3, 3, 3}, {3, 3, 3}},
        {{1, 5, 3, 7}, {7, 5, 3, 1}},
        {{9, 1, 1, 2, 8}, {9, 8, 1, 1, 2}},
    };
    for (const Case& c : cases) {
        std::array<uint8_t, 16> heap{};
        int32_t count = 0;
        for (uint8_t v : c.inserts) PariteEnCode(heap, v, count);
        EXPECT_EQ(count, int32_t(c.inserts.size()));
        EXPECT_EQ(std::vector<uint8_t>(heap.begin(), heap.begin() + c.layout.size()), c.layout);
    }
    // A full heap takes no more.
    std::array<uint8_t, 16> heap{};
    int32_t count = 0;
    for (int i = 0; i < 20; ++i) PariteEnCode(heap, uint8_t(i), count);
    EXPECT_EQ(count, 16);
}

// Sixteen equal key bytes give four equal dwords, which cancel: the saved entry is used as it is.
TEST(PariteKill, EqualKeysLeaveTheSavedEntry) {
    PariteInfection infection;
    infection.variant = PariteVariant::C;
    for (uint8_t& k : infection.keys) k = 0x5A;
    EXPECT_EQ(pariteKeyXor(infection.keys), 0u);
    const Bytes clean = cleanProgram();
    const Bytes infected = pariteInfect(infection);
    const auto outcome = support::kill(infected, qe::FORMAT_PE, host::KillRequest::byId(0x3ead));
    ASSERT_EQ(outcome.result, KILL_REPAIRED);
    EXPECT_EQ(get32(outcome.bytes, kEntryAt), kCodeRva);
    EXPECT_EQ(outcome.bytes, withAppendedSectionHeaderOf(clean, infected));
}

struct ResurCase {
    const char* name;
    ResurVariant variant;
    uint32_t id;
};

class ResurBlanking : public testing::TestWithParam<ResurCase> {};

// Resur a to d get the entry point and the import directory back and their body zeroed in
// place; the file keeps its length and the virus's section.
TEST_P(ResurBlanking, RestoresHeaderFieldsAndZeroesTheBody) {
    const ResurCase& c = GetParam();
    const Bytes clean = cleanProgram();
    const ResurInfected infected = resurInfect(c.variant);
    const auto outcome = support::kill(infected.file, qe::FORMAT_PE, host::KillRequest::byId(c.id));
    ASSERT_EQ(outcome.result, KILL_REPAIRED);

    const ResurLayout layout = resurLayout(c.variant);
    Bytes expected = infected.file;
    put32(expected, kEntryAt, kCodeRva);
    put32(expected, kImportDirAt, kImportRva);
    if (c.variant == ResurVariant::D) {
        put32(expected, kImageBaseAt, kImageBase);
        put32(expected, kRelocDirAt, 0);
    }
    std::fill_n(expected.begin() + (infected.bodyOffset - layout.wipeBefore), layout.wipeBefore + layout.wipeLength, 0);
    EXPECT_EQ(outcome.bytes, expected);
    // Everything of the program before the virus's section is the clean program again, but for
    // the header values of the section, which stays (the section count included).
    EXPECT_EQ(Bytes(outcome.bytes.begin(), outcome.bytes.begin() + clean.size()),
              withBytesOf(withAppendedSectionHeaderOf(clean, infected.file), infected.file, kSectionCountAt, 2));
}

INSTANTIATE_TEST_SUITE_P(Variants, ResurBlanking,
                         testing::Values(ResurCase{"a", ResurVariant::A, 0x51dd},
                                         ResurCase{"b", ResurVariant::B, 0x52b5},
                                         ResurCase{"c", ResurVariant::C, 0x52b6},
                                         ResurCase{"d", ResurVariant::D, 0x5318}),
                         [](const testing::TestParamInfo<ResurCase>& info) { return std::string(info.param.name); });

TEST(ResurKill, VariantERestoresTheSavedHeadersAndCutsTheSection) {
    const ResurInfected infected = resurInfect(ResurVariant::E);
    const auto outcome = support::kill(infected.file, qe::FORMAT_PE, host::KillRequest::byId(0x14b6d));
    ASSERT_EQ(outcome.result, KILL_REPAIRED);
    EXPECT_EQ(outcome.bytes, cleanProgram());
}

// Saved headers that name as many sections as the infected file has leave no section of the
// virus to cut: refused before anything is written.
TEST(ResurKill, VariantEWithoutAVirusSectionIsRefused) {
    ResurInfected infected = resurInfect(ResurVariant::E);
    const uint32_t saved = infected.bodyOffset + 74284;
    fixtures::put16(infected.file, saved + 6, 3);
    const auto outcome = support::kill(infected.file, qe::FORMAT_PE, host::KillRequest::byId(0x14b6d));
    EXPECT_EQ(outcome.result, KILL_FAILED);
    EXPECT_EQ(outcome.bytes, infected.file);
}

// A body cut off before its saved fields cannot be read: nothing is written.
TEST(ResurKill, CutOffBodyFailsWithoutWriting) {
    ResurInfected infected = resurInfect(ResurVariant::A);
    const ResurLayout layout = resurLayout(ResurVariant::A);
    infected.file.resize(infected.bodyOffset + layout.importOffset - 0x400);
    const auto outcome = support::kill(infected.file, qe::FORMAT_PE, host::KillRequest::byId(0x51dd));
    EXPECT_NE(outcome.result, KILL_REPAIRED);
    EXPECT_EQ(outcome.bytes, infected.file);
}

}  // namespace
