#include "host/host_classes.h"

#include <gtest/gtest.h>

#include "host/running_object_table.h"
#include "sdk/identifiers.h"

namespace {

// Units reach host classes only through the default table's object loader.
TEST(HostClasses, DefaultTableLoaderCreatesThePeArchive) {
    host::RunningObjectTable* table = host::RunningObjectTable::createDefault();
    IUnknown* object = nullptr;
    ASSERT_EQ(table->GetObject(qe::PID_ROT_ObjectLoader, &object), QE_OK);
    IQEObjectLoader* loader = nullptr;
    ASSERT_EQ(object->QueryInterface(qe::IID_IQEObjectLoader, reinterpret_cast<void**>(&loader)), QE_OK);
    IUnknown* archive = nullptr;
    EXPECT_EQ(loader->CreateInstance(table, qe::CLSID_CQEPEArchive, nullptr, qe::IID_IUnknown,
                                     reinterpret_cast<void**>(&archive)),
              QE_OK);
    ASSERT_NE(archive, nullptr);
    void* peArchive = nullptr;
    EXPECT_EQ(archive->QueryInterface(qe::IID_IQEArchive, &peArchive), QE_OK);
    static_cast<IUnknown*>(peArchive)->Release();
    archive->Release();
    loader->Release();
    object->Release();
    table->Release();
}

// Every class the units ask the loader for comes out answering the interface they ask.
TEST(HostClasses, DefaultTableLoaderCreatesEveryHostClass) {
    struct Case {
        const GUID* clsid;
        const GUID* iid;
    };
    const Case cases[] = {
        {&qe::CLSID_CQEPEArchive, &qe::IID_IQEArchive},
        {&qe::CLSID_CQEVM, &qe::IID_IQEVM},
        {&qe::CLSID_CQEX86Assembler, &qe::IID_IQEX86Assembler},
    };
    host::RunningObjectTable* table = host::RunningObjectTable::createDefault();
    IUnknown* object = nullptr;
    ASSERT_EQ(table->GetObject(qe::PID_ROT_ObjectLoader, &object), QE_OK);
    IQEObjectLoader* loader = nullptr;
    ASSERT_EQ(object->QueryInterface(qe::IID_IQEObjectLoader, reinterpret_cast<void**>(&loader)), QE_OK);
    for (const Case& c : cases) {
        IUnknown* created = nullptr;
        EXPECT_EQ(loader->CreateInstance(table, *c.clsid, nullptr, *c.iid, reinterpret_cast<void**>(&created)), QE_OK);
        ASSERT_NE(created, nullptr);
        created->Release();
    }
    loader->Release();
    object->Release();
    table->Release();
}

}  // namespace
