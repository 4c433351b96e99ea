#include "host/anchored_file.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace host {

namespace {

constexpr int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
constexpr int kFileFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

// openat2 below `dirFd` following no link; -1 with errno ENOSYS where the kernel lacks it.
int openResolvedBeneath(int dirFd, const std::string& relative, int flags) {
#ifdef SYS_openat2
    open_how how{};
    how.flags = uint64_t(flags);
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    // EAGAIN: a rename raced the lookup. A few tries, then the stepwise open, which needs none.
    for (int attempt = 0; attempt < 8; ++attempt) {
        const long fd = ::syscall(SYS_openat2, dirFd, relative.c_str(), &how, sizeof how);
        if (fd >= 0 || errno != EAGAIN) return int(fd);
    }
    errno = ENOSYS;
    return -1;
#else
    (void)dirFd, (void)relative, (void)flags;
    errno = ENOSYS;
    return -1;
#endif
}

// The same, one directory at a time with O_NOFOLLOW, for kernels without openat2.
int openStepwise(int dirFd, const std::string& relative, int lastFlags) {
    UniqueFd current(::openat(dirFd, ".", kDirectoryFlags));
    size_t start = 0;
    while (current.valid()) {
        const size_t slash = relative.find('/', start);
        const std::string part = relative.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
        if (part.empty() || part == "." || part == "..") {
            errno = EXDEV;
            return -1;
        }
        if (slash == std::string::npos) return ::openat(current.get(), part.c_str(), lastFlags);
        current = UniqueFd(::openat(current.get(), part.c_str(), kDirectoryFlags));
        start = slash + 1;
    }
    return -1;
}

int openBelow(int rootFd, const std::string& relative, int flags) {
    const int fd = openResolvedBeneath(rootFd, relative, flags);
    if (fd >= 0 || (errno != ENOSYS && errno != EPERM)) return fd;  // EPERM: a seccomp filter refused it
    return openStepwise(rootFd, relative, flags);
}

std::string openError(int code) {
    if (code == ELOOP || code == EXDEV) return "symbolic link not followed";
    if (code == ENOTDIR) return "a directory on the way is no longer a directory";
    return std::strerror(code);
}

// Opens out->name in out->dir, never through a link.
bool openFileInDir(AnchoredFile* out, std::string* error) {
    if (out->name.empty() || out->name == "." || out->name == "..") {
        *error = "not a file name";
        return false;
    }
    out->file = UniqueFd(::openat(out->dir.get(), out->name.c_str(), kFileFlags));
    if (!out->file.valid()) {
        *error = openError(errno);
        return false;
    }
    return true;
}

}  // namespace

void UniqueFd::reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
}

UniqueFd openDirectoryBeneath(int rootFd, const std::string& relative) {
    if (relative.empty()) return UniqueFd(::openat(rootFd, ".", kDirectoryFlags));
    return UniqueFd(openBelow(rootFd, relative, kDirectoryFlags));
}

bool openBeneath(int rootFd, const std::string& relative, const std::string& path, AnchoredFile* out,
                 std::string* error) {
    const size_t slash = relative.rfind('/');
    out->path = path;
    out->name = slash == std::string::npos ? relative : relative.substr(slash + 1);
    const std::string dirPart = slash == std::string::npos ? std::string() : relative.substr(0, slash);
    out->dir = openDirectoryBeneath(rootFd, dirPart);
    if (!out->dir.valid()) {
        // O_NOFOLLOW with O_DIRECTORY answers ENOTDIR for a link: say which it was.
        struct stat st {};
        const int code = errno;
        *error = openError(code == ENOTDIR && ::fstatat(rootFd, dirPart.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                                   S_ISLNK(st.st_mode)
                               ? ELOOP
                               : code);
        return false;
    }
    return openFileInDir(out, error);
}

bool openNamed(const std::string& path, AnchoredFile* out, std::string* error) {
    std::string dir = ".", name = path;
    if (const size_t slash = path.rfind('/'); slash != std::string::npos) {
        dir = slash == 0 ? "/" : path.substr(0, slash);
        name = path.substr(slash + 1);
    }
    UniqueFd root(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!root.valid()) {
        *error = std::strerror(errno);
        return false;
    }
    // The directory opened is the file's own: it is kept, not opened again below itself.
    out->path = path;
    out->name = name;
    out->dir = std::move(root);
    return openFileInDir(out, error);
}

}  // namespace host
