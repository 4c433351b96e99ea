// The commit under attack: files and directories swapped while it is parked at each step, edits
// that put the mtime back, hard links, metadata it must keep, quarantine entries that must be
// safe to keep, two commits of one file, and the temporary files a killed commit leaves.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>

#include "host/quarantine.h"
#include "host/repair.h"
#include "host/sha256.h"
#include "sdk/results.h"
#include "tests/fixtures/bytes.h"

namespace {

using fixtures::Bytes;
namespace fs = std::filesystem;
using host::CommitStep;

const Bytes kOriginal = {'M', 'Z', 0x90, 0x00, 0xEB, 0xFE, 0xCC, 0xCC};
const Bytes kRepaired = {'M', 'Z', 0x90, 0x00};
const Bytes kOther = {'o', 't', 'h', 'e', 'r'};

uint32_t truncateAndAnswer(host::FileObject* file, uint32_t answer = KILL_REPAIRED) {
    static_cast<IQEStream*>(file)->SetSize(uint32_t(kRepaired.size()), 0);
    return answer;
}

std::string sha(const Bytes& bytes) { return host::Sha256::hex(bytes.data(), bytes.size()); }

// The steps a commit can be parked at before its exchange.
const CommitStep kStepsBeforeExchange[] = {CommitStep::Lock, CommitStep::Backup, CommitStep::WriteTemporary,
                                           CommitStep::SyncTemporary, CommitStep::Link, CommitStep::Rename};

class Integrity : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(dir.file("scan/sub"));
        path = dir.file("scan/sub/program.exe");
        fixtures::writeFile(path, kOriginal);
        options.quarantineDir = dir.file("quarantine");
        options.lockWait = std::chrono::milliseconds(0);
    }
    // Reads the file as a scan of the tree "scan" does, then kills and commits with `options`.
    host::RepairOutcome repairInTree(const std::function<uint32_t(host::FileObject*)>& kill = [](host::FileObject* f) {
        return truncateAndAnswer(f);
    }) {
        host::UniqueFd root(::open(dir.file("scan").c_str(), O_RDONLY | O_DIRECTORY));
        host::AnchoredFile at;
        std::string error;
        host::RepairOutcome outcome;
        if (!host::openBeneath(root.get(), "sub/program.exe", path.string(), &at, &error)) {
            outcome.error = error;
            return outcome;
        }
        host::FileObject* file = host::FileObject::fromDescriptor(at.file.get(), path.string(), &error);
        EXPECT_NE(file, nullptr) << error;
        if (!file) return outcome;
        outcome = host::commitKill(at, file, kill(file), options);
        file->Release();
        return outcome;
    }
    // Quarantine entries holding originals, with their records.
    std::vector<host::QuarantineRecord> entries() const {
        host::Quarantine quarantine;
        std::string error;
        if (!host::Quarantine::open(options.quarantineDir, false, &quarantine, &error)) return {};
        return quarantine.list();
    }
    // Names in `where` that a commit made (temporary files).
    static std::vector<std::string> leftovers(const fs::path& where) {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(where))
            if (entry.path().filename().string().find(".remedy-") != std::string::npos)
                names.push_back(entry.path().filename().string());
        return names;
    }
    // Runs `change` once, when the commit reaches `step`.
    void atStep(CommitStep step, std::function<void()> change) {
        options.atStep = [step, change, done = std::make_shared<bool>(false)](CommitStep now) {
            if (now == step && !*done) {
                *done = true;
                change();
            }
        };
    }

    fixtures::TempDir dir;
    fs::path path;
    host::RepairOptions options;
};

std::string stepName(const ::testing::TestParamInfo<CommitStep>& info) {
    static const char* const kNames[] = {"None", "Lock", "Backup", "WriteTemporary", "SyncTemporary",
                                         "Link", "Rename", "Verify", "Discard"};
    return kNames[int(info.param)];
}

class ParkedCommit : public Integrity, public ::testing::WithParamInterface<CommitStep> {};

// An edit in place made while the commit is parked, with the mtime put back as cp -p, rsync -t
// --inplace and touch -r do: the ctime still shows it, so the edit stays and nothing is kept.
TEST_P(ParkedCommit, InPlaceEditWithItsMtimePutBackIsNoticed) {
    atStep(GetParam(), [this] {
        struct stat before {};
        ASSERT_EQ(::stat(path.c_str(), &before), 0);
        const int fd = ::open(path.c_str(), O_WRONLY);
        ASSERT_EQ(::pwrite(fd, "E", 1, 0), 1);
        ::close(fd);
        const timespec times[2] = {before.st_atim, before.st_mtim};
        ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    });
    const host::RepairOutcome outcome = repairInTree();
    EXPECT_EQ(outcome.action, host::RepairAction::Unchanged);
    EXPECT_NE(outcome.error.find("changed while repaired"), std::string::npos) << outcome.error;
    Bytes edited = kOriginal;
    edited[0] = 'E';
    EXPECT_EQ(fixtures::readFile(path), edited);
    EXPECT_TRUE(entries().empty()) << "the edit must not be recorded as an original, nor the old bytes kept";
    EXPECT_TRUE(leftovers(path.parent_path()).empty());
}

// Another file takes the name while the commit is parked: it is never replaced.
TEST_P(ParkedCommit, FileSwappedForAnotherIsNotReplaced) {
    atStep(GetParam(), [this] {
        fixtures::writeFile(dir.file("scan/sub/other"), kOther);
        ASSERT_EQ(::rename(dir.file("scan/sub/other").c_str(), path.c_str()), 0);
    });
    const host::RepairOutcome outcome = repairInTree();
    EXPECT_EQ(outcome.action, host::RepairAction::Unchanged);
    EXPECT_NE(outcome.error.find("changed while repaired"), std::string::npos) << outcome.error;
    EXPECT_EQ(fixtures::readFile(path), kOther);
    EXPECT_TRUE(entries().empty());
    EXPECT_TRUE(leftovers(path.parent_path()).empty());
}

// The file's directory is moved away and a link to another tree put in its place while the
// commit is parked: nothing outside the tree is touched, whatever the step.
TEST_P(ParkedCommit, DirectorySwappedForALinkNeverLeadsOutOfTheTree) {
    fs::create_directories(dir.file("outside/sub"));
    const fs::path outside = dir.file("outside/sub/program.exe");
    fixtures::writeFile(outside, kOriginal);
    atStep(GetParam(), [this] {
        ASSERT_EQ(::rename(dir.file("scan/sub").c_str(), dir.file("scan/moved").c_str()), 0);
        fs::create_directory_symlink(dir.file("outside/sub"), dir.file("scan/sub"));
    });
    const host::RepairOutcome outcome = repairInTree();
    EXPECT_EQ(fixtures::readFile(outside), kOriginal);
    EXPECT_TRUE(leftovers(dir.file("outside/sub")).empty());
    EXPECT_TRUE(leftovers(dir.file("scan/moved")).empty());
    // The file that was read is repaired where it now lies, through its directory's descriptor.
    EXPECT_EQ(outcome.action, host::RepairAction::Replaced) << outcome.error;
    EXPECT_EQ(fixtures::readFile(dir.file("scan/moved/program.exe")), kRepaired);
}

// A second commit of the same file runs while the first is parked: only one of them repairs
// it, and every quarantine entry holds the original bytes.
TEST_P(ParkedCommit, TwoCommitsOfOneFileNeverBothRepairIt) {
    host::RepairOutcome second;
    atStep(GetParam(), [this, &second] {
        host::RepairOptions plain = options;
        plain.atStep = nullptr;
        second = repairInTree();  // (reads the file as it is now, then commits)
        (void)plain;
    });
    const host::RepairOutcome first = repairInTree();
    const int repaired = (first.action == host::RepairAction::Replaced) + (second.action == host::RepairAction::Replaced);
    EXPECT_EQ(repaired, 1) << first.error << " / " << second.error;
    EXPECT_EQ(fixtures::readFile(path), kRepaired);
    const auto kept = entries();
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(kept[0].originalSha256, sha(kOriginal));
    EXPECT_EQ(fixtures::readFile(options.quarantineDir / kept[0].id), kOriginal);
    EXPECT_TRUE(leftovers(path.parent_path()).empty());
}

INSTANTIATE_TEST_SUITE_P(Steps, ParkedCommit, ::testing::ValuesIn(kStepsBeforeExchange), stepName);

// Where the file system cannot exchange two names, the original is moved aside and checked
// before the repaired file takes its name; a file that took the name meanwhile is put back.
TEST_F(Integrity, WithoutExchangeTheOriginalIsMovedAsideAndChecked) {
    options.withoutExchange = true;
    host::RepairOutcome outcome = repairInTree();
    ASSERT_EQ(outcome.action, host::RepairAction::Replaced) << outcome.error;
    EXPECT_EQ(fixtures::readFile(path), kRepaired);
    EXPECT_TRUE(leftovers(path.parent_path()).empty());

    fixtures::writeFile(path, kOriginal);
    atStep(CommitStep::Rename, [this] {
        fixtures::writeFile(dir.file("scan/sub/other"), kOther);
        ASSERT_EQ(::rename(dir.file("scan/sub/other").c_str(), path.c_str()), 0);
    });
    outcome = repairInTree();
    EXPECT_EQ(outcome.action, host::RepairAction::Unchanged);
    EXPECT_NE(outcome.error.find("changed while repaired"), std::string::npos) << outcome.error;
    EXPECT_EQ(fixtures::readFile(path), kOther);
    EXPECT_TRUE(leftovers(path.parent_path()).empty());
    EXPECT_EQ(entries().size(), 1u) << "only the first repair's original";
}

TEST_F(Integrity, DirectoryReplacedByALinkBeforeTheFileIsOpenedIsNotEntered) {
    fs::create_directories(dir.file("outside/sub"));
    fixtures::writeFile(dir.file("outside/sub/program.exe"), kOriginal);
    fs::rename(dir.file("scan/sub"), dir.file("scan/moved"));
    fs::create_directory_symlink(dir.file("outside/sub"), dir.file("scan/sub"));
    const host::RepairOutcome outcome = repairInTree();
    EXPECT_EQ(outcome.action, host::RepairAction::Unchanged);
    EXPECT_EQ(outcome.error, "symbolic link not followed");
    EXPECT_EQ(fixtures::readFile(dir.file("outside/sub/program.exe")), kOriginal);
}

TEST_F(Integrity, FileWithOtherHardLinksIsNotRepaired) {
    ASSERT_EQ(::link(path.c_str(), dir.file("scan/second.exe").c_str()), 0);
    const host::RepairOutcome outcome = repairInTree();
    EXPECT_EQ(outcome.action, host::RepairAction::Unchanged);
    EXPECT_EQ(outcome.error, "2 hard links (the other links would keep the infected bytes)");
    EXPECT_EQ(fixtures::readFile(path), kOriginal);
    EXPECT_EQ(fixtures::readFile(dir.file("scan/second.exe")), kOriginal);
    EXPECT_EQ(fs::hard_link_count(path), 2u);
    EXPECT_TRUE(entries().empty());
}

// ---------------------------------------------------------------- metadata

// A POSIX access ACL as the kernel stores it in system.posix_acl_access.
std::string aclValue(const std::vector<std::array<uint32_t, 3>>& entries) {
    std::string value(4, '\0');
    const uint32_t version = 2;
    std::memcpy(value.data(), &version, 4);
    for (const auto& [tag, perm, id] : entries) {
        char entry[8];
        const uint16_t tag16 = uint16_t(tag), perm16 = uint16_t(perm);
        std::memcpy(entry, &tag16, 2);
        std::memcpy(entry + 2, &perm16, 2);
        std::memcpy(entry + 4, &id, 4);
        value.append(entry, 8);
    }
    return value;
}

std::map<std::string, std::string> attributesOf(const fs::path& file) {
    std::map<std::string, std::string> values;
    char names[4096];
    const ssize_t size = ::llistxattr(file.c_str(), names, sizeof names);
    for (ssize_t at = 0; at < size; at += ssize_t(std::strlen(names + at)) + 1) {
        char value[1024];
        const ssize_t n = ::lgetxattr(file.c_str(), names + at, value, sizeof value);
        if (n >= 0) values[names + at] = std::string(value, size_t(n));
    }
    return values;
}

uint32_t inodeFlags(const fs::path& file) {
    const int fd = ::open(file.c_str(), O_RDONLY);
    int flags = 0;
    ::ioctl(fd, FS_IOC_GETFLAGS, &flags);
    ::close(fd);
    return uint32_t(flags);
}

// Owner, group, mode, ACL, user/security/trusted attributes, a file capability and an inode flag
// all come through a repair; the group gains nothing (its mode bits are the ACL's mask).
TEST_F(Integrity, RepairKeepsOwnerModeAclAttributesCapabilityAndFlags) {
    if (::geteuid() != 0) GTEST_SKIP() << "giving files another owner, capabilities and trusted.* needs root";
    ASSERT_EQ(::chown(path.c_str(), 1234, 5678), 0);
    ASSERT_EQ(::chmod(path.c_str(), 0750), 0);
    const std::string acl = aclValue({{0x01, 7, ~0u}, {0x02, 4, 65534}, {0x04, 4, ~0u}, {0x10, 5, ~0u}, {0x20, 0, ~0u}});
    if (::setxattr(path.c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0) != 0)
        GTEST_SKIP() << "this file system keeps no ACLs: " << std::strerror(errno);
    ASSERT_EQ(::setxattr(path.c_str(), "user.origin", "downloads", 9, 0), 0) << std::strerror(errno);
    ASSERT_EQ(::setxattr(path.c_str(), "trusted.note", "t", 1, 0), 0) << std::strerror(errno);
    // VFS_CAP_REVISION_2 with the effective bit; CAP_NET_RAW (13) permitted.
    const uint32_t capability[5] = {0x02000001, 1u << 13, 0, 0, 0};
    ASSERT_EQ(::setxattr(path.c_str(), "security.capability", capability, sizeof capability, 0), 0)
        << std::strerror(errno);
    const int fd = ::open(path.c_str(), O_RDONLY);
    int flags = 0;
    const bool haveFlags = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    flags |= FS_NODUMP_FL;
    const bool nodump = haveFlags && ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    ::close(fd);
    struct stat before {};
    ASSERT_EQ(::stat(path.c_str(), &before), 0);
    const auto attributes = attributesOf(path);
    ASSERT_EQ(attributes.size(), 4u);
    const uint32_t flagsBefore = inodeFlags(path);

    const host::RepairOutcome outcome = repairInTree();
    ASSERT_EQ(outcome.action, host::RepairAction::Replaced) << outcome.error;
    struct stat after {};
    ASSERT_EQ(::stat(path.c_str(), &after), 0);
    EXPECT_NE(after.st_ino, before.st_ino);
    EXPECT_EQ(fixtures::readFile(path), kRepaired);
    EXPECT_EQ(after.st_uid, 1234u);
    EXPECT_EQ(after.st_gid, 5678u);
    EXPECT_EQ(after.st_mode & 07777, 0750u) << "the group's bits are the ACL mask: never widened";
    EXPECT_EQ(attributesOf(path), attributes);
    if (nodump) EXPECT_EQ(inodeFlags(path), flagsBefore);
    else std::cout << "[ NOTE ] inode flags not checked: the file system has none\n";
    EXPECT_GE(after.st_mtim.tv_sec, before.st_mtim.tv_sec) << "the repair time, for backup tools";
    const auto kept = entries();
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(kept[0].attributes.size(), 4u);
}

TEST_F(Integrity, ImmutableFileIsRefusedAndNothingIsKept) {
    const int fd = ::open(path.c_str(), O_RDONLY);
    int flags = 0;
    if (::ioctl(fd, FS_IOC_GETFLAGS, &flags) != 0) GTEST_SKIP() << "no inode flags on this file system";
    flags |= FS_IMMUTABLE_FL;
    if (::ioctl(fd, FS_IOC_SETFLAGS, &flags) != 0) GTEST_SKIP() << "cannot set the immutable flag: " << std::strerror(errno);
    const host::RepairOutcome outcome = repairInTree();
    flags &= ~FS_IMMUTABLE_FL;
    ::ioctl(fd, FS_IOC_SETFLAGS, &flags);
    ::close(fd);
    EXPECT_EQ(outcome.action, host::RepairAction::Unchanged);
    EXPECT_EQ(outcome.error, "the file is immutable");
    EXPECT_EQ(fixtures::readFile(path), kOriginal);
    EXPECT_TRUE(entries().empty()) << "a refused repair leaves no quarantine entry";
}

// ---------------------------------------------------------------- quarantine

// A set-uid program removed into quarantine: the entry is 0600 in a 0700 directory, and its
// record says what it was.
TEST_F(Integrity, SetUidProgramIsKeptPrivateAndNotExecutable) {
    ASSERT_EQ(::chmod(path.c_str(), 04755), 0);
    options.verdict = {"Test.Dropper", "0x00001234", "pre-library"};
    const host::RepairOutcome outcome = repairInTree([](host::FileObject*) { return KILL_REMOVED; });
    ASSERT_EQ(outcome.action, host::RepairAction::Removed) << outcome.error;
    EXPECT_FALSE(fs::exists(path));
    struct stat st {};
    ASSERT_EQ(::stat(options.quarantineDir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    ASSERT_EQ(::stat(outcome.backupPath.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(fixtures::readFile(outcome.backupPath), kOriginal);
    const auto kept = entries();
    ASSERT_EQ(kept.size(), 1u);
    const host::QuarantineRecord& r = kept[0];
    EXPECT_EQ(r.id, outcome.quarantineId);
    EXPECT_EQ(r.originalPath, path.string());
    EXPECT_EQ(r.mode & 07777, 04755u);
    EXPECT_EQ(r.size, kOriginal.size());
    EXPECT_EQ(r.originalSha256, sha(kOriginal));
    EXPECT_TRUE(r.replacementSha256.empty());
    EXPECT_EQ(r.verdict.name, "Test.Dropper");
    EXPECT_EQ(r.verdict.id, "0x00001234");
    EXPECT_EQ(r.verdict.phase, "pre-library");
    EXPECT_EQ(r.action, "removed");
    EXPECT_FALSE(r.version.empty());
}

// A quarantine others may write to could have entries planted or swapped: it is refused, and
// the file stays as it was.
TEST_F(Integrity, QuarantineWritableByOthersIsRefused) {
    fs::create_directories(options.quarantineDir);
    ASSERT_EQ(::chmod(options.quarantineDir.c_str(), 01777), 0);
    const host::RepairOutcome outcome = repairInTree();
    EXPECT_EQ(outcome.action, host::RepairAction::Unchanged);
    EXPECT_NE(outcome.error.find("writable by others"), std::string::npos) << outcome.error;
    EXPECT_EQ(fixtures::readFile(path), kOriginal);
    struct stat st {};
    ASSERT_EQ(::stat(options.quarantineDir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 01777u) << "a directory remedy did not make keeps its mode";
}

// A name that is not UTF-8 and holds a newline and a quote comes back exactly from the record,
// and so do the attributes' names and values.
TEST_F(Integrity, RecordKeepsTheOriginalPathByteForByte) {
    const fs::path odd = dir.file(std::string("scan/sub/a\nb\"\xff-\xc3\xa9\\.exe"));  // newline, quote, not UTF-8, é, backslash
    fs::rename(path, odd);
    path = odd;
    ASSERT_EQ(::setxattr(path.c_str(), "user.\xff\"x", "\0v\n", 3, 0), 0) << std::strerror(errno);
    host::RepairOutcome outcome =
        host::repairFile(path, [](host::FileObject* f) { return truncateAndAnswer(f); }, options);
    ASSERT_EQ(outcome.action, host::RepairAction::Replaced) << outcome.error;
    const auto kept = entries();
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(kept[0].originalPath, path.string());
    EXPECT_EQ(kept[0].replacementSha256, sha(kRepaired));
    const std::vector<std::pair<std::string, std::string>> attributes = {{"user.\xff\"x", std::string("\0v\n", 3)}};
    EXPECT_EQ(kept[0].attributes, attributes);
}

// Every field comes back from the record as written, at the edges of its range too.
TEST(QuarantineRecord, WrittenAndReadBackIsTheSame) {
    host::QuarantineRecord record;
    record.id = "20261210T120000Z-0123abcd";
    static constexpr char kPath[] = "/srv/\0a\nb\"\xff\xc3\xa9.exe";  // a NUL, a newline, a quote, bad UTF-8
    record.originalPath = std::string(kPath, sizeof kPath - 1);
    record.device = UINT64_MAX, record.inode = UINT64_MAX - 1, record.size = 1ull << 40;
    record.owner = UINT32_MAX, record.group = 0, record.mode = 0104755, record.inodeFlags = 0x40;
    record.accessedNs = -1, record.modifiedNs = INT64_MAX, record.changedNs = INT64_MIN;
    record.attributes = {{"security.capability", std::string("\1\0\0\2", 4)}, {"user.\xff", ""}};
    record.originalSha256 = sha(kOriginal);
    record.replacementSha256 = sha(kRepaired);
    record.verdict = {"DOS.TmcBCOM", "0x00006551", "post-library"};
    record.action = "repaired";
    record.quarantinedAt = 1796947200;
    record.version = "remedy 1.0";
    const std::string text = host::quarantineRecordText(record);
    EXPECT_EQ(text.find('\n'), text.size() - 1) << "one line";
    host::QuarantineRecord back;
    ASSERT_TRUE(host::parseQuarantineRecord(text, &back)) << text;
    EXPECT_EQ(host::quarantineRecordText(back), text);
    EXPECT_EQ(back.originalPath, record.originalPath);
    EXPECT_EQ(back.device, record.device);
    EXPECT_EQ(back.changedNs, record.changedNs);
    std::sort(record.attributes.begin(), record.attributes.end());
    std::sort(back.attributes.begin(), back.attributes.end());
    EXPECT_EQ(back.attributes, record.attributes);
    for (const char* damaged : {"\"device\":-1,", "\"owner\":4294967296,"}) {
        std::string bad = text;
        const std::string field = std::string(damaged).substr(0, std::string(damaged).find(':') + 1);
        const size_t at = bad.find(field);
        ASSERT_NE(at, std::string::npos);
        bad.replace(at, bad.find(',', at) - at + 1, damaged);
        EXPECT_FALSE(host::parseQuarantineRecord(bad, &back)) << bad;
    }
}

// Records someone damaged (or a crash cut short) are listed as incomplete, never believed.
TEST_F(Integrity, DamagedRecordsAreListedAsIncomplete) {
    host::Quarantine quarantine;
    std::string error;
    ASSERT_TRUE(host::Quarantine::open(options.quarantineDir, true, &quarantine, &error)) << error;
    std::string deep;
    for (int k = 0; k < 100000; ++k) deep += "{\"a\":";
    const std::string records[] = {"", "{", deep, "{\"path_base64\":\"!!\",\"sha256\":\"00\"}",
                                   "{\"id\":\"x\"}" + std::string(5 << 20, ' ')};
    int k = 0;
    for (const std::string& record : records) {
        const std::string id = "20260101T000000Z-0000000" + std::to_string(k++);
        fixtures::writeFile(options.quarantineDir / id, kOriginal);
        fixtures::writeFile(options.quarantineDir / (id + ".json"), Bytes(record.begin(), record.end()));
        host::QuarantineRecord read;
        EXPECT_FALSE(quarantine.read(id, &read, &error)) << id;
    }
    const auto listed = quarantine.list();
    ASSERT_EQ(listed.size(), std::size(records));
    for (const host::QuarantineRecord& r : listed) EXPECT_FALSE(r.complete) << r.id;
    host::QuarantineRecord read;
    EXPECT_FALSE(quarantine.read("../escape", &read, &error));
    EXPECT_FALSE(quarantine.remove("../escape", &error));
}

// ---------------------------------------------------------------- leftovers of a killed commit

TEST_F(Integrity, StaleTemporaryFilesAreRecognisedAndOnlyThey) {
    const host::UniqueFd sub(::open(path.parent_path().c_str(), O_RDONLY | O_DIRECTORY));
    // A process id that runs no process: the first past the one this test forks and reaps.
    const pid_t child = ::fork();
    if (child == 0) ::_exit(0);
    ASSERT_GT(child, 0);
    ::waitpid(child, nullptr, 0);
    const std::string stale = ".program.exe.remedy-" + std::to_string(child) + "-0123abcd";
    struct Case {
        std::string name;
        bool removed;
    } cases[] = {
        {stale, true},
        {".program.exe.remedy-1-0123abcd", false},  // its process (init) runs
        {".program.exe.remedy-" + std::to_string(child) + "-0123abc", false},  // not the pattern
        {"program.exe.remedy-" + std::to_string(child) + "-0123abcd", false},  // not hidden
    };
    for (const Case& c : cases) {
        fixtures::writeFile(path.parent_path() / c.name, kOther);
        EXPECT_EQ(host::removeStaleTemporary(sub.get(), c.name), c.removed) << c.name;
        EXPECT_EQ(fs::exists(path.parent_path() / c.name), !c.removed) << c.name;
    }
}

}  // namespace
