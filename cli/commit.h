// Committing a finished kill for the command line: the nothing-lost commit of host/repair.h,
// or with --dry-run only the words for what it would do.
#pragma once

#include <cstdint>
#include <string>

#include "cli/commands.h"
#include "host/anchored_file.h"
#include "host/qxbase/file_object.h"
#include "host/quarantine.h"

namespace cli {

struct CommitReport {
    std::string text;        // what was done, for the file's line ("repaired (original kept as ...)")
    bool repaired = false;   // the repaired bytes replaced the original (never in a dry run)
    bool removed = false;    // the original was moved to quarantine or unlinked (never in a dry run)
    bool failed = false;     // the kill succeeded but could not be committed: an error
    bool killFailed = false; // the module could not repair the file
};

// `file` holds the private copy the kill worked on, read from at.file; `verdict` is what the
// quarantine records. A signal caught by catchInterrupts() rolls back a commit that has not
// reached its exchange.
CommitReport commitOrPreview(const host::AnchoredFile& at, host::FileObject* file, uint32_t killResult,
                             const CommitOptions& options, const host::Verdict& verdict);

std::string hexId(uint32_t value);  // "0x0000ABCD"

}  // namespace cli
