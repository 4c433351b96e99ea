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
    bool limited = false;  // a fixed limit cut some unit's work short
    uint64_t bytes = 0;
};

struct JsonRecord {
    std::string path;
    std::optional<uint64_t> size;
    std::optional<uint32_t> format;
    std::string findings, actions, errors, notes, limits;  // comma-separated JSON values
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
               "],\"limits\":[" + limits + "],\"time_ms\":" + time + "}";
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
    host::FileObject* file = host::FileObject::fromFile(entry.path, &error);
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
    // Limits never decide a verdict; each one met is said beside it.
    std::string limitNotes;
    const auto noteLimits = [&](const host::RequestLimits& limits) {
        for (const std::string& limit : limits.reached) {
            result.limited = true;
            limitNotes += "; limit reached: " + limit;
            JsonRecord::add(&json.limits, jsonString(limit));
        }
    };
    const auto timeLimitError = [&](const host::RequestLimits& limits) {
        result.failed = true;
        const std::string message =
            "time limit reached (" + (limits.timedOutUnit.empty() ? std::string("engines") : limits.timedOutUnit) + ")";
        JsonRecord::add(&json.errors, jsonString(message));
        return finish("ERROR: " + message + limitNotes);
    };
    noteLimits(finding.limits);
    if (finding.limits.timedOut) return timeLimitError(finding.limits);
    if (finding.failed) {
        result.failed = true;
        const std::string message =
            std::string("the ") + host::phaseName(finding.phase) + " engine failed (" + hexId(finding.engineResult) + ")";
        JsonRecord::add(&json.errors, jsonString(message));
        return finish("ERROR: " + message);
    }
    if (!finding.found()) return finish("OK" + limitNotes);

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
        const uint32_t killResult = engines.killFound(target);
        noteLimits(engines.lastLimits());
        // The clock stopped the repair: what it wrote is dropped, and the file is an error.
        if (engines.lastLimits().timedOut) return timeLimitError(engines.lastLimits());
        const CommitReport report = commitOrPreview(target.file(), killResult, options.commit);
        text += "; " + report.text;
        result.repaired = report.repaired;
        result.removed = report.removed;
        JsonRecord::add(&json.actions, jsonString(report.text));
        if (report.failed) {
            result.failed = true;
            JsonRecord::add(&json.errors, jsonString(report.text));
        }
    }
    return finish(text + limitNotes);
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

void printSummary(const Summary& summary, double seconds, bool json) {
    const double rate = seconds > 0 ? double(summary.bytes) / (1024.0 * 1024.0) / seconds : 0;
    if (json) {
        std::printf("{\"summary\":{\"files\":%llu,\"bytes\":%llu,\"found\":%llu,\"repaired\":%llu,"
                    "\"removed\":%llu,\"errors\":%llu,\"seconds\":%.3f,\"mb_per_s\":%.2f}}\n",
                    (unsigned long long)summary.files, (unsigned long long)summary.bytes,
                    (unsigned long long)summary.found, (unsigned long long)summary.repaired,
                    (unsigned long long)summary.removed, (unsigned long long)summary.errors, seconds, rate);
        return;
    }
    std::printf("\n----------- SCAN SUMMARY -----------\n"
                "Scanned files: %llu\nScanned bytes: %llu\nInfected files: %llu\nRepaired files: %llu\n"
                "Removed files: %llu\nErrors: %llu\nTime: %.3f sec\nRate: %.2f MB/s\n",
                (unsigned long long)summary.files, (unsigned long long)summary.bytes,
                (unsigned long long)summary.found, (unsigned long long)summary.repaired,
                (unsigned long long)summary.removed, (unsigned long long)summary.errors, seconds, rate);
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
    const std::vector<WalkEntry> entries = walkPaths(paths, WalkOptions{options.recurse, options.maxFileSize});

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
            for (size_t i; (i = next.fetch_add(1)) < entries.size();) {
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
            progress.show(i, summary.bytes, entries[i].path);
            lock.lock();
        }
        const FileResult result = std::move(*results[i]);
        results[i].reset();
        lock.unlock();
        progress.clear();
        std::printf("%s\n", result.line.c_str());
        if (options.progress) std::fflush(stdout);  // the line must stand before the progress line returns
        summary.add(result);
        const bool last = i + 1 == entries.size();
        progress.show(i + 1, summary.bytes, last ? std::string() : entries[i + 1].path, last);
    }
    progress.clear();
    for (std::thread& worker : workers) worker.join();
    if (options.summary)
        printSummary(summary, std::chrono::duration<double>(Clock::now() - start).count(), options.json);
    std::fflush(stdout);
    return summary.errors ? kExitError : summary.found ? kExitFound : kExitClean;
}

}  // namespace cli
