#include "host/scan/commit_report.h"

#include "host/scan/scan_result.h"
#include "sdk/identifiers.h"
#include "sdk/results.h"

namespace host {

namespace {

std::string describe(const RepairOutcome& outcome, const std::string& original) {
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
CommitReport preview(FileObject* file, uint32_t killResult, const CommitSettings& options) {
    CommitReport report;
    if (!killSucceeded(killResult)) {
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

}  // namespace

CommitReport commitOrPreview(const AnchoredFile& at, FileObject* file, uint32_t killResult,
                             const CommitSettings& options, const Verdict& verdict) {
    if (options.dryRun) return preview(file, killResult, options);
    RepairOptions repair;
    if (!options.noBackup) repair.quarantineDir = options.quarantineDir;
    repair.unlinkRemoved = options.noBackup;
    repair.verdict = verdict;
    repair.interrupted = options.interrupted;
    repair.atStep = options.atStep;
    const RepairOutcome outcome = commitKill(at, file, killResult, repair);
    CommitReport report;
    report.text = describe(outcome, file->path());
    report.repaired = outcome.action == RepairAction::Replaced;
    report.removed = outcome.action == RepairAction::Removed;
    report.killFailed = !killSucceeded(killResult);
    report.failed = !report.killFailed && outcome.action == RepairAction::Unchanged;
    if (report.failed && outcome.error.empty()) report.text = "not repaired; the file is unchanged";
    return report;
}

}  // namespace host
