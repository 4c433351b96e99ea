#include <cstdio>

#include "module/frame/inert_unit.h"
#include "module/frame/unit_table.h"
#include "sdk/format_codes.h"

int scanSlotForFormat(uint32_t format) {
    switch (format) {
        case qe::FORMAT_PE: return kSlotPE;
        case qe::FORMAT_MZ: return kSlotMZ;
        case qe::FORMAT_COM: return kSlotCOM;
        case qe::FORMAT_VBS: return kSlotScript;
        case qe::FORMAT_FILE: return kSlotOrdinary;
        case qe::FORMAT_SWF:
        case qe::FORMAT_SWF_COMPRESSED: return kSlotFlash;
        case qe::FORMAT_JPEG: return kSlotJPEG;
        default: return kNoSlot;
    }
}

int unknownSlotForFormat(uint32_t format) {
    switch (format & 0xFFFF) {
        case qe::FORMAT_PE: return kSlotPE;
        case qe::FORMAT_MZ: return kSlotMZ;
        case qe::FORMAT_COM: return kSlotCOM;
        case qe::FORMAT_VBS: return kSlotScript;
        case qe::FORMAT_FILE: return kSlotOrdinary;
        case qe::FORMAT_SWF: return kSlotFlash;
        case qe::FORMAT_JPEG: return kSlotJPEG;
        default: return kSlotPE;
    }
}

int killSlotForFormat(uint32_t format) {
    const int slot = scanSlotForFormat(format);
    return slot <= kSlotOrdinary ? slot : kNoSlot;
}

std::span<const UnitTableEntry> unitTableRows(const UnitTableEntry* table) {
    if (!table) return {};
    size_t count = 0;
    while (table[count].create) ++count;
    return {table, count};
}

bool unitRowImplemented(const UnitTableEntry& row) {
    return row.create && row.create != &CInertScanUnit::CreateScanExUnit;
}

std::string unitTableListing() {
    std::string listing;
    for (const NamedUnitTable& table : allUnitTables()) {
        const std::span<const UnitTableEntry> rows = unitTableRows(table.rows);
        for (size_t i = 0; i < rows.size(); ++i) {
            char line[160];
            std::snprintf(line, sizeof line, "%-26s %3zu 0x%08X %-28s %s\n", table.name, i, rows[i].id,
                          rows[i].unitClass, unitRowImplemented(rows[i]) ? "built" : "inert");
            listing += line;
        }
    }
    return listing;
}
