#include "module/formats/media_objects.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "sdk/identifiers.h"
#include "tests/fixtures/asf_qt_builder.h"
#include "tests/formats/host_file.h"

using fixtures::AsfBuilder;
using fixtures::Bytes;
using fixtures::qtAtom;
using formats_test::HostFile;

namespace {

constexpr const char* kMarkerGuid = "F487CD01-A951-11CF-8EE6-00C00C205365";

// A stream that offers IQEStream only, so the readers must seek through it.
class PlainStream final : public IQEStream {
public:
    explicit PlainStream(IQEStream* inner) : inner_(inner) {}
    QRESULT QueryInterface(const GUID& iid, void** out) override {
        if (iid != qe::IID_IQEStream && iid != qe::IID_IUnknown) return QE_E_NOINTERFACE;
        AddRef();
        *out = static_cast<IQEStream*>(this);
        return QE_OK;
    }
    uint32_t AddRef() override { return ++refs; }
    uint32_t Release() override { return --refs; }
    QRESULT Read(void* b, uint32_t n, uint32_t* done) override { return inner_->Read(b, n, done); }
    QRESULT Write(const void* b, uint32_t n, uint32_t* done) override { return inner_->Write(b, n, done); }
    QRESULT Flush() override { return inner_->Flush(); }
    QRESULT Seek(int64_t offset, uint32_t origin, uint64_t* pos) override {
        ++seeks;
        return inner_->Seek(offset, origin, pos);
    }
    QRESULT Tell(uint64_t* pos) override { return inner_->Tell(pos); }
    QRESULT GetSize(uint32_t* low, uint32_t* high) override { return inner_->GetSize(low, high); }
    QRESULT SetSize(uint32_t low, uint32_t high) override { return inner_->SetSize(low, high); }
    QRESULT SetAccess(uint32_t flags, uint32_t reserved) override { return inner_->SetAccess(flags, reserved); }
    QRESULT Remove() override { return inner_->Remove(); }
    uint32_t refs = 1;
    int seeks = 0;

private:
    IQEStream* inner_;
};

Bytes sampleAsf() {
    return AsfBuilder()
        .object(fixtures::kAsfFilePropertiesGuid, Bytes(80, 0x11))
        .object(kMarkerGuid, Bytes(30, 0x22))
        .after(fixtures::kAsfDataGuid, Bytes(50, 0x33))
        .build();
}

}  // namespace

TEST(AsfHeader, GuidIsStoredInMixedByteOrder) {
    const Bytes stored = {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11, 0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
    EXPECT_EQ(fixtures::asfGuid(fixtures::kAsfHeaderGuid), stored);
    EXPECT_EQ(std::memcmp(&ASF_HEADER_OBJECT_GUID, stored.data(), 16), 0);
}

TEST(AsfHeader, ReadsTheHeaderObject) {
    HostFile host(sampleAsf());
    ASF_HEADER_OBJ header{};
    ASSERT_EQ(ReadHeaderObj(host.unknown(), &header), 1);
    EXPECT_EQ(header.objectSize, 30u + 104u + 54u);
    EXPECT_EQ(header.headerObjectCount, 2u);
    EXPECT_EQ(header.reserved1, 1);
    EXPECT_EQ(header.reserved2, 2);
    EXPECT_EQ(host.object().refCount(), 1u);
}

TEST(AsfHeader, RejectsShortFilesAndOtherGuids) {
    Bytes file = sampleAsf();
    {
        HostFile host(Bytes(file.begin(), file.begin() + 29));
        ASF_HEADER_OBJ header{};
        EXPECT_EQ(ReadHeaderObj(host.unknown(), &header), 0);
    }
    file[0] ^= 1;
    HostFile host(file);
    ASF_HEADER_OBJ header{};
    EXPECT_EQ(ReadHeaderObj(host.unknown(), &header), 0);
    EXPECT_EQ(header.headerObjectCount, 2u);  // filled all the same
    EXPECT_EQ(ReadHeaderObj(nullptr, &header), 0);
    EXPECT_EQ(ReadHeaderObj(host.unknown(), nullptr), 0);
}

TEST(AsfObjects, WalksTheHeaderChildren) {
    HostFile host(sampleAsf());
    ASF_OBJ_GUID_AND_SIZE object{};
    ASSERT_EQ(ReadObjGuidAndSize(host.unknown(), 30, &object), 1);
    EXPECT_EQ(std::memcmp(&object.objectId, fixtures::asfGuid(fixtures::kAsfFilePropertiesGuid).data(), 16), 0);
    EXPECT_EQ(object.objectSize, 104u);
    ASSERT_EQ(ReadObjGuidAndSize(host.unknown(), 30 + 104, &object), 1);
    EXPECT_EQ(std::memcmp(&object.objectId, fixtures::asfGuid(kMarkerGuid).data(), 16), 0);
    EXPECT_EQ(object.objectSize, 54u);
}

struct AsfSizeCase {
    const char* name;
    uint64_t sizeField;
    int result;
};

class AsfObjectSize : public ::testing::TestWithParam<AsfSizeCase> {};

TEST_P(AsfObjectSize, SmallestIsItsOwnHeader) {
    const AsfSizeCase& c = GetParam();
    HostFile host(AsfBuilder().object(kMarkerGuid, Bytes(40, 0), c.sizeField).build());
    ASF_OBJ_GUID_AND_SIZE object{};
    EXPECT_EQ(ReadObjGuidAndSize(host.unknown(), 30, &object), c.result);
    EXPECT_EQ(object.objectSize, c.sizeField);
}

INSTANTIATE_TEST_SUITE_P(Cases, AsfObjectSize,
                         ::testing::Values(AsfSizeCase{"Zero", 0, 0}, AsfSizeCase{"TwentyThree", 23, 0},
                                           AsfSizeCase{"TwentyFour", 24, 1},
                                           // Past the end of the file: read as it stands.
                                           AsfSizeCase{"PastTheFile", 0x100000000ull, 1},
                                           AsfSizeCase{"Largest", ~0ull, 1}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(AsfObjects, ReadsOutsideTheFileFail) {
    HostFile host(sampleAsf());
    const int size = int(host.bytes().size());
    ASF_OBJ_GUID_AND_SIZE object{};
    for (int offset : {size - 23, size, size + 1000, -1, -30, 0x7FFFFFFF}) {
        EXPECT_EQ(ReadObjGuidAndSize(host.unknown(), offset, &object), 0) << offset;
    }
}

struct AtomCase {
    const char* name;
    Bytes file;
    int offset;
    int result;
    uint32_t size;
};

class QuickTimeAtom : public ::testing::TestWithParam<AtomCase> {};

TEST_P(QuickTimeAtom, ReadsSizeInHostOrder) {
    const AtomCase& c = GetParam();
    HostFile host(c.file);
    QUICKTIME_ATOM atom{};
    EXPECT_EQ(QuickTimeReadAtom(host.unknown(), c.offset, &atom), c.result);
    if (c.offset >= 0 && c.file.size() >= size_t(c.offset) + 8) {
        EXPECT_EQ(atom.size, c.size);
        EXPECT_EQ(std::memcmp(atom.type, c.file.data() + c.offset + 4, 4), 0);
    }
    EXPECT_EQ(host.object().refCount(), 1u);
}

const AtomCase kAtomCases[] = {
    {"Eight", qtAtom("moov", {}), 0, 1, 8},
    {"Seven", qtAtom("moov", {}, 7), 0, 0, 7},
    {"ZeroMeansToTheEnd", qtAtom("mdat", Bytes(16, 0), 0), 0, 0, 0},
    {"OneMeansLargeSize", qtAtom("mdat", Bytes(16, 0), 1), 0, 0, 1},
    {"PastTheFile", qtAtom("stsd", Bytes(8, 0), 0x7FFFFFF0), 0, 1, 0x7FFFFFF0},
    {"BigEndianSize", qtAtom("trak", Bytes(0x1234, 0)), 0, 1, 0x123C},
    {"AtAnOffset", fixtures::concat(qtAtom("ftyp", Bytes(12, 0)), qtAtom("moov", Bytes(3, 0))), 20, 1, 11},
    {"ShortRead", Bytes{0, 0, 0, 8, 'm', 'o', 'o'}, 0, 0, 0},
    {"PastTheEnd", qtAtom("moov", {}), 8, 0, 0},
    {"NegativeOffset", qtAtom("moov", {}), -8, 0, 0},
};

INSTANTIATE_TEST_SUITE_P(Cases, QuickTimeAtom, ::testing::ValuesIn(kAtomCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(MediaReaders, SeekThroughTheByteStreamWhenThatIsAllThereIs) {
    HostFile host(fixtures::concat(qtAtom("ftyp", Bytes(4, 0)), qtAtom("moov", {})));
    PlainStream plain(host.stream());
    QUICKTIME_ATOM atom{};
    EXPECT_EQ(QuickTimeReadAtom(&plain, 12, &atom), 1);
    EXPECT_EQ(atom.size, 8u);
    EXPECT_EQ(std::memcmp(atom.type, "moov", 4), 0);
    EXPECT_EQ(plain.seeks, 1);
    EXPECT_EQ(plain.refs, 1u);
}
