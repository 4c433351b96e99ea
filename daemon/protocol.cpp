#include "daemon/protocol.h"

#include "cli/escaped_text.h"

namespace service {

namespace {

// The first finding of the input, else of its members in the order the archive holds them.
const host::FoundVirus* firstFinding(const host::ScanResult& result) {
    if (!result.findings.empty()) return &result.findings.front();
    for (const host::ScanResult& member : result.inside)
        if (const host::FoundVirus* found = firstFinding(member)) return found;
    return nullptr;
}

void allFindings(const host::ScanResult& result, std::vector<const host::FoundVirus*>* out) {
    for (const host::FoundVirus& found : result.findings) out->push_back(&found);
    for (const host::ScanResult& member : result.inside) allFindings(member, out);
}

// Why the input (or a member of it) has no clean answer; empty when it has one.
std::string problemOf(const host::ScanResult& result) {
    if (!result.errors.empty()) return result.errors.front();
    if (result.failed) return "scan failed";
    if (!result.limits.empty()) return "limit reached: " + result.limits.front();
    if (!result.notes.empty()) return result.notes.front();
    if (!result.scanned) return "not scanned";
    for (const host::ScanResult& member : result.inside)
        if (std::string problem = problemOf(member); !problem.empty()) return problem;
    return {};
}

}  // namespace

Command splitCommand(std::string_view text, Framing framing) {
    Command command;
    command.framing = framing;
    // The legacy form may end with "\r\n" or carry the packet's trailing blanks.
    if (framing == Framing::Legacy)
        while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.remove_suffix(1);
    const size_t blank = text.find(' ');
    command.name = std::string(text.substr(0, blank));
    if (blank != std::string_view::npos) command.argument = std::string(text.substr(blank + 1));
    return command;
}

std::string verdictName(const host::FoundVirus& found) {
    if (!found.name.empty()) return found.name;
    if (!found.id.empty()) return found.id;
    return "virus";
}

std::string replyName(const std::string& name) { return cli::escapedText(name); }

Answer answerOf(const host::ScanResult& result) {
    if (result.foundAnywhere()) return Answer::Found;
    return problemOf(result).empty() ? Answer::Ok : Answer::Error;
}

std::vector<std::string> resultReplies(const host::ScanResult& result, const std::string& shown, bool allMatches) {
    const std::string prefix = replyName(shown) + ": ";
    std::vector<std::string> lines;
    if (result.foundAnywhere()) {
        std::vector<const host::FoundVirus*> found;
        if (allMatches) allFindings(result, &found);
        else found.push_back(firstFinding(result));
        for (const host::FoundVirus* finding : found) lines.push_back(prefix + replyName(verdictName(*finding)) + " FOUND");
        return lines;
    }
    const std::string problem = problemOf(result);
    lines.push_back(prefix + (problem.empty() ? "OK" : cli::escapedText(problem) + " ERROR"));
    return lines;
}

std::string repairReply(const host::ScanResult& result, const std::string& shown) {
    const std::string prefix = replyName(shown) + ": ";
    if (!result.found()) return resultReplies(result, shown, false).front();
    const std::string name = replyName(verdictName(result.findings.front()));
    if (result.failed) return prefix + cli::escapedText(problemOf(result)) + " ERROR";
    if (result.repaired) return prefix + name + " REPAIRED";
    if (result.removed) return prefix + name + " REMOVED";
    return prefix + name + " FOUND";
}

std::string bigEndian32(uint32_t value) {
    return {char(value >> 24), char(value >> 16), char(value >> 8), char(value)};
}

}  // namespace service
