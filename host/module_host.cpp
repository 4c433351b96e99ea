#include "host/module_host.h"

#include <atomic>
#include <dlfcn.h>

#include "host/classify.h"
#include "sdk/identifiers.h"

namespace host {

// ---------------------------------------------------------------- module

std::shared_ptr<Module> Module::load(const std::string& path, std::string* error) {
    auto fail = [&](const std::string& why) -> std::shared_ptr<Module> {
        if (error) *error = why;
        return nullptr;
    };
    void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* why = ::dlerror();
        return fail(why ? why : "cannot load " + path);
    }
    auto entry = reinterpret_cast<QEGetClassObjectFn>(::dlsym(handle, "QEGetClassObject"));
    auto version = static_cast<const char* const*>(::dlsym(handle, "version"));
    if (!entry || !version) {
        ::dlclose(handle);
        return fail(path + " is not a module: QEGetClassObject or version is missing");
    }
    std::shared_ptr<Module> module(new Module());
    module->handle_ = handle;
    module->getClassObject_ = entry;
    module->version_ = version;
    module->path_ = path;
    return module;
}

std::shared_ptr<Module> Module::linked(QEGetClassObjectFn entry, const char* const* version) {
    if (!entry) return nullptr;
    std::shared_ptr<Module> module(new Module());
    module->getClassObject_ = entry;
    module->version_ = version;
    module->path_ = "(linked)";
    return module;
}

Module::~Module() {
    if (handle_) ::dlclose(handle_);
}

std::string Module::versionText() const {
    std::string text = version_ && *version_ ? *version_ : "";
    size_t first = text.find_first_not_of("\r\n");
    size_t last = text.find_last_not_of("\r\n");
    return first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
}

QRESULT Module::classFactory(const GUID& classId, IQXClassFactory** out) const {
    if (!out) return QE_E_INVALIDARG;
    *out = nullptr;
    void* factory = nullptr;
    QRESULT r = getClassObject_(classId, qe::IID_IQXClassFactory, &factory);
    if (r != QE_OK) return r;
    if (!factory) return QE_E_FAIL;
    *out = static_cast<IQXClassFactory*>(factory);
    return QE_OK;
}

const char* phaseName(Phase phase) {
    switch (phase) {
        case Phase::PreLibrary: return "pre-library";
        case Phase::PostLibrary: return "post-library";
        case Phase::None: break;
    }
    return "none";
}

// ---------------------------------------------------------------- scan target

namespace {
std::atomic<uint64_t> nextSerial{1};

// The module never throws across its boundary; a host cannot let one end the process either.
template <class Call>
uint32_t guarded(Call call, bool* threw) {
    try {
        return call();
    } catch (...) {
        *threw = true;
        return KILL_FAILED;
    }
}
}  // namespace

ScanTarget::ScanTarget(FileObject* file) : file_(file), serial_(nextSerial.fetch_add(1)) { file_->AddRef(); }

ScanTarget::~ScanTarget() {
    emulator_.reset();  // it holds a reference to the file
    file_->Release();
}

// ---------------------------------------------------------------- engines

std::unique_ptr<Engines> Engines::create(std::shared_ptr<Module> module, RunningObjectTable* rot,
                                         std::string* error) {
    auto fail = [&](const std::string& why) -> std::unique_ptr<Engines> {
        if (error) *error = why;
        return nullptr;
    };
    if (!module || !rot) return fail("no module or no running-object table");
    std::unique_ptr<Engines> engines(new Engines());
    engines->module_ = std::move(module);
    engines->rot_ = rot;
    rot->AddRef();
    struct Wanted {
        const GUID* classId;
        IQEEngineScanEx** slot;
        const char* name;
    };
    const Wanted wanted[] = {
        {&qe::CLSID_CQEEngineScanExPre, &engines->pre_, "pre-library engine"},
        {&qe::CLSID_CQEEngineScanExPost, &engines->post_, "post-library engine"},
        {&qe::CLSID_CQEEngineKillEx, &engines->kill_, "kill engine"},
    };
    for (const Wanted& w : wanted) {
        IQXClassFactory* factory = nullptr;
        QRESULT r = engines->module_->classFactory(*w.classId, &factory);
        if (r != QE_OK) return fail(std::string("the module has no ") + w.name);
        void* engine = nullptr;
        r = factory->CreateInstance(static_cast<IQERunningObjectTable*>(rot), nullptr, qe::IID_IQEEngineScanEx,
                                    &engine);
        factory->Release();
        if (r != QE_OK || !engine) return fail(std::string("cannot create the ") + w.name);
        *w.slot = static_cast<IQEEngineScanEx*>(engine);
    }
    return engines;
}

Engines::~Engines() {
    for (IQEEngineScanEx* engine : {pre_, post_, kill_})
        if (engine) engine->Release();
    if (rot_) rot_->Release();
}

ScanFinding Engines::scan(ScanTarget& target) {
    FileObject* file = target.file_;
    if (file->HasProperty(qe::PID_File_CurrentFormat) != QE_OK) classify(file);
    lastFoundSerial_ = 0;
    lastFoundPhase_ = Phase::None;
    target.emulator_.reset();
    ScanFinding finding;
    const std::pair<IQEEngineScanEx*, Phase> order[] = {{pre_, Phase::PreLibrary}, {post_, Phase::PostLibrary}};
    for (const auto& step : order) {
        // Plain variables, not a structured binding: clang 14 (the fuzz build) cannot capture one.
        IQEEngineScanEx* const engine = step.first;
        const Phase phase = step.second;
        // Each engine call gets a freshly loaded emulator; the one of a hit is kept for Kill.
        std::unique_ptr<Emulator> emulator = Emulator::create(file);
        STScanExRequest request{};
        request.flags = target.damaged ? 1 : 0;
        request.emulator = emulator.get();
        bool threw = false;
        uint32_t result =
            guarded([&] { return engine->Scan(static_cast<IQEArchive*>(file), &request); }, &threw);
        if (threw || (result & 0x80000000u)) {  // identifiers never carry bit 31
            finding.failed = true;
            finding.engineResult = result;
            finding.phase = phase;
            return finding;
        }
        if (result != 0) {
            finding.virusId = result;
            finding.phase = phase;
            target.emulator_ = std::move(emulator);
            target.request_ = request;
            lastFoundSerial_ = target.serial_;
            lastFoundPhase_ = phase;
            return finding;
        }
    }
    return finding;
}

uint32_t Engines::killFound(ScanTarget& target) {
    if (lastFoundSerial_ == 0 || lastFoundSerial_ != target.serial_) return KILL_FAILED;
    IQEEngineScanEx* engine = lastFoundPhase_ == Phase::PreLibrary ? pre_ : post_;
    lastFoundSerial_ = 0;  // the kept unit repairs once
    lastFoundPhase_ = Phase::None;
    bool threw = false;
    uint32_t result = guarded(
        [&] { return engine->Kill(static_cast<IQEArchive*>(target.file_), &target.request_); }, &threw);
    return threw ? KILL_FAILED : result;
}

uint32_t Engines::kill(ScanTarget& target, const KillRequest& request) {
    FileObject* file = target.file_;
    if (file->HasProperty(qe::PID_File_CurrentFormat) != QE_OK) classify(file);
    std::unique_ptr<Emulator> emulator = Emulator::create(file);
    STScanExRequest record{};
    record.flags = request.flags;
    record.virusId = request.virusId;
    record.method = request.method;
    record.methodParameter = request.methodParameter;
    record.emulator = emulator.get();
    bool threw = false;
    uint32_t result = guarded([&] { return kill_->Kill(static_cast<IQEArchive*>(file), &record); }, &threw);
    return threw ? KILL_FAILED : result;
}

}  // namespace host
