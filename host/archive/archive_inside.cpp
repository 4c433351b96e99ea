#include "host/archive/archive_inside.h"

#include "host/archive/archive_rewrite.h"

namespace host {

InsideRepair rewriteWithChanges(std::span<const uint8_t> original, const ArchiveWalk& walk) {
    InsideRepair repair;
    // A member that was not read cannot be copied: such an archive is never rewritten.
    if (!walk.everyMemberRead) {
        repair.refusal = "found inside; not every member could be read: not repaired";
    } else if (!walk.kind.rewritable()) {
        repair.refusal = "found inside; archive cannot be rewritten: not repaired";
    } else {
        std::string error;
        if (!rewriteArchive(original, walk.changes, &repair.bytes, &error)) {
            repair.refusal = "found inside; not repaired: " + error;
            repair.failed = true;
        }
    }
    return repair;
}

void sayMembersRepaired(std::vector<ScanResult>& members, bool dryRun) {
    const std::string would = dryRun ? "would be " : "";
    for (ScanResult& member : members) {
        if (member.removed) member.actions = {would + "removed from the archive"};
        else if (member.repaired) member.actions = {would + (member.found() ? "repaired in the archive" : "repaired inside")};
    }
}

void sayMembersNotRepaired(std::vector<ScanResult>& members) {
    for (ScanResult& member : members) {
        if (!member.repaired && !member.removed) continue;
        member.repaired = member.removed = false;
        member.actions = {"not repaired: the archive is not rewritten"};
    }
}

Verdict insideVerdict(const std::vector<ScanResult>& members) {
    for (const ScanResult& member : members)
        for (const FoundVirus& found : member.findings) return {found.name, found.id, found.phase};
    return {};
}

}  // namespace host
