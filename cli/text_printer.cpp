#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "cli/escaped_text.h"
#include "cli/result_printers.h"

namespace cli {

double megabytesPerSecond(uint64_t bytes, double seconds) {
    return seconds > 0 ? double(bytes) / (1024.0 * 1024.0) / seconds : 0;
}

namespace {

// A member is "ARCHIVE!MEMBER!...": each name escaped, and a "!" inside a member's own name
// written as \x21, so that the separators stay unambiguous.
std::string escapedMemberName(const host::ScanResult& result) {
    if (result.members.empty()) return escapedText(result.path);
    const auto part = [](const std::string& bytes) {
        std::string text = escapedText(bytes);
        for (size_t at = 0; (at = text.find('!', at)) != std::string::npos; at += 4) text.replace(at, 1, "\\x21");
        return text;
    };
    std::string name = part(result.path);
    for (const std::string& member : result.members) name += "!" + part(member);
    return name;
}

}  // namespace

std::string textLine(const host::ScanResult& result) {
    std::vector<std::string> parts;
    for (const host::FoundVirus& found : result.findings)
        parts.push_back((found.name.empty() ? "virus" : found.name) + (found.id.empty() ? "" : " " + found.id) +
                        " FOUND (" + found.phase + ")");
    // An archive whose own bytes are clean is not "OK" when members inside it were found.
    if (result.foundInside && result.actions.empty())
        parts.push_back(std::to_string(result.foundInside) + (result.foundInside == 1 ? " member" : " members") +
                        " found inside");
    parts.insert(parts.end(), result.actions.begin(), result.actions.end());
    // A failed repair's error is already its action's text.
    for (const std::string& error : result.errors)
        if (std::find(result.actions.begin(), result.actions.end(), error) == result.actions.end())
            parts.push_back("ERROR: " + error);
    parts.insert(parts.end(), result.notes.begin(), result.notes.end());
    for (const std::string& limit : result.limits) parts.push_back("limit reached: " + limit);
    std::string text;
    for (const std::string& part : parts) text += (text.empty() ? "" : "; ") + part;
    return escapedMemberName(result) + ": " + (text.empty() ? "OK" : escapedText(text));
}

// A member of an archive counts as a file of its own (scanned, infected, repaired, not scanned),
// but its bytes do not: "Scanned bytes" are the bytes read from disk. An archive rewritten for
// its members is counted by the members it repaired, not once more by itself.
void Summary::add(const host::ScanResult& result) {
    files += result.scanned;
    bytes += result.members.empty() && result.scanned && result.size ? *result.size : 0;
    found += result.found();
    repaired += result.repaired && result.found();
    removed += result.removed;
    errors += result.failed;
    notScanned += result.skippedForSize || result.unreadable;
    limitsReached += !result.limits.empty();
    for (const host::ScanResult& member : result.inside) add(member);
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
