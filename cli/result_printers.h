// The command's printers: a scan's result for each file as a text or a JSON line, and the
// summary over all of them. They only print; host::FileScanner decides.
#pragma once

#include <cstdint>
#include <string>

#include "host/scan/scan_result.h"

namespace cli {

struct MemoryFigures {
    uint64_t budget = 0;   // bytes of file contents the workers may hold at once
    uint64_t peak = 0;     // the most they held
    uint64_t rssPeak = 0;  // the process's peak resident memory
};

struct Summary {
    uint64_t files = 0, bytes = 0, found = 0, repaired = 0, removed = 0, errors = 0;
    uint64_t notScanned = 0;     // files skipped for their size or not readable
    uint64_t limitsReached = 0;  // files scanned only in part
    uint64_t linksSkipped = 0;   // symbolic links met inside trees
    uint64_t excluded = 0;       // files and directories --exclude / --exclude-dir left out
    std::string interruptedBy;   // the signal that ended the run early, or empty
    void add(const host::ScanResult& result);
};

// "PATH: TEXT", where TEXT is "OK" or the findings, actions, error, notes and limits joined
// with "; ". The path and the text go through escapedText, so the line holds no control
// byte, always starts with the path it is about, and unescapes to the exact name.
std::string textLine(const host::ScanResult& result);
std::string summaryText(const Summary& summary, double seconds);

// One JSON object. "path" is the readable form of the name; when that is not exact (the name
// is not valid UTF-8), "path_bytes" holds the name's bytes in base64.
std::string jsonLine(const host::ScanResult& result);
std::string summaryJson(const Summary& summary, double seconds, const MemoryFigures& memory);

double megabytesPerSecond(uint64_t bytes, double seconds);  // 0 when no time passed

}  // namespace cli
