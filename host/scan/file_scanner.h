// One scan of one input, as a library: a file named by path, a file the caller opened (through
// its directory, for a repair), an open descriptor, or bytes in memory go in; a ScanResult
// comes out. The command's walk, the daemon's commands and the archive walk all scan through
// here, so a file gets the same verdict, limits and repair whichever way it arrives.
//
//   auto scanner = host::FileScanner::create({module, rules, heuristics, names}, &error);
//   host::ScanResult result = scanner->scanPath("/srv/in/a.exe", settings);
//
// A FileScanner owns one set of engines and serves one scan at a time: use one per thread.
// The module and the compiled rules are shared between scanners.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host/anchored_file.h"
#include "host/archive/archive_limits.h"
#include "host/scan/commit_report.h"
#include "host/scan/memory_budget.h"
#include "host/scan/scan_result.h"

namespace host {

class Engines;
class FileObject;
class Module;
class ScanTarget;
class SignatureLibrary;
struct UnpackState;

// What one scan does besides finding.
struct ScanSettings {
    enum class Repair {
        None,      // only find
        Commit,    // repair the file on disk through its directory (dryRun: only say what would be done)
        InMemory,  // repair a private copy and hand its bytes back in ScanResult::repairedBytes
    };
    Repair repair = Repair::None;
    CommitSettings commit;            // for Repair::Commit
    bool damaged = false;             // the request's damaged flag: the bad-file tables
    bool alertExceedsMax = false;     // an input not fully scanned gets limitsExceededFinding()
    uint64_t maxFileSize = UINT64_MAX;  // larger inputs are not read: skippedForSize with a note
    WorkerMemory* memory = nullptr;   // when set, a file's bytes come out of this budget while held
    // Archives (host/archive/archive_reader.h) are scanned as themselves and member by member,
    // within these limits; their members get maxFileSize too.
    ArchiveLimits archives;
    // Tests: called with each file read from disk before it is scanned (may change the file there).
    std::function<void(FileObject*)> afterRead;
};

class FileScanner {
public:
    struct Setup {
        std::shared_ptr<Module> module;
        std::shared_ptr<const SignatureLibrary> signatures;  // null: no signature rules
        bool heuristics = false;                             // run the unknown-virus units
        std::function<std::string(uint32_t)> virusName;      // display name of a virus id; may be empty
    };
    // Null with *error when the module's engines cannot be made.
    static std::unique_ptr<FileScanner> create(const Setup& setup, std::string* error);
    ~FileScanner();
    FileScanner(const FileScanner&) = delete;
    FileScanner& operator=(const FileScanner&) = delete;

    // Scans with these compiled rules from the next scan on (a reload). False with *error, and
    // the old rules kept, when the scanner for them cannot be made.
    bool useSignatures(std::shared_ptr<const SignatureLibrary> signatures, std::string* error);

    // The file at `path`, opened without following a link in its place (host::openNamed).
    ScanResult scanPath(const std::string& path, const ScanSettings& settings);
    // The file the caller opened through its directory; a Commit repair goes through `at`.
    ScanResult scanOpened(const AnchoredFile& at, const std::string& path, const ScanSettings& settings);
    // The regular file open on `fd` (read from offset 0; the descriptor stays the caller's). A
    // descriptor has no directory to commit through: Commit is refused with an error.
    ScanResult scanDescriptor(int fd, const std::string& name, const ScanSettings& settings);
    // Bytes in memory, named `name` in the result. Commit is refused with an error.
    ScanResult scanBytes(std::vector<uint8_t> bytes, const std::string& name, const ScanSettings& settings);

private:
    FileScanner() = default;
    // Reads the regular file open on `fd` (opened through `at`, or null) and scans it.
    void readAndScan(int fd, const AnchoredFile* at, const ScanSettings& settings, ScanResult& result);
    // Scans the file object (reference taken over) read from `at` (null for memory). `unpack`:
    // what is left for the archives around it, null for an input of its own.
    void scanObject(FileObject* file, const AnchoredFile* at, const ScanSettings& settings, ScanResult& result,
                    UnpackState* unpack = nullptr);
    // The engines, the members and the repair of scanObject.
    void scanTarget(ScanTarget& target, const AnchoredFile* at, const ScanSettings& settings, ScanResult& result,
                    UnpackState* unpack);
    // The members of `file` when it is an archive, scanned into result.inside; repaired ones
    // are written back into the archive (host/archive/archive_inside.h).
    void scanInside(FileObject* file, const AnchoredFile* at, const ScanSettings& settings, ScanResult& result,
                    UnpackState* unpack);

    std::unique_ptr<Engines> engines_;
    std::function<std::string(uint32_t)> virusName_;
};

}  // namespace host
