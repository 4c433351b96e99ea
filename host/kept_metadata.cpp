#include "host/kept_metadata.h"

#include <cerrno>
#include <cstring>

#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace host {

namespace {

constexpr size_t kMaxAttributeBytes = 1 << 20;  // bounds a hostile file's list and values

std::string systemError(const std::string& what) { return what + ": " + std::strerror(errno); }

// Attributes a copy should carry. Other system.* names are the file system's own bookkeeping.
bool copiedAttribute(const std::string& name) {
    return name.starts_with("user.") || name.starts_with("security.") || name.starts_with("trusted.") ||
           name == "system.posix_acl_access";
}

bool unsupported(int code) { return code == ENOTSUP || code == ENOTTY || code == EINVAL || code == ENOSYS; }

}  // namespace

bool readKeptMetadata(int fd, KeptMetadata* out, std::string* error) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        *error = systemError("cannot examine the file");
        return false;
    }
    out->owner = st.st_uid;
    out->group = st.st_gid;
    out->mode = st.st_mode & 07777;
    int flags = 0;
    if (::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
        // Only the flags a user sets; the others (extents, inline data ...) belong to the file system.
        out->inodeFlags = uint32_t(flags) & FS_FL_USER_MODIFIABLE;
        if (flags & (FS_IMMUTABLE_FL | FS_APPEND_FL)) {
            *error = flags & FS_IMMUTABLE_FL ? "the file is immutable" : "the file is append-only";
            return false;
        }
    } else if (!unsupported(errno)) {
        *error = systemError("cannot read the inode flags");
        return false;
    }
    out->attributes.clear();
    const ssize_t listSize = ::flistxattr(fd, nullptr, 0);
    if (listSize < 0) {
        if (unsupported(errno)) return true;
        *error = systemError("cannot list the extended attributes");
        return false;
    }
    std::string names(size_t(std::min<ssize_t>(listSize, kMaxAttributeBytes)), '\0');
    const ssize_t got = names.empty() ? 0 : ::flistxattr(fd, names.data(), names.size());
    if (got < 0) {
        *error = systemError("cannot list the extended attributes (they changed while read)");
        return false;
    }
    size_t total = 0;
    for (size_t at = 0; at < size_t(got);) {
        const std::string name(names.c_str() + at);
        at += name.size() + 1;
        if (!copiedAttribute(name)) continue;
        const ssize_t size = ::fgetxattr(fd, name.c_str(), nullptr, 0);
        if (size < 0 || size_t(size) > kMaxAttributeBytes - total) {
            *error = size < 0 ? systemError("cannot read the attribute " + name) : "extended attributes too large";
            return false;
        }
        std::string value(size_t(size), '\0');
        const ssize_t read = size ? ::fgetxattr(fd, name.c_str(), value.data(), value.size()) : 0;
        if (read < 0) {
            *error = systemError("cannot read the attribute " + name);
            return false;
        }
        value.resize(size_t(read));
        total += value.size();
        out->attributes.emplace_back(name, std::move(value));
    }
    return true;
}

bool applyKeptMetadata(int fd, const KeptMetadata& kept, std::string* error) {
    if (::fchown(fd, kept.owner, kept.group) != 0) {
        *error = systemError("cannot give the replacement the original's owner and group");
        return false;
    }
    if (::fchmod(fd, kept.mode) != 0) {
        *error = systemError("cannot give the replacement the original's mode");
        return false;
    }
    for (const auto& [name, value] : kept.attributes) {
        if (::fsetxattr(fd, name.c_str(), value.data(), value.size(), 0) != 0) {
            *error = systemError("cannot keep the attribute " + name);
            return false;
        }
    }
    int flags = 0;
    const bool haveFlags = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    if (haveFlags ? (uint32_t(flags) & FS_FL_USER_MODIFIABLE) != kept.inodeFlags : kept.inodeFlags != 0) {
        flags = int((uint32_t(flags) & ~uint32_t(FS_FL_USER_MODIFIABLE)) | kept.inodeFlags);
        if (::ioctl(fd, FS_IOC_SETFLAGS, &flags) != 0) {
            *error = systemError("cannot keep the inode flags");
            return false;
        }
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || (st.st_mode & 07777) != kept.mode || st.st_uid != kept.owner ||
        st.st_gid != kept.group) {
        *error = "the replacement's owner or mode came out different from the original's";
        return false;
    }
    return true;
}

}  // namespace host
