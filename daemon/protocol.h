// The clamd protocol's words: how a command is framed and split, and the reply lines a scan
// result becomes. Pure text; the sockets are in client_socket.h.
//
// A command starts with 'z' (it ends at a NUL byte; replies end with NUL) or 'n' (it ends at a
// newline; replies end with a newline). Without either it is the legacy form: one packet holds
// one command, ended by a newline or by the packet's end, and replies end with a newline.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "host/scan/scan_result.h"

namespace service {

enum class Framing { Nul, Newline, Legacy };

// The byte that ends a command of this framing and each of its replies.
inline char delimiter(Framing framing) { return framing == Framing::Nul ? '\0' : '\n'; }

struct Command {
    Framing framing = Framing::Legacy;
    std::string name;      // "SCAN"
    std::string argument;  // what follows the first blank: "/srv/in/a.exe"; may be empty
};

// The longest command accepted, its ending included: the longest path and the longest name.
constexpr size_t kMaxCommandBytes = 4096 + 64;

// The command in `text`, which holds neither its framing letter nor its ending.
Command splitCommand(std::string_view text, Framing framing);

// Reply texts that are not about a scanned input.
inline constexpr char kUnknownCommand[] = "UNKNOWN COMMAND";
inline constexpr char kCommandTooLong[] = "COMMAND TOO LONG. ERROR";
inline constexpr char kQueueFull[] = "MAX QUEUE EXCEEDED. ERROR";
inline constexpr char kStreamTooLong[] = "INSTREAM size limit exceeded. ERROR";
inline constexpr char kInvalidInSession[] = "Command invalid inside IDSESSION. ERROR";
inline constexpr char kCommandUnavailable[] = "COMMAND UNAVAILABLE";

// The name a finding is reported by: the verdict name remedy scan prints, else its identifier.
std::string verdictName(const host::FoundVirus& found);

// What one scanned input answers, as "NAME: TEXT" lines without their ending. `shown` is the
// name the reply starts with (the path the client gave, "stream", "fd[N]"). A finding (in the
// input or in a member of it) answers "NAME: VIRUS FOUND" — every finding with allMatches, else
// the first; an input that could not be read, was stopped by the watchdog, was skipped for its
// size or was searched only in part answers "NAME: WHY ERROR"; else "NAME: OK".
std::vector<std::string> resultReplies(const host::ScanResult& result, const std::string& shown, bool allMatches);

// Whether the result answers FOUND, ERROR or OK.
enum class Answer { Ok, Found, Error };
Answer answerOf(const host::ScanResult& result);

// A repair's reply: "NAME: VIRUS REPAIRED", "NAME: VIRUS REMOVED", "NAME: VIRUS FOUND" (found but
// not repaired), "NAME: OK" or "NAME: WHY ERROR".
std::string repairReply(const host::ScanResult& result, const std::string& shown);

// A name as it may appear in a reply: control bytes (the endings among them) escaped.
std::string replyName(const std::string& name);

// The 4-byte big-endian length that comes before each chunk of an INSTREAM and before the bytes
// of a stream repair.
inline uint32_t readBigEndian32(const unsigned char bytes[4]) {
    return uint32_t(bytes[0]) << 24 | uint32_t(bytes[1]) << 16 | uint32_t(bytes[2]) << 8 | uint32_t(bytes[3]);
}
std::string bigEndian32(uint32_t value);

}  // namespace service
