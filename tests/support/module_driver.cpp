#include "tests/support/module_driver.h"

#include <stdexcept>

#include "host/classify.h"
#include "host/pe/packer_layer.h"
#include "host/services.h"
#include "sdk/format_codes.h"

namespace support {

namespace {

std::unique_ptr<host::Engines> makeEngines(bool heuristics) {
    std::string error;
    auto module = host::Module::load(REMEDY_MODULE_PATH, &error);
    if (!module) throw std::runtime_error("cannot load the module: " + error);
    host::RunningObjectTable* rot = host::RunningObjectTable::createDefault();
    rot->engineConfig()->setHeuristics(heuristics);
    auto engines = host::Engines::create(module, rot, &error);
    rot->Release();  // the engines hold their own reference
    if (!engines) throw std::runtime_error("cannot create the engines: " + error);
    return engines;
}

host::FileObject* newFile(const Bytes& bytes, uint32_t format, const std::string& path) {
    host::FileObject* file = host::FileObject::fromBytes(bytes, path);
    if (format == kClassify) host::classify(file);
    else file->setFormat(format);
    return file;
}

}  // namespace

host::Engines& sharedEngines() {
    static std::unique_ptr<host::Engines> engines = makeEngines(false);
    return *engines;
}

host::Engines& heuristicEngines() {
    static std::unique_ptr<host::Engines> engines = makeEngines(true);
    return *engines;
}

std::string sampleName(uint32_t format) { return format == qe::FORMAT_COM ? "sample.com" : "sample.exe"; }

Sample::Sample(const Bytes& bytes, uint32_t format) : Sample(bytes, format, sampleName(format)) {}

Sample::Sample(const Bytes& bytes, uint32_t format, const std::string& path) : scanned(newFile(bytes, format, path)) {}

Sample::Sample(Packed, const Bytes& unpacked, const Bytes& outerBytes)
    : scanned(newFile(unpacked, qe::FORMAT_PE, sampleName(qe::FORMAT_PE))),
      outer(newFile(outerBytes, qe::FORMAT_PE, sampleName(qe::FORMAT_PE))) {
    if (!host::linkPackerLayer(outer, scanned)) ADD_FAILURE() << "the host did not link the packer layer";
}

Sample Sample::insidePacked(const Bytes& unpacked, const Bytes& outer) { return Sample(Packed{}, unpacked, outer); }

Sample::~Sample() {
    scanned->Release();
    if (outer) outer->Release();
}

Outcome Sample::kill(const host::KillRequest& request, host::Engines& engines) {
    Outcome outcome;
    {
        host::ScanTarget target(scanned);
        target.damaged = damaged;
        outcome.result = engines.kill(target, request);
    }
    return finish(outcome);
}

Outcome Sample::scan(host::Engines& engines) { return scan(engines, false); }

Outcome Sample::scanThenKill(host::Engines& engines) { return scan(engines, true); }

Outcome Sample::scan(host::Engines& engines, bool thenKill) {
    Outcome outcome;
    {
        host::ScanTarget target(scanned);
        target.damaged = damaged;
        outcome.finding = engines.scan(target);
        if (thenKill && outcome.finding.found()) outcome.result = engines.killFound(target);
    }
    return finish(outcome);
}

Outcome Sample::finish(Outcome outcome) const {
    outcome.format = scanned->format();
    outcome.bytes.assign(scanned->bytes().begin(), scanned->bytes().end());
    outcome.removed = scanned->removed();
    return outcome;
}

Outcome kill(const Bytes& bytes, uint32_t format, const host::KillRequest& request) {
    return Sample(bytes, format).kill(request);
}

Outcome kill(const Bytes& bytes, uint32_t format, const host::KillRequest& request, const std::string& path,
             host::Engines& engines) {
    return Sample(bytes, format, path).kill(request, engines);
}

Outcome scanThenKill(const Bytes& bytes, uint32_t format) { return Sample(bytes, format).scanThenKill(); }

Outcome scanThenKill(const Bytes& bytes, uint32_t format, const std::string& path, host::Engines& engines) {
    return Sample(bytes, format, path).scanThenKill(engines);
}

void ModuleEnginesTest::startEngines() {
    std::string error;
    module_ = host::Module::load(REMEDY_MODULE_PATH, &error);
    ASSERT_TRUE(module_) << error;
    rot_ = host::RunningObjectTable::createDefault();
    engines_ = host::Engines::create(module_, rot_, &error);
    ASSERT_TRUE(engines_) << error;
}

void ModuleEnginesTest::TearDown() {
    engines_.reset();
    if (rot_) rot_->Release();
    rot_ = nullptr;
}

}  // namespace support
