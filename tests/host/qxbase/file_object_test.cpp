#include "host/qxbase/file_object.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "sdk/identifiers.h"
#include "tests/fixtures/bytes.h"

namespace {

using fixtures::Bytes;

// Owns one reference to a new file object.
struct FileRef {
    explicit FileRef(host::FileObject* f) : file(f) {}
    ~FileRef() {
        if (file) file->Release();
    }
    host::FileObject* operator->() const { return file; }
    IQEStream* stream() const { return static_cast<IQEStream*>(file); }
    IQXStream* xstream() const { return static_cast<IQXStream*>(file); }
    host::FileObject* file;
};

TEST(FileObjectStream, WritePastEndExtendsWithZerosAndReadIsShortAtEnd) {
    FileRef f(host::FileObject::fromBytes({1, 2, 3}));
    uint32_t done = 0;
    ASSERT_EQ(f.stream()->Seek(5, QE_SEEK_SET, nullptr), QE_OK);
    const uint8_t data[2] = {9, 9};
    ASSERT_EQ(f.stream()->Write(data, 2, &done), QE_OK);
    EXPECT_EQ(done, 2u);
    EXPECT_EQ(f->bytes(), (Bytes{1, 2, 3, 0, 0, 9, 9}));
    uint8_t buf[8] = {};
    ASSERT_EQ(f.stream()->Seek(4, QE_SEEK_SET, nullptr), QE_OK);
    ASSERT_EQ(f.stream()->Read(buf, 8, &done), QE_OK);
    EXPECT_EQ(done, 3u);
    EXPECT_EQ(Bytes(buf, buf + 3), (Bytes{0, 9, 9}));
    ASSERT_EQ(f.stream()->Read(buf, 8, &done), QE_OK);
    EXPECT_EQ(done, 0u);  // at the end
}

TEST(FileObjectStream, ReadAdvancesThePositionForSequentialReads) {
    FileRef f(host::FileObject::fromBytes({10, 11, 12, 13, 14}));
    uint8_t a[2], b[2];
    uint32_t done = 0;
    ASSERT_EQ(f.stream()->Read(a, 2, &done), QE_OK);
    ASSERT_EQ(f.stream()->Read(b, 2, &done), QE_OK);
    EXPECT_EQ(b[0], 12);
    uint64_t position = 0;
    ASSERT_EQ(f.stream()->Tell(&position), QE_OK);
    EXPECT_EQ(position, 4u);
}

struct SeekCase {
    const char* name;
    uint64_t start;
    int64_t offset;
    uint32_t origin;
    bool ok;
    uint64_t expected;  // the new position when ok; the unchanged start otherwise
};

class FileObjectSeek : public ::testing::TestWithParam<SeekCase> {};

TEST_P(FileObjectSeek, MovesOrRefusesAndKeepsThePosition) {
    const SeekCase& c = GetParam();
    FileRef f(host::FileObject::fromBytes(Bytes(100, 0)));
    ASSERT_EQ(f.stream()->Seek(int64_t(c.start), QE_SEEK_SET, nullptr), QE_OK);
    uint64_t reported = 12345;
    QRESULT r = f.stream()->Seek(c.offset, c.origin, &reported);
    uint64_t position = 0;
    ASSERT_EQ(f.stream()->Tell(&position), QE_OK);
    if (c.ok) {
        EXPECT_EQ(r, QE_OK);
        EXPECT_EQ(reported, c.expected);
    } else {
        EXPECT_LT(r, 0);
    }
    EXPECT_EQ(position, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Origins, FileObjectSeek,
    ::testing::Values(SeekCase{"set", 0, 40, QE_SEEK_SET, true, 40},
                      SeekCase{"forward_from_current", 40, 511, QE_SEEK_CUR, true, 551},
                      SeekCase{"back_from_current", 40, -40, QE_SEEK_CUR, true, 0},
                      SeekCase{"before_start_from_current", 40, -41, QE_SEEK_CUR, false, 40},
                      SeekCase{"back_from_end", 10, -4, QE_SEEK_END, true, 96},
                      SeekCase{"past_end_from_end", 10, 4, QE_SEEK_END, true, 104},
                      SeekCase{"before_start_from_end", 10, -101, QE_SEEK_END, false, 10},
                      SeekCase{"beyond_32_bits", 10, int64_t(0x100000000ll), QE_SEEK_SET, false, 10},
                      SeekCase{"overflowing_offset", 10, INT64_MAX, QE_SEEK_CUR, false, 10},
                      SeekCase{"most_negative_offset", 10, INT64_MIN, QE_SEEK_END, false, 10},
                      SeekCase{"unknown_origin", 10, 0, 3, false, 10}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FileObjectStream, SixtyFourBitSeekIsAbsoluteAndSharesThePosition) {
    FileRef f(host::FileObject::fromBytes({1, 2, 3, 4}));
    ASSERT_EQ(f.xstream()->Seek(3, QE_SEEK_SET), QE_OK);
    uint8_t b = 0;
    uint32_t done = 0;
    ASSERT_EQ(f.stream()->Read(&b, 1, &done), QE_OK);
    EXPECT_EQ(b, 4);
    ASSERT_EQ(f.xstream()->Seek(-2, QE_SEEK_CUR), QE_OK);
    uint64_t position = 0;
    ASSERT_EQ(f.xstream()->Tell(&position), QE_OK);
    EXPECT_EQ(position, 2u);
}

TEST(FileObjectStream, SetSizeTruncatesAndExtendsThroughBothViews) {
    FileRef f(host::FileObject::fromBytes({1, 2, 3, 4, 5}));
    ASSERT_EQ(f.stream()->SetSize(2, 0), QE_OK);
    EXPECT_EQ(f->bytes(), (Bytes{1, 2}));
    ASSERT_EQ(f.xstream()->SetSize(uint64_t(4)), QE_OK);
    EXPECT_EQ(f->bytes(), (Bytes{1, 2, 0, 0}));
    uint32_t low = 0, high = 7;
    ASSERT_EQ(f.stream()->GetSize(&low, &high), QE_OK);
    EXPECT_EQ(low, 4u);
    EXPECT_EQ(high, 0u);
    uint64_t size = 0;
    ASSERT_EQ(f.xstream()->GetSize(&size), QE_OK);
    EXPECT_EQ(size, 4u);
    // The module's view is 32-bit: a size with a high word is refused and nothing changes.
    EXPECT_LT(f.stream()->SetSize(0, 1), 0);
    EXPECT_LT(f.xstream()->SetSize(uint64_t(1) << 32), 0);
    EXPECT_EQ(f->bytes().size(), 4u);
}

TEST(FileObjectStream, WriteThatWouldPassFourGigabytesIsRefused) {
    FileRef f(host::FileObject::fromBytes({}));
    ASSERT_EQ(f.stream()->Seek(int64_t(host::FileObject::kMaxSize) - 1, QE_SEEK_SET, nullptr), QE_OK);
    const uint8_t data[4] = {};
    uint32_t done = 99;
    EXPECT_LT(f.stream()->Write(data, 4, &done), 0);
    EXPECT_EQ(done, 0u);
    EXPECT_TRUE(f->bytes().empty());
}

TEST(FileObjectStream, NullBuffersAreRefused) {
    FileRef f(host::FileObject::fromBytes({1}));
    uint32_t done = 0;
    EXPECT_EQ(f.stream()->Read(nullptr, 1, &done), QE_E_INVALIDARG);
    EXPECT_EQ(f.stream()->Write(nullptr, 1, &done), QE_E_INVALIDARG);
    EXPECT_EQ(f.stream()->Tell(nullptr), QE_E_INVALIDARG);
}

TEST(FileObjectStream, RemoveIsDeferredAndTheStreamStaysUsable) {
    FileRef f(host::FileObject::fromBytes({1, 2, 3}));
    ASSERT_EQ(f.stream()->Remove(), QE_OK);
    EXPECT_TRUE(f->removed());
    const uint8_t data[1] = {7};
    uint32_t done = 0;
    ASSERT_EQ(f.stream()->Write(data, 1, &done), QE_OK);
    EXPECT_EQ(f->bytes(), (Bytes{7, 2, 3}));
}

// ---------------------------------------------------------------- interfaces

TEST(FileObjectInterfaces, EveryInterfaceIsAnsweredFromEveryOther) {
    FileRef f(host::FileObject::fromBytes({}));
    const GUID* iids[] = {&qe::IID_IUnknown,   &qe::IID_IQEArchive,  &qe::IID_IQXArchive,   &qe::IID_IQEStream,
                          &qe::IID_IQXStream,  &qe::IID_IQEProperty, &qe::IID_IQEPropertyEx, &qe::IID_IQxHandleFile};
    for (const GUID* from : iids) {
        IUnknown* base = nullptr;
        ASSERT_EQ(static_cast<IQEArchive*>(f.file)->QueryInterface(*from, reinterpret_cast<void**>(&base)), QE_OK);
        for (const GUID* to : iids) {
            IUnknown* other = nullptr;
            ASSERT_EQ(base->QueryInterface(*to, reinterpret_cast<void**>(&other)), QE_OK);
            other->Release();
        }
        base->Release();
    }
    EXPECT_EQ(f->refCount(), 1u);
    void* out = &out;
    EXPECT_EQ(static_cast<IQEArchive*>(f.file)->QueryInterface(qe::IID_IQEEngine, &out), QE_E_NOINTERFACE);
}

TEST(FileObjectInterfaces, ArchiveHandsOutItsStreamAndFormat) {
    FileRef f(host::FileObject::fromBytes({1, 2}));
    IQEStream* stream = nullptr;
    ASSERT_EQ(static_cast<IQEArchive*>(f.file)->GetStream(&stream), QE_OK);
    EXPECT_EQ(stream, f.stream());
    stream->Release();
    uint32_t format = 0;
    EXPECT_LT(static_cast<IQXArchive*>(f.file)->GetFormat(&format), 0);  // not classified yet
    ASSERT_EQ(static_cast<IQXArchive*>(f.file)->SetFormat(111), QE_OK);
    ASSERT_EQ(static_cast<IQXArchive*>(f.file)->GetFormat(&format), QE_OK);
    EXPECT_EQ(format, 111u);
    EXPECT_EQ(f->format(), 111u);
}

// ---------------------------------------------------------------- properties

struct PropertyCase {
    const char* name;
    uint16_t tag;
    uint32_t value;
};

class FileObjectTypedProperty : public ::testing::TestWithParam<PropertyCase> {};

TEST_P(FileObjectTypedProperty, KeepsTagAndValue) {
    const PropertyCase& c = GetParam();
    FileRef f(host::FileObject::fromBytes({}));
    IQEProperty* props = f.file;
    const GUID id = qe::makeGuid("11111111-2222-3333-4444-555555555555");
    QEPROPVALUE in{};
    in.vt = c.tag;
    in.uintVal = c.value;
    ASSERT_EQ(props->SetProperty(id, &in), QE_OK);
    const QEPROPVALUE* out = nullptr;
    ASSERT_EQ(props->GetProperty(id, &out), QE_OK);
    EXPECT_EQ(out->vt, c.tag);
    EXPECT_EQ(out->uintVal, c.value);
    EXPECT_EQ(reinterpret_cast<const uint8_t*>(out) + 8, reinterpret_cast<const uint8_t*>(&out->uintVal));
    EXPECT_EQ(static_cast<IQEPropertyEx*>(f.file)->HasProperty(id), QE_OK);
}

INSTANTIATE_TEST_SUITE_P(Tags, FileObjectTypedProperty,
                         ::testing::Values(PropertyCase{"white_list_19", qe::VT_UI4, 1},
                                           PropertyCase{"marker_22", qe::VT_INT, 0xFFFFFFFFu},
                                           PropertyCase{"pe_fact_23", qe::VT_UINT, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(FileObjectProperties, StringsAreCopiedWhenSet) {
    FileRef f(host::FileObject::fromBytes({}));
    IQEProperty* props = f.file;
    const GUID narrowId = qe::makeGuid("11111111-2222-3333-4444-000000000030");
    const GUID wideId = qe::makeGuid("11111111-2222-3333-4444-000000000031");
    char narrow[] = "report.doc";
    wchar_t wide[] = L"report.doc";
    QEPROPVALUE v{};
    v.vt = qe::VT_LPSTR;
    v.narrowVal = narrow;
    ASSERT_EQ(props->SetProperty(narrowId, &v), QE_OK);
    v.vt = qe::VT_LPWSTR;
    v.wideVal = wide;
    ASSERT_EQ(props->SetProperty(wideId, &v), QE_OK);
    std::memset(narrow, 'X', sizeof narrow - 1);  // the caller's buffers do not outlive the call
    std::wmemset(wide, L'X', sizeof wide / sizeof(wchar_t) - 1);
    const QEPROPVALUE* out = nullptr;
    ASSERT_EQ(props->GetProperty(narrowId, &out), QE_OK);
    EXPECT_EQ(out->vt, qe::VT_LPSTR);
    EXPECT_STREQ(out->narrowVal, "report.doc");
    ASSERT_EQ(props->GetProperty(wideId, &out), QE_OK);
    EXPECT_EQ(out->vt, qe::VT_LPWSTR);
    EXPECT_STREQ(out->wideVal, L"report.doc");
    std::string text;
    EXPECT_TRUE(f->getStringProperty(wideId, &text));
    EXPECT_EQ(text, "report.doc");
}

TEST(FileObjectProperties, NullStringsAndValuesAreRefused) {
    FileRef f(host::FileObject::fromBytes({}));
    IQEProperty* props = f.file;
    QEPROPVALUE v{};
    v.vt = qe::VT_LPSTR;
    EXPECT_EQ(props->SetProperty(qe::PID_File_RenameName, &v), QE_E_INVALIDARG);
    EXPECT_EQ(props->SetProperty(qe::PID_File_RenameName, nullptr), QE_E_INVALIDARG);
    EXPECT_LT(static_cast<IQEPropertyEx*>(f.file)->HasProperty(qe::PID_File_RenameName), 0);
}

TEST(FileObjectProperties, AbsentDeletedAndReplacedValues) {
    FileRef f(host::FileObject::fromBytes({}));
    IQEProperty* props = f.file;
    const QEPROPVALUE* out = nullptr;
    EXPECT_LT(props->GetProperty(qe::PID_File_IsUnpacked, &out), 0);
    f->setIntProperty(qe::PID_File_IsUnpacked, qe::VT_INT, 1);
    f->setIntProperty(qe::PID_File_IsUnpacked, qe::VT_UINT, 2);  // replaces, tag and all
    int32_t value = 0;
    uint16_t tag = 0;
    ASSERT_TRUE(f->getIntProperty(qe::PID_File_IsUnpacked, &value, &tag));
    EXPECT_EQ(value, 2);
    EXPECT_EQ(tag, qe::VT_UINT);
    EXPECT_EQ(props->DeleteProperty(qe::PID_File_IsUnpacked), QE_OK);
    EXPECT_LT(props->DeleteProperty(qe::PID_File_IsUnpacked), 0);
    EXPECT_LT(props->GetProperty(qe::PID_File_IsUnpacked, &out), 0);
}

// ---------------------------------------------------------------- paths

TEST(FileObjectPaths, NarrowAndWideRecordsNameTheSameFile) {
    std::setlocale(LC_ALL, "C.UTF-8");
    FileRef f(host::FileObject::fromBytes({}, "/data/caf\xC3\xA9.exe"));
    IQxHandleFile* handle = f.file;
    QEPATHRECORD record{};
    ASSERT_EQ(handle->GetPath(&record), QE_OK);
    EXPECT_EQ(record.kind, 0u);
    EXPECT_STREQ(static_cast<const char*>(record.path), "/data/caf\xC3\xA9.exe");
    f->setWidePaths(true);
    ASSERT_EQ(handle->GetPath(&record), QE_OK);
    EXPECT_NE(record.kind, 0u);
    EXPECT_STREQ(static_cast<const wchar_t*>(record.path), L"/data/caf\u00E9.exe");
    // The same record through the archive's and the stream's name operations.
    QEPATHRECORD named{};
    ASSERT_EQ(static_cast<IQXArchive*>(f.file)->GetName(&named), QE_OK);
    EXPECT_EQ(named.path, record.path);
    std::setlocale(LC_ALL, "C");
}

TEST(FileObjectPaths, WidePathGivesItsMultibyteForm) {
    std::setlocale(LC_ALL, "C.UTF-8");
    FileRef f(host::FileObject::fromBytes({}));
    f->setWidePath(L"/tmp/\u00FCber.com");
    EXPECT_EQ(f->path(), "/tmp/\xC3\xBC" "ber.com");
    std::setlocale(LC_ALL, "C");
}

TEST(FileObjectPaths, BytesInvalidInTheLocaleKeepTheirValues) {
    std::setlocale(LC_ALL, "C.UTF-8");
    FileRef f(host::FileObject::fromBytes({}, "a\xFF"));
    ASSERT_EQ(f->widePath().size(), 2u);
    EXPECT_EQ(f->widePath()[1], wchar_t(0xFF));
    std::setlocale(LC_ALL, "C");
}

TEST(FileObjectPaths, FileWithoutNameHasNoName) {
    FileRef f(host::FileObject::fromBytes({}));
    QEPATHRECORD record{};
    EXPECT_LT(static_cast<IQXArchive*>(f.file)->GetName(&record), 0);
}

TEST(FileObjectPaths, RenameStoresACopyOfTheNewName) {
    FileRef f(host::FileObject::fromBytes({}, "/d/a.doc"));
    char name[] = "/d/a.exe";
    QEPATHRECORD record{0, 0, name};
    ASSERT_EQ(static_cast<IQxHandleFile*>(f.file)->Rename(&record), QE_OK);
    name[4] = 'z';
    std::string stored;
    ASSERT_TRUE(f->getStringProperty(qe::PID_File_RenameName, &stored));
    EXPECT_EQ(stored, "/d/a.exe");
}

// ---------------------------------------------------------------- parent links

TEST(FileObjectParent, TopLevelFileHasNoParent) {
    FileRef f(host::FileObject::fromBytes({}));
    IQXArchive* parent = reinterpret_cast<IQXArchive*>(&parent);
    EXPECT_LT(static_cast<IQXArchive*>(f.file)->GetParent(&parent), 0);
    EXPECT_EQ(parent, nullptr);
    IQEArchive* container = reinterpret_cast<IQEArchive*>(&container);
    EXPECT_LT(f.xstream()->GetParentArchive(&container), 0);
    EXPECT_EQ(container, nullptr);
}

TEST(FileObjectParent, UnpackedChildReachesAndKeepsItsPackedParent) {
    host::FileObject* packed = host::FileObject::fromBytes({'U', 'P', 'X'}, "/d/packed.exe");
    FileRef child(host::FileObject::fromBytes({'M', 'Z'}));
    ASSERT_TRUE(child->setParent(packed));
    packed->Release();  // the child keeps it alive
    IQEArchive* container = nullptr;
    ASSERT_EQ(child.xstream()->GetParentArchive(&container), QE_OK);
    IQEStream* outer = nullptr;
    ASSERT_EQ(container->GetStream(&outer), QE_OK);
    uint8_t head[3] = {};
    uint32_t done = 0;
    ASSERT_EQ(outer->Read(head, 3, &done), QE_OK);
    EXPECT_EQ(Bytes(head, head + 3), (Bytes{'U', 'P', 'X'}));
    outer->Release();
    container->Release();
    IQXArchive* parent = nullptr;
    ASSERT_EQ(static_cast<IQXArchive*>(child.file)->GetParent(&parent), QE_OK);
    EXPECT_EQ(static_cast<host::FileObject*>(parent), child->parent());
    parent->Release();
}

TEST(FileObjectParent, LoopsAreRefused) {
    FileRef a(host::FileObject::fromBytes({}));
    FileRef b(host::FileObject::fromBytes({}));
    ASSERT_TRUE(b->setParent(a.file));
    EXPECT_FALSE(a->setParent(b.file));
    EXPECT_FALSE(a->setParent(a.file));
    EXPECT_EQ(a->parent(), nullptr);
}

TEST(FileObjectParent, PreparationCanBeMadeToFail) {
    FileRef f(host::FileObject::fromBytes({}));
    EXPECT_EQ(f.xstream()->Prepare(0x300), QE_OK);
    f->setPrepareFails(true);
    EXPECT_LT(f.xstream()->Prepare(0x300), 0);
}

// ---------------------------------------------------------------- from disk

TEST(FileObjectFromFile, ReadsTheBytesPathAndIdentity) {
    fixtures::TempDir dir;
    const auto path = dir.file("sample.bin");
    fixtures::writeFile(path, {1, 2, 3, 4});
    ::chmod(path.c_str(), 0640);
    std::string error;
    FileRef f(host::FileObject::fromFile(path.string(), &error));
    ASSERT_NE(f.file, nullptr) << error;
    EXPECT_EQ(f->bytes(), (Bytes{1, 2, 3, 4}));
    EXPECT_EQ(f->path(), path.string());
    ASSERT_NE(f->diskIdentity(), nullptr);
    EXPECT_EQ(f->diskIdentity()->size, 4u);
    EXPECT_EQ(f->diskIdentity()->mode & 07777, 0640u);
    FileRef memory(host::FileObject::fromBytes({}));
    EXPECT_EQ(memory->diskIdentity(), nullptr);
}

TEST(FileObjectFromFile, UnreadableThingsGiveAClearError) {
    fixtures::TempDir dir;
    std::string error;
    EXPECT_EQ(host::FileObject::fromFile(dir.file("missing").string(), &error), nullptr);
    EXPECT_NE(error.find("No such file"), std::string::npos) << error;
    EXPECT_EQ(host::FileObject::fromFile(dir.path().string(), &error), nullptr);
    EXPECT_EQ(error, "not a regular file");
    EXPECT_EQ(host::FileObject::fromFile("/dev/null", &error), nullptr);
    EXPECT_EQ(error, "not a regular file");
}

TEST(FileObjectFromFile, FilesOverFourGigabytesAreRefused) {
    fixtures::TempDir dir;
    const auto path = dir.file("huge.bin");
    int fd = ::open(path.c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, off_t(host::FileObject::kMaxSize) + 1), 0);  // sparse: no disk used
    ::close(fd);
    std::string error;
    EXPECT_EQ(host::FileObject::fromFile(path.string(), &error), nullptr);
    EXPECT_NE(error.find("4 GiB"), std::string::npos) << error;
}

}  // namespace
