// Committing repairs: the original survives every failure byte for byte; success replaces it
// atomically with its permissions.
#include "host/repair.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

#include "sdk/identifiers.h"
#include "sdk/results.h"
#include "tests/fixtures/bytes.h"

namespace {

using fixtures::Bytes;
namespace fs = std::filesystem;

const Bytes kOriginal = {'M', 'Z', 0x90, 0x00, 0xEB, 0xFE, 0xCC, 0xCC};
const Bytes kRepaired = {'M', 'Z', 0x90, 0x00};

// What a repair does to the private copy before it answers.
uint32_t truncateAndAnswer(host::FileObject* file, uint32_t answer) {
    IQEStream* stream = file;
    stream->SetSize(uint32_t(kRepaired.size()), 0);
    return answer;
}

class Repair : public ::testing::Test {
protected:
    void SetUp() override {
        path = dir.file("program.exe");
        fixtures::writeFile(path, kOriginal);
        ASSERT_EQ(::chmod(path.c_str(), 0754), 0);
        options.quarantineDir = dir.file("quarantine");
    }
    mode_t mode() const {
        struct stat st {};
        ::stat(path.c_str(), &st);
        return st.st_mode & 07777;
    }
    // Every entry of the file's directory except the quarantine directory.
    std::vector<std::string> directoryEntries() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir.path()))
            if (entry.path() != options.quarantineDir) names.push_back(entry.path().filename().string());
        return names;
    }
    std::vector<fs::path> quarantined() const {
        std::vector<fs::path> files;
        if (fs::exists(options.quarantineDir))
            for (const auto& entry : fs::directory_iterator(options.quarantineDir))
                if (entry.path().extension() != ".json") files.push_back(entry.path());  // not the records
        return files;
    }
    void expectOriginalUntouched() const {
        EXPECT_EQ(fixtures::readFile(path), kOriginal);
        EXPECT_EQ(mode(), 0754u);
        EXPECT_EQ(directoryEntries(), std::vector<std::string>{"program.exe"});  // no temporary left behind
    }

    fixtures::TempDir dir;
    fs::path path;
    host::RepairOptions options;
};

TEST_F(Repair, SuccessReplacesTheOriginalKeepingPermissionsAndABackup) {
    host::RepairOutcome outcome =
        host::repairFile(path, [](host::FileObject* f) { return truncateAndAnswer(f, KILL_REPAIRED); }, options);
    EXPECT_EQ(outcome.action, host::RepairAction::Replaced) << outcome.error;
    EXPECT_TRUE(outcome.error.empty());
    EXPECT_EQ(fixtures::readFile(path), kRepaired);
    EXPECT_EQ(mode(), 0754u);
    EXPECT_EQ(outcome.finalPath, path);
    ASSERT_EQ(quarantined().size(), 1u);
    EXPECT_EQ(outcome.backupPath, quarantined()[0]);
    EXPECT_EQ(fixtures::readFile(outcome.backupPath), kOriginal);
    EXPECT_EQ(directoryEntries(), std::vector<std::string>{"program.exe"});
}

TEST_F(Repair, SuccessWithoutQuarantineKeepsNoBackup) {
    options.quarantineDir.clear();
    host::RepairOutcome outcome =
        host::repairFile(path, [](host::FileObject* f) { return truncateAndAnswer(f, KILL_REPAIRED); }, options);
    EXPECT_EQ(outcome.action, host::RepairAction::Replaced);
    EXPECT_TRUE(outcome.backupPath.empty());
    EXPECT_EQ(fixtures::readFile(path), kRepaired);
}

class FailedKill : public Repair, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(FailedKill, LeavesTheOriginalAsItWasEvenAfterWriting) {
    const uint32_t answer = GetParam();
    host::RepairOutcome outcome =
        host::repairFile(path, [answer](host::FileObject* f) { return truncateAndAnswer(f, answer); }, options);
    EXPECT_EQ(outcome.action, host::RepairAction::Unchanged);
    EXPECT_EQ(outcome.killResult, answer);
    expectOriginalUntouched();
    EXPECT_TRUE(quarantined().empty());
}

INSTANTIATE_TEST_SUITE_P(Results, FailedKill,
                         ::testing::Values(KILL_FAILED, KILL_FAILED_FORMAT, KILL_REMOVE_FAILED, 0u, 3u,
                                           uint32_t(QE_E_INVALIDARG)));

TEST_F(Repair, KillThatThrowsAfterWritingLeavesTheOriginal) {
    host::RepairOutcome outcome = host::repairFile(
        path,
        [](host::FileObject* f) -> uint32_t {
            truncateAndAnswer(f, KILL_REPAIRED);
            throw std::runtime_error("emulator fault");
        },
        options);
    EXPECT_EQ(outcome.action, host::RepairAction::Unchanged);
    EXPECT_NE(outcome.error.find("emulator fault"), std::string::npos);
    expectOriginalUntouched();
}

class FailingStep : public Repair, public ::testing::WithParamInterface<host::CommitStep> {};

TEST_P(FailingStep, LeavesTheOriginalAndNoTemporaryFile) {
    options.failAt = GetParam();
    host::RepairOutcome outcome =
        host::repairFile(path, [](host::FileObject* f) { return truncateAndAnswer(f, KILL_REPAIRED); }, options);
    EXPECT_EQ(outcome.action, host::RepairAction::Unchanged);
    EXPECT_FALSE(outcome.error.empty());
    expectOriginalUntouched();
    EXPECT_TRUE(quarantined().empty()) << "a failed repair leaves no quarantine entry";
    EXPECT_TRUE(outcome.backupPath.empty());
}

INSTANTIATE_TEST_SUITE_P(Steps, FailingStep,
                         ::testing::Values(host::CommitStep::Lock, host::CommitStep::Backup,
                                           host::CommitStep::WriteTemporary, host::CommitStep::SyncTemporary,
                                           host::CommitStep::Link, host::CommitStep::Rename));

TEST_F(Repair, FileChangedOnDiskWhileTheKillRanIsNotReplaced) {
    host::RepairOutcome outcome = host::repairFile(
        path,
        [this](host::FileObject* f) {
            fixtures::writeFile(path, {'n', 'e', 'w'});  // someone else writes the file meanwhile
            return truncateAndAnswer(f, KILL_REPAIRED);
        },
        options);
    EXPECT_EQ(outcome.action, host::RepairAction::Unchanged);
    EXPECT_NE(outcome.error.find("changed"), std::string::npos);
    EXPECT_EQ(fixtures::readFile(path), (Bytes{'n', 'e', 'w'}));
}

// A file large enough to be mapped, cut short by someone else while the kill runs: its bytes past
// the new end read as zeros, and nothing made of them is committed, whether the kill copied them
// (by writing) or left them mapped, and whether the cut came during the kill or the commit.
TEST_F(Repair, BytesOfAFileCutShortUnderTheirMappingAreNeverCommitted) {
    const size_t size = 4 * host::FileObject::kMinMappedSize;
    const size_t kept = host::FileObject::kMinMappedSize;
    Bytes large(size, 0x90);
    large[0] = 'M';
    large[1] = 'Z';
    const Bytes cut(large.begin(), large.begin() + ptrdiff_t(kept));
    const auto cutFile = [this, kept] { ASSERT_EQ(::truncate(path.c_str(), off_t(kept)), 0); };
    const struct {
        const char* name;
        bool cutInKill;  // else as the commit writes its new file
        bool writes;
    } cases[] = {{"cut in the kill, then written", true, true},
                 {"cut in the kill, left mapped", true, false},
                 {"cut as the commit writes", false, false}};
    for (const auto& c : cases) {
        fixtures::writeFile(path, large);
        host::RepairOptions cutting = options;
        if (!c.cutInKill)
            cutting.atStep = [&](host::CommitStep step) {
                if (step == host::CommitStep::WriteTemporary) cutFile();
            };
        host::RepairOutcome outcome = host::repairFile(
            path,
            [&](host::FileObject* f) {
                EXPECT_TRUE(f->mapped()) << c.name;
                if (c.cutInKill) {
                    cutFile();
                    EXPECT_EQ(f->bytes()[size - 1], 0) << c.name;  // past the new end
                }
                if (c.writes) f->mutableBytes()[2] = 0xCC;
                return KILL_REPAIRED;
            },
            cutting);
        EXPECT_EQ(outcome.action, host::RepairAction::Unchanged) << c.name;
        if (c.cutInKill) {
            EXPECT_EQ(outcome.error, host::kShrankWhileScanned) << c.name;
        }
        EXPECT_EQ(fixtures::readFile(path), cut) << c.name << ": the file is as the other process left it";
        EXPECT_EQ(directoryEntries(), std::vector<std::string>{"program.exe"}) << c.name;
        EXPECT_TRUE(quarantined().empty()) << c.name;
    }
}

TEST_F(Repair, SymbolicLinkIsNotRepairedThrough) {
    const fs::path link = dir.file("link.exe");
    fs::create_symlink(path, link);
    host::RepairOutcome outcome =
        host::repairFile(link, [](host::FileObject* f) { return truncateAndAnswer(f, KILL_REPAIRED); }, options);
    EXPECT_EQ(outcome.action, host::RepairAction::Unchanged);
    EXPECT_NE(outcome.error.find("symbolic link"), std::string::npos);
    EXPECT_EQ(fixtures::readFile(path), kOriginal);
    EXPECT_TRUE(fs::is_symlink(link));
}

TEST_F(Repair, FileNotReadFromDiskIsNotCommitted) {
    host::FileObject* memory = host::FileObject::fromBytes(kRepaired, path.string());
    host::RepairOutcome outcome = host::commitKill(memory, KILL_REPAIRED, options);
    memory->Release();
    EXPECT_EQ(outcome.action, host::RepairAction::Unchanged);
    expectOriginalUntouched();
}

// ---------------------------------------------------------------- removals

class Removal : public Repair, public ::testing::WithParamInterface<bool> {};

// Kill result 2, or success after the module removed the stream (some units answer 1 then).
TEST_P(Removal, MovesTheOriginalToQuarantine) {
    const bool byStream = GetParam();
    host::RepairOutcome outcome = host::repairFile(
        path,
        [byStream](host::FileObject* f) -> uint32_t {
            if (!byStream) return KILL_REMOVED;
            static_cast<IQEStream*>(f)->Remove();
            return KILL_REPAIRED;
        },
        options);
    EXPECT_EQ(outcome.action, host::RepairAction::Removed) << outcome.error;
    EXPECT_FALSE(fs::exists(path));
    ASSERT_EQ(quarantined().size(), 1u);
    EXPECT_EQ(fixtures::readFile(outcome.backupPath), kOriginal);
}

INSTANTIATE_TEST_SUITE_P(Ways, Removal, ::testing::Values(false, true));

TEST_F(Repair, RemovalWithoutQuarantineUnlinksOnlyWhenAllowed) {
    options.quarantineDir.clear();
    auto removeAll = [](host::FileObject*) { return KILL_REMOVED; };
    host::RepairOutcome outcome = host::repairFile(path, removeAll, options);
    EXPECT_EQ(outcome.action, host::RepairAction::Unchanged);
    EXPECT_NE(outcome.error.find("not applied"), std::string::npos);
    expectOriginalUntouched();
    options.unlinkRemoved = true;
    outcome = host::repairFile(path, removeAll, options);
    EXPECT_EQ(outcome.action, host::RepairAction::Removed);
    EXPECT_FALSE(fs::exists(path));
}

TEST_F(Repair, FailedRemovalLeavesTheOriginal) {
    options.failAt = host::CommitStep::Backup;
    host::RepairOutcome outcome = host::repairFile(path, [](host::FileObject*) { return KILL_REMOVED; }, options);
    EXPECT_EQ(outcome.action, host::RepairAction::Unchanged);
    expectOriginalUntouched();
}

// ---------------------------------------------------------------- renames

uint32_t repairUnderName(host::FileObject* file, const char* name) {
    QEPROPVALUE v{};
    v.vt = qe::VT_LPSTR;
    v.narrowVal = name;
    file->SetProperty(qe::PID_File_RenameName, &v);
    return truncateAndAnswer(file, KILL_REPAIRED);
}

TEST_F(Repair, NewNameTakesTheRepairedBytesAndTheOriginalGoesToQuarantine) {
    const std::string renamed = dir.file("program.doc").string();
    host::RepairOutcome outcome =
        host::repairFile(path, [&](host::FileObject* f) { return repairUnderName(f, renamed.c_str()); }, options);
    EXPECT_EQ(outcome.action, host::RepairAction::Replaced) << outcome.error;
    EXPECT_EQ(outcome.finalPath, fs::path(renamed));
    EXPECT_EQ(fixtures::readFile(renamed), kRepaired);
    EXPECT_FALSE(fs::exists(path));
    EXPECT_EQ(fixtures::readFile(outcome.backupPath), kOriginal);
}

TEST_F(Repair, NewNameThatExistsIsNeverOverwritten) {
    const fs::path other = dir.file("program.doc");
    fixtures::writeFile(other, {'k', 'e', 'e', 'p'});
    host::RepairOutcome outcome =
        host::repairFile(path, [&](host::FileObject* f) { return repairUnderName(f, "program.doc"); }, options);
    EXPECT_EQ(outcome.action, host::RepairAction::Unchanged);
    EXPECT_EQ(fixtures::readFile(other), (Bytes{'k', 'e', 'e', 'p'}));
    EXPECT_EQ(fixtures::readFile(path), kOriginal);
}

TEST_F(Repair, NewNameInAnotherDirectoryIsRefused) {
    host::RepairOutcome outcome =
        host::repairFile(path, [&](host::FileObject* f) { return repairUnderName(f, "/tmp/elsewhere.doc"); }, options);
    EXPECT_EQ(outcome.action, host::RepairAction::Unchanged);
    expectOriginalUntouched();
}

}  // namespace
