// The running-object table and the services units reach through it.
#include "host/running_object_table.h"

#include <gtest/gtest.h>

#include "host/services.h"
#include "sdk/identifiers.h"
#include "tests/fixtures/bytes.h"

namespace {

// Counts its references so tests can see who holds it.
struct Counted final : IUnknown {
    uint32_t refs = 1;
    QRESULT QueryInterface(const GUID& iid, void** out) override {
        if (iid != qe::IID_IUnknown) return QE_E_NOINTERFACE;
        ++refs;
        *out = this;
        return QE_OK;
    }
    uint32_t AddRef() override { return ++refs; }
    uint32_t Release() override { return --refs; }  // lives on the stack
};

template <class Interface>
Interface* service(IQERunningObjectTable* rot, const GUID& pid, const GUID& iid) {
    IUnknown* object = nullptr;
    if (rot->GetObject(pid, &object) != QE_OK) return nullptr;
    Interface* out = nullptr;
    QRESULT r = object->QueryInterface(iid, reinterpret_cast<void**>(&out));
    object->Release();
    return r == QE_OK ? out : nullptr;
}

TEST(RunningObjectTable, DefaultTableOffersTheThreeServices) {
    host::RunningObjectTable* rot = host::RunningObjectTable::createDefault();
    auto* config = service<IQEProperty2>(rot, qe::PID_ROT_EngineConfig, qe::IID_IQEProperty2);
    auto* loader = service<IQEObjectLoader>(rot, qe::PID_ROT_ObjectLoader, qe::IID_IQEObjectLoader);
    auto* files = service<IQXFileSystem>(rot, qe::PID_ROT_FileSystem, qe::IID_IQXFileSystem);
    EXPECT_NE(config, nullptr);
    EXPECT_NE(loader, nullptr);
    EXPECT_NE(files, nullptr);
    EXPECT_NE(rot->engineConfig(), nullptr);
    EXPECT_NE(rot->objectLoader(), nullptr);
    EXPECT_NE(rot->fileSystem(), nullptr);
    for (IUnknown* s : std::initializer_list<IUnknown*>{config, loader, files})
        if (s) s->Release();
    // The table answers for itself as engines ask it in init_class.
    IQERunningObjectTable* again = nullptr;
    ASSERT_EQ(rot->QueryInterface(qe::IID_IQERunningObjectTable, reinterpret_cast<void**>(&again)), QE_OK);
    again->Release();
    void* out = nullptr;
    EXPECT_EQ(rot->QueryInterface(qe::IID_IQEProperty, &out), QE_E_NOINTERFACE);
    EXPECT_EQ(rot->Release(), 0u);
}

TEST(RunningObjectTable, RegistersReplacesAndRevokesHoldingOneReference) {
    host::RunningObjectTable* rot = host::RunningObjectTable::createEmpty();
    const GUID pid = qe::makeGuid("01234567-89AB-CDEF-0123-456789ABCDEF");
    IUnknown* out = reinterpret_cast<IUnknown*>(&out);
    EXPECT_EQ(rot->GetObject(pid, &out), QE_E_FAIL);
    EXPECT_EQ(out, nullptr);
    Counted first, second;
    ASSERT_EQ(rot->RegisterObject(pid, &first), QE_OK);
    EXPECT_EQ(first.refs, 2u);
    ASSERT_EQ(rot->GetObject(pid, &out), QE_OK);
    EXPECT_EQ(out, &first);
    out->Release();
    ASSERT_EQ(rot->RegisterObject(pid, &second), QE_OK);
    EXPECT_EQ(first.refs, 1u);  // the replaced object was released
    EXPECT_EQ(second.refs, 2u);
    EXPECT_EQ(rot->RegisterObject(pid, nullptr), QE_E_INVALIDARG);
    ASSERT_EQ(rot->RevokeObject(pid), QE_OK);
    EXPECT_EQ(second.refs, 1u);
    EXPECT_EQ(rot->RevokeObject(pid), QE_E_FAIL);
    ASSERT_EQ(rot->RegisterObject(pid, &first), QE_OK);
    rot->Release();  // the table lets go of what it holds
    EXPECT_EQ(first.refs, 1u);
}

TEST(RunningObjectTable, ServiceReplacedByAForeignObjectIsNotMistakenForIt) {
    host::RunningObjectTable* rot = host::RunningObjectTable::createDefault();
    Counted foreign;
    rot->RegisterObject(qe::PID_ROT_EngineConfig, &foreign);
    EXPECT_EQ(rot->engineConfig(), nullptr);
    rot->Release();
}

// ---------------------------------------------------------------- configuration

TEST(EngineConfig, HeuristicsSettingIsReadableOffByDefaultAndSwitchable) {
    host::RunningObjectTable* rot = host::RunningObjectTable::createDefault();
    auto* config = service<IQEProperty2>(rot, qe::PID_ROT_EngineConfig, qe::IID_IQEProperty2);
    ASSERT_NE(config, nullptr);
    const QEPROPVALUE* value = nullptr;
    ASSERT_EQ(config->GetProperty(qe::CONFIG_HEURISTICS, &value), QE_OK);
    EXPECT_EQ(value->intVal, 0);
    rot->engineConfig()->setHeuristics(true);
    ASSERT_EQ(config->GetProperty(qe::CONFIG_HEURISTICS, &value), QE_OK);
    EXPECT_EQ(value->vt, qe::VT_INT);
    EXPECT_NE(value->intVal, 0);
    EXPECT_TRUE(rot->engineConfig()->heuristics());
    EXPECT_EQ(config->GetProperty(132, &value), QE_E_FAIL);
    config->Release();
    rot->Release();
}

TEST(EngineConfig, StringSettingsAreCopied) {
    host::EngineConfig* config = host::EngineConfig::create();
    char text[] = "quarantine";
    QEPROPVALUE v{};
    v.vt = qe::VT_LPSTR;
    v.narrowVal = text;
    ASSERT_EQ(config->SetProperty(7, &v), QE_OK);
    text[0] = 'X';
    const QEPROPVALUE* value = nullptr;
    ASSERT_EQ(config->GetProperty(7, &value), QE_OK);
    EXPECT_STREQ(value->narrowVal, "quarantine");
    v.narrowVal = nullptr;
    EXPECT_EQ(config->SetProperty(7, &v), QE_E_INVALIDARG);
    config->Release();
}

// ---------------------------------------------------------------- object loader

IUnknown* lastEnvironment = nullptr;

QRESULT createCounted(IUnknown* environment, const GUID& iid, void** out) {
    lastEnvironment = environment;
    static Counted made;
    return made.QueryInterface(iid, out);
}

TEST(ObjectLoader, CreatesRegisteredClassesWithTheCallersEnvironment) {
    host::RunningObjectTable* rot = host::RunningObjectTable::createDefault();
    rot->objectLoader()->registerClass(qe::CLSID_CQEVM, createCounted);
    auto* loader = service<IQEObjectLoader>(rot, qe::PID_ROT_ObjectLoader, qe::IID_IQEObjectLoader);
    void* out = nullptr;
    ASSERT_EQ(loader->CreateInstance(rot, qe::CLSID_CQEVM, nullptr, qe::IID_IUnknown, &out), QE_OK);
    EXPECT_NE(out, nullptr);
    EXPECT_EQ(lastEnvironment, static_cast<IUnknown*>(rot));
    static_cast<IUnknown*>(out)->Release();
    // The creator's answer passes through.
    EXPECT_EQ(loader->CreateInstance(rot, qe::CLSID_CQEVM, nullptr, qe::IID_IQEVM, &out), QE_E_NOINTERFACE);
    loader->Release();
    rot->Release();
}

TEST(ObjectLoader, RefusesUnknownClassesAndOuterObjects) {
    host::ObjectLoader* loader = host::ObjectLoader::create();
    loader->registerClass(qe::CLSID_CQEVM, createCounted);
    void* out = &out;
    EXPECT_EQ(loader->CreateInstance(nullptr, qe::CLSID_CQEPEArchive, nullptr, qe::IID_IUnknown, &out),
              QE_E_INVALIDARG);
    EXPECT_EQ(out, nullptr);
    Counted outer;
    out = &out;
    EXPECT_EQ(loader->CreateInstance(nullptr, qe::CLSID_CQEVM, &outer, qe::IID_IUnknown, &out), QE_E_INVALIDARG);
    EXPECT_EQ(out, nullptr);
    loader->registerClass(qe::CLSID_CQEVM, nullptr);  // unregisters
    EXPECT_EQ(loader->CreateInstance(nullptr, qe::CLSID_CQEVM, nullptr, qe::IID_IUnknown, &out), QE_E_INVALIDARG);
    loader->Release();
}

// ---------------------------------------------------------------- file system

TEST(FileSystem, OpensRealFilesAsArchiveAndHandle) {
    fixtures::TempDir dir;
    const host::CompanionDirectory companions(dir.path().string() + "/");
    const auto path = dir.file("other.bin");
    fixtures::writeFile(path, {5, 6, 7});
    host::FileSystem* files = host::FileSystem::create();
    QEPATHRECORD record{0, 0, path.c_str()};
    IUnknown* opened = nullptr;
    ASSERT_EQ(files->OpenFile(&record, QE_OPEN_READ, &opened), QE_OK);
    IQEArchive* archive = nullptr;
    ASSERT_EQ(opened->QueryInterface(qe::IID_IQEArchive, reinterpret_cast<void**>(&archive)), QE_OK);
    IQEStream* stream = nullptr;
    ASSERT_EQ(archive->GetStream(&stream), QE_OK);
    uint32_t size = 0;
    ASSERT_EQ(stream->GetSize(&size, nullptr), QE_OK);
    EXPECT_EQ(size, 3u);
    stream->Release();
    archive->Release();
    IQxHandleFile* handle = nullptr;
    EXPECT_EQ(opened->QueryInterface(qe::IID_IQxHandleFile, reinterpret_cast<void**>(&handle)), QE_OK);
    handle->Release();
    opened->Release();

    const std::string missing = dir.file("missing").string();
    QEPATHRECORD absent{0, 0, missing.c_str()};
    opened = reinterpret_cast<IUnknown*>(&opened);
    EXPECT_EQ(files->OpenFile(&absent, QE_OPEN_READ, &opened), QE_E_FAIL);
    EXPECT_EQ(opened, nullptr);
    QEPATHRECORD empty{0, 0, ""};
    EXPECT_EQ(files->OpenFile(&empty, QE_OPEN_READ, &opened), QE_E_INVALIDARG);
    EXPECT_EQ(files->OpenFile(nullptr, QE_OPEN_READ, &opened), QE_E_INVALIDARG);
    files->Release();
}

}  // namespace
