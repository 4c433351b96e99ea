#include "host/repair.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include "host/classify.h"
#include "host/kept_metadata.h"
#include "host/new_file.h"
#include "host/sha256.h"
#include "sdk/identifiers.h"
#include "sdk/property.h"
#include "sdk/results.h"

namespace host {

namespace fs = std::filesystem;

namespace {

constexpr const char* kChanged = "changed while repaired";
constexpr const char* kTemporaryMarker = ".remedy-";
constexpr auto kLockPause = std::chrono::milliseconds(10);

std::string systemError(const std::string& what) { return what + ": " + std::strerror(errno); }

int64_t nanoseconds(const timespec& t) { return int64_t(t.tv_sec) * 1000000000 + t.tv_nsec; }

// Runs the steps of one commit: tells the test hook, and says whether the step may go ahead.
class Steps {
public:
    explicit Steps(const RepairOptions& options) : options_(options) {}
    bool reach(CommitStep step) const {
        if (options_.atStep) options_.atStep(step);
        return options_.failAt != step;
    }
    bool interrupted() const { return options_.interrupted && options_.interrupted->load(); }
    std::chrono::milliseconds lockWait() const { return options_.lockWait; }
    bool withoutExchange() const { return options_.withoutExchange; }

private:
    const RepairOptions& options_;
};

bool sameInode(const struct stat& st, const DiskIdentity& read) {
    return uint64_t(st.st_dev) == read.device && uint64_t(st.st_ino) == read.inode;
}

// Is the file open on `fd` still exactly as read, and still the one at `name` in `dirFd`?
bool stillAsRead(int dirFd, const std::string& name, int fd, const DiskIdentity& read, std::string* error) {
    struct stat open {}, named {};
    if (::fstat(fd, &open) != 0) {
        *error = systemError("cannot examine the original");
        return false;
    }
    if (!DiskIdentity::of(open).sameContentsAs(read)) {
        *error = kChanged;
        return false;
    }
    if (::fstatat(dirFd, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0) {
        *error = errno == ENOENT ? std::string(kChanged) + " (it is gone)" : systemError("cannot examine the original");
        return false;
    }
    if (S_ISLNK(named.st_mode)) {
        *error = "the path is a symbolic link; repairs are not made through links";
        return false;
    }
    if (!sameInode(named, read)) {
        *error = std::string(kChanged) + " (another file took its name)";
        return false;
    }
    return true;
}

// An exclusive lock on the file, so that two runs never commit the same file at once.
bool lockFile(int fd, const Steps& steps, std::string* error) {
    const auto attempts = std::max<int64_t>(1, steps.lockWait() / kLockPause);
    for (int64_t attempt = 0; attempt < attempts; ++attempt) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
        if (errno != EWOULDBLOCK && errno != EINTR) {
            *error = systemError("cannot lock the file");
            return false;
        }
        if (steps.interrupted()) break;
        std::this_thread::sleep_for(kLockPause);
    }
    *error = "another process is repairing the file";
    return false;
}

std::string temporaryName(const std::string& name) {
    uint32_t random = 0;
    if (::getrandom(&random, sizeof random, GRND_NONBLOCK) != sizeof random)
        random = uint32_t(std::chrono::steady_clock::now().time_since_epoch().count());
    char tail[48];
    std::snprintf(tail, sizeof tail, "%s%d-%08x", kTemporaryMarker, int(::getpid()), random);
    std::string temporary = ".";
    temporary.append(name, 0, 200).append(tail);  // stays within NAME_MAX whatever the name
    return temporary;
}

// The replacement, written and named at a temporary name beside the original.
struct Replacement {
    NewFile file;
    std::string name;
};

bool prepareReplacement(int dirFd, const std::string& original, const std::function<bool(int)>& writeBytes,
                        const KeptMetadata& kept, const timespec* times, const Steps& steps, Replacement* out,
                        std::string* error) {
    out->name = temporaryName(original);
    if (!steps.reach(CommitStep::WriteTemporary)) {
        *error = "writing the repaired file failed (simulated)";
        return false;
    }
    if (!createNewFile(dirFd, out->name, &out->file, error)) {
        *error = "cannot create a file beside the original: " + *error;
        return false;
    }
    const auto fail = [&](const std::string& why) {
        *error = why;
        discardNewFile(dirFd, &out->file);
        return false;
    };
    if (!writeBytes(out->file.fd.get())) return fail(systemError("cannot write the repaired file"));
    // Metadata after the bytes: a write by anyone but root clears set-id bits and capabilities.
    if (!applyKeptMetadata(out->file.fd.get(), kept, error)) return fail(*error);
    if (times && ::futimens(out->file.fd.get(), times) != 0) return fail(systemError("cannot set the file's times"));
    if (!steps.reach(CommitStep::SyncTemporary)) return fail("writing the repaired file failed (simulated)");
    if (::fsync(out->file.fd.get()) != 0) return fail(systemError("cannot write the repaired file"));
    if (steps.interrupted()) return fail("interrupted; the file is unchanged");
    if (!steps.reach(CommitStep::Link)) return fail("naming the repaired file failed (simulated)");
    if (out->file.temporaryName.empty()) {
        if (!nameNewFile(dirFd, &out->file, out->name, error)) return fail(*error);
        out->file.temporaryName = out->name;  // from here on discardNewFile unlinks it
    }
    return true;
}

// Renames `name` aside to `aside` and checks that what moved is the file that was read; puts it
// back otherwise. `aside` must be a fresh name.
bool takeAside(int dirFd, const std::string& name, int fd, const DiskIdentity& read, const std::string& aside,
               std::string* error) {
    int r = ::renameat2(dirFd, name.c_str(), dirFd, aside.c_str(), RENAME_NOREPLACE);
    if (r != 0 && (errno == EINVAL || errno == ENOSYS)) r = ::renameat(dirFd, name.c_str(), dirFd, aside.c_str());
    if (r != 0) {
        *error = systemError("cannot move the original");
        return false;
    }
    struct stat moved {}, open {};
    if (::fstatat(dirFd, aside.c_str(), &moved, AT_SYMLINK_NOFOLLOW) == 0 && sameInode(moved, read) &&
        ::fstat(fd, &open) == 0 && uint64_t(open.st_size) == read.size &&
        nanoseconds(open.st_mtim) == read.modifiedNs && open.st_nlink == 1)
        return true;
    *error = kChanged;
    if (::renameat2(dirFd, aside.c_str(), dirFd, name.c_str(), RENAME_NOREPLACE) != 0 &&
        ::linkat(dirFd, aside.c_str(), dirFd, name.c_str(), 0) != 0)
        *error += "; what took its place is left as " + aside;
    else
        ::unlinkat(dirFd, aside.c_str(), 0);
    return false;
}

// Swaps the replacement in for the file at `name` and checks that what came out is the very file
// that was read, unchanged; swaps back otherwise. The replacement's temporary name then holds the
// original, which is unlinked.
bool swapIn(int dirFd, const std::string& name, Replacement* replacement, int fd, const DiskIdentity& read,
            const Steps& steps, std::string* error) {
    const auto fail = [&](const std::string& why) {
        *error = why;
        discardNewFile(dirFd, &replacement->file);
        return false;
    };
    if (!steps.reach(CommitStep::Rename)) return fail("rename failed (simulated)");
    // The last check before the exchange: after it, only a writer that already holds the file
    // open can change it unseen.
    if (!stillAsRead(dirFd, name, fd, read, error)) return fail(*error);
    errno = EINVAL;
    if (steps.withoutExchange() ||
        ::renameat2(dirFd, replacement->name.c_str(), dirFd, name.c_str(), RENAME_EXCHANGE) != 0) {
        if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP && errno != EXDEV)
            return fail(systemError("cannot put the repaired file in place"));
        // No exchange on this file system: move the original aside, check it, then take its name.
        const std::string aside = temporaryName(name);
        if (!takeAside(dirFd, name, fd, read, aside, error)) return fail(*error);
        // Never over a file that took the name meanwhile: a plain rename only where NOREPLACE is unknown.
        if (::renameat2(dirFd, replacement->name.c_str(), dirFd, name.c_str(), RENAME_NOREPLACE) != 0 &&
            ((errno != EINVAL && errno != ENOSYS) ||
             ::renameat(dirFd, replacement->name.c_str(), dirFd, name.c_str()) != 0)) {
            const std::string why = systemError("cannot put the repaired file in place");
            ::renameat2(dirFd, aside.c_str(), dirFd, name.c_str(), RENAME_NOREPLACE);
            return fail(why);
        }
        replacement->file.temporaryName = aside;
    } else {
        steps.reach(CommitStep::Verify);
        struct stat out {}, open {};
        const bool same = ::fstatat(dirFd, replacement->name.c_str(), &out, AT_SYMLINK_NOFOLLOW) == 0 &&
                          sameInode(out, read) && ::fstat(fd, &open) == 0 && uint64_t(open.st_size) == read.size &&
                          nanoseconds(open.st_mtim) == read.modifiedNs && open.st_nlink == 1;
        if (!same) {
            if (::renameat2(dirFd, replacement->name.c_str(), dirFd, name.c_str(), RENAME_EXCHANGE) != 0) {
                *error = systemError(std::string(kChanged) + ", and swapping back failed") + "; the other file is " +
                         replacement->name;
                replacement->file.temporaryName.clear();
                return false;
            }
            return fail(kChanged);
        }
    }
    steps.reach(CommitStep::Discard);
    discardNewFile(dirFd, &replacement->file);  // the original, now under the temporary name
    syncDirectory(dirFd);
    return true;
}

// The name the kill asked for (PID_File_RenameName), as a name in the original's directory;
// empty when none was asked for or it is the original's own name. A name with a directory part
// must name the original's directory exactly as the original's path does: "sub/../x" is refused
// even when it reads as the same directory, since "sub" may be a link to anywhere.
bool requestedName(FileObject* file, const fs::path& original, std::string* renamed, std::string* error) {
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
    *renamed = leaf.string();
    return true;
}

// One commit of a successful kill, with what it needs at hand.
class Commit {
public:
    Commit(const AnchoredFile& at, FileObject* file, const DiskIdentity& read, const RepairOptions& options,
           RepairOutcome* outcome)
        : at_(at), file_(file), read_(read), options_(options), steps_(options), outcome_(*outcome) {}

    void run(bool removal) {
        if (!steps_.reach(CommitStep::Lock)) return refuse("cannot lock the file (simulated)");
        if (!lockFile(at_.file.get(), steps_, &outcome_.error)) return;
        if (!stillAsRead(at_.dir.get(), at_.name, at_.file.get(), read_, &outcome_.error)) return;
        struct stat st {};
        if (::fstat(at_.file.get(), &st) != 0) return refuse(systemError("cannot examine the original"));
        if (st.st_nlink > 1)
            return refuse(std::to_string(st.st_nlink) + " hard links (the other links would keep the infected bytes)");
        if (!readKeptMetadata(at_.file.get(), &kept_, &outcome_.error)) return;
        removal ? remove() : replace();
    }

private:
    void refuse(const std::string& why) { outcome_.error = why; }

    bool keep() const { return !options_.quarantineDir.empty(); }

    bool backup(const std::string& action, const std::string& replacementSha256) {
        if (!steps_.reach(CommitStep::Backup)) {
            refuse("backup failed (simulated)");
            return false;
        }
        if (!keep()) return true;
        std::string error;
        if (!Quarantine::open(options_.quarantineDir, true, &quarantine_, &error)) {
            refuse(error);
            return false;
        }
        QuarantineRecord record;
        if (!describeForQuarantine(at_.file.get(), at_.path, kept_, &record)) {
            refuse(systemError("cannot examine the original"));
            return false;
        }
        record.replacementSha256 = replacementSha256;
        record.verdict = options_.verdict;
        record.action = action;
        if (!quarantine_.add(at_.file.get(), &record, &error)) {
            refuse(error);
            return false;
        }
        outcome_.quarantineId = record.id;
        outcome_.backupPath = quarantine_.entryPath(record.id);
        return true;
    }

    // Undoes the backup of a commit that did not happen; names the entry if it cannot.
    void dropBackup() {
        if (outcome_.quarantineId.empty()) return;
        std::string error;
        if (quarantine_.remove(outcome_.quarantineId, &error)) {
            outcome_.quarantineId.clear();
            outcome_.backupPath.clear();
        } else {
            outcome_.error += "; the original's copy is left as " + outcome_.backupPath.string();
        }
    }

    // Takes the original's name away (after its backup): aside, checked, unlinked.
    bool unlinkOriginal() {
        const std::string aside = temporaryName(at_.name);
        if (!takeAside(at_.dir.get(), at_.name, at_.file.get(), read_, aside, &outcome_.error)) return false;
        ::unlinkat(at_.dir.get(), aside.c_str(), 0);
        syncDirectory(at_.dir.get());
        return true;
    }

    void remove() {
        if (!keep() && !options_.unlinkRemoved) return refuse("removal not applied: no quarantine directory");
        if (!backup("removed", "")) return;
        if (steps_.interrupted()) {
            refuse("interrupted; the file is unchanged");
            return dropBackup();
        }
        if (!steps_.reach(CommitStep::Rename)) {
            refuse("quarantine failed (simulated)");
            return dropBackup();
        }
        if (!unlinkOriginal()) return dropBackup();
        outcome_.action = RepairAction::Removed;
    }

    void replace() {
        std::string renamed;
        if (!requestedName(file_, fs::path(at_.path), &renamed, &outcome_.error)) return;
        const ByteView bytes = file_->bytes();
        if (!backup(renamed.empty() ? "repaired" : "renamed", Sha256::hex(bytes.data(), bytes.size()))) return;
        Replacement replacement;
        const auto writeBytes = [&](int fd) { return writeAll(fd, bytes.data(), bytes.size()); };
        if (!prepareReplacement(at_.dir.get(), at_.name, writeBytes, kept_, nullptr, steps_, &replacement,
                                &outcome_.error))
            return dropBackup();
        // Mapped bytes are read as they are written: the file cut short meanwhile gave zeros.
        if (file_->shrankWhileMapped()) {
            discardNewFile(at_.dir.get(), &replacement.file);
            refuse(kShrankWhileScanned);
            return dropBackup();
        }
        const fs::path shown(at_.path);
        if (renamed.empty()) {
            if (!swapIn(at_.dir.get(), at_.name, &replacement, at_.file.get(), read_, steps_, &outcome_.error))
                return dropBackup();
            outcome_.action = RepairAction::Replaced;
            outcome_.finalPath = shown;
            return;
        }
        if (!stillAsRead(at_.dir.get(), at_.name, at_.file.get(), read_, &outcome_.error)) {
            discardNewFile(at_.dir.get(), &replacement.file);
            return dropBackup();
        }
        if (!steps_.reach(CommitStep::Rename) ||
            !nameNewFile(at_.dir.get(), &replacement.file, renamed, &outcome_.error)) {
            if (outcome_.error.empty()) outcome_.error = "rename failed (simulated)";
            discardNewFile(at_.dir.get(), &replacement.file);
            return dropBackup();
        }
        replacement.file.fd.reset();
        syncDirectory(at_.dir.get());
        outcome_.action = RepairAction::Replaced;
        outcome_.finalPath = shown.parent_path() / renamed;
        // The repaired file stands under its new name; the original goes the way of a removal.
        if (!unlinkOriginal())
            outcome_.error = "repaired as " + outcome_.finalPath.string() + ", but the original stays: " + outcome_.error;
    }

    const AnchoredFile& at_;
    FileObject* file_;
    const DiskIdentity& read_;
    const RepairOptions& options_;
    Steps steps_;
    RepairOutcome& outcome_;
    KeptMetadata kept_;
    Quarantine quarantine_;
};

}  // namespace

bool killSucceeded(uint32_t killResult) { return killResult == KILL_REPAIRED || killResult == KILL_REMOVED; }

bool identityOf(int fd, DiskIdentity* out) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return false;
    *out = DiskIdentity::of(st);
    return true;
}

RepairOutcome commitKill(const AnchoredFile& at, FileObject* file, uint32_t killResult, const RepairOptions& options) {
    RepairOutcome outcome;
    outcome.killResult = killResult;
    if (!killSucceeded(killResult)) return outcome;
    const DiskIdentity* identity = file->diskIdentity();
    if (!identity) {
        outcome.error = "the file was not read from disk";
        return outcome;
    }
    if (file->shrankWhileMapped()) {
        outcome.error = kShrankWhileScanned;
        return outcome;
    }
    Commit(at, file, *identity, options, &outcome).run(killResult == KILL_REMOVED || file->removed());
    return outcome;
}

RepairOutcome commitKill(FileObject* file, uint32_t killResult, const RepairOptions& options) {
    AnchoredFile at;
    std::string error;
    if (killSucceeded(killResult) && file->diskIdentity() && !openNamed(file->path(), &at, &error)) {
        RepairOutcome outcome;
        outcome.killResult = killResult;
        outcome.error = error == "symbolic link not followed"
                            ? "the path is a symbolic link; repairs are not made through links"
                            : "cannot open the original: " + error;
        return outcome;
    }
    return commitKill(at, file, killResult, options);
}

RepairOutcome repairFile(const fs::path& path, const std::function<uint32_t(FileObject*)>& kill,
                         const RepairOptions& options) {
    RepairOutcome outcome;
    std::string error;
    AnchoredFile at;
    FileObject* file = openNamed(path.string(), &at, &error) ? FileObject::fromDescriptor(at.file.get(), path.string(), &error)
                                                              : nullptr;
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
    if (!threw) outcome = commitKill(at, file, result, options);
    file->Release();
    return outcome;
}

bool placeBytes(int dirFd, const std::string& name, int sourceFd, uint64_t size, const KeptMetadata& kept,
                int64_t accessedNs, int64_t modifiedNs, int currentFd, const DiskIdentity* currentIdentity,
                const RepairOptions& options, std::string* error) {
    const Steps steps(options);
    if (currentFd >= 0 && !lockFile(currentFd, steps, error)) return false;
    const auto copyEntry = [&](int fd) { return copyBytes(sourceFd, size, fd, nullptr); };
    const timespec times[2] = {{time_t(accessedNs / 1000000000), long(accessedNs % 1000000000)},
                               {time_t(modifiedNs / 1000000000), long(modifiedNs % 1000000000)}};
    Replacement replacement;
    if (!prepareReplacement(dirFd, name, copyEntry, kept, times, steps, &replacement, error)) return false;
    if (currentFd >= 0) return swapIn(dirFd, name, &replacement, currentFd, *currentIdentity, steps, error);
    if (!steps.reach(CommitStep::Rename) || !nameNewFile(dirFd, &replacement.file, name, error)) {
        if (error->empty()) *error = "rename failed (simulated)";
        discardNewFile(dirFd, &replacement.file);
        return false;
    }
    syncDirectory(dirFd);
    return true;
}

bool removeStaleTemporary(int dirFd, const std::string& name) {
    // ".NAME.remedy-PID-XXXXXXXX"
    const size_t marker = name.rfind(kTemporaryMarker);
    if (!name.starts_with('.') || marker == std::string::npos || marker < 1) return false;
    int pid = 0;
    unsigned random = 0;
    int used = 0;
    const std::string tail = name.substr(marker + std::strlen(kTemporaryMarker));
    if (std::sscanf(tail.c_str(), "%d-%8x%n", &pid, &random, &used) != 2 || size_t(used) != tail.size() ||
        tail.find('-') + 9 != tail.size() || pid <= 0)
        return false;
    if (pid == ::getpid() || ::kill(pid, 0) == 0 || errno != ESRCH) return false;  // its run may still be at work
    struct stat st {};
    if (::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode) ||
        st.st_uid != ::geteuid() || st.st_nlink != 1)
        return false;
    return ::unlinkat(dirFd, name.c_str(), 0) == 0;
}

}  // namespace host
