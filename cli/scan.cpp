// remedy scan and remedy --version.
#include <cstdio>
#include <string>

#include "cli/commands.h"
#include "host/classify.h"
#include "host/host_version.h"
#include "host/module_host.h"
#include "host/repair.h"
#include "host/services.h"

namespace cli {

namespace {

std::shared_ptr<host::Module> loadModule(const std::string& path) {
    std::string error;
    std::shared_ptr<host::Module> module = host::Module::load(path, &error);
    if (!module) std::fprintf(stderr, "remedy: cannot load the module %s: %s\n", path.c_str(), error.c_str());
    return module;
}

std::string hex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

// What --clean did, for the file's line.
std::string describe(const host::RepairOutcome& outcome) {
    using host::RepairAction;
    if (outcome.action == RepairAction::Replaced) {
        std::string text = "repaired";
        if (!outcome.backupPath.empty()) text += " (original kept as " + outcome.backupPath.string() + ")";
        if (!outcome.error.empty()) text += "; " + outcome.error;
        return text;
    }
    if (outcome.action == RepairAction::Removed)
        return outcome.backupPath.empty() ? "removed" : "removed (moved to " + outcome.backupPath.string() + ")";
    if (!outcome.error.empty()) return "not repaired: " + outcome.error;
    return "not repaired (kill result " + hex(outcome.killResult) + "); the file is unchanged";
}

}  // namespace

int runVersion(const std::string& modulePath) {
    std::printf("%s\n", host::hostVersion());
    std::shared_ptr<host::Module> module = loadModule(modulePath);
    if (!module) return kExitError;
    std::printf("%s\n", module->versionText().c_str());
    return kExitClean;
}

int runScan(const std::string& modulePath, const ScanOptions& options) {
    std::shared_ptr<host::Module> module = loadModule(modulePath);
    if (!module) return kExitError;
    host::RunningObjectTable* rot = host::RunningObjectTable::createDefault();
    rot->engineConfig()->setHeuristics(options.heuristics);
    std::string error;
    std::unique_ptr<host::Engines> engines = host::Engines::create(module, rot, &error);
    rot->Release();
    if (!engines) {
        std::fprintf(stderr, "remedy: %s\n", error.c_str());
        return kExitError;
    }
    host::RepairOptions repairOptions;
    repairOptions.quarantineDir = options.quarantineDir;

    bool found = false, failed = false;
    for (const std::string& path : options.paths) {
        host::FileObject* file = host::FileObject::fromFile(path, &error);
        if (!file) {
            std::printf("%s: ERROR: %s\n", path.c_str(), error.c_str());
            failed = true;
            continue;
        }
        host::classify(file);
        host::ScanTarget target(file);
        file->Release();
        host::ScanFinding finding = engines->scan(target);
        if (finding.failed) {
            std::printf("%s: ERROR: the %s engine failed (%s)\n", path.c_str(), host::phaseName(finding.phase),
                        hex(finding.engineResult).c_str());
            failed = true;
            continue;
        }
        if (!finding.found()) {
            std::printf("%s: OK\n", path.c_str());
            continue;
        }
        found = true;
        std::string line = path + ": virus " + hex(finding.virusId) + " FOUND (" + host::phaseName(finding.phase) + ")";
        if (options.clean) {
            host::RepairOutcome outcome = host::commitKill(target.file(), engines->killFound(target), repairOptions);
            line += "; " + describe(outcome);
            if (host::killSucceeded(outcome.killResult) && outcome.action == host::RepairAction::Unchanged)
                failed = true;
        }
        std::printf("%s\n", line.c_str());
    }
    std::fflush(stdout);
    return failed ? kExitError : found ? kExitFound : kExitClean;
}

}  // namespace cli
