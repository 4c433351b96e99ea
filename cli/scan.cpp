// remedy scan and remedy --version.
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "cli/commands.h"
#include "cli/commit.h"
#include "cli/escaped_text.h"
#include "cli/file_walk.h"
#include "cli/interrupt.h"
#include "cli/json_text.h"
#include "cli/memory_budget.h"
#include "cli/progress_line.h"
#include "cli/scan_report.h"
#include "host/classify.h"
#include "host/host_version.h"
#include "host/module_host.h"
#include "host/repair.h"
#include "host/services.h"
#include "host/signatures.h"

namespace cli {

namespace {

using Clock = std::chrono::steady_clock;

std::shared_ptr<host::Module> loadModule(const std::string& path) {
    std::string error;
    std::shared_ptr<host::Module> module = host::Module::load(path, &error);
    if (!module)
        std::fprintf(stderr, "remedy: cannot load the module %s: %s\n", escapedText(path).c_str(),
                     escapedText(error).c_str());
    return module;
}

// What the walk passed over and whether a signal ended the run.
struct RunNotes {
    WalkCounts walk;
    bool interrupted = false;
};

// Scans one entry with one worker's engines.
FileResult scanEntry(host::Engines& engines, const WalkEntry& entry, const ScanOptions& options,
                     WorkerMemory& memory) {
    const Clock::time_point start = Clock::now();
    FileResult result;
    result.path = entry.path;
    const auto finish = [&]() {
        if (options.alertExceedsMax && result.incomplete()) result.findings.push_back(limitsExceededFinding());
        result.milliseconds = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        return result;
    };
    if (!entry.note.empty()) {
        result.failed = entry.error;
        result.skippedForSize = entry.tooLarge;
        if (entry.error) result.errors.push_back(entry.note.substr(std::string_view("ERROR: ").size()));
        else result.notes.push_back(entry.note);
        return finish();
    }
    std::string error;
    host::AnchoredFile at;  // held until the commit: the file is repaired through these descriptors
    host::FileObject* file = nullptr;
    if (openWalkEntry(entry, &at, &error)) {
        // The file is held in memory while it is scanned: its size comes out of the budget
        // first, and the read refuses a file that grew past what was set aside.
        struct stat info {};
        const uint64_t size = ::fstat(at.file.get(), &info) == 0 ? uint64_t(info.st_size) : 0;
        const uint64_t allowed = std::min(size, options.maxFileSize);
        memory.beforeFile(allowed);
        file = host::FileObject::fromDescriptor(at.file.get(), entry.path, &error, allowed);
    }
    if (!file) {
        result.failed = result.unreadable = true;
        result.errors.push_back(error);
        return finish();
    }
    result.scanned = true;
    result.size = file->bytes().size();
    host::classify(file);
    result.format = file->format();
    host::ScanTarget target(file);
    target.damaged = options.damaged;
    file->Release();
    const host::ScanFinding finding = engines.scan(target);
    // Limits never decide a verdict; each one met is said beside it. A request the watchdog
    // stopped has no verdict at all: the file is an error, and nothing is repaired.
    const auto takeLimits = [&](const host::RequestLimits& limits) {
        result.limits.insert(result.limits.end(), limits.reached.begin(), limits.reached.end());
        if (!limits.timedOut) return false;
        result.failed = true;
        result.errors.push_back(limits.timeOutError());
        return true;
    };
    if (takeLimits(finding.limits)) return finish();
    if (finding.failed) {
        result.failed = true;
        result.errors.push_back(std::string("the ") + host::phaseName(finding.phase) + " engine failed (" +
                                hexId(finding.engineResult) + ")");
        return finish();
    }
    if (!finding.found()) return finish();

    // A rule may name a virus no unit table knows (one repaired by a method number).
    std::string name = options.virusName ? options.virusName(finding.virusId) : std::string();
    if (name.empty()) name = finding.rule;
    result.findings.push_back({hexId(finding.virusId), name, host::phaseName(finding.phase), finding.rule});
    if (options.clean || options.commit.dryRun) {
        const uint32_t killResult = engines.killFound(target);
        if (takeLimits(engines.lastLimits())) return finish();
        const host::Verdict verdict{name, hexId(finding.virusId), host::phaseName(finding.phase)};
        const CommitReport report = commitOrPreview(at, target.file(), killResult, options.commit, verdict);
        result.repaired = report.repaired;
        result.removed = report.removed;
        result.actions.push_back(report.text);
        if (report.failed) {
            result.failed = true;
            result.errors.push_back(report.text);
        }
    }
    return finish();
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
    const Clock::time_point start = Clock::now();
    std::vector<std::string> paths = options.paths;
    if (!options.filesFrom.empty()) {
        std::string error;
        if (!readPathList(options.filesFrom, options.filesFromNul ? '\0' : '\n', &paths, &error)) {
            std::fprintf(stderr, "remedy: %s\n", error.c_str());
            return kExitError;
        }
    }
    catchInterrupts();
    WalkOptions walk;
    walk.recurse = options.recurse;
    walk.maxFileSize = options.maxFileSize;
    walk.excludes = options.excludes;
    walk.excludeDirs = options.excludeDirs;
    walk.oneFileSystem = options.oneFileSystem;
    walk.removeStaleTemporaries = options.clean && !options.commit.dryRun;
    RunNotes notes;
    const std::vector<WalkEntry> entries = walkPaths(paths, walk, &notes.walk);
    testPoint("walked");

    std::shared_ptr<host::Module> module = loadModule(modulePath);
    if (!module) return kExitError;
    // The rules are compiled once; every worker's engines scan with them.
    std::shared_ptr<const host::SignatureLibrary> signatures;
    std::vector<std::filesystem::path> ruleSources = options.userRules;
    if (!options.shippedRules.empty()) ruleSources.insert(ruleSources.begin(), options.shippedRules);
    if (!ruleSources.empty()) {
        std::string error;
        signatures = host::SignatureLibrary::compile(ruleSources, &error);
        if (!signatures) {
            std::fprintf(stderr, "remedy: the signature rules do not compile:\n%s\n", error.c_str());
            return kExitError;
        }
    }
    // Scan engines keep per-call state: every worker owns its own set, made here up front.
    unsigned jobs = options.jobs ? options.jobs : std::max(1u, std::thread::hardware_concurrency());
    jobs = unsigned(std::min<size_t>(jobs, std::max<size_t>(1, entries.size())));
    std::vector<std::unique_ptr<host::Engines>> engines;
    for (unsigned k = 0; k < jobs; ++k) {
        host::RunningObjectTable* rot = host::RunningObjectTable::createDefault();
        rot->engineConfig()->setHeuristics(options.heuristics);
        std::string error;
        engines.push_back(host::Engines::create(module, rot, &error));
        rot->Release();
        if (!engines.back() || !engines.back()->useSignatures(signatures, &error)) {
            std::fprintf(stderr, "remedy: %s\n", error.c_str());
            return kExitError;
        }
    }

    // Workers take entries in order and leave results by index; this thread prints them in
    // the same order, so output never interleaves and does not depend on the worker count.
    // A worker wakes the printer only with the result it waits for: waking it for every file
    // took a core's time away from the workers.
    std::vector<std::optional<FileResult>> results(entries.size());
    std::mutex mutex;
    std::condition_variable ready;
    size_t awaited = 0;  // the index the printer waits for (under mutex)
    std::atomic<size_t> next{0};
    // One memory budget for all workers; a worker may keep a small file's store between files
    // while the stores of all workers together take at most half the budget.
    MemoryBudget budget(options.maxMemory ? options.maxMemory : MemoryBudget::defaultLimit());
    const uint64_t keepLimit = budget.limit() / 2 / jobs;
    std::vector<std::thread> workers;
    for (unsigned k = 0; k < jobs; ++k) {
        workers.emplace_back([&, k] {
            WorkerMemory memory(budget, keepLimit);
            // After a signal no new file is started; the ones under way finish (or roll back).
            for (size_t i; !interruptRequested() && (i = next.fetch_add(1)) < entries.size();) {
                FileResult result = scanEntry(*engines[k], entries[i], options, memory);
                memory.afterFile();
                std::lock_guard lock(mutex);
                results[i] = std::move(result);
                if (i == awaited) ready.notify_one();
            }
        });
    }
    Summary summary;
    ProgressLine progress(options.progress, entries.size());
    for (size_t i = 0; i < entries.size(); ++i) {
        std::unique_lock lock(mutex);
        awaited = i;
        // While waiting for the next file in order, keep the progress line alive.
        while (!ready.wait_for(lock, std::chrono::milliseconds(250), [&] { return results[i].has_value(); })) {
            lock.unlock();
            if (interruptRequested()) {
                // Every file a worker took gets its line: wait for them, then print what is there.
                for (std::thread& worker : workers) worker.join();
                workers.clear();
                lock.lock();
                break;
            }
            progress.show(i, summary.bytes, entries[i].path);
            lock.lock();
        }
        if (!results[i]) {
            notes.interrupted = true;
            break;
        }
        const FileResult result = std::move(*results[i]);
        results[i].reset();
        lock.unlock();
        progress.clear();
        std::printf("%s\n", (options.json ? jsonLine(result) : textLine(result)).c_str());
        std::fflush(stdout);  // a line a file, at once: a run that is killed still told what it did
        testPoint("printed");
        summary.add(result);
        const bool last = i + 1 == entries.size();
        progress.show(i + 1, summary.bytes, last ? std::string() : entries[i + 1].path, last);
    }
    progress.clear();
    for (std::thread& worker : workers) worker.join();
    rusage usage {};
    ::getrusage(RUSAGE_SELF, &usage);
    const MemoryFigures memory{budget.limit(), budget.peak(), uint64_t(usage.ru_maxrss) * 1024};
    summary.linksSkipped = notes.walk.linksSkipped;
    summary.excluded = notes.walk.excluded;
    if (notes.interrupted || interruptRequested()) summary.interruptedBy = interruptSignalName();
    if (options.summary) {
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        std::fputs((options.json ? summaryJson(summary, seconds, memory) : summaryText(summary, seconds)).c_str(), stdout);
    }
    std::fflush(stdout);
    if (!summary.interruptedBy.empty()) return kExitError;
    return summary.errors ? kExitError : summary.found ? kExitFound : kExitClean;
}

}  // namespace cli
