#include "host/emulator/vm.h"

#include <Zydis/Zydis.h>
#include <unicorn/unicorn.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <new>
#include <optional>
#include <vector>

#include "host/emulator/program_loader.h"
#include "host/emulator/x86_cpu.h"
#include "host/engine_request.h"
#include "host/qxbase/ref_count.h"
#include "sdk/identifiers.h"

namespace host {

namespace {

constexpr uint32_t kDefaultInstructionLimit = 10'000'000;
// The time limit a unit may set is kept and answered by GetRunLimits, but it decides nothing: a
// verdict must not depend on how busy the machine is. The instruction limit decides; the engine
// request's instruction budget and watchdog (engine_request.h) bound what time would.
constexpr uint32_t kDefaultMilliseconds = 2000;
constexpr uint64_t kMaxStreamBytes = 256u << 20;
constexpr uint32_t kMaxMemorySearch = 64u << 20;

constexpr int kRegisters[10] = {UC_X86_REG_EAX, UC_X86_REG_ECX, UC_X86_REG_EDX, UC_X86_REG_EBX, UC_X86_REG_ESP,
                                UC_X86_REG_EBP, UC_X86_REG_ESI, UC_X86_REG_EDI, UC_X86_REG_EFLAGS, UC_X86_REG_EIP};

class Vm final : public IQEVM, private CpuObserver {
public:
    Vm() { ZydisDecoderInit(&decoder_, ZYDIS_MACHINE_MODE_LEGACY_32, ZYDIS_STACK_WIDTH_32); }

    QRESULT QueryInterface(const GUID& iid, void** out) override {
        return answerInterface<Vm, IQEVM>(this, qe::IID_IQEVM, iid, out);
    }
    uint32_t AddRef() override { return refs_.add(); }
    uint32_t Release() override {
        const uint32_t left = refs_.release();
        if (left == 0) delete this;
        return left;
    }

    uint32_t LoadStream(IUnknown* object) override {
        cpu_.reset();
        program_ = LoadedProgram{};
        stopPoints_.clear();
        IQEStream* stream = nullptr;
        if (!object || object->QueryInterface(qe::IID_IQEStream, reinterpret_cast<void**>(&stream)) != QE_OK)
            return 0;
        const bool read = readAll(stream, &bytes_);
        stream->Release();
        if (!read) return 0;
        LoadedProgram program;
        auto cpu = loadProgram(bytes_, &program);
        if (!cpu || program.kind != ProgramKind::Pe) return 0;
        cpu_ = std::move(cpu);
        program_ = std::move(program);
        previousInRange_.clear();
        return program_.imageStart;
    }

    uint32_t GetRegister(uint32_t index) override {
        return cpu_ && index < 10 ? cpu_->reg(kRegisters[index]) : 0;
    }
    void SetRegister(uint32_t index, uint32_t value) override {
        if (cpu_ && index < 10 && !inRun_) cpu_->setReg(kRegisters[index], value);
    }
    void GetRunLimits(uint32_t limits[2]) override {
        if (!limits) return;
        limits[0] = limitMilliseconds_;
        limits[1] = limitInstructions_;
    }
    void SetRunLimits(const uint32_t limits[2]) override {
        if (!limits || inRun_) return;
        limitMilliseconds_ = limits[0];
        limitInstructions_ = limits[1];
    }

    uint32_t AddStopPoint(uint32_t address, uint32_t kind, uint32_t length) override {
        if (!cpu_ || inRun_) return 0;
        if (kind != qe::VM_STOP_EXECUTE && kind != qe::VM_STOP_WRITE && kind != qe::VM_STOP_ACCESS &&
            kind != qe::VM_STOP_RANGE_ENTRY)
            return 0;
        if (kind == qe::VM_STOP_RANGE_ENTRY && length == 0) return 0;
        StopPoint point{nextHandle_++, address, kind, std::max<uint32_t>(length, 1)};
        stopPoints_.push_back(point);
        previousInRange_.push_back(inRange(point, uint32_t(cpu_->linearIp())));
        return point.handle;
    }
    uint32_t RemoveStopPoint(uint32_t handle) override {
        if (inRun_) return 0;
        for (size_t i = 0; i < stopPoints_.size(); ++i) {
            if (stopPoints_[i].handle != handle) continue;
            stopPoints_.erase(stopPoints_.begin() + ptrdiff_t(i));
            previousInRange_.erase(previousInRange_.begin() + ptrdiff_t(i));
            return 1;
        }
        return 0;
    }

    uint32_t Run(uint32_t mode, uint32_t argument) override {
        if (!cpu_ || inRun_) return qe::VM_STATUS_NONE;
        if (mode != qe::VM_RUN_TO_STOP && mode != qe::VM_RUN_STEP && mode != qe::VM_RUN_RANGE_ENTRIES)
            return qe::VM_STATUS_NONE;
        inRun_ = true;
        mode_ = mode;
        entriesWanted_ = argument;
        entriesSeen_ = 0;
        executed_ = 0;
        first_ = true;
        status_ = qe::VM_STATUS_NONE;
        EngineRequest* installed = EngineRequest::current();
        if (!installed && !ownRequest_) ownRequest_.emplace(EngineRequest::Kind::Standalone);
        runRequest_ = installed ? installed : &*ownRequest_;
        if (runRequest_->stopped()) {
            inRun_ = false;
            return status_ = qe::VM_STATUS_LIMIT;
        }
        const CpuExit exit = cpu_->run(cpu_->linearIp(), this);
        if (status_ == qe::VM_STATUS_NONE) {
            if (exit == CpuExit::Fault || exit == CpuExit::FetchFault) status_ = qe::VM_STATUS_FAULT;
            else if (exit == CpuExit::Halted) status_ = qe::VM_STATUS_END;
            else status_ = qe::VM_STATUS_STOPPED;
        }
        inRun_ = false;
        return status_;
    }

    uint32_t ReadMemory(uint32_t address, void* buffer, uint32_t length) override {
        if (!cpu_ || !buffer) return 0;
        return cpu_->read(address, buffer, uint32_t(std::min<uint64_t>(length, 0x100000000ull - address)));
    }
    uint32_t WriteMemory(uint32_t address, const void* buffer, uint32_t length) override {
        if (!cpu_ || !buffer || inRun_) return 0;
        return cpu_->write(address, buffer, uint32_t(std::min<uint64_t>(length, 0x100000000ull - address)));
    }
    uint32_t Search(uint32_t start, uint32_t length, const void* pattern, uint32_t patternLength,
                    uint32_t* found) override {
        if (!cpu_ || !pattern || !found || patternLength == 0 || length < patternLength) return 0;
        const uint64_t wanted = std::min<uint64_t>({length, 0x100000000ull - start, kMaxMemorySearch});
        const uint64_t span = cpu_->mappedRun(start, wanted);
        if (span < patternLength) return 0;
        std::vector<uint8_t> window(span);
        const uint32_t got = cpu_->read(start, window.data(), uint32_t(span));
        const auto* needle = static_cast<const uint8_t*>(pattern);
        auto hit = std::search(window.begin(), window.begin() + got, needle, needle + patternLength);
        if (hit == window.begin() + got) return 0;
        *found = start + uint32_t(hit - window.begin());
        return 1;
    }

private:
    struct StopPoint {
        uint32_t handle, address, kind, length;
    };

    static bool readAll(IQEStream* stream, std::vector<uint8_t>* bytes) {
        uint32_t low = 0, high = 0;
        uint64_t position = 0;
        if (stream->GetSize(&low, &high) != QE_OK || stream->Tell(&position) != QE_OK) return false;
        const uint64_t size = uint64_t(high) << 32 | low;
        if (size == 0 || size > kMaxStreamBytes) return false;
        bytes->resize(size_t(size));
        uint32_t done = 0;
        const bool ok = stream->Seek(0, QE_SEEK_SET, nullptr) == QE_OK &&
                        stream->Read(bytes->data(), uint32_t(size), &done) == QE_OK && done == size;
        stream->Seek(int64_t(position), QE_SEEK_SET, nullptr);
        return ok;
    }

    static bool inRange(const StopPoint& p, uint32_t address) { return address - p.address < p.length; }

    // An instruction decoded once: a run with a write or access point checks every
    // instruction it executes, and loops execute the same ones again.
    struct Decoded {
        uint32_t address = 0;
        uint8_t length = 0;  // 0: empty
        uint8_t bytes[ZYDIS_MAX_INSTRUCTION_LENGTH] = {};
        bool accessesMemory = false;
        ZydisDecodedInstruction instruction;
        ZydisDecodedOperand operands[ZYDIS_MAX_OPERAND_COUNT];
    };
    static constexpr uint32_t kDecodedSlots = 256;

    // The instruction at `address`, from the cache when its bytes are unchanged; null when
    // it cannot be decoded.
    const Decoded* decodedAt(uint64_t address) {
        uint8_t code[ZYDIS_MAX_INSTRUCTION_LENGTH];
        const uint32_t got = cpu_->read(address, code, sizeof code);
        if (!got) return nullptr;
        if (decoded_.empty()) decoded_.resize(kDecodedSlots);
        Decoded& slot = decoded_[address % kDecodedSlots];
        if (slot.length && slot.address == uint32_t(address) && slot.length <= got &&
            std::equal(code, code + slot.length, slot.bytes))
            return &slot;
        slot.length = 0;
        if (!ZYAN_SUCCESS(ZydisDecoderDecodeFull(&decoder_, code, got, &slot.instruction, slot.operands))) return nullptr;
        slot.address = uint32_t(address);
        slot.length = slot.instruction.length;
        std::copy(code, code + slot.length, slot.bytes);
        slot.accessesMemory = false;
        for (uint8_t i = 0; i < slot.instruction.operand_count; ++i) {
            const ZydisDecodedOperand& op = slot.operands[i];
            slot.accessesMemory |= op.type == ZYDIS_OPERAND_TYPE_MEMORY && op.mem.type != ZYDIS_MEMOP_TYPE_AGEN;
        }
        return &slot;
    }

    // Whether the instruction at `address` reads or writes memory overlapping a write or
    // access point (`writesOnly` for write points).
    bool touches(uint64_t address, const StopPoint& point) {
        const Decoded* decoded = decodedAt(address);
        if (!decoded || !decoded->accessesMemory) return false;
        const ZydisDecodedInstruction& instruction = decoded->instruction;
        const ZydisDecodedOperand* operands = decoded->operands;
        ZydisRegisterContext context{};
        const ZydisRegister names[8] = {ZYDIS_REGISTER_EAX, ZYDIS_REGISTER_ECX, ZYDIS_REGISTER_EDX, ZYDIS_REGISTER_EBX,
                                        ZYDIS_REGISTER_ESP, ZYDIS_REGISTER_EBP, ZYDIS_REGISTER_ESI, ZYDIS_REGISTER_EDI};
        const ZydisRegister wide[8] = {ZYDIS_REGISTER_RAX, ZYDIS_REGISTER_RCX, ZYDIS_REGISTER_RDX, ZYDIS_REGISTER_RBX,
                                       ZYDIS_REGISTER_RSP, ZYDIS_REGISTER_RBP, ZYDIS_REGISTER_RSI, ZYDIS_REGISTER_RDI};
        for (int i = 0; i < 8; ++i) {
            // Zydis may look a register up by its widest form.
            context.values[names[i]] = context.values[wide[i]] = cpu_->reg(kRegisters[i]);
        }
        for (uint8_t i = 0; i < instruction.operand_count; ++i) {
            const ZydisDecodedOperand& op = operands[i];
            if (op.type != ZYDIS_OPERAND_TYPE_MEMORY || op.mem.type == ZYDIS_MEMOP_TYPE_AGEN) continue;
            if (point.kind == qe::VM_STOP_WRITE && !(op.actions & ZYDIS_OPERAND_ACTION_MASK_WRITE)) continue;
            ZyanU64 at = 0;
            if (!ZYAN_SUCCESS(ZydisCalcAbsoluteAddressEx(&instruction, &op, address, &context, &at))) continue;
            if (op.mem.segment == ZYDIS_REGISTER_FS) at += kTebAddress;
            uint64_t size = std::max<uint64_t>(op.size / 8, 1);
            // A push writes below the stack pointer it names.
            if (op.visibility == ZYDIS_OPERAND_VISIBILITY_HIDDEN && op.mem.base == ZYDIS_REGISTER_ESP) {
                at -= 4;
                size += 4;
            }
            const uint64_t begin = uint32_t(at);
            if (begin < uint64_t(point.address) + point.length && point.address < begin + size) return true;
        }
        return false;
    }

    bool stop(uint32_t status) {
        status_ = status;
        return false;
    }

    bool beforeInstruction(uint64_t address, uint32_t) override {
        const bool first = first_;
        first_ = false;
        if (mode_ == qe::VM_RUN_STEP && executed_ >= 1) return stop(qe::VM_STATUS_STOPPED);
        if (const ApiStub* stub = program_.stubAt(uint32_t(address))) {
            if (stub->action == ApiAction::ExitProcess) return stop(qe::VM_STATUS_END);
            if (stub->action == ApiAction::Unmodelled) return stop(qe::VM_STATUS_FAULT);
        }
        bool entered = false;
        for (size_t i = 0; i < stopPoints_.size(); ++i) {
            const StopPoint& p = stopPoints_[i];
            if (p.kind != qe::VM_STOP_RANGE_ENTRY) continue;
            const bool now = inRange(p, uint32_t(address));
            if (now && !previousInRange_[i]) entered = true;
            previousInRange_[i] = now;
        }
        if (!first && mode_ != qe::VM_RUN_STEP) {
            if (entered) {
                if (mode_ == qe::VM_RUN_TO_STOP) return stop(qe::VM_STATUS_STOPPED);
                if (++entriesSeen_ >= entriesWanted_) return stop(qe::VM_STATUS_STOPPED);
            }
            for (const StopPoint& p : stopPoints_) {
                if (p.kind == qe::VM_STOP_EXECUTE && address == p.address) return stop(qe::VM_STATUS_STOPPED);
                if ((p.kind == qe::VM_STOP_WRITE || p.kind == qe::VM_STOP_ACCESS) && touches(address, p))
                    return stop(qe::VM_STATUS_ACCESS);
            }
        }
        if (executed_ >= limitInstructions_) return stop(qe::VM_STATUS_LIMIT);
        if (!runRequest_->admitInstruction()) return stop(qe::VM_STATUS_LIMIT);
        ++executed_;
        return true;
    }

    bool onInterrupt(uint32_t number, bool software) override {
        if (software || number == 1) return true;  // no services in the VM; INT returns unchanged
        status_ = qe::VM_STATUS_FAULT;
        return false;
    }

    void onWrite(uint64_t, uint32_t) override {}

    RefCount refs_;
    ZydisDecoder decoder_;
    std::vector<Decoded> decoded_;
    std::vector<uint8_t> bytes_;  // the loaded stream, which the machine's image is filled from
    std::unique_ptr<X86Cpu> cpu_;  // after bytes_: it ends first
    LoadedProgram program_;
    std::vector<StopPoint> stopPoints_;
    std::vector<bool> previousInRange_;
    uint32_t nextHandle_ = 1;
    uint32_t limitMilliseconds_ = kDefaultMilliseconds;
    uint32_t limitInstructions_ = kDefaultInstructionLimit;

    bool inRun_ = false;
    bool first_ = false;
    uint32_t mode_ = 0;
    uint32_t entriesWanted_ = 0;
    uint32_t entriesSeen_ = 0;
    uint64_t executed_ = 0;
    uint32_t status_ = 0;
    std::optional<EngineRequest> ownRequest_;  // bounds runs outside any request; made when first needed
    EngineRequest* runRequest_ = nullptr;
};

}  // namespace

QRESULT createVm(IUnknown*, const GUID& iid, void** out) {
    if (!out) return QE_E_INVALIDARG;
    *out = nullptr;
    auto* vm = new (std::nothrow) Vm();
    if (!vm) return QE_E_OUTOFMEMORY;
    const QRESULT result = vm->QueryInterface(iid, out);
    vm->Release();
    return result;
}

}  // namespace host
