#include "module/toolkit/file_path.h"

#include <gtest/gtest.h>

#include <cstring>
#include <cwchar>

#include "host/qxbase/file_object.h"

namespace {

struct FileRef {
    explicit FileRef(std::string path) : object(host::FileObject::fromBytes({}, std::move(path))) {}
    ~FileRef() { object->Release(); }
    IQEArchive* archive() const { return static_cast<IQEArchive*>(object); }
    host::FileObject* object;
};

TEST(GetFileName, CopiesANarrowPathAndGrowsOnlyWhenNeeded) {
    const std::string longPath(300, 'p');
    FileRef file(longPath);
    CFilePath path;
    ASSERT_EQ(GetFileName(path, file.archive()), 1);
    EXPECT_EQ(path.wide, 0u);
    EXPECT_EQ(path.length, 301u);
    EXPECT_EQ(path.capacity, 301u);
    EXPECT_EQ(std::string(path.narrow()), longPath);
    EXPECT_EQ(path.buffer[301], 0);  // the extra zero byte
    uint8_t* first = path.buffer;
    // A shorter path reuses the buffer; the capacity does not shrink.
    file.object->setPath("/tmp/ntldr");
    ASSERT_EQ(GetFileName(path, file.archive()), 1);
    EXPECT_EQ(path.buffer, first);
    EXPECT_EQ(path.length, 11u);
    EXPECT_EQ(path.capacity, 301u);
    EXPECT_STREQ(path.narrow(), "/tmp/ntldr");
    // A longer one grows it.
    file.object->setPath(std::string(400, 'q'));
    ASSERT_EQ(GetFileName(path, file.archive()), 1);
    EXPECT_EQ(path.capacity, 401u);
    EXPECT_EQ(std::strlen(path.narrow()), 400u);
    EXPECT_EQ(file.object->refCount(), 1u);
}

TEST(GetFileName, KeepsAWidePathWide) {
    FileRef file("abcde");
    file.object->setWidePaths(true);
    CFilePath path;
    ASSERT_EQ(GetFileName(path, file.archive()), 1);
    EXPECT_EQ(path.wide, 1u);
    EXPECT_EQ(path.length, 24u);
    EXPECT_EQ(std::wcscmp(path.wideString(), L"abcde"), 0);
    EXPECT_EQ(path.narrow(), nullptr);
}

TEST(GetFileName, FailuresLeaveTheRecordAlone) {
    struct NoHandle final : IQEArchive, IQEStream {
        QRESULT QueryInterface(const GUID&, void**) override { return QE_E_NOINTERFACE; }
        uint32_t AddRef() override { return 1; }
        uint32_t Release() override { return 1; }
        QRESULT Open(IUnknown*) override { return QE_E_NOTIMPL; }
        QRESULT Close() override { return QE_OK; }
        QRESULT GetStream(IQEStream** out) override {
            *out = this;
            return failStream ? QE_E_FAIL : QE_OK;
        }
        QRESULT Read(void*, uint32_t, uint32_t*) override { return QE_E_FAIL; }
        QRESULT Write(const void*, uint32_t, uint32_t*) override { return QE_E_FAIL; }
        QRESULT Flush() override { return QE_OK; }
        QRESULT Seek(int64_t, uint32_t, uint64_t*) override { return QE_E_FAIL; }
        QRESULT Tell(uint64_t*) override { return QE_E_FAIL; }
        QRESULT GetSize(uint32_t*, uint32_t*) override { return QE_E_FAIL; }
        QRESULT SetSize(uint32_t, uint32_t) override { return QE_E_FAIL; }
        QRESULT SetAccess(uint32_t, uint32_t) override { return QE_E_FAIL; }
        QRESULT Remove() override { return QE_E_FAIL; }
        bool failStream = false;
    } noHandle;
    CFilePath path;
    EXPECT_EQ(GetFileName(path, &noHandle), 0);
    noHandle.failStream = true;
    EXPECT_EQ(GetFileName(path, &noHandle), 0);
    EXPECT_EQ(GetFileName(path, nullptr), 0);
    EXPECT_EQ(path.buffer, nullptr);
    EXPECT_EQ(path.length, 0u);
}

}  // namespace
