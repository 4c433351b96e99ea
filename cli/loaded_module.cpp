#include "cli/loaded_module.h"

#include <cstdio>

#include "cli/escaped_text.h"

namespace cli {

std::shared_ptr<host::Module> loadModule(const std::string& path) {
    std::string error;
    std::shared_ptr<host::Module> module = host::Module::load(path, &error);
    if (!module)
        std::fprintf(stderr, "remedy: cannot load the module %s: %s\n", escapedText(path).c_str(),
                     escapedText(error).c_str());
    return module;
}

std::shared_ptr<const host::UnitListing> unitListingOf(const host::Module& module, std::string* error) {
    return host::UnitListing::load(host::unitListingPath(module.fileName()), error);
}

VirusNames virusNamesOf(const host::Module& module) {
    std::string error;
    std::shared_ptr<const host::UnitListing> listing = unitListingOf(module, &error);
    if (!listing) {
        std::fprintf(stderr, "remedy: no virus names, the unit listing is unusable: %s\n", escapedText(error).c_str());
        return [](uint32_t) { return std::string(); };
    }
    return [listing](uint32_t id) { return listing->nameOf(id); };
}

}  // namespace cli
