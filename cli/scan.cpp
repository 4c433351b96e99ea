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
#include "cli/file_walk.h"
#include "cli/json_text.h"
#include "cli/virus_names.h"
#include "host/classify.h"
#include "host/host_version.h"
#include "host/module_host.h"
#include "host/repair.h"
#include "host/services.h"

namespace cli {

namespace {

using Clock = std::chrono::steady_clock;

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

// What --clean did, for the file's line; a repaired file that took a new name says which.
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
    return "not repaired (kill result " + hex(outcome.killResult) + "); the file is unchanged";
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
FileResult scanEntry(host::Engines& engines, const WalkEntry& entry, const ScanOptions& options,
                     const host::RepairOptions& repairOptions) {
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
    file->Release();
    const host::ScanFinding finding = engines.scan(target);
    if (finding.failed) {
        result.failed = true;
        const std::string message =
            std::string("the ") + host::phaseName(finding.phase) + " engine failed (" + hex(finding.engineResult) + ")";
        JsonRecord::add(&json.errors, jsonString(message));
        return finish("ERROR: " + message);
    }
    if (!finding.found()) return finish("OK");

    result.found = true;
    const std::string name = virusName(finding.virusId);
    JsonRecord::add(&json.findings, "{\"id\":" + jsonString(hex(finding.virusId)) + ",\"name\":" +
                                        (name.empty() ? "null" : jsonString(name)) + ",\"phase\":" +
                                        jsonString(host::phaseName(finding.phase)) + "}");
    std::string text = (name.empty() ? "virus" : name) + " " + hex(finding.virusId) + " FOUND (" +
                       host::phaseName(finding.phase) + ")";
    if (options.clean) {
        const host::RepairOutcome outcome =
            host::commitKill(target.file(), engines.killFound(target), repairOptions);
        const std::string done = describe(outcome, target.file()->path());
        text += "; " + done;
        result.repaired = outcome.action == host::RepairAction::Replaced;
        result.removed = outcome.action == host::RepairAction::Removed;
        JsonRecord::add(&json.actions, jsonString(done));
        if (host::killSucceeded(outcome.killResult) && outcome.action == host::RepairAction::Unchanged) {
            result.failed = true;
            JsonRecord::add(&json.errors, jsonString(outcome.error.empty() ? done : outcome.error));
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
    const std::vector<WalkEntry> entries = walkPaths(paths, WalkOptions{options.recurse});

    std::shared_ptr<host::Module> module = loadModule(modulePath);
    if (!module) return kExitError;
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
        if (!engines.back()) {
            std::fprintf(stderr, "remedy: %s\n", error.c_str());
            return kExitError;
        }
    }
    host::RepairOptions repairOptions;
    repairOptions.quarantineDir = options.quarantineDir;

    // Workers take entries in order and leave results by index; this thread prints them in
    // the same order, so output never interleaves and does not depend on the worker count.
    std::vector<std::optional<FileResult>> results(entries.size());
    std::mutex mutex;
    std::condition_variable ready;
    std::atomic<size_t> next{0};
    std::vector<std::thread> workers;
    for (unsigned k = 0; k < jobs; ++k) {
        workers.emplace_back([&, k] {
            for (size_t i; (i = next.fetch_add(1)) < entries.size();) {
                FileResult result = scanEntry(*engines[k], entries[i], options, repairOptions);
                std::lock_guard lock(mutex);
                results[i] = std::move(result);
                ready.notify_all();
            }
        });
    }
    Summary summary;
    for (size_t i = 0; i < entries.size(); ++i) {
        std::unique_lock lock(mutex);
        ready.wait(lock, [&] { return results[i].has_value(); });
        const FileResult result = std::move(*results[i]);
        results[i].reset();
        lock.unlock();
        std::printf("%s\n", result.line.c_str());
        summary.add(result);
    }
    for (std::thread& worker : workers) worker.join();
    if (options.summary)
        printSummary(summary, std::chrono::duration<double>(Clock::now() - start).count(), options.json);
    std::fflush(stdout);
    return summary.errors ? kExitError : summary.found ? kExitFound : kExitClean;
}

}  // namespace cli
