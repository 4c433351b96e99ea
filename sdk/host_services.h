// Host services reached through the running-object table: configuration, object loader,
// file system, the PE model, the second virtual machine and the instruction-length service.
#pragma once

#include "sdk/file_interfaces.h"

struct IQERunningObjectTable : IUnknown {
    // 3: the object registered under pid (PID_ROT_*), AddRef'd; negative when absent.
    virtual QRESULT GetObject(const GUID& pid, IUnknown** out) = 0;
    virtual QRESULT RegisterObject(const GUID& pid, IUnknown* object) = 0;  // 4: replaces
    virtual QRESULT RevokeObject(const GUID& pid) = 0;                       // 5
};

struct IQEObjectLoader : IUnknown {
    // 3: creates a host class (CLSID_CQEPEArchive, CLSID_CQEVM, CLSID_CQEX86Assembler).
    virtual QRESULT CreateInstance(IUnknown* environment, const GUID& clsid, IUnknown* outer,
                                   const GUID& iid, void** out) = 0;
};

// Records of IQEPERecordTable::GetRecord.
namespace qe {
constexpr uint32_t PE_RECORD_DOS_HEADER = 0;        // IMAGE_DOS_HEADER, 64 bytes
constexpr uint32_t PE_RECORD_NT_SIGNATURE = 1;      // 4 bytes
constexpr uint32_t PE_RECORD_FILE_HEADER = 2;       // IMAGE_FILE_HEADER, 20 bytes
constexpr uint32_t PE_RECORD_OPTIONAL_HEADER = 3;   // IMAGE_OPTIONAL_HEADER32 without directories, 96 bytes
constexpr uint32_t PE_RECORD_DATA_DIRECTORY = 4;    // 8 bytes an entry; count = NumberOfRvaAndSizes (<= 16)
constexpr uint32_t PE_RECORD_SECTION_HEADERS = 5;   // 40 bytes a section
constexpr uint32_t PE_RECORD_RESOURCE_DIRECTORY = 6;   // 16 bytes at an RVA
constexpr uint32_t PE_RECORD_RESOURCE_ENTRY = 7;       // 8 bytes at an RVA
constexpr uint32_t PE_RECORD_RESOURCE_DATA_ENTRY = 8;  // 16 bytes at an RVA
}  // namespace qe

struct IQEPEArchive : IUnknown {
    virtual QRESULT GetImageBase(uint32_t* imageBase) = 0;   // 3
    virtual QRESULT GetEntryPoint(uint32_t* rva) = 0;        // 4
    virtual QRESULT GetStream(IQEStream** out) = 0;          // 5
};

struct IQEPERecordTable : IUnknown {
    // 3: copies record `record` into buffer. For arrays, `where` is the first index and *count
    // receives the number of entries the file has; for resource records `where` is an RVA.
    // A buffer too small for one entry fails with QE_E_INVALIDARG.
    virtual QRESULT GetRecord(uint32_t record, uint32_t where, void* buffer, uint32_t bufferSize,
                              uint32_t* count) = 0;
};

struct IQEPESectionTable : IUnknown {
    virtual QRESULT rva2raw(uint32_t rva, uint32_t* offset) = 0;  // 3
    virtual QRESULT raw2rva(uint32_t offset, uint32_t* rva) = 0;  // 4
    virtual QRESULT IsValidRva(uint32_t rva) = 0;                 // 5: 0 when inside a section
};

// Second virtual machine (32-bit PE images).
namespace qe {
constexpr uint32_t VM_REG_EFLAGS = 8;
constexpr uint32_t VM_REG_EIP = 9;
constexpr uint32_t VM_STOP_EXECUTE = 0;      // execution reaches the address
constexpr uint32_t VM_STOP_WRITE = 1;        // a write into [address, address + length)
constexpr uint32_t VM_STOP_ACCESS = 2;       // any access; stops before the accessing instruction
constexpr uint32_t VM_STOP_RANGE_ENTRY = 64; // execution enters the range from outside
constexpr uint32_t VM_RUN_TO_STOP = 1;
constexpr uint32_t VM_RUN_STEP = 2;
constexpr uint32_t VM_RUN_RANGE_ENTRIES = 7;  // argument: how many range entries to pass
constexpr uint32_t VM_STATUS_NONE = 0, VM_STATUS_STOPPED = 1, VM_STATUS_LIMIT = 2, VM_STATUS_ACCESS = 3,
                   VM_STATUS_FAULT = 4, VM_STATUS_END = 5;
}  // namespace qe

struct IQEVM : IUnknown {
    virtual uint32_t LoadStream(IUnknown* stream) = 0;  // 3: lowest address of the image; 0 failure
    virtual uint32_t GetRegister(uint32_t index) = 0;   // 4: 0-7 x86 order, 8 EFLAGS, 9 EIP
    virtual void SetRegister(uint32_t index, uint32_t value) = 0;  // 5
    // 6, 7: {milliseconds, instructions}. The instruction limit ends a run with VM_STATUS_LIMIT. The
    // reference host keeps the time limit but lets no clock decide a run: its own watchdog stops
    // a request that takes too long, and voids the request's answer.
    virtual void GetRunLimits(uint32_t limits[2]) = 0;
    virtual void SetRunLimits(const uint32_t limits[2]) = 0;
    // 8: stop point {address, kind, length}; returns a non-zero handle, 0 on failure.
    virtual uint32_t AddStopPoint(uint32_t address, uint32_t kind, uint32_t length) = 0;
    virtual uint32_t RemoveStopPoint(uint32_t handle) = 0;          // 9: 1 when removed
    virtual uint32_t Run(uint32_t mode, uint32_t argument) = 0;     // 10: status
    virtual uint32_t ReadMemory(uint32_t address, void* buffer, uint32_t length) = 0;   // 11: bytes read
    virtual uint32_t WriteMemory(uint32_t address, const void* buffer, uint32_t length) = 0;  // 12
    // 13: first occurrence of pattern in mapped memory [start, start + length); 1 found.
    virtual uint32_t Search(uint32_t start, uint32_t length, const void* pattern, uint32_t patternLength,
                            uint32_t* found) = 0;
};

// What the engines tell the host while they work on one request (reference host). Optional: a
// host that registers nothing under PID_ROT_ScanReport is told nothing, and the engines work the
// same. Neither call changes what an engine answers.
struct IQEScanReport : IUnknown {
    // 3: the unit named `unitClass` (the class its table row names; a string that lives as long
    // as the module) is about to be asked NeedToScan/Scan or Kill.
    virtual void UnitStarted(const char* unitClass) = 0;
    // 4: the unit at work stopped early at a fixed limit of its own (an instruction budget, a step
    // cap, a size cap, a recursion depth) before it could decide; `what` names the limit
    // ("emulation steps"). The file's verdict is then incomplete, and the host shows it.
    virtual void LimitReached(const char* what) = 0;
};

// Instruction-length service.
struct IQEX86Assembler : IUnknown {
    // 3: length of the instruction at code (at most `available` bytes); 0 when it cannot be decoded.
    // bits = 16 or 32.
    virtual uint32_t GetInstructionLength(const void* code, uint32_t available, uint32_t bits) = 0;
};
