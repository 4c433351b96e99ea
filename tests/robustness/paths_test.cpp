// Where repairs may reach: a companion file is read only from the scanned file's directory and
// never through a symbolic link; a new name stays in the file's directory and never replaces
// anything; the scanned file is never repaired through a link.
#include <gtest/gtest.h>

#include "host/classify.h"
#include "host/repair.h"
#include "sdk/format_codes.h"
#include "sdk/identifiers.h"
#include "sdk/results.h"
#include "tests/fixtures/exploit_ntldr_atl_binder.h"
#include "tests/robustness/corpus_host.h"

namespace {

using fixtures::Bytes;
namespace fs = std::filesystem;

// Special method 9's parameter: the companion's extension, its characters most significant first.
constexpr uint32_t extension(const char (&text)[5]) {
    return uint32_t(uint8_t(text[0])) << 24 | uint32_t(uint8_t(text[1])) << 16 | uint32_t(uint8_t(text[2])) << 8 |
           uint32_t(uint8_t(text[3]));
}

// Kills the file at `path` with special method 9 and commits; returns the outcome.
host::RepairOutcome killWithCompanion(const std::string& path, uint32_t parameter) {
    host::Engines& engines = support::heuristicEngines();
    return host::repairFile(
        path,
        [&](host::FileObject* file) {
            file->setFormat(qe::FORMAT_PE);
            host::ScanTarget target(file);
            return engines.kill(target, host::KillRequest::special(9, parameter));
        },
        host::RepairOptions{});
}

struct Companion : ::testing::Test {
    fixtures::TempDir dir;
    const Bytes scanned = fixtures::makeSmallPe();
    const Bytes program = [] {
        Bytes b = fixtures::makeSmallPe();
        b.push_back(0x42);  // not the scanned file's bytes
        return b;
    }();
};

TEST_F(Companion, IsReadFromTheScannedFilesDirectory) {
    const std::string path = dir.file("setup.com").string();
    fixtures::writeFile(path, scanned);
    fixtures::writeFile(dir.file("setup.exe"), program);
    const host::RepairOutcome outcome = killWithCompanion(path, extension("exe\0"));
    EXPECT_EQ(outcome.action, host::RepairAction::Replaced) << outcome.error;
    EXPECT_EQ(fixtures::readFile(path), program);
}

TEST_F(Companion, IsNeverReadThroughASymbolicLink) {
    fs::create_directories(dir.file("elsewhere"));
    fixtures::writeFile(dir.file("elsewhere/secret.exe"), program);
    fs::create_directories(dir.file("scan"));
    const std::string path = dir.file("scan/setup.com").string();
    fixtures::writeFile(path, scanned);
    fs::create_symlink(dir.file("elsewhere/secret.exe"), dir.file("scan/setup.exe"));
    const host::RepairOutcome outcome = killWithCompanion(path, extension("exe\0"));
    EXPECT_EQ(outcome.action, host::RepairAction::Unchanged);
    EXPECT_EQ(outcome.killResult, KILL_FAILED);
    EXPECT_EQ(fixtures::readFile(path), scanned);
}

// A parameter that would put a separator in the name, or a file whose only dot is in a
// directory name: no companion is opened at all.
TEST_F(Companion, NamesThatWouldLeaveTheDirectoryAreRefused) {
    fs::create_directories(dir.file("a.d"));
    fixtures::writeFile(dir.file("a.d/setup"), scanned);
    fixtures::writeFile(dir.file("a.exe"), program);  // what a dot in the directory name would reach
    fixtures::writeFile(dir.file("x.com"), scanned);
    fs::create_directories(dir.file("x./e"));
    fixtures::writeFile(dir.file("x./e/e"), program);
    const struct {
        const char* name;
        std::string path;
        uint32_t parameter;
    } cases[] = {
        {"dot only in a directory name", dir.file("a.d/setup").string(), extension("exe\0")},
        {"separator in the extension", dir.file("x.com").string(), extension("/e/e")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes before = fixtures::readFile(c.path);
        const host::RepairOutcome outcome = killWithCompanion(c.path, c.parameter);
        EXPECT_EQ(outcome.killResult, KILL_FAILED);
        EXPECT_EQ(fixtures::readFile(c.path), before);
    }
}

// A kill that asks for the new name `name` and answers success.
uint32_t renameTo(host::FileObject* file, const std::string& name) {
    QEPROPVALUE v{};
    v.vt = qe::VT_LPSTR;
    v.ptrVal = const_cast<char*>(name.c_str());
    file->SetProperty(qe::PID_File_RenameName, &v);
    file->mutableBytes().resize(4);
    return KILL_REPAIRED;
}

TEST(NewName, NeverLeavesTheDirectoryNorReplacesAnything) {
    fixtures::TempDir dir;
    fs::create_directories(dir.file("scan"));
    fs::create_directories(dir.file("elsewhere/inner"));
    fs::create_directory_symlink(dir.file("elsewhere/inner"), dir.file("scan/sub"));
    fixtures::writeFile(dir.file("scan/taken.doc"), {'k', 'e', 'e', 'p'});
    fs::create_symlink(dir.file("elsewhere/target.doc"), dir.file("scan/dangling.doc"));
    const std::string scanDir = dir.file("scan").string();
    const struct {
        const char* name;
        std::string newName;
    } cases[] = {
        {"through a linked directory and back up", scanDir + "/sub/../escaped.doc"},
        {"relative through a linked directory", "sub/../escaped.doc"},
        {"the parent directory", ".."},
        {"the directory itself", "."},
        {"an existing file", "taken.doc"},
        {"a link to a file that does not exist yet", "dangling.doc"},
        {"another directory", dir.file("elsewhere/moved.doc").string()},
    };
    const Bytes original = {'M', 'Z', 1, 2, 3, 4, 5, 6};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = scanDir + "/report.exe";
        fixtures::writeFile(path, original);
        const host::RepairOutcome outcome =
            host::repairFile(path, [&](host::FileObject* f) { return renameTo(f, c.newName); }, host::RepairOptions{});
        EXPECT_EQ(outcome.action, host::RepairAction::Unchanged);
        EXPECT_EQ(fixtures::readFile(path), original);
        EXPECT_FALSE(fs::exists(dir.file("elsewhere/escaped.doc")));
        EXPECT_FALSE(fs::exists(dir.file("elsewhere/target.doc")));
        EXPECT_FALSE(fs::exists(dir.file("elsewhere/moved.doc")));
        EXPECT_EQ(fixtures::readFile(dir.file("scan/taken.doc")), (Bytes{'k', 'e', 'e', 'p'}));
    }
}

// The binder's kill gives the unwrapped document its own extension: end to end, the new file
// stands beside the old one, and an existing file of that name is left alone.
TEST(NewName, BinderRepairTakesItsNameBesideTheOriginal) {
    fixtures::TempDir dir;
    const Bytes document = fixtures::makeDocument(5000);
    const Bytes bound = fixtures::bindDocument(document, "VBDocXXBind");
    const std::string path = dir.file("report.exe").string(), renamed = dir.file("report.exe.doc").string();
    const auto kill = [](host::FileObject* file) {
        file->setFormat(qe::FORMAT_PE);
        host::ScanTarget target(file);
        return support::heuristicEngines().kill(target, host::KillRequest::byMethod(16));
    };
    fixtures::writeFile(path, bound);
    fixtures::writeFile(renamed, {'o', 'l', 'd'});
    host::RepairOutcome outcome = host::repairFile(path, kill, host::RepairOptions{});
    EXPECT_EQ(outcome.action, host::RepairAction::Unchanged);
    EXPECT_EQ(fixtures::readFile(path), bound);
    EXPECT_EQ(fixtures::readFile(renamed), (Bytes{'o', 'l', 'd'}));

    fs::remove(renamed);
    outcome = host::repairFile(path, kill, host::RepairOptions{});
    EXPECT_EQ(outcome.action, host::RepairAction::Replaced) << outcome.error;
    EXPECT_EQ(outcome.finalPath, fs::path(renamed));
    EXPECT_EQ(fixtures::readFile(renamed), document);
    EXPECT_FALSE(fs::exists(path));
}

TEST(ScannedFile, IsNeverRepairedThroughALink) {
    fixtures::TempDir dir;
    const Bytes infected = fixtures::bindDocument(fixtures::makeDocument(5000), "VBDocXXBind");
    fixtures::writeFile(dir.file("real.exe"), infected);
    fs::create_symlink(dir.file("real.exe"), dir.file("link.exe"));
    const host::RepairOutcome outcome = host::repairFile(
        dir.file("link.exe"),
        [](host::FileObject* file) {
            file->setFormat(qe::FORMAT_PE);
            host::ScanTarget target(file);
            return support::heuristicEngines().kill(target, host::KillRequest::byMethod(16));
        },
        host::RepairOptions{});
    // The link is not even opened: the file is read only from a descriptor the commit can use.
    EXPECT_NE(outcome.error.find("symbolic link not followed"), std::string::npos) << outcome.error;
    EXPECT_EQ(outcome.action, host::RepairAction::Unchanged);
    EXPECT_EQ(fixtures::readFile(dir.file("real.exe")), infected);
    EXPECT_TRUE(fs::is_symlink(dir.file("link.exe")));
    EXPECT_FALSE(fs::exists(dir.file("link.exe.doc")));
}

}  // namespace
