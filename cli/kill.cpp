// remedy kill: one kill-engine request on one file, for a virus identifier, method number or
// special method that came from elsewhere (another scanner, an analyst).
#include <cstdio>
#include <memory>

#include "cli/commands.h"
#include "cli/escaped_text.h"
#include "cli/interrupt.h"
#include "cli/loaded_module.h"
#include "host/classify.h"
#include "host/module_host.h"
#include "host/repair.h"
#include "host/scan/commit_report.h"
#include "host/scan/scan_result.h"
#include "sdk/results.h"

namespace cli {

namespace {

host::KillRequest requestFor(const KillOptions& options) {
    switch (options.by) {
        case KillOptions::By::Method: return host::KillRequest::byMethod(options.number);
        case KillOptions::By::Special: return host::KillRequest::special(options.number, options.parameter);
        default: return host::KillRequest::byId(options.number);
    }
}

}  // namespace

int runKill(const std::string& modulePath, const KillOptions& options) {
    std::shared_ptr<host::Module> module = loadModule(modulePath);
    if (!module) return kExitError;
    std::string error;
    host::RunningObjectTable* rot = host::RunningObjectTable::createDefault();
    std::unique_ptr<host::Engines> engines = host::Engines::create(module, rot, &error);
    rot->Release();
    if (!engines) {
        std::fprintf(stderr, "remedy: %s\n", error.c_str());
        return kExitError;
    }
    catchInterrupts();
    host::AnchoredFile at;  // never repair through a link; the commit goes through these descriptors
    host::FileObject* file =
        host::openNamed(options.path, &at, &error) ? host::FileObject::fromDescriptor(at.file.get(), options.path, &error) : nullptr;
    if (!file) {
        std::printf("%s: ERROR: %s\n", escapedText(options.path).c_str(), escapedText(error).c_str());
        return kExitError;
    }
    host::classify(file);
    host::CommitReport report;
    std::string limitNotes;
    {
        host::ScanTarget target(file);
        // The repair works on the private copy; only the commit touches the disk.
        const uint32_t result = engines->kill(target, requestFor(options));
        const host::RequestLimits& limits = engines->lastLimits();
        for (const std::string& limit : limits.reached) limitNotes += "; limit reached: " + limit;
        if (limits.timedOut) {
            // The clock stopped the repair: nothing it wrote is committed.
            file->Release();
            std::printf("%s: ERROR: %s%s\n", escapedText(options.path).c_str(), limits.timeOutError().c_str(),
                        escapedText(limitNotes).c_str());
            return kExitError;
        }
        const std::string name = options.by == KillOptions::By::Id ? virusNamesOf(*module)(options.number) : "";
        host::CommitSettings commit = options.commit;
        commit.interrupted = &interruptRequested();
        commit.atStep = commitTestPoint;
        report = host::commitOrPreview(at, file, result, commit, host::Verdict{name, host::hexId(options.number), "kill"});
    }
    file->Release();
    std::printf("%s: %s%s\n", escapedText(options.path).c_str(), escapedText(report.text).c_str(),
                escapedText(limitNotes).c_str());
    if (report.failed) return kExitError;
    return report.killFailed ? kExitFound : kExitClean;
}

}  // namespace cli
