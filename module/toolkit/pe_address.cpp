#include "module/toolkit/pe_address.h"

#include <algorithm>
#include <memory>
#include <new>

#include "module/toolkit/byte_reader.h"
#include "module/toolkit/host_stream.h"
#include "module/toolkit/pe_header.h"

#include "sdk/host_services.h"
#include "sdk/identifiers.h"

using remedy::InterfacePtr;
using remedy::queryInterface;

namespace {

constexpr uint32_t kNoAddress = 0xFFFFFFFFu;

template <class Convert>
uint32_t convertThroughHost(STScanInfo* info, Convert convert) {
    if (!info) return kNoAddress;
    InterfacePtr<IQEArchive> archive = remedy::openHostPeArchive(info->rot, info->stream);
    InterfacePtr<IQEPESectionTable> sections =
        queryInterface<IQEPESectionTable>(archive.get(), qe::IID_IQEPESectionTable);
    if (!sections) return kNoAddress;
    uint32_t out = 0;
    if (convert(sections.get(), &out) < 0) return kNoAddress;
    return out;
}

}  // namespace

namespace remedy {

InterfacePtr<IQEArchive> openHostPeArchive(IUnknown* rot, IUnknown* stream) {
    InterfacePtr<IQERunningObjectTable> table =
        queryInterface<IQERunningObjectTable>(rot, qe::IID_IQERunningObjectTable);
    if (!table || !stream) return {};
    InterfacePtr<IUnknown> loaderSource;
    if (table->GetObject(qe::PID_ROT_ObjectLoader, loaderSource.put()) < 0) return {};
    InterfacePtr<IQEObjectLoader> loader = queryInterface<IQEObjectLoader>(loaderSource.get(), qe::IID_IQEObjectLoader);
    if (!loader) return {};
    InterfacePtr<IUnknown> created;
    if (loader->CreateInstance(rot, qe::CLSID_CQEPEArchive, nullptr, qe::IID_IUnknown, created.putVoid()) < 0)
        return {};
    InterfacePtr<IQEArchive> archive = queryInterface<IQEArchive>(created.get(), qe::IID_IQEArchive);
    if (!archive || archive->Open(stream) < 0) return {};
    return archive;
}

}  // namespace remedy

uint32_t rva2raw(uint32_t rva, STScanInfo* info) {
    return convertThroughHost(info, [rva](IQEPESectionTable* s, uint32_t* out) { return s->rva2raw(rva, out); });
}

uint32_t raw2rva(uint32_t offset, STScanInfo* info) {
    return convertThroughHost(info, [offset](IQEPESectionTable* s, uint32_t* out) { return s->raw2rva(offset, out); });
}

namespace {

// Walks the file's own section table; `pick` answers the converted value for a section, or
// nothing when the section does not hold the input.
template <class Pick>
int convertBySections(IUnknown* stream, uint32_t* out, Pick pick) {
    if (!out || !stream) return 0;
    CPEHeander2 headers(stream);
    if (!headers.Initialize() || !headers.sections) return 0;
    for (uint32_t i = 0; i < headers.sectionCount; ++i) {
        uint32_t value = 0;
        if (pick(headers.sections[i], &value)) {
            *out = value;
            return 1;
        }
    }
    return 0;
}

constexpr uint32_t kSizeOfImageField = 80;       // from the PE signature
constexpr uint32_t kSectionCountField = 6;
constexpr uint32_t kSizeOfRawDataField = 16;     // within a section header
constexpr uint32_t kOverlayBlock = 4096;

// peOffset + field as a 32-bit file offset; false when it does not fit.
bool fieldOffset(uint64_t base, uint64_t field, uint32_t* out) {
    const uint64_t at = base + field;
    if (at > 0xFFFFFFFFull) return false;
    *out = uint32_t(at);
    return true;
}

}  // namespace

int ConvertRVAtoFileOffset(uint32_t rva, uint32_t* offset, IUnknown* stream) {
    return convertBySections(stream, offset, [rva](const IMAGE_SECTION_HEADER& s, uint32_t* out) {
        if (rva < s.VirtualAddress || rva - s.VirtualAddress >= s.SizeOfRawData) return false;
        *out = rva - s.VirtualAddress + s.PointerToRawData;
        return true;
    });
}

int ConvertFileOffsetToRva(uint32_t offset, uint32_t* rva, IUnknown* stream) {
    return convertBySections(stream, rva, [offset](const IMAGE_SECTION_HEADER& s, uint32_t* out) {
        if (offset < s.PointerToRawData || offset - s.PointerToRawData >= s.SizeOfRawData) return false;
        *out = offset - s.PointerToRawData + s.VirtualAddress;
        return true;
    });
}

int ModifySizeOfImage(tagScanExParam* param) {
    if (!param || !param->emulator || !param->peHeaders) return 0;
    IExecExport* exec = param->emulator;
    const CPEHeander& headers = *param->peHeaders;
    const uint32_t count = headers.fileHeader.NumberOfSections;
    const uint32_t alignment = headers.optionalHeader.SectionAlignment;
    // The held table must hold the section the header's count names as the last one.
    if (count == 0 || alignment == 0 || !headers.sections || count > headers.sectionCount) return 0;
    const IMAGE_SECTION_HEADER& last = headers.sections[count - 1];
    const uint64_t alignedSize = (uint64_t(last.VirtualSize) + alignment - 1) / alignment * alignment;
    uint8_t value[4];
    remedy::storeLe32(value, uint32_t(alignedSize + last.VirtualAddress));
    uint32_t at = 0;
    if (!fieldOffset(headers.peOffset, kSizeOfImageField, &at) || exec->WriteFile(value, at, 4) == 0) return 0;

    const uint64_t rawEnd = uint64_t(last.PointerToRawData) + last.SizeOfRawData;
    const uint32_t fileSize = exec->GetFileSize();
    if (fileSize == 0xFFFFFFFFu) return 0;  // the size is unknown: the raw size cannot be checked
    if (fileSize >= rawEnd) return 1;
    // The file ends inside (or before) the last section's raw data: the raw size becomes what
    // the file holds of it, never a wrapped-around negative.
    const uint32_t held = fileSize > last.PointerToRawData ? fileSize - last.PointerToRawData : 0;
    remedy::storeLe32(value, held);
    const uint64_t header = uint64_t(headers.peOffset) + 24 + headers.fileHeader.SizeOfOptionalHeader +
                            uint64_t(count - 1) * sizeof(IMAGE_SECTION_HEADER);
    if (!fieldOffset(header, kSizeOfRawDataField, &at)) return 0;
    return exec->WriteFile(value, at, 4) != 0 ? 1 : 0;
}

int DeleteLastSection(STScanInfo* info, tagScanExParam* param) {
    if (!info || !param || !param->peHeaders) return 0;
    const CPEHeander& headers = *param->peHeaders;
    // With no section there is nothing to delete (the count would wrap to 65535).
    if (headers.sectionCount == 0 || !headers.sections) return 0;
    InterfacePtr<IQEStream> stream = queryInterface<IQEStream>(info->stream, qe::IID_IQEStream);
    if (!stream) return 0;
    const IMAGE_SECTION_HEADER& last = headers.sections[headers.sectionCount - 1];

    uint8_t count[2];
    remedy::storeLe16(count, uint16_t(headers.sectionCount - 1));
    if (!remedy::writeExactAt(stream.get(), uint64_t(headers.peOffset) + kSectionCountField, count, 2)) return 0;
    uint8_t imageSize[4];
    remedy::storeLe32(imageSize, headers.optionalHeader.SizeOfImage - last.VirtualSize);
    // From here on a failing host call ends the work where it is and answers 0: the file then
    // holds neither the infected nor the repaired layout, and the caller must not report a repair.
    if (!remedy::writeExactAt(stream.get(), uint64_t(headers.peOffset) + kSizeOfImageField, imageSize, 4)) return 0;

    InterfacePtr<IQXStream> x = queryInterface<IQXStream>(info->stream, qe::IID_IQXStream);
    uint64_t size = 0;
    if (x) {
        if (x->GetSize(&size) < 0) return 0;
    } else {
        uint32_t low = 0, high = 0;
        if (stream->GetSize(&low, &high) < 0) return 0;
        size = (uint64_t(high) << 32) | low;
    }
    if (last.SizeOfRawData == 0 || last.PointerToRawData >= size) return 1;

    std::unique_ptr<uint8_t[]> block(new (std::nothrow) uint8_t[kOverlayBlock]);
    if (!block) return 0;
    uint64_t from = uint64_t(last.PointerToRawData) + last.SizeOfRawData, to = last.PointerToRawData;
    for (;;) {
        // A failing step stops the move where it is, without cutting the file.
        if (stream->Seek(int64_t(from), QE_SEEK_SET, nullptr) < 0) return 0;
        uint32_t got = 0;
        if (stream->Read(block.get(), kOverlayBlock, &got) < 0 || got > kOverlayBlock) return 0;
        if (got == 0) break;
        if (!remedy::writeExactAt(stream.get(), to, block.get(), got)) return 0;
        from += got;
        to += got;
    }
    const QRESULT cut = x ? x->SetSize(to) : stream->SetSize(uint32_t(to), uint32_t(to >> 32));
    return cut < 0 ? 0 : 1;
}

int SwapByteOrder(void* buffer, int32_t length) {
    if (!buffer) return 0;
    if (length < 2) return 1;
    auto* bytes = static_cast<uint8_t*>(buffer);
    std::reverse(bytes, bytes + length);
    return 1;
}
