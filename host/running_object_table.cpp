#include "host/running_object_table.h"

#include <cstring>

#include "host/host_classes.h"
#include "host/services.h"
#include "sdk/identifiers.h"

namespace host {

bool RunningObjectTable::GuidLess::operator()(const GUID& a, const GUID& b) const {
    return std::memcmp(&a, &b, sizeof(GUID)) < 0;
}

RunningObjectTable* RunningObjectTable::createEmpty() { return new RunningObjectTable(); }

RunningObjectTable* RunningObjectTable::createDefault() {
    RunningObjectTable* table = createEmpty();
    ObjectLoader* loader = ObjectLoader::create();
    registerHostClasses(*loader);
    IUnknown* services[] = {EngineConfig::create(), loader, FileSystem::create(), ScanReport::create()};
    const GUID* ids[] = {&qe::PID_ROT_EngineConfig, &qe::PID_ROT_ObjectLoader, &qe::PID_ROT_FileSystem,
                         &qe::PID_ROT_ScanReport};
    for (size_t i = 0; i < 4; ++i) {
        table->RegisterObject(*ids[i], services[i]);
        services[i]->Release();
    }
    return table;
}

RunningObjectTable::~RunningObjectTable() {
    for (auto& [pid, object] : objects_) object->Release();
}

IUnknown* RunningObjectTable::find(const GUID& pid) {
    std::lock_guard lock(mutex_);
    auto it = objects_.find(pid);
    return it == objects_.end() ? nullptr : it->second;
}

// The objects are the host's own classes; a dynamic_cast through IUnknown tells whether the
// registered object is still the kind the host put there.
EngineConfig* RunningObjectTable::engineConfig() { return dynamic_cast<EngineConfig*>(find(qe::PID_ROT_EngineConfig)); }
ObjectLoader* RunningObjectTable::objectLoader() { return dynamic_cast<ObjectLoader*>(find(qe::PID_ROT_ObjectLoader)); }
FileSystem* RunningObjectTable::fileSystem() { return dynamic_cast<FileSystem*>(find(qe::PID_ROT_FileSystem)); }

QRESULT RunningObjectTable::QueryInterface(const GUID& iid, void** out) {
    if (!out) return QE_E_INVALIDARG;
    if (iid != qe::IID_IUnknown && iid != qe::IID_IQERunningObjectTable) return QE_E_NOINTERFACE;
    AddRef();
    *out = static_cast<IQERunningObjectTable*>(this);
    return QE_OK;
}

uint32_t RunningObjectTable::AddRef() { return refs_.add(); }

uint32_t RunningObjectTable::Release() {
    uint32_t left = refs_.release();
    if (left == 0) delete this;
    return left;
}

QRESULT RunningObjectTable::GetObject(const GUID& pid, IUnknown** out) {
    if (!out) return QE_E_INVALIDARG;
    std::lock_guard lock(mutex_);
    auto it = objects_.find(pid);
    if (it == objects_.end()) {
        *out = nullptr;
        return QE_E_FAIL;
    }
    it->second->AddRef();
    *out = it->second;
    return QE_OK;
}

QRESULT RunningObjectTable::RegisterObject(const GUID& pid, IUnknown* object) {
    if (!object) return QE_E_INVALIDARG;
    object->AddRef();
    IUnknown* replaced = nullptr;
    {
        std::lock_guard lock(mutex_);
        IUnknown*& slot = objects_[pid];
        replaced = slot;
        slot = object;
    }
    if (replaced) replaced->Release();  // outside the lock: its destructor may call back
    return QE_OK;
}

QRESULT RunningObjectTable::RevokeObject(const GUID& pid) {
    IUnknown* revoked = nullptr;
    {
        std::lock_guard lock(mutex_);
        auto it = objects_.find(pid);
        if (it == objects_.end()) return QE_E_FAIL;
        revoked = it->second;
        objects_.erase(it);
    }
    revoked->Release();
    return QE_OK;
}

}  // namespace host
