// remedy units: the unit listing of the module the command was told to use, one row a line.
#include <cstdio>

#include "cli/commands.h"
#include "cli/escaped_text.h"
#include "cli/loaded_module.h"

namespace cli {

// The module is loaded first: a listing is only printed for a module that loads, and it is the
// one beside the file the loader took.
int runUnits(const std::string& modulePath) {
    std::shared_ptr<host::Module> module = loadModule(modulePath);
    if (!module) return kExitError;
    std::string error;
    std::shared_ptr<const host::UnitListing> listing = unitListingOf(*module, &error);
    if (!listing) {
        std::fprintf(stderr, "remedy: no unit listing for the module %s: %s\n", escapedText(modulePath).c_str(),
                     escapedText(error).c_str());
        return kExitError;
    }
    size_t built = 0;
    for (const host::UnitListingRow& row : listing->rows()) {
        std::printf("%s\n", escapedText(row.line).c_str());
        built += row.built;
    }
    const size_t rows = listing->rows().size();
    std::fprintf(stderr, "%zu rows, %zu built, %zu inert\n", rows, built, rows - built);
    return std::ferror(stdout) ? kExitError : kExitClean;
}

}  // namespace cli
