#include "module/frame/unknown_engine.h"

#include "module/frame/file_access.h"
#include "module/toolkit/interface_ptr.h"
#include "sdk/identifiers.h"

using remedy::InterfacePtr;
using remedy::queryInterface;

CQEEngineUnkVirusEx::CQEEngineUnkVirusEx() : CQEEngineUnkVirusEx(aScanMethodsUnknown) {}
CQEEngineUnkVirusEx::CQEEngineUnkVirusEx(const UnitTableEntry* const* phaseTables) : m_phaseTables(phaseTables) {}

CQEEngineUnkVirusEx::~CQEEngineUnkVirusEx() {
    m_kept.reset();
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
    const UnitWalkResult walk = walkUnitTable(table, &m_info, &m_param, files.stream(), m_kept);
    // The archive and stream are released when this call ends: no pointer to them is kept.
    m_info.archive = nullptr;
    m_info.stream = nullptr;
    if (walk.outcome == UnitWalkResult::kUnitNotCreated) return KILL_FAILED;
    return m_param.method == qe::UNKNOWN_VERDICT ? m_param.methodParameter : 0;
}

uint32_t CQEEngineUnkVirusEx::Kill(IUnknown* file) {
    if (!m_kept.get()) return KILL_FAILED;
    // The archive and stream of the scan were released when it ended; the unit gets those of
    // the file handed to Kill (the scanned one), or none when it cannot be opened.
    FileInterfaces files;
    if (file && files.open(file)) {
        m_info.archive = files.archive();
        m_info.stream = files.stream();
    }
    m_info.rot = m_rot;
    const remedy::ScanReportBinding report(m_reportSource.get(m_rot));
    const uint32_t result = m_kept.kill(&m_info, &m_param);
    m_info.archive = nullptr;
    m_info.stream = nullptr;
    return result;
}
