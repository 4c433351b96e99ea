// Placeholder until the emulator lands: no emulator is handed to the module, which the
// request record allows. Removed by the emulator's own implementation.
#include "host/emulator/emulator.h"

namespace host {
std::unique_ptr<Emulator> Emulator::create(FileObject*) { return nullptr; }
}  // namespace host
