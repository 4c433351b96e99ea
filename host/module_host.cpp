#include "host/module_host.h"

#include <atomic>
#include <dlfcn.h>

#include "host/classify.h"
#include "host/services.h"
#include "host/signatures.h"
#include "sdk/format_codes.h"
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

std::string Module::fileName() const {
    if (!handle_) return {};
    Dl_info info{};
    if (::dladdr(reinterpret_cast<const void*>(getClassObject_), &info) && info.dli_fname && *info.dli_fname)
        return info.dli_fname;
    return path_;
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
        case Phase::Heuristic: return "heuristic";
        case Phase::Signatures: return "signatures";
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
    // The unknown-virus engine has no class of its own: the post-library engine's factory
    // creates it when asked for IQEEngine. A module without it scans without heuristics.
    IQXClassFactory* factory = nullptr;
    if (engines->module_->classFactory(qe::CLSID_CQEEngineScanExPost, &factory) == QE_OK) {
        void* engine = nullptr;
        if (factory->CreateInstance(static_cast<IQERunningObjectTable*>(rot), nullptr, qe::IID_IQEEngine, &engine) ==
                QE_OK &&
            engine)
            engines->unknown_ = static_cast<IQEEngine*>(engine);
        factory->Release();
    }
    return engines;
}

Engines::~Engines() {
    for (IQEEngineScanEx* engine : {pre_, post_, kill_})
        if (engine) engine->Release();
    if (unknown_) unknown_->Release();
    if (rot_) rot_->Release();
}

bool Engines::useSignatures(std::shared_ptr<const SignatureLibrary> library, std::string* error) {
    signatures_.reset();
    if (!library) return true;
    signatures_ = SignatureScanner::create(std::move(library), error);
    return signatures_ != nullptr;
}

ScanFinding Engines::scan(ScanTarget& target) {
    const EngineRequest request;
    FileObject* file = target.file_;
    const CompanionDirectory companions(file);
    if (file->HasProperty(qe::PID_File_CurrentFormat) != QE_OK) classify(file);
    lastFoundSerial_ = 0;
    lastFoundPhase_ = Phase::None;
    target.emulator_.reset();
    ScanFinding finding = scanOnce(target);
    // A Flash movie is an ordinary file too: the ordinary-file units (a Flash detector among
    // them) see it in a second pass as format 0; its own format is put back afterwards.
    const uint32_t format = file->format();
    if (!finding.failed && finding.virusId == 0 && (format == qe::FORMAT_SWF || format == qe::FORMAT_SWF_COMPRESSED)) {
        file->setFormat(qe::FORMAT_FILE);
        finding = scanOnce(target);
        file->setFormat(format);
    }
    finding.limits = lastLimits_ = request.limits();
    if (finding.limits.timedOut) {
        // The engines answered from runs cut short by the clock: no verdict, no repair.
        finding.failed = true;
        finding.virusId = 0;
        finding.rule.clear();
        finding.ruleName.clear();
        lastFoundSerial_ = 0;
        lastFoundPhase_ = Phase::None;
        target.emulator_.reset();
    }
    return finding;
}

// Runs the pre-library engine, then the post-library engine, over the file as it is classified.
ScanFinding Engines::scanOnce(ScanTarget& target) {
    FileObject* file = target.file_;
    ScanFinding finding;
    const std::pair<IQEEngineScanEx*, Phase> order[] = {{pre_, Phase::PreLibrary}, {post_, Phase::PostLibrary}};
    for (const auto& step : order) {
        // Plain variables, not a structured binding: clang 14 (the fuzz build) cannot capture one.
        IQEEngineScanEx* const engine = step.first;
        const Phase phase = step.second;
        // The host's own library runs where the module expects it: after the pre-library
        // engine found nothing, before the post-library engine.
        if (phase == Phase::PostLibrary && signatures_) {
            int failed = 0;
            std::optional<SignatureHit> hit = signatures_->scan(file->bytes(), file->format(), &failed);
            if (failed) {
                finding.failed = true;
                finding.engineResult = uint32_t(failed);
                finding.phase = Phase::Signatures;
                return finding;
            }
            if (hit) {
                finding.virusId = hit->virusId;
                finding.phase = Phase::Signatures;
                finding.rule = hit->rule;
                finding.ruleName = hit->name;
                lastSignatureKill_ = hit->kill;
                lastFoundSerial_ = target.serial_;
                lastFoundPhase_ = Phase::Signatures;
                return finding;
            }
        }
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
    if (unknown_) {
        bool threw = false;
        const uint32_t result = guarded([&] { return unknown_->Scan(static_cast<IQEArchive*>(file)); }, &threw);
        if (threw || (result & 0x80000000u)) {
            finding.failed = true;
            finding.engineResult = result;
            finding.phase = Phase::Heuristic;
        } else if (result != 0) {
            finding.virusId = result;
            finding.phase = Phase::Heuristic;
            lastFoundSerial_ = target.serial_;
            lastFoundPhase_ = Phase::Heuristic;
        }
    }
    return finding;
}

namespace {

// A kill that met a storage failure (a read, write, seek or resize the file object refused) and
// still reports success is not believed: the unit may have gone on over bytes it never got, and
// a half-made repair must not be committed as a whole one.
uint32_t believed(const FileObject* file, uint64_t failuresBefore, uint32_t result) {
    const bool success = result == KILL_REPAIRED || result == KILL_REMOVED;
    return success && file->storageFailures() != failuresBefore ? KILL_FAILED : result;
}

}  // namespace

uint32_t Engines::finishKill(const EngineRequest& request, uint32_t result) {
    lastLimits_ = request.limits();
    return lastLimits_.timedOut ? KILL_FAILED : result;
}

uint32_t Engines::killFound(ScanTarget& target) {
    lastModuleKillResult_ = 0;
    const EngineRequest request;
    return finishKill(request, killFoundInRequest(target));
}

uint32_t Engines::kill(ScanTarget& target, const KillRequest& killRequest) {
    lastModuleKillResult_ = 0;
    const EngineRequest request;
    return finishKill(request, killInRequest(target, killRequest));
}

uint32_t Engines::killFoundInRequest(ScanTarget& target) {
    if (lastFoundSerial_ == 0 || lastFoundSerial_ != target.serial_) return KILL_FAILED;
    const Phase phase = lastFoundPhase_;
    const CompanionDirectory companions(target.file_);
    lastFoundSerial_ = 0;  // the kept unit repairs once
    lastFoundPhase_ = Phase::None;
    if (phase == Phase::Signatures) return killInRequest(target, lastSignatureKill_);
    bool threw = false;
    const uint64_t failures = target.file_->storageFailures();
    if (phase == Phase::Heuristic) {
        if (!unknown_) return KILL_FAILED;
        const uint32_t result = guarded([&] { return unknown_->Kill(static_cast<IQEArchive*>(target.file_)); }, &threw);
        lastModuleKillResult_ = result;
        return threw ? KILL_FAILED : believed(target.file_, failures, result);
    }
    IQEEngineScanEx* engine = phase == Phase::PreLibrary ? pre_ : post_;
    uint32_t result = guarded(
        [&] { return engine->Kill(static_cast<IQEArchive*>(target.file_), &target.request_); }, &threw);
    lastModuleKillResult_ = result;
    return threw ? KILL_FAILED : believed(target.file_, failures, result);
}

uint32_t Engines::killInRequest(ScanTarget& target, const KillRequest& request) {
    FileObject* file = target.file_;
    const CompanionDirectory companions(file);
    if (file->HasProperty(qe::PID_File_CurrentFormat) != QE_OK) classify(file);
    std::unique_ptr<Emulator> emulator = Emulator::create(file);
    STScanExRequest record{};
    record.flags = request.flags;
    record.virusId = request.virusId;
    record.method = request.method;
    record.methodParameter = request.methodParameter;
    record.emulator = emulator.get();
    bool threw = false;
    const uint64_t failures = file->storageFailures();
    uint32_t result = guarded([&] { return kill_->Kill(static_cast<IQEArchive*>(file), &record); }, &threw);
    lastModuleKillResult_ = result;
    return threw ? KILL_FAILED : believed(file, failures, result);
}

}  // namespace host
