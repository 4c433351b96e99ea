// Walking the named paths into a scan list.
#include "cli/file_walk.h"

#include "cli/escaped_text.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <optional>
#include <set>
#include <sstream>

#include "cli/interrupt.h"
#include "host/repair.h"

namespace cli {

namespace {

constexpr int kMaxDepth = 256;

// File systems that are views of the kernel, not files: reading them consumes or changes state.
const char* pseudoFileSystem(int64_t type) {
    switch (uint64_t(type)) {
        case PROC_SUPER_MAGIC: return "proc";
        case SYSFS_MAGIC: return "sysfs";
        case CGROUP_SUPER_MAGIC: return "cgroup";
        case CGROUP2_SUPER_MAGIC: return "cgroup2";
        case DEBUGFS_MAGIC: return "debugfs";
        case TRACEFS_MAGIC: return "tracefs";
        case SECURITYFS_MAGIC: return "securityfs";
        case DEVPTS_SUPER_MAGIC: return "devpts";
        case PSTOREFS_MAGIC: return "pstore";
        case BPF_FS_MAGIC: return "bpf";
        case EFIVARFS_MAGIC: return "efivarfs";
        case SELINUX_MAGIC: return "selinuxfs";
        case NSFS_MAGIC: return "nsfs";
        case BINFMTFS_MAGIC: return "binfmt_misc";
        case 0x62656570: return "configfs";
        case 0x65735543: return "fusectl";
        case 0x19800202: return "mqueue";
        default: return nullptr;
    }
}

// devtmpfs reports tmpfs's magic number: its mounts are found by device number instead.
std::set<dev_t> devtmpfsDevices() {
    std::set<dev_t> devices;
    std::ifstream mounts("/proc/self/mountinfo");
    std::string line;
    for (int lines = 0; lines < 100000 && std::getline(mounts, line); ++lines) {
        const size_t dash = line.find(" - ");
        unsigned major = 0, minor = 0;
        if (dash == std::string::npos || std::sscanf(line.c_str(), "%*u %*u %u:%u", &major, &minor) != 2) continue;
        if (line.compare(dash + 3, 9, "devtmpfs ") == 0) devices.insert(makedev(major, minor));
    }
    return devices;
}

bool matchesAny(const std::vector<std::string>& globs, const std::string& name, const std::string& relative) {
    return std::any_of(globs.begin(), globs.end(), [&](const std::string& glob) {
        return ::fnmatch(glob.c_str(), name.c_str(), 0) == 0 || ::fnmatch(glob.c_str(), relative.c_str(), 0) == 0;
    });
}

class Walker {
public:
    Walker(const WalkOptions& options, WalkCounts* counts, std::vector<WalkEntry>* out)
        : options_(options), counts_(counts), out_(out) {}

    void named(const std::string& path) {
        struct stat info {};
        if (::lstat(path.c_str(), &info) != 0) return note(path, std::strerror(errno), true);
        if (S_ISLNK(info.st_mode)) return note(path, "Symbolic link not followed");
        if (S_ISREG(info.st_mode)) return file(path, info, nullptr, "");
        if (!S_ISDIR(info.st_mode)) return note(path, "Not a regular file, skipped");
        host::UniqueFd dir(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!dir.valid() || ::fstat(dir.get(), &info) != 0)
            return note(path, std::string("cannot read the directory: ") + std::strerror(errno), true);
        auto root = std::make_shared<WalkRoot>(WalkRoot{path, uint64_t(info.st_dev), uint64_t(info.st_ino), host::UniqueFd()});
        directory(dir.get(), info, root, "", path.ends_with('/') ? path : path + "/", 0);
        if (openRoots_ < kMaxOpenRoots) {
            root->fd = std::move(dir);
            ++openRoots_;
        }
    }

private:
    void note(const std::string& path, const std::string& text, bool error = false) {
        out_->push_back({path, error ? "" : text, error ? text : "", false, nullptr, ""});
    }

    void file(const std::string& path, const struct stat& info, std::shared_ptr<const WalkRoot> root,
              const std::string& relative) {
        if (uint64_t(info.st_size) > options_.maxFileSize)
            return out_->push_back({path, "Larger than --max-filesize (" + std::to_string(options_.maxFileSize) +
                                        " bytes), skipped", "", true, nullptr, ""});
        out_->push_back({path, "", "", false, std::move(root), relative});
    }

    // The directory open on `fd`; `shown` is its path with a trailing '/'.
    void directory(int fd, const struct stat& self, const std::shared_ptr<const WalkRoot>& root,
                   const std::string& relative, const std::string& shown, int depth) {
        const int listing = ::dup(fd);
        DIR* dir = listing >= 0 ? ::fdopendir(listing) : nullptr;
        if (!dir) {
            if (listing >= 0) ::close(listing);
            return note(shown.substr(0, shown.size() - 1),
                        std::string("cannot read the directory: ") + std::strerror(errno), true);
        }
        std::vector<std::string> names;
        errno = 0;
        while (const dirent* entry = ::readdir(dir)) {
            if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
                names.emplace_back(entry->d_name);
            errno = 0;
        }
        const int readError = errno;
        ::closedir(dir);
        if (readError != 0)
            note(shown.substr(0, shown.size() - 1),
                 std::string("cannot read the directory: ") + std::strerror(readError), true);
        std::sort(names.begin(), names.end());
        for (const std::string& name : names) {
            if (interruptRequested().load()) return;  // a signal ends the walk too; the run says so
            if (options_.removeStaleTemporaries && host::removeStaleTemporary(fd, name)) continue;
            child(fd, self, root, name, relative.empty() ? name : relative + "/" + name, shown + name, depth + 1);
        }
    }

    void child(int parentFd, const struct stat& parent, const std::shared_ptr<const WalkRoot>& root,
               const std::string& name, const std::string& relative, const std::string& path, int depth) {
        struct stat info {};
        if (::fstatat(parentFd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0)
            return note(path, std::strerror(errno), true);
        if (S_ISLNK(info.st_mode)) {
            if (counts_) ++counts_->linksSkipped;
            return;
        }
        const bool isDirectory = S_ISDIR(info.st_mode);
        if (matchesAny(isDirectory ? options_.excludeDirs : options_.excludes, name, relative)) {
            if (counts_) ++counts_->excluded;
            return;
        }
        if (S_ISREG(info.st_mode)) return file(path, info, root, relative);
        if (!isDirectory) return note(path, "Not a regular file, skipped");
        if (!options_.recurse) return;  // --no-recurse: the named directory's files only
        if (depth >= kMaxDepth) return note(path, "directory tree too deep", true);
        host::UniqueFd dir(::openat(parentFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!dir.valid() || ::fstat(dir.get(), &info) != 0) {
            if (errno == ELOOP || errno == ENOTDIR) {  // replaced by a link since it was listed
                if (counts_) ++counts_->linksSkipped;
                return;
            }
            return note(path, std::string("cannot read the directory: ") + std::strerror(errno), true);
        }
        if (info.st_dev != parent.st_dev) {  // a mount point
            struct statfs fsInfo {};
            const char* pseudo = ::fstatfs(dir.get(), &fsInfo) == 0 ? pseudoFileSystem(fsInfo.f_type) : nullptr;
            if (!pseudo && isDevtmpfs(info.st_dev)) pseudo = "devtmpfs";
            if (pseudo) return note(path, std::string("Pseudo file system (") + pseudo + "), skipped");
            if (options_.oneFileSystem) return note(path, "Other file system, skipped (--one-file-system)");
        }
        directory(dir.get(), info, root, relative, path + "/", depth);
    }

    // The mount table is read at the first mount point met, not for every walk: the daemon walks
    // each path a client names, most of them single files.
    bool isDevtmpfs(dev_t device) {
        if (!devtmpfs_) devtmpfs_ = devtmpfsDevices();
        return devtmpfs_->count(device) != 0;
    }

    const WalkOptions& options_;
    WalkCounts* counts_;
    std::vector<WalkEntry>* out_;
    std::optional<std::set<dev_t>> devtmpfs_;
    size_t openRoots_ = 0;
};

}  // namespace

std::vector<WalkEntry> walkPaths(const std::vector<std::string>& paths, const WalkOptions& options,
                                 WalkCounts* counts) {
    std::vector<WalkEntry> entries;
    Walker walker(options, counts, &entries);
    for (const std::string& path : paths) walker.named(path);
    return entries;
}

bool openWalkEntry(const WalkEntry& entry, host::AnchoredFile* out, std::string* error) {
    if (!entry.root) return host::openNamed(entry.path, out, error);
    if (entry.root->fd.valid()) return host::openBeneath(entry.root->fd.get(), entry.relative, entry.path, out, error);
    host::UniqueFd root(::open(entry.root->path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat info {};
    if (!root.valid() || ::fstat(root.get(), &info) != 0 || uint64_t(info.st_dev) != entry.root->device ||
        uint64_t(info.st_ino) != entry.root->inode) {
        *error = "the directory " + entry.root->path + " was replaced during the scan";
        return false;
    }
    return host::openBeneath(root.get(), entry.relative, entry.path, out, error);
}

bool readPathList(const std::string& source, char separator, std::vector<std::string>* paths, std::string* error) {
    std::ifstream file;
    std::istream* in = &std::cin;
    const std::string name = source == "-" ? "standard input" : escapedText(source);
    if (source != "-") {
        file.open(source, std::ios::binary);
        if (!file) {
            *error = "cannot read " + name + ": " + std::strerror(errno);
            return false;
        }
        in = &file;
    }
    std::string line;
    for (uint64_t number = 1; std::getline(*in, line, separator); ++number) {
        // A NUL cannot stand in a name: the list was written for --files-from0, and reading it
        // by lines would scan the heads of its names.
        if (separator == '\n' && line.find('\0') != std::string::npos) {
            *error = name + " line " + std::to_string(number) +
                     " holds a NUL byte (lists of NUL-terminated names go with --files-from0)";
            return false;
        }
        if (separator == '\n' && !line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) paths->push_back(line);
    }
    if (in->bad()) {
        *error = "cannot read " + name;
        return false;
    }
    return true;
}

host::ScanResult scanWalkEntry(host::FileScanner& scanner, const WalkEntry& entry, const host::ScanSettings& settings) {
    if (entry.scan()) {
        host::AnchoredFile at;  // held until the commit: the file is repaired through these descriptors
        std::string error;
        if (openWalkEntry(entry, &at, &error)) return scanner.scanOpened(at, entry.path, settings);
        host::ScanResult result;
        result.path = entry.path;
        result.failed = result.unreadable = true;
        result.errors.push_back(error);
        return result;
    }
    // A path the walk passed over: its note or error is the whole result.
    host::ScanResult result;
    result.path = entry.path;
    result.skippedForSize = entry.tooLarge;
    if (!entry.error.empty()) {
        result.failed = true;
        result.errors.push_back(entry.error);
    } else {
        result.notes.push_back(entry.note);
    }
    if (settings.alertExceedsMax && result.incomplete()) result.findings.push_back(host::limitsExceededFinding());
    return result;
}

}  // namespace cli
