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

bool unitRowBuilt(const UnitTableEntry& row) {
    return row.create && row.create != &CInertScanUnit::CreateScanExUnit;
}

std::string unitTableListing() {
    std::string listing;
    for (const NamedUnitTable& table : allUnitTables()) {
        const char* key = table.rows == aMethodKill ? "method" : table.rows == aSpecKill ? "special" : "virus";
        const std::span<const UnitTableEntry> rows = unitTableRows(table.rows);
        for (size_t i = 0; i < rows.size(); ++i) {
            const auto print = [&](char* out, size_t size) {
                return std::snprintf(out, size, "%-26s %3zu %-7s 0x%08X %-5s %-28s %s\n", table.name, i, key,
                                     rows[i].id, unitRowBuilt(rows[i]) ? "built" : "inert", rows[i].unitClass,
                                     rows[i].displayName);
            };
            const size_t at = listing.size();
            listing.resize(at + size_t(print(nullptr, 0)) + 1);
            print(listing.data() + at, listing.size() - at);
            listing.pop_back();  // snprintf's terminating NUL
        }
    }
    return listing;
}
