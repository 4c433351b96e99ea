#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "cli/escaped_text.h"
#include "cli/result_printers.h"

namespace cli {

double megabytesPerSecond(uint64_t bytes, double seconds) {
    return seconds > 0 ? double(bytes) / (1024.0 * 1024.0) / seconds : 0;
}

std::string textLine(const host::ScanResult& result) {
    std::vector<std::string> parts;
    for (const host::FoundVirus& found : result.findings)
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

void Summary::add(const host::ScanResult& result) {
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

}  // namespace cli
