#include "module/frame/unknown_engine.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "module/frame/file_access.h"
#include "module/toolkit/file_properties.h"
#include "module/toolkit/host_stream.h"
#include "module/toolkit/interface_ptr.h"
#include "module/toolkit/pe_address.h"
#include "module/toolkit/pe_header.h"
#include "sdk/identifiers.h"

using remedy::InterfacePtr;
using remedy::queryInterface;

// --- The engine ---

CQEEngineUnkVirusEx::CQEEngineUnkVirusEx() : CQEEngineUnkVirusEx(aScanMethodsUnknown) {}
CQEEngineUnkVirusEx::CQEEngineUnkVirusEx(const UnitTableEntry* const* phaseTables) : m_phaseTables(phaseTables) {}

CQEEngineUnkVirusEx::~CQEEngineUnkVirusEx() {
    delete m_keptUnit;
    if (m_rot) m_rot->Release();
}

QRESULT CQEEngineUnkVirusEx::QueryInterface(const GUID& iid, void** out) {
    if (!out) return QE_E_INVALIDARG;
    if (iid != qe::IID_IUnknown && iid != qe::IID_IQEEngine) return QE_E_NOINTERFACE;
    *out = static_cast<IQEEngine*>(this);
    AddRef();
    return QE_OK;
}

uint32_t CQEEngineUnkVirusEx::AddRef() { return addRefImp(); }

uint32_t CQEEngineUnkVirusEx::Release() {
    const uint32_t count = releaseImp();
    if (count == 0) delete this;
    return count;
}

QRESULT CQEEngineUnkVirusEx::init_class(IUnknown* rot, IUnknown* outer) {
    if (outer || !rot) return QE_E_INVALIDARG;
    void* table = nullptr;
    if (qeFailed(rot->QueryInterface(qe::IID_IQERunningObjectTable, &table)) || !table) return QE_E_INVALIDARG;
    if (m_rot) m_rot->Release();
    m_rot = static_cast<IQERunningObjectTable*>(table);
    return QE_OK;
}

namespace {

// Only PE files have a heuristic table; the other slots are mapped as the scan engines map them.
int unknownSlotForFormat(uint32_t format) {
    switch (format & 0xFFFF) {
        case 3: return kSlotPE;
        case 2: return kSlotMZ;
        case 111: return kSlotCOM;
        case 114: return kSlotScript;
        case 0: return kSlotOrdinary;
        case 37: return kSlotFlash;
        case 36: return kSlotJPEG;
        default: return kSlotPE;
    }
}

}  // namespace

uint32_t CQEEngineUnkVirusEx::Scan(IUnknown* file) {
    if (!m_phaseTables || !file) return 0;
    FileInterfaces files;
    if (!files.open(file)) return 0;
    m_info = STScanInfo{files.archive(), files.stream(), m_rot, 0};
    m_param = tagScanExParam{nullptr, nullptr, 0, 0};

    InterfacePtr<IQXArchive> node = queryInterface<IQXArchive>(file, qe::IID_IQXArchive);
    uint32_t format = 0;
    if (!node || node->GetFormat(&format) < 0) return 0;
    const UnitTableEntry* table = m_phaseTables[unknownSlotForFormat(format)];
    if (!table) return 0;

    const remedy::ScanReportBinding report(m_reportSource.get(m_rot));
    for (const UnitTableEntry* row = table; row->create; ++row) {
        CScanEXVirus* unit = row->create();
        if (!unit) return KILL_FAILED;
        remedy::reportUnitStarted(row->unitClass);
        const bool hit = unit->NeedToScan(&m_info) && unit->Scan(&m_info, &m_param) &&
                         unit->WorkIfVirus(static_cast<IUnknown*>(files.stream()), row->id);
        if (hit) {
            delete m_keptUnit;
            m_keptUnit = unit;
            m_keptUnitClass = row->unitClass;
            break;
        }
        delete unit;
    }
    // The archive and stream are released when this call ends: no pointer to them is kept.
    m_info.archive = nullptr;
    m_info.stream = nullptr;
    return m_param.method == qe::UNKNOWN_VERDICT ? m_param.methodParameter : 0;
}

uint32_t CQEEngineUnkVirusEx::Kill(IUnknown* file) {
    if (!m_keptUnit) return KILL_FAILED;
    // The archive and stream of the scan were released when it ended; the unit gets those of
    // the file handed to Kill (the scanned one), or none when it cannot be opened.
    FileInterfaces files;
    if (file && files.open(file)) {
        m_info.archive = files.archive();
        m_info.stream = files.stream();
    }
    m_info.rot = m_rot;
    const remedy::ScanReportBinding report(m_reportSource.get(m_rot));
    remedy::reportUnitStarted(m_keptUnitClass);
    const uint32_t result = m_keptUnit->Kill(&m_info, &m_param);
    m_info.archive = nullptr;
    m_info.stream = nullptr;
    return result;
}

// --- Heuristic unit bases ---

uint32_t CUnknownScanEXVirus::NeedToScan(STScanInfo* info) {
    if (!info) return 0;
    InterfacePtr<IQERunningObjectTable> table =
        queryInterface<IQERunningObjectTable>(info->rot, qe::IID_IQERunningObjectTable);
    if (!table) return 0;
    InterfacePtr<IUnknown> configObject;
    if (table->GetObject(qe::PID_ROT_EngineConfig, configObject.put()) < 0) return 0;
    InterfacePtr<IQEProperty2> config = queryInterface<IQEProperty2>(configObject.get(), qe::IID_IQEProperty2);
    const QEPROPVALUE* value = nullptr;
    if (!config || config->GetProperty(qe::CONFIG_HEURISTICS, &value) < 0 || !value) return 0;
    return value->uintVal != 0 ? 1 : 0;
}

uint32_t CSuspScanEXVirus::NeedToScan(STScanInfo*) { return 0; }
uint32_t CSuspScanEXVirus::WorkIfVirus(IUnknown*, unsigned int) { return 0; }

// --- CScanUnknownVirus ---

namespace {

std::span<const tagStrScanMethod> g_unknownVirusDefinitions = CScanStrDump::g_VirusStr;

constexpr uint32_t kMaxScannedFile = 0x400000;
constexpr uint32_t kBlock = 65536;
constexpr uint32_t kFullBlocks = 13;  // after these, each further section gives only its first block
constexpr uint32_t kNeverRemoved = 0x0014FD71;

uint32_t fileSize(IQEStream* stream, bool* ok) {
    *ok = false;
    InterfacePtr<IQXStream> wide = queryInterface<IQXStream>(stream, qe::IID_IQXStream);
    if (wide) {
        uint64_t size = 0;
        if (wide->GetSize(&size) < 0 || size > 0xFFFFFFFFull) return 0;
        *ok = true;
        return uint32_t(size);
    }
    uint32_t low = 0, high = 0;
    if (!stream || stream->GetSize(&low, &high) < 0 || high) return 0;
    *ok = true;
    return low;
}

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
    bool sized = false;
    const uint32_t size = fileSize(info->stream, &sized);
    if (!sized || size > kMaxScannedFile) return 0;

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
