// Large files are mapped instead of copied: the same bytes either way, a change copies them first
// and leaves the file alone, a file cut short under the mapping reads zeros and says so, and a
// SIGBUS that is no mapped file's still ends the process.
#include "host/qxbase/mapped_file.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <vector>

#include "host/qxbase/file_object.h"
#include "tests/fixtures/bytes.h"

namespace {

using fixtures::Bytes;
using host::FileObject;
constexpr size_t kThreshold = FileObject::kMinMappedSize;

Bytes pattern(size_t size) {
    Bytes bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = uint8_t(i * 131 + (i >> 12));
    return bytes;
}

struct FileRef {
    explicit FileRef(FileObject* f) : file(f) {}
    ~FileRef() {
        if (file) file->Release();
    }
    FileRef(const FileRef&) = delete;
    FileRef& operator=(const FileRef&) = delete;
    FileObject* operator->() const { return file; }
    IQEStream* stream() const { return static_cast<IQEStream*>(file); }
    FileObject* file;
};

FileObject* read(const std::filesystem::path& path) {
    std::string error;
    FileObject* file = FileObject::fromFile(path.string(), &error);
    EXPECT_NE(file, nullptr) << error;
    return file;
}

void cutTo(const std::filesystem::path& path, off_t size) {
    ASSERT_EQ(::truncate(path.c_str(), size), 0);
}

TEST(MappedFileObject, MappedAndCopiedFilesHoldTheSameBytes) {
    const struct {
        size_t size;
        bool mapped;
    } cases[] = {
        {0, false}, {1, false}, {4096, false}, {kThreshold - 1, false}, {kThreshold, true},
        {kThreshold + 1, true}, {3 * kThreshold + 123, true},
    };
    fixtures::TempDir dir;
    for (const auto& c : cases) {
        const Bytes bytes = pattern(c.size);
        fixtures::writeFile(dir.file("f"), bytes);
        FileRef f(read(dir.file("f")));
        ASSERT_NE(f.file, nullptr);
        EXPECT_EQ(f->mapped(), c.mapped) << c.size;
        EXPECT_EQ(f->bytes(), bytes) << c.size;
        ASSERT_NE(f->diskIdentity(), nullptr);
        EXPECT_EQ(f->diskIdentity()->size, c.size);
        // The stream reads the same bytes, to the end and no further.
        Bytes streamed(c.size + 10);
        uint32_t done = 0;
        ASSERT_EQ(f.stream()->Read(streamed.data(), uint32_t(streamed.size()), &done), QE_OK);
        streamed.resize(done);
        EXPECT_EQ(streamed, bytes) << c.size;
        EXPECT_FALSE(f->shrankWhileMapped());
    }
}

TEST(MappedFileObject, MaxBytesIsHonouredBeforeMapping) {
    fixtures::TempDir dir;
    fixtures::writeFile(dir.file("f"), pattern(2 * kThreshold));
    std::string error;
    EXPECT_EQ(FileObject::fromFile(dir.file("f").string(), &error, true, 2 * kThreshold - 1), nullptr);
    EXPECT_NE(error.find("larger than"), std::string::npos) << error;
}

// Records what the bytes were when a watcher heard of a change: the change comes after.
struct RecordingWatcher : FileObject::BytesWatcher {
    explicit RecordingWatcher(FileObject* f) : file(f) { file->watchBytes(this); }
    ~RecordingWatcher() { file->unwatchBytes(this); }
    void beforeBytesChange() override {
        ++heard;
        wasMapped = file->mapped();
        seen.assign(file->bytes().begin(), file->bytes().end());
    }
    FileObject* file;
    int heard = 0;
    bool wasMapped = false;
    Bytes seen;
};

TEST(MappedFileObject, EveryKindOfChangeCopiesTheBytesFirstAndLeavesTheFileAlone) {
    const Bytes original = pattern(kThreshold + 5000);
    const std::vector<std::pair<const char*, void (*)(FileRef&)>> changes = {
        {"write", [](FileRef& f) {
             const uint8_t data[3] = {0xAA, 0xBB, 0xCC};
             ASSERT_EQ(f.stream()->Seek(100, QE_SEEK_SET, nullptr), QE_OK);
             ASSERT_EQ(f.stream()->Write(data, 3, nullptr), QE_OK);
         }},
        {"write past the end", [](FileRef& f) {
             const uint8_t data[2] = {1, 2};
             ASSERT_EQ(f.stream()->Seek(0, QE_SEEK_END, nullptr), QE_OK);
             ASSERT_EQ(f.stream()->Write(data, 2, nullptr), QE_OK);
         }},
        {"set size", [](FileRef& f) { ASSERT_EQ(f.stream()->SetSize(1000u, 0u), QE_OK); }},
        {"mutable bytes", [](FileRef& f) { f->mutableBytes()[7] ^= 0xFF; }},
    };
    fixtures::TempDir dir;
    fixtures::writeFile(dir.file("f"), original);
    for (const auto& [name, change] : changes) {
        FileRef f(read(dir.file("f")));
        ASSERT_TRUE(f->mapped()) << name;
        RecordingWatcher watcher(f.file);
        change(f);
        EXPECT_EQ(watcher.heard, 1) << name;
        EXPECT_TRUE(watcher.wasMapped) << name;
        EXPECT_EQ(watcher.seen, original) << name;
        EXPECT_FALSE(f->mapped()) << name;
        EXPECT_NE(f->bytes(), original) << name;
        EXPECT_EQ(fixtures::readFile(dir.file("f")), original) << name;
    }
    // What stays the same after the copy is the file's.
    FileRef f(read(dir.file("f")));
    f->mutableBytes()[0] = 'X';
    EXPECT_TRUE(std::equal(original.begin() + 1, original.end(), f->bytes().begin() + 1));
}

TEST(MappedFileObject, AFileCutShortUnderTheMappingReadsZerosAndSaysSo) {
    fixtures::TempDir dir;
    const Bytes original = pattern(4 * kThreshold);
    fixtures::writeFile(dir.file("f"), original);
    FileRef f(read(dir.file("f")));
    ASSERT_TRUE(f->mapped());
    const size_t kept = kThreshold + 100;  // mid-page: the rest of that page reads zeros without a fault
    cutTo(dir.file("f"), off_t(kept));
    EXPECT_FALSE(f->shrankWhileMapped()) << "nothing past the end was touched yet";
    EXPECT_TRUE(std::equal(original.begin(), original.begin() + ptrdiff_t(kept), f->bytes().begin()));
    EXPECT_FALSE(f->shrankWhileMapped());
    // Past the end, on the next pages, through the bytes and through the stream.
    EXPECT_EQ(f->bytes()[3 * kThreshold], 0);
    EXPECT_TRUE(f->shrankWhileMapped());
    Bytes tail(kThreshold);
    uint32_t done = 0;
    ASSERT_EQ(f.stream()->Seek(int64_t(2 * kThreshold), QE_SEEK_SET, nullptr), QE_OK);
    ASSERT_EQ(f.stream()->Read(tail.data(), uint32_t(tail.size()), &done), QE_OK);
    EXPECT_EQ(done, tail.size());
    EXPECT_EQ(tail, Bytes(kThreshold, 0));
    EXPECT_EQ(f->bytes().size(), original.size()) << "the size is the one that was read";
    // Copied into memory, the bytes stay marked.
    f->mutableBytes();
    EXPECT_FALSE(f->mapped());
    EXPECT_TRUE(f->shrankWhileMapped());
}

TEST(MappedFileObject, WhenEveryMappingSlotIsTakenFilesAreCopied) {
    fixtures::TempDir dir;
    const Bytes original = pattern(kThreshold);
    fixtures::writeFile(dir.file("f"), original);
    std::vector<std::unique_ptr<FileRef>> held;
    for (int i = 0; i < host::MappedFile::kMaxMappings; ++i) {
        held.push_back(std::make_unique<FileRef>(read(dir.file("f"))));
        ASSERT_TRUE((*held.back())->mapped()) << i;
    }
    FileRef copied(read(dir.file("f")));
    EXPECT_FALSE(copied->mapped());
    EXPECT_EQ(copied->bytes(), original);
    held.pop_back();
    FileRef mapped(read(dir.file("f")));
    EXPECT_TRUE(mapped->mapped()) << "an ended mapping frees its slot";
}

// --- a SIGBUS that is no mapped file's

// These run in a process of their own that ends without cleaning up: each removes its files
// once it holds what it needs of them.

// Maps one file through the file object, so the handler is installed.
void installTheHandler(const std::filesystem::path& dir) {
    fixtures::writeFile(dir / "mapped", pattern(kThreshold));
    std::string error;
    FileObject* file = FileObject::fromFile((dir / "mapped").string(), &error);
    if (!file || !file->mapped()) ::_exit(2);
    file->Release();
    std::filesystem::remove(dir / "mapped");
}

// A file mapped behind the table's back and cut short: touching it is a real bus error.
void touchACutFileNobodyRegistered(const std::filesystem::path& dir) {
    const std::filesystem::path path = dir / "raw";
    fixtures::writeFile(path, pattern(4 * 4096));
    const int fd = ::open(path.c_str(), O_RDONLY);
    void* raw = ::mmap(nullptr, 4 * 4096, PROT_READ, MAP_PRIVATE, fd, 0);
    if (fd < 0 || raw == MAP_FAILED) ::_exit(3);
    if (::ftruncate(::open(path.c_str(), O_WRONLY), 0) != 0) ::_exit(4);
    std::filesystem::remove_all(dir);
    volatile uint8_t value = static_cast<const uint8_t*>(raw)[3 * 4096];
    (void)value;
    ::_exit(5);  // not reached
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitizerHandlesBusErrors = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitizerHandlesBusErrors = true;
#else
constexpr bool kSanitizerHandlesBusErrors = false;
#endif
#else
constexpr bool kSanitizerHandlesBusErrors = false;
#endif

TEST(MappedFileDeathTest, ABusErrorOutsideEveryMappingStillEndsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process: no handler from other tests
    fixtures::TempDir dir;
    // Without a handler before ours the process dies of the signal; under a sanitizer, its own
    // handler (the one before ours) reports the error and exits.
    const auto diedOfIt = [](int status) {
        if (kSanitizerHandlesBusErrors) return status != 0;
        return WIFSIGNALED(status) && WTERMSIG(status) == SIGBUS;
    };
    EXPECT_EXIT(
        {
            installTheHandler(dir.path());
            touchACutFileNobodyRegistered(dir.path());
        },
        diedOfIt, "");
    EXPECT_EXIT(
        {
            installTheHandler(dir.path());
            std::filesystem::remove_all(dir.path());
            ::raise(SIGBUS);
            ::_exit(5);
        },
        diedOfIt, "");
}

void exitFromPreviousHandler(int, siginfo_t*, void*) { ::_exit(42); }

TEST(MappedFileDeathTest, ABusErrorOutsideEveryMappingGoesToTheHandlerInstalledBefore) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    fixtures::TempDir dir;
    EXPECT_EXIT(
        {
            struct sigaction previous {};
            previous.sa_sigaction = exitFromPreviousHandler;
            previous.sa_flags = SA_SIGINFO;
            sigemptyset(&previous.sa_mask);
            ::sigaction(SIGBUS, &previous, nullptr);
            installTheHandler(dir.path());
            touchACutFileNobodyRegistered(dir.path());
        },
        ::testing::ExitedWithCode(42), "");
}

}  // namespace
