#include "host/repair.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "host/classify.h"
#include "sdk/identifiers.h"
#include "sdk/property.h"
#include "sdk/results.h"

namespace host {

namespace fs = std::filesystem;

namespace {

std::string systemError(const std::string& what) { return what + ": " + std::strerror(errno); }

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    void reset() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_;
};

bool writeAll(int fd, const uint8_t* data, size_t size) {
    while (size) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= size_t(n);
    }
    return true;
}

void syncDirectory(const fs::path& dir) {
    Fd fd(::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.get() >= 0) ::fsync(fd.get());  // best effort: the data itself is already synced
}

// A new, empty, private file "<dir>/<prefix>XXXXXX".
int makeTemporary(const fs::path& dir, const std::string& prefix, fs::path* made) {
    std::string pattern = (dir / (prefix + "XXXXXX")).string();
    int fd = ::mkstemp(pattern.data());
    if (fd >= 0) *made = pattern;
    return fd;
}

// Is the file at `path` still the one that was read?
bool sameAsRead(const fs::path& path, const DiskIdentity& read, std::string* error) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        *error = systemError("cannot examine the original");
        return false;
    }
    if (S_ISLNK(st.st_mode)) {
        *error = "the path is a symbolic link; repairs are not made through links";
        return false;
    }
    int64_t modified = int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    if (!S_ISREG(st.st_mode) || uint64_t(st.st_dev) != read.device || uint64_t(st.st_ino) != read.inode ||
        uint64_t(st.st_size) != read.size || modified != read.modifiedNs) {
        *error = "the file changed on disk since it was read";
        return false;
    }
    return true;
}

// Copies the file at `from` into a new file in the quarantine directory.
bool copyToQuarantine(const fs::path& from, const fs::path& quarantineDir, bool fail, fs::path* copy,
                      std::string* error) {
    std::error_code ec;
    fs::create_directories(quarantineDir, ec);
    if (ec) {
        *error = "cannot create the quarantine directory: " + ec.message();
        return false;
    }
    Fd in(::open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (in.get() < 0) {
        *error = systemError("cannot read the original for its backup");
        return false;
    }
    fs::path made;
    Fd out(makeTemporary(quarantineDir, from.filename().string() + ".", &made));
    if (out.get() < 0) {
        *error = systemError("cannot create the backup");
        return false;
    }
    std::vector<uint8_t> buffer(1 << 16);
    bool ok = !fail;
    while (ok) {
        ssize_t n = ::read(in.get(), buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        ok = writeAll(out.get(), buffer.data(), size_t(n));
    }
    ok = ok && ::fsync(out.get()) == 0;
    if (!ok) {
        *error = fail ? "backup failed (simulated)" : systemError("cannot write the backup");
        ::unlink(made.c_str());
        return false;
    }
    out.reset();
    syncDirectory(quarantineDir);
    *copy = made;
    return true;
}

// Moves the original into quarantine: a rename when both lie on one file system, else a copy
// that is complete on disk before the original is unlinked.
bool moveToQuarantine(const fs::path& original, const fs::path& quarantineDir, bool fail, fs::path* moved,
                      std::string* error) {
    std::error_code ec;
    fs::create_directories(quarantineDir, ec);
    if (ec) {
        *error = "cannot create the quarantine directory: " + ec.message();
        return false;
    }
    if (fail) {
        *error = "quarantine failed (simulated)";
        return false;
    }
    fs::path placeholder;
    Fd fd(makeTemporary(quarantineDir, original.filename().string() + ".", &placeholder));
    if (fd.get() < 0) {
        *error = systemError("cannot create the quarantine entry");
        return false;
    }
    fd.reset();
    if (::rename(original.c_str(), placeholder.c_str()) == 0) {
        syncDirectory(quarantineDir);
        syncDirectory(original.parent_path());
        *moved = placeholder;
        return true;
    }
    int renameError = errno;
    ::unlink(placeholder.c_str());
    if (renameError != EXDEV) {
        errno = renameError;
        *error = systemError("cannot move the original to quarantine");
        return false;
    }
    if (!copyToQuarantine(original, quarantineDir, false, moved, error)) return false;
    if (::unlink(original.c_str()) != 0) {
        *error = systemError("copied to quarantine but cannot unlink the original");
        return false;
    }
    syncDirectory(original.parent_path());
    return true;
}

// Writes the repaired bytes to a new temporary file beside the original, with its permissions.
bool writeReplacement(const fs::path& dir, const std::string& base, const std::vector<uint8_t>& bytes,
                      const DiskIdentity& original, CommitStep failAt, fs::path* made, std::string* error) {
    Fd fd(makeTemporary(dir, "." + base + ".remedy-", made));
    if (fd.get() < 0) {
        *error = systemError("cannot create a temporary file beside the original");
        return false;
    }
    bool ok = failAt != CommitStep::WriteTemporary && writeAll(fd.get(), bytes.data(), bytes.size());
    // The owner first: changing it may clear set-id bits, which the mode then restores. A file
    // whose owner this process cannot give the replacement is not replaced at all.
    ok = ok && ::fchown(fd.get(), original.owner, original.group) == 0;
    ok = ok && ::fchmod(fd.get(), original.mode & 07777) == 0;
    ok = ok && failAt != CommitStep::SyncTemporary && ::fsync(fd.get()) == 0;
    if (!ok) {
        *error = failAt == CommitStep::WriteTemporary || failAt == CommitStep::SyncTemporary
                     ? "writing the repaired file failed (simulated)"
                     : systemError("cannot write the repaired file with the original's owner and mode");
        ::unlink(made->c_str());
        return false;
    }
    return true;
}

// Puts `temporary` at `target`; with noReplace an existing target is an error.
bool placeFile(const fs::path& temporary, const fs::path& target, bool noReplace, bool fail, std::string* error) {
    int r = -1;
    if (fail) {
        errno = EIO;
    } else if (!noReplace) {
        r = ::rename(temporary.c_str(), target.c_str());
    } else {
        r = ::renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE);
        if (r != 0 && (errno == EINVAL || errno == ENOSYS)) {  // no such rename here: a link does the same
            r = ::link(temporary.c_str(), target.c_str());
            if (r == 0) ::unlink(temporary.c_str());
        }
    }
    if (r != 0) {
        *error = fail ? "rename failed (simulated)" : systemError("cannot put the repaired file in place");
        ::unlink(temporary.c_str());
        return false;
    }
    syncDirectory(target.parent_path());
    return true;
}

// The name the kill asked for (PID_File_RenameName), resolved beside the original; empty when
// none was asked for or it is the original's own name. A name with a directory part must name
// the original's directory exactly as the original's path does: "sub/../x" is refused even when
// it reads as the same directory, since "sub" may be a link to anywhere.
bool requestedName(FileObject* file, const fs::path& original, fs::path* renamed, std::string* error) {
    std::string name;
    renamed->clear();
    if (!file->getStringProperty(qe::PID_File_RenameName, &name) || name.empty()) return true;
    fs::path wanted(name);
    if (!wanted.has_parent_path()) wanted = original.parent_path() / wanted;
    if (wanted == original) return true;
    const fs::path leaf = wanted.filename();
    if (wanted.parent_path() != original.parent_path() || leaf.empty() || leaf == "." || leaf == "..") {
        *error = "the new name lies outside the file's directory";
        return false;
    }
    *renamed = wanted;
    return true;
}

}  // namespace

bool killSucceeded(uint32_t killResult) { return killResult == KILL_REPAIRED || killResult == KILL_REMOVED; }

RepairOutcome commitKill(FileObject* file, uint32_t killResult, const RepairOptions& options) {
    RepairOutcome outcome;
    outcome.killResult = killResult;
    if (!killSucceeded(killResult)) return outcome;
    const DiskIdentity* identity = file->diskIdentity();
    if (!identity) {
        outcome.error = "the file was not read from disk";
        return outcome;
    }
    const fs::path original(file->path());
    if (!sameAsRead(original, *identity, &outcome.error)) return outcome;
    const bool keep = !options.quarantineDir.empty();

    if (killResult == KILL_REMOVED || file->removed()) {
        if (keep) {
            if (!moveToQuarantine(original, options.quarantineDir, options.failAt == CommitStep::Backup,
                                  &outcome.backupPath, &outcome.error))
                return outcome;
        } else if (!options.unlinkRemoved) {
            outcome.error = "removal not applied: no quarantine directory";
            return outcome;
        } else if (::unlink(original.c_str()) != 0) {
            outcome.error = systemError("cannot remove the file");
            return outcome;
        } else {
            syncDirectory(original.parent_path());
        }
        outcome.action = RepairAction::Removed;
        return outcome;
    }

    fs::path renamed;
    if (!requestedName(file, original, &renamed, &outcome.error)) return outcome;
    if (keep && renamed.empty() &&
        !copyToQuarantine(original, options.quarantineDir, options.failAt == CommitStep::Backup, &outcome.backupPath,
                          &outcome.error))
        return outcome;
    fs::path temporary;
    if (!writeReplacement(original.parent_path().empty() ? "." : original.parent_path(),
                          original.filename().string(), file->bytes(), *identity, options.failAt, &temporary,
                          &outcome.error)) {
        outcome.backupPath.clear();
        return outcome;
    }
    // The last moment to notice a change made while the kill ran.
    if (!sameAsRead(original, *identity, &outcome.error)) {
        ::unlink(temporary.c_str());
        return outcome;
    }
    const fs::path target = renamed.empty() ? original : renamed;
    if (!placeFile(temporary, target, !renamed.empty(), options.failAt == CommitStep::Rename, &outcome.error)) {
        outcome.backupPath.clear();
        return outcome;
    }
    outcome.action = RepairAction::Replaced;
    outcome.finalPath = target;
    if (!renamed.empty()) {
        // The repaired file stands under its new name; the original goes the way of a removal.
        if (keep) {
            if (!moveToQuarantine(original, options.quarantineDir, false, &outcome.backupPath, &outcome.error))
                outcome.error = "repaired as " + target.string() + ", but " + outcome.error;
        } else if (::unlink(original.c_str()) != 0) {
            outcome.error = systemError("repaired as " + target.string() + ", but cannot remove the original");
        }
    }
    return outcome;
}

RepairOutcome repairFile(const fs::path& path, const std::function<uint32_t(FileObject*)>& kill,
                         const RepairOptions& options) {
    RepairOutcome outcome;
    std::string error;
    FileObject* file = FileObject::fromFile(path.string(), &error);
    if (!file) {
        outcome.error = "cannot read " + path.string() + ": " + error;
        return outcome;
    }
    classify(file);
    uint32_t result = KILL_FAILED;
    bool threw = false;
    try {
        result = kill(file);
    } catch (const std::exception& e) {
        threw = true;
        outcome.error = std::string("the repair failed: ") + e.what();
    } catch (...) {
        threw = true;
        outcome.error = "the repair failed";
    }
    if (!threw) outcome = commitKill(file, result, options);
    file->Release();
    return outcome;
}

}  // namespace host
