// Runs corpus files through the module as the command line does: the module loaded by path,
// heuristics on, the pre-library, post-library and unknown-virus engines, then the repair.
#pragma once

#include <memory>
#include <string>

#include "host/module_host.h"
#include "host/qxbase/file_object.h"
#include "tests/robustness/sample_corpus.h"
#include "tests/support/module_driver.h"

namespace robustness {

// A file object over `bytes` named like the corpus file, with its format (or the classifier's).
host::FileObject* corpusObject(const CorpusFile& file, const fixtures::Bytes& bytes, const std::string& directory = "/scan");
void giveFormat(host::FileObject* object, const CorpusFile& file);

// The kill request of a corpus file repaired through the kill engine.
host::KillRequest killRequestOf(const CorpusFile& file);

}  // namespace robustness
