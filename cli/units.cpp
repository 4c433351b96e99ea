// remedy units: the module's unit tables as they stand, one row a line.
#include <cstdio>

#include "cli/commands.h"
#include "module/frame/unit_table.h"

namespace cli {

// "TABLE ID CLASS STATE": STATE is "implemented" when the row's class is built and
// "registered" when the row stands in the table but creates the inert unit (it finds nothing
// and repairs nothing). Identifiers of the method tables are method numbers.
int runUnits() {
    size_t rows = 0, implemented = 0;
    for (const NamedUnitTable& table : allUnitTables()) {
        for (const UnitTableEntry& row : unitTableRows(table.rows)) {
            const bool built = unitRowImplemented(row);
            std::printf("%-28s 0x%08X %-36s %s\n", table.name, row.id, row.unitClass ? row.unitClass : "-",
                        built ? "implemented" : "registered");
            ++rows;
            implemented += built;
        }
    }
    std::fprintf(stderr, "%zu rows, %zu implemented, %zu registered only\n", rows, implemented, rows - implemented);
    return std::ferror(stdout) ? kExitError : kExitClean;
}

}  // namespace cli
