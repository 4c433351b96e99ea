// One scan of one input: a path, a descriptor and bytes in memory get the same verdict; a repair
// is committed on disk only for a file opened through its directory, and handed back as bytes
// when asked; limits and the watchdog are results, never a silent OK.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <random>

#include "host/engine_request.h"
#include "host/module_host.h"
#include "host/qxbase/file_object.h"
#include "host/scan/file_scanner.h"
#include <archive.h>

#include "tests/fixtures/archive_builder.h"
#include "tests/fixtures/bytes.h"
#include "tests/fixtures/dos_infectors.h"
#include "tests/fixtures/dos_programs.h"
#include "tests/fixtures/exploit_ntldr_atl_binder.h"

namespace {

using fixtures::Bytes;
using Repair = host::ScanSettings::Repair;

class FileScannerTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        std::shared_ptr<host::Module> module = host::Module::load(REMEDY_MODULE_PATH, &error);
        ASSERT_NE(module, nullptr) << error;
        // Names come from the caller: the scanner only asks.
        const auto name = [](uint32_t id) { return id == kTmcB ? std::string("Test.TmcB") : std::string(); };
        scanner = host::FileScanner::create({module, nullptr, false, name}, &error);
        ASSERT_NE(scanner, nullptr) << error;
        fixtures::writeFile(path, infected);
    }

    static constexpr uint32_t kTmcB = 0x00006551;
    const Bytes clean = fixtures::dos::makeCom(3000);
    const Bytes infected = fixtures::dos::infectTmcBCom(clean);
    fixtures::TempDir dir;
    const std::filesystem::path path = dir.file("a.com");
    std::unique_ptr<host::FileScanner> scanner;
};

void expectTmcB(const host::ScanResult& result, const std::string& name, size_t size) {
    EXPECT_EQ(result.path, name);
    EXPECT_TRUE(result.scanned);
    EXPECT_FALSE(result.failed);
    EXPECT_EQ(result.size, size);
    ASSERT_EQ(result.findings.size(), 1u);
    EXPECT_EQ(result.findings[0].id, "0x00006551");
    EXPECT_EQ(result.findings[0].name, "Test.TmcB");
    EXPECT_EQ(result.findings[0].phase, "post-library");
    EXPECT_TRUE(result.actions.empty());
}

// A COM program has no magic: its name says what it is, so every input here is named *.com.
TEST_F(FileScannerTest, PathDescriptorAndBytesGetTheSameVerdict) {
    const host::ScanSettings settings;
    expectTmcB(scanner->scanPath(path.string(), settings), path.string(), infected.size());
    const int fd = ::open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    expectTmcB(scanner->scanDescriptor(fd, "fd7.com", settings), "fd7.com", infected.size());
    ::close(fd);
    expectTmcB(scanner->scanBytes(infected, "stream.com", settings), "stream.com", infected.size());
    EXPECT_EQ(fixtures::readFile(path), infected);  // finding alone changes nothing

    const host::ScanResult cleanResult = scanner->scanBytes(clean, "clean", settings);
    EXPECT_TRUE(cleanResult.scanned);
    EXPECT_FALSE(cleanResult.found());
    EXPECT_FALSE(cleanResult.failed);
}

TEST_F(FileScannerTest, ARepairInMemoryHandsBackTheCleanBytes) {
    host::ScanSettings settings;
    settings.repair = Repair::InMemory;
    const host::ScanResult result = scanner->scanBytes(infected, "stream.com", settings);
    EXPECT_TRUE(result.repaired);
    EXPECT_EQ(result.actions, std::vector<std::string>{"repaired"});
    EXPECT_EQ(result.repairedBytes, clean);

    // Found in a file, repaired in memory: the file is the caller's and stays as it was.
    const host::ScanResult fromFile = scanner->scanPath(path.string(), settings);
    EXPECT_EQ(fromFile.repairedBytes, clean);
    EXPECT_EQ(fixtures::readFile(path), infected);
}

TEST_F(FileScannerTest, ACommitNeedsAFileOpenedThroughItsDirectory) {
    host::ScanSettings settings;
    settings.repair = Repair::Commit;
    settings.commit.noBackup = true;
    const int fd = ::open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    for (const host::ScanResult& refused :
         {scanner->scanBytes(infected, "stream", settings), scanner->scanDescriptor(fd, "fd", settings)}) {
        EXPECT_TRUE(refused.failed);
        EXPECT_FALSE(refused.scanned);
        EXPECT_FALSE(refused.repaired);
        ASSERT_EQ(refused.errors.size(), 1u);
        EXPECT_NE(refused.errors[0].find("repaired in place"), std::string::npos) << refused.errors[0];
    }
    ::close(fd);
    EXPECT_EQ(fixtures::readFile(path), infected);

    settings.commit.noBackup = false;
    settings.commit.quarantineDir = dir.file("q");
    const host::ScanResult repaired = scanner->scanPath(path.string(), settings);
    EXPECT_TRUE(repaired.repaired);
    EXPECT_FALSE(repaired.failed);
    ASSERT_EQ(repaired.actions.size(), 1u);
    EXPECT_EQ(repaired.actions[0].rfind("repaired (original kept as " + dir.file("q").string(), 0), 0u)
        << repaired.actions[0];
    EXPECT_EQ(fixtures::readFile(path), clean);
}

TEST_F(FileScannerTest, LimitsAreSaidNeverHidden) {
    host::ScanSettings settings;
    settings.maxFileSize = infected.size() - 1;
    for (const host::ScanResult& large :
         {scanner->scanPath(path.string(), settings), scanner->scanBytes(infected, "stream", settings)}) {
        EXPECT_FALSE(large.scanned);
        EXPECT_TRUE(large.skippedForSize);
        EXPECT_TRUE(large.incomplete());
        EXPECT_FALSE(large.found());
        ASSERT_EQ(large.notes.size(), 1u);
    }
    settings.alertExceedsMax = true;
    const host::ScanResult alerted = scanner->scanBytes(infected, "stream", settings);
    ASSERT_EQ(alerted.findings.size(), 1u);
    EXPECT_EQ(alerted.findings[0].name, host::limitsExceededFinding().name);

    const host::ScanResult missing = scanner->scanPath(dir.file("none").string(), {});
    EXPECT_TRUE(missing.failed);
    EXPECT_TRUE(missing.unreadable);
    EXPECT_FALSE(missing.scanned);
}

TEST_F(FileScannerTest, AScanTheWatchdogStoppedIsAnErrorWithNoVerdict) {
    const Bytes mz = fixtures::dos::makeMz({2048, std::nullopt, 0x200, true});
    const Bytes slow = fixtures::dos::infectTequilaDelayed(mz, fixtures::dos::StandInDelay::SelfRewritingSpin);
    host::EngineRequest::setWatchdogTrigger(50000);
    host::ScanSettings settings;
    settings.repair = Repair::InMemory;
    const host::ScanResult stopped = scanner->scanBytes(slow, "slow.exe", settings);
    host::EngineRequest::setWatchdogTrigger(std::nullopt);
    EXPECT_TRUE(stopped.failed);
    EXPECT_FALSE(stopped.found());
    EXPECT_TRUE(stopped.repairedBytes.empty());
    EXPECT_EQ(stopped.errors, std::vector<std::string>{"time limit reached (CScanTequila5Volt2659)"});

    const host::ScanResult calm = scanner->scanBytes(slow, "slow.exe", settings);  // unhurried, it repairs
    EXPECT_TRUE(calm.found());
    EXPECT_FALSE(calm.failed);
}

// A boot loader large enough to be mapped rather than copied, with the descriptor an exploit
// overwrites changed: found and repaired by writing a few bytes.
class MappedFileScannerTest : public FileScannerTest {
protected:
    void SetUp() override {
        FileScannerTest::SetUp();
        fixtures::writeFile(loaderPath, large);
    }
    static constexpr size_t kTable = 5000;
    const Bytes loader = fixtures::makeNtldr(2 * host::FileObject::kMinMappedSize, kTable);
    const Bytes large = fixtures::infectNtldr(loader, kTable + 8);
    const std::filesystem::path loaderPath = dir.file("ntldr");
};

TEST_F(MappedFileScannerTest, MappedAndCopiedBytesGetTheSameVerdictAndRepair) {
    host::ScanSettings settings;
    settings.repair = Repair::InMemory;
    bool mapped = false;
    settings.afterRead = [&](host::FileObject* file) { mapped = file->mapped(); };
    const host::ScanResult fromFile = scanner->scanPath(loaderPath.string(), settings);
    EXPECT_TRUE(mapped);
    const host::ScanResult fromMemory = scanner->scanBytes(large, loaderPath.string(), settings);
    ASSERT_EQ(fromFile.findings.size(), 1u);
    ASSERT_EQ(fromMemory.findings.size(), 1u);
    EXPECT_EQ(fromFile.findings[0].id, "0x000114E7");
    EXPECT_EQ(fromFile.findings[0].id, fromMemory.findings[0].id);
    EXPECT_TRUE(fromFile.repaired);
    EXPECT_EQ(fromFile.repairedBytes, loader);
    EXPECT_EQ(fromMemory.repairedBytes, loader);
    EXPECT_EQ(fixtures::readFile(loaderPath), large);
}

// Another process cuts the file short after it was mapped and before the engines read it (the
// hook parks the scan there and cuts it): what lay past the new end reads as zeros, and the file
// gets an error instead of a verdict; its repair is not committed.
TEST_F(MappedFileScannerTest, AFileCutShortWhileItIsScannedIsAnErrorAndIsNotRepaired) {
    const size_t kept = 64 * 1024;  // the descriptor table stays; the rest goes
    const Bytes cut(large.begin(), large.begin() + ptrdiff_t(kept));
    for (const Repair repair : {Repair::None, Repair::InMemory, Repair::Commit}) {
        fixtures::writeFile(loaderPath, large);
        host::ScanSettings settings;
        settings.repair = repair;
        settings.commit.noBackup = true;
        settings.afterRead = [&](host::FileObject* file) {
            EXPECT_TRUE(file->mapped());
            ASSERT_EQ(::truncate(loaderPath.c_str(), off_t(kept)), 0);
        };
        const host::ScanResult result = scanner->scanPath(loaderPath.string(), settings);
        EXPECT_TRUE(result.failed);
        EXPECT_TRUE(result.unreadable);
        EXPECT_EQ(result.errors, std::vector<std::string>{host::kShrankWhileScanned});
        EXPECT_FALSE(result.found());
        EXPECT_FALSE(result.repaired);
        EXPECT_TRUE(result.repairedBytes.empty());
        EXPECT_EQ(fixtures::readFile(loaderPath), cut) << "as the other process left it";
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 2) << "no temporary left";
    }
}

// Cut where no engine reads: the scan runs on bytes that were the file's, and its repair is
// still not committed over the file another process changed.
TEST_F(MappedFileScannerTest, ACutTheScanDidNotTouchStillStopsTheCommit) {
    host::ScanSettings settings;
    settings.repair = Repair::Commit;
    settings.commit.noBackup = true;
    settings.afterRead = [&](host::FileObject*) {
        ASSERT_EQ(::truncate(loaderPath.c_str(), off_t(large.size() - 1)), 0);  // within the last page
    };
    const host::ScanResult result = scanner->scanPath(loaderPath.string(), settings);
    EXPECT_TRUE(result.failed);
    EXPECT_TRUE(result.found());
    EXPECT_FALSE(result.repaired);
    EXPECT_EQ(fixtures::readFile(loaderPath), Bytes(large.begin(), large.end() - 1));
}

// Another process writes over the mapped file while it is scanned (the hook writes the clean
// loader back, the same size): the bytes the engines saw were no one state of the file, so it
// is an error, not the OK those clean pages would give. The file's times are set back first,
// so the write shows even within one tick of the clock.
TEST_F(MappedFileScannerTest, AFileWrittenWhileItIsScannedIsAnError) {
    for (const Repair repair : {Repair::None, Repair::InMemory}) {
        fixtures::writeFile(loaderPath, large);
        const timespec old[2] = {{1262304000, 0}, {1262304000, 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, loaderPath.c_str(), old, 0), 0);
        host::ScanSettings settings;
        settings.repair = repair;
        settings.afterRead = [&](host::FileObject* file) {
            EXPECT_TRUE(file->mapped());
            fixtures::writeFile(loaderPath, loader);  // in place: the same inode, the same size
        };
        const host::ScanResult result = scanner->scanPath(loaderPath.string(), settings);
        EXPECT_TRUE(result.failed);
        EXPECT_EQ(result.errors, std::vector<std::string>{host::kChangedWhileScanned});
        EXPECT_FALSE(result.found());
        EXPECT_TRUE(result.repairedBytes.empty());
    }
}

// A mapped file that may be an archive is copied before libarchive reads it: its members are
// found, and a write to the file after the copy does not reach them.
TEST_F(FileScannerTest, AMappedArchiveIsReadFromACopy) {
    Bytes padding(2 * host::FileObject::kMinMappedSize);
    std::mt19937 random(5);
    for (uint8_t& b : padding) b = uint8_t(random());  // noise: it stays as large in the zip
    const Bytes zip = fixtures::archives::pack(ARCHIVE_FORMAT_ZIP, ARCHIVE_FILTER_NONE,
                                               {{"padding.bin", padding}, {"game.com", infected}});
    ASSERT_GE(zip.size(), host::FileObject::kMinMappedSize);
    const std::filesystem::path path = dir.file("bundle.zip");
    fixtures::writeFile(path, zip);
    host::ScanSettings settings;
    bool mapped = false;
    settings.afterRead = [&](host::FileObject* file) { mapped = file->mapped(); };
    const host::ScanResult result = scanner->scanPath(path.string(), settings);
    EXPECT_TRUE(mapped);
    EXPECT_FALSE(result.failed) << (result.errors.empty() ? "" : result.errors[0]);
    EXPECT_EQ(result.foundInside, 1u);
}

}  // namespace
