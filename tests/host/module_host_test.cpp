// The embedding API over a module linked into the test: which engine is called when, with what
// request, and that everything obtained is released.
#include "host/module_host.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <stdexcept>
#include <vector>

#include "sdk/format_codes.h"
#include "sdk/identifiers.h"

namespace {

struct Call {
    std::string engine;  // "pre", "post", "kill"
    std::string operation;
    IUnknown* file;
    STScanExRequest request;
};

struct FakeEngine final : IQEEngineScanEx {
    std::string name;
    int refs = 1;
    std::function<uint32_t()> scanResult = [] { return 0u; };
    std::function<uint32_t()> killResult = [] { return KILL_REPAIRED; };
    std::vector<Call>* calls = nullptr;

    QRESULT QueryInterface(const GUID& iid, void** out) override {
        if (iid != qe::IID_IUnknown && iid != qe::IID_IQEEngineScanEx) return QE_E_NOINTERFACE;
        ++refs;
        *out = static_cast<IQEEngineScanEx*>(this);
        return QE_OK;
    }
    uint32_t AddRef() override { return uint32_t(++refs); }
    uint32_t Release() override { return uint32_t(--refs); }
    uint32_t Scan(IUnknown* file, void* request) override {
        calls->push_back({name, "scan", file, *static_cast<STScanExRequest*>(request)});
        return scanResult();
    }
    uint32_t Kill(IUnknown* file, void* request) override {
        calls->push_back({name, "kill", file, *static_cast<STScanExRequest*>(request)});
        return killResult();
    }
};

struct FakeFactory final : IQXClassFactory {
    FakeEngine* engine = nullptr;
    int refs = 0;
    bool contextWasTable = false;
    QRESULT QueryInterface(const GUID& iid, void** out) override {
        if (iid != qe::IID_IUnknown && iid != qe::IID_IQXClassFactory) return QE_E_NOINTERFACE;
        ++refs;
        *out = static_cast<IQXClassFactory*>(this);
        return QE_OK;
    }
    uint32_t AddRef() override { return uint32_t(++refs); }
    uint32_t Release() override { return uint32_t(--refs); }
    QRESULT CreateInstance(IUnknown* context, IUnknown* outer, const GUID& iid, void** out) override {
        void* table = nullptr;
        if (outer || !context || context->QueryInterface(qe::IID_IQERunningObjectTable, &table) != QE_OK)
            return QE_E_INVALIDARG;
        static_cast<IUnknown*>(table)->Release();
        contextWasTable = true;
        return engine->QueryInterface(iid, out);
    }
    QRESULT LockServer(int) override { return QE_OK; }
};

// The one fake module of this test program.
struct FakeModule {
    std::vector<Call> calls;
    FakeEngine pre, post, kill;
    FakeFactory preFactory, postFactory, killFactory;
    bool hasKillEngine = true;

    FakeModule() {
        for (auto [engine, name] : {std::pair{&pre, "pre"}, {&post, "post"}, {&kill, "kill"}}) {
            engine->name = name;
            engine->calls = &calls;
        }
        preFactory.engine = &pre;
        postFactory.engine = &post;
        killFactory.engine = &kill;
    }
};

FakeModule* fake = nullptr;
const char* const kFakeVersion = "\nlibfake.so version: Little-Endian x64 1.2.3.4 20260101000000\n";

QRESULT fakeGetClassObject(const GUID& classId, const GUID& iid, void** out) {
    FakeFactory* factory = classId == qe::CLSID_CQEEngineScanExPre    ? &fake->preFactory
                           : classId == qe::CLSID_CQEEngineScanExPost ? &fake->postFactory
                           : classId == qe::CLSID_CQEEngineKillEx && fake->hasKillEngine ? &fake->killFactory
                                                                                          : nullptr;
    if (!factory) return QE_E_INVALIDARG;
    return factory->QueryInterface(iid, out);
}

class ModuleHost : public ::testing::Test {
protected:
    void SetUp() override {
        fake = &state;
        rot = host::RunningObjectTable::createDefault();
        module = host::Module::linked(fakeGetClassObject, &kFakeVersion);
        std::string error;
        engines = host::Engines::create(module, rot, &error);
        ASSERT_NE(engines, nullptr) << error;
        file = host::FileObject::fromBytes({'M', 'Z'}, "a.exe");
    }
    void TearDown() override {
        engines.reset();
        file->Release();
        rot->Release();
        fake = nullptr;
    }
    std::vector<std::string> sequence() const {
        std::vector<std::string> s;
        for (const Call& c : state.calls) s.push_back(c.engine + " " + c.operation);
        return s;
    }

    FakeModule state;
    host::RunningObjectTable* rot = nullptr;
    std::shared_ptr<host::Module> module;
    std::unique_ptr<host::Engines> engines;
    host::FileObject* file = nullptr;
};

TEST_F(ModuleHost, EnginesAreCreatedWithTheTableAndAllReleased) {
    EXPECT_TRUE(state.preFactory.contextWasTable);
    EXPECT_EQ(state.preFactory.refs, 0);  // factories released right after use
    EXPECT_EQ(state.killFactory.refs, 0);
    EXPECT_EQ(state.pre.refs, 2);  // the fake's own count plus the host's
    engines.reset();
    EXPECT_EQ(state.pre.refs, 1);
    EXPECT_EQ(state.post.refs, 1);
    EXPECT_EQ(state.kill.refs, 1);
    EXPECT_EQ(rot->AddRef(), 2u);  // only the test's reference is left
    rot->Release();
}

TEST_F(ModuleHost, MissingEngineClassFailsCreationAndReleasesWhatWasMade) {
    engines.reset();
    state.hasKillEngine = false;
    std::string error;
    EXPECT_EQ(host::Engines::create(module, rot, &error), nullptr);
    EXPECT_NE(error.find("kill engine"), std::string::npos);
    EXPECT_EQ(state.pre.refs, 1);
    EXPECT_EQ(state.post.refs, 1);
}

TEST_F(ModuleHost, VersionTextLosesItsFramingNewlines) {
    EXPECT_EQ(module->versionText(), "libfake.so version: Little-Endian x64 1.2.3.4 20260101000000");
}

TEST_F(ModuleHost, CleanFileIsScannedByPreThenPostEngine) {
    host::ScanTarget target(file);
    host::ScanFinding finding = engines->scan(target);
    EXPECT_FALSE(finding.found());
    EXPECT_FALSE(finding.failed);
    EXPECT_EQ(sequence(), (std::vector<std::string>{"pre scan", "post scan"}));
    // The file object is handed over as its archive, classified first.
    EXPECT_EQ(state.calls[0].file, static_cast<IUnknown*>(static_cast<IQEArchive*>(file)));
    EXPECT_NE(file->format(), qe::FORMAT_UNKNOWN);
    EXPECT_EQ(engines->killFound(target), KILL_FAILED);  // nothing was found: nothing runs
    EXPECT_EQ(state.calls.size(), 2u);
}

TEST_F(ModuleHost, PostLibraryFindingIsRepairedByThePostEngineOnce) {
    state.post.scanResult = [] { return 0x40001234u; };
    host::ScanTarget target(file);
    target.damaged = true;
    host::ScanFinding finding = engines->scan(target);
    ASSERT_TRUE(finding.found());
    EXPECT_EQ(finding.virusId, 0x40001234u);
    EXPECT_EQ(finding.phase, host::Phase::PostLibrary);
    EXPECT_EQ(state.calls[0].request.flags, 1u);  // damaged
    EXPECT_EQ(engines->killFound(target), KILL_REPAIRED);
    EXPECT_EQ(engines->killFound(target), KILL_FAILED);
    EXPECT_EQ(sequence(), (std::vector<std::string>{"pre scan", "post scan", "post kill"}));
    // The kill sees the request of the scan that found the virus.
    EXPECT_EQ(state.calls[2].request.emulator, state.calls[1].request.emulator);
}

TEST_F(ModuleHost, PreLibraryFindingSkipsThePostEngine) {
    state.pre.scanResult = [] { return 0x3DDDu; };
    host::ScanTarget target(file);
    host::ScanFinding finding = engines->scan(target);
    EXPECT_EQ(finding.phase, host::Phase::PreLibrary);
    EXPECT_EQ(engines->killFound(target), KILL_REPAIRED);
    EXPECT_EQ(sequence(), (std::vector<std::string>{"pre scan", "pre kill"}));
}

TEST_F(ModuleHost, KeptFindingBelongsToTheLastScannedFileOnly) {
    state.pre.scanResult = [] { return 0x3DDDu; };
    host::ScanTarget first(file);
    ASSERT_TRUE(engines->scan(first).found());
    host::FileObject* other = host::FileObject::fromBytes({1});
    host::ScanTarget second(other);
    other->Release();
    state.pre.scanResult = [] { return 0u; };
    engines->scan(second);
    EXPECT_EQ(engines->killFound(first), KILL_FAILED);  // its kept unit is gone
    EXPECT_EQ(engines->killFound(second), KILL_FAILED);
    for (const Call& c : state.calls) EXPECT_NE(c.operation, "kill");
}

TEST_F(ModuleHost, EngineFailuresAndExceptionsAreReportedNotFound) {
    state.pre.scanResult = [] { return KILL_FAILED; };  // a unit could not be created
    host::ScanTarget target(file);
    host::ScanFinding finding = engines->scan(target);
    EXPECT_TRUE(finding.failed);
    EXPECT_FALSE(finding.found());
    EXPECT_EQ(finding.engineResult, KILL_FAILED);
    state.pre.scanResult = []() -> uint32_t { throw std::runtime_error("boom"); };
    finding = engines->scan(target);
    EXPECT_TRUE(finding.failed);
    state.pre.scanResult = [] { return 0x3DDDu; };
    state.pre.killResult = []() -> uint32_t { throw std::runtime_error("boom"); };
    ASSERT_TRUE(engines->scan(target).found());
    EXPECT_EQ(engines->killFound(target), KILL_FAILED);
}

// A kill that met a refused write and still says "repaired": the host answers a failure, and
// the module's own answer stays readable for tests that hold units to honesty without that net.
TEST_F(ModuleHost, ModulesOwnKillAnswerIsKeptBesideTheHostsVerdict) {
    const auto repairedOverFailedWrite = [this] {
        file->failNth(host::StreamOp::Write, 1);
        uint32_t done = 0;
        EXPECT_EQ(file->Write("x", 1, &done), QE_E_FAIL);
        return KILL_REPAIRED;
    };
    state.kill.killResult = repairedOverFailedWrite;
    state.pre.killResult = repairedOverFailedWrite;
    state.pre.scanResult = [] { return 0x3DDDu; };
    host::ScanTarget target(file);
    EXPECT_EQ(engines->lastModuleKillResult(), 0u);  // no kill yet

    EXPECT_EQ(engines->kill(target, host::KillRequest::byId(0x3DDD)), KILL_FAILED);
    EXPECT_EQ(engines->lastModuleKillResult(), KILL_REPAIRED);

    ASSERT_TRUE(engines->scan(target).found());
    EXPECT_EQ(engines->killFound(target), KILL_FAILED);
    EXPECT_EQ(engines->lastModuleKillResult(), KILL_REPAIRED);
    // A second killFound runs no engine: there is no answer of the module's to report.
    EXPECT_EQ(engines->killFound(target), KILL_FAILED);
    EXPECT_EQ(engines->lastModuleKillResult(), 0u);

    // Without a failure both answers agree.
    file->failNth(host::StreamOp::Write, 0);
    state.kill.killResult = [] { return KILL_REMOVED; };
    EXPECT_EQ(engines->kill(target, host::KillRequest::byMethod(1)), KILL_REMOVED);
    EXPECT_EQ(engines->lastModuleKillResult(), KILL_REMOVED);
}

struct KillCase {
    const char* name;
    host::KillRequest request;
    int32_t method;
    uint32_t virusId;
    uint32_t parameter;
};

class ModuleHostKill : public ModuleHost, public ::testing::WithParamInterface<KillCase> {};

TEST_P(ModuleHostKill, KillEngineReceivesTheRequestRecord) {
    const KillCase& c = GetParam();
    state.kill.killResult = [] { return KILL_REMOVED; };
    host::ScanTarget target(file);
    EXPECT_EQ(engines->kill(target, c.request), KILL_REMOVED);
    ASSERT_EQ(sequence(), (std::vector<std::string>{"kill kill"}));
    const STScanExRequest& r = state.calls[0].request;
    EXPECT_EQ(r.method, c.method);
    EXPECT_EQ(r.virusId, c.virusId);
    EXPECT_EQ(r.methodParameter, c.parameter);
}

INSTANTIATE_TEST_SUITE_P(Forms, ModuleHostKill,
                         ::testing::Values(KillCase{"by_id", host::KillRequest::byId(0x3DDD), 0, 0x3DDD, 0},
                                           KillCase{"by_method", host::KillRequest::byMethod(7), 1, 0, 7},
                                           KillCase{"special", host::KillRequest::special(3, 9),
                                                    int32_t(0x80000003u), 0, 9}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- loading by path

TEST(ModuleLoad, MissingFileAndLibraryWithoutEntryAreErrors) {
    std::string error;
    EXPECT_EQ(host::Module::load("/nonexistent/libremedy.so", &error), nullptr);
    EXPECT_FALSE(error.empty());
    // The host framework library is a shared library, but not a module.
    const auto qxbase = std::filesystem::path(REMEDY_MODULE_PATH).parent_path() / "libqxbase.so";
    EXPECT_EQ(host::Module::load(qxbase.string(), &error), nullptr);
    EXPECT_NE(error.find("not a module"), std::string::npos) << error;
}

}  // namespace
