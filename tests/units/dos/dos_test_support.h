// Running the DOS cleaners the way a host does: the module loaded by path, its engines created
// with a default running-object table, a file object per sample with its format set, the
// kill engine asked by virus identifier, or the scan engines followed by a kill of their find.
#pragma once

#include <cstdint>
#include <string>

#include "host/module_host.h"
#include "tests/fixtures/bytes.h"

namespace dostest {

using fixtures::Bytes;

struct KillOutcome {
    uint32_t result = 0;
    Bytes bytes;           // the file afterwards
    bool removed = false;  // the host was asked to delete it
};

struct ScanOutcome {
    host::ScanFinding finding;
    uint32_t killResult = 0;  // of killFound, when something was found
    Bytes bytes;
    bool removed = false;
};

// The kill engine over the file as `format`, by any request.
KillOutcome kill(const Bytes& file, uint32_t format, const host::KillRequest& request);
KillOutcome killById(const Bytes& file, uint32_t format, uint32_t virusId);
ScanOutcome scanThenKill(const Bytes& file, uint32_t format);

// An infected MZ program is repaired to the clean one except for the page count words
// (offsets 2 and 4), which the cleaners leave as the infector set them.
Bytes withPageCountOf(const Bytes& clean, const Bytes& infected);

}  // namespace dostest

