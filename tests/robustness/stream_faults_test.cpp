// The host file object's fault plan: exactly the k-th call of one kind fails, through the
// stream interfaces and the emulator's file operations alike, and every failure is counted.
#include <gtest/gtest.h>

#include <memory>

#include "host/emulator/emulator.h"
#include "host/qxbase/file_object.h"
#include "tests/fixtures/bytes.h"

namespace {

using fixtures::Bytes;

TEST(StreamFaults, OnlyTheKthCallOfTheKindFails) {
    host::FileObject* file = host::FileObject::fromBytes(Bytes(64, 0x11));
    file->failNth(host::StreamOp::Write, 2);
    const uint8_t data[4] = {1, 2, 3, 4};
    uint32_t done = 0;
    uint8_t back[4] = {};
    EXPECT_EQ(file->Write(data, 4, &done), QE_OK);
    EXPECT_EQ(file->Read(back, 4, &done), QE_OK);  // another kind: not counted against writes
    EXPECT_EQ(file->Write(data, 4, &done), QE_E_FAIL);
    EXPECT_EQ(done, 0u);
    EXPECT_EQ(file->Write(data, 4, &done), QE_OK);
    EXPECT_EQ(file->streamCalls(host::StreamOp::Write), 3u);
    EXPECT_EQ(file->storageFailures(), 1u);

    file->failNth(host::StreamOp::SetSize, 1);
    EXPECT_EQ(file->SetSize(uint64_t(10)), QE_E_FAIL);
    EXPECT_EQ(file->bytes().size(), 64u);  // a refused resize changes nothing
    EXPECT_EQ(file->SetSize(uint64_t(10)), QE_OK);
    EXPECT_EQ(file->bytes().size(), 10u);

    file->failNth(host::StreamOp::Seek, 1);
    EXPECT_EQ(file->Seek(0, QE_SEEK_SET, nullptr), QE_E_FAIL);
    EXPECT_EQ(file->storageFailures(), 3u);

    file->failNth(host::StreamOp::Remove, 1);
    EXPECT_EQ(file->Remove(), QE_E_FAIL);
    EXPECT_FALSE(file->removed());  // a refused removal marks nothing
    EXPECT_EQ(file->Remove(), QE_OK);
    EXPECT_TRUE(file->removed());
    file->Release();
}

TEST(StreamFaults, TheEmulatorsFileOperationsShareThePlan) {
    host::FileObject* file = host::FileObject::fromBytes(Bytes(256, 0x90), "probe.com");
    std::unique_ptr<host::Emulator> emulator = host::Emulator::create(file);
    const uint8_t patch[2] = {0xCD, 0x20};
    file->failNth(host::StreamOp::Write, 1);
    EXPECT_EQ(emulator->PatchFile(0, patch, 2), 0u);
    EXPECT_EQ(file->bytes()[0], 0x90);
    EXPECT_EQ(emulator->PatchFile(0, patch, 2), 1u);
    EXPECT_EQ(file->bytes()[0], 0xCD);
    file->failNth(host::StreamOp::SetSize, 1);
    EXPECT_EQ(emulator->CutFile(0, 16), 0u);
    EXPECT_EQ(file->bytes().size(), 256u);
    file->failNth(host::StreamOp::Read, 1);
    uint8_t byte = 0;
    EXPECT_EQ(emulator->ReadFile(&byte, 0, 1), 0u);
    EXPECT_EQ(emulator->ReadFile(&byte, 0, 1), 1u);
    file->failNth(host::StreamOp::Remove, 1);
    EXPECT_EQ(emulator->DeleteFile(), 0u);
    EXPECT_FALSE(file->removed());
    EXPECT_EQ(file->storageFailures(), 4u);
    emulator.reset();
    file->Release();
}

}  // namespace
