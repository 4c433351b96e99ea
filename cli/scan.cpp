// remedy scan and remedy --version.
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <future>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "cli/command_setup.h"
#include "cli/commands.h"
#include "cli/escaped_text.h"
#include "cli/file_walk.h"
#include "cli/interrupt.h"
#include "cli/json_text.h"
#include "cli/loaded_module.h"
#include "cli/progress_line.h"
#include "cli/result_printers.h"
#include "host/host_version.h"
#include "host/module_host.h"
#include "host/scan/file_scanner.h"
#include "host/signatures.h"

namespace cli {

namespace {

using Clock = std::chrono::steady_clock;

// What the walk passed over and whether a signal ended the run.
struct RunNotes {
    WalkCounts walk;
    bool interrupted = false;
};

host::ScanSettings scanSettings(const ScanOptions& options) {
    host::ScanSettings settings;
    if (options.clean || options.commit.dryRun) settings.repair = host::ScanSettings::Repair::Commit;
    settings.commit = options.commit;
    settings.commit.interrupted = &interruptRequested();
    settings.commit.atStep = commitTestPoint;
    settings.damaged = options.damaged;
    settings.alertExceedsMax = options.alertExceedsMax;
    settings.maxFileSize = options.maxFileSize;
    settings.archives = options.archives;
    return settings;
}

// The result lines of a run, in the order of the walk whatever the number of workers, so
// output never interleaves. The worker that leaves the result next in order prints it and
// every later one already left: no thread is woken for each file, which took a core's time
// away from the workers.
class OrderedLines {
public:
    OrderedLines(const std::vector<WalkEntry>& entries, const ScanOptions& options)
        : entries_(entries), options_(options), results_(entries.size()), progress_(options.progress, entries.size()) {}

    void deliver(size_t index, host::ScanResult result) {
        std::lock_guard lock(mutex_);
        results_[index] = std::move(result);
        while (printed_ < results_.size() && results_[printed_]) {
            const host::ScanResult done = std::move(*results_[printed_]);
            results_[printed_].reset();
            print(done);
            ++printed_;
            const bool last = printed_ == entries_.size();
            progress_.show(printed_, summary_.bytes, last ? std::string() : entries_[printed_].path, last);
        }
        if (printed_ == results_.size()) allPrinted_.notify_one();
    }

    // Waits until every line is printed or a signal came, keeping the progress line alive.
    void waitUntilPrinted(const std::atomic<bool>& interrupted) {
        std::unique_lock lock(mutex_);
        while (!allPrinted_.wait_for(lock, std::chrono::milliseconds(250), [&] { return printed_ == results_.size(); })) {
            if (interrupted) return;
            progress_.show(printed_, summary_.bytes, entries_[printed_].path);
        }
        progress_.clear();
    }

    // After the workers ended: the run's counts, and whether every file got its line.
    Summary finish(bool* complete) {
        std::lock_guard lock(mutex_);
        progress_.clear();
        *complete = printed_ == results_.size();
        return summary_;
    }

private:
    void print(const host::ScanResult& result) {
        progress_.clear();
        // An archive's members first, each nested archive after its own members, the archive last.
        for (const host::ScanResult& member : result.inside)
            std::printf("%s\n", (options_.json ? jsonLine(member) : textLine(member)).c_str());
        std::printf("%s\n", (options_.json ? jsonLine(result) : textLine(result)).c_str());
        std::fflush(stdout);  // a line a file, at once: a run that is killed still told what it did
        testPoint("printed");
        summary_.add(result);
    }

    const std::vector<WalkEntry>& entries_;
    const ScanOptions& options_;
    std::mutex mutex_;
    std::condition_variable allPrinted_;
    std::vector<std::optional<host::ScanResult>> results_;  // left by index, until printed
    size_t printed_ = 0;
    Summary summary_;
    ProgressLine progress_;
};

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
    // The rules are compiled once, while the paths are walked and the module loads; every
    // worker's engines scan with them.
    std::string rulesError;
    std::future<std::shared_ptr<const host::SignatureLibrary>> compiling = std::async(
        std::launch::async, [&] { return compileRules(options.shippedRules, options.userRules, &rulesError); });
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
    std::shared_ptr<const host::SignatureLibrary> signatures = compiling.get();
    if (!signatures && !rulesError.empty()) {
        std::fprintf(stderr, "remedy: the signature rules do not compile:\n%s\n", rulesError.c_str());
        return kExitError;
    }
    const VirusNames names = virusNamesOf(*module);
    // Scan engines keep per-call state: every worker owns its own scanner, made here up front.
    unsigned jobs = options.jobs ? options.jobs : std::max(1u, std::thread::hardware_concurrency());
    jobs = unsigned(std::min<size_t>(jobs, std::max<size_t>(1, entries.size())));
    std::vector<std::unique_ptr<host::FileScanner>> scanners;
    for (unsigned k = 0; k < jobs; ++k) {
        std::string error;
        scanners.push_back(host::FileScanner::create({module, signatures, options.heuristics, names}, &error));
        if (!scanners.back()) {
            std::fprintf(stderr, "remedy: %s\n", error.c_str());
            return kExitError;
        }
    }
    const host::ScanSettings settings = scanSettings(options);

    OrderedLines lines(entries, options);
    std::atomic<size_t> next{0};
    // One memory budget for all workers; a worker may keep a small file's store between files
    // while the stores of all workers together take at most half the budget.
    host::MemoryBudget budget(options.maxMemory ? options.maxMemory : host::MemoryBudget::defaultLimit());
    const uint64_t keepLimit = budget.limit() / 2 / jobs;
    std::vector<std::thread> workers;
    for (unsigned k = 0; k < jobs; ++k) {
        workers.emplace_back([&, k] {
            host::WorkerMemory memory(budget, keepLimit);
            host::ScanSettings workerSettings = settings;
            workerSettings.memory = &memory;
            // After a signal no new file is started; the ones under way finish (or roll back).
            for (size_t i; !interruptRequested() && (i = next.fetch_add(1)) < entries.size();)
                lines.deliver(i, scanWalkEntry(*scanners[k], entries[i], workerSettings));
        });
    }
    // Every file a worker took gets its line, a signal or not: the workers end, then the lines are all out.
    lines.waitUntilPrinted(interruptRequested());
    for (std::thread& worker : workers) worker.join();
    bool complete = false;
    Summary summary = lines.finish(&complete);
    notes.interrupted = !complete;
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
