// Embedding the module: load libremedy.so by path, create its engines through the class
// factories with the host's running-object table, and scan or kill one file object at a time.
//
//   auto module = host::Module::load(path, &error);
//   auto engines = host::Engines::create(module, rot, &error);
//   host::ScanTarget target(file);           // file classified by host::classify
//   host::ScanFinding found = engines->scan(target);
//   if (found.found()) result = engines->killFound(target);
//
// Every interface obtained from the module is released by the object that obtained it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "host/emulator/emulator.h"
#include "host/engine_request.h"
#include "host/qxbase/file_object.h"
#include "host/running_object_table.h"
#include "sdk/engine.h"

namespace host {

class SignatureLibrary;
class SignatureScanner;

// A loaded module. Engines keep it loaded while they live.
class Module {
public:
    // dlopen and the two exported symbols; null with *error set when any is missing.
    static std::shared_ptr<Module> load(const std::string& path, std::string* error);
    // A module linked into the program itself (its entry and version text).
    static std::shared_ptr<Module> linked(QEGetClassObjectFn entry, const char* const* version);
    ~Module();
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    // The module's `version` text without the newlines that frame it.
    std::string versionText() const;
    // QEGetClassObject asked for IQXClassFactory; out gets an owned reference.
    QRESULT classFactory(const GUID& classId, IQXClassFactory** out) const;
    const std::string& path() const { return path_; }
    // The file the module was loaded from, as the dynamic loader found it (a bare name found
    // through the library path becomes that file's path); empty for a linked module.
    std::string fileName() const;

private:
    Module() = default;

    void* handle_ = nullptr;
    QEGetClassObjectFn getClassObject_ = nullptr;
    const char* const* version_ = nullptr;
    std::string path_;
};

// Signatures: the host's own signature library, between the pre- and post-library engines.
enum class Phase { None, PreLibrary, PostLibrary, Heuristic, Signatures };
// "pre-library", "post-library", "heuristic", "signatures", "none"
const char* phaseName(Phase phase);

struct ScanFinding {
    uint32_t virusId = 0;  // as the engine's table row holds it (bit 30 possible)
    Phase phase = Phase::None;
    bool failed = false;   // an engine reported a failure (a result with bit 31) or threw
    uint32_t engineResult = 0;  // the failing engine's result (the library's error code for Signatures)
    std::string rule;           // Signatures: the rule that matched
    std::string ruleName;       // Signatures: the rule's display name ("name" metadata), if any
    // What limits did to the scan. A scan the watchdog stopped is failed, never a verdict.
    RequestLimits limits;
    bool found() const { return virusId != 0 && !failed; }
};

// How a kill engine request names what to remove.
struct KillRequest {
    int32_t method = qe::KILL_BY_ID;  // 0 by id, 1 by method number, bit 31 + number: special method
    uint32_t virusId = 0;
    uint32_t methodParameter = 0;     // method number, or the special method's parameter
    uint32_t flags = 0;

    static KillRequest byId(uint32_t id) { return {qe::KILL_BY_ID, id, 0, 0}; }
    static KillRequest byMethod(uint32_t number) { return {qe::KILL_BY_METHOD, 0, number, 0}; }
    static KillRequest special(uint32_t number, uint32_t parameter) {
        return {int32_t(0x80000000u | number), 0, parameter, 0};
    }
};

// One file being scanned and perhaps repaired: the file object (a reference is kept), the
// request record and the emulator of the engine call that found something, which must live
// until the same engine's Kill.
class ScanTarget {
public:
    explicit ScanTarget(FileObject* file);
    ~ScanTarget();
    ScanTarget(const ScanTarget&) = delete;
    ScanTarget& operator=(const ScanTarget&) = delete;

    FileObject* file() const { return file_; }
    bool damaged = false;  // the scan request's damaged flag (bad-file tables)

private:
    friend class Engines;
    FileObject* file_;
    uint64_t serial_;
    std::unique_ptr<Emulator> emulator_;
    STScanExRequest request_{};
};

// The pre-library, post-library and kill engines of one module, bound to one running-object
// table. A scan engine serves one call at a time: use one Engines object per thread.
class Engines {
public:
    static std::unique_ptr<Engines> create(std::shared_ptr<Module> module, RunningObjectTable* rot,
                                           std::string* error);
    ~Engines();
    Engines(const Engines&) = delete;
    Engines& operator=(const Engines&) = delete;

    // Pre-library engine, then (when it found nothing) the signature library when one is in use,
    // then the post-library engine, then the unknown-virus engine (its units run only when the
    // configuration enables heuristics). A file without a format is classified first.
    // The whole scan is one engine request (engine_request.h): when its watchdog fires, the
    // finding is failed with limits.timedOut set, whatever the engines answered.
    ScanFinding scan(ScanTarget& target);
    // Scans with these compiled rules from now on (null: none). False with *error when this
    // object's scanner cannot be made.
    bool useSignatures(std::shared_ptr<const SignatureLibrary> library, std::string* error);
    // Repairs what the last scan found, through the engine that found it (its kept unit), or for
    // a signature hit through the kill engine with the rule's request. Only for the target of
    // the last scan, once: otherwise KILL_FAILED and nothing runs.
    // A kill that met a storage failure of the file object (FileObject::storageFailures) and
    // still reports success answers KILL_FAILED here: its repair cannot be trusted whole. So does
    // a kill whose watchdog fired (lastLimits().timedOut): what it wrote is never committed.
    uint32_t killFound(ScanTarget& target);
    // The kill engine, with a fresh emulator: by virus id, method number or special method.
    // Like killFound, a success over a storage failure answers KILL_FAILED.
    uint32_t kill(ScanTarget& target, const KillRequest& request);
    // What limits did to the last scan, killFound or kill.
    const RequestLimits& lastLimits() const { return lastLimits_; }
    // What the module itself answered to the last killFound or kill of this object, before the
    // storage-failure check above: a host that trusts the module's answer gets this one. Tests
    // read it to hold every unit to an honest result on its own. KILL_FAILED when the call threw;
    // 0 when no engine ran (no kill yet, or killFound refused before calling one).
    uint32_t lastModuleKillResult() const { return lastModuleKillResult_; }

private:
    Engines() = default;
    ScanFinding scanOnce(ScanTarget& target);
    uint32_t killFoundInRequest(ScanTarget& target);
    uint32_t killInRequest(ScanTarget& target, const KillRequest& request);
    // Keeps the request's limits; a kill stopped by the watchdog fails.
    uint32_t finishKill(const EngineRequest& request, uint32_t result);

    std::shared_ptr<Module> module_;
    RunningObjectTable* rot_ = nullptr;
    IQEEngineScanEx* pre_ = nullptr;
    IQEEngineScanEx* post_ = nullptr;
    IQEEngineScanEx* kill_ = nullptr;
    // The unknown-virus engine: the post-library factory creates it when asked for IQEEngine.
    // Null for a module that offers none.
    IQEEngine* unknown_ = nullptr;
    std::unique_ptr<SignatureScanner> signatures_;
    uint64_t lastFoundSerial_ = 0;  // the target whose finding a scan engine keeps
    Phase lastFoundPhase_ = Phase::None;
    KillRequest lastSignatureKill_;  // the matching rule's request, for a Signatures finding
    RequestLimits lastLimits_;
    uint32_t lastModuleKillResult_ = 0;
};

}  // namespace host
