// The PE header readers over the emulator's file operations and over a stream, on valid and
// hostile headers.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>

#include "host/emulator/emulator.h"
#include "module/toolkit/pe_header.h"
#include "sdk/identifiers.h"
#include "tests/fixtures/pe_builder.h"
#include "tests/frame/frame_test_support.h"

namespace {

using fixtures::Bytes;
using fixtures::get16;
using fixtures::get32;
using fixtures::put16;
using fixtures::put32;
using frametest::FileExec;

constexpr uint32_t kPe = fixtures::PeBuilder::kPeOffset;
constexpr uint32_t kTable = kPe + 24 + 0xE0;

Bytes twoSectionPe() {
    return fixtures::PeBuilder()
        .addSection({".text", Bytes(32, 0x90)})
        .addSection({".data", Bytes(16, 0x11), 0, 0xC0000040})
        .entryInSection(0, 4)
        .dataDirectory(2, 0x2000, 0x10)
        .build();
}

// Answers IQEStream only (no IQXStream), forwarding to a file object.
class PlainStream : public IQEStream {
public:
    explicit PlainStream(host::FileObject* file) : file_(static_cast<IQEStream*>(file)) {}
    QRESULT QueryInterface(const GUID& iid, void** out) override {
        if (iid != qe::IID_IUnknown && iid != qe::IID_IQEStream) return QE_E_NOINTERFACE;
        *out = static_cast<IQEStream*>(this);
        return QE_OK;
    }
    uint32_t AddRef() override { return 1; }
    uint32_t Release() override { return 1; }
    QRESULT Read(void* b, uint32_t l, uint32_t* d) override { return file_->Read(b, l, d); }
    QRESULT Write(const void* b, uint32_t l, uint32_t* d) override { return file_->Write(b, l, d); }
    QRESULT Flush() override { return QE_OK; }
    QRESULT Seek(int64_t o, uint32_t origin, uint64_t* p) override { return file_->Seek(o, origin, p); }
    QRESULT Tell(uint64_t* p) override { return file_->Tell(p); }
    QRESULT GetSize(uint32_t* l, uint32_t* h) override { return file_->GetSize(l, h); }
    QRESULT SetSize(uint32_t l, uint32_t h) override { return file_->SetSize(l, h); }
    QRESULT SetAccess(uint32_t f, uint32_t r) override { return file_->SetAccess(f, r); }
    QRESULT Remove() override { return QE_E_FAIL; }

private:
    IQEStream* file_;
};

enum class Way { Emulator, Stream, PlainStream };
const char* wayName(Way way) {
    return way == Way::Emulator ? "CPEHeander" : way == Way::Stream ? "CPEHeander2" : "CPEHeander2 (IQEStream only)";
}

// One reader of one kind over a file object's bytes.
class AnyReader {
public:
    AnyReader(Way way, Bytes bytes) : file_(host::FileObject::fromBytes(std::move(bytes))), plain_(file_) {
        if (way == Way::Emulator) {
            emulator_ = host::Emulator::create(file_);
            viaExec_ = std::make_unique<CPEHeander>(emulator_.get());
        }
        else
            viaStream_ = std::make_unique<CPEHeander2>(way == Way::Stream ? static_cast<IUnknown*>(static_cast<IQEStream*>(file_))
                                                                            : static_cast<IUnknown*>(&plain_));
    }
    ~AnyReader() {
        viaExec_.reset();
        viaStream_.reset();
        emulator_.reset();
        EXPECT_EQ(file_->refCount(), 1u) << "a stream interface was not released";
        file_->Release();
    }
    int Initialize() { return viaExec_ ? viaExec_->Initialize() : viaStream_->Initialize(); }
    int Dump() { return viaExec_ ? viaExec_->Dump() : viaStream_->Dump(); }
    host::ByteView bytes() const { return file_->bytes(); }

    // The record, whichever class holds it.
    uint32_t& peOffset() { return viaExec_ ? viaExec_->peOffset : viaStream_->peOffset; }
    uint32_t sectionCount() { return viaExec_ ? viaExec_->sectionCount : viaStream_->sectionCount; }
    IMAGE_FILE_HEADER& fileHeader() { return viaExec_ ? viaExec_->fileHeader : viaStream_->fileHeader; }
    IMAGE_OPTIONAL_HEADER32& optionalHeader() { return viaExec_ ? viaExec_->optionalHeader : viaStream_->optionalHeader; }
    IMAGE_SECTION_HEADER* sections() { return viaExec_ ? viaExec_->sections : viaStream_->sections; }
    IMAGE_DATA_DIRECTORY* dataDirectories() { return viaExec_ ? viaExec_->dataDirectories : viaStream_->dataDirectories; }

private:
    host::FileObject* file_;
    std::unique_ptr<host::Emulator> emulator_;
    PlainStream plain_;
    std::unique_ptr<CPEHeander> viaExec_;
    std::unique_ptr<CPEHeander2> viaStream_;
};

constexpr Way kWays[] = {Way::Emulator, Way::Stream, Way::PlainStream};

struct HeaderCase {
    const char* name;
    std::function<void(Bytes&)> change;
    int expected;
    std::function<void(AnyReader&)> check;
};

TEST(PeHeaderReaders, ValidAndHostileHeaders) {
    const HeaderCase cases[] = {
        {"valid", [](Bytes&) {}, 1,
         [](AnyReader& r) {
             EXPECT_EQ(r.peOffset(), kPe);
             EXPECT_EQ(r.sectionCount(), 2u);
             EXPECT_EQ(r.fileHeader().Machine, 0x14C);
             EXPECT_EQ(r.fileHeader().SizeOfOptionalHeader, 0xE0);
             EXPECT_EQ(r.optionalHeader().Magic, 0x10B);
             EXPECT_EQ(r.optionalHeader().AddressOfEntryPoint, fixtures::peEntryRva(r.bytes()));
             EXPECT_EQ(r.optionalHeader().ImageBase, 0x400000u);
             EXPECT_EQ(r.optionalHeader().SizeOfImage, get32(r.bytes(), kPe + 80));
             EXPECT_EQ(r.dataDirectories()[2].VirtualAddress, 0x2000u);
             EXPECT_EQ(r.dataDirectories()[2].Size, 0x10u);
             ASSERT_NE(r.sections(), nullptr);
             EXPECT_EQ(std::string(reinterpret_cast<const char*>(r.sections()[1].Name), 5), ".data");
             EXPECT_EQ(r.sections()[1].Characteristics, 0xC0000040u);
             EXPECT_EQ(0, std::memcmp(r.sections(), r.bytes().data() + kTable, 80));
         }},
        {"ZM instead of MZ", [](Bytes& b) { b[0] = 'Z', b[1] = 'M'; }, 0, nullptr},
        {"PE followed by any two bytes", [](Bytes& b) { b[kPe + 2] = 0x12, b[kPe + 3] = 0x34; }, 1, nullptr},
        {"no PE signature", [](Bytes& b) { b[kPe + 1] = 'X'; }, 0, nullptr},
        {"PE offset beyond the file", [](Bytes& b) { put32(b, 0x3C, uint32_t(b.size()) + 16); }, 0, nullptr},
        {"PE offset at the last bytes", [](Bytes& b) { put32(b, 0x3C, uint32_t(b.size()) - 2); }, 0, nullptr},
        {"PE offset near 4 GiB", [](Bytes& b) { put32(b, 0x3C, 0xFFFFFFFEu); }, 0, nullptr},
        {"file shorter than the PE offset field", [](Bytes& b) { b.resize(62); }, 0, nullptr},
        {"file ends in the optional header", [](Bytes& b) { b.resize(kPe + 24 + 50); }, 0,
         [](AnyReader& r) { EXPECT_EQ(r.peOffset(), kPe) << "what was read before stays"; }},
        {"file ends in the data directories", [](Bytes& b) { b.resize(kPe + 120 + 60); }, 0, nullptr},
        {"section table cut short", [](Bytes& b) { b.resize(kTable + 60); }, 0,
         [](AnyReader& r) { EXPECT_EQ(r.sections(), nullptr); }},
        {"65535 sections", [](Bytes& b) { put16(b, kPe + 6, 0xFFFF); }, 0,
         [](AnyReader& r) { EXPECT_EQ(r.sections(), nullptr); }},
        {"no sections", [](Bytes& b) { put16(b, kPe + 6, 0); }, 1,
         [](AnyReader& r) {
             EXPECT_EQ(r.sectionCount(), 0u);
             EXPECT_NE(r.sections(), nullptr);
         }},
        {"larger optional header moves the section table",
         [](Bytes& b) {
             put16(b, kPe + 20, 0x100);
             put16(b, kPe + 6, 1);
             Bytes moved(b.begin() + kTable, b.begin() + kTable + 40);
             moved[1] = 'M';
             fixtures::putBytes(b, kPe + 24 + 0x100, moved);
         },
         1,
         [](AnyReader& r) {
             EXPECT_EQ(r.sections()[0].Name[1], 'M');
             EXPECT_EQ(r.dataDirectories()[2].VirtualAddress, 0x2000u) << "directories stay at +120";
         }},
    };
    for (Way way : kWays) {
        for (const HeaderCase& c : cases) {
            SCOPED_TRACE(std::string(wayName(way)) + ": " + c.name);
            Bytes bytes = twoSectionPe();
            c.change(bytes);
            AnyReader reader(way, bytes);
            EXPECT_EQ(reader.Initialize(), c.expected);
            if (c.check) c.check(reader);
            EXPECT_EQ(reader.bytes(), bytes) << "reading changed the file";
        }
    }
}

// A section count the file cannot back is refused before anything is read or allocated for it.
TEST(PeHeaderReaders, SectionTableBeyondTheFileIsNotRead) {
    Bytes bytes = twoSectionPe();
    put16(bytes, kPe + 6, 0xFFFF);
    host::FileObject* file = host::FileObject::fromBytes(bytes);
    FileExec recording(file);
    CPEHeander headers(&recording);
    EXPECT_EQ(headers.Initialize(), 0);
    EXPECT_LE(recording.largestRead, 128u);
    file->Release();
}

TEST(PeHeaderReaders, MissingSourceFails) {
    CPEHeander viaExec;
    EXPECT_EQ(viaExec.Initialize(), 0);
    EXPECT_EQ(viaExec.Dump(), 0);
    CPEHeander2 viaStream;
    EXPECT_EQ(viaStream.Initialize(), 0);
    frametest::PlainUnknown notAStream;
    CPEHeander2 overNothing(&notAStream);
    EXPECT_EQ(overNothing.Initialize(), 0);
    EXPECT_EQ(notAStream.refs, 0);
}

TEST(PeHeaderReaders, InitializeTwiceReplacesTheArrays) {
    for (Way way : kWays) {
        SCOPED_TRACE(wayName(way));
        AnyReader reader(way, twoSectionPe());
        ASSERT_EQ(reader.Initialize(), 1);
        ASSERT_EQ(reader.Initialize(), 1);
        EXPECT_EQ(reader.sectionCount(), 2u);
        EXPECT_EQ(reader.sections()[0].Name[1], 't');
    }
}

TEST(PeHeaderReaders, DumpWritesEveryHeaderBackAndKeepsTheRecord) {
    for (Way way : kWays) {
        SCOPED_TRACE(wayName(way));
        Bytes expected = twoSectionPe();
        AnyReader reader(way, expected);
        EXPECT_EQ(reader.Dump(), 0) << "before Initialize";
        EXPECT_EQ(reader.bytes(), expected);
        ASSERT_EQ(reader.Initialize(), 1);

        reader.fileHeader().TimeDateStamp = 0x11223344;
        reader.optionalHeader().AddressOfEntryPoint = 0x1010;
        reader.dataDirectories()[1] = {0x3000, 0x28};
        reader.sections()[1].Characteristics = 0xE0000020;
        put32(expected, kPe + 8, 0x11223344);
        put32(expected, kPe + 40, 0x1010);
        put32(expected, kPe + 128, 0x3000);
        put32(expected, kPe + 132, 0x28);
        put32(expected, kTable + 40 + 36, 0xE0000020);

        const IMAGE_OPTIONAL_HEADER32 optionalBefore = reader.optionalHeader();
        const IMAGE_SECTION_HEADER sectionBefore = reader.sections()[1];
        EXPECT_EQ(reader.Dump(), 1);
        EXPECT_EQ(reader.bytes(), expected);
        EXPECT_EQ(0, std::memcmp(&optionalBefore, &reader.optionalHeader(), sizeof optionalBefore));
        EXPECT_EQ(0, std::memcmp(&sectionBefore, &reader.sections()[1], sizeof sectionBefore));
    }
}

TEST(PeHeaderReaders, DumpFollowsTheHeldOptionalHeaderSize) {
    for (Way way : kWays) {
        SCOPED_TRACE(wayName(way));
        Bytes original = twoSectionPe();
        AnyReader reader(way, original);
        ASSERT_EQ(reader.Initialize(), 1);
        reader.fileHeader().SizeOfOptionalHeader = 0xE0 + 40;  // the table moves one entry down
        ASSERT_EQ(reader.Dump(), 1);
        // The first entry now lies where the second was; the second beyond it.
        EXPECT_EQ(0, std::memcmp(reader.bytes().data() + kTable + 40, original.data() + kTable, 80));
        EXPECT_EQ(get16(reader.bytes(), kPe + 20), 0xE0 + 40);
    }
}

TEST(PeHeaderReaders, DumpWithoutSectionsWritesOnlyTheHeaders) {
    for (Way way : kWays) {
        SCOPED_TRACE(wayName(way));
        Bytes bytes = twoSectionPe();
        put16(bytes, kPe + 6, 0);
        AnyReader reader(way, bytes);
        ASSERT_EQ(reader.Initialize(), 1);
        reader.optionalHeader().CheckSum = 0xABCD;
        put32(bytes, kPe + 88, 0xABCD);
        EXPECT_EQ(reader.Dump(), 1);
        EXPECT_EQ(reader.bytes(), bytes);
    }
}

}  // namespace

namespace {

// Headers with random bytes in random places: reading never fails unsafely, and a success
// always describes a table the file holds.
TEST(PeHeaderReaders, ScrambledHeadersKeepTheInvariants) {
    const Bytes clean = twoSectionPe();
    uint32_t seed = 0x2545F491;
    auto next = [&seed] {
        seed ^= seed << 13, seed ^= seed >> 17, seed ^= seed << 5;
        return seed;
    };
    int successes = 0;
    for (int round = 0; round < 3000; ++round) {
        Bytes bytes = clean;
        const int changes = 1 + int(next() % 6);
        for (int i = 0; i < changes; ++i) bytes[next() % 0x200] = uint8_t(next());
        if (next() % 4 == 0) bytes.resize(next() % bytes.size());
        for (Way way : {Way::Emulator, Way::Stream}) {
            AnyReader reader(way, bytes);
            if (!reader.Initialize()) continue;
            ++successes;
            ASSERT_NE(reader.sections(), nullptr);
            ASSERT_NE(reader.dataDirectories(), nullptr);
            EXPECT_EQ(reader.sectionCount(), get16(bytes, reader.peOffset() + 6));
            const uint64_t tableEnd = uint64_t(reader.peOffset()) + 24 + reader.fileHeader().SizeOfOptionalHeader +
                                      uint64_t(reader.sectionCount()) * 40;
            EXPECT_LE(tableEnd, bytes.size());
            EXPECT_EQ(reader.Dump(), 1);
            EXPECT_EQ(reader.bytes(), bytes) << "writing back unchanged headers changed the file";
        }
    }
    EXPECT_GT(successes, 1000) << "too few scrambled files were read to say much";
}

}  // namespace
