// The emulator's file operations on the file object's bytes, and their coherence with the
// object's stream and with emulated memory.
#include <gtest/gtest.h>

#include <cstring>
#include <numeric>

#include "sdk/identifiers.h"
#include "tests/host/emulator/emulator_support.h"

using namespace emutest;
using fixtures::Bytes;

namespace {

Bytes counting(size_t n) {
    Bytes b(n);
    std::iota(b.begin(), b.end(), uint8_t(0));
    return b;
}

TEST(FileRead, ShortAtTheEndAndSetsThePosition) {
    Loaded l(counting(100));
    IExecExport& x = l.x();
    uint8_t buf[16] = {};
    EXPECT_EQ(x.ReadFile(buf, 90, 16), 10u);
    EXPECT_EQ(buf[0], 90);
    EXPECT_EQ(x.ReadFile(buf, 100, 1), 0u);
    EXPECT_EQ(x.ReadFile(buf, 0xFFFFFFFF, 1), 0u);
    // The sequential position stands after the last read: entries follow one another.
    ASSERT_EQ(x.ReadFile(buf, 10, 2), 2u);
    ASSERT_EQ(x.ReadFileSeq(buf, 8), 1u);
    EXPECT_EQ(buf[0], 12);
    EXPECT_EQ(buf[7], 19);
    x.SetFilePos(96, 0);
    EXPECT_EQ(x.ReadFileSeq(buf, 8), 0u);  // only 4 left
    x.SetFilePos(uint32_t(-10), 2);
    ASSERT_EQ(x.ReadFileSeq(buf, 1), 1u);
    EXPECT_EQ(buf[0], 90);
}

TEST(FileWrite, ExtendsAndAdvancesThePosition) {
    Loaded l(counting(32));
    IExecExport& x = l.x();
    const uint8_t ss[2] = {0x11, 0x22}, ip[2] = {0x33, 0x44}, cs[2] = {0x55, 0x66};
    ASSERT_EQ(x.WriteFile(ss, 14, 2), 2u);
    ASSERT_EQ(x.WriteFile(ip, 20, 2), 2u);
    ASSERT_EQ(x.WriteFileSeq(cs, 2), 1u);  // lands at 22
    EXPECT_EQ(l.bytes()[22], 0x55);
    EXPECT_EQ(l.bytes()[14], 0x11);
    // Past the end: the gap is zero-filled.
    ASSERT_EQ(x.WriteFile(cs, 40, 2), 2u);
    ASSERT_EQ(l.bytes().size(), 42u);
    EXPECT_EQ(l.bytes()[35], 0);
    EXPECT_EQ(l.bytes()[41], 0x66);
    EXPECT_EQ(x.WriteFile(cs, 0, 0), 0u);
    EXPECT_EQ(x.WriteFile(cs, host::Emulator::kMaxFileGrowth, 2), 0u);
    EXPECT_EQ(x.GetFileSize(), 42u);
}

TEST(FileSize, TruncatesAndGrows) {
    Loaded l(counting(64));
    IExecExport& x = l.x();
    ASSERT_EQ(x.SetFileSize(10), 1u);
    EXPECT_EQ(l.bytes(), counting(10));
    ASSERT_EQ(x.SetFileSize(20), 1u);
    EXPECT_EQ(x.GetFileSize(), 20u);
    EXPECT_EQ(l.bytes()[15], 0);
    EXPECT_EQ(x.SetFileSize(0xFFFFFFF0u), 0u);
    EXPECT_EQ(x.GetFileSize(), 20u);
}

struct EditCase {
    const char* name;
    uint32_t (*edit)(IExecExport&);
    uint32_t expectedResult;
    Bytes expected;
};

Bytes with(Bytes b, size_t at, std::initializer_list<uint8_t> v) {
    std::copy(v.begin(), v.end(), b.begin() + at);
    return b;
}
Bytes without(Bytes b, size_t at, size_t n) {
    b.erase(b.begin() + at, b.begin() + at + n);
    return b;
}

class FileEdit : public ::testing::TestWithParam<EditCase> {};

TEST_P(FileEdit, ChangesExactlyTheseBytes) {
    const EditCase& c = GetParam();
    Loaded l(counting(16));
    EXPECT_EQ(c.edit(l.x()), c.expectedResult);
    EXPECT_EQ(l.bytes(), c.expected);
}

const uint8_t kAb[2] = {0xAA, 0xBB};

INSTANTIATE_TEST_SUITE_P(
    Cases, FileEdit,
    ::testing::Values(
        EditCase{"cut_middle", [](IExecExport& x) { return x.CutFile(4, 3); }, 1, without(counting(16), 4, 3)},
        EditCase{"cut_zero", [](IExecExport& x) { return x.CutFile(16, 0); }, 1, counting(16)},
        EditCase{"cut_clipped", [](IExecExport& x) { return x.CutFile(12, 100); }, 1, counting(12)},
        EditCase{"cut_beyond", [](IExecExport& x) { return x.CutFile(17, 1); }, 0, counting(16)},
        EditCase{"fill", [](IExecExport& x) { return x.FillFile(2, 0x90, 3); }, 1,
                 with(counting(16), 2, {0x90, 0x90, 0x90})},
        EditCase{"fill_clipped", [](IExecExport& x) { return x.FillFile(14, 0x1FF, 9); }, 1,
                 with(counting(16), 14, {0xFF, 0xFF})},
        EditCase{"fill_beyond", [](IExecExport& x) { return x.FillFile(17, 0, 1); }, 0, counting(16)},
        EditCase{"patch", [](IExecExport& x) { return x.PatchFile(3, kAb, 2); }, 1,
                 with(counting(16), 3, {0xAA, 0xBB})},
        EditCase{"patch_past_end", [](IExecExport& x) { return x.PatchFile(15, kAb, 2); }, 0, counting(16)},
        EditCase{"move_down_overlapping", [](IExecExport& x) { return x.MoveFileData(0, 4, 12, 0); }, 1,
                 with(counting(16), 0, {4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15})},
        EditCase{"move_clipped_and_truncated", [](IExecExport& x) { return x.MoveFileData(2, 10, 100, 1); }, 1,
                 with(counting(8), 2, {10, 11, 12, 13, 14, 15})},
        EditCase{"move_up_grows", [](IExecExport& x) { return x.MoveFileData(14, 0, 4, 0); }, 1,
                 with(with(counting(18), 16, {0, 0}), 14, {0, 1, 2, 3})},
        EditCase{"move_bad_source", [](IExecExport& x) { return x.MoveFileData(0, 17, 1, 0); }, 0,
                 counting(16)}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FileMove, TheMovedProgramThenTruncated) {
    // A prepended 7808-byte body moved away: [7808, S) to [0, S - 7808), then the size set.
    Bytes file(7808, 0xEE);
    const Bytes host = counting(9000);
    file.insert(file.end(), host.begin(), host.end());
    Loaded l(file);
    ASSERT_EQ(l.x().MoveFileData(0, 7808, uint32_t(file.size()) - 7808, 0), 1u);
    EXPECT_EQ(l.bytes().size(), file.size());
    ASSERT_EQ(l.x().SetFileSize(uint32_t(file.size()) - 7808), 1u);
    EXPECT_EQ(l.bytes(), host);
}

TEST(FileSearch, FindsTheFirstWholeOccurrenceInRange) {
    Bytes file = counting(64);
    std::memcpy(file.data() + 20, "MZxxMZ", 6);
    Loaded l(file);
    IExecExport& x = l.x();
    uint32_t found = 0;
    ASSERT_EQ(x.Search(0, 64, "MZ", 2, &found, 0), 1u);
    EXPECT_EQ(found, 20u);
    ASSERT_EQ(x.Search(22, 42, "MZ", 2, &found, 0), 1u);
    EXPECT_EQ(found, 24u);
    EXPECT_EQ(x.Search(22, 3, "MZ", 2, &found, 0), 0u);             // would end past the range
    ASSERT_EQ(x.Search(21, 0xFFFFFFFF, "MZ", 2, &found, 0), 1u);    // start + length wraps: to the end
    EXPECT_EQ(found, 24u);
    EXPECT_EQ(x.Search(62, 100, "\x3E\x3F\x40", 3, &found, 0), 0u); // would run past the file
    EXPECT_EQ(x.Search(0, 64, "MZ", 0, &found, 0), 0u);
    EXPECT_EQ(x.Search(64, 10, "MZ", 2, &found, 0), 0u);
    EXPECT_EQ(x.Search(0, 64, "MZ", 2, &found, 2), 0u);
}

TEST(MemorySearch, AnswersLinearAddresses) {
    Loaded l(asmProgram("com_registers"));
    IExecExport& x = l.x();
    uint32_t found = 0;
    ASSERT_EQ(x.Search(kComEntry, 8191, "\xEF\xBE", 2, &found, 1), 1u);
    EXPECT_EQ(found, kComEntry + uint32_t(l.bytes().size()) - 2);
    EXPECT_EQ(x.Search(0x10FFFF, 100, "\xEF\xBE", 2, &found, 1), 0u);  // past mapped memory
}

TEST(FileCoherence, StreamAndEmulatorShareTheBytes) {
    Loaded l(counting(32));
    IExecExport& x = l.x();
    IQEStream* stream = nullptr;
    ASSERT_EQ(l.file->QueryInterface(qe::IID_IQEStream, reinterpret_cast<void**>(&stream)), QE_OK);
    const uint8_t v[3] = {7, 8, 9};
    ASSERT_EQ(x.WriteFile(v, 40, 3), 3u);
    uint32_t low = 0, high = 0;
    ASSERT_EQ(stream->GetSize(&low, &high), QE_OK);
    EXPECT_EQ(low, 43u);
    uint8_t back[3] = {};
    uint32_t done = 0;
    ASSERT_EQ(stream->Seek(40, QE_SEEK_SET, nullptr), QE_OK);
    ASSERT_EQ(stream->Read(back, 3, &done), QE_OK);
    EXPECT_EQ(std::memcmp(back, v, 3), 0);
    // And the other way.
    ASSERT_EQ(stream->Seek(0, QE_SEEK_SET, nullptr), QE_OK);
    ASSERT_EQ(stream->Write("\xAB", 1, &done), QE_OK);
    ASSERT_EQ(stream->SetSize(10, 0), QE_OK);
    EXPECT_EQ(x.GetFileSize(), 10u);
    ASSERT_EQ(x.ReadFile(back, 0, 1), 1u);
    EXPECT_EQ(back[0], 0xAB);
    // Deleting only marks: the stream stays usable.
    ASSERT_EQ(x.DeleteFile(), 1u);
    EXPECT_TRUE(l.file->removed());
    ASSERT_EQ(stream->Write("\x01", 1, &done), QE_OK);
    stream->Release();
}

TEST(MemorySnapshot, FileWritesReachMemoryOnlyAtRestart) {
    Loaded l(asmProgram("com_registers"));
    IExecExport& x = l.x();
    uint8_t first = 0;
    ASSERT_EQ(x.ReadMemory(kComEntry, &first, 1), 1u);
    EXPECT_EQ(first, 0xB8);
    const uint8_t exitNow[2] = {0xCD, 0x20};
    ASSERT_EQ(x.WriteFile(exitNow, 0, 2), 2u);
    ASSERT_EQ(x.ReadMemory(kComEntry, &first, 1), 1u);
    EXPECT_EQ(first, 0xB8);
    ASSERT_EQ(x.Restart(), 1u);
    ASSERT_EQ(x.ReadMemory(kComEntry, &first, 1), 1u);
    EXPECT_EQ(first, 0xCD);
    EXPECT_EQ(x.Step(1), 1u);
    EXPECT_EQ(x.GetStopStatus(), host::emu::STATUS_ENDED);
}

TEST(CommitImage, WritesTheRestoredProgramBack) {
    Loaded l(asmProgram("com_return_to_entry"));
    IExecExport& x = l.x();
    const Bytes infected(l.bytes().begin(), l.bytes().end());
    ASSERT_EQ(x.Step(8), 1u);  // the virus has put the host's bytes back in memory
    ASSERT_EQ(x.CommitImage(), 1u);
    ASSERT_EQ(l.bytes().size(), infected.size());
    EXPECT_EQ(l.bytes()[0], 0xB8);
    EXPECT_EQ(l.bytes()[2], 0x4C);
    EXPECT_TRUE(std::equal(infected.begin() + 3, infected.end(), l.bytes().begin() + 3));
}

TEST(AllocBlock, GivesZeroedMemoryWithinACap) {
    Loaded l(asmProgram("com_registers"));
    IExecExport& x = l.x();
    uint32_t rec[5] = {};
    ASSERT_EQ(x.AllocBlock(rec, 100), 1u);
    EXPECT_EQ(rec[1], 7u);
    EXPECT_EQ(rec[3], 0x1000u);
    uint8_t zero[100] = {1};
    ASSERT_EQ(x.ReadMemory(rec[0], zero, 100), 1u);
    EXPECT_EQ(zero[0], 0);
    EXPECT_EQ(x.AllocBlock(rec, 0), 0u);
    // Sizes taken from file positions, again and again: a cap stops them harmlessly.
    int granted = 0;
    for (int i = 0; i < 40; ++i) granted += int(x.AllocBlock(rec, 4u << 20));
    EXPECT_EQ(granted, 15);  // 64 MiB in all, 4 KiB of it already taken
    const uint32_t last = rec[0];
    x.ResetMemoryBlocks(0);
    EXPECT_EQ(x.ReadMemory(last, zero, 1), 0u);
    EXPECT_EQ(x.AllocBlock(rec, 4u << 20), 1u);
}

TEST(NonProgramFile, FileOperationsWorkWithoutAnImage) {
    Loaded l(Bytes{});
    IExecExport& x = l.x();
    EXPECT_EQ(x.GetIP(), 0xFFFFFFFFu);
    EXPECT_EQ(x.GetImageBase(), 0u);
    uint32_t a = 0;
    EXPECT_EQ(x.GetImageAddress(0, 0, &a, nullptr, 0), 0u);
    EXPECT_EQ(x.Step(1), 0u);
    EXPECT_EQ(x.RunTo(0, 1), 0u);
    EXPECT_EQ(x.WriteFile("abc", 0, 3), 3u);
    EXPECT_EQ(x.GetFileSize(), 3u);
}

}  // namespace
