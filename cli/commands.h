// The remedy command's sub-commands.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace cli {

struct ScanOptions {
    std::vector<std::string> paths;
    std::string filesFrom;                // a file of paths, one a line; "-" for stdin
    bool recurse = true;                  // descend into directories below the named ones
    bool clean = false;                   // repair what is found
    bool heuristics = false;              // configuration setting 131
    bool json = false;                    // one JSON object a line instead of text
    bool summary = true;                  // the summary at the end
    unsigned jobs = 0;                    // parallel workers; 0: one a core
    std::filesystem::path quarantineDir;  // where originals go before a repair or removal
    // Signature rules: the shipped directory (empty: none), then the user's files and directories.
    std::filesystem::path shippedRules;
    std::vector<std::filesystem::path> userRules;
};

// Exit codes, as scanners use them.
constexpr int kExitClean = 0;
constexpr int kExitFound = 1;
constexpr int kExitError = 2;

// Scans (and with clean, repairs) each file; one line a file on stdout, in the order the
// files were named, whatever the number of workers.
int runScan(const std::string& modulePath, const ScanOptions& options);

// The module's version line and the host's.
int runVersion(const std::string& modulePath);

}  // namespace cli
