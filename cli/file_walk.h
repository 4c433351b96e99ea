// Turns the paths a user names into the list of files to scan.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace cli {

// One entry of the scan list: a regular file to scan, or a note/error about a path that
// is not scanned (a directory that cannot be read, a special file, a symbolic link).
struct WalkEntry {
    std::string path;
    std::string note;    // empty: scan the file; else the text printed after "PATH: "
    bool error = false;  // the note is an error (exit code 2)
    bool tooLarge = false;  // skipped for --max-filesize
};

struct WalkOptions {
    bool recurse = true;
    uint64_t maxFileSize = UINT64_MAX;  // larger regular files get a note instead of a scan
};

// Walks `paths` in order; directory entries are sorted by name so the list (and the output)
// is the same from run to run. Symbolic links are never followed - not into trees and not
// when named directly - so nothing outside the named trees is scanned or repaired through
// a link, and link loops cannot occur. The depth is bounded for bind-mount loops.
std::vector<WalkEntry> walkPaths(const std::vector<std::string>& paths, const WalkOptions& options);

// Reads the paths in `source` ("-" for stdin), each ended by `separator` ('\n' or '\0'; the
// last may lack it); empty entries are skipped, and with '\n' a line's final '\r' is dropped.
// False with *error set when the source cannot be read, or when a line of a '\n' list holds
// a NUL byte (the error names the line).
bool readPathList(const std::string& source, char separator, std::vector<std::string>* paths, std::string* error);

}  // namespace cli
