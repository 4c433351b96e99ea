// The fuzz target for the archive walk: libarchive over hostile bytes, the limits, nesting, and
// the rewrite with its read-back. A stand-in member scan replaces the engines (they have their
// own targets) and "repairs" every member of odd size, so that rewriting runs on every input
// that holds one.
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz/fuzz_targets.h"
#include "host/archive/archive_inside.h"
#include "host/archive/archive_walk.h"

namespace fuzz {

namespace {

// Small limits: the target's inputs are small, and a bomb must end fast here too.
host::ArchiveLimits fuzzLimits() {
    host::ArchiveLimits limits;
    limits.maxDepth = 4;
    limits.maxMembers = 64;
    limits.maxUnpacked = 16ull << 20;
    return limits;
}

host::ScanResult scanMember(std::vector<uint8_t> bytes, const std::string& name, host::UnpackState& state) {
    host::ScanResult result;
    result.path = name;
    result.scanned = true;
    result.size = bytes.size();
    const host::ArchiveWalk walk = host::walkArchive(bytes, name, fuzzLimits(), 1u << 20, state, scanMember);
    if (walk.isArchive) {
        result.inside = walk.members;
        if (walk.changes.empty()) return result;
        host::InsideRepair repair = host::rewriteWithChanges(bytes, walk);
        // A rewrite that is handed out was read back whole: it must open as an archive again.
        if (repair.refusal.empty()) {
            if (repair.bytes.empty() && !walk.members.empty()) std::abort();
            result.repaired = true;
            result.repairedBytes = std::move(repair.bytes);
        }
        return result;
    }
    if (bytes.size() % 2) {
        result.repaired = true;
        result.repairedBytes.assign(bytes.rbegin(), bytes.rend());
    }
    return result;
}

}  // namespace

int archiveWalk(const uint8_t* data, size_t size) {
    const host::ArchiveLimits limits = fuzzLimits();
    host::UnpackState state{0, limits.maxUnpacked};
    const std::vector<uint8_t> bytes(data, data + size);
    const host::ArchiveWalk walk = host::walkArchive(bytes, "input", limits, 1u << 20, state, scanMember);
    // Every member's name starts inside this archive, and no more members than allowed per level.
    for (const host::ScanResult& member : walk.members)
        if (member.path != "input" || member.members.empty() || member.members.size() > limits.maxDepth) std::abort();
    if (!walk.changes.empty()) (void)host::rewriteWithChanges(bytes, walk);
    return 0;
}

}  // namespace fuzz
