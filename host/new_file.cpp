#include "host/new_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include <algorithm>

#include <fcntl.h>
#include <unistd.h>

namespace host {

namespace {

std::string systemError(const std::string& what) { return what + ": " + std::strerror(errno); }

}  // namespace

bool createNewFile(int dirFd, const std::string& fallbackName, NewFile* out, std::string* error) {
    out->temporaryName.clear();
    out->fd = UniqueFd(::openat(dirFd, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
    if (out->fd.valid()) return true;
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL && errno != ENOENT) {
        *error = systemError("cannot create a file");
        return false;
    }
    out->fd = UniqueFd(::openat(dirFd, fallbackName.c_str(), O_CREAT | O_EXCL | O_RDWR | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!out->fd.valid()) {
        *error = systemError("cannot create a file");
        return false;
    }
    out->temporaryName = fallbackName;
    return true;
}

bool nameNewFile(int dirFd, NewFile* file, const std::string& name, std::string* error) {
    if (file->temporaryName.empty()) {
        // Linking by /proc needs no privilege; AT_EMPTY_PATH needs CAP_DAC_READ_SEARCH.
        char self[64];
        std::snprintf(self, sizeof self, "/proc/self/fd/%d", file->fd.get());
        if (::linkat(AT_FDCWD, self, dirFd, name.c_str(), AT_SYMLINK_FOLLOW) == 0) return true;
        if (errno == ENOENT && ::linkat(file->fd.get(), "", dirFd, name.c_str(), AT_EMPTY_PATH) == 0) return true;
        *error = systemError("cannot name the new file");
        return false;
    }
    int r = ::renameat2(dirFd, file->temporaryName.c_str(), dirFd, name.c_str(), RENAME_NOREPLACE);
    if (r != 0 && (errno == EINVAL || errno == ENOSYS)) {  // no such rename here: a link does the same
        r = ::linkat(dirFd, file->temporaryName.c_str(), dirFd, name.c_str(), 0);
        if (r == 0) ::unlinkat(dirFd, file->temporaryName.c_str(), 0);
    }
    if (r != 0) {
        *error = systemError("cannot name the new file");
        return false;
    }
    file->temporaryName.clear();
    return true;
}

void discardNewFile(int dirFd, NewFile* file) {
    if (!file->temporaryName.empty()) ::unlinkat(dirFd, file->temporaryName.c_str(), 0);
    file->temporaryName.clear();
    file->fd.reset();
}

bool writeAll(int fd, const void* data, size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size) {
        const ssize_t n = ::write(fd, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        size -= size_t(n);
    }
    return true;
}

bool copyBytes(int fromFd, uint64_t size, int toFd, const std::function<void(const uint8_t*, size_t)>& seen) {
    std::vector<uint8_t> buffer(1 << 16);
    for (uint64_t copied = 0; copied < size;) {
        const ssize_t n =
            ::pread(fromFd, buffer.data(), size_t(std::min<uint64_t>(buffer.size(), size - copied)), off_t(copied));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;  // it shrank
            return false;
        }
        if (seen) seen(buffer.data(), size_t(n));
        if (!writeAll(toFd, buffer.data(), size_t(n))) return false;
        copied += uint64_t(n);
    }
    return true;
}

void syncDirectory(int dirFd) { ::fsync(dirFd); }

}  // namespace host
