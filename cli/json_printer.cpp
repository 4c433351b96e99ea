#include <cinttypes>
#include <cstdio>

#include "cli/json_text.h"
#include "cli/result_printers.h"
#include "cli/utf8_text.h"

namespace cli {

namespace {

std::string jsonList(const std::vector<std::string>& texts) {
    std::string out = "[";
    for (const std::string& text : texts) out += (out.size() > 1 ? "," : "") + jsonString(text);
    return out + "]";
}

std::string jsonFinding(const host::FoundVirus& found) {
    return "{\"id\":" + (found.id.empty() ? "null" : jsonString(found.id)) +
           ",\"name\":" + (found.name.empty() ? "null" : jsonString(found.name)) +
           ",\"phase\":" + jsonString(found.phase) + (found.rule.empty() ? "" : ",\"rule\":" + jsonString(found.rule)) +
           "}";
}

// A member's names inside the archive at "path", with their exact bytes in base64 when one of
// them is not valid UTF-8.
std::string jsonMembers(const std::vector<std::string>& members) {
    if (members.empty()) return "";
    std::string out = ",\"members\":" + jsonList(members);
    bool exact = true;
    for (const std::string& member : members) exact = exact && isValidUtf8(member);
    if (exact) return out;
    std::string bytes = "[";
    for (const std::string& member : members) bytes += (bytes.size() > 1 ? ",\"" : "\"") + base64Text(member) + "\"";
    return out + ",\"members_bytes\":" + bytes + "]";
}

}  // namespace

std::string jsonLine(const host::ScanResult& result) {
    std::string findings = "[";
    for (const host::FoundVirus& found : result.findings) findings += (findings.size() > 1 ? "," : "") + jsonFinding(found);
    char time[32];
    std::snprintf(time, sizeof time, "%.3f", result.milliseconds);
    return "{\"path\":" + jsonString(result.path) +
           (isValidUtf8(result.path) ? "" : ",\"path_bytes\":\"" + base64Text(result.path) + "\"") +
           jsonMembers(result.members) +
           ",\"size\":" + (result.size ? std::to_string(*result.size) : "null") +
           ",\"format\":" + (result.format ? std::to_string(*result.format) : "null") + ",\"findings\":" + findings +
           "]" + (result.foundInside ? ",\"found_inside\":" + std::to_string(result.foundInside) : "") +
           ",\"actions\":" + jsonList(result.actions) + ",\"errors\":" + jsonList(result.errors) +
           ",\"notes\":" + jsonList(result.notes) + ",\"limits\":" + jsonList(result.limits) + ",\"time_ms\":" + time +
           "}";
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
