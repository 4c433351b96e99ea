#include "module/units/win32/sality.h"

#include <vector>

#include "module/toolkit/byte_reader.h"
#include "module/toolkit/host_stream.h"
#include "module/toolkit/interface_ptr.h"
#include "module/toolkit/pe_address.h"
#include "module/toolkit/pe_header.h"
#include "module/toolkit/stream_copy.h"
#include "sdk/host_services.h"
#include "sdk/identifiers.h"

using namespace remedy;

namespace {

constexpr uint32_t kDistanceField = 0x0D;  // from the entry point to the body
constexpr uint32_t kKeyField = 0x66;
constexpr uint32_t kBodyLength = 0x5000;
constexpr uint32_t kSavedEntryCode = 586;
constexpr uint32_t kEntryCodeLength = 106;
constexpr uint32_t kMoveBlock = 4096;

bool rvaToOffset(IQEPESectionTable* sections, uint32_t rva, uint32_t* offset) {
    return sections->rva2raw(rva, offset) >= 0;
}

bool readDword(IQEStream* stream, IQEPESectionTable* sections, uint32_t rva, uint32_t* value) {
    uint32_t offset = 0;
    uint8_t word[4];
    if (!rvaToOffset(sections, rva, &offset) || !readExactAt(stream, offset, word, sizeof word)) return false;
    *value = loadLe32(word);
    return true;
}

}  // namespace

void DecryptSalityBody(std::span<uint8_t> body, uint32_t key) {
    const uint32_t words = uint32_t(body.size() / 2);
    for (uint32_t i = 0; i < words; ++i) {
        const uint16_t mask = uint16_t((key - 2) * (words - i));
        body[2 * i] ^= uint8_t(mask);
        body[2 * i + 1] ^= uint8_t(mask >> 8);
    }
}

uint32_t CKillSality::Kill(STScanInfo* info, tagScanExParam* param) {
    const CPEHeander* headers = param ? param->peHeaders : nullptr;
    if (!info || !info->stream || !info->rot || !headers || !headers->sections || headers->sectionCount == 0)
        return KILL_FAILED;
    IQEStream* stream = info->stream;
    InterfacePtr<IQEArchive> archive = openHostPeArchive(info->rot, stream);
    if (!archive) return 0;
    InterfacePtr<IQEPESectionTable> sections =
        queryInterface<IQEPESectionTable>(archive.get(), qe::IID_IQEPESectionTable);
    if (!sections) return KILL_FAILED;

    const uint32_t entry = headers->optionalHeader.AddressOfEntryPoint;
    uint32_t distance = 0, key = 0, bodyOffset = 0, entryOffset = 0;
    if (!readDword(stream, sections.get(), entry + kDistanceField, &distance) ||
        !readDword(stream, sections.get(), entry + kKeyField, &key))
        return KILL_FAILED;
    std::vector<uint8_t> body(kBodyLength);
    if (!rvaToOffset(sections.get(), entry + distance, &bodyOffset) ||
        !readExactAt(stream, bodyOffset, body.data(), kBodyLength))
        return KILL_FAILED;
    DecryptSalityBody(body, key);
    if (!rvaToOffset(sections.get(), entry, &entryOffset) ||
        !writeExactAt(stream, entryOffset, body.data() + kSavedEntryCode, kEntryCodeLength))
        return KILL_FAILED;

    // The body is the first 0x5000 bytes of the last section's raw data; what follows it moves
    // down over it.
    const IMAGE_SECTION_HEADER& last = headers->sections[headers->sectionCount - 1];
    uint32_t start = 0;
    if (!rvaToOffset(sections.get(), last.VirtualAddress, &start)) return KILL_FAILED;
    // Files of 4 GiB and more are not PE files this cleaner can repair.
    const std::optional<uint32_t> knownSize = streamSize32(stream);
    if (!knownSize) return KILL_FAILED;
    const uint32_t size = *knownSize;
    if (start < size) {
        const uint64_t tail = uint64_t(start) + kBodyLength;
        if (tail < size) {
            if (streamncpy(stream, stream, start, uint32_t(tail), uint32_t(size - tail), kMoveBlock) != 0)
                return KILL_FAILED;
        } else if (stream->SetSize(start, 0) < 0) {
            return KILL_FAILED;
        }
    }

    uint8_t count[2];
    storeLe16(count, uint16_t(headers->sectionCount - 1));
    return writeExactAt(stream, headers->peOffset + 6, count, sizeof count) ? KILL_REPAIRED : KILL_FAILED;
}
