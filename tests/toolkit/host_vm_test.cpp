#include <gtest/gtest.h>

#include "host/qxbase/file_object.h"
#include "host/running_object_table.h"
#include "host/services.h"
#include "module/toolkit/host_vm.h"
#include "sdk/identifiers.h"
#include "tests/fixtures/pe_builder.h"

namespace {

using fixtures::Bytes;

TEST(HostVm, TheDefaultLoaderMakesAVmThatLoadsTheFile) {
    host::RunningObjectTable* rot = host::RunningObjectTable::createDefault();
    host::FileObject* file = host::FileObject::fromBytes(
        fixtures::PeBuilder().addSection({".text", Bytes(0x200, 0xC3), 0}).entryInSection(0, 0).build());
    {
        remedy::InterfacePtr<IQEVM> vm = remedy::createHostVm(rot);
        ASSERT_TRUE(vm);
        EXPECT_EQ(vm->LoadStream(static_cast<IQEStream*>(file)), 0x400000u);
        EXPECT_EQ(vm->GetRegister(qe::VM_REG_EIP), 0x401000u);
    }
    file->Release();
    EXPECT_EQ(rot->Release(), 0u);  // the loader and its source were given back
}

TEST(HostVm, NoTableOrNoLoaderClassGivesNothing) {
    EXPECT_FALSE(remedy::createHostVm(nullptr));
    host::RunningObjectTable* empty = host::RunningObjectTable::createEmpty();
    EXPECT_FALSE(remedy::createHostVm(empty));
    host::ObjectLoader* noClasses = host::ObjectLoader::create();
    empty->RegisterObject(qe::PID_ROT_ObjectLoader, noClasses);
    noClasses->Release();
    EXPECT_FALSE(remedy::createHostVm(empty));
    EXPECT_EQ(empty->Release(), 0u);
}

}  // namespace
