#include "module/frame/scan_engine.h"

#include "module/frame/file_access.h"
#include "module/toolkit/pe_header.h"

CQEEngineScanEx::CQEEngineScanEx(const UnitTableEntry* const* phaseTables, uint32_t postLibrary,
                                 const UnitTableEntry* const* badFileTables)
    : m_phaseTables(phaseTables), m_postLibrary(postLibrary), m_badFileTables(badFileTables) {}

// The PE headers go first, then the kept unit; the base releases the running-object table.
CQEEngineScanEx::~CQEEngineScanEx() {
    dropPeHeaders();
    m_kept.reset();
}

CQEEngineScanExPre::CQEEngineScanExPre() : CQEEngineScanEx(aScanMethodsBeforeLib, 0) {}
CQEEngineScanExPost::CQEEngineScanExPost() : CQEEngineScanEx(aScanMethodsAfterLib, 1) {}

void CQEEngineScanEx::dropPeHeaders() {
    delete m_param.peHeaders;
    m_param.peHeaders = nullptr;
}

uint32_t CQEEngineScanEx::Scan(IUnknown* file, void* requestRecord) {
    const auto* request = static_cast<const STScanExRequest*>(requestRecord);
    if (!m_phaseTables || !request) return 0;
    // The post-library engine never scans a damaged file.
    if (m_postLibrary && request->flags) return 0;

    FileInterfaces files;
    if (!files.open(file)) return 0;

    dropPeHeaders();
    m_info = STScanInfo{files.archive(), files.stream(), m_rot, request->flags};
    m_param = tagScanExParam{request->emulator, nullptr, uint32_t(request->method), request->methodParameter};

    uint32_t format = 0;
    if (!readCurrentFormat(files.stream(), &format)) return 0;
    const int slot = scanSlotForFormat(format);
    if (slot == kNoSlot) return 0;
    if (slot == kSlotPE) {
        CPEHeander* headers = new (std::nothrow) CPEHeander(request->emulator);
        if (!headers) return 0;
        // Units never see headers that failed to parse: a kept unit's later Kill reads them.
        if (!headers->Initialize()) {
            delete headers;
            return 0;
        }
        m_param.peHeaders = headers;
    }

    const remedy::ScanReportBinding report(scanReport());
    const UnitTableEntry* const* tables = request->flags ? m_badFileTables : m_phaseTables;
    const UnitTableEntry* table = tables ? tables[slot] : nullptr;
    if (!table) return 0;
    const UnitWalkResult walk = walkUnitTable(table, &m_info, &m_param, files.stream(), m_kept);
    switch (walk.outcome) {
        case UnitWalkResult::kHit: return walk.row->id;
        case UnitWalkResult::kUnitNotCreated: return KILL_FAILED;
        case UnitWalkResult::kMissed: break;
    }
    return 0;
}

uint32_t CQEEngineScanEx::Kill(IUnknown*, void*) {
    if (!m_kept.get()) return KILL_FAILED;
    const remedy::ScanReportBinding report(scanReport());
    return m_kept.kill(&m_info, &m_param);
}
