#include "module/toolkit/file_properties.h"

#include <gtest/gtest.h>

#include "host/pe/packer_layer.h"
#include "host/pe/pe_archive.h"
#include "host/qxbase/file_object.h"
#include "module/toolkit/interface_ptr.h"
#include "sdk/identifiers.h"
#include "tests/fixtures/pe_builder.h"
#include "tests/fixtures/resource_builder.h"

namespace {

using fixtures::Bytes;
using fixtures::ResourceKey;
using remedy::InterfacePtr;

constexpr GUID kMarker = qe::makeGuid("11111111-2222-3333-4444-555555555555");
constexpr GUID kOtherMarker = qe::makeGuid("11111111-2222-3333-4444-666666666666");

struct FileRef {
    explicit FileRef(Bytes bytes = {}) : object(host::FileObject::fromBytes(std::move(bytes))) {}
    ~FileRef() { object->Release(); }
    IQEArchive* archive() const { return static_cast<IQEArchive*>(object); }
    host::FileObject* object;
};

TEST(PidProperty, MarkersAreSetAndFound) {
    FileRef file;
    IUnknown* object = file.archive();
    EXPECT_EQ(GetPidProperty(kMarker, object), 0);
    EXPECT_EQ(SetPidProperty(kMarker, object), 1);
    EXPECT_EQ(GetPidProperty(kMarker, object), 1);
    EXPECT_EQ(GetPidProperty(kOtherMarker, object), 0);
    int32_t value = 0;
    uint16_t tag = 0;
    ASSERT_TRUE(file.object->getIntProperty(kMarker, &value, &tag));
    EXPECT_EQ(tag, qe::VT_INT);
    EXPECT_EQ(value, 1);
    // The same id stored by the host with another type is no marker.
    file.object->setIntProperty(kOtherMarker, qe::VT_UINT, 1);
    EXPECT_EQ(GetPidProperty(kOtherMarker, object), 0);
    EXPECT_EQ(file.object->refCount(), 1u);
}

TEST(PidProperty, ObjectWithoutPropertiesGivesZero) {
    struct Bare : IUnknown {
        QRESULT QueryInterface(const GUID&, void**) override { return QE_E_NOINTERFACE; }
        uint32_t AddRef() override { return 1; }
        uint32_t Release() override { return 1; }
    } bare;
    EXPECT_EQ(SetPidProperty(kMarker, &bare), 0);
    EXPECT_EQ(GetPidProperty(kMarker, &bare), 0);
    EXPECT_EQ(SetPidProperty(kMarker, nullptr), 0);
}

struct PackerCase {
    const char* name;
    bool hasParent;
    bool knownPacker;
    bool prepareFails;
    uint32_t flags;
    uint32_t expected;
    bool outIsParent;
};

TEST(GetTopArchivePacker, WalksToAKnownPackerParent) {
    const PackerCase cases[] = {
        {"top-level file", false, false, false, 0x300, 0, false},
        {"known packer", true, true, false, 0x100, 1, true},
        {"known packer, prepared", true, true, false, 0x300, 1, true},
        {"preparation fails", true, true, true, 0x300, 0xFFFFFFFF, false},
        {"no preparation asked", true, true, true, 0x100, 1, true},
        {"ordinary container", true, false, false, 0x300, 0, false},
    };
    for (const PackerCase& c : cases) {
        SCOPED_TRACE(c.name);
        FileRef packed, unpacked;
        if (c.hasParent) host::linkPackerLayer(packed.object, unpacked.object, c.knownPacker);
        packed.object->setPrepareFails(c.prepareFails);
        IQEArchive* out = nullptr;
        EXPECT_EQ(GetTopArchive_Packer(unpacked.archive(), &out, c.flags), c.expected);
        ASSERT_NE(out, nullptr);
        EXPECT_EQ(out, c.outIsParent ? packed.archive() : unpacked.archive());
        out->Release();
        EXPECT_EQ(unpacked.object->refCount(), 1u);
        EXPECT_EQ(packed.object->refCount(), c.hasParent ? 2u : 1u);  // the child's link
    }
    EXPECT_EQ(GetTopArchive_Packer(nullptr, nullptr, 0), 0u);
}

// A PE with an optional security directory and a resource tree of the given types.
Bytes peWith(bool certificate, std::vector<uint32_t> resourceTypes) {
    fixtures::PeBuilder b;
    b.addSection({".text", Bytes(0x200, 0x90), 0});
    if (!resourceTypes.empty()) {
        const uint32_t rva = b.sectionRva(1);
        std::vector<fixtures::ResourceType> types;
        for (uint32_t t : resourceTypes)
            types.push_back({ResourceKey::byId(t), {{ResourceKey::byId(1), {{ResourceKey::byId(0x409), {1, 2}}}}}});
        Bytes rsrc = fixtures::buildResourceSection(rva, types);
        b.addSection({".rsrc", rsrc, 0, 0x40000040});
        b.dataDirectory(2, rva, uint32_t(rsrc.size()));
    }
    if (certificate) b.dataDirectory(4, 0x2000, 0x100);
    return b.build();
}

// A host PE archive opened on the file.
InterfacePtr<IQEArchive> peArchiveOn(host::FileObject* file) {
    InterfacePtr<IQEArchive> archive;
    EXPECT_EQ(host::createPeArchive(nullptr, qe::IID_IQEArchive, archive.putVoid()), QE_OK);
    EXPECT_EQ(archive->Open(static_cast<IQEArchive*>(file)), QE_OK);
    return archive;
}

TEST(CheckCertifiInfo, AnswersAndCachesTheSecurityDirectory) {
    for (bool certificate : {false, true}) {
        FileRef file(peWith(certificate, {}));
        InterfacePtr<IQEArchive> pe = peArchiveOn(file.object);
        int flag = 7;
        ASSERT_EQ(CheckCertifiInfo(pe.get(), &flag), QE_OK);
        EXPECT_EQ(flag, certificate ? 1 : 0);
        int32_t stored = -1;
        uint16_t tag = 0;
        ASSERT_TRUE(file.object->getIntProperty(qe::PID_FILE_PE_CERTIFICATE, &stored, &tag));
        EXPECT_EQ(stored, certificate ? 1 : 0);
        EXPECT_EQ(tag, qe::VT_UINT);
        // The second call reads the stored answer, even when the file changed since.
        file.object->setIntProperty(qe::PID_FILE_PE_CERTIFICATE, qe::VT_UINT, certificate ? 0 : 1);
        ASSERT_EQ(CheckCertifiInfo(pe.get(), &flag), QE_OK);
        EXPECT_EQ(flag, certificate ? 0 : 1);
    }
}

TEST(CheckVersion, LooksForTypeSixteenAtTheRoot) {
    struct Case {
        const char* name;
        std::vector<uint32_t> types;
        int expected;
    };
    const Case cases[] = {
        {"no resources", {}, 0},
        {"icons and version", {3, 14, 16}, 1},
        {"no version", {3, 10}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FileRef file(peWith(false, c.types));
        InterfacePtr<IQEArchive> pe = peArchiveOn(file.object);
        int flag = 7;
        ASSERT_EQ(CheckVersion(pe.get(), &flag), QE_OK);
        EXPECT_EQ(flag, c.expected);
        int32_t stored = -1;
        ASSERT_TRUE(file.object->getIntProperty(qe::PID_FILE_PE_VERSION, &stored));
        EXPECT_EQ(stored, c.expected);
    }
}

TEST(CheckVersion, DamagedDirectoryAndWrongArgumentsFail) {
    Bytes image = peWith(false, {16});
    // Claim more root entries than the section holds: the walk runs off the file and fails.
    fixtures::PeBuilder probe;
    probe.addSection({".text", Bytes(0x200, 0x90), 0});
    const uint32_t rsrcOffset = probe.sectionFileOffset(1);
    fixtures::put16(image, rsrcOffset + 14, 0);       // no ID entries ...
    fixtures::put16(image, rsrcOffset + 12, 0xFFFF);  // ... but 65535 named ones
    fixtures::put32(image, rsrcOffset + 16, 3);       // and the first is no version entry
    image.resize(rsrcOffset + 0x40);
    fixtures::put32(image, fixtures::peSectionTableOffset(image) + 40 + 16, 0x40);
    FileRef file(image);
    InterfacePtr<IQEArchive> pe = peArchiveOn(file.object);
    int flag = 7;
    EXPECT_EQ(CheckVersion(pe.get(), &flag), QE_E_FAIL);
    EXPECT_EQ(flag, 0);
    EXPECT_FALSE(file.object->getIntProperty(qe::PID_FILE_PE_VERSION, nullptr));

    EXPECT_EQ(CheckVersion(nullptr, &flag), QE_E_FAIL);
    EXPECT_EQ(CheckCertifiInfo(pe.get(), nullptr), QE_E_FAIL);
    // A file object that is no PE has no PE archive.
    FileRef plain(Bytes(300, 'x'));
    EXPECT_EQ(CheckCertifiInfo(plain.archive(), &flag), QE_E_INVALIDARG);
    EXPECT_EQ(flag, 0);
}

TEST(GetTopObj, AlwaysAllOnes) {
    FileRef file;
    IUnknown* out = file.archive();
    EXPECT_EQ(GetTopStream_Obj(file.archive(), &out), 0xFFFFFFFFu);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(GetTopArchive_Obj(nullptr, nullptr, 0x300), 0xFFFFFFFFu);
}

}  // namespace
