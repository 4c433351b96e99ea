// What a replacement file must keep of the file it replaces: owner, group, mode, access control
// lists, the extended attributes the caller may copy and the inode flags.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace host {

struct KeptMetadata {
    uint32_t owner = 0, group = 0, mode = 0;  // mode: permission bits only
    // user.*, security.* (file capabilities among them), trusted.* where readable, and the
    // access ACL (system.posix_acl_access): name and value.
    std::vector<std::pair<std::string, std::string>> attributes;
    uint32_t inodeFlags = 0;  // FS_IOC_GETFLAGS, the user-settable ones; 0 where the file system has none
};

// Reads what `fd`'s file carries. False with *error set when it cannot be read, or when the file
// is immutable or append-only (it must not be replaced).
bool readKeptMetadata(int fd, KeptMetadata* out, std::string* error);

// Gives the file open on `fd` (written, not yet in place) all of `kept`, in the order that keeps
// it: owner first (a change of owner clears set-id bits and capabilities), then mode, then the
// attributes, then the flags. Checks afterwards that the mode is exactly the original's, so the
// group never gains a permission. False with *error naming what could not be kept.
bool applyKeptMetadata(int fd, const KeptMetadata& kept, std::string* error);

}  // namespace host
