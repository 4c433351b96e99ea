#include "tests/robustness/corpus_host.h"

#include <stdexcept>

#include "host/classify.h"
#include "host/running_object_table.h"
#include "host/services.h"

namespace robustness {

host::Engines& heuristicEngines() {
    static std::unique_ptr<host::Engines> engines = [] {
        std::string error;
        auto module = host::Module::load(REMEDY_MODULE_PATH, &error);
        if (!module) throw std::runtime_error(error);
        host::RunningObjectTable* rot = host::RunningObjectTable::createDefault();
        rot->engineConfig()->setHeuristics(true);
        auto made = host::Engines::create(module, rot, &error);
        rot->Release();  // the engines hold their own reference
        if (!made) throw std::runtime_error(error);
        return made;
    }();
    return *engines;
}

void giveFormat(host::FileObject* object, const CorpusFile& file) {
    if (file.format) object->setFormat(file.format);
    else host::classify(object);
}

host::FileObject* corpusObject(const CorpusFile& file, const fixtures::Bytes& bytes, const std::string& directory) {
    host::FileObject* object = host::FileObject::fromBytes(bytes, directory + "/" + file.name);
    giveFormat(object, file);
    return object;
}

host::KillRequest killRequestOf(const CorpusFile& file) {
    switch (file.repair) {
        case RepairBy::Method: return host::KillRequest::byMethod(file.number);
        case RepairBy::Special: return host::KillRequest::special(file.number, file.parameter);
        default: return host::KillRequest::byId(file.number);
    }
}

}  // namespace robustness
