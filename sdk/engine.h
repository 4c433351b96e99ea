// The module's side of the ABI: class factory, engine interfaces, the request record the
// host passes to Scan and Kill, the records every scan unit receives, and the entry points.
#pragma once

#include <cstddef>

#include "sdk/exec_export.h"
#include "sdk/file_interfaces.h"

struct IQXClassFactory : IUnknown {
    // 3: context is the host's running-object table; outer must be null.
    virtual QRESULT CreateInstance(IUnknown* context, IUnknown* outer, const GUID& iid, void** out) = 0;
    virtual QRESULT LockServer(int lock) = 0;  // 4
};

// Pre-library, post-library and kill engines.
struct IQEEngineScanEx : IUnknown {
    virtual uint32_t Scan(IUnknown* file, void* request) = 0;  // 3: virus id, 0 nothing found
    virtual uint32_t Kill(IUnknown* file, void* request) = 0;  // 4: KILL_* result
};

// The unknown-virus engine.
struct IQEEngine : IUnknown {
    virtual uint32_t Scan(IUnknown* file) = 0;  // 3
    virtual uint32_t Kill(IUnknown* file) = 0;  // 4
};

// Laid out by the host; the module only reads it.
struct STScanExRequest {
    uint32_t flags;             // scan: non-zero marks the file as damaged; kill: copied to STScanInfo
    uint32_t virusId;           // kill: bits 29 to 31 are not part of the identifier
    int32_t method;             // kill: 0 by id, 1 by method number, negative special method
    uint32_t methodParameter;   // kill: method number or parameter for the unit
    IExecExport* emulator;      // the host's emulator for this file
};
static_assert(offsetof(STScanExRequest, flags) == 0);
static_assert(offsetof(STScanExRequest, virusId) == 4);
static_assert(offsetof(STScanExRequest, method) == 8);
static_assert(offsetof(STScanExRequest, methodParameter) == 12);
static_assert(offsetof(STScanExRequest, emulator) == 16);
static_assert(sizeof(STScanExRequest) == 24);

namespace qe {
constexpr int32_t KILL_BY_ID = 0;
constexpr int32_t KILL_BY_METHOD = 1;
constexpr uint32_t VIRUS_ID_MASK = 0x1FFFFFFFu;  // bits 0 to 28
constexpr uint32_t UNKNOWN_VERDICT = 0x0BADB0D1u;  // unknown-virus engine: a unit decided
}  // namespace qe

class CPEHeander;

// What the file is; handed to every unit.
struct STScanInfo {
    IQEArchive* archive;   // not owned
    IQEStream* stream;     // not owned
    IUnknown* rot;         // the engine's IQERunningObjectTable
    uint32_t flags;
};
static_assert(offsetof(STScanInfo, stream) == 8);
static_assert(offsetof(STScanInfo, rot) == 16);
static_assert(offsetof(STScanInfo, flags) == 24);

// The emulator, the parsed PE headers and the request's two method words.
struct tagScanExParam {
    IExecExport* emulator;
    CPEHeander* peHeaders;     // null for other formats and when parsing failed
    uint32_t method;
    uint32_t methodParameter;
};
static_assert(offsetof(tagScanExParam, peHeaders) == 8);
static_assert(offsetof(tagScanExParam, method) == 16);
static_assert(offsetof(tagScanExParam, methodParameter) == 20);
static_assert(sizeof(tagScanExParam) == 24);

extern "C" {
// Exported by the module.
using QEGetClassObjectFn = QRESULT (*)(const GUID& classId, const GUID& interfaceId, void** out);
// Exported by libqxbase.so: creates a host object by class name ("VirtualFile", "HandleFile",
// "FormatList", "PdfArchive"). outer must be null.
QRESULT RoCreateInstance(const char* className, IUnknown* outer, const GUID& iid, void** out,
                         IUnknown* context);
}
