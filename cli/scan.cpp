// remedy scan and remedy --version.
#include <unistd.h>

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
#include "cli/file_walk.h"
#include "cli/interrupt.h"
#include "cli/json_text.h"
#include "cli/progress_line.h"
#include "cli/virus_names.h"
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
    if (!module) std::fprintf(stderr, "remedy: cannot load the module %s: %s\n", path.c_str(), error.c_str());
    return module;
}

// One file's result: its output line (text or JSON) and what it adds to the summary.
struct FileResult {
    std::string line;
    bool scanned = false, found = false, failed = false, repaired = false, removed = false;
    uint64_t bytes = 0;
};

struct JsonRecord {
    std::string path;
    std::optional<uint64_t> size;
    std::optional<uint32_t> format;
    std::string findings, actions, errors, notes;  // comma-separated JSON values
    double milliseconds = 0;

    static void add(std::string* list, const std::string& value) {
        if (!list->empty()) *list += ",";
        *list += value;
    }
    std::string text() const {
        char time[32];
        std::snprintf(time, sizeof time, "%.3f", milliseconds);
        return "{\"path\":" + jsonString(path) + ",\"size\":" + (size ? std::to_string(*size) : "null") +
               ",\"format\":" + (format ? std::to_string(*format) : "null") + ",\"findings\":[" + findings +
               "],\"actions\":[" + actions + "],\"errors\":[" + errors + "],\"notes\":[" + notes +
               "],\"time_ms\":" + time + "}";
    }
};

// Scans one entry with one worker's engines. Text lines keep the scanner conventions:
// "PATH: OK", "PATH: NAME 0xID FOUND (phase)" ("virus" when no name is known), "PATH: ERROR: ...".
FileResult scanEntry(host::Engines& engines, const WalkEntry& entry, const ScanOptions& options) {
    const Clock::time_point start = Clock::now();
    FileResult result;
    JsonRecord json;
    json.path = entry.path;
    const auto finish = [&](const std::string& text) {
        json.milliseconds = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        result.line = options.json ? json.text() : entry.path + ": " + text;
        return result;
    };
    if (!entry.note.empty()) {
        result.failed = entry.error;
        JsonRecord::add(entry.error ? &json.errors : &json.notes, jsonString(entry.error ? entry.note.substr(7) : entry.note));
        return finish(entry.note);
    }
    std::string error;
    host::AnchoredFile at;  // held until the commit: the file is repaired through these descriptors
    host::FileObject* file =
        openWalkEntry(entry, &at, &error) ? host::FileObject::fromDescriptor(at.file.get(), entry.path, &error) : nullptr;
    if (!file) {
        result.failed = true;
        JsonRecord::add(&json.errors, jsonString(error));
        return finish("ERROR: " + error);
    }
    result.scanned = true;
    result.bytes = file->bytes().size();
    json.size = result.bytes;
    host::classify(file);
    json.format = file->format();
    host::ScanTarget target(file);
    target.damaged = options.damaged;
    file->Release();
    const host::ScanFinding finding = engines.scan(target);
    if (finding.failed) {
        result.failed = true;
        const std::string message =
            std::string("the ") + host::phaseName(finding.phase) + " engine failed (" + hexId(finding.engineResult) + ")";
        JsonRecord::add(&json.errors, jsonString(message));
        return finish("ERROR: " + message);
    }
    if (!finding.found()) return finish("OK");

    result.found = true;
    // A rule may name a virus no unit table knows (one repaired by a method number).
    std::string name = virusName(finding.virusId);
    if (name.empty()) name = finding.rule;
    JsonRecord::add(&json.findings, "{\"id\":" + jsonString(hexId(finding.virusId)) + ",\"name\":" +
                                        (name.empty() ? "null" : jsonString(name)) + ",\"phase\":" +
                                        jsonString(host::phaseName(finding.phase)) +
                                        (finding.rule.empty() ? "" : ",\"rule\":" + jsonString(finding.rule)) + "}");
    std::string text = (name.empty() ? "virus" : name) + " " + hexId(finding.virusId) + " FOUND (" +
                       host::phaseName(finding.phase) + ")";
    if (options.clean || options.commit.dryRun) {
        const host::Verdict verdict{name, hexId(finding.virusId), host::phaseName(finding.phase)};
        const CommitReport report = commitOrPreview(at, target.file(), engines.killFound(target), options.commit, verdict);
        text += "; " + report.text;
        result.repaired = report.repaired;
        result.removed = report.removed;
        JsonRecord::add(&json.actions, jsonString(report.text));
        if (report.failed) {
            result.failed = true;
            JsonRecord::add(&json.errors, jsonString(report.text));
        }
    }
    return finish(text);
}

struct Summary {
    uint64_t files = 0, bytes = 0, found = 0, repaired = 0, removed = 0, errors = 0;
    void add(const FileResult& result) {
        files += result.scanned;
        bytes += result.bytes;
        found += result.found;
        repaired += result.repaired;
        removed += result.removed;
        errors += result.failed;
    }
};

// What the walk passed over and whether a signal ended the run; in the summary only when it
// happened.
struct RunNotes {
    WalkCounts walk;
    bool interrupted = false;
};

void printSummary(const Summary& summary, const RunNotes& notes, double seconds, bool json) {
    const double rate = seconds > 0 ? double(summary.bytes) / (1024.0 * 1024.0) / seconds : 0;
    if (json) {
        std::string extra;
        if (notes.walk.linksSkipped) extra += ",\"links_skipped\":" + std::to_string(notes.walk.linksSkipped);
        if (notes.walk.excluded) extra += ",\"excluded\":" + std::to_string(notes.walk.excluded);
        if (notes.interrupted) extra += ",\"interrupted\":" + jsonString(interruptSignalName());
        std::printf("{\"summary\":{\"files\":%llu,\"bytes\":%llu,\"found\":%llu,\"repaired\":%llu,"
                    "\"removed\":%llu,\"errors\":%llu,\"seconds\":%.3f,\"mb_per_s\":%.2f%s}}\n",
                    (unsigned long long)summary.files, (unsigned long long)summary.bytes,
                    (unsigned long long)summary.found, (unsigned long long)summary.repaired,
                    (unsigned long long)summary.removed, (unsigned long long)summary.errors, seconds, rate,
                    extra.c_str());
        return;
    }
    std::printf("\n----------- SCAN SUMMARY -----------\n"
                "Scanned files: %llu\nScanned bytes: %llu\nInfected files: %llu\nRepaired files: %llu\n"
                "Removed files: %llu\nErrors: %llu\nTime: %.3f sec\nRate: %.2f MB/s\n",
                (unsigned long long)summary.files, (unsigned long long)summary.bytes,
                (unsigned long long)summary.found, (unsigned long long)summary.repaired,
                (unsigned long long)summary.removed, (unsigned long long)summary.errors, seconds, rate);
    if (notes.walk.linksSkipped)
        std::printf("Symbolic links skipped: %llu\n", (unsigned long long)notes.walk.linksSkipped);
    if (notes.walk.excluded) std::printf("Excluded: %llu\n", (unsigned long long)notes.walk.excluded);
    if (notes.interrupted) std::printf("Interrupted by %s: files after the last line were not scanned\n", interruptSignalName());
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
        if (!readPathList(options.filesFrom, &paths, &error)) {
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
    std::vector<std::thread> workers;
    for (unsigned k = 0; k < jobs; ++k) {
        workers.emplace_back([&, k] {
            // After a signal no new file is started; the ones under way finish (or roll back).
            for (size_t i; !interruptRequested() && (i = next.fetch_add(1)) < entries.size();) {
                FileResult result = scanEntry(*engines[k], entries[i], options);
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
        std::printf("%s\n", result.line.c_str());
        std::fflush(stdout);  // a line a file, at once: a run that is killed still told what it did
        testPoint("printed");
        summary.add(result);
        const bool last = i + 1 == entries.size();
        progress.show(i + 1, summary.bytes, last ? std::string() : entries[i + 1].path, last);
    }
    progress.clear();
    for (std::thread& worker : workers) worker.join();
    notes.interrupted = notes.interrupted || interruptRequested();
    if (options.summary)
        printSummary(summary, notes, std::chrono::duration<double>(Clock::now() - start).count(), options.json);
    std::fflush(stdout);
    if (notes.interrupted) return kExitError;
    return summary.errors ? kExitError : summary.found ? kExitFound : kExitClean;
}

}  // namespace cli
