// The second VM (IQEVM): loading a stream, registers, limits, stop points and run modes
// with the statuses the Win32 detectors test.
#include <gtest/gtest.h>

#include "host/emulator/program_loader.h"
#include "host/emulator/vm.h"
#include "sdk/identifiers.h"
#include "tests/host/emulator/emulator_support.h"
#include "tests/fixtures/emulator_pe.h"

using namespace emutest;
using fixtures::Bytes;

namespace {

struct VmOn {
    host::FileObject* file;
    IQEVM* vm = nullptr;
    uint32_t base = 0;

    explicit VmOn(Bytes bytes) : file(host::FileObject::fromBytes(std::move(bytes))) {
        EXPECT_EQ(host::createVm(nullptr, qe::IID_IQEVM, reinterpret_cast<void**>(&vm)), QE_OK);
        IQEStream* stream = nullptr;
        file->QueryInterface(qe::IID_IQEStream, reinterpret_cast<void**>(&stream));
        base = vm->LoadStream(stream);
        stream->Release();
    }
    ~VmOn() {
        vm->Release();
        file->Release();
    }
};

Bytes stopsProgram() { return fixtures::buildEmulatorPe({asmProgram("vm_stops"), "KERNEL32.dll", {"ExitProcess"}, {}}); }

uint32_t findBytes(IQEVM* vm, const char* pattern, uint32_t length) {
    uint32_t found = 0;
    EXPECT_EQ(vm->Search(fixtures::kEmulatorCodeVa, 0x1000, pattern, length, &found), 1u);
    return found;
}

TEST(Vm, LoadsAPeStreamAndKeepsItsPosition) {
    VmOn v(stopsProgram());
    EXPECT_EQ(v.base, fixtures::kEmulatorImageBase);
    EXPECT_EQ(v.vm->GetRegister(qe::VM_REG_EIP), fixtures::kEmulatorCodeVa);
    uint64_t position = 1;
    EXPECT_EQ(v.file->Tell(&position), QE_OK);
    EXPECT_EQ(position, 0u);
    uint32_t limits[2] = {};
    v.vm->GetRunLimits(limits);
    EXPECT_EQ(limits[0], 2000u);  // milliseconds
    EXPECT_EQ(limits[1], 10'000'000u);
    // Not a PE image: nothing loads, nothing runs.
    VmOn com(asmProgram("com_registers"));
    EXPECT_EQ(com.base, 0u);
    EXPECT_EQ(com.vm->Run(qe::VM_RUN_STEP, 0), qe::VM_STATUS_NONE);
    EXPECT_EQ(v.vm->Run(99, 0), qe::VM_STATUS_NONE);
}

TEST(Vm, ExecuteThenAccessStopPointsStopBeforeTheInstruction) {
    VmOn v(stopsProgram());
    IQEVM* vm = v.vm;
    const uint32_t target = fixtures::kEmulatorCodeVa + 6;
    const uint32_t exec = vm->AddStopPoint(target, qe::VM_STOP_EXECUTE, 1);
    ASSERT_NE(exec, 0u);
    ASSERT_EQ(vm->Run(qe::VM_RUN_TO_STOP, 0), qe::VM_STATUS_STOPPED);
    EXPECT_EQ(vm->GetRegister(qe::VM_REG_EIP), target);
    EXPECT_EQ(vm->GetRegister(1), 0u);  // MOV ECX, 5 not yet run
    EXPECT_EQ(vm->RemoveStopPoint(exec), 1u);
    EXPECT_EQ(vm->RemoveStopPoint(exec), 0u);

    // Watch the stack dword the XCHG touches (W = ESP + 21h once ESP drops by 40h).
    const uint32_t w = vm->GetRegister(4) - 0x40 + 0x21;
    ASSERT_NE(vm->AddStopPoint(w, qe::VM_STOP_ACCESS, 4), 0u);
    ASSERT_EQ(vm->Run(qe::VM_RUN_TO_STOP, 0), qe::VM_STATUS_ACCESS);
    uint8_t code[4] = {};
    ASSERT_EQ(vm->ReadMemory(vm->GetRegister(qe::VM_REG_EIP), code, 4), 4u);
    EXPECT_EQ(code[0], 0x87);
    EXPECT_EQ(code[1], 0x6C);
    uint32_t before = 0;
    ASSERT_EQ(vm->ReadMemory(w, &before, 4), 4u);
    // One instruction executes it despite the stop point.
    ASSERT_EQ(vm->Run(qe::VM_RUN_STEP, 0), qe::VM_STATUS_STOPPED);
    uint32_t after = 0;
    ASSERT_EQ(vm->ReadMemory(w, &after, 4), 4u);
    EXPECT_EQ(after, 0x22222222u);
    EXPECT_EQ(vm->GetRegister(5), before);
    // Now on the ADD, which touches W too: the instruction a run starts on never stops it.
    ASSERT_EQ(vm->ReadMemory(vm->GetRegister(qe::VM_REG_EIP), code, 4), 4u);
    EXPECT_EQ(code[0], 0x83);
    EXPECT_EQ(vm->Run(qe::VM_RUN_TO_STOP, 0), qe::VM_STATUS_END);
    ASSERT_EQ(vm->ReadMemory(w, &after, 4), 4u);
    EXPECT_EQ(after, 0x22222222u + (5u << 24));
}

TEST(Vm, WritePointsIgnoreReads) {
    VmOn v(stopsProgram());
    IQEVM* vm = v.vm;
    const uint32_t data = findBytes(vm, "\x34\x12\x00\x00", 4);
    ASSERT_NE(vm->AddStopPoint(data, qe::VM_STOP_WRITE, 4), 0u);
    ASSERT_EQ(vm->Run(qe::VM_RUN_TO_STOP, 0), qe::VM_STATUS_ACCESS);
    EXPECT_EQ(vm->GetRegister(3), 0x1234u);  // the read went through
    uint8_t op[2] = {};
    vm->ReadMemory(vm->GetRegister(qe::VM_REG_EIP), op, 2);
    EXPECT_EQ(op[0], 0xC7);  // standing on the write
}

TEST(Vm, RunsEndLimitAndRegisters) {
    VmOn v(stopsProgram());
    IQEVM* vm = v.vm;
    const uint32_t limits[2] = {0, 3};
    vm->SetRunLimits(limits);
    EXPECT_EQ(vm->Run(qe::VM_RUN_TO_STOP, 0), qe::VM_STATUS_LIMIT);
    EXPECT_EQ(vm->GetRegister(1), 5u);
    const uint32_t more[2] = {0, 1000};
    vm->SetRunLimits(more);
    EXPECT_EQ(vm->Run(qe::VM_RUN_TO_STOP, 0), qe::VM_STATUS_END);
    vm->SetRegister(qe::VM_REG_EIP, fixtures::kEmulatorCodeVa);
    vm->SetRegister(0, 0);
    EXPECT_EQ(vm->Run(qe::VM_RUN_STEP, 0), qe::VM_STATUS_STOPPED);
    EXPECT_EQ(vm->GetRegister(0), 0x11111111u);
    EXPECT_EQ(vm->GetRegister(qe::VM_REG_EIP), fixtures::kEmulatorCodeVa + 5);
    vm->SetRegister(qe::VM_REG_EIP, 0x10);  // nowhere
    EXPECT_EQ(vm->Run(qe::VM_RUN_STEP, 0), qe::VM_STATUS_FAULT);
}

TEST(Vm, RangeEntriesCountedThenSingleSteps) {
    const Bytes body = asmProgram("vm_range_body");
    VmOn v(fixtures::buildEmulatorPe({asmProgram("vm_ranges"), "KERNEL32.dll", {"ExitProcess"}, body}));
    IQEVM* vm = v.vm;
    ASSERT_NE(vm->AddStopPoint(v.base + 0x3000, qe::VM_STOP_RANGE_ENTRY, 0x200), 0u);
    EXPECT_EQ(vm->AddStopPoint(v.base + 0x3000, qe::VM_STOP_RANGE_ENTRY, 0), 0u);
    EXPECT_EQ(vm->AddStopPoint(v.base, 5, 1), 0u);
    ASSERT_EQ(vm->Run(qe::VM_RUN_RANGE_ENTRIES, 3), qe::VM_STATUS_STOPPED);
    EXPECT_EQ(vm->GetRegister(qe::VM_REG_EIP), 0x403000u);
    EXPECT_EQ(vm->GetRegister(1), 1u);  // the third call
    EXPECT_EQ(vm->GetRegister(2), 2u);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(vm->Run(qe::VM_RUN_STEP, 0), qe::VM_STATUS_STOPPED) << i;
    EXPECT_EQ(vm->Run(qe::VM_RUN_TO_STOP, 0), qe::VM_STATUS_END);  // on to ExitProcess
}

TEST(Vm, MemoryReadsAnswerTheMappedPrefix) {
    VmOn v(stopsProgram());
    uint8_t buf[32];
    EXPECT_EQ(v.vm->ReadMemory(host::kStackBase + host::kStackSize - 16, buf, 32), 16u);
    EXPECT_EQ(v.vm->ReadMemory(0x10, buf, 4), 0u);
    EXPECT_EQ(v.vm->WriteMemory(fixtures::kEmulatorCodeVa, "\x90", 1), 1u);
    void* other = nullptr;
    EXPECT_EQ(v.vm->QueryInterface(qe::IID_IQEStream, &other), QE_E_NOINTERFACE);
    EXPECT_EQ(other, nullptr);
}

}  // namespace
