// The file system opens companion files only beside the file being worked on: a plain name in
// that file's directory, given alone or after the directory. Everything else is refused, so a
// unit that reads a name out of a hostile file can reach no other file.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "host/qxbase/file_object.h"
#include "host/services.h"
#include "sdk/identifiers.h"
#include "tests/fixtures/bytes.h"

namespace {

using fixtures::Bytes;

// The size of what `path` opened to, or -1 when the file system refused or failed.
int64_t openedSize(host::FileSystem* files, const std::string& path) {
    QEPATHRECORD record{0, 0, path.c_str()};
    IUnknown* opened = nullptr;
    if (files->OpenFile(&record, QE_OPEN_READ, &opened) != QE_OK) {
        EXPECT_EQ(opened, nullptr) << path;
        return -1;
    }
    IQEStream* stream = nullptr;
    uint32_t size = 0;
    EXPECT_EQ(opened->QueryInterface(qe::IID_IQEStream, reinterpret_cast<void**>(&stream)), QE_OK);
    EXPECT_EQ(stream->GetSize(&size, nullptr), QE_OK);
    stream->Release();
    opened->Release();
    return size;
}

class CompanionFiles : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directory(dir.file("sub"));
        fixtures::writeFile(dir.file("scanned.exe"), Bytes(7, 1));
        fixtures::writeFile(dir.file("stored.bin"), Bytes(3, 2));
        fixtures::writeFile(dir.file("sub") / "inner.bin", Bytes(4, 3));
        fixtures::writeFile(outside.file("secret.bin"), Bytes(5, 4));
        std::filesystem::create_symlink(outside.file("secret.bin"), dir.file("link.bin"));
        files = host::FileSystem::create();
    }
    void TearDown() override { files->Release(); }

    fixtures::TempDir dir, outside;
    host::FileSystem* files = nullptr;
};

TEST_F(CompanionFiles, OnlyPlainNamesBesideTheScannedFile) {
    host::FileObject* scanned = host::FileObject::fromBytes(Bytes(7, 1), dir.file("scanned.exe").string());
    {
        const host::CompanionDirectory companions(scanned);
        const std::string here = dir.path().string() + "/";
        EXPECT_EQ(openedSize(files, "stored.bin"), 3);
        EXPECT_EQ(openedSize(files, here + "stored.bin"), 3);
        const std::string refused[] = {here + "sub/inner.bin", "sub/inner.bin",     "../secret.bin",
                                       here + "../x",          outside.file("secret.bin").string(),
                                       "sub\\inner.bin",       "..",                 here + "link.bin",
                                       "link.bin",             here};
        for (const std::string& path : refused) EXPECT_EQ(openedSize(files, path), -1) << path;
    }
    // Without a file being worked on nothing opens.
    EXPECT_EQ(host::CompanionDirectory::current(), nullptr);
    EXPECT_EQ(openedSize(files, dir.file("stored.bin").string()), -1);
    scanned->Release();
}

TEST_F(CompanionFiles, AnUnpackedLayerUsesItsPackedFilesDirectory) {
    host::FileObject* packed = host::FileObject::fromBytes(Bytes(7, 1), dir.file("scanned.exe").string());
    host::FileObject* unpacked = host::FileObject::fromBytes(Bytes(9, 1));
    ASSERT_TRUE(unpacked->setParent(packed));
    {
        const host::CompanionDirectory companions(unpacked);
        EXPECT_EQ(openedSize(files, "stored.bin"), 3);
        // Scopes nest: an inner file's directory ends with its scope.
        {
            const host::CompanionDirectory inner(outside.path().string() + "/");
            EXPECT_EQ(openedSize(files, "secret.bin"), 5);
            EXPECT_EQ(openedSize(files, "stored.bin"), -1);
        }
        EXPECT_EQ(openedSize(files, "stored.bin"), 3);
    }
    unpacked->Release();
    packed->Release();
}

}  // namespace
