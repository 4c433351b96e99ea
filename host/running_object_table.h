// The running-object table the host hands every engine: the objects units reach by property id.
// A default table holds the engine configuration (PID_ROT_EngineConfig), the object loader
// (PID_ROT_ObjectLoader), the file system (PID_ROT_FileSystem) and the scan report
// (PID_ROT_ScanReport). All operations lock, so one
// table may serve several threads.
#pragma once

#include <map>
#include <mutex>

#include "host/qxbase/ref_count.h"
#include "sdk/host_services.h"

namespace host {

class EngineConfig;
class ObjectLoader;
class FileSystem;

class RunningObjectTable final : public IQERunningObjectTable {
public:
    // An empty table with one reference.
    static RunningObjectTable* createEmpty();
    // A table with a fresh configuration, an object loader that knows every host class
    // (host_classes.h) and the file system registered.
    static RunningObjectTable* createDefault();

    // The registered services, or null when absent or replaced by another kind of object
    // (not AddRef'd: valid while the table holds them).
    EngineConfig* engineConfig();
    ObjectLoader* objectLoader();
    FileSystem* fileSystem();

    QRESULT QueryInterface(const GUID& iid, void** out) override;
    uint32_t AddRef() override;
    uint32_t Release() override;
    // QE_E_FAIL (out null) when nothing is registered under pid.
    QRESULT GetObject(const GUID& pid, IUnknown** out) override;
    // Holds a reference; replaces (and releases) an object already registered under pid.
    QRESULT RegisterObject(const GUID& pid, IUnknown* object) override;
    QRESULT RevokeObject(const GUID& pid) override;  // QE_E_FAIL when absent

private:
    RunningObjectTable() = default;
    ~RunningObjectTable();
    struct GuidLess {
        bool operator()(const GUID& a, const GUID& b) const;
    };
    IUnknown* find(const GUID& pid);

    RefCount refs_;
    std::mutex mutex_;
    std::map<GUID, IUnknown*, GuidLess> objects_;
};

}  // namespace host
