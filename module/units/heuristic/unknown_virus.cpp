#include "module/units/heuristic/unknown_virus.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>

#include "module/toolkit/file_properties.h"
#include "module/toolkit/host_stream.h"
#include "module/toolkit/interface_ptr.h"
#include "module/toolkit/pe_address.h"
#include "module/toolkit/pe_header.h"
#include "sdk/host_services.h"
#include "sdk/identifiers.h"

using remedy::InterfacePtr;
using remedy::queryInterface;

namespace {

std::span<const tagStrScanMethod> g_unknownVirusDefinitions = CScanStrDump::g_VirusStr;

constexpr uint32_t kMaxScannedFile = 0x400000;
constexpr uint32_t kBlock = 65536;
constexpr uint32_t kFullBlocks = 13;  // after these, each further section gives only its first block
constexpr uint32_t kNeverRemoved = 0x0014FD71;

}  // namespace

void CScanUnknownVirus::SetDefinitions(std::span<const tagStrScanMethod> definitions) {
    g_unknownVirusDefinitions = definitions;
}

uint32_t CScanUnknownVirus::Scan(STScanInfo* info, tagScanExParam* param) {
    if (!info || !info->archive || !info->stream || !param) return 0;
    // Only the unpacked content of a recognised packer layer.
    {
        InterfacePtr<IQEArchive> top;
        if (GetTopArchive_Packer(info->archive, top.put(), 0x100) != 1) return 0;
    }
    // The section table through the archive's PE records (the host's PE model of the file).
    InterfacePtr<IQEPERecordTable> records = queryInterface<IQEPERecordTable>(info->archive, qe::IID_IQEPERecordTable);
    InterfacePtr<IQEArchive> peArchive;
    if (!records) {
        peArchive = remedy::openHostPeArchive(info->rot, info->stream);
        records = queryInterface<IQEPERecordTable>(peArchive.get(), qe::IID_IQEPERecordTable);
    }
    if (!records) return 0;
    IMAGE_FILE_HEADER fileHeader{};
    uint32_t count = 0;
    if (records->GetRecord(qe::PE_RECORD_FILE_HEADER, 0, &fileHeader, sizeof fileHeader, &count) < 0) return 0;
    const uint32_t sectionCount = fileHeader.NumberOfSections;
    if (sectionCount == 0) return 0;
    auto sections = std::make_unique<IMAGE_SECTION_HEADER[]>(sectionCount);
    if (records->GetRecord(qe::PE_RECORD_SECTION_HEADERS, 0, sections.get(),
                           uint32_t(sectionCount * sizeof(IMAGE_SECTION_HEADER)), &count) < 0)
        return 0;
    const std::optional<uint32_t> size = remedy::streamSize32(info->stream);
    if (!size || *size > kMaxScannedFile) return 0;

    CScanStrDump scanner(g_unknownVirusDefinitions);
    if (!scanner.set_lengths(4, 64)) return 0;
    auto block = std::make_unique<uint8_t[]>(kBlock);
    uint32_t blocksScanned = 0;
    for (uint32_t s = 0; s < sectionCount && s < count; ++s) {
        const uint32_t start = sections[s].PointerToRawData;
        const uint32_t rawSize = sections[s].SizeOfRawData;
        for (uint64_t at = 0; at < rawSize; at += kBlock) {
            if (blocksScanned >= kFullBlocks && at > 0) break;
            const uint32_t length = uint32_t(std::min<uint64_t>(kBlock, rawSize - at));
            std::memset(block.get(), 0, kBlock);
            if (!remedy::readAtOrRefused(info->stream, start + at, block.get(), length)) break;
            ++blocksScanned;
            const uint64_t r = scanner.ScanChunk(block.get(), length);
            if (r == 0) continue;
            const uint32_t id = uint32_t(r);
            if (!(id & 0x80000000u)) {
                m_lastId = id;
                param->method = qe::UNKNOWN_VERDICT;
                param->methodParameter = id;
            }
            return 1;
        }
    }
    return 0;
}

uint32_t CScanUnknownVirus::Kill(STScanInfo* info, tagScanExParam*) {
    if (m_lastId == kNeverRemoved) return KILL_FAILED;
    if (!info || !info->stream) return KILL_REMOVE_FAILED;
    return info->stream->Remove() >= 0 ? KILL_REMOVED : KILL_REMOVE_FAILED;
}
