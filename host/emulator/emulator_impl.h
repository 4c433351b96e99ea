// The emulator's implementation, shared by its run-control and file-operation sources.
#pragma once

#include <bitset>
#include <optional>
#include <unordered_map>
#include <vector>

#include "host/emulator/dos_services.h"
#include "host/emulator/emulator.h"
#include "host/emulator/program_loader.h"
#include "host/emulator/x86_cpu.h"
#include "host/engine_request.h"

namespace host {

class EmulatorImpl final : public Emulator, private CpuObserver, private FileObject::BytesWatcher {
public:
    explicit EmulatorImpl(FileObject* file);
    ~EmulatorImpl() override;

    void setCpuBudget(std::chrono::milliseconds budget) override { ownRequest().setCpuBudget(budget); }
    uint32_t GetStopStatus() override;
    uint32_t GetEntryAddress(uint32_t selector, uint32_t* out) override;
    uint32_t Restart() override;
    void ResetMemoryBlocks(uint32_t blockId) override;
    void SetStepLimit(uint32_t maxInstructions) override;
    uint32_t SetStopCondition(const uint32_t* record) override;
    uint32_t ClearStopConditions() override;
    uint32_t GetImageBase() override;
    uint32_t Step(uint32_t count) override;
    uint32_t RunWhile(QERunWhileCallback callback, const void* context) override;
    uint32_t RunTo(uint32_t kind, uint32_t count) override;
    uint32_t GetStopInfo(uint32_t* record) override;
    uint32_t GetImageAddress(uint32_t mode, uint32_t selector, uint32_t* out1, uint32_t* out2,
                             uint32_t reserved) override;
    uint32_t ReadMemory(uint32_t address, void* buffer, uint32_t length) override;
    uint32_t ReadMemoryBlock(uint32_t address, void* buffer, uint32_t length) override;
    uint32_t WriteMemory(uint32_t address, const void* buffer, uint32_t length) override;
    uint32_t GetRegister(uint32_t index) override;
    void SetRegister(uint32_t index, uint32_t value) override;
    uint32_t GetIP() override;
    void SetIP(uint32_t address) override;
    uint32_t GetFlags() override;
    void SetFlags(uint32_t flags) override;
    uint32_t GetSegment(uint32_t index) override;
    uint32_t ReadFileSeq(void* buffer, uint32_t length) override;
    uint32_t ReadFile(void* buffer, uint32_t offset, uint32_t length) override;
    uint32_t WriteFileSeq(const void* buffer, uint32_t length) override;
    uint32_t WriteFile(const void* buffer, uint32_t offset, uint32_t length) override;
    void SetFilePos(uint32_t offset, uint32_t origin) override;
    uint32_t GetFileSize() override;
    uint32_t SetFileSize(uint32_t size) override;
    uint32_t DeleteFile() override;
    uint32_t MoveFileData(uint32_t dst, uint32_t src, uint32_t length, uint32_t flag) override;
    uint32_t PatchFile(uint32_t offset, const void* buffer, uint32_t length) override;
    uint32_t FillFile(uint32_t offset, uint32_t byte, uint32_t length) override;
    uint32_t CutFile(uint32_t offset, uint32_t length) override;
    uint32_t CommitImage() override;
    uint32_t Search(uint32_t start, uint32_t length, const void* pattern, uint32_t patternLength,
                    uint32_t* found, uint32_t inMemory) override;
    uint32_t AddressToFileOffset(uint32_t address, uint32_t* offset) override;
    uint32_t AllocBlock(uint32_t* record, uint32_t size) override;

private:
    struct Condition {
        bool armed = false;
        uint32_t p1 = 0, p2 = 0, p3 = 0;
    };
    enum class Goal { Steps, AbsoluteCount, Boundary, While };
    enum class RunEnd { None, Reached, Condition, Callback, Limit, Fault, Ended };
    struct Block {
        uint32_t id, address, size;
    };

    bool ensureLoaded();
    bool load();
    bool anyConditionArmed() const;
    RunEnd run(Goal goal, uint64_t count, QERunWhileCallback callback = nullptr, const void* context = nullptr);
    bool contained(uint32_t address) const;
    bool isFarTransfer(uint64_t address) const;
    void uncountCurrent();
    void raiseInterruptEvent(uint32_t number);
    void deliverInterrupt();
    void markWritten(uint64_t address, uint32_t size);
    bool wasWritten(uint64_t address) const;
    bool followJump(uint16_t* segment, uint32_t* address) const;
    uint32_t currentLinear() const;
    size_t fileSize() const;
    bool growTo(uint64_t size);  // zero-fills; false past kMaxFileGrowth or out of memory
    EngineRequest& request();     // the thread's request, or this emulator's own outside any
    EngineRequest& ownRequest();  // made when first needed: most emulators only run inside one

    // CpuObserver
    bool beforeInstruction(uint64_t address, uint32_t size) override;
    bool onInterrupt(uint32_t number, bool software) override;
    void onWrite(uint64_t address, uint32_t size) override;
    // BytesWatcher: the image still filled lazily from the file takes its bytes first.
    void beforeBytesChange() override;

    FileObject* file_;
    std::unique_ptr<X86Cpu> cpu_;
    LoadedProgram program_;
    bool loadTried_ = false;
    DosState dos_;
    uint32_t filePosition_ = 0;

    Condition returnToEntry_, eventMask_, interruptOrFar_, containment_;
    uint32_t status_ = 0;
    uint32_t firedKind_ = 0;
    uint32_t eventAddress_ = 0;
    uint64_t stepsLeft_ = kDefaultStepLimit;
    std::optional<EngineRequest> ownRequest_;  // bounds runs outside any request
    EngineRequest* runRequest_ = nullptr;  // the request the run under way counts against
    uint64_t executedSinceLoad_ = 0;
    uint64_t executedSinceReturnArmed_ = 0;
    bool untouchedSinceLoad_ = true;
    std::vector<Block> blocks_;
    uint32_t blockBytes_ = 0;
    uint32_t nextBlockId_ = 1;

    // State of the run in progress.
    bool inRun_ = false;
    Goal goal_ = Goal::Steps;
    uint64_t goalCount_ = 0;
    QERunWhileCallback callback_ = nullptr;
    const void* callbackContext_ = nullptr;
    uint64_t executedThisRun_ = 0;
    uint64_t currentAddress_ = 0;
    uint32_t pendingStatus_ = 0;
    uint32_t pendingKind_ = 0;
    bool farPending_ = false;
    bool redirectPending_ = false;  // an interrupt to deliver through the program's vector
    uint16_t redirectSegment_ = 0, redirectOffset_ = 0;
    RunEnd end_ = RunEnd::None;
    bool trackWrites_ = false;
    std::unordered_map<uint64_t, std::bitset<4096>> written_;  // by page
};

}  // namespace host
