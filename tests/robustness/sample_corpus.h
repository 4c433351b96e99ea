// Every kind of file the fixture builders make, with the repair each infected one takes: the
// corpus that the hostile-input tests mutate and the fault-injection tests repair.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "tests/fixtures/bytes.h"

namespace robustness {

enum class RepairBy {
    None,     // a clean file or a document: scanned only
    Found,    // the scan engines find it and repair it through the unit they kept
    Id,       // the kill engine, by virus identifier
    Method,   // the kill engine, by method number
    Special,  // the kill engine, by special method and parameter
};

struct CorpusFile {
    std::string name;      // a label that is also a file name (its extension guides the classifier)
    fixtures::Bytes bytes;
    uint32_t format = 0;   // the format code the host gives it; 0: what the classifier says
    RepairBy repair = RepairBy::None;
    uint32_t number = 0;     // virus identifier, method or special-method number
    uint32_t parameter = 0;  // the special method's parameter
    // Files the repair reads beside this one (name, bytes): written next to it before a kill.
    std::vector<std::pair<std::string, fixtures::Bytes>> companions;
};

// Made once; builders that cannot run here (no assembler output) are left out.
const std::vector<CorpusFile>& sampleCorpus();

}  // namespace robustness

namespace robustness {
// Test output names a corpus file by its label, not its bytes.
inline void PrintTo(const CorpusFile& file, std::ostream* out) { *out << file.name; }
}  // namespace robustness
