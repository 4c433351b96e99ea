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
class FileExec : public IExecExport {
public:
    explicit FileExec(host::FileObject* file) : file_(file) {}
    uint32_t largestRead = 0;
    uint32_t reads = 0;

    uint32_t GetStopStatus() override { return 0; }
    uint32_t GetEntryAddress(uint32_t, uint32_t*) override { return 0; }
    uint32_t Restart() override { return 0; }
    void ResetMemoryBlocks(uint32_t) override {}
    void SetStepLimit(uint32_t) override {}
    uint32_t SetStopCondition(const uint32_t*) override { return 0; }
    uint32_t ClearStopConditions() override { return 0; }
    uint32_t GetImageBase() override { return 0; }
    uint32_t Step(uint32_t) override { return 0; }
    uint32_t RunWhile(QERunWhileCallback, const void*) override { return 0; }
    uint32_t RunTo(uint32_t, uint32_t) override { return 0; }
    uint32_t GetStopInfo(uint32_t*) override { return 0; }
    uint32_t GetImageAddress(uint32_t, uint32_t, uint32_t*, uint32_t*, uint32_t) override { return 0; }
    uint32_t ReadMemory(uint32_t, void*, uint32_t) override { return 0; }
    uint32_t ReadMemoryBlock(uint32_t, void*, uint32_t) override { return 0; }
    uint32_t WriteMemory(uint32_t, const void*, uint32_t) override { return 0; }
    uint32_t GetRegister(uint32_t) override { return 0; }
    void SetRegister(uint32_t, uint32_t) override {}
    uint32_t GetIP() override { return 0xFFFFFFFFu; }
    void SetIP(uint32_t) override {}
    uint32_t GetFlags() override { return 0; }
    void SetFlags(uint32_t) override {}
    uint32_t GetSegment(uint32_t) override { return 0; }
    uint32_t ReadFileSeq(void*, uint32_t) override { return 0; }
    uint32_t ReadFile(void* buffer, uint32_t offset, uint32_t length) override;
    uint32_t WriteFileSeq(const void*, uint32_t) override { return 0; }
    uint32_t WriteFile(const void* buffer, uint32_t offset, uint32_t length) override;
    void SetFilePos(uint32_t, uint32_t) override {}
    uint32_t GetFileSize() override { return uint32_t(file_->bytes().size()); }
    uint32_t SetFileSize(uint32_t) override { return 0; }
    uint32_t DeleteFile() override { return 0; }
    uint32_t MoveFileData(uint32_t, uint32_t, uint32_t, uint32_t) override { return 0; }
    uint32_t PatchFile(uint32_t, const void*, uint32_t) override { return 0; }
    uint32_t FillFile(uint32_t, uint32_t, uint32_t) override { return 0; }
    uint32_t CutFile(uint32_t, uint32_t) override { return 0; }
    uint32_t CommitImage() override { return 0; }
    uint32_t Search(uint32_t, uint32_t, const void*, uint32_t, uint32_t*, uint32_t) override { return 0; }
    uint32_t AddressToFileOffset(uint32_t, uint32_t*) override { return 0; }
    uint32_t AllocBlock(uint32_t*, uint32_t) override { return 0; }

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
