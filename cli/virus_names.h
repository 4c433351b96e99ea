// Readable names for virus identifiers.
#pragma once

#include <cstdint>
#include <string>

namespace cli {

// The name of a virus identifier, built from the module's unit tables: the platform the
// table serves and the class the row names, without its "CScan"/"CKill" prefix, with "_"
// turned into "." (CKillAgent_dh in the PE kill table: "Win32.Agent.dh"). The row with the
// exact identifier wins; else the identifier without its flag bits (29 to 31). Empty when
// no row names the identifier: callers print the identifier in hex alone.
std::string virusName(uint32_t virusId);

}  // namespace cli
