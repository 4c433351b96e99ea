// A file held by descriptors: the directory it lies in and the file itself, both opened without
// following a symbolic link below the place the caller trusts. Reading, checking and replacing
// the file then go through these descriptors and never resolve a path again, so renaming a
// directory or putting a link in its place during the run cannot redirect them.
#pragma once

#include <string>

namespace host {

// An owned descriptor; closed when it goes away.
class UniqueFd {
public:
    explicit UniqueFd(int fd = -1) : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = other.release();
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1);

private:
    int fd_;
};

struct AnchoredFile {
    UniqueFd dir;      // the directory holding the file (a real descriptor: it can be synced)
    std::string name;  // the file's name in `dir`
    UniqueFd file;     // the file, read-only
    std::string path;  // as the user sees it, for messages
};

// Opens the file at `relative` (names separated by '/', no "." or ".." parts) below the
// directory `rootFd`, following no symbolic link on the way or at the end; with openat2 and
// RESOLVE_BENEATH where the kernel has it, else one openat(O_NOFOLLOW) a directory. `path` is
// the name shown in messages. False with *error set ("symbolic link not followed" when the
// file or a directory on the way is a link).
bool openBeneath(int rootFd, const std::string& relative, const std::string& path, AnchoredFile* out,
                 std::string* error);

// Opens a path the user named: its directory part as named (links in it are the user's
// choice), the file itself never through a link.
bool openNamed(const std::string& path, AnchoredFile* out, std::string* error);

// Opens the directory `relative` below `rootFd` the same way (empty: `rootFd` itself).
UniqueFd openDirectoryBeneath(int rootFd, const std::string& relative);

}  // namespace host
