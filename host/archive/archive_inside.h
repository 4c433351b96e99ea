// Repairs inside an archive: whether the members a repair changed can be written back, the new
// archive when they can, and what each member's line then says.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "host/archive/archive_walk.h"
#include "host/quarantine.h"

namespace host {

struct InsideRepair {
    std::vector<uint8_t> bytes;  // the new archive, read back and checked; empty when not rewritten
    std::string refusal;         // why the archive is not rewritten ("found inside; ...: not repaired")
    bool failed = false;         // the rewrite itself failed (an error, not a format it cannot write)
};

// The archive in `original` with the walk's changes, when every member was read and the format
// is one remedy writes. Call only when walk.changes is not empty.
InsideRepair rewriteWithChanges(std::span<const uint8_t> original, const ArchiveWalk& walk);

// The members whose repair went into the archive on disk say so ("repaired in the archive",
// a nested archive written again "repaired inside"), or with `dryRun` that it would be.
void sayMembersRepaired(std::vector<ScanResult>& members, bool dryRun);
// The members whose repair was not written back: not repaired after all.
void sayMembersNotRepaired(std::vector<ScanResult>& members);

// What the quarantine records for an archive repaired inside: the first finding in a member.
Verdict insideVerdict(const std::vector<ScanResult>& members);

}  // namespace host
