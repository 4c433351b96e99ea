// The fuzz targets: one entry function per reader of file bytes. Each takes one input and
// must return 0 whatever the bytes are; a crash, a hang or a sanitizer report is the finding.
// The same functions back the libFuzzer programs (fuzz_<name>), the plain reproducers
// (repro_<name>) and the regression test that replays tests/regressions/<name>/.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace fuzz {

using Entry = int (*)(const uint8_t* data, size_t size);

struct Target {
    const char* name;  // also the folder of its seeds and regression inputs
    Entry run;
};

// PE headers, resources and imports (module/toolkit).
int peHeaderExec(const uint8_t* data, size_t size);    // CPEHeander over the real emulator
int peHeaderStream(const uint8_t* data, size_t size);  // CPEHeander2 over a file stream
int peResources(const uint8_t* data, size_t size);     // CResFinder over the host PE archive
int peResourcesExec(const uint8_t* data, size_t size); // FindRes / EnumRes over the emulator
int peImports(const uint8_t* data, size_t size);       // CImportedApis over the host PE archive

// Document and media formats (module/formats).
int oleReader(const uint8_t* data, size_t size);   // COleFile reads and OLESSDataFile
int oleEditor(const uint8_t* data, size_t size);   // COleFile writes, resizes and removes
int lzhUnpacker(const uint8_t* data, size_t size); // first 3 bytes: declared size; rest packed
int stringDump(const uint8_t* data, size_t size);  // CScanStrDump over the bytes
int mediaReaders(const uint8_t* data, size_t size);  // ASF objects and QuickTime atoms

// The engines through the host, with the real emulator and the shipped tables.
// First byte: format code (low 4 bits index kFuzzFormats) and damaged flag (bit 7).
int scanEngines(const uint8_t* data, size_t size);
// First byte as above; second byte: which method-number or special-method row; bytes 2..5:
// the special method's parameter; the rest is the file.
int killEngine(const uint8_t* data, size_t size);

// The archive walk: libarchive's readers, the unpacking limits and the rewrite (host/archive).
int archiveWalk(const uint8_t* data, size_t size);

// The host's own records.
int quarantineRecord(const uint8_t* data, size_t size);  // a quarantine entry's ID.json
int unitListing(const uint8_t* data, size_t size);       // the unit listing beside a module

std::span<const Target> allTargets();

}  // namespace fuzz
