// Running the worm cleaners the way a host does: file objects (optionally the unpacked image of
// a packed outer file), the kill engine by virus id or method number, or a scan followed by a
// kill of what it found.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "host/module_host.h"
#include "host/pe/packer_layer.h"
#include "sdk/format_codes.h"
#include "tests/fixtures/bytes.h"
#include "tests/fixtures/module_engines_test.h"
#include "tests/units/dos/dos_test_support.h"

namespace wormtest {

using fixtures::Bytes;

// A file object and its packed outer file, released together.
struct Files {
    host::FileObject* scanned = nullptr;
    host::FileObject* outer = nullptr;  // null when the scanned file is not packed

    explicit Files(const Bytes& bytes, const std::string& path = "sample.exe") {
        scanned = host::FileObject::fromBytes(bytes, path);
        scanned->setFormat(qe::FORMAT_PE);
    }
    // `unpacked` is the scanned image of the packed file `packedBytes`.
    Files(const Bytes& unpacked, const Bytes& packedBytes) : Files(unpacked) {
        outer = host::FileObject::fromBytes(packedBytes, "sample.exe");
        outer->setFormat(qe::FORMAT_PE);
        host::linkPackerLayer(outer, scanned);
    }
    ~Files() {
        if (scanned) scanned->Release();
        if (outer) outer->Release();
    }
    Files(const Files&) = delete;
    Files& operator=(const Files&) = delete;

    uint32_t kill(const host::KillRequest& request) {
        host::ScanTarget target(scanned);
        return fixtures::sharedModuleEngines().kill(target, request);
    }
    uint32_t killById(uint32_t id) { return kill(host::KillRequest::byId(id)); }
    uint32_t killByMethod(uint32_t method) { return kill(host::KillRequest::byMethod(method)); }
    // Scans; when something was found, repairs it through the engine that found it.
    host::ScanFinding scanThenKill(uint32_t* killResult) {
        host::ScanTarget target(scanned);
        host::ScanFinding finding = fixtures::sharedModuleEngines().scan(target);
        *killResult = finding.found() ? fixtures::sharedModuleEngines().killFound(target) : 0;
        return finding;
    }
};

}  // namespace wormtest
