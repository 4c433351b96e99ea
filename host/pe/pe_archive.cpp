#include "host/pe/pe_archive.h"

#include <atomic>
#include <cstring>
#include <new>
#include <vector>

#include "host/qxbase/file_object.h"
#include "sdk/identifiers.h"

namespace host {

namespace {

constexpr uint32_t kDosHeaderSize = 64;
constexpr uint32_t kFileHeaderSize = 20;
constexpr uint32_t kOptionalHeaderSize = 96;  // PE32 fields before the data directories
constexpr uint32_t kDirectoryEntrySize = 8;
constexpr uint32_t kSectionHeaderSize = 40;
constexpr uint16_t kMagicPe32Plus = 0x20B;
constexpr uint32_t kMaxDirectories = 16;

uint16_t le16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }
uint32_t le32(const uint8_t* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

struct Section {
    uint32_t virtualSize, virtualAddress, rawSize, rawPointer;
};

class PeArchive final : public IQEArchive, public IQEPEArchive, public IQEPERecordTable, public IQEPESectionTable {
public:
    // --- IUnknown
    QRESULT QueryInterface(const GUID& iid, void** out) override {
        if (!out) return QE_E_INVALIDARG;
        *out = nullptr;
        if (iid == qe::IID_IUnknown || iid == qe::IID_IQEArchive) *out = static_cast<IQEArchive*>(this);
        else if (iid == qe::IID_IQEPEArchive) *out = static_cast<IQEPEArchive*>(this);
        else if (iid == qe::IID_IQEPERecordTable) *out = static_cast<IQEPERecordTable*>(this);
        else if (iid == qe::IID_IQEPESectionTable) *out = static_cast<IQEPESectionTable*>(this);
        else return QE_E_NOINTERFACE;
        AddRef();
        return QE_OK;
    }
    uint32_t AddRef() override { return refs_.fetch_add(1) + 1; }
    uint32_t Release() override {
        uint32_t left = refs_.fetch_sub(1) - 1;
        if (left == 0) delete this;
        return left;
    }

    // --- IQEArchive
    // Opening again replaces what an earlier Open parsed.
    QRESULT Open(IUnknown* source) override {
        Close();
        if (!source) return QE_E_INVALIDARG;
        void* raw = nullptr;
        if (source->QueryInterface(qe::IID_IQEStream, &raw) < 0 || !raw) return QE_E_NOINTERFACE;
        stream_ = static_cast<IQEStream*>(raw);
        QRESULT r = parse();
        if (r < 0) Close();
        return r;
    }
    QRESULT Close() override {
        if (stream_) stream_->Release();
        stream_ = nullptr;
        directories_.clear();
        sections_.clear();
        return QE_OK;
    }
    QRESULT GetStream(IQEStream** out) override {
        if (!out) return QE_E_INVALIDARG;
        *out = nullptr;
        if (!stream_) return QE_E_UNEXPECTED;
        stream_->AddRef();
        *out = stream_;
        return QE_OK;
    }

    // --- IQEPEArchive
    QRESULT GetImageBase(uint32_t* imageBase) override {
        if (!imageBase) return QE_E_INVALIDARG;
        if (!stream_) return QE_E_UNEXPECTED;
        *imageBase = le32(optionalHeader_ + 28);
        return QE_OK;
    }
    QRESULT GetEntryPoint(uint32_t* rva) override {
        if (!rva) return QE_E_INVALIDARG;
        if (!stream_) return QE_E_UNEXPECTED;
        *rva = le32(optionalHeader_ + 16);
        return QE_OK;
    }

    // --- IQEPERecordTable
    QRESULT GetRecord(uint32_t record, uint32_t where, void* buffer, uint32_t bufferSize, uint32_t* count) override {
        if (!buffer) return QE_E_INVALIDARG;
        if (!stream_) return QE_E_UNEXPECTED;
        switch (record) {
            case qe::PE_RECORD_DOS_HEADER: return copyFixed(dosHeader_, kDosHeaderSize, buffer, bufferSize, count);
            case qe::PE_RECORD_NT_SIGNATURE: return copyFixed(signature_, 4, buffer, bufferSize, count);
            case qe::PE_RECORD_FILE_HEADER: return copyFixed(fileHeader_, kFileHeaderSize, buffer, bufferSize, count);
            case qe::PE_RECORD_OPTIONAL_HEADER:
                return copyFixed(optionalHeader_, kOptionalHeaderSize, buffer, bufferSize, count);
            case qe::PE_RECORD_DATA_DIRECTORY:
                return copyArray(directories_, kDirectoryEntrySize, where, buffer, bufferSize, count);
            case qe::PE_RECORD_SECTION_HEADERS:
                return copyArray(sectionBytes_, kSectionHeaderSize, where, buffer, bufferSize, count);
            case qe::PE_RECORD_RESOURCE_DIRECTORY: return readAtRva(where, 16, buffer, bufferSize, count);
            case qe::PE_RECORD_RESOURCE_ENTRY: return readAtRva(where, 8, buffer, bufferSize, count);
            case qe::PE_RECORD_RESOURCE_DATA_ENTRY: return readAtRva(where, 16, buffer, bufferSize, count);
            default: return QE_E_INVALIDARG;
        }
    }

    // --- IQEPESectionTable
    // The first section in table order whose raw data holds the RVA; otherwise the header area,
    // which is mapped one to one.
    QRESULT rva2raw(uint32_t rva, uint32_t* offset) override {
        if (!offset) return QE_E_INVALIDARG;
        if (!stream_) return QE_E_UNEXPECTED;
        for (const Section& s : sections_) {
            if (rva >= s.virtualAddress && rva - s.virtualAddress < s.rawSize) {
                const uint64_t result = uint64_t(rva - s.virtualAddress) + s.rawPointer;
                if (result > 0xFFFFFFFFull) return QE_E_FAIL;
                *offset = uint32_t(result);
                return QE_OK;
            }
        }
        if (rva < headersSize()) {
            *offset = rva;
            return QE_OK;
        }
        return QE_E_FAIL;
    }
    QRESULT raw2rva(uint32_t offset, uint32_t* rva) override {
        if (!rva) return QE_E_INVALIDARG;
        if (!stream_) return QE_E_UNEXPECTED;
        for (const Section& s : sections_) {
            if (offset >= s.rawPointer && offset - s.rawPointer < s.rawSize) {
                const uint64_t result = uint64_t(offset - s.rawPointer) + s.virtualAddress;
                if (result > 0xFFFFFFFFull) return QE_E_FAIL;
                *rva = uint32_t(result);
                return QE_OK;
            }
        }
        if (offset < headersSize()) {
            *rva = offset;
            return QE_OK;
        }
        return QE_E_FAIL;
    }
    // Inside the part of the image some section covers (its virtual or raw extent, the larger).
    QRESULT IsValidRva(uint32_t rva) override {
        if (!stream_) return QE_E_UNEXPECTED;
        for (const Section& s : sections_) {
            const uint32_t extent = s.virtualSize > s.rawSize ? s.virtualSize : s.rawSize;
            if (rva >= s.virtualAddress && rva - s.virtualAddress < extent) return QE_OK;
        }
        return QE_E_FAIL;
    }

private:
    ~PeArchive() { Close(); }

    uint32_t headersSize() const { return le32(optionalHeader_ + 60); }

    // Exactly `length` bytes at `offset`, or false.
    bool readExact(uint64_t offset, void* buffer, uint32_t length) {
        if (stream_->Seek(int64_t(offset), QE_SEEK_SET, nullptr) < 0) return false;
        uint32_t done = 0;
        return stream_->Read(buffer, length, &done) >= 0 && done == length;
    }

    QRESULT parse() {
        if (!readExact(0, dosHeader_, kDosHeaderSize)) return QE_E_FAIL;
        if (dosHeader_[0] != 'M' || dosHeader_[1] != 'Z') return QE_E_FAIL;
        const uint64_t nt = le32(dosHeader_ + 60);
        // As the module's own header reader: "PE", whatever the two bytes after it hold.
        if (!readExact(nt, signature_, 4) || signature_[0] != 'P' || signature_[1] != 'E') return QE_E_FAIL;
        if (!readExact(nt + 4, fileHeader_, kFileHeaderSize)) return QE_E_FAIL;
        const uint32_t optionalSize = le16(fileHeader_ + 16);
        // The 96 fixed fields are read whatever SizeOfOptionalHeader says (small values are a
        // packer's trick); the directories are only those the declared size holds.
        if (!readExact(nt + 24, optionalHeader_, kOptionalHeaderSize)) return QE_E_FAIL;
        // PE32+ keeps 16 more bytes of fields before its directories.
        const uint32_t directoriesAt = le16(optionalHeader_) == kMagicPe32Plus ? 112 : 96;
        uint32_t directoryCount = optionalSize > directoriesAt ? (optionalSize - directoriesAt) / kDirectoryEntrySize : 0;
        const uint32_t declared = le32(optionalHeader_ + 92);
        if (directoryCount > declared) directoryCount = declared;
        if (directoryCount > kMaxDirectories) directoryCount = kMaxDirectories;
        try {
            directories_.assign(size_t(directoryCount) * kDirectoryEntrySize, 0);
            if (directoryCount && !readExact(nt + 24 + directoriesAt, directories_.data(), uint32_t(directories_.size())))
                return QE_E_FAIL;
            const uint32_t sectionCount = le16(fileHeader_ + 2);
            sectionBytes_.assign(size_t(sectionCount) * kSectionHeaderSize, 0);
            if (sectionCount && !readExact(nt + 24 + optionalSize, sectionBytes_.data(), uint32_t(sectionBytes_.size())))
                return QE_E_FAIL;
            sections_.clear();
            sections_.reserve(sectionCount);
            for (uint32_t i = 0; i < sectionCount; ++i) {
                const uint8_t* h = sectionBytes_.data() + size_t(i) * kSectionHeaderSize;
                sections_.push_back({le32(h + 8), le32(h + 12), le32(h + 16), le32(h + 20)});
            }
        } catch (const std::bad_alloc&) {
            return QE_E_OUTOFMEMORY;
        }
        return QE_OK;
    }

    static QRESULT copyFixed(const uint8_t* record, uint32_t size, void* buffer, uint32_t bufferSize,
                             uint32_t* count) {
        if (bufferSize < size) return QE_E_INVALIDARG;
        std::memcpy(buffer, record, size);
        if (count) *count = 1;
        return QE_OK;
    }

    static QRESULT copyArray(const std::vector<uint8_t>& entries, uint32_t entrySize, uint32_t first, void* buffer,
                             uint32_t bufferSize, uint32_t* count) {
        const uint32_t total = uint32_t(entries.size() / entrySize);
        if (count) *count = total;
        if (bufferSize < entrySize) return QE_E_INVALIDARG;
        if (first >= total) return QE_E_FAIL;
        uint32_t n = bufferSize / entrySize;
        if (n > total - first) n = total - first;
        std::memcpy(buffer, entries.data() + size_t(first) * entrySize, size_t(n) * entrySize);
        return QE_OK;
    }

    QRESULT readAtRva(uint32_t rva, uint32_t size, void* buffer, uint32_t bufferSize, uint32_t* count) {
        if (bufferSize < size) return QE_E_INVALIDARG;
        uint32_t offset = 0;
        QRESULT r = rva2raw(rva, &offset);
        if (r < 0) return r;
        if (!readExact(offset, buffer, size)) return QE_E_FAIL;
        if (count) *count = 1;
        return QE_OK;
    }

    std::atomic<uint32_t> refs_{1};
    IQEStream* stream_ = nullptr;
    uint8_t dosHeader_[kDosHeaderSize] = {};
    uint8_t signature_[4] = {};
    uint8_t fileHeader_[kFileHeaderSize] = {};
    uint8_t optionalHeader_[kOptionalHeaderSize] = {};
    std::vector<uint8_t> directories_;
    std::vector<uint8_t> sectionBytes_;
    std::vector<Section> sections_;
};

}  // namespace

QRESULT createPeArchive(IUnknown* /*environment*/, const GUID& iid, void** out) {
    if (!out) return QE_E_INVALIDARG;
    *out = nullptr;
    auto* archive = new (std::nothrow) PeArchive();
    if (!archive) return QE_E_OUTOFMEMORY;
    QRESULT r = archive->QueryInterface(iid, out);
    archive->Release();
    return r;
}

QRESULT openPeArchive(IUnknown* file, const GUID& iid, void** out) {
    if (!out) return QE_E_INVALIDARG;
    *out = nullptr;
    auto* archive = new (std::nothrow) PeArchive();
    if (!archive) return QE_E_OUTOFMEMORY;
    QRESULT r = archive->Open(file);
    if (r >= 0) r = archive->QueryInterface(iid, out);
    archive->Release();
    return r;
}

void installPeModel() { FileObject::setPeViewCreator(openPeArchive); }

}  // namespace host
