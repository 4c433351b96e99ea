// What one scan learned about one input (a file on disk, an open descriptor or bytes in memory):
// its verdicts, what a repair did, errors, notes, the limits it met and how long it took.
// Deciding happens in file_scanner.cpp; the command's and the daemon's printers only read this.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace host {

struct FoundVirus {
    std::string id;     // "0x0000ABCD"; empty for a finding that has no identifier
    std::string name;   // empty when no listing or rule names it
    std::string phase;  // the engine that found it
    std::string rule;   // the signature rule, when one matched
};

// The finding a caller that treats "not fully scanned" as a finding gives such a file.
FoundVirus limitsExceededFinding();

std::string hexId(uint32_t value);  // "0x0000ABCD"

struct ScanResult {
    std::string path;  // the exact bytes of the name the caller gave
    // A member of an archive at `path`: its names from the outermost archive inwards
    // ("b.tar.gz", "c.exe" for a.zip!b.tar.gz!c.exe). Empty for the input itself.
    std::vector<std::string> members;
    // An archive's members at every depth, each with `members` set, in the order the archive
    // holds them; a nested archive comes after the members inside it.
    std::vector<ScanResult> inside;
    uint64_t foundInside = 0;  // an archive: how many of its members, at any depth, were found
    std::optional<uint64_t> size;
    std::optional<uint32_t> format;
    std::vector<FoundVirus> findings;
    std::vector<std::string> actions;  // what a repair did or a preview would do
    std::vector<std::string> errors;
    std::vector<std::string> notes;    // why the input was skipped
    std::vector<std::string> limits;   // limits the engines reached: "emulation steps (CScanX)"
    std::vector<uint8_t> repairedBytes;  // a repair in memory: the repaired contents
    double milliseconds = 0;
    bool scanned = false;         // the engines ran over the input
    bool skippedForSize = false;  // larger than the size allowed
    bool unreadable = false;      // an input that could not be read
    bool repaired = false, removed = false, failed = false;

    bool found() const { return !findings.empty(); }
    // This input or any member inside it.
    bool foundAnywhere() const;
    // Not read, or read but not searched to the end.
    bool incomplete() const { return skippedForSize || !limits.empty(); }
};

}  // namespace host
