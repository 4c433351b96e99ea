#include "cli/commit.h"

#include <cstdio>

#include "cli/interrupt.h"
#include "host/repair.h"
#include "sdk/identifiers.h"
#include "sdk/results.h"

namespace cli {

namespace {

std::string describe(const host::RepairOutcome& outcome, const std::string& original) {
    using host::RepairAction;
    if (outcome.action == RepairAction::Replaced) {
        std::string text = "repaired";
        if (!outcome.finalPath.empty() && outcome.finalPath != std::filesystem::path(original))
            text += " as " + outcome.finalPath.string();
        if (!outcome.backupPath.empty()) text += " (original kept as " + outcome.backupPath.string() + ")";
        if (!outcome.error.empty()) text += "; " + outcome.error;
        return text;
    }
    if (outcome.action == RepairAction::Removed)
        return outcome.backupPath.empty() ? "removed" : "removed (moved to " + outcome.backupPath.string() + ")";
    if (!outcome.error.empty()) return "not repaired: " + outcome.error;
    return "not repaired (kill result " + hexId(outcome.killResult) + "); the file is unchanged";
}

// A dry run: the kill ran on the private copy; say what the commit would make of it.
CommitReport preview(host::FileObject* file, uint32_t killResult, const CommitOptions& options) {
    CommitReport report;
    if (!host::killSucceeded(killResult)) {
        report.killFailed = true;
        report.text = "would not be repaired (kill result " + hexId(killResult) + ")";
        return report;
    }
    const bool keep = !options.noBackup;
    if (killResult == KILL_REMOVED || file->removed()) {
        report.text = keep ? "would be moved to quarantine (" + options.quarantineDir.string() + ")"
                           : "would be removed";
        return report;
    }
    std::string renamed;
    report.text = "would be repaired";
    if (file->getStringProperty(qe::PID_File_RenameName, &renamed) && !renamed.empty())
        report.text += " as " + renamed;
    if (keep) report.text += " (original would be kept in " + options.quarantineDir.string() + ")";
    return report;
}

// The test points of the commit's steps (see testPoint).
void commitTestPoint(host::CommitStep step) {
    static const char* const kSteps[] = {"none", "lock", "backup", "write", "sync", "link", "rename", "verify", "discard"};
    testPoint(kSteps[int(step)]);
}

}  // namespace

std::string hexId(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

CommitReport commitOrPreview(const host::AnchoredFile& at, host::FileObject* file, uint32_t killResult,
                             const CommitOptions& options, const host::Verdict& verdict) {
    if (options.dryRun) return preview(file, killResult, options);
    host::RepairOptions repair;
    if (!options.noBackup) repair.quarantineDir = options.quarantineDir;
    repair.unlinkRemoved = options.noBackup;
    repair.verdict = verdict;
    repair.interrupted = &interruptRequested();
    repair.atStep = commitTestPoint;
    const host::RepairOutcome outcome = host::commitKill(at, file, killResult, repair);
    CommitReport report;
    report.text = describe(outcome, file->path());
    report.repaired = outcome.action == host::RepairAction::Replaced;
    report.removed = outcome.action == host::RepairAction::Removed;
    report.killFailed = !host::killSucceeded(killResult);
    report.failed = !report.killFailed && outcome.action == host::RepairAction::Unchanged;
    if (report.failed && outcome.error.empty()) report.text = "not repaired; the file is unchanged";
    return report;
}

}  // namespace cli
