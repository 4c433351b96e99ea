// Turns the paths a user names into the list of files to scan.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/anchored_file.h"
#include "host/scan/file_scanner.h"

namespace cli {

// A directory the user named, as it was when the walk opened it. The walk keeps it open (up to
// kMaxOpenRoots of them); a root beyond that is opened again by path for each file and must
// still be the same directory.
struct WalkRoot {
    std::string path;
    uint64_t device = 0, inode = 0;
    host::UniqueFd fd;
};
constexpr size_t kMaxOpenRoots = 256;

// One entry of the scan list: a regular file to scan, or a note/error about a path that
// is not scanned (a directory that cannot be read, a special file, a symbolic link).
struct WalkEntry {
    std::string path;
    // Both empty: scan the file. Else the path is not scanned, and one says why.
    std::string note;   // a path passed over ("Symbolic link not followed")
    std::string error;  // a path that could not be walked (exit code 2)
    bool tooLarge = false;  // skipped for --max-filesize
    bool scan() const { return note.empty() && error.empty(); }
    // Where the file is found again: below the named directory `root` at `relative`, or, with
    // no root, at `path` as the user named it.
    std::shared_ptr<const WalkRoot> root;
    std::string relative;
};

struct WalkOptions {
    bool recurse = true;
    uint64_t maxFileSize = UINT64_MAX;  // larger regular files get a note instead of a scan
    std::vector<std::string> excludes;     // --exclude: files whose name or relative path match
    std::vector<std::string> excludeDirs;  // --exclude-dir: directories likewise
    bool oneFileSystem = false;            // do not descend into other mounted file systems
    // Remove temporary files that a killed repair left in the directories walked.
    bool removeStaleTemporaries = false;
};

// What the walk passed over without a line of its own.
struct WalkCounts {
    uint64_t linksSkipped = 0;  // symbolic links inside the trees
    uint64_t excluded = 0;      // files and directories matched by --exclude/--exclude-dir
};

// Walks `paths` in order; directory entries are sorted by name so the list (and the output)
// is the same from run to run. A tree is walked through directory descriptors opened without
// following links, from the named directory down, so renaming or linking during the walk
// cannot lead it out of the tree. Symbolic links are never followed: inside a tree they are
// counted (WalkCounts), a link named directly gets a note. Pseudo file systems (proc, sysfs,
// cgroup, debugfs ...) met inside a tree are skipped with one note each. The depth is bounded.
std::vector<WalkEntry> walkPaths(const std::vector<std::string>& paths, const WalkOptions& options,
                                 WalkCounts* counts = nullptr);

// Opens an entry's file for reading and a later commit: below its root (which must still be the
// directory the walk opened) without following any link, or as named.
bool openWalkEntry(const WalkEntry& entry, host::AnchoredFile* out, std::string* error);

// Scans one entry of the walk with `scanner`: the file opened as openWalkEntry opens it (a
// repair commits through its directory), or, for a path the walk passed over, a result that
// holds only its note or error.
host::ScanResult scanWalkEntry(host::FileScanner& scanner, const WalkEntry& entry, const host::ScanSettings& settings);

// Reads the paths in `source` ("-" for stdin), each ended by `separator` ('\n' or '\0'; the
// last may lack it); empty entries are skipped, and with '\n' a line's final '\r' is dropped.
// False with *error set when the source cannot be read, or when a line of a '\n' list holds
// a NUL byte (the error names the line).
bool readPathList(const std::string& source, char separator, std::vector<std::string>* paths, std::string* error);

}  // namespace cli
