// The list of every fuzz target, for the regression test and the seed writer.
#include "fuzz/fuzz_targets.h"

namespace fuzz {

namespace {
const Target kTargets[] = {
    {"pe_header_exec", peHeaderExec},
    {"pe_header_stream", peHeaderStream},
    {"pe_resources", peResources},
    {"pe_resources_exec", peResourcesExec},
    {"pe_imports", peImports},
    {"ole_reader", oleReader},
    {"ole_editor", oleEditor},
    {"lzh_unpacker", lzhUnpacker},
    {"string_dump", stringDump},
    {"media_readers", mediaReaders},
    {"scan_engines", scanEngines},
    {"kill_engine", killEngine},
    {"quarantine_record", quarantineRecord},
    {"unit_listing", unitListing},
    {"archive_walk", archiveWalk},
};
}  // namespace

std::span<const Target> allTargets() { return kTargets; }

}  // namespace fuzz
