// Fuzz targets for the engines, driven as the host drives them: the module core linked in,
// the default running-object table, the real emulator, the shipped unit tables.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/fuzz_targets.h"
#include "host/module_host.h"
#include "host/running_object_table.h"
#include "module/frame/class_table.h"
#include "module/frame/unit_table.h"
#include "sdk/format_codes.h"

namespace fuzz {
namespace {

// Every format code the host can give a file, including one no engine acts on.
constexpr uint32_t kFuzzFormats[] = {
    qe::FORMAT_PE,  qe::FORMAT_MZ,  qe::FORMAT_COM, qe::FORMAT_VBS,
    qe::FORMAT_FILE, qe::FORMAT_SWF, qe::FORMAT_SWF_COMPRESSED, qe::FORMAT_JPEG,
    qe::FORMAT_PDF, qe::FORMAT_UNKNOWN,
};
constexpr size_t kFormatCount = sizeof kFuzzFormats / sizeof kFuzzFormats[0];

// The engines, made once per process (the host keeps them for a whole scan too).
host::Engines& engines() {
    static const char* const kVersion = "remedy fuzz";
    static host::Engines* shared = [] {
        initializeModule();
        std::string error;
        auto module = host::Module::linked(&getClassObject, &kVersion);
        host::RunningObjectTable* rot = host::RunningObjectTable::createDefault();
        std::unique_ptr<host::Engines> made = host::Engines::create(module, rot, &error);
        if (!made) {
            std::fprintf(stderr, "fuzz: cannot create the engines: %s\n", error.c_str());
            std::abort();
        }
        return made.release();  // lives as long as the process
    }();
    return *shared;
}

// The kill requests the tables answer: every method-number row and every special-method row.
const std::vector<host::KillRequest>& killRequests() {
    static const std::vector<host::KillRequest> requests = [] {
        std::vector<host::KillRequest> made;
        for (const UnitTableEntry* row = aMethodKill; row->create; ++row) made.push_back(host::KillRequest::byMethod(row->id));
        for (const UnitTableEntry* row = aSpecKill; row->create; ++row) made.push_back(host::KillRequest::special(row->id, 0));
        // A method number and a special method no row answers.
        made.push_back(host::KillRequest::byMethod(0x7FFFFFFF));
        made.push_back(host::KillRequest::special(0x7FFFFFF, 0));
        return made;
    }();
    return requests;
}

host::FileObject* fileWithFormat(const uint8_t* data, size_t size, uint8_t selector) {
    host::FileObject* file = host::FileObject::fromBytes(std::vector<uint8_t>(data, data + size));
    file->setFormat(kFuzzFormats[(selector & 0x0F) % kFormatCount]);
    return file;
}

}  // namespace

int scanEngines(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    host::FileObject* file = fileWithFormat(data + 1, size - 1, data[0]);
    {
        host::ScanTarget target(file);
        target.damaged = (data[0] & 0x80) != 0;
        const host::ScanFinding finding = engines().scan(target);
        // A finding is repaired the way the command line would, so the unit's repair runs
        // over the same hostile bytes its detection accepted.
        if (finding.found()) engines().killFound(target);
    }
    file->Release();
    return 0;
}

int killEngine(const uint8_t* data, size_t size) {
    if (size < 6) return 0;
    host::KillRequest request = killRequests()[data[1] % killRequests().size()];
    if (request.method != qe::KILL_BY_METHOD)
        request.methodParameter = uint32_t(data[2] | data[3] << 8 | data[4] << 16 | uint32_t(data[5]) << 24);
    host::FileObject* file = fileWithFormat(data + 6, size - 6, data[0]);
    {
        host::ScanTarget target(file);
        target.damaged = (data[0] & 0x80) != 0;
        engines().kill(target, request);
    }
    file->Release();
    return 0;
}

}  // namespace fuzz
