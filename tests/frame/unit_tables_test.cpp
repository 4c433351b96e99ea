// The shipped unit tables: their shape, the per-phase arrays and the rows that other parts
// of the module rely on.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "module/frame/unit_table.h"
#include "sdk/format_codes.h"
#include "tests/fixtures/golden.h"

namespace {

// The tables as a whole - every row, identifier, class, state and display name, in order - are
// checked against the golden `remedy units` listing: a change to a table shows up there as a
// diff to review (REMEDY_UPDATE_GOLDEN=1 rewrites it).
TEST(UnitTables, MatchTheGoldenListing) {
    fixtures::expectGolden("cli/golden/units.txt", unitTableListing());
}

// Every table ends with its terminator, and every row names its class and a display name a
// reader can split out of the listing.
TEST(UnitTables, RowsAreWholeAndTerminated) {
    for (const NamedUnitTable& t : allUnitTables()) {
        const auto rows = unitTableRows(t.rows);
        EXPECT_EQ(rows.data()[rows.size()].displayName, nullptr) << t.name;
        for (const UnitTableEntry& row : rows) {
            ASSERT_NE(row.unitClass, nullptr) << t.name;
            ASSERT_NE(row.displayName, nullptr) << t.name << " " << row.unitClass;
            const std::string name = row.displayName;
            EXPECT_FALSE(name.empty()) << t.name << " " << row.unitClass;
            EXPECT_EQ(name.find_first_of(" \t\n"), std::string::npos) << name;
        }
    }
}

// The listing shows every table an engine walks: each table of the per-phase arrays, and the
// method and special-method tables, stands in allUnitTables once.
TEST(UnitTables, EveryTableTheEnginesWalkIsListed) {
    std::vector<const UnitTableEntry*> walked = {aMethodKill, aSpecKill};
    for (const UnitTableEntry* const* phase :
         {aScanMethodsBeforeLib, aScanMethodsAfterLib, aScanMethodsBadFile, aKillMethods, aScanMethodsUnknown})
        for (int slot = 0; slot < kFormatSlotCount; ++slot)
            if (phase[slot]) walked.push_back(phase[slot]);
    for (const UnitTableEntry* table : walked) {
        size_t listed = 0;
        for (const NamedUnitTable& t : allUnitTables()) listed += t.rows == table;
        EXPECT_EQ(listed, 1u) << (table ? table->unitClass : "empty table");
    }
}

// A virus identifier has one display name, whichever table row it stands in.
TEST(UnitTables, AnIdentifierHasOneName) {
    std::map<uint32_t, std::string> names;
    for (const NamedUnitTable& t : allUnitTables()) {
        if (t.rows == aMethodKill || t.rows == aSpecKill) continue;  // keyed by method numbers
        for (const UnitTableEntry& row : unitTableRows(t.rows)) {
            const auto [at, added] = names.emplace(row.id & 0x1FFFFFFFu, row.displayName);
            EXPECT_EQ(at->second, row.displayName) << t.name << " 0x" << std::hex << row.id;
        }
    }
}

TEST(UnitTables, KillTablesHoldPlainIdentifiersAndNumberedMethods) {
    for (const UnitTableEntry* table : {aPEKill, aMZKill, aCOMKill})
        for (const UnitTableEntry& row : unitTableRows(table)) EXPECT_LT(row.id, 0x20000000u) << row.unitClass;
    uint32_t expected = 1;
    for (const UnitTableEntry& row : unitTableRows(aMethodKill)) EXPECT_EQ(row.id, expected++);
    expected = 1;
    for (const UnitTableEntry& row : unitTableRows(aSpecKill)) EXPECT_EQ(row.id, expected++);
}

TEST(UnitTables, PerPhaseArraysBySlot) {
    const UnitTableEntry* const* arrays[] = {aScanMethodsBeforeLib, aScanMethodsAfterLib, aScanMethodsBadFile,
                                             aKillMethods, aScanMethodsUnknown};
    const UnitTableEntry* expected[5][kFormatSlotCount] = {
        {aPEScanBeforeLib, aMZScanBeforeLib, aCOMScanBeforeLib, aVBSScanBeforeLib, aNormalScanBeforeLib,
         aCompoundArchiveBeforeLib, aSWFBefroreLib, aJPGBefroreLib},
        {aPEScanAfterLib, aMZScanAfterLib, aCOMScanAfterLib, aVBSScanAfterLib, aNormalScanAfterLib},
        {aPEBadFile, aMZBadFile, aCOMBadFile, aVBSBadFile, aNormalBadFile},
        {aPEKill, aMZKill, aCOMKill, aVBSKill, aNormalKill},
        {aPEUnknown},
    };
    for (int a = 0; a < 5; ++a)
        for (int slot = 0; slot < kFormatSlotCount; ++slot)
            EXPECT_EQ(arrays[a][slot], expected[a][slot]) << "array " << a << " slot " << slot;
}

// Rows that scans and kills of other parts of the module depend on.
TEST(UnitTables, RowsOthersRelyOn) {
    const auto after = unitTableRows(aPEScanAfterLib);
    bool vbDownloader = false;
    for (size_t i = 0; i < after.size(); ++i) {
        if (std::string(after[i].unitClass) == "CScanUnknownVBDownLoader") vbDownloader = after[i].id == 0x40153126u;
        if (std::string(after[i].unitClass) == "CScanThealsGen") {
            ASSERT_LT(i + 1, after.size());
            EXPECT_STREQ(after[i + 1].unitClass, "CScanWormTheals");
            EXPECT_EQ(after[i].id, 0x0002B865u);
            EXPECT_EQ(after[i + 1].id, 0x0002B865u);
        }
    }
    EXPECT_TRUE(vbDownloader);
    int sentinelRows = 0;
    for (const UnitTableEntry& row : unitTableRows(aCOMKill))
        if (std::string(row.unitClass) == "CScanSentinelCOM") ++sentinelRows;
    EXPECT_EQ(sentinelRows, 6);
    EXPECT_STREQ(unitTableRows(aSpecKill)[2].unitClass, "CVMControlerStub");
    EXPECT_EQ(unitTableRows(aCOMKill)[13].id, 0x3DDDu);
    EXPECT_STREQ(unitTableRows(aCOMKill)[13].unitClass, "CScanVoronezh1600Com");
}

// Every row creates a unit, built or inert, that honours the unit contract's defaults
// where it is inert.
TEST(UnitTables, EveryRowCreatesAUnit) {
    for (const NamedUnitTable& t : allUnitTables()) {
        for (const UnitTableEntry& row : unitTableRows(t.rows)) {
            std::unique_ptr<CScanEXVirus> unit(row.create());
            ASSERT_NE(unit, nullptr) << t.name << " " << row.unitClass;
            if (!unitRowBuilt(row)) {
                EXPECT_EQ(unit->Scan(nullptr, nullptr), 0u);
                EXPECT_EQ(unit->Kill(nullptr, nullptr), KILL_FAILED);
            }
        }
    }
}

TEST(FormatSlots, ScanKillAndUnknownSlots) {
    // The unknown-virus engine reads the archive node's code: only its low 16 bits count, and
    // a code without a slot of its own goes to the PE slot.
    struct Case {
        uint32_t format;
        int scanSlot;
        int killSlot;
        int unknownSlot;
    } cases[] = {
        {qe::FORMAT_PE, kSlotPE, kSlotPE, kSlotPE},
        {qe::FORMAT_MZ, kSlotMZ, kSlotMZ, kSlotMZ},
        {qe::FORMAT_COM, kSlotCOM, kSlotCOM, kSlotCOM},
        {qe::FORMAT_VBS, kSlotScript, kSlotScript, kSlotScript},
        {qe::FORMAT_FILE, kSlotOrdinary, kSlotOrdinary, kSlotOrdinary},
        {qe::FORMAT_SWF, kSlotFlash, kNoSlot, kSlotFlash},
        {qe::FORMAT_SWF_COMPRESSED, kSlotFlash, kNoSlot, kSlotPE},
        {qe::FORMAT_JPEG, kSlotJPEG, kNoSlot, kSlotJPEG},
        {1, kNoSlot, kNoSlot, kSlotPE},
        {qe::FORMAT_PDF, kNoSlot, kNoSlot, kSlotPE},
        {qe::FORMAT_UNKNOWN, kNoSlot, kNoSlot, kSlotPE},
        {0x10003, kNoSlot, kNoSlot, kSlotPE},
        {0x10002, kNoSlot, kNoSlot, kSlotMZ},
        {0x70000 | qe::FORMAT_JPEG, kNoSlot, kNoSlot, kSlotJPEG},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(scanSlotForFormat(c.format), c.scanSlot) << c.format;
        EXPECT_EQ(killSlotForFormat(c.format), c.killSlot) << c.format;
        EXPECT_EQ(unknownSlotForFormat(c.format), c.unknownSlot) << c.format;
    }
}

}  // namespace
