#include "tests/robustness/corpus_host.h"

#include "host/classify.h"

namespace robustness {

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
