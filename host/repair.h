// Committing a repair without losing anything.
//
// The module repairs a private copy: the host::FileObject read from the descriptor of an
// AnchoredFile (the file and its directory, opened without following links). The file on disk
// is touched only after the kill reported success, only through those descriptors, and only in
// ways that leave either the old or the new bytes complete at every moment:
//   - repaired (kill result 1): under an exclusive flock on the file, the file must still be the
//     one that was read (device, inode, size, mtime and ctime) and have one link. With a
//     quarantine its bytes are copied there first (see host/quarantine.h). The repaired bytes go
//     to a new file in the same directory (unnamed while written, where the file system allows)
//     that gets the original's owner, group, mode, ACL, extended attributes and inode flags - any
//     of these that cannot be kept refuses the repair. The new file is synced, named
//     ".NAME.remedy-PID-XXXXXXXX" and exchanged with the original in one renameat2
//     (RENAME_EXCHANGE); what was swapped out must be the very file that was read, unchanged,
//     or the exchange is undone ("changed while repaired"). Then the old file is unlinked.
//     Where the file system cannot exchange, the original is renamed aside, checked, and the new
//     file renamed to its name (for a moment the name does not exist).
//   - renamed (the kill set PID_File_RenameName): as repaired, but the new file takes the new
//     name, which must not exist and must lie in the same directory; the original then goes the
//     way of a removal.
//   - removed (kill result 2, or a success after the module called Remove on the file): the
//     original is copied to quarantine, then renamed aside, checked and unlinked. Without a
//     quarantine the file is unlinked only when the caller allows it
//     (RepairOptions::unlinkRemoved); otherwise it stays and the outcome says so.
// Every other kill result, an exception from the kill, a file changed on disk since it was read,
// a symbolic link in its place, a file with other hard links, an interrupt before the exchange,
// or any failing step leaves the original byte for byte as it was, and no quarantine entry.
//
// What cannot be caught: a process that holds the original open for writing and writes to it
// after the last check (just before the exchange) writes into the file that is then unlinked.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

#include "host/anchored_file.h"
#include "host/kept_metadata.h"
#include "host/qxbase/file_object.h"
#include "host/quarantine.h"

namespace host {

// Steps of a commit, in order, so that tests can make one fail or stop there.
enum class CommitStep { None, Lock, Backup, WriteTemporary, SyncTemporary, Link, Rename, Verify, Discard };

struct RepairOptions {
    std::filesystem::path quarantineDir;  // empty: originals are not kept
    bool unlinkRemoved = false;           // without a quarantine directory, may a removal unlink?
    Verdict verdict;                      // recorded with the quarantine entry
    // Set by a signal handler: a commit that has not reached the exchange is rolled back.
    const std::atomic<bool>* interrupted = nullptr;
    // How long to wait for another process's commit of the same file (it holds the file's lock).
    std::chrono::milliseconds lockWait{30000};
    CommitStep failAt = CommitStep::None;          // tests: this step fails as if the disk refused it
    bool withoutExchange = false;                  // tests: act as on a file system without RENAME_EXCHANGE
    std::function<void(CommitStep)> atStep;        // tests: called as each step begins (may park there)
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
    std::filesystem::path backupPath;  // the quarantine entry holding the original (empty when not kept)
    std::string quarantineId;          // that entry's ID
};

// Kill results that report success: repaired or removed.
bool killSucceeded(uint32_t killResult);

// Applies a finished kill on `file` (read with FileObject::fromDescriptor from at.file).
RepairOutcome commitKill(const AnchoredFile& at, FileObject* file, uint32_t killResult, const RepairOptions& options);

// The same for a file read by path: the file is opened again (its directory as named, the file
// without following a link) and must be the one that was read.
RepairOutcome commitKill(FileObject* file, uint32_t killResult, const RepairOptions& options);

// Opens `path` as a named path, reads it, classifies it, runs `kill` on the private copy and
// commits the result. An exception from `kill` counts as a failed repair.
RepairOutcome repairFile(const std::filesystem::path& path, const std::function<uint32_t(FileObject*)>& kill,
                         const RepairOptions& options);

// Puts `bytes` with `kept` metadata at `name` in `dirFd` through the same commit: exchanged with
// the file open as `current` when that is given (it must still be at `name`, unchanged since
// `currentIdentity`), else created where nothing may exist. For restoring from quarantine.
bool placeBytes(int dirFd, const std::string& name, int sourceFd, uint64_t size, const KeptMetadata& kept,
                int64_t accessedNs, int64_t modifiedNs, int currentFd, const DiskIdentity* currentIdentity,
                const RepairOptions& options, std::string* error);

// The temporary files a commit makes are named ".NAME.remedy-PID-XXXXXXXX". True when `name` in
// `dirFd` is one left by a process that no longer runs (killed mid-commit), owned by this user,
// and it was removed.
bool removeStaleTemporary(int dirFd, const std::string& name);

// The identity of the file open on `fd`, as FileObject::fromDescriptor records it.
bool identityOf(int fd, DiskIdentity* out);

}  // namespace host
