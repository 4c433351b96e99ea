// The remedy command's sub-commands.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "host/archive/archive_limits.h"
#include "host/scan/commit_report.h"

namespace cli {

struct ScanOptions {
    std::vector<std::string> paths;
    std::string filesFrom;                // a file of paths, one a line; "-" for stdin
    bool filesFromNul = false;            // the list's paths end with NUL bytes, not newlines
    bool recurse = true;                  // descend into directories below the named ones
    bool clean = false;                   // repair what is found
    bool heuristics = false;              // configuration setting 131
    bool damaged = false;                 // the request's damaged flag: the bad-file tables
    bool json = false;                    // one JSON object a line instead of text
    bool summary = true;                  // the summary at the end
    bool progress = false;                // a progress line on stderr (set when it is a terminal)
    unsigned jobs = 0;                    // parallel workers; 0: one a core
    uint64_t maxFileSize = 100ull << 20;  // larger files are skipped with a note
    bool alertExceedsMax = false;         // a file not fully scanned is a finding
    uint64_t maxMemory = 0;               // bytes of file contents held at once; 0: the default
    std::vector<std::string> excludes;     // --exclude GLOB
    std::vector<std::string> excludeDirs;  // --exclude-dir GLOB
    bool oneFileSystem = false;           // --one-file-system
    host::ArchiveLimits archives;         // --max-recursion, --max-files, --max-scansize, --max-ratio
    host::CommitSettings commit;  // how scan --clean and kill commit a repair
    // Signature rules: the shipped directory (empty: none), then the user's files and directories.
    std::filesystem::path shippedRules;
    std::vector<std::filesystem::path> userRules;
    // The display name of a virus identifier ("" none), from the module's unit listing.
};

// What `remedy kill` asks the kill engine for.
struct KillOptions {
    enum class By { None, Id, Method, Special } by = By::None;
    uint32_t number = 0;     // the virus identifier, method number or special-method number
    uint32_t parameter = 0;  // --param: the special method's parameter
    std::string path;
    host::CommitSettings commit;  // how scan --clean and kill commit a repair
};

// Exit codes, as scanners use them.
constexpr int kExitClean = 0;
constexpr int kExitFound = 1;
constexpr int kExitError = 2;

// Scans (and with clean, repairs) each file; one line a file on stdout, in the order the
// files were named, whatever the number of workers.
int runScan(const std::string& modulePath, const ScanOptions& options);

// One kill-engine request on one file, committed as scan --clean commits. Exit status 0
// repaired or removed, 1 the module could not repair it (the file is unchanged), 2 an error.
int runKill(const std::string& modulePath, const KillOptions& options);

// remedy quarantine list|restore|remove: what `args` (after "quarantine") asks.
int runQuarantine(const std::vector<std::string>& args, const std::filesystem::path& defaultDir);

// The unit listing of the module at modulePath, one row a line: TABLE ROW KEY ID STATE CLASS
// NAME, STATE built or inert. Exit status 2 when the module does not load or has no listing.
int runUnits(const std::string& modulePath);

// The module's version line and the host's.
int runVersion(const std::string& modulePath);

}  // namespace cli
