// The shipped unit tables: their shape, the per-phase arrays and the rows that other parts
// of the module rely on.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>

#include "module/frame/unit_table.h"
#include "sdk/format_codes.h"

namespace {

std::map<std::string, const UnitTableEntry*> tablesByName() {
    std::map<std::string, const UnitTableEntry*> byName;
    for (const NamedUnitTable& t : allUnitTables()) byName[t.name] = t.rows;
    return byName;
}

TEST(UnitTables, RowCountsAndFlaggedIdentifiers) {
    struct Case {
        const char* name;
        size_t rows;
        size_t bit30;
    } cases[] = {
        {"aPEScanBeforeLib", 14, 2}, {"aPEScanAfterLib", 55, 12}, {"aPEBadFile", 1, 0},
        {"aPEKill", 106, 0},         {"aPEUnknown", 1, 1},        {"aMZScanBeforeLib", 1, 0},
        {"aMZScanAfterLib", 1, 0},   {"aMZBadFile", 0, 0},        {"aMZKill", 14, 0},
        {"aCOMScanBeforeLib", 0, 0}, {"aCOMScanAfterLib", 1, 0},  {"aCOMBadFile", 0, 0},
        {"aCOMKill", 20, 0},         {"aVBSScanBeforeLib", 1, 1}, {"aVBSScanAfterLib", 0, 0},
        {"aVBSBadFile", 0, 0},       {"aVBSKill", 0, 0},          {"aNormalScanBeforeLib", 26, 20},
        {"aNormalScanAfterLib", 0, 0}, {"aNormalBadFile", 0, 0},  {"aNormalKill", 0, 0},
        {"aCompoundArchiveBeforeLib", 2, 0}, {"aSWFBefroreLib", 1, 0}, {"aJPGBefroreLib", 1, 0},
        {"aSpecKill", 9, 0},         {"aMethodKill", 29, 0},
    };
    const auto byName = tablesByName();
    ASSERT_EQ(byName.size(), std::size(cases));
    size_t total = 0;
    for (const Case& c : cases) {
        ASSERT_TRUE(byName.count(c.name)) << c.name;
        const auto rows = unitTableRows(byName.at(c.name));
        EXPECT_EQ(rows.size(), c.rows) << c.name;
        size_t flagged = 0;
        for (const UnitTableEntry& row : rows) {
            if (row.id & 0x40000000u) ++flagged;
            EXPECT_NE(row.unitClass, nullptr) << c.name;
        }
        EXPECT_EQ(flagged, c.bit30) << c.name;
        // The terminator carries identifier 0.
        EXPECT_EQ(rows.data()[rows.size()].id, 0u) << c.name;
        total += rows.size();
    }
    EXPECT_EQ(total, 283u);
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
            if (!unitRowImplemented(row)) {
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

namespace {

TEST(UnitTables, ListingShowsEveryRow) {
    const std::string listing = unitTableListing();
    size_t lines = 0;
    for (char c : listing) lines += c == '\n';
    EXPECT_EQ(lines, 283u);
    EXPECT_NE(listing.find("aCOMKill                    13 0x00003DDD CScanVoronezh1600Com"), std::string::npos);
    EXPECT_NE(listing.find("aPEScanAfterLib             19 0x40153A45 CScanPcClient"), std::string::npos);
}

}  // namespace
