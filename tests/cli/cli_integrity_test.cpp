// scan --clean against a hostile or unlucky world: a tree changed between the walk and the
// commit, runs killed or interrupted at each step of a commit, hard links, two runs at once,
// and the quarantine commands that give an original back. The command is stopped at a named
// point (REMEDY_TEST_STOP_AT) while the test changes the disk: no timing luck.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <regex>

#include "host/sha256.h"
#include "tests/cli/cli_runner.h"
#include "tests/fixtures/bytes.h"
#include "tests/fixtures/dos_infectors.h"
#include "tests/fixtures/dos_programs.h"

extern char** environ;

namespace {

using fixtures::Bytes;
using namespace clitest;
namespace fs = std::filesystem;

const Bytes& infected() {
    static const Bytes bytes = fixtures::dos::infectTmcBCom(fixtures::dos::makeCom(3333));
    return bytes;
}

// What scan --clean makes of infected(), found once by repairing a copy.
const Bytes& repaired() {
    static const Bytes bytes = [] {
        fixtures::TempDir dir;
        fixtures::writeFile(dir.file("game.com"), infected());
        remedy(dir, "scan --no-summary --clean --no-backup " + quote(dir.file("game.com").string()));
        return fixtures::readFile(dir.file("game.com"));
    }();
    return bytes;
}

std::string sha(const Bytes& bytes) { return host::Sha256::hex(bytes.data(), bytes.size()); }

// The command started in the background; its output goes to files in `dir`.
class Background {
public:
    Background(const fixtures::TempDir& dir, std::vector<std::string> args, std::vector<std::string> environment = {},
        const std::string& name = "run")
        : out_(dir.file(name + ".out")), err_(dir.file(name + ".err")) {
        args.insert(args.begin(), REMEDY_CLI_PATH);
        for (char** e = environ; *e; ++e) environment.push_back(*e);
        std::vector<char*> argv, envp;
        for (std::string& a : args) argv.push_back(a.data());
        for (std::string& e : environment) envp.push_back(e.data());
        argv.push_back(nullptr);
        envp.push_back(nullptr);
        pid_ = ::fork();
        if (pid_ == 0) {
            const int out = ::open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            const int err = ::open(err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            ::dup2(out, 1);
            ::dup2(err, 2);
            ::execve(argv[0], argv.data(), envp.data());
            ::_exit(127);
        }
    }
    ~Background() {
        if (pid_ > 0 && !reaped_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    // Waits until the command stops at its test point; false when it ended instead.
    bool stopped() {
        int status = 0;
        if (::waitpid(pid_, &status, WUNTRACED) != pid_) return false;
        if (WIFSTOPPED(status)) return true;
        reaped_ = true;
        status_ = status;
        return false;
    }
    void signal(int number) { ::kill(pid_, number); }
    // Waits for the end: the exit status, or -(signal) when a signal ended it.
    int finish() {
        if (!reaped_) {
            int status = 0;
            ::waitpid(pid_, &status, 0);
            reaped_ = true;
            status_ = status;
        }
        return WIFEXITED(status_) ? WEXITSTATUS(status_) : -WTERMSIG(status_);
    }
    std::string out() const { return slurp(out_); }
    std::string err() const { return slurp(err_); }

private:
    fs::path out_, err_;
    pid_t pid_ = -1;
    bool reaped_ = false;
    int status_ = 0;
};

std::vector<std::string> temporariesIn(const fs::path& where) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(where))
        if (entry.path().filename().string().find(".remedy-") != std::string::npos)
            names.push_back(entry.path().filename().string());
    return names;
}

const char* const kCommitPoints[] = {"lock", "backup", "write", "sync", "link", "rename", "verify", "discard"};
// Up to "sync" a signal rolls the commit back; from "link" on it completes.
bool rolledBackAt(const std::string& point) { return point == "lock" || point == "backup" || point == "write" || point == "sync"; }

// A tree with one infected program one level down.
struct Tree {
    fixtures::TempDir dir;
    fs::path root = dir.file("tree"), game = dir.file("tree/sub/game.com"), quarantine = dir.file("q");
    Tree() {
        fs::create_directories(game.parent_path());
        fixtures::writeFile(game, infected());
    }
    std::vector<std::string> clean(std::vector<std::string> more = {}) const {
        std::vector<std::string> args = {"scan", "--clean", "--quarantine", quarantine.string()};
        args.insert(args.end(), more.begin(), more.end());
        args.push_back(root.string());
        return args;
    }
};

// Between the walk and the scan, the tree's directory is swapped for a link to another tree
// holding the same program: the other tree is never touched.
TEST(CliIntegrity, DirectorySwappedForALinkAfterTheWalkIsNotFollowed) {
    Tree tree;
    fs::create_directories(tree.dir.file("outside/sub"));
    const fs::path outside = tree.dir.file("outside/sub/game.com");
    fixtures::writeFile(outside, infected());
    Background run(tree.dir, tree.clean(), {"REMEDY_TEST_STOP_AT=walked"});
    ASSERT_TRUE(run.stopped()) << run.err();
    fs::rename(tree.root / "sub", tree.root / "moved");
    fs::create_directory_symlink(tree.dir.file("outside/sub"), tree.root / "sub");
    run.signal(SIGCONT);
    EXPECT_EQ(run.finish(), 2) << run.out() << run.err();
    EXPECT_NE(run.out().find(tree.game.string() + ": ERROR: symbolic link not followed\n"), std::string::npos)
        << run.out();
    EXPECT_EQ(fixtures::readFile(outside), infected());
    EXPECT_TRUE(temporariesIn(outside.parent_path()).empty());
    EXPECT_TRUE(quarantinedFiles(tree.quarantine).empty());
}

class KilledCommit : public ::testing::TestWithParam<const char*> {};

// SIGKILL while a commit is stopped at each step: the program is the original or the whole
// repair; no temporary file shows until the new file is named, and the next run removes any.
TEST_P(KilledCommit, LeavesTheOriginalOrTheRepairAndTheNextRunCleansUp) {
    const std::string point = GetParam();
    Tree tree;
    Background run(tree.dir, tree.clean(), {"REMEDY_TEST_STOP_AT=" + point});
    ASSERT_TRUE(run.stopped()) << run.err();
    run.signal(SIGKILL);
    EXPECT_EQ(run.finish(), -SIGKILL);
    const Bytes now = fixtures::readFile(tree.game);
    EXPECT_TRUE(now == infected() || now == repaired()) << point;
    if (rolledBackAt(point) || point == "link") {
        EXPECT_TRUE(temporariesIn(tree.game.parent_path()).empty()) << "the new file has no name yet";
    }
    for (const fs::path& kept : quarantinedFiles(tree.quarantine))
        EXPECT_EQ(fixtures::readFile(kept), infected()) << "an entry holds only the original";

    Outcome next = remedy(tree.dir, "scan --no-summary --clean --quarantine " + quote(tree.quarantine.string()) + " " +
                                        quote(tree.root.string()));
    EXPECT_TRUE(temporariesIn(tree.game.parent_path()).empty()) << next.out;
    EXPECT_EQ(fixtures::readFile(tree.game), repaired());
}

INSTANTIATE_TEST_SUITE_P(Steps, KilledCommit, ::testing::ValuesIn(kCommitPoints));

// Killed right after its first line: that line is on disk, not in a buffer.
TEST(CliIntegrity, ResultLinesAreWrittenOneByOne) {
    Tree tree;
    fixtures::writeFile(tree.root / "a.txt", {'h', 'i'});
    Background run(tree.dir, tree.clean(), {"REMEDY_TEST_STOP_AT=printed"});
    ASSERT_TRUE(run.stopped()) << run.err();
    run.signal(SIGKILL);
    EXPECT_EQ(run.finish(), -SIGKILL);
    EXPECT_EQ(run.out(), (tree.root / "a.txt").string() + ": OK\n");
}

class InterruptedCommit : public ::testing::TestWithParam<const char*> {};

// SIGTERM at each step: the commit under way completes or rolls back, its line is written, the
// summary says the run was interrupted, and nothing is left behind.
TEST_P(InterruptedCommit, EndsCleanlyWithALineForWhatItDid) {
    const std::string point = GetParam();
    Tree tree;
    fixtures::writeFile(tree.root / "z-later.com", infected());  // not started after the signal
    Background run(tree.dir, tree.clean({"-j", "1"}), {"REMEDY_TEST_TERM_AT=" + point});
    EXPECT_EQ(run.finish(), 2) << run.err();
    const std::string out = run.out();
    const std::string line = tree.game.string() + ": DOS.TmcBCOM 0x00006551 FOUND (post-library); ";
    if (rolledBackAt(point)) {
        EXPECT_NE(out.find(line + "not repaired: interrupted; the file is unchanged\n"), std::string::npos) << out;
        EXPECT_EQ(fixtures::readFile(tree.game), infected());
        EXPECT_TRUE(quarantinedFiles(tree.quarantine).empty()) << "a rolled-back commit keeps no entry";
    } else {
        EXPECT_NE(out.find(line + "repaired (original kept as "), std::string::npos) << out;
        EXPECT_EQ(fixtures::readFile(tree.game), repaired());
        EXPECT_EQ(quarantinedFiles(tree.quarantine).size(), 1u);
    }
    EXPECT_EQ(out.find("z-later.com"), std::string::npos) << out;
    EXPECT_EQ(fixtures::readFile(tree.root / "z-later.com"), infected());
    EXPECT_NE(out.find("\nInterrupted by SIGTERM"), std::string::npos) << out;
    EXPECT_TRUE(temporariesIn(tree.game.parent_path()).empty());
}

INSTANTIATE_TEST_SUITE_P(Steps, InterruptedCommit, ::testing::ValuesIn(kCommitPoints));

TEST(CliIntegrity, HardLinkedFileIsNotRepaired) {
    Tree tree;
    ASSERT_EQ(::link(tree.game.c_str(), (tree.root / "second.com").c_str()), 0);
    Outcome run = remedy(tree.dir, "scan --no-summary --clean --quarantine " + quote(tree.quarantine.string()) + " " +
                                       quote(tree.game.string()));
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, tree.game.string() +
                           ": DOS.TmcBCOM 0x00006551 FOUND (post-library); not repaired: 2 hard links (the other "
                           "links would keep the infected bytes)\n");
    EXPECT_EQ(fixtures::readFile(tree.game), infected());
    EXPECT_EQ(fixtures::readFile(tree.root / "second.com"), infected());
}

// Two runs over one tree at once: no file is reported repaired twice, and every quarantine
// entry holds an original.
TEST(CliIntegrity, TwoRunsAtOnceNeverRepairAFileTwice) {
    Tree tree;
    constexpr int kFiles = 16;
    for (int k = 0; k < kFiles; ++k) fixtures::writeFile(tree.root / ("p" + std::to_string(k) + ".com"), infected());
    Background first(tree.dir, tree.clean({"-j", "2"}), {}, "first");
    Background second(tree.dir, tree.clean({"-j", "2"}), {}, "second");
    first.finish();
    second.finish();
    const std::string both = first.out() + second.out();
    std::map<std::string, int> repairedCount;
    const std::regex line("^(.*): DOS\\.TmcBCOM .*; repaired \\(original kept");
    std::istringstream lines(both);
    for (std::string l; std::getline(lines, l);) {
        std::smatch m;
        if (std::regex_search(l, m, line)) ++repairedCount[m[1]];
    }
    EXPECT_EQ(repairedCount.size(), size_t(kFiles + 1)) << both;
    for (const auto& [path, count] : repairedCount) EXPECT_EQ(count, 1) << path;
    const auto kept = quarantinedFiles(tree.quarantine);
    EXPECT_EQ(kept.size(), size_t(kFiles + 1));
    for (const fs::path& entry : kept) EXPECT_EQ(fixtures::readFile(entry), infected()) << entry;
}

// ---------------------------------------------------------------- quarantine commands

std::string firstWord(const std::string& text) { return text.substr(0, text.find(' ')); }

TEST(CliQuarantine, ListRestoreAndRemoveGiveTheOriginalBackExactly) {
    Tree tree;
    ASSERT_EQ(::chmod(tree.game.c_str(), 0640), 0);
    if (::geteuid() == 0) {
        ASSERT_EQ(::chown(tree.game.c_str(), 1234, 5678), 0);
    }
    ASSERT_EQ(::setxattr(tree.game.c_str(), "user.origin", "mail", 4, 0), 0);
    const timespec times[2] = {{1000000000, 123456789}, {1000000500, 987654321}};
    ASSERT_EQ(::utimensat(AT_FDCWD, tree.game.c_str(), times, 0), 0);
    struct stat before {};
    ASSERT_EQ(::stat(tree.game.c_str(), &before), 0);
    const std::string q = "--quarantine " + quote(tree.quarantine.string());

    Outcome run = remedy(tree.dir, "scan --no-summary --clean " + q + " " + quote(tree.game.string()));
    ASSERT_EQ(run.status, 1) << run.out << run.err;  // found (and repaired)
    Outcome list = remedy(tree.dir, "quarantine list " + q);
    EXPECT_EQ(list.status, 0) << list.err;
    EXPECT_TRUE(std::regex_match(list.out, std::regex("\\d{8}T\\d{6}Z-[0-9a-f]{8} " + tree.game.string() +
                                                      ": DOS\\.TmcBCOM 0x00006551 \\(post-library\\) repaired "
                                                      "\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ\n")))
        << list.out;
    const std::string id = firstWord(list.out);
    Outcome json = remedy(tree.dir, "quarantine list --json " + q);
    EXPECT_NE(json.out.find("\"id\":\"" + id + "\",\"complete\":true,\"path\":\"" + tree.game.string() + "\""),
              std::string::npos)
        << json.out;
    EXPECT_NE(json.out.find("\"sha256\":\"" + sha(infected()) + "\""), std::string::npos) << json.out;

    // The file is not the repaired one any more: restore refuses, unless forced.
    fixtures::writeFile(tree.game, {'n', 'e', 'w'});
    Outcome refused = remedy(tree.dir, "quarantine restore " + q + " " + id);
    EXPECT_EQ(refused.status, 2);
    EXPECT_NE(refused.err.find("is not the repaired file"), std::string::npos) << refused.err;
    EXPECT_EQ(fixtures::readFile(tree.game), (Bytes{'n', 'e', 'w'}));
    fixtures::writeFile(tree.game, repaired());

    Outcome restored = remedy(tree.dir, "quarantine restore " + q + " " + id);
    EXPECT_EQ(restored.status, 0) << restored.err;
    EXPECT_EQ(restored.out, tree.game.string() + ": restored from " + id + "\n");
    EXPECT_EQ(fixtures::readFile(tree.game), infected());
    struct stat after {};
    ASSERT_EQ(::stat(tree.game.c_str(), &after), 0);
    EXPECT_EQ(after.st_mode, before.st_mode);
    EXPECT_EQ(after.st_uid, before.st_uid);
    EXPECT_EQ(after.st_gid, before.st_gid);
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    char value[16] = {};
    EXPECT_EQ(::getxattr(tree.game.c_str(), "user.origin", value, sizeof value), 4);
    EXPECT_STREQ(value, "mail");
    EXPECT_EQ(remedy(tree.dir, "quarantine list " + q).out, "") << "a restored entry leaves the quarantine";
    EXPECT_TRUE(temporariesIn(tree.game.parent_path()).empty());

    // --to puts it elsewhere; --force replaces any file; remove forgets an entry.
    run = remedy(tree.dir, "scan --no-summary --clean " + q + " " + quote(tree.game.string()));
    const std::string second = firstWord(remedy(tree.dir, "quarantine list " + q).out);
    const fs::path copy = tree.dir.file("copy.com");
    EXPECT_EQ(remedy(tree.dir, "quarantine restore " + q + " --to " + quote(copy.string()) + " " + second).status, 0);
    EXPECT_EQ(fixtures::readFile(copy), infected());
    run = remedy(tree.dir, "scan --no-summary --clean " + q + " " + quote(copy.string()));
    const std::string third = firstWord(remedy(tree.dir, "quarantine list " + q).out);
    fixtures::writeFile(copy, {'x'});
    Outcome forced = remedy(tree.dir, "quarantine restore --force " + q + " --to " + quote(copy.string()) + " " + third);
    EXPECT_EQ(forced.status, 0) << forced.err;
    EXPECT_EQ(fixtures::readFile(copy), infected());
    // The file forced out of the way is kept as an entry of its own.
    const std::string fourth = firstWord(remedy(tree.dir, "quarantine list " + q).out);
    EXPECT_EQ(forced.out, copy.string() + ": restored from " + third + "; the file it replaced is kept as " + fourth + "\n");
    EXPECT_EQ(fixtures::readFile(tree.quarantine / fourth), (Bytes{'x'}));
    EXPECT_EQ(remedy(tree.dir, "quarantine remove " + q + " " + fourth).out, fourth + ": removed\n");
    EXPECT_EQ(remedy(tree.dir, "quarantine list " + q).out, "");
    EXPECT_EQ(remedy(tree.dir, "quarantine remove " + q + " " + fourth).status, 2);
    EXPECT_EQ(remedy(tree.dir, "quarantine restore " + q + " ../etc").status, 2);
}

// ---------------------------------------------------------------- walk controls

// A mounted file system inside the tree, for --one-file-system and the pseudo file systems.
class Mount {
public:
    Mount(const fs::path& at, const char* type) : at_(at) {
        fs::create_directories(at);
        mounted_ = ::mount(type, at.c_str(), type, 0, nullptr) == 0;
        error_ = errno;
    }
    ~Mount() {
        if (mounted_) ::umount2(at_.c_str(), MNT_DETACH);
    }
    bool mounted() const { return mounted_; }
    std::string why() const { return std::strerror(error_); }

private:
    fs::path at_;
    bool mounted_ = false;
    int error_ = 0;
};

TEST(CliWalk, ExcludesOtherFileSystemsAndPseudoFileSystems) {
    Tree tree;
    Mount tmpfs(tree.root / "mnt", "tmpfs");
    if (!tmpfs.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here: " << tmpfs.why();
    Mount proc(tree.root / "proc", "proc");
    if (!proc.mounted()) GTEST_SKIP() << "cannot mount proc here: " << proc.why();
    fixtures::writeFile(tree.root / "mnt/inner.com", infected());
    fixtures::writeFile(tree.root / "notes.txt", {'h', 'i'});
    fs::create_directories(tree.root / "cache");
    fixtures::writeFile(tree.root / "cache/old.com", infected());
    const std::string root = tree.root.string();

    Outcome all = remedy(tree.dir, "scan --no-summary " + quote(root));
    EXPECT_EQ(all.out, root + "/cache/old.com: DOS.TmcBCOM 0x00006551 FOUND (post-library)\n" + root +
                           "/mnt/inner.com: DOS.TmcBCOM 0x00006551 FOUND (post-library)\n" + root + "/notes.txt: OK\n" +
                           root + "/proc: Pseudo file system (proc), skipped\n" + root +
                           "/sub/game.com: DOS.TmcBCOM 0x00006551 FOUND (post-library)\n");
    Outcome one = remedy(tree.dir, "scan --one-file-system --exclude '*.txt' --exclude-dir cache " + quote(root));
    EXPECT_TRUE(one.out.starts_with(root + "/mnt: Other file system, skipped (--one-file-system)\n" + root +
                                    "/proc: Pseudo file system (proc), skipped\n" + root +
                                    "/sub/game.com: DOS.TmcBCOM 0x00006551 FOUND (post-library)\n"))
        << one.out;
    EXPECT_NE(one.out.find("\nExcluded: 2\n"), std::string::npos) << one.out;
    Outcome relative = remedy(tree.dir, "scan --no-summary --exclude 'sub/*.com' " + quote(root + "/sub"));
    EXPECT_EQ(relative.out, root + "/sub/game.com: DOS.TmcBCOM 0x00006551 FOUND (post-library)\n")
        << "matched relative to the root named: sub/ is the root here";
    // A pseudo file system named directly is scanned.
    Outcome named = remedy(tree.dir, "scan --no-summary " + quote(root + "/proc/version"));
    EXPECT_TRUE(named.out.starts_with(root + "/proc/version: ")) << named.out;
    EXPECT_EQ(named.out.find("Pseudo file system"), std::string::npos) << named.out;
}

}  // namespace
