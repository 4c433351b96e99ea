#include "cli/scan_report.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "cli/escaped_text.h"
#include "cli/json_text.h"
#include "cli/utf8_text.h"

namespace cli {

namespace {

std::string jsonList(const std::vector<std::string>& texts) {
    std::string out = "[";
    for (const std::string& text : texts) out += (out.size() > 1 ? "," : "") + jsonString(text);
    return out + "]";
}

std::string jsonFinding(const FoundVirus& found) {
    return "{\"id\":" + (found.id.empty() ? "null" : jsonString(found.id)) +
           ",\"name\":" + (found.name.empty() ? "null" : jsonString(found.name)) +
           ",\"phase\":" + jsonString(found.phase) + (found.rule.empty() ? "" : ",\"rule\":" + jsonString(found.rule)) +
           "}";
}

double megabytesPerSecond(uint64_t bytes, double seconds) {
    return seconds > 0 ? double(bytes) / (1024.0 * 1024.0) / seconds : 0;
}

}  // namespace

FoundVirus limitsExceededFinding() { return {"", "Limits.Exceeded", "limits", ""}; }

std::string textLine(const FileResult& result) {
    std::vector<std::string> parts;
    for (const FoundVirus& found : result.findings)
        parts.push_back((found.name.empty() ? "virus" : found.name) + (found.id.empty() ? "" : " " + found.id) +
                        " FOUND (" + found.phase + ")");
    parts.insert(parts.end(), result.actions.begin(), result.actions.end());
    // A failed repair's error is already its action's text.
    for (const std::string& error : result.errors)
        if (std::find(result.actions.begin(), result.actions.end(), error) == result.actions.end())
            parts.push_back("ERROR: " + error);
    parts.insert(parts.end(), result.notes.begin(), result.notes.end());
    for (const std::string& limit : result.limits) parts.push_back("limit reached: " + limit);
    std::string text;
    for (const std::string& part : parts) text += (text.empty() ? "" : "; ") + part;
    return escapedText(result.path) + ": " + (text.empty() ? "OK" : escapedText(text));
}

std::string jsonLine(const FileResult& result) {
    std::string findings = "[";
    for (const FoundVirus& found : result.findings) findings += (findings.size() > 1 ? "," : "") + jsonFinding(found);
    char time[32];
    std::snprintf(time, sizeof time, "%.3f", result.milliseconds);
    return "{\"path\":" + jsonString(result.path) +
           (isValidUtf8(result.path) ? "" : ",\"path_bytes\":\"" + base64Text(result.path) + "\"") +
           ",\"size\":" + (result.size ? std::to_string(*result.size) : "null") +
           ",\"format\":" + (result.format ? std::to_string(*result.format) : "null") + ",\"findings\":" + findings +
           "],\"actions\":" + jsonList(result.actions) + ",\"errors\":" + jsonList(result.errors) +
           ",\"notes\":" + jsonList(result.notes) + ",\"limits\":" + jsonList(result.limits) + ",\"time_ms\":" + time +
           "}";
}

void Summary::add(const FileResult& result) {
    files += result.scanned;
    bytes += result.scanned && result.size ? *result.size : 0;
    found += result.found();
    repaired += result.repaired;
    removed += result.removed;
    errors += result.failed;
    notScanned += result.skippedForSize || result.unreadable;
    limitsReached += !result.limits.empty();
}

std::string summaryText(const Summary& summary, double seconds) {
    char text[512];
    std::snprintf(text, sizeof text,
                  "\n----------- SCAN SUMMARY -----------\n"
                  "Scanned files: %" PRIu64 "\nScanned bytes: %" PRIu64 "\nInfected files: %" PRIu64
                  "\nRepaired files: %" PRIu64 "\nRemoved files: %" PRIu64 "\nErrors: %" PRIu64
                  "\nNot scanned: %" PRIu64 "\nLimits reached: %" PRIu64 "\nTime: %.3f sec\nRate: %.2f MB/s\n",
                  summary.files, summary.bytes, summary.found, summary.repaired, summary.removed, summary.errors,
                  summary.notScanned, summary.limitsReached, seconds, megabytesPerSecond(summary.bytes, seconds));
    // What the walk passed over, and an interruption: only when they happened.
    std::string out = text;
    if (summary.linksSkipped) out += "Symbolic links skipped: " + std::to_string(summary.linksSkipped) + "\n";
    if (summary.excluded) out += "Excluded: " + std::to_string(summary.excluded) + "\n";
    if (!summary.interruptedBy.empty())
        out += "Interrupted by " + summary.interruptedBy + ": files after the last line were not scanned\n";
    return out;
}

std::string summaryJson(const Summary& summary, double seconds, const MemoryFigures& memory) {
    char text[512];
    std::snprintf(text, sizeof text,
                  "{\"summary\":{\"files\":%" PRIu64 ",\"bytes\":%" PRIu64 ",\"found\":%" PRIu64
                  ",\"repaired\":%" PRIu64 ",\"removed\":%" PRIu64 ",\"errors\":%" PRIu64 ",\"not_scanned\":%" PRIu64
                  ",\"limits_reached\":%" PRIu64 ",\"seconds\":%.3f,\"mb_per_s\":%.2f,\"memory_budget\":%" PRIu64
                  ",\"memory_peak\":%" PRIu64 ",\"rss_peak\":%" PRIu64,
                  summary.files, summary.bytes, summary.found, summary.repaired, summary.removed, summary.errors,
                  summary.notScanned, summary.limitsReached, seconds, megabytesPerSecond(summary.bytes, seconds),
                  memory.budget, memory.peak, memory.rssPeak);
    std::string out = text;
    if (summary.linksSkipped) out += ",\"links_skipped\":" + std::to_string(summary.linksSkipped);
    if (summary.excluded) out += ",\"excluded\":" + std::to_string(summary.excluded);
    if (!summary.interruptedBy.empty()) out += ",\"interrupted\":" + jsonString(summary.interruptedBy);
    return out + "}}\n";
}

}  // namespace cli
