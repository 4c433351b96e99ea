#include "tests/units/dos/dos_test_support.h"

#include <gtest/gtest.h>

#include <memory>

#include "host/running_object_table.h"
#include "sdk/format_codes.h"

namespace dostest {

namespace {

struct Host {
    std::shared_ptr<host::Module> module;
    host::RunningObjectTable* rot = nullptr;
    std::unique_ptr<host::Engines> engines;
};

// One module and one set of engines for the whole test program.
Host& sharedHost() {
    static Host* h = [] {
        auto* made = new Host;
        std::string error;
        made->module = host::Module::load(REMEDY_MODULE_PATH, &error);
        if (!made->module) throw std::runtime_error("cannot load the module: " + error);
        made->rot = host::RunningObjectTable::createDefault();
        made->engines = host::Engines::create(made->module, made->rot, &error);
        if (!made->engines) throw std::runtime_error("cannot create the engines: " + error);
        return made;
    }();
    return *h;
}

host::FileObject* newFile(const Bytes& bytes, uint32_t format) {
    host::FileObject* file = host::FileObject::fromBytes(bytes, format == qe::FORMAT_COM ? "sample.com" : "sample.exe");
    file->setFormat(format);
    return file;
}

}  // namespace

KillOutcome kill(const Bytes& bytes, uint32_t format, const host::KillRequest& request) {
    host::FileObject* file = newFile(bytes, format);
    KillOutcome outcome;
    {
        host::ScanTarget target(file);
        outcome.result = sharedHost().engines->kill(target, request);
    }
    outcome.bytes = file->bytes();
    outcome.removed = file->removed();
    file->Release();
    return outcome;
}

KillOutcome killById(const Bytes& bytes, uint32_t format, uint32_t virusId) {
    return kill(bytes, format, host::KillRequest::byId(virusId));
}

ScanOutcome scanThenKill(const Bytes& bytes, uint32_t format) {
    host::FileObject* file = newFile(bytes, format);
    ScanOutcome outcome;
    {
        host::ScanTarget target(file);
        outcome.finding = sharedHost().engines->scan(target);
        if (outcome.finding.found()) outcome.killResult = sharedHost().engines->killFound(target);
    }
    outcome.bytes = file->bytes();
    outcome.removed = file->removed();
    file->Release();
    return outcome;
}

Bytes withPageCountOf(const Bytes& clean, const Bytes& infected) {
    Bytes expected = clean;
    for (size_t i = 2; i < 6; ++i) expected[i] = infected[i];
    return expected;
}

}  // namespace dostest
