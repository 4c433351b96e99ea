// Virus names from the unit tables. The tables are the one registry of what the module
// knows, so names follow them with no separate list to keep in step.
#include "cli/virus_names.h"

#include <string_view>

#include "module/frame/unit_table.h"

namespace cli {

namespace {

constexpr uint32_t kIdBits = 0x1FFFFFFF;

std::string platformOf(std::string_view table) {
    if (table.starts_with("aPE")) return "Win32.";
    if (table.starts_with("aMZ") || table.starts_with("aCOM")) return "DOS.";
    if (table.starts_with("aVBS")) return "Script.";
    if (table.starts_with("aSWF")) return "SWF.";
    if (table.starts_with("aJPG")) return "JPEG.";
    if (table.starts_with("aCompound")) return "Doc.";
    return "";
}

std::string familyOf(std::string_view unitClass) {
    for (std::string_view prefix : {"CScanEX", "CScan", "CKill", "C"}) {
        if (unitClass.starts_with(prefix) && unitClass.size() > prefix.size()) {
            unitClass.remove_prefix(prefix.size());
            break;
        }
    }
    std::string family(unitClass);
    for (char& c : family)
        if (c == '_') c = '.';
    return family;
}

std::string lookUp(uint32_t id, uint32_t mask) {
    for (const NamedUnitTable& table : allUnitTables()) {
        std::string_view name = table.name;
        if (name == "aMethodKill" || name == "aSpecKill") continue;  // keyed by method numbers
        for (const UnitTableEntry& row : unitTableRows(table.rows))
            if ((row.id & mask) == (id & mask) && row.unitClass && *row.unitClass)
                return platformOf(name) + familyOf(row.unitClass);
    }
    return {};
}

}  // namespace

std::string virusName(uint32_t virusId) {
    if (virusId == 0) return {};
    std::string name = lookUp(virusId, 0xFFFFFFFF);
    return name.empty() ? lookUp(virusId, kIdBits) : name;
}

}  // namespace cli
