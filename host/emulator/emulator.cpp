#include "host/emulator/emulator_impl.h"

#include <unicorn/unicorn.h>

#include <algorithm>
#include <cstring>

namespace host {

namespace {

constexpr uint32_t kNoAddress = 0xFFFFFFFFu;
constexpr uint32_t kMaxJumpHops = 16;
constexpr uint32_t kBlockPage = 0x1000;
constexpr uint32_t kRealModeBlockArena = 0x200000;  // above the first MiB and the HMA

constexpr int kGeneralRegisters[8] = {UC_X86_REG_EAX, UC_X86_REG_ECX, UC_X86_REG_EDX, UC_X86_REG_EBX,
                                      UC_X86_REG_ESP, UC_X86_REG_EBP, UC_X86_REG_ESI, UC_X86_REG_EDI};
constexpr int kSegmentRegisters[6] = {UC_X86_REG_ES, UC_X86_REG_CS, UC_X86_REG_SS,
                                      UC_X86_REG_DS, UC_X86_REG_FS, UC_X86_REG_GS};

}  // namespace

std::unique_ptr<Emulator> Emulator::create(FileObject* file) { return std::make_unique<EmulatorImpl>(file); }

EmulatorImpl::EmulatorImpl(FileObject* file) : file_(file) {
    if (!file_) return;
    file_->AddRef();
    file_->watchBytes(this);
}

EmulatorImpl::~EmulatorImpl() {
    cpu_.reset();
    if (!file_) return;
    file_->unwatchBytes(this);
    file_->Release();
}

void EmulatorImpl::beforeBytesChange() {
    if (cpu_) cpu_->fillAll();
}

// --- Loading ---------------------------------------------------------------------------

bool EmulatorImpl::ensureLoaded() {
    if (!loadTried_) load();
    return cpu_ != nullptr;
}

bool EmulatorImpl::load() {
    loadTried_ = true;
    cpu_.reset();
    cpu_ = file_ ? loadProgram(file_->bytes(), &program_) : nullptr;
    dos_ = DosState{};
    returnToEntry_ = eventMask_ = interruptOrFar_ = containment_ = Condition{};
    status_ = firedKind_ = eventAddress_ = 0;
    stepsLeft_ = kDefaultStepLimit;
    executedSinceLoad_ = executedSinceReturnArmed_ = 0;
    untouchedSinceLoad_ = true;
    blocks_.clear();
    blockBytes_ = 0;
    return cpu_ != nullptr;
}

uint32_t EmulatorImpl::Restart() {
    if (inRun_) return 0;
    return load() ? 1 : 0;
}

// --- Run control -------------------------------------------------------------------------

uint32_t EmulatorImpl::GetStopStatus() { return status_; }

// Run-control settings load the program first: a later lazy load must not reset them.
void EmulatorImpl::SetStepLimit(uint32_t maxInstructions) {
    ensureLoaded();
    if (!inRun_) stepsLeft_ = maxInstructions;
}

uint32_t EmulatorImpl::SetStopCondition(const uint32_t* record) {
    if (!record || inRun_) return 0;
    ensureLoaded();
    Condition armed{true, 0, 0, 0};
    switch (record[0]) {
    case emu::STOP_RETURN_TO_ENTRY:  // p1, p2 are not read: callers leave them unset
        armed.p3 = record[3];
        returnToEntry_ = armed;
        executedSinceReturnArmed_ = 0;
        break;
    case emu::STOP_EVENT_MASK:
        armed.p1 = record[1], armed.p2 = record[2], armed.p3 = record[3];
        eventMask_ = armed;
        written_.clear();
        break;
    case emu::STOP_INTERRUPT_OR_FAR:  // p1 is not read
        armed.p2 = record[2];
        interruptOrFar_ = armed;
        break;
    case emu::STOP_CONTAINMENT:
        armed.p1 = record[1], armed.p2 = record[2];
        containment_ = armed;
        break;
    default:
        return 0;
    }
    untouchedSinceLoad_ = false;
    return 1;
}

uint32_t EmulatorImpl::ClearStopConditions() {
    if (inRun_) return 0;
    ensureLoaded();
    returnToEntry_ = eventMask_ = interruptOrFar_ = containment_ = Condition{};
    if (status_ == emu::STATUS_INTERRUPT || status_ == emu::STATUS_EVENT || status_ == emu::STATUS_CONTAINMENT)
        status_ = emu::STATUS_NONE;
    untouchedSinceLoad_ = false;
    return 1;
}

bool EmulatorImpl::anyConditionArmed() const {
    return returnToEntry_.armed || eventMask_.armed || interruptOrFar_.armed || containment_.armed;
}

EmulatorImpl::RunEnd EmulatorImpl::run(Goal goal, uint64_t count, QERunWhileCallback callback,
                                       const void* context) {
    if (inRun_) return RunEnd::Fault;  // run control from inside a RunWhile callback
    status_ = emu::STATUS_NONE;
    firedKind_ = eventAddress_ = 0;
    executedThisRun_ = 0;  // Step's answer, also for a run that never starts
    if (!ensureLoaded()) {
        status_ = emu::STATUS_FAULT;
        return RunEnd::Fault;
    }
    runRequest_ = &request();
    if (runRequest_->stopped()) {
        status_ = emu::STATUS_STEP_LIMIT;
        return RunEnd::Limit;
    }
    inRun_ = true;
    goal_ = goal;
    goalCount_ = count;
    callback_ = callback;
    callbackContext_ = context;
    pendingStatus_ = pendingKind_ = 0;
    farPending_ = false;
    end_ = RunEnd::None;
    trackWrites_ = eventMask_.p3 || (goal == Goal::Boundary && !anyConditionArmed());
    if (goal == Goal::Boundary && !anyConditionArmed()) written_.clear();
    untouchedSinceLoad_ = false;

    redirectPending_ = false;
    CpuExit exit = cpu_->run(cpu_->linearIp(), this);
    while (redirectPending_ && end_ == RunEnd::None) {
        redirectPending_ = false;
        deliverInterrupt();
        exit = cpu_->run(cpu_->linearIp(), this);
    }
    redirectPending_ = false;
    if (end_ == RunEnd::None) {
        if (exit == CpuExit::Fault || exit == CpuExit::FetchFault) {
            status_ = emu::STATUS_FAULT;
            end_ = RunEnd::Fault;
            eventAddress_ = uint32_t(currentAddress_);
            if (exit == CpuExit::Fault) uncountCurrent();
        } else if (exit == CpuExit::Halted) {
            status_ = emu::STATUS_ENDED;
            end_ = RunEnd::Ended;
        } else {
            end_ = RunEnd::Reached;
        }
    }
    // An event raised by the very last instruction the run executed.
    if (pendingStatus_ && status_ == emu::STATUS_NONE) {
        status_ = pendingStatus_;
        firedKind_ = pendingKind_;
    }
    inRun_ = false;
    trackWrites_ = false;
    callback_ = nullptr;
    runRequest_ = nullptr;
    return end_;
}

EngineRequest& EmulatorImpl::request() {
    EngineRequest* installed = EngineRequest::current();
    return installed ? *installed : ownRequest();
}

EngineRequest& EmulatorImpl::ownRequest() {
    if (!ownRequest_) ownRequest_.emplace(EngineRequest::Kind::Standalone);
    return *ownRequest_;
}

bool EmulatorImpl::beforeInstruction(uint64_t address, uint32_t) {
    currentAddress_ = address;
    auto stop = [this](RunEnd end, uint32_t status, uint32_t kind = 0) {
        end_ = end;
        status_ = status;
        firedKind_ = kind;
        return false;
    };
    // Events raised by the instruction just executed.
    if (farPending_) {
        farPending_ = false;
        if (!pendingStatus_) pendingStatus_ = emu::STATUS_EVENT, pendingKind_ = emu::STOP_INTERRUPT_OR_FAR;
    }
    if (pendingStatus_) {
        const uint32_t status = pendingStatus_, kind = pendingKind_;
        pendingStatus_ = pendingKind_ = 0;
        return stop(RunEnd::Condition, status, kind);
    }
    if (program_.kind == ProgramKind::Pe) {
        if (const ApiStub* stub = program_.stubAt(uint32_t(address))) {
            if (stub->action == ApiAction::ExitProcess) return stop(RunEnd::Ended, emu::STATUS_ENDED);
            if (stub->action == ApiAction::Unmodelled) {
                eventAddress_ = uint32_t(address);
                return stop(RunEnd::Ended, emu::STATUS_UNMODELLED_API);
            }
        }
    }
    switch (goal_) {
    case Goal::Steps:
        if (executedThisRun_ >= goalCount_) return stop(RunEnd::Reached, emu::STATUS_NONE);
        break;
    case Goal::AbsoluteCount:
        if (executedSinceLoad_ >= goalCount_) return stop(RunEnd::Reached, emu::STATUS_NONE);
        break;
    case Goal::While:
        if (callback_(callbackContext_) == 0) return stop(RunEnd::Callback, emu::STATUS_NONE);
        break;
    case Goal::Boundary:
        if (!anyConditionArmed() && executedThisRun_ > 0 && wasWritten(address)) {
            if (goalCount_ == 0) return stop(RunEnd::Reached, emu::STATUS_NONE);
            --goalCount_;
        }
        break;
    }
    if (returnToEntry_.armed && executedSinceReturnArmed_ > 0 && address == uint64_t(program_.entry) + returnToEntry_.p3)
        return stop(RunEnd::Condition, emu::STATUS_EVENT, emu::STOP_RETURN_TO_ENTRY);
    if (eventMask_.armed && eventMask_.p3 && executedThisRun_ > 0 && wasWritten(address))
        return stop(RunEnd::Condition, emu::STATUS_EVENT, emu::STOP_EVENT_MASK);
    if (containment_.armed && !contained(uint32_t(address)))
        return stop(RunEnd::Condition, emu::STATUS_CONTAINMENT, emu::STOP_CONTAINMENT);
    if (stepsLeft_ == 0) return stop(RunEnd::Limit, emu::STATUS_STEP_LIMIT);
    if (!runRequest_->admitInstruction()) return stop(RunEnd::Limit, emu::STATUS_STEP_LIMIT);

    --stepsLeft_;
    ++executedThisRun_;
    ++executedSinceLoad_;
    ++executedSinceReturnArmed_;
    if (interruptOrFar_.armed && isFarTransfer(address)) farPending_ = true;
    return true;
}

bool EmulatorImpl::onInterrupt(uint32_t number, bool software) {
    if (number == 1 && !software) return true;  // trap flag set by the program: nothing to report
    const bool reportable = software && ((eventMask_.armed && eventMask_.p1) ||
                                         (interruptOrFar_.armed && (interruptOrFar_.p2 == 0 || interruptOrFar_.p2 == number)));
    if (cpu_->realMode()) {
        // Past an INT, or on the faulting instruction of an exception.
        const uint32_t here = uint32_t(cpu_->linearIp());
        const bool fromHostHandler = software && here - 2 - uint32_t(kBiosSegment) * 16 < kHostHandlersSize;
        uint8_t vector[4] = {};
        cpu_->read(number * 4, vector, 4);
        const uint16_t offset = uint16_t(vector[0] | vector[1] << 8), segment = uint16_t(vector[2] | vector[3] << 8);
        if (!fromHostHandler && !(segment == kBiosSegment && offset == hostVectorOffset(number))) {
            // The program installed its own handler: it gets the interrupt, as on the CPU.
            redirectPending_ = true;
            redirectSegment_ = segment;
            redirectOffset_ = offset;
            if (reportable) raiseInterruptEvent(number);
            return false;
        }
        if (software) {
            if (serviceDosInterrupt(*cpu_, number, dos_) == DosOutcome::Terminated) {
                end_ = RunEnd::Ended;
                status_ = emu::STATUS_ENDED;
                return false;
            }
            // The INT inside the host's handler is the host's own, not an event of the program.
            if (reportable && !fromHostHandler) raiseInterruptEvent(number);
            return true;
        }
    }
    if (!software) {
        end_ = RunEnd::Fault;
        status_ = emu::STATUS_FAULT;
        eventAddress_ = number;
        uncountCurrent();
        return false;
    }
    // A protected-mode INT has no service here: it returns with nothing changed.
    if (reportable) raiseInterruptEvent(number);
    return true;
}

void EmulatorImpl::raiseInterruptEvent(uint32_t number) {
    pendingStatus_ = emu::STATUS_INTERRUPT;
    pendingKind_ = interruptOrFar_.armed ? emu::STOP_INTERRUPT_OR_FAR : emu::STOP_EVENT_MASK;
    eventAddress_ = number;
}

// Real-mode delivery: FLAGS, CS and IP pushed, IF and TF cleared, CS:IP from the vector.
// Done between runs: Unicorn ignores an IP written inside its interrupt hook.
void EmulatorImpl::deliverInterrupt() {
    const uint32_t flags = cpu_->reg(UC_X86_REG_EFLAGS), cs = cpu_->reg(UC_X86_REG_CS),
                   ip = cpu_->reg(UC_X86_REG_IP), ss = cpu_->reg(UC_X86_REG_SS), esp = cpu_->reg(UC_X86_REG_ESP);
    const uint16_t sp = uint16_t(esp - 6);
    const uint16_t frame[3] = {uint16_t(ip), uint16_t(cs), uint16_t(flags)};
    for (uint16_t i = 0; i < 3; ++i) {
        const uint8_t word[2] = {uint8_t(frame[i]), uint8_t(frame[i] >> 8)};
        cpu_->write(ss * 16 + uint16_t(sp + 2 * i), word, 2);
    }
    cpu_->setReg(UC_X86_REG_ESP, (esp & 0xFFFF0000u) | sp);
    cpu_->setReg(UC_X86_REG_EFLAGS, flags & ~0x300u);
    cpu_->setReg(UC_X86_REG_CS, redirectSegment_);
    cpu_->setReg(UC_X86_REG_IP, redirectOffset_);
}

void EmulatorImpl::onWrite(uint64_t address, uint32_t size) {
    if (trackWrites_) markWritten(address, size);
    if (eventMask_.armed && eventMask_.p2 && address < program_.imageEnd &&
        address + size > program_.imageStart && !pendingStatus_) {
        pendingStatus_ = emu::STATUS_EVENT;
        pendingKind_ = emu::STOP_EVENT_MASK;
        eventAddress_ = uint32_t(address);
    }
}

// The instruction the code hook let through faulted instead of completing.
void EmulatorImpl::uncountCurrent() {
    if (executedThisRun_ == 0) return;
    --executedThisRun_;
    --executedSinceLoad_;
    --executedSinceReturnArmed_;
    ++stepsLeft_;
}

void EmulatorImpl::markWritten(uint64_t address, uint32_t size) {
    for (uint64_t a = address; a < address + size; ++a) written_[a >> 12].set(a & 0xFFF);
}

bool EmulatorImpl::wasWritten(uint64_t address) const {
    auto it = written_.find(address >> 12);
    return it != written_.end() && it->second.test(address & 0xFFF);
}

bool EmulatorImpl::contained(uint32_t address) const {
    if (containment_.p1 || containment_.p2) return address - containment_.p1 < containment_.p2;
    if (address >= program_.imageStart && address < program_.imageEnd) return true;
    for (const Block& b : blocks_)
        if (address - b.address < b.size) return true;
    return false;
}

bool EmulatorImpl::isFarTransfer(uint64_t address) const {
    uint8_t code[8] = {};
    const uint32_t got = cpu_->read(address, code, sizeof code);
    uint32_t i = 0;
    while (i < got && i < 4 && (code[i] == 0x66 || code[i] == 0x67 || code[i] == 0x26 || code[i] == 0x2E ||
                                code[i] == 0x36 || code[i] == 0x3E || code[i] == 0x64 || code[i] == 0x65))
        ++i;
    if (i >= got) return false;
    switch (code[i]) {
    case 0xEA: case 0x9A: case 0xCA: case 0xCB: case 0xCF:
        return true;
    case 0xFF: {
        if (i + 1 >= got) return false;
        const uint8_t reg = (code[i + 1] >> 3) & 7;
        return (reg == 3 || reg == 5) && (code[i + 1] >> 6) != 3;
    }
    default:
        return false;
    }
}

uint32_t EmulatorImpl::Step(uint32_t count) {
    if (count == 0) return inRun_ ? 0 : 1;
    if (inRun_) return 0;
    run(Goal::Steps, count);
    return executedThisRun_ == count ? 1 : 0;
}

uint32_t EmulatorImpl::RunWhile(QERunWhileCallback callback, const void* context) {
    if (!callback || inRun_) return 0;
    return run(Goal::While, 0, callback, context) == RunEnd::Callback ? 1 : 0;
}

uint32_t EmulatorImpl::RunTo(uint32_t kind, uint32_t count) {
    if (inRun_ || !ensureLoaded()) return 0;
    if (kind == 0) {
        if (executedSinceLoad_ > count) {
            // Back to the load state, keeping what the caller set up.
            const Condition keep[4] = {returnToEntry_, eventMask_, interruptOrFar_, containment_};
            const uint64_t steps = stepsLeft_;
            if (!load()) return 0;
            returnToEntry_ = keep[0], eventMask_ = keep[1], interruptOrFar_ = keep[2], containment_ = keep[3];
            stepsLeft_ = steps;
        }
        status_ = emu::STATUS_NONE;
        if (executedSinceLoad_ == count) return 1;
        return run(Goal::AbsoluteCount, count) == RunEnd::Reached ? 1 : 0;
    }
    if (kind == 1) {
        if (untouchedSinceLoad_) {
            status_ = emu::STATUS_NONE;
            return 1;
        }
        const RunEnd end = run(Goal::Boundary, count);
        return end == RunEnd::Reached || end == RunEnd::Condition ? 1 : 0;
    }
    return 0;
}

uint32_t EmulatorImpl::GetStopInfo(uint32_t* record) {
    if (record) {
        record[0] = status_;
        record[1] = loadTried_ && cpu_ ? currentLinear() : kNoAddress;
        record[2] = firedKind_;
        record[3] = eventAddress_;
        record[4] = uint32_t(std::min<uint64_t>(executedSinceLoad_, 0xFFFFFFFFu));
    }
    return status_;
}

// --- Addresses -----------------------------------------------------------------------------

uint32_t EmulatorImpl::currentLinear() const {
    return inRun_ ? uint32_t(currentAddress_) : uint32_t(cpu_->linearIp());
}

uint32_t EmulatorImpl::GetEntryAddress(uint32_t selector, uint32_t* out) {
    if (!out || selector != 0 || !ensureLoaded()) return 0;
    *out = program_.entry;
    return 1;
}

uint32_t EmulatorImpl::GetImageBase() { return ensureLoaded() ? program_.imageBase : 0; }

bool EmulatorImpl::followJump(uint16_t* segment, uint32_t* address) const {
    uint8_t c[6] = {};
    if (cpu_->read(*address, c, sizeof c) < 2) return false;
    const auto word = [&](int at) { return uint16_t(c[at] | c[at + 1] << 8); };
    const auto dword = [&](int at) { return uint32_t(word(at) | uint32_t(word(at + 2)) << 16); };
    if (cpu_->realMode()) {
        // Relative targets wrap within the 64 KiB segment.
        const uint32_t base = uint32_t(*segment) * 16;
        const uint16_t ip = uint16_t(*address - base);
        switch (c[0]) {
        case 0xE9: case 0xE8: *address = base + uint16_t(ip + 3 + word(1)); return true;
        case 0xEB: *address = base + uint16_t(ip + 2 + int8_t(c[1])); return true;
        case 0xEA:
            *segment = word(3);
            *address = uint32_t(*segment) * 16 + word(1);
            return true;
        default: return false;
        }
    }
    switch (c[0]) {
    case 0xE9: case 0xE8: *address += 5 + dword(1); break;
    case 0xEB: *address += 2 + int8_t(c[1]); break;
    case 0xFF: {
        if (c[1] != 0x25) return false;
        uint8_t target[4];
        if (cpu_->read(dword(2), target, 4) != 4) return false;
        *address = uint32_t(target[0] | target[1] << 8 | target[2] << 16 | uint32_t(target[3]) << 24);
        break;
    }
    default: return false;
    }
    return cpu_->isMapped(*address);
}

uint32_t EmulatorImpl::GetImageAddress(uint32_t mode, uint32_t selector, uint32_t* out1, uint32_t* out2,
                                       uint32_t reserved) {
    if (reserved != 0 || !ensureLoaded()) return 0;
    uint32_t first = 0, second = 0;
    if (mode == 0) {
        if (selector > kMaxJumpHops) return 0;
        first = second = program_.entry;
        uint16_t segment = program_.entrySegment;
        for (uint32_t hop = 0; hop < selector; ++hop)
            if (!followJump(&segment, &second)) return 0;
    } else if (mode == 1 && selector == 0) {
        first = currentLinear();
        if (!program_.fileOffsetOf(first, &second)) second = kNoAddress;
    } else {
        return 0;
    }
    if (out1) *out1 = first;
    if (out2) *out2 = second;
    return 1;
}

uint32_t EmulatorImpl::AddressToFileOffset(uint32_t address, uint32_t* offset) {
    uint32_t at = 0;
    if (!offset || !ensureLoaded() || !program_.fileOffsetOf(address, &at)) return 0;
    *offset = at;
    return 1;
}

// --- Memory and registers ------------------------------------------------------------------

uint32_t EmulatorImpl::ReadMemory(uint32_t address, void* buffer, uint32_t length) {
    if (!buffer || !ensureLoaded()) return 0;
    if (length == 0) return 1;
    const uint32_t room = uint32_t(std::min<uint64_t>(length, 0x100000000ull - address));
    return cpu_->read(address, buffer, room) == length ? 1 : 0;
}

// Same contract as ReadMemory: the mapped prefix is copied, 1 only for the whole range.
uint32_t EmulatorImpl::ReadMemoryBlock(uint32_t address, void* buffer, uint32_t length) {
    return ReadMemory(address, buffer, length);
}

uint32_t EmulatorImpl::WriteMemory(uint32_t address, const void* buffer, uint32_t length) {
    if (!buffer || !ensureLoaded()) return 0;
    if (length == 0) return 1;
    const uint32_t room = uint32_t(std::min<uint64_t>(length, 0x100000000ull - address));
    return cpu_->write(address, buffer, room) == length ? 1 : 0;
}

uint32_t EmulatorImpl::GetRegister(uint32_t index) {
    if (index >= 8 || !ensureLoaded()) return 0;
    return cpu_->reg(kGeneralRegisters[index]);
}

void EmulatorImpl::SetRegister(uint32_t index, uint32_t value) {
    if (index < 8 && !inRun_ && ensureLoaded()) cpu_->setReg(kGeneralRegisters[index], value);
}

uint32_t EmulatorImpl::GetIP() {
    if (!ensureLoaded()) return kNoAddress;
    if (!inRun_) return cpu_->realMode() ? cpu_->reg(UC_X86_REG_IP) : cpu_->reg(UC_X86_REG_EIP);
    if (!cpu_->realMode()) return uint32_t(currentAddress_);
    return uint32_t(currentAddress_ - uint64_t(cpu_->reg(UC_X86_REG_CS)) * 16) & 0xFFFF;
}

void EmulatorImpl::SetIP(uint32_t address) {
    if (inRun_ || !ensureLoaded()) return;
    if (cpu_->realMode())
        cpu_->setReg(UC_X86_REG_IP, address & 0xFFFF);
    else
        cpu_->setReg(UC_X86_REG_EIP, address);
}

uint32_t EmulatorImpl::GetFlags() { return ensureLoaded() ? cpu_->reg(UC_X86_REG_EFLAGS) : 0; }

void EmulatorImpl::SetFlags(uint32_t flags) {
    if (!inRun_ && ensureLoaded()) cpu_->setReg(UC_X86_REG_EFLAGS, flags);
}

// Indexes 0-3 as the interface names them; 4 FS and 5 GS as well.
uint32_t EmulatorImpl::GetSegment(uint32_t index) {
    if (index >= 6 || !ensureLoaded()) return 0;
    return cpu_->reg(kSegmentRegisters[index]);
}

uint32_t EmulatorImpl::AllocBlock(uint32_t* record, uint32_t size) {
    if (!record || size == 0 || inRun_ || !ensureLoaded()) return 0;
    const uint64_t rounded = (uint64_t(size) + kBlockPage - 1) / kBlockPage * kBlockPage;
    if (blockBytes_ + rounded > kBlockArenaSize) return 0;
    const uint32_t arena = cpu_->realMode() ? kRealModeBlockArena : program_.blockArena;
    if (!arena) return 0;
    const uint32_t address = arena + blockBytes_;
    if (!cpu_->map(address, rounded)) return 0;
    blockBytes_ += uint32_t(rounded);
    const Block block{nextBlockId_++, address, uint32_t(rounded)};
    blocks_.push_back(block);
    record[0] = block.address;
    record[1] = 7;  // read, write, execute
    record[2] = block.id;
    record[3] = block.size;
    record[4] = 0;
    return 1;
}

void EmulatorImpl::ResetMemoryBlocks(uint32_t blockId) {
    if (inRun_ || !cpu_) return;
    for (auto it = blocks_.begin(); it != blocks_.end();) {
        if (blockId == 0 || it->id == blockId) {
            cpu_->unmap(it->address, it->size);
            it = blocks_.erase(it);
        } else {
            ++it;
        }
    }
    if (blocks_.empty()) blockBytes_ = 0;  // the arena is reused only once it is empty
}

}  // namespace host
