// What the DOS cleaners do with files that are too short, only look like the family, or hold
// anything at all: a clear failure (or the deletion the family defines), never a larger file,
// never a read or write outside the cleaner's buffers (the sanitizer build checks those).
#include <gtest/gtest.h>

#include "sdk/format_codes.h"
#include "sdk/results.h"
#include "tests/fixtures/dos_infectors.h"
#include "tests/fixtures/dos_programs.h"
#include "tests/support/module_driver.h"

namespace {

using fixtures::Bytes;
using namespace fixtures::dos;

TEST(ShortFiles, VoronezhTwinsBothRefuseAFileShorterThanTheirBody) {
    struct Case {
        const char* name;
        uint32_t virusId;
        size_t size;
    } cases[] = {{"Voronezh600 on 599 bytes", 0x3e61, 599}, {"Voronezh650 on 649 bytes", 0x3e62, 649}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes file = makeCom(c.size);
        const auto outcome = support::kill(file, qe::FORMAT_COM, host::KillRequest::byId(c.virusId));
        EXPECT_EQ(outcome.result, KILL_FAILED);
        EXPECT_EQ(outcome.bytes, file);
    }
}

TEST(ShortFiles, BadboyNeedsAHostBehindTheVirus) {
    for (size_t size : {1000u, 999u, 1u}) {
        SCOPED_TRACE(size);
        const Bytes file = pattern(size, 9);
        const auto outcome = support::kill(file, qe::FORMAT_COM, host::KillRequest::byId(0x3dfe));
        EXPECT_EQ(outcome.result, KILL_FAILED);
        EXPECT_EQ(outcome.bytes, file);
    }
}

TEST(Youth555, CodeNotWhereItBelongsMeansDeletion) {
    Bytes infected = infectYouth555(makeCom(1800), 0x33);
    infected[1800 + 512] = 0x90;  // the CALL $+3 that starts the virus's code
    const auto outcome = support::kill(infected, qe::FORMAT_COM, host::KillRequest::byId(0x3dd8));
    EXPECT_EQ(outcome.result, KILL_REMOVED);
    EXPECT_TRUE(outcome.removed);
}

TEST(Youth555, FileTooShortForTheVirusIsNeitherRepairedNorDeleted) {
    const Bytes file = makeCom(555 + 511);
    const auto outcome = support::kill(file, qe::FORMAT_COM, host::KillRequest::byId(0x3dd8));
    EXPECT_EQ(outcome.result, KILL_FAILED);
    EXPECT_FALSE(outcome.removed);
    EXPECT_EQ(outcome.bytes, file);
}

TEST(April10Com, RestoreOffsetMustLieInTheFile) {
    // The saved offset W is the word at 2151 of the body, under the chained XOR: flipping the
    // same bit in the encrypted byte and in the one after it flips only that bit of W.
    const Bytes clean = makeCom(3000);
    Bytes infected = infectApril10Com(clean, 0x37);
    const size_t wordAt = clean.size() + 9 + 2151;
    infected[wordAt + 1] ^= 0x80;  // W += 0x8000: past the end of the file
    infected[wordAt + 2] ^= 0x80;
    const auto outcome = support::kill(infected, qe::FORMAT_COM, host::KillRequest::byId(0x3c80));
    EXPECT_EQ(outcome.result, KILL_FAILED);
    EXPECT_EQ(outcome.bytes, infected);
}

TEST(SgBomber, CleanProgramIsLeftAsItIs) {
    const Bytes clean = makeCom(3000);
    const auto outcome = support::kill(clean, qe::FORMAT_COM, host::KillRequest::byId(0xad54));
    EXPECT_EQ(outcome.result, KILL_FAILED);
    EXPECT_EQ(outcome.bytes, clean);
}

TEST(Bomber, PatchListThatLeavesTheFileFailsWithoutWriting) {
    Bytes infected = infectBomber(makeCom(9000), 1500);
    fixtures::put16(infected, 1500 + 294 + 2714 + 2, 0xFFF0);  // first record's target offset
    const auto outcome = support::kill(infected, qe::FORMAT_COM, host::KillRequest::byId(0xab37));
    EXPECT_EQ(outcome.result, KILL_FAILED);
    EXPECT_EQ(outcome.bytes, infected);
}

// --- every cleaner over files that are not what it expects ---

std::vector<std::pair<std::string, Bytes>> hostileFiles() {
    std::vector<std::pair<std::string, Bytes>> files;
    files.push_back({"empty", {}});
    files.push_back({"one byte", {0xE9}});
    files.push_back({"jump past the end", {0xE9, 0xFF, 0x7F, 0xBD}});
    files.push_back({"jump to itself", {0xE9, 0xFD, 0xFF}});
    files.push_back({"random", pattern(4100, 77)});
    files.push_back({"large random", pattern(70000, 78)});
    files.push_back({"clean COM", makeCom(5000)});
    Bytes mz = makeMz();
    files.push_back({"clean MZ", mz});
    Bytes absurd = mz;
    setMzWord(absurd, 6, 0xFFFF);   // relocation count
    setMzWord(absurd, 8, 0xFFFF);   // header paragraphs
    setMzWord(absurd, 24, 0xFFFF);  // relocation table offset
    setMzWord(absurd, 22, 0xFFFF);  // CS
    setMzWord(absurd, 20, 0xFFFF);  // IP
    files.push_back({"MZ with absurd header", absurd});
    Bytes truncatedMz(mz.begin(), mz.begin() + 30);
    files.push_back({"MZ header only", truncatedMz});
    return files;
}

struct Registered {
    uint32_t format;
    uint32_t virusId;
};

const Registered kRegistered[] = {
    {qe::FORMAT_COM, 0xab37}, {qe::FORMAT_COM, 0x3c80}, {qe::FORMAT_COM, 0x3dfe}, {qe::FORMAT_COM, 0x19cf},
    {qe::FORMAT_COM, 0x3d26}, {qe::FORMAT_COM, 0x3ad9}, {qe::FORMAT_COM, 0x3ddf}, {qe::FORMAT_COM, 0x3df0},
    {qe::FORMAT_COM, 0x3ddd}, {qe::FORMAT_COM, 0x3e61}, {qe::FORMAT_COM, 0x3e62}, {qe::FORMAT_COM, 0x3dd8},
    {qe::FORMAT_COM, 0x3c7e}, {qe::FORMAT_COM, 0xad54}, {qe::FORMAT_COM, 0x3d0e}, {qe::FORMAT_MZ, 0xaba8},
    {qe::FORMAT_MZ, 0x3c82},  {qe::FORMAT_MZ, 0x3c83},  {qe::FORMAT_MZ, 0x3ae4},  {qe::FORMAT_MZ, 0x3de1},
    {qe::FORMAT_MZ, 0x8c9},   {qe::FORMAT_MZ, 0x3dc9},  {qe::FORMAT_MZ, 0x4376},  {qe::FORMAT_MZ, 0x3dd9},
};

TEST(HostileFiles, EveryCleanerAnswersAndNeverGrowsTheFile) {
    for (const auto& [name, file] : hostileFiles()) {
        for (const auto& unit : kRegistered) {
            SCOPED_TRACE(name + " / id " + std::to_string(unit.virusId));
            const auto outcome = support::kill(file, unit.format, host::KillRequest::byId(unit.virusId));
            EXPECT_TRUE(outcome.result == KILL_REPAIRED || outcome.result == KILL_REMOVED ||
                        outcome.result == KILL_FAILED || outcome.result == KILL_REMOVE_FAILED)
                << std::hex << outcome.result;
            EXPECT_LE(outcome.bytes.size(), file.size());
            if (outcome.result == KILL_FAILED && file.size() < 8) {
                EXPECT_EQ(outcome.bytes, file);
            }
        }
    }
}

TEST(HostileFiles, ScanEnginesNeverChangeTheFile) {
    for (const auto& [name, file] : hostileFiles()) {
        for (uint32_t format : {qe::FORMAT_COM, qe::FORMAT_MZ}) {
            SCOPED_TRACE(name);
            const auto outcome = support::scanThenKill(file, format);
            EXPECT_EQ(outcome.finding.virusId, 0u);
            EXPECT_EQ(outcome.bytes, file);
        }
    }
}

}  // namespace
