// The remedy command's sub-commands.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace cli {

struct ScanOptions {
    std::vector<std::string> paths;
    bool clean = false;                   // repair what is found
    bool heuristics = false;              // configuration setting 131
    std::filesystem::path quarantineDir;  // where originals go before a repair or removal
};

// Exit codes, as scanners use them.
constexpr int kExitClean = 0;
constexpr int kExitFound = 1;
constexpr int kExitError = 2;

// Scans (and with clean, repairs) each path; one line a file on stdout.
int runScan(const std::string& modulePath, const ScanOptions& options);

// The module's version line and the host's.
int runVersion(const std::string& modulePath);

}  // namespace cli
