// The module a command was told to use, and what its unit listing says of it. The command
// knows the module only as a host does: the library it loads and the listing beside it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "host/module_host.h"
#include "host/unit_listing.h"

namespace cli {

// The display name of a virus identifier; "" when nothing names it (the identifier is
// printed alone).
using VirusNames = std::function<std::string(uint32_t)>;

// Loads the module; on failure says why on stderr ("remedy: cannot load the module PATH: why")
// and returns null.
std::shared_ptr<host::Module> loadModule(const std::string& path);

// The module's unit listing (beside the file it was loaded from); null with *error set when it
// is missing or unreadable.
std::shared_ptr<const host::UnitListing> unitListingOf(const host::Module& module, std::string* error);

// The names of the module's unit listing. When the listing cannot be read, says so on stderr
// and names nothing: findings keep their identifiers, nothing else changes.
VirusNames virusNamesOf(const host::Module& module);

}  // namespace cli
