// The module as the host sees it: loaded by path, entered through QEGetClassObject, engines
// made by factories and bound to the running-object table.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <memory>
#include <set>
#include <string>

#include "sdk/engine.h"
#include "sdk/identifiers.h"
#include "tests/frame/frame_test_support.h"

namespace {

using frametest::FakeRunningObjectTable;
using frametest::PlainUnknown;

class LoadedModule : public ::testing::Test {
protected:
    void SetUp() override {
        handle_ = dlopen(REMEDY_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(handle_, nullptr) << dlerror();
        getClassObject_ = reinterpret_cast<QEGetClassObjectFn>(dlsym(handle_, "QEGetClassObject"));
        ASSERT_NE(getClassObject_, nullptr);
    }
    void TearDown() override {
        if (handle_) dlclose(handle_);
    }

    IQXClassFactory* factory(const GUID& classId) {
        void* out = nullptr;
        EXPECT_EQ(getClassObject_(classId, qe::IID_IQXClassFactory, &out), QE_OK);
        return static_cast<IQXClassFactory*>(out);
    }

    void* handle_ = nullptr;
    QEGetClassObjectFn getClassObject_ = nullptr;
};

TEST_F(LoadedModule, UnknownClassIdentifiersLeaveOutUntouched) {
    const GUID unknownClasses[] = {qe::CLSID_CQEEngineUnkVirusEx, qe::IID_IQEEngineScanEx, GUID{}};
    for (const GUID& classId : unknownClasses) {
        void* out = reinterpret_cast<void*>(0x1234);
        EXPECT_EQ(getClassObject_(classId, qe::IID_IQXClassFactory, &out), QE_E_INVALIDARG);
        EXPECT_EQ(out, reinterpret_cast<void*>(0x1234));
    }
}

TEST_F(LoadedModule, FactoryAnswersOnlyUnknownAndClassFactory) {
    void* out = reinterpret_cast<void*>(0x1234);
    EXPECT_EQ(getClassObject_(qe::CLSID_CQEEngineKillEx, qe::IID_IQEEngineScanEx, &out), QE_E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);  // cleared before the factory is asked

    IQXClassFactory* f = factory(qe::CLSID_CQEEngineScanExPre);
    ASSERT_NE(f, nullptr);
    void* unknown = nullptr;
    ASSERT_EQ(f->QueryInterface(qe::IID_IUnknown, &unknown), QE_OK);
    EXPECT_EQ(unknown, static_cast<void*>(f));
    EXPECT_EQ(f->Release(), 1u);
    void* engine = reinterpret_cast<void*>(0x1234);
    EXPECT_EQ(f->QueryInterface(qe::IID_IQEEngineScanEx, &engine), QE_E_NOINTERFACE);
    EXPECT_EQ(engine, reinterpret_cast<void*>(0x1234));
    EXPECT_EQ(f->LockServer(1), QE_OK);
    // The host holds the only reference.
    EXPECT_EQ(f->AddRef(), 2u);
    EXPECT_EQ(f->Release(), 1u);
    EXPECT_EQ(f->Release(), 0u);
}

TEST_F(LoadedModule, EveryEngineIsCreatedBoundToTheTableAndReleasesIt) {
    for (const GUID& classId : {qe::CLSID_CQEEngineScanExPre, qe::CLSID_CQEEngineScanExPost, qe::CLSID_CQEEngineKillEx}) {
        FakeRunningObjectTable rot;
        IQXClassFactory* f = factory(classId);
        ASSERT_NE(f, nullptr);
        void* out = nullptr;
        ASSERT_EQ(f->CreateInstance(&rot, nullptr, qe::IID_IQEEngineScanEx, &out), QE_OK);
        f->Release();
        auto* engine = static_cast<IQEEngineScanEx*>(out);
        EXPECT_EQ(rot.refs, 1);
        // Engines answer IUnknown and IQEEngineScanEx, never IQEEngine.
        void* miss = reinterpret_cast<void*>(0x1234);
        EXPECT_EQ(engine->QueryInterface(qe::IID_IQEEngine, &miss), QE_E_NOINTERFACE);
        EXPECT_EQ(miss, reinterpret_cast<void*>(0x1234));
        void* unknown = nullptr;
        ASSERT_EQ(engine->QueryInterface(qe::IID_IUnknown, &unknown), QE_OK);
        EXPECT_EQ(unknown, out);
        EXPECT_EQ(engine->Release(), 1u);
        EXPECT_EQ(engine->Release(), 0u);
        EXPECT_EQ(rot.refs, 0);
    }
}

TEST_F(LoadedModule, CreateInstanceRefusesOuterObjectsAndMissingTables) {
    FakeRunningObjectTable rot;
    PlainUnknown outer;
    PlainUnknown notATable;
    IQXClassFactory* f = factory(qe::CLSID_CQEEngineScanExPost);
    ASSERT_NE(f, nullptr);
    struct Case {
        const char* name;
        IUnknown* context;
        IUnknown* outer;
    } cases[] = {
        {"outer object", &rot, &outer},
        {"null context", nullptr, nullptr},
        {"context without a running-object table", &notATable, nullptr},
    };
    for (const Case& c : cases) {
        void* out = reinterpret_cast<void*>(0x1234);
        EXPECT_EQ(f->CreateInstance(c.context, c.outer, qe::IID_IQEEngineScanEx, &out), QE_E_INVALIDARG) << c.name;
        EXPECT_EQ(out, nullptr) << c.name;
    }
    EXPECT_EQ(rot.refs, 0);
    EXPECT_EQ(outer.refs, 0);
    EXPECT_EQ(notATable.refs, 0);
    f->Release();
}

TEST_F(LoadedModule, EngineAskedForAnotherInterfaceIsNotLeaked) {
    FakeRunningObjectTable rot;
    IQXClassFactory* f = factory(qe::CLSID_CQEEngineScanExPre);
    ASSERT_NE(f, nullptr);
    void* out = reinterpret_cast<void*>(0x1234);
    EXPECT_EQ(f->CreateInstance(&rot, nullptr, qe::IID_IQEEngine, &out), QE_E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(rot.refs, 0);  // the engine was destroyed and gave its table back
    f->Release();
}

TEST_F(LoadedModule, KillEngineScanDoesNothing) {
    FakeRunningObjectTable rot;
    IQXClassFactory* f = factory(qe::CLSID_CQEEngineKillEx);
    ASSERT_NE(f, nullptr);
    void* out = nullptr;
    ASSERT_EQ(f->CreateInstance(&rot, nullptr, qe::IID_IQEEngineScanEx, &out), QE_OK);
    f->Release();
    auto* engine = static_cast<IQEEngineScanEx*>(out);
    EXPECT_EQ(engine->Scan(nullptr, nullptr), SCAN_NOT_SUPPORTED);
    engine->Release();
}

// Each class identifier creates its own engine: the post-library engine turns damaged files
// away unasked, the pre-library engine asks the file for its archive, the kill engine never scans.
TEST_F(LoadedModule, ClassIdentifiersCreateTheirOwnEngines) {
    class CountingFile : public PlainUnknown {
    public:
        QRESULT QueryInterface(const GUID& iid, void** out) override {
            ++questions;
            return PlainUnknown::QueryInterface(iid, out);
        }
        int questions = 0;
    };
    struct Case {
        GUID classId;
        uint32_t expected;
        bool asksTheFile;
    } cases[] = {
        {qe::CLSID_CQEEngineScanExPre, 0, true},
        {qe::CLSID_CQEEngineScanExPost, 0, false},
        {qe::CLSID_CQEEngineKillEx, SCAN_NOT_SUPPORTED, false},
    };
    for (const Case& c : cases) {
        FakeRunningObjectTable rot;
        IQXClassFactory* f = factory(c.classId);
        ASSERT_NE(f, nullptr);
        void* out = nullptr;
        ASSERT_EQ(f->CreateInstance(&rot, nullptr, qe::IID_IQEEngineScanEx, &out), QE_OK);
        f->Release();
        auto* engine = static_cast<IQEEngineScanEx*>(out);
        CountingFile file;
        STScanExRequest damaged{1, 0, 0, 0, nullptr};
        EXPECT_EQ(engine->Scan(&file, &damaged), c.expected);
        EXPECT_EQ(file.questions > 0, c.asksTheFile);
        engine->Release();
    }
}

// The module exports its entry point and its version text, nothing else.
TEST(ModuleExports, OnlyEntryPointAndVersion) {
    const std::string command = std::string("nm -D --defined-only '") + REMEDY_MODULE_PATH + "'";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    ASSERT_NE(pipe, nullptr);
    std::set<std::string> names;
    std::array<char, 512> line{};
    while (fgets(line.data(), int(line.size()), pipe.get())) {
        std::string text(line.data());
        while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
        const size_t lastSpace = text.rfind(' ');
        names.insert(lastSpace == std::string::npos ? text : text.substr(lastSpace + 1));
    }
    EXPECT_EQ(names, (std::set<std::string>{"QEGetClassObject", "version"}));
}

TEST(ModuleExports, VersionTextNamesTheModule) {
    void* handle = dlopen(REMEDY_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr) << dlerror();
    auto* text = static_cast<const char* const*>(dlsym(handle, "version"));
    ASSERT_NE(text, nullptr);
    const std::string version(*text);
    EXPECT_EQ(version.front(), '\n');
    EXPECT_EQ(version.back(), '\n');
    EXPECT_NE(version.find("libremedy.so version: Little-Endian x64 "), std::string::npos);
    dlclose(handle);
}

}  // namespace
