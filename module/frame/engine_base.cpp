#include "module/frame/engine_base.h"

#include "sdk/identifiers.h"

QRESULT CQEEngineScanKillExBase::QueryInterface(const GUID& iid, void** out) {
    if (!out) return QE_E_INVALIDARG;
    if (iid != qe::IID_IUnknown && iid != qe::IID_IQEEngineScanEx) return QE_E_NOINTERFACE;
    *out = static_cast<IQEEngineScanEx*>(this);
    AddRef();
    return QE_OK;
}

uint32_t CQEEngineScanKillExBase::AddRef() { return addRefImp(); }

uint32_t CQEEngineScanKillExBase::Release() {
    const uint32_t count = releaseImp();
    if (count == 0) delete this;
    return count;
}

uint32_t CQEEngineScanKillExBase::Scan(IUnknown*, void*) { return 0; }

uint32_t CQEEngineScanKillExBase::Kill(IUnknown*, void*) { return KILL_FAILED; }

QRESULT CQEEngineScanKillExBase::init_class(IUnknown* rot, IUnknown* outer) {
    if (outer) return QE_E_INVALIDARG;
    if (rot != m_rot) {
        if (m_rot) {
            m_rot->Release();
            m_rot = nullptr;
        }
        if (rot) {
            void* table = nullptr;
            if (qeFailed(rot->QueryInterface(qe::IID_IQERunningObjectTable, &table)) || !table) {
                m_rot = nullptr;
                return QE_E_INVALIDARG;
            }
            m_rot = static_cast<IQERunningObjectTable*>(table);
        }
    }
    return m_rot ? QE_OK : QE_E_INVALIDARG;
}

CQEEngineScanKillExBase::~CQEEngineScanKillExBase() {
    if (m_rot) m_rot->Release();
}
