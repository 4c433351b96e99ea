#include "module/units/worm/viking.h"

#include <algorithm>
#include <optional>
#include <vector>

#include "module/toolkit/byte_reader.h"
#include "module/toolkit/file_properties.h"
#include "module/toolkit/host_stream.h"
#include "module/toolkit/interface_ptr.h"
#include "sdk/identifiers.h"
#include "module/toolkit/pe_header.h"
#include "module/toolkit/stream_copy.h"

using namespace remedy;

namespace {

constexpr uint32_t kTopArchiveFlags = 0x300;
constexpr uint32_t kNtHeaderLength = 0xF8;
constexpr uint32_t kSectionEntryLength = 40;
constexpr uint32_t kDebugEntryLength = 28;
constexpr uint32_t kMaxBlock = 0x2000;

// What the cleaner needs of the worm's headers.
struct WormLayout {
    uint32_t optionalHeaderSize = 0;
    uint32_t sizeOfImage = 0;
    uint32_t debugRva = 0;
    uint32_t debugSize = 0;
    struct Section {
        uint32_t virtualAddress, rawSize, rawPointer;
    };
    std::vector<Section> sections;
};

WormLayout layoutOf(const CPEHeander& headers) {
    WormLayout layout;
    layout.optionalHeaderSize = headers.fileHeader.SizeOfOptionalHeader;
    layout.sizeOfImage = headers.optionalHeader.SizeOfImage;
    if (headers.dataDirectories) {
        layout.debugRva = headers.dataDirectories[pe::IMAGE_DIRECTORY_ENTRY_DEBUG].VirtualAddress;
        layout.debugSize = headers.dataDirectories[pe::IMAGE_DIRECTORY_ENTRY_DEBUG].Size;
    }
    for (uint32_t i = 0; headers.sections && i < headers.sectionCount; ++i) {
        const IMAGE_SECTION_HEADER& s = headers.sections[i];
        layout.sections.push_back({s.VirtualAddress, s.SizeOfRawData, s.PointerToRawData});
    }
    return layout;
}

// The outer file's own headers, read from its stream.
bool readLayout(IQEStream* stream, WormLayout* layout) {
    uint8_t dos[64];
    if (readAt(stream, 0, dos, sizeof dos) != sizeof dos || loadLe16(dos) != pe::kDosSignature) return false;
    const uint32_t peOffset = loadLe32(dos + pe::kPeOffsetField);
    uint8_t nt[kNtHeaderLength];
    if (readAt(stream, peOffset, nt, sizeof nt) != sizeof nt || loadLe16(nt) != pe::kNtSignature) return false;
    const uint32_t count = loadLe16(nt + 6);
    layout->optionalHeaderSize = loadLe16(nt + 20);
    layout->sizeOfImage = loadLe32(nt + 24 + 56);
    layout->debugRva = loadLe32(nt + pe::kDataDirectoryOffset + 8 * pe::IMAGE_DIRECTORY_ENTRY_DEBUG);
    layout->debugSize = loadLe32(nt + pe::kDataDirectoryOffset + 8 * pe::IMAGE_DIRECTORY_ENTRY_DEBUG + 4);
    std::vector<uint8_t> table(size_t(count) * kSectionEntryLength);
    const uint64_t tableAt = uint64_t(peOffset) + 24 + layout->optionalHeaderSize;
    if (!table.empty() && readAt(stream, tableAt, table.data(), uint32_t(table.size())) != table.size()) return false;
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* s = table.data() + size_t(i) * kSectionEntryLength;
        layout->sections.push_back({loadLe32(s + 12), loadLe32(s + 16), loadLe32(s + 20)});
    }
    return true;
}

// Where the worm's debug data ends when it lies behind `end` (entries with no address in the
// image that point at or after the end found so far); `end` itself otherwise. nullopt when the
// stream failed the read of the entries: the end cannot be told.
std::optional<uint64_t> endOfDebugData(IQEStream* stream, const WormLayout& layout, uint64_t end, uint64_t fileSize) {
    const int32_t rva = int32_t(layout.debugRva), size = int32_t(layout.debugSize);
    if (rva < 1 || size < 1) return end;
    if (uint64_t(layout.debugRva) + layout.debugSize > layout.sizeOfImage) return end;
    for (const WormLayout::Section& s : layout.sections) {
        if (!(s.virtualAddress <= layout.debugRva &&
              uint64_t(layout.debugRva) + layout.debugSize < uint64_t(s.virtualAddress) + s.rawSize))
            continue;
        const int64_t raw = int64_t(layout.debugRva) + s.rawPointer - s.virtualAddress;
        if (raw <= 0 || layout.debugSize > fileSize) return end;
        std::vector<uint8_t> entries(layout.debugSize);
        const std::optional<uint32_t> got =
            remedy::readAtOrRefused(stream, uint64_t(raw), entries.data(), layout.debugSize);
        if (!got) return std::nullopt;
        if (*got != layout.debugSize) return end;
        for (uint32_t at = 0; at + kDebugEntryLength <= layout.debugSize; at += kDebugEntryLength) {
            const uint8_t* entry = entries.data() + at;
            const uint32_t dataSize = loadLe32(entry + 16), address = loadLe32(entry + 20), pointer = loadLe32(entry + 24);
            if (address == 0 && pointer >= end) end = uint64_t(pointer) + dataSize;
        }
        return end;
    }
    return end;
}

bool removeFile(IQEStream* stream) { return stream && stream->Remove() == 0; }

bool copyAndResize(IQEStream* dst, IQEStream* src, uint32_t dstOffset, uint32_t srcOffset, uint32_t length) {
    const uint32_t block = std::min(length, kMaxBlock);
    return streamcpy(dst, src, dstOffset, srcOffset, block) >= 0 && dst->SetSize(length, 0) >= 0;
}

}  // namespace

uint32_t CScanViking::Kill(STScanInfo* info, tagScanExParam* param) {
    if (!param || !param->peHeaders || !info || !info->archive || !info->stream) return KILL_FAILED;
    IQEArchive* topRaw = nullptr;
    const uint32_t found = GetTopArchive_Packer(info->archive, &topRaw, kTopArchiveFlags);
    InterfacePtr<IQEArchive> top(topRaw);
    if (found == 0xFFFFFFFFu) return KILL_FAILED;

    const bool packed = found == 1;
    IQEStream* scanned = info->stream;
    InterfacePtr<IQEStream> outer;
    IQEStream* work = scanned;
    WormLayout layout;
    if (packed) {
        if (!top || top->GetStream(outer.put()) != 0 || !outer) return KILL_FAILED;
        work = outer.get();
        if (!readLayout(work, &layout)) return KILL_FAILED;
    } else {
        layout = layoutOf(*param->peHeaders);
    }

    uint64_t end = 0;
    bool anyData = false;
    for (const WormLayout::Section& s : layout.sections) {
        if (s.rawSize == 0) continue;
        anyData = true;
        end = std::max(end, uint64_t(s.rawPointer) + s.rawSize);
    }
    if (!anyData) return KILL_FAILED;
    // A size the host cannot tell is a failure, never a reason to delete the file.
    const std::optional<uint32_t> knownSize = streamSize32(work);
    if (!knownSize) return KILL_FAILED;
    const uint64_t fileSize = *knownSize;

    // Debug data of the worm's own (entries with no address in the image) may follow its sections.
    if (fileSize > end && layout.optionalHeaderSize + 0x30 >= kNtHeaderLength) {
        const std::optional<uint64_t> debugEnd = endOfDebugData(work, layout, end, fileSize);
        if (!debugEnd) return KILL_FAILED;
        end = *debugEnd;
    }
    // Nothing behind the worm: the worm alone. The outer file and, when packed, the scanned
    // image of it both go.
    if (fileSize <= end) {
        if (!removeFile(work)) return KILL_FAILED;
        if (packed && scanned->Remove() < 0) return KILL_FAILED;
        return KILL_REMOVED;
    }

    const uint32_t tail = uint32_t(fileSize - end);
    if (!copyAndResize(work, work, 0, uint32_t(end), tail)) return KILL_FAILED;
    if (packed && !copyAndResize(scanned, work, 0, 0, tail)) return KILL_FAILED;
    return KILL_REPAIRED;
}
