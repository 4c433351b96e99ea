// What a scan learned about each file, the summary over all of them, and the printers that
// put them on standard output as text or JSON lines. Deciding happens in scan.cpp; this file
// only prints.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace cli {

struct FoundVirus {
    std::string id;     // "0x0000ABCD"; empty for a finding that has no identifier
    std::string name;   // empty when no table or rule names it
    std::string phase;  // the engine that found it
    std::string rule;   // the signature rule, when one matched
};

// The finding --alert-exceeds-max gives a file that was not fully scanned.
FoundVirus limitsExceededFinding();

struct FileResult {
    std::string path;  // the exact bytes of the name
    std::optional<uint64_t> size;
    std::optional<uint32_t> format;
    std::vector<FoundVirus> findings;
    std::vector<std::string> actions;  // what --clean did or --dry-run would do
    std::vector<std::string> errors;
    std::vector<std::string> notes;    // why the path was skipped
    std::vector<std::string> limits;   // limits the engines reached: "emulation steps (CScanX)"
    double milliseconds = 0;
    bool scanned = false;         // the engines ran over the file
    bool skippedForSize = false;  // larger than --max-filesize
    bool unreadable = false;      // a file that could not be read
    bool repaired = false, removed = false, failed = false;

    bool found() const { return !findings.empty(); }
    // Not read, or read but not searched to the end: what --alert-exceeds-max reports.
    bool incomplete() const { return skippedForSize || !limits.empty(); }
};

// "PATH: TEXT", where TEXT is "OK" or the findings, actions, error, notes and limits joined
// with "; ". The path and the text go through escapedText, so the line holds no control
// byte, always starts with the path it is about, and unescapes to the exact name.
std::string textLine(const FileResult& result);

// One JSON object. "path" is the readable form of the name; when that is not exact (the name
// is not valid UTF-8), "path_bytes" holds the name's bytes in base64.
std::string jsonLine(const FileResult& result);

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
    void add(const FileResult& result);
};

std::string summaryText(const Summary& summary, double seconds);
std::string summaryJson(const Summary& summary, double seconds, const MemoryFigures& memory);

}  // namespace cli
