// Writes the unit listing (unitTableListing) to FILE at build time; the build puts FILE beside
// the module, where hosts look for it. It refuses a row a reader could not split into its
// columns, so a bad name in the tables stops the build instead of reaching a host.
// Usage: remedy_write_unit_listing FILE
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "module/frame/unit_table.h"

namespace {

// A column a reader can split out: not empty, no blanks.
bool isColumn(const char* text) {
    if (!text || !*text) return false;
    for (std::string_view s(text); unsigned char c : s)
        if (std::isspace(c) || !std::isprint(c)) return false;
    return true;
}

bool rowsAreColumns() {
    bool ok = true;
    for (const NamedUnitTable& table : allUnitTables()) {
        for (const UnitTableEntry& row : unitTableRows(table.rows)) {
            if (isColumn(row.unitClass) && isColumn(row.displayName)) continue;
            std::fprintf(stderr, "%s row 0x%08X: the class and the display name must be one word each\n", table.name,
                         row.id);
            ok = false;
        }
    }
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FILE\n", argv[0]);
        return 2;
    }
    if (!rowsAreColumns()) return 1;
    // Written aside and renamed, so an interrupted build never leaves half a listing.
    const std::filesystem::path file = argv[1];
    const std::filesystem::path partial = file.string() + ".partial";
    {
        std::ofstream out(partial, std::ios::binary | std::ios::trunc);
        out << "# The module's unit tables, one row a line: TABLE ROW KEY ID STATE CLASS NAME.\n"
               "# Written by the build from the tables; do not edit.\n"
            << unitTableListing();
        out.close();
        if (!out) {
            std::fprintf(stderr, "%s: cannot write %s\n", argv[0], partial.c_str());
            return 1;
        }
    }
    std::error_code ec;
    std::filesystem::rename(partial, file, ec);
    if (ec) {
        std::fprintf(stderr, "%s: cannot write %s: %s\n", argv[0], file.c_str(), ec.message().c_str());
        return 1;
    }
    return 0;
}
