// The host framework's named classes, created as the module creates them.
#include <gtest/gtest.h>

#include <clocale>

#include "host/classify.h"
#include "host/qxbase/file_object.h"
#include "host/qxbase/format_list.h"
#include "host/running_object_table.h"
#include "host/services.h"
#include "sdk/engine.h"
#include "sdk/format_codes.h"
#include "sdk/identifiers.h"
#include "tests/fixtures/bytes.h"

namespace {

using fixtures::Bytes;

template <class Interface>
Interface* create(const char* name, const GUID& iid, IUnknown* context = nullptr, QRESULT* result = nullptr) {
    void* out = nullptr;
    QRESULT r = RoCreateInstance(name, nullptr, iid, &out, context);
    if (result) *result = r;
    return static_cast<Interface*>(out);
}

struct NameCase {
    const char* name;
    const GUID* iid;
    bool needsContext;
};

class RoCreateInstanceNames : public ::testing::TestWithParam<NameCase> {};

TEST_P(RoCreateInstanceNames, CreatesTheClassAskedFor) {
    const NameCase& c = GetParam();
    host::FileObject* pdf = host::FileObject::fromBytes({'%', 'P', 'D', 'F', '-', '1', '.', '4'});
    QRESULT r = QE_E_FAIL;
    IUnknown* object = create<IUnknown>(c.name, *c.iid, c.needsContext ? static_cast<IQEArchive*>(pdf) : nullptr, &r);
    ASSERT_EQ(r, QE_OK);
    ASSERT_NE(object, nullptr);
    IUnknown* again = nullptr;
    EXPECT_EQ(object->QueryInterface(*c.iid, reinterpret_cast<void**>(&again)), QE_OK);
    again->Release();
    EXPECT_EQ(object->Release(), 0u);
    EXPECT_EQ(pdf->Release(), 0u);  // the created object let go of its context
}

INSTANTIATE_TEST_SUITE_P(Classes, RoCreateInstanceNames,
                         ::testing::Values(NameCase{"VirtualFile", &qe::IID_IQXStream, false},
                                           NameCase{"HandleFile", &qe::IID_IQxHandleFile, false},
                                           NameCase{"FormatList", &qe::IID_IQEFormatList, true},
                                           NameCase{"PdfArchive", &qe::IID_IQEArchive, true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(RoCreateInstance, RefusesUnknownNamesOuterObjectsAndMissingInterfaces) {
    void* out = &out;
    EXPECT_EQ(RoCreateInstance("NoSuchClass", nullptr, qe::IID_IUnknown, &out, nullptr), QE_E_INVALIDARG);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(RoCreateInstance(nullptr, nullptr, qe::IID_IUnknown, &out, nullptr), QE_E_INVALIDARG);
    host::FileObject* outer = host::FileObject::fromBytes({});
    out = &out;
    EXPECT_EQ(RoCreateInstance("VirtualFile", static_cast<IQEArchive*>(outer), qe::IID_IQXStream, &out, nullptr),
              QE_E_INVALIDARG);
    EXPECT_EQ(out, nullptr);
    outer->Release();
    EXPECT_EQ(RoCreateInstance("FormatList", nullptr, qe::IID_IQEStream, &out, nullptr), QE_E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(RoCreateInstance("VirtualFile", nullptr, qe::IID_IQXStream, nullptr, nullptr), QE_E_INVALIDARG);
}

TEST(VirtualFile, GrowsAsItIsWrittenAndReadsBackThroughTheOtherView) {
    IQXStream* x = create<IQXStream>("VirtualFile", qe::IID_IQXStream);
    ASSERT_NE(x, nullptr);
    const uint8_t header[8] = {'F', 'W', 'S', 9, 8, 0, 0, 0};
    uint32_t done = 0;
    ASSERT_EQ(x->Write(header, 8, &done), QE_OK);
    ASSERT_EQ(x->Write(header, 3, &done), QE_OK);
    IQEStream* s = nullptr;
    ASSERT_EQ(x->QueryInterface(qe::IID_IQEStream, reinterpret_cast<void**>(&s)), QE_OK);
    ASSERT_EQ(s->Seek(0, QE_SEEK_SET, nullptr), QE_OK);
    uint32_t low = 0;
    ASSERT_EQ(s->GetSize(&low, nullptr), QE_OK);
    EXPECT_EQ(low, 11u);
    uint8_t back[11] = {};
    ASSERT_EQ(s->Read(back, 11, &done), QE_OK);
    EXPECT_EQ(Bytes(back, back + 11), (Bytes{'F', 'W', 'S', 9, 8, 0, 0, 0, 'F', 'W', 'S'}));
    s->Release();
    x->Release();
}

// ---------------------------------------------------------------- HandleFile

class HandleFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        rot = host::RunningObjectTable::createDefault();
        IUnknown* object = nullptr;
        ASSERT_EQ(rot->GetObject(qe::PID_ROT_FileSystem, &object), QE_OK);
        ASSERT_EQ(object->QueryInterface(qe::IID_IQXFileSystem, reinterpret_cast<void**>(&fileSystem)), QE_OK);
        object->Release();
        path = dir.file("stored.exe");
        fixtures::writeFile(path, {'M', 'Z', 1, 2, 3});
        handle = create<IQxHandleFile>("HandleFile", qe::IID_IQxHandleFile);
        ASSERT_NE(handle, nullptr);
    }
    void TearDown() override {
        if (handle) handle->Release();
        if (fileSystem) fileSystem->Release();
        rot->Release();
    }
    QEPATHRECORD narrowRecord() const { return {0, 0, path.c_str()}; }

    fixtures::TempDir dir;
    host::CompanionDirectory companions{dir.path().string() + "/"};  // the file system opens only there
    std::filesystem::path path;
    host::RunningObjectTable* rot = nullptr;
    IQXFileSystem* fileSystem = nullptr;
    IQxHandleFile* handle = nullptr;
};

TEST_F(HandleFileTest, OpensAFileAndAnswersForIt) {
    QEPATHRECORD record = narrowRecord();
    ASSERT_EQ(handle->Open(fileSystem, &record, QE_OPEN_READ), QE_OK);
    IQEStream* stream = nullptr;
    ASSERT_EQ(handle->GetStream(&stream), QE_OK);
    uint8_t bytes[8] = {};
    uint32_t done = 0;
    ASSERT_EQ(stream->Read(bytes, 8, &done), QE_OK);
    EXPECT_EQ(Bytes(bytes, bytes + done), (Bytes{'M', 'Z', 1, 2, 3}));
    stream->Release();
    QEPATHRECORD got{};
    ASSERT_EQ(handle->GetPath(&got), QE_OK);
    EXPECT_EQ(got.kind, 0u);
    EXPECT_STREQ(static_cast<const char*>(got.path), path.c_str());
    // The 64-bit view of the opened file, asked of the handle itself.
    IQXStream* x = nullptr;
    ASSERT_EQ(handle->QueryInterface(qe::IID_IQXStream, reinterpret_cast<void**>(&x)), QE_OK);
    uint64_t size = 0;
    ASSERT_EQ(x->GetSize(&size), QE_OK);
    EXPECT_EQ(size, 5u);
    EXPECT_EQ(x->Close(), QE_OK);
    x->Release();
}

TEST_F(HandleFileTest, WritesAndRemovalNeverReachTheDisk) {
    QEPATHRECORD record = narrowRecord();
    ASSERT_EQ(handle->Open(fileSystem, &record, QE_OPEN_READ | QE_OPEN_WRITE), QE_OK);
    IQEStream* stream = nullptr;
    ASSERT_EQ(handle->GetStream(&stream), QE_OK);
    const uint8_t junk[3] = {0, 0, 0};
    uint32_t done = 0;
    ASSERT_EQ(stream->Write(junk, 3, &done), QE_OK);
    EXPECT_EQ(stream->Remove(), QE_OK);
    stream->Release();
    handle->Close();
    EXPECT_EQ(fixtures::readFile(path), (Bytes{'M', 'Z', 1, 2, 3}));
}

TEST_F(HandleFileTest, OpensByWidePathAndAnswersWithAWidePath) {
    std::setlocale(LC_ALL, "C.UTF-8");
    std::wstring wide(path.wstring());
    QEPATHRECORD record{1, 0, wide.c_str()};
    ASSERT_EQ(handle->Open(fileSystem, &record, QE_OPEN_READ), QE_OK);
    QEPATHRECORD got{};
    ASSERT_EQ(handle->GetPath(&got), QE_OK);
    EXPECT_NE(got.kind, 0u);
    EXPECT_EQ(std::wstring(static_cast<const wchar_t*>(got.path)), wide);
    std::setlocale(LC_ALL, "C");
}

TEST_F(HandleFileTest, RefusesMisuse) {
    IQEStream* stream = reinterpret_cast<IQEStream*>(&stream);
    EXPECT_EQ(handle->GetStream(&stream), QE_E_UNEXPECTED);  // nothing open yet
    EXPECT_EQ(stream, nullptr);
    QEPATHRECORD got{};
    EXPECT_LT(handle->GetPath(&got), 0);
    void* out = nullptr;
    EXPECT_EQ(handle->QueryInterface(qe::IID_IQEStream, &out), QE_E_NOINTERFACE);
    QEPATHRECORD record = narrowRecord();
    EXPECT_EQ(handle->Open(nullptr, &record, QE_OPEN_READ), QE_E_INVALIDARG);
    EXPECT_EQ(handle->Open(fileSystem, nullptr, QE_OPEN_READ), QE_E_INVALIDARG);
    std::string missing = dir.file("missing.exe").string();
    QEPATHRECORD absent{0, 0, missing.c_str()};
    EXPECT_LT(handle->Open(fileSystem, &absent, QE_OPEN_READ), 0);
    ASSERT_EQ(handle->Open(fileSystem, &record, QE_OPEN_READ), QE_OK);
    EXPECT_EQ(handle->Open(fileSystem, &record, QE_OPEN_READ), QE_E_UNEXPECTED);  // already open
    EXPECT_EQ(handle->Close(), QE_OK);
    EXPECT_EQ(handle->Open(fileSystem, &record, QE_OPEN_READ), QE_OK);  // open again after Close
}

TEST_F(HandleFileTest, RenameIsRecordedOnTheOpenedFile) {
    QEPATHRECORD record = narrowRecord();
    ASSERT_EQ(handle->Open(fileSystem, &record, QE_OPEN_READ), QE_OK);
    QEPATHRECORD newName{0, 0, "stored.doc"};
    ASSERT_EQ(handle->Rename(&newName), QE_OK);
    IQEProperty* props = nullptr;
    ASSERT_EQ(handle->QueryInterface(qe::IID_IQEProperty, reinterpret_cast<void**>(&props)), QE_OK);
    const QEPROPVALUE* value = nullptr;
    ASSERT_EQ(props->GetProperty(qe::PID_File_RenameName, &value), QE_OK);
    EXPECT_STREQ(value->narrowVal, "stored.doc");
    props->Release();
    EXPECT_TRUE(std::filesystem::exists(path));  // nothing happens on disk
}

// ---------------------------------------------------------------- FormatList

TEST(FormatList, AnswersForTheFormatsOfTheContextFile) {
    host::FileObject* pdf = host::FileObject::fromBytes({'%', 'P', 'D', 'F', '-', '1', '.', '7', '\n'}, "a.pdf");
    host::classify(pdf);
    auto* list = create<IQEFormatList>("FormatList", qe::IID_IQEFormatList, static_cast<IQEArchive*>(pdf));
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->Find(qe::FORMAT_PDF), QE_OK);
    EXPECT_EQ(list->Find(qe::FORMAT_FILE), QE_OK);
    EXPECT_LT(list->Find(qe::FORMAT_PE), 0);
    // Added formats are stored on the file, where a later list sees them.
    ASSERT_EQ(list->Add(qe::FORMAT_JPEG), QE_OK);
    list->Release();
    EXPECT_EQ(host::readFormatList(static_cast<IQEArchive*>(pdf)),
              (std::vector<uint32_t>{qe::FORMAT_FILE, qe::FORMAT_PDF, qe::FORMAT_JPEG}));
    pdf->Release();
}

TEST(FormatList, FileOfOneFormatIsNotAPdf) {
    host::FileObject* text = host::FileObject::fromBytes({'h', 'i'}, "a.txt");
    host::classify(text);
    auto* list = create<IQEFormatList>("FormatList", qe::IID_IQEFormatList, static_cast<IQEArchive*>(text));
    EXPECT_LT(list->Find(qe::FORMAT_PDF), 0);
    list->Release();
    text->Release();
}

TEST(FormatList, WithoutContextKeepsAListOfItsOwn) {
    auto* list = create<IQEFormatList>("FormatList", qe::IID_IQEFormatList);
    EXPECT_LT(list->Find(qe::FORMAT_PDF), 0);
    ASSERT_EQ(list->Add(qe::FORMAT_PDF), QE_OK);
    EXPECT_EQ(list->Find(qe::FORMAT_PDF), QE_OK);
    list->Release();
}

TEST(FormatList, StoredTextThatIsNotAListYieldsOnlyItsNumbers) {
    host::FileObject* file = host::FileObject::fromBytes({});
    const char* texts[] = {"39", "x 39", "99999999999 39", "39\t", ""};
    const bool has39[] = {true, true, true, false, false};
    for (size_t i = 0; i < std::size(texts); ++i) {
        QEPROPVALUE v{};
        v.vt = qe::VT_LPSTR;
        v.narrowVal = texts[i];
        file->SetProperty(qe::PID_File_FormatList, &v);
        host::FormatList* list = new host::FormatList(static_cast<IQEArchive*>(file));
        EXPECT_EQ(list->Find(39) == QE_OK, has39[i]) << "'" << texts[i] << "'";
        list->Release();
    }
    file->Release();
}

// ---------------------------------------------------------------- PdfArchive

TEST(PdfArchive, HandsOutTheStreamOfAPdf) {
    host::FileObject* pdf = host::FileObject::fromBytes({'j', 'u', 'n', 'k', '%', 'P', 'D', 'F', '-', '1'});
    static_cast<IQEStream*>(pdf)->Seek(3, QE_SEEK_SET, nullptr);
    auto* archive = create<IQEArchive>("PdfArchive", qe::IID_IQEArchive, static_cast<IQEArchive*>(pdf));
    ASSERT_NE(archive, nullptr);
    uint64_t position = 0;
    static_cast<IQEStream*>(pdf)->Tell(&position);
    EXPECT_EQ(position, 3u);  // looking at the header kept the position
    IQEStream* stream = nullptr;
    ASSERT_EQ(archive->GetStream(&stream), QE_OK);
    EXPECT_EQ(stream, static_cast<IQEStream*>(pdf));
    stream->Release();
    EXPECT_EQ(archive->Close(), QE_OK);
    EXPECT_EQ(archive->GetStream(&stream), QE_E_UNEXPECTED);
    archive->Release();
    EXPECT_EQ(pdf->Release(), 0u);
}

TEST(PdfArchive, RefusesWhatIsNotAPdf) {
    host::FileObject* text = host::FileObject::fromBytes({'M', 'Z'});
    QRESULT r = QE_OK;
    EXPECT_EQ(create<IQEArchive>("PdfArchive", qe::IID_IQEArchive, static_cast<IQEArchive*>(text), &r), nullptr);
    EXPECT_EQ(r, QE_E_FAIL);
    EXPECT_EQ(create<IQEArchive>("PdfArchive", qe::IID_IQEArchive, nullptr, &r), nullptr);
    EXPECT_EQ(r, QE_E_INVALIDARG);
    EXPECT_EQ(text->Release(), 0u);
}

}  // namespace
