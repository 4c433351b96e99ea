#include "module/frame/kill_engine.h"

#include <memory>

#include "module/frame/file_access.h"
#include "module/frame/scan_unit.h"
#include "module/toolkit/pe_header.h"

const KillTables kShippedKillTables = {aKillMethods, aMethodKill, aSpecKill};

CQEEngineKillEx::CQEEngineKillEx() : m_tables(&kShippedKillTables) {}
CQEEngineKillEx::CQEEngineKillEx(const KillTables& tables) : m_tables(&tables) {}

uint32_t CQEEngineKillEx::Scan(IUnknown*, void*) { return SCAN_NOT_SUPPORTED; }

namespace {

enum class KillBy { VirusId, MethodNumber, SpecialMethod };

// The first row whose identifier equals key, or null at the end of the table.
const UnitTableEntry* findRow(const UnitTableEntry* table, uint32_t key) {
    for (const UnitTableEntry* row = table; row->create; ++row)
        if (row->id == key) return row;
    return nullptr;
}

}  // namespace

uint32_t CQEEngineKillEx::Kill(IUnknown* file, void* requestRecord) {
    const auto* request = static_cast<const STScanExRequest*>(requestRecord);
    if (!request) return KILL_FAILED;
    FileInterfaces files;
    if (!files.open(file)) return KILL_FAILED;

    KillBy by;
    uint32_t key;
    if (request->method == qe::KILL_BY_ID) {
        by = KillBy::VirusId;
        key = request->virusId & qe::VIRUS_ID_MASK;
    } else if (request->method == qe::KILL_BY_METHOD) {
        by = KillBy::MethodNumber;
        key = request->methodParameter;
    } else if (request->method < 0) {
        by = KillBy::SpecialMethod;
        key = uint32_t(request->method) & 0x7FFFFFFFu;
    } else {
        return KILL_FAILED;
    }

    STScanInfo info{files.archive(), files.stream(), m_rot, request->flags};
    tagScanExParam param{request->emulator, nullptr, uint32_t(request->method), request->methodParameter};

    uint32_t format = 0;
    if (!readCurrentFormat(files.stream(), &format)) return 0;
    const int slot = killSlotForFormat(format);
    if (slot == kNoSlot) return KILL_FAILED;

    // Method-number and special-method units run without headers when they cannot be parsed.
    std::unique_ptr<CPEHeander> headers;
    if (slot == kSlotPE) {
        headers.reset(new (std::nothrow) CPEHeander(request->emulator));
        if (headers && !headers->Initialize()) headers.reset();
        param.peHeaders = headers.get();
    }

    const UnitTableEntry* table = nullptr;
    switch (by) {
        case KillBy::MethodNumber: table = m_tables->byMethodNumber; break;
        case KillBy::SpecialMethod: table = m_tables->bySpecialMethod; break;
        case KillBy::VirusId:
            if (slot == kSlotPE && !param.peHeaders) return KILL_FAILED;
            table = m_tables->byFormatSlot ? m_tables->byFormatSlot[slot] : nullptr;
            break;
    }
    if (!table) return KILL_FAILED;
    const UnitTableEntry* row = findRow(table, key);
    if (!row) return KILL_FAILED;
    std::unique_ptr<CScanEXVirus> unit(row->create());
    if (!unit) return KILL_FAILED;
    const remedy::ScanReportBinding report(scanReport());
    remedy::reportUnitStarted(row->unitClass);
    return unit->Kill(&info, &param);
}
