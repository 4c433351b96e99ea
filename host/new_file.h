// New files that appear complete or not at all. Where the file system has O_TMPFILE the file has
// no name while it is written, so a process killed meanwhile leaves nothing behind; elsewhere it
// is written under a temporary name the caller chooses, and renamed.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "host/anchored_file.h"

namespace host {

struct NewFile {
    UniqueFd fd;                // open for reading and writing, mode 0600
    std::string temporaryName;  // empty while the file has no name
};

// Creates the file in `dirFd`: unnamed where possible, else as `fallbackName` (which must not
// exist). False with *error set.
bool createNewFile(int dirFd, const std::string& fallbackName, NewFile* out, std::string* error);

// Gives the file `name` in `dirFd`, which must not exist yet. False with *error set; the file
// keeps its temporary name (if any), so discardNewFile still cleans up.
bool nameNewFile(int dirFd, NewFile* file, const std::string& name, std::string* error);

// Removes the temporary name, if any, and closes the file.
void discardNewFile(int dirFd, NewFile* file);

// Writes all of `data` at the file's offset, going on after EINTR and short writes. False on an
// error (errno set) or when nothing more can be written.
bool writeAll(int fd, const void* data, size_t size);

// Copies `size` bytes from offset 0 of `fromFd` to `toFd`, telling `seen` every piece (may be
// empty). False when a read or write fails or `fromFd` ends early (errno EIO then).
bool copyBytes(int fromFd, uint64_t size, int toFd, const std::function<void(const uint8_t*, size_t)>& seen);

// Syncs the directory so that a rename or link in it survives a crash (best effort).
void syncDirectory(int dirFd);

}  // namespace host
