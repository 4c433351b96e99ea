// The generic repairs asked for by number, end to end: the host sends a special-method kill request with its
// parameter to the module's kill engine, with the real emulator, and the repaired file must be
// the clean program byte for byte.
#include <gtest/gtest.h>

#include <string>

#include "module/toolkit/pe_header.h"
#include "module/units/generic/numbered_repairs.h"
#include "sdk/format_codes.h"
#include "tests/fixtures/emulator_pe.h"
#include "tests/fixtures/numbered_repairs.h"
#include "tests/fixtures/pe_builder.h"
#include "tests/support/module_driver.h"
#include "tests/support/unit_harness.h"

namespace {

using fixtures::Bytes;

class SpecialKills : public ::testing::Test {
protected:
    static host::KillRequest special(uint32_t method, uint32_t parameter) {
        return host::KillRequest::special(method, parameter);
    }
    // Runs the repair on a fresh copy of `bytes`; returns the result and the bytes after it.
    static uint32_t repair(const Bytes& bytes, uint32_t method, uint32_t parameter, Bytes* after,
                           bool* removed = nullptr, uint32_t format = qe::FORMAT_PE) {
        const support::Outcome outcome = support::kill(bytes, format, special(method, parameter), "");
        *after = outcome.bytes;
        if (removed) *removed = outcome.removed;
        return outcome.result;
    }
};

// --- 1: prepended body ---

TEST_F(SpecialKills, MiserCutsThePrependedBody) {
    const auto c = fixtures::prependedBody(fixtures::specialCleanProgram(0x1400));
    Bytes after;
    EXPECT_EQ(repair(c.infected, 1, c.parameter, &after), KILL_REPAIRED);
    EXPECT_EQ(after, c.clean);
}

TEST_F(SpecialKills, MiserDeletesAFileThatIsLittleMoreThanTheBody) {
    struct Case {
        const char* name;
        uint32_t tail;
        bool removed;
    } cases[] = {{"exactly 4096 bytes after the body", 4096, true}, {"one byte more", 4097, false}};
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        const auto c = fixtures::prependedBody(Bytes(k.tail, 0x33));
        Bytes after;
        bool removed = false;
        const uint32_t result = repair(c.infected, 1, c.parameter, &after, &removed);
        EXPECT_EQ(removed, k.removed);
        EXPECT_EQ(result, k.removed ? KILL_REMOVED : KILL_REPAIRED);
        if (!k.removed) {
            EXPECT_EQ(after, c.clean);
        }
    }
}

TEST_F(SpecialKills, MiserRefusesWithoutTheMarkOrWithAnUnreadableLength) {
    const auto unmarked = fixtures::prependedBody(fixtures::specialCleanProgram(0x1400), false);
    const auto marked = fixtures::prependedBody(fixtures::specialCleanProgram(0x1400));
    struct Case {
        const char* name;
        Bytes bytes;
        uint32_t parameter;
    } cases[] = {
        {"no mark before the length", unmarked.infected, unmarked.parameter},
        {"length outside the image", marked.infected, 0x7FFF0000},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        Bytes after;
        bool removed = true;
        EXPECT_EQ(repair(k.bytes, 1, k.parameter, &after, &removed), KILL_FAILED);
        EXPECT_EQ(after, k.bytes);
        EXPECT_FALSE(removed);
    }
}

// --- 2: PE header field from the emulator ---

TEST_F(SpecialKills, RestorePeHeaderPutsBackTheEntryPoint) {
    const auto c = fixtures::movedEntryField();
    Bytes after;
    EXPECT_EQ(repair(c.infected, 2, c.parameter, &after), KILL_REPAIRED);
    EXPECT_EQ(after, c.clean);
}

TEST_F(SpecialKills, RestorePeHeaderWritesTheInstructionPointerAtEntryField) {
    // 80100028h: GetIP - base, four bytes, at PE header + 28h. A fresh emulator stands at the
    // entry, so the field comes out as the entry RVA the file names.
    const auto c = fixtures::movedEntryField();
    Bytes damaged = c.infected;
    const uint32_t field = fixtures::peHeaderOffset(damaged) + 0x28;
    Bytes after;
    EXPECT_EQ(repair(damaged, 2, 0x80100028, &after), KILL_REPAIRED);
    EXPECT_EQ(after, damaged);
    // Two bytes (width code 1) of the register value EAX, absolute.
    EXPECT_EQ(repair(damaged, 2, 0x00001028, &after), KILL_REPAIRED);
    EXPECT_EQ(after.size(), damaged.size());
    for (size_t i = 0; i < after.size(); ++i)
        if (i != field && i != field + 1) {
            ASSERT_EQ(after[i], damaged[i]) << "byte " << i;
        }
}

TEST_F(SpecialKills, RestorePeHeaderRejectsEveryFieldOutOfRange) {
    const auto c = fixtures::movedEntryField();
    const uint32_t parameters[] = {
        0x90100028,  // source 9
        0x83100028,  // read count 3
        0x81300028,  // relative flag 3
        0x81103028,  // width code 3
        0x81100003,  // header offset below 4
        0x81100FFF,  // field beyond the end of the file
    };
    for (uint32_t p : parameters) {
        SCOPED_TRACE(testing::Message() << std::hex << p);
        Bytes after;
        EXPECT_EQ(repair(c.infected, 2, p, &after), KILL_FAILED);
        EXPECT_EQ(after, c.infected);
    }
}

// --- 3: emulator control ---

TEST_F(SpecialKills, ControlerCommandsAnswerAsTheEmulatorDoes) {
    fixtures::EmulatorPe layout;
    layout.code = fixtures::loadAsm("generic/rag_infected");
    const Bytes program = fixtures::buildEmulatorPe(layout);
    struct Case {
        uint32_t parameter;
        uint32_t result;
    } cases[] = {
        {0x00000003, KILL_REPAIRED},  // RunTo(0, 3)
        {0x00005000, KILL_FAILED},    // RunTo(5, 0): no such kind
        {0x01000004, KILL_REPAIRED},  // Step(4)
        {0x01FFFFFF, KILL_FAILED},    // Step past the program's end
        {0x0208FFFB, KILL_REPAIRED},  // SetIP(IP - 5)
        {0x02090010, KILL_REPAIRED},  // SetIP(entry + 16)
        {0x0200FFFB, KILL_FAILED},    // s = 0
        {0x020AFFFB, KILL_FAILED},    // s = 10
        {0x027FFFFB, KILL_FAILED},    // s = 127
        {0x02FF0000, KILL_FAILED},    // s = 255: neither IP nor entry
        {0x03000000, KILL_REPAIRED},  // Restart
        {0x04000101, KILL_REPAIRED},  // stop condition {7, 1, 0, 1}
        {0x05000000, KILL_FAILED},    // opcode 5
        {0xFF000000, KILL_FAILED},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << k.parameter);
        Bytes after;
        EXPECT_EQ(repair(program, 3, k.parameter, &after), k.result);
        EXPECT_EQ(after, program) << "control commands never touch the file";
    }
}

TEST_F(SpecialKills, ControlerMovesTheInstructionPointerOfTheRealEmulator) {
    fixtures::EmulatorPe layout;
    layout.code = fixtures::loadAsm("generic/rag_infected");
    support::UnitHarness run(fixtures::buildEmulatorPe(layout), "", {qe::FORMAT_PE});
    IExecExport* emulator = run.param()->emulator;
    CPEHeander headers(emulator);
    ASSERT_TRUE(headers.Initialize());
    CVMControlerStub unit;
    STScanInfo info{};
    tagScanExParam param{emulator, &headers, 0x80000003u, 0x0208FFFB};
    const uint32_t before = emulator->GetIP();
    EXPECT_EQ(unit.Kill(&info, &param), KILL_REPAIRED);
    EXPECT_EQ(emulator->GetIP(), before - 5);
    param.methodParameter = 0x02090010;
    EXPECT_EQ(unit.Kill(&info, &param), KILL_REPAIRED);
    EXPECT_EQ(emulator->GetIP(), fixtures::kEmulatorCodeVa + 0x10);
    param.peHeaders = nullptr;
    EXPECT_EQ(unit.Kill(&info, &param), KILL_FAILED) << "needs the PE headers";
}

// --- 4: file head ---

TEST_F(SpecialKills, CutFileHeadRemovesTheHead) {
    const Bytes clean = fixtures::specialCleanProgram(0x2345);
    Bytes infected(0x1800, 0xCC);
    infected.insert(infected.end(), clean.begin(), clean.end());
    Bytes after;
    EXPECT_EQ(repair(infected, 4, 0x1800, &after), KILL_REPAIRED);
    EXPECT_EQ(after, clean);
}

TEST_F(SpecialKills, CutFileHeadEdges) {
    const Bytes bytes = fixtures::specialCleanProgram(0x300);
    Bytes after;
    bool removed = false;
    EXPECT_EQ(repair(bytes, 4, uint32_t(bytes.size()) + 1, &after, &removed), KILL_REMOVED);
    EXPECT_TRUE(removed);
    EXPECT_EQ(repair(bytes, 4, 0, &after, &removed), KILL_REPAIRED);
    EXPECT_EQ(after, bytes);
    EXPECT_FALSE(removed);
    EXPECT_EQ(repair(bytes, 4, 0xFFFFFFFF, &after, &removed), KILL_REMOVED);
}

TEST_F(SpecialKills, CutFileHeadCutsThePackerParentToo) {
    const Bytes clean = fixtures::specialCleanProgram(0x1234);
    Bytes packed(0x1000, 0xAB);
    packed.insert(packed.end(), clean.begin(), clean.end());
    support::Sample sample = support::Sample::insidePacked(packed, packed);
    EXPECT_EQ(sample.kill(special(4, 0x1000)).result, KILL_REPAIRED);
    EXPECT_EQ(sample.scanned->bytes(), clean);
    EXPECT_EQ(sample.outer->bytes(), clean);
}

// --- 5: byte subtraction ---

TEST_F(SpecialKills, SubRestSubtractsTheKeyFromEveryByte) {
    for (uint32_t size : {1u, 4096u, 4097u, 10000u}) {
        for (uint32_t parameter : {0x00u, 0x37u, 0xFFFFFF01u}) {
            SCOPED_TRACE(testing::Message() << size << " bytes, key " << std::hex << parameter);
            Bytes clean(size);
            for (uint32_t i = 0; i < size; ++i) clean[i] = uint8_t(i * 13 + 5);
            Bytes infected = clean;
            for (auto& b : infected) b = uint8_t(b + uint8_t(parameter));
            Bytes after;
            EXPECT_EQ(repair(infected, 5, parameter, &after, nullptr, qe::FORMAT_FILE), KILL_REPAIRED);
            EXPECT_EQ(after, clean);
        }
    }
}

// --- 6: emulated entry restore ---

TEST_F(SpecialKills, RagRestoresTheEntryAndZeroesTheBody) {
    const auto c = fixtures::ragInfected();
    Bytes after;
    EXPECT_EQ(repair(c.infected, 6, c.parameter, &after), KILL_REPAIRED);
    EXPECT_EQ(after, c.clean);
}

TEST_F(SpecialKills, RagFailsWithoutTheMarkOrWithANegativeParameter) {
    const auto c = fixtures::ragInfected();
    fixtures::EmulatorPe layout;
    layout.code = fixtures::loadAsm("generic/no_marker_program");
    layout.imports = {"ExitProcess"};
    const Bytes plain = fixtures::buildEmulatorPe(layout);
    struct Case {
        const char* name;
        Bytes bytes;
        uint32_t parameter;
    } cases[] = {
        {"program ends first", plain, 8},
        {"negative parameter", c.infected, 0x80000008},
        {"saved bytes out of memory", c.infected, 0x7FFFFFF0},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        Bytes after;
        EXPECT_EQ(repair(k.bytes, 6, k.parameter, &after), KILL_FAILED);
        EXPECT_EQ(after, k.bytes);
    }
}

// --- 7 and 8: resources ---

TEST_F(SpecialKills, ExtractResourceReplacesTheFileByTheNamedResource) {
    const auto c = fixtures::resourceCarrier(fixtures::specialCleanProgram(0x600, 9));
    Bytes after;
    EXPECT_EQ(repair(c.infected, 7, c.parameter, &after), KILL_REPAIRED);
    EXPECT_EQ(after, c.clean);
    // Lower-case letters of the path count as upper-case ones.
    EXPECT_EQ(c.parameter, fixtures::resourcePathCrc(u"409@65@a"));
}

TEST_F(SpecialKills, ExtractResourceRefusesAnUnknownPath) {
    const auto c = fixtures::resourceCarrier(fixtures::specialCleanProgram(0x600, 9));
    const auto noResources = fixtures::specialCleanProgram(0x600);
    struct Case {
        const char* name;
        Bytes bytes;
        uint32_t parameter;
    } cases[] = {
        {"no such path", c.infected, fixtures::resourcePathCrc(u"409@67@A")},
        {"no resources", noResources, c.parameter},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        for (uint32_t method : {7u, 8u}) {
            Bytes after;
            EXPECT_EQ(repair(k.bytes, method, k.parameter, &after), KILL_FAILED);
            EXPECT_EQ(after, k.bytes);
        }
    }
}

TEST_F(SpecialKills, ExtractResource2TakesTheResourceOfThePackerParent) {
    const auto c = fixtures::resourceCarrier(fixtures::specialCleanProgram(0x600, 9));
    support::Sample sample = support::Sample::insidePacked(fixtures::specialCleanProgram(0x900, 4), c.infected);
    EXPECT_EQ(sample.kill(special(8, c.parameter)).result, KILL_REPAIRED);
    EXPECT_EQ(sample.scanned->bytes(), c.clean);
    EXPECT_EQ(sample.outer->bytes(), c.infected) << "the parent is only read";
    // Without a packer parent the file's own resource is taken.
    Bytes after;
    EXPECT_EQ(repair(c.infected, 8, c.parameter, &after), KILL_REPAIRED);
    EXPECT_EQ(after, c.clean);
}

// --- 9: companion file ---

class CompanionFile : public SpecialKills {
protected:
    static constexpr uint32_t kExe = 0x65786500;  // "exe" and an end of name
    fixtures::TempDir dir_;
};

TEST_F(CompanionFile, ReplacesTheFileByItsCompanion) {
    const Bytes clean = fixtures::specialCleanProgram(0x700);
    fixtures::writeFile(dir_.file("prog.exe"), clean);
    support::Outcome outcome =
        support::kill(Bytes(0x3000, 0xEE), qe::FORMAT_PE, special(9, kExe), dir_.file("prog.vir").string());
    EXPECT_EQ(outcome.result, KILL_REPAIRED);
    EXPECT_EQ(outcome.bytes, clean);
    // A zero byte in the parameter ends the name: "prog.virus" -> "prog.exe".
    outcome = support::kill(Bytes(0x30, 0xEE), qe::FORMAT_PE, special(9, kExe), dir_.file("prog.virus").string());
    EXPECT_EQ(outcome.result, KILL_REPAIRED);
    EXPECT_EQ(outcome.bytes, clean);
}

TEST_F(CompanionFile, RefusesWhatItCannotOrMustNotOpen) {
    fixtures::writeFile(dir_.file("prog.exe"), fixtures::specialCleanProgram(0x700));
    fixtures::writeFile(dir_.file("text.exe"), Bytes{'h', 'e', 'l', 'l', 'o'});
    std::filesystem::create_directories(dir_.file("sub.d"));
    fixtures::writeFile(dir_.file("sub.exe"), fixtures::specialCleanProgram(0x700));
    const Bytes infected(0x100, 0xEE);
    struct Case {
        const char* name;
        std::string path;
        uint32_t parameter;
    } cases[] = {
        {"no extension", dir_.file("sub.d/prog").string(), kExe},
        {"dot at position 0", ".vir", kExe},
        {"companion missing", dir_.file("none.vir").string(), kExe},
        {"companion is no program", dir_.file("text.vir").string(), kExe},
        {"separator in the extension", dir_.file("prog.vir").string(), 0x2F657865},
        {"no path at all", "", kExe},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        const support::Outcome outcome = support::kill(infected, qe::FORMAT_PE, special(9, k.parameter), k.path);
        EXPECT_EQ(outcome.result, KILL_FAILED);
        EXPECT_EQ(outcome.bytes, infected);
    }
}

}  // namespace
