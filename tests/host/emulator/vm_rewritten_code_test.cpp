// The VM's access points decode each executed instruction once and keep it; code the program
// rewrites must be decoded again.
#include <gtest/gtest.h>

#include "host/emulator/vm.h"
#include "sdk/identifiers.h"
#include "tests/host/emulator/emulator_support.h"
#include "tests/fixtures/emulator_pe.h"

using namespace emutest;

namespace {

TEST(VmRewrittenCode, AccessPointSeesTheRewrittenInstruction) {
    host::FileObject* file = host::FileObject::fromBytes(
        fixtures::buildEmulatorPe({asmProgram("vm_rewritten"), "KERNEL32.dll", {"ExitProcess"}, {}}));
    IQEVM* vm = nullptr;
    ASSERT_EQ(host::createVm(nullptr, qe::IID_IQEVM, reinterpret_cast<void**>(&vm)), QE_OK);
    IQEStream* stream = nullptr;
    file->QueryInterface(qe::IID_IQEStream, reinterpret_cast<void**>(&stream));
    ASSERT_NE(vm->LoadStream(stream), 0u);
    stream->Release();

    uint32_t data = 0;
    ASSERT_EQ(vm->Search(fixtures::kEmulatorCodeVa + 0x10, 0x100, "\x0D\xF0\xFE\xCA", 4, &data), 1u);
    const uint32_t patched = fixtures::kEmulatorCodeVa + 5;
    ASSERT_NE(vm->AddStopPoint(data, qe::VM_STOP_ACCESS, 4), 0u);
    EXPECT_EQ(vm->Run(qe::VM_RUN_TO_STOP, 0), qe::VM_STATUS_ACCESS);
    EXPECT_EQ(vm->GetRegister(qe::VM_REG_EIP), patched);
    EXPECT_EQ(vm->GetRegister(1), 1u);  // the second pass
    vm->Release();
    file->Release();
}

}  // namespace
