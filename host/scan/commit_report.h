// Committing a finished kill for a scan: the nothing-lost commit of host/repair.h, or for a
// preview only the words for what it would do.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

#include "host/anchored_file.h"
#include "host/qxbase/file_object.h"
#include "host/quarantine.h"
#include "host/repair.h"

namespace host {

// How a repair is committed.
struct CommitSettings {
    std::filesystem::path quarantineDir;  // where originals go before a repair or removal
    bool noBackup = false;                // keep no original; removals unlink
    bool dryRun = false;                  // repair the private copy only and say what would happen
    // Set by a signal handler: a commit that has not reached its exchange rolls back.
    const std::atomic<bool>* interrupted = nullptr;
    std::function<void(CommitStep)> atStep;  // tests: called as each commit step begins
};

struct CommitReport {
    std::string text;        // what was done ("repaired (original kept as ...)")
    bool repaired = false;   // the repaired bytes replaced the original (never in a dry run)
    bool removed = false;    // the original was moved to quarantine or unlinked (never in a dry run)
    bool failed = false;     // the kill succeeded but could not be committed: an error
    bool killFailed = false; // the module could not repair the file
};

// `file` holds the private copy the kill worked on, read from at.file; `verdict` is what the
// quarantine records.
CommitReport commitOrPreview(const AnchoredFile& at, FileObject* file, uint32_t killResult,
                             const CommitSettings& settings, const Verdict& verdict);

}  // namespace host
