// The host's x86 emulator for the file of one request, plus access to the real file.
// Not reference-counted: the host owns it for the request. Addresses and offsets are
// 32-bit; "bool" results are exactly 1 for success and 0 for failure.
#pragma once

#include <cstdint>

#define QE_EXEC_UNUSED_SLOT(n) \
    virtual uint32_t Unused##n() { return 0; }

// Callback of RunWhile: the run goes on while it answers non-zero.
using QERunWhileCallback = int (*)(const void* context);

struct IExecExport {
    virtual uint32_t GetStopStatus() = 0;                                  // 0
    virtual uint32_t GetEntryAddress(uint32_t selector, uint32_t* out) = 0;  // 1
    virtual uint32_t Restart() = 0;                                        // 2
    virtual void ResetMemoryBlocks(uint32_t blockId) = 0;                  // 3
    virtual void SetStepLimit(uint32_t maxInstructions) = 0;               // 4
    virtual uint32_t SetStopCondition(const uint32_t* record) = 0;         // 5: {kind, p1, p2, p3}
    virtual uint32_t ClearStopConditions() = 0;                            // 6
    QE_EXEC_UNUSED_SLOT(7)
    QE_EXEC_UNUSED_SLOT(8)
    QE_EXEC_UNUSED_SLOT(9)
    virtual uint32_t GetImageBase() = 0;                                   // 10
    virtual uint32_t Step(uint32_t count) = 0;                             // 11
    virtual uint32_t RunWhile(QERunWhileCallback callback, const void* context) = 0;  // 12
    virtual uint32_t RunTo(uint32_t kind, uint32_t count) = 0;             // 13
    virtual uint32_t GetStopInfo(uint32_t* record) = 0;                    // 14: record[5]
    virtual uint32_t GetImageAddress(uint32_t mode, uint32_t selector, uint32_t* out1, uint32_t* out2,
                                     uint32_t reserved) = 0;               // 15
    virtual uint32_t ReadMemory(uint32_t address, void* buffer, uint32_t length) = 0;        // 16
    virtual uint32_t ReadMemoryBlock(uint32_t address, void* buffer, uint32_t length) = 0;   // 17
    virtual uint32_t WriteMemory(uint32_t address, const void* buffer, uint32_t length) = 0; // 18
    virtual uint32_t GetRegister(uint32_t index) = 0;                      // 19: EAX 0 ... EDI 7
    virtual void SetRegister(uint32_t index, uint32_t value) = 0;          // 20
    virtual uint32_t GetIP() = 0;                                          // 21: all ones = none
    virtual void SetIP(uint32_t address) = 0;                              // 22
    virtual uint32_t GetFlags() = 0;                                       // 23
    virtual void SetFlags(uint32_t flags) = 0;                             // 24
    virtual uint32_t GetSegment(uint32_t index) = 0;                       // 25: ES 0, CS 1, SS 2, DS 3
    QE_EXEC_UNUSED_SLOT(26)
    virtual uint32_t ReadFileSeq(void* buffer, uint32_t length) = 0;                   // 27
    virtual uint32_t ReadFile(void* buffer, uint32_t offset, uint32_t length) = 0;     // 28: bytes read
    virtual uint32_t WriteFileSeq(const void* buffer, uint32_t length) = 0;            // 29
    virtual uint32_t WriteFile(const void* buffer, uint32_t offset, uint32_t length) = 0;  // 30: bytes written
    virtual void SetFilePos(uint32_t offset, uint32_t origin) = 0;                     // 31
    QE_EXEC_UNUSED_SLOT(32)
    virtual uint32_t GetFileSize() = 0;                                    // 33: all ones = failure
    virtual uint32_t SetFileSize(uint32_t size) = 0;                       // 34
    virtual uint32_t DeleteFile() = 0;                                     // 35
    virtual uint32_t MoveFileData(uint32_t dst, uint32_t src, uint32_t length, uint32_t flag) = 0;  // 36
    QE_EXEC_UNUSED_SLOT(37)
    QE_EXEC_UNUSED_SLOT(38)
    virtual uint32_t PatchFile(uint32_t offset, const void* buffer, uint32_t length) = 0;  // 39
    virtual uint32_t FillFile(uint32_t offset, uint32_t byte, uint32_t length) = 0;        // 40
    virtual uint32_t CutFile(uint32_t offset, uint32_t length) = 0;                       // 41
    virtual uint32_t CommitImage() = 0;                                    // 42: memory image back to the file
    virtual uint32_t Search(uint32_t start, uint32_t length, const void* pattern, uint32_t patternLength,
                            uint32_t* found, uint32_t inMemory) = 0;       // 43
    virtual uint32_t AddressToFileOffset(uint32_t address, uint32_t* offset) = 0;  // 44
    virtual uint32_t AllocBlock(uint32_t* record, uint32_t size) = 0;      // 45: record[5]
};

// Run control: how a run ended and what a caller may conclude from it.
//
//   status (GetStopStatus)          the run ended because                 the caller may
//   0 EXEC_STATUS_NONE              it did what was asked (count reached,  read registers and memory
//                                   RunWhile callback, RunTo target)       as the program left them there
//   1 EXEC_STATUS_STEP_LIMIT        the step limit (SetStepLimit) or the   conclude nothing about the
//                                   host's own instruction budget ran out  program: the point waited for
//                                   - or the host stopped a run that       was not reached. A scan finds
//                                   took too long                          nothing; a kill fails
//   2 EXEC_STATUS_FAULT             an instruction could not execute       conclude only what a fault means
//                                                                          for the virus it looks for
//   3 EXEC_STATUS_INTERRUPT         an armed interrupt condition fired     read state at the interrupt
//   4 EXEC_STATUS_ENDED             the program ended                      read the final state
//   5 EXEC_STATUS_UNMODELLED_API    a call into an import the host         conclude nothing further
//                                   does not model
//   7 EXEC_STATUS_EVENT             an armed address / memory / far-       read state at the event; which
//                                   transfer / return-to-entry condition   condition fired is in GetStopInfo
//   8 EXEC_STATUS_CONTAINMENT       the IP left the containment range      read state where it left
//
// A caller reads results only from a run that ended the way it asked: the status it waits for,
// and for conditions the kind in GetStopInfo. RunTo and Step answer 1 only when the run ended
// as asked; RunWhile answers 1 only when the callback ended it.
namespace qe {
constexpr uint32_t EXEC_STATUS_NONE = 0, EXEC_STATUS_STEP_LIMIT = 1, EXEC_STATUS_FAULT = 2,
                   EXEC_STATUS_INTERRUPT = 3, EXEC_STATUS_ENDED = 4, EXEC_STATUS_UNMODELLED_API = 5,
                   EXEC_STATUS_EVENT = 7, EXEC_STATUS_CONTAINMENT = 8;
// Stop-condition kinds of SetStopCondition {kind, p1, p2, p3} and GetStopInfo's record[2].
constexpr uint32_t EXEC_STOP_RETURN_TO_ENTRY = 4, EXEC_STOP_EVENT_MASK = 7, EXEC_STOP_INTERRUPT_OR_FAR = 14,
                   EXEC_STOP_CONTAINMENT = 15;
// RunTo kinds.
constexpr uint32_t EXEC_RUN_TO_ABSOLUTE = 0, EXEC_RUN_TO_BOUNDARY = 1;
constexpr uint32_t EXEC_REG_EAX = 0, EXEC_REG_ECX = 1, EXEC_REG_EDX = 2, EXEC_REG_EBX = 3, EXEC_REG_ESP = 4,
                   EXEC_REG_EBP = 5, EXEC_REG_ESI = 6, EXEC_REG_EDI = 7;
constexpr uint32_t EXEC_SEG_ES = 0, EXEC_SEG_CS = 1, EXEC_SEG_SS = 2, EXEC_SEG_DS = 3;
}  // namespace qe
