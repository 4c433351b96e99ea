// Test doubles for the frame tests: a running-object table, an IExecExport that offers only
// the file operations over a host file object, and scripted scan units that log what the
// engines ask them.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "host/qxbase/file_object.h"
#include "module/frame/scan_unit.h"
#include "sdk/engine.h"
#include "sdk/host_services.h"
#include "tests/fixtures/null_exec.h"

namespace frametest {

// Answers IUnknown and IQERunningObjectTable; holds no objects. Counts its references so
// tests can see the engines release what they took.
class FakeRunningObjectTable : public IQERunningObjectTable {
public:
    QRESULT QueryInterface(const GUID& iid, void** out) override;
    uint32_t AddRef() override { return ++refs; }
    uint32_t Release() override { return --refs; }
    QRESULT GetObject(const GUID&, IUnknown**) override { return QE_E_FAIL; }
    QRESULT RegisterObject(const GUID&, IUnknown*) override { return QE_E_FAIL; }
    QRESULT RevokeObject(const GUID&) override { return QE_E_FAIL; }
    std::atomic<int> refs{0};
};

// An object that answers only IUnknown.
class PlainUnknown : public IUnknown {
public:
    QRESULT QueryInterface(const GUID& iid, void** out) override;
    uint32_t AddRef() override { return ++refs; }
    uint32_t Release() override { return --refs; }
    std::atomic<int> refs{0};
};

// The file operations of the emulator interface over a file object's bytes; nothing runs.
// Records the largest read asked for.
class FileExec : public fixtures::NullExec {
public:
    explicit FileExec(host::FileObject* file) : file_(file) {}
    uint32_t largestRead = 0;
    uint32_t reads = 0;

    uint32_t ReadFile(void* buffer, uint32_t offset, uint32_t length) override;
    uint32_t WriteFile(const void* buffer, uint32_t offset, uint32_t length) override;
    uint32_t GetFileSize() override { return uint32_t(file_->bytes().size()); }

private:
    host::FileObject* file_;
};

// What a scripted unit answers.
struct UnitScript {
    uint32_t needToScan = 1;
    uint32_t scan = 0;
    uint32_t workIfVirus = 1;
    uint32_t kill = KILL_FAILED;
};

// What the units saw, shared by all scripted units of a test (reset by resetUnits).
struct UnitLog {
    UnitScript scripts[8];
    std::vector<std::string> events;  // "2 need", "2 scan", "2 work 0x40000001", "2 kill", "2 deleted"
    int created = 0;
    int live = 0;
    STScanInfo lastInfo{};
    tagScanExParam lastParam{};
    IUnknown* lastWorkStream = nullptr;
    uint32_t lastSectionCount = 0xFFFFFFFFu;  // of the PE headers a unit last saw; all ones: none
    // When set, a unit's destructor records this count in refsAtDeletion.
    const std::atomic<int>* watchedRefs = nullptr;
    int refsAtDeletion = -1;
};
extern UnitLog unitLog;
void resetUnits();

class ScriptedUnitBase : public CScanEXVirus {
public:
    explicit ScriptedUnitBase(int index);
    ~ScriptedUnitBase() override;
    uint32_t NeedToScan(STScanInfo* info) override;
    uint32_t Scan(STScanInfo* info, tagScanExParam* param) override;
    uint32_t WorkIfVirus(IUnknown* stream, unsigned int id) override;
    uint32_t Kill(STScanInfo* info, tagScanExParam* param) override;

private:
    void note(const std::string& what);
    void remember(STScanInfo* info, tagScanExParam* param);
    int index_;
};

// Scripted unit number N answers unitLog.scripts[N].
template <int N>
class ScriptedUnit : public ScriptedUnitBase {
public:
    ScriptedUnit() : ScriptedUnitBase(N) {}
    static CScanEXVirus* CreateScanExUnit() { return createScanExUnit<ScriptedUnit<N>>(); }
};

// A creator that fails.
CScanEXVirus* createNothing();

// A file object with the given bytes and current-format code; the caller releases it.
host::FileObject* makeFile(std::vector<uint8_t> bytes, uint32_t format);
// A small valid PE program.
std::vector<uint8_t> smallPe();

}  // namespace frametest
