// Committing a repair without losing anything.
//
// The module repairs a private copy: the host::FileObject read from disk. The file on disk is
// touched only after the kill reported success, and then only in ways that leave either the
// old or the new bytes complete at every moment:
//   - repaired (kill result 1): the copy is written to a temporary file in the same directory,
//     given the original's owner and permissions (a file whose owner this process cannot keep
//     is not replaced), flushed to disk and renamed over the original. With a quarantine
//     directory the original is first copied there.
//   - renamed (the kill set PID_File_RenameName): as repaired, but the temporary file is renamed
//     to the new name, which must not exist and must lie in the same directory; the original is
//     then moved to quarantine, or unlinked when there is no quarantine directory.
//   - removed (kill result 2, or a success after the module called Remove on the file): the
//     original is moved into the quarantine directory. Without one the file is unlinked only when
//     the caller allows it (RepairOptions::unlinkRemoved); otherwise it stays and the outcome
//     says the removal was not applied.
// Every other kill result, an exception from the kill, a file changed on disk since it was read,
// a symbolic link in its place, or any failing step leaves the original byte for byte as it was.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

#include "host/qxbase/file_object.h"

namespace host {

// Steps of a commit, so that tests can make one fail on purpose.
enum class CommitStep { None, Backup, WriteTemporary, SyncTemporary, Rename };

struct RepairOptions {
    std::filesystem::path quarantineDir;  // empty: originals are not kept
    bool unlinkRemoved = false;           // without a quarantine directory, may a removal unlink?
    CommitStep failAt = CommitStep::None; // tests: this step fails as if the disk refused it
};

enum class RepairAction {
    Unchanged,  // the original is as it was (see error and killResult for why)
    Replaced,   // the repaired bytes replaced the original (or took the new name)
    Removed,    // the original was moved to quarantine or unlinked
};

struct RepairOutcome {
    RepairAction action = RepairAction::Unchanged;
    uint32_t killResult = 0;
    std::string error;                 // why a successful kill was not committed; empty otherwise
    std::filesystem::path finalPath;   // where the repaired file is (Replaced)
    std::filesystem::path backupPath;  // where the original went (empty when not kept)
};

// Kill results that report success: repaired or removed.
bool killSucceeded(uint32_t killResult);

// Applies a finished kill on `file` (read with FileObject::fromFile) to the disk.
RepairOutcome commitKill(FileObject* file, uint32_t killResult, const RepairOptions& options);

// Reads `path`, classifies it, runs `kill` on the private copy and commits the result. An
// exception from `kill` counts as a failed repair.
RepairOutcome repairFile(const std::filesystem::path& path, const std::function<uint32_t(FileObject*)>& kill,
                         const RepairOptions& options);

}  // namespace host
