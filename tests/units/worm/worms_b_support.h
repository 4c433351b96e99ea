// Running the Theals, Klez and LovGate cleaners the way a host does: a PE file object with a
// chosen path (Klez looks for its stored file beside the scanned one, and the dropped-DLL check
// reads the name), scanned and repaired by the engine that found it, or repaired by the kill
// engine by virus identifier.
#pragma once

#include <cstdint>
#include <string>

#include "host/module_host.h"
#include "sdk/format_codes.h"
#include "tests/fixtures/bytes.h"
#include "tests/fixtures/module_engines_test.h"

namespace wormtest {

using fixtures::Bytes;

struct Outcome {
    host::ScanFinding finding;  // scanThenKill only
    uint32_t result = 0;        // the kill's result (0 when nothing was found to kill)
    Bytes bytes;                // the file afterwards
    bool removed = false;       // the host was asked to delete it
};

inline host::FileObject* peFile(const Bytes& bytes, const std::string& path) {
    host::FileObject* file = host::FileObject::fromBytes(bytes, path);
    file->setFormat(qe::FORMAT_PE);
    return file;
}

inline Outcome finish(host::FileObject* file, Outcome outcome) {
    outcome.bytes = file->bytes();
    outcome.removed = file->removed();
    file->Release();
    return outcome;
}

inline Outcome scanThenKill(host::FileObject* file) {
    Outcome outcome;
    {
        host::ScanTarget target(file);
        outcome.finding = fixtures::sharedModuleEngines().scan(target);
        if (outcome.finding.found()) outcome.result = fixtures::sharedModuleEngines().killFound(target);
    }
    return finish(file, outcome);
}

inline Outcome scanThenKill(const Bytes& bytes, const std::string& path = "sample.exe") {
    return scanThenKill(peFile(bytes, path));
}

inline Outcome killById(host::FileObject* file, uint32_t virusId) {
    Outcome outcome;
    {
        host::ScanTarget target(file);
        outcome.result = fixtures::sharedModuleEngines().kill(target, host::KillRequest::byId(virusId));
    }
    return finish(file, outcome);
}

inline Outcome killById(const Bytes& bytes, uint32_t virusId, const std::string& path = "sample.exe") {
    return killById(peFile(bytes, path), virusId);
}

inline void fill(Bytes& bytes, uint32_t from, uint32_t length, uint8_t value) {
    for (uint32_t i = 0; i < length; ++i) bytes.at(from + i) = value;
}

inline void write(Bytes& bytes, uint32_t at, const Bytes& data) {
    for (size_t i = 0; i < data.size(); ++i) bytes.at(at + i) = data[i];
}

}  // namespace wormtest
