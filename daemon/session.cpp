#include "daemon/session.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <new>
#include <optional>
#include <set>
#include <stdexcept>

#include "cli/file_walk.h"
#include "daemon/client_socket.h"
#include "daemon/protocol.h"
#include "daemon/server.h"

namespace service {

namespace {

using Status = ClientSocket::Status;

// What a request answers: its lines, and for a stream repair the bytes after them.
struct Replies {
    std::vector<std::string> lines;
    std::string tail;
};

// The commands an IDSESSION takes; any other inside one is refused and ends it.
const std::set<std::string>& sessionCommands() {
    static const std::set<std::string> names = {"PING",     "VERSION", "STATS",  "SCAN",          "INSTREAM",
                                                "FILDES",   "END",     "REPAIR", "INSTREAMREPAIR"};
    return names;
}

std::string commandList(bool repairEnabled) {
    std::string list = "SCAN RELOAD PING CONTSCAN VERSIONCOMMANDS VERSION END SHUTDOWN MULTISCAN FILDES STATS "
                       "IDSESSION INSTREAM ALLMATCHSCAN";
    if (repairEnabled) list += " REPAIR INSTREAMREPAIR";
    return list;
}

enum class PathMode { StopAtFound, Continue, AllMatches };

class Connection {
public:
    Connection(Server& server, ClientSocket& socket) : server_(server), config_(server.config()), socket_(socket) {}

    void serve();

private:
    // Handles one command; false when the connection ends after it.
    bool handle(const Command& command);
    void reply(uint64_t id, Framing framing, const Replies& replies);
    void replyLine(uint64_t id, Framing framing, const std::string& line) { reply(id, framing, {{line}, {}}); }
    // Runs `work` on a worker; its reply is sent when it is done. False when the queue is full
    // (the client was told) or the server stops.
    bool onWorker(uint64_t id, Framing framing, std::function<Replies(host::FileScanner&, host::WorkerMemory&)> work);
    void waitForReplies();

    host::ScanSettings settings(host::WorkerMemory* memory) const;
    bool scanPath(uint64_t id, const Command& command, PathMode mode);
    bool multiScan(uint64_t id, const Command& command);
    bool stream(uint64_t id, const Command& command, bool repair);
    bool descriptor(uint64_t id, const Command& command);
    bool repairPath(uint64_t id, const Command& command);
    // Reads INSTREAM's chunks into *data; false (the client told when it sent too much) when the
    // connection must end.
    bool readStream(uint64_t id, Framing framing, std::vector<uint8_t>* data);

    Server& server_;
    const DaemonConfig& config_;
    ClientSocket& socket_;
    bool inSession_ = false;
    uint64_t lastId_ = 0;
    std::mutex mutex_;
    std::condition_variable replied_;
    size_t pending_ = 0;  // requests on the workers whose replies are not sent yet
};

void Connection::serve() {
    for (;;) {
        const auto wait = std::chrono::seconds(inSession_ ? config_.idleTimeout : config_.commandReadTimeout);
        Command command;
        const Status status = socket_.readCommand(ClientSocket::Clock::now() + wait, config_.commandReadTimeout, &command);
        if (status == Status::TooLong) {
            server_.logger().log("command too long: connection closed");
            replyLine(0, Framing::Newline, kCommandTooLong);
            break;
        }
        if (status == Status::TimedOut) server_.logger().log(inSession_ ? "session idle too long: closed" : "command read timed out");
        if (status != Status::Ok) break;
        server_.at("command");
        if (!handle(command)) break;
    }
    waitForReplies();
}

bool Connection::handle(const Command& command) {
    const std::string& name = command.name;
    const Framing framing = command.framing;
    const uint64_t id = inSession_ ? ++lastId_ : 0;
    if (inSession_ && (framing == Framing::Legacy || !sessionCommands().count(name))) {
        server_.logger().log("command " + name + " refused inside IDSESSION");
        replyLine(id, framing == Framing::Legacy ? Framing::Newline : framing, kInvalidInSession);
        return false;
    }
    if (name == "PING") {
        replyLine(id, framing, "PONG");
        return inSession_;
    }
    if (name == "VERSION") {
        replyLine(id, framing, server_.versionText());
        return inSession_;
    }
    if (name == "VERSIONCOMMANDS") {
        replyLine(id, framing, server_.versionText() + "| COMMANDS: " + commandList(config_.repairEnabled));
        return false;
    }
    if (name == "STATS") {
        replyLine(id, framing, server_.statsText());
        return inSession_;
    }
    if (name == "RELOAD") {
        server_.requestReload();
        replyLine(id, framing, "RELOADING");
        return false;
    }
    if (name == "SHUTDOWN") {
        server_.logger().log("SHUTDOWN asked by a client");
        server_.requestStop();
        return false;
    }
    if (name == "IDSESSION" && framing != Framing::Legacy) {
        inSession_ = true;
        return true;
    }
    if (name == "END" && inSession_) return false;
    if (name == "SCAN") return scanPath(id, command, PathMode::StopAtFound) && inSession_;
    if (name == "CONTSCAN") return scanPath(id, command, PathMode::Continue) && inSession_;
    if (name == "ALLMATCHSCAN") return scanPath(id, command, PathMode::AllMatches) && inSession_;
    if (name == "MULTISCAN") return multiScan(id, command) && inSession_;
    if (name == "INSTREAM" && framing != Framing::Legacy) return stream(id, command, false) && inSession_;
    if (name == "FILDES") return descriptor(id, command) && inSession_;
    if (name == "REPAIR" || (name == "INSTREAMREPAIR" && framing != Framing::Legacy)) {
        if (!config_.repairEnabled) {
            replyLine(id, framing, kCommandUnavailable);
            return false;
        }
        return (name == "REPAIR" ? repairPath(id, command) : stream(id, command, true)) && inSession_;
    }
    server_.logger().log("unknown command: " + name);
    replyLine(id, framing == Framing::Legacy ? Framing::Newline : framing, kUnknownCommand);
    return false;
}

void Connection::reply(uint64_t id, Framing framing, const Replies& replies) {
    std::string bytes;
    for (const std::string& line : replies.lines) {
        if (id) bytes += std::to_string(id) + ": ";
        bytes += line;
        bytes += delimiter(framing);
    }
    bytes += replies.tail;
    for (const std::string& line : replies.lines)
        if (line.ends_with(" FOUND") || line.ends_with(" ERROR") || line.ends_with(" REPAIRED") || line.ends_with(" REMOVED"))
            server_.logger().log(line);
    // A client that does not read its replies is given up on as one that stops sending.
    if (!socket_.send(bytes, config_.readTimeout)) server_.logger().log("a client did not take its reply");
    ++server_.requests;
    server_.at("replied");
}

bool Connection::onWorker(uint64_t id, Framing framing,
                          std::function<Replies(host::FileScanner&, host::WorkerMemory&)> work) {
    // The request is scanned here when a worker's slot is free, unless the session's client has
    // already sent more: requests sent ahead go to the workers, to run beside each other. The
    // answer goes after the slot is free again, so a client slow to take it holds no slot.
    std::optional<Replies> replies;
    if (!(inSession_ && socket_.moreWaiting()) && server_.pool().runHere([&](host::FileScanner& scanner, host::WorkerMemory& memory) {
            server_.at("scanning");
            replies = work(scanner, memory);
        })) {
        reply(id, framing, *replies);
        return true;
    }
    {
        std::lock_guard lock(mutex_);
        ++pending_;
    }
    const WorkerPool::Submitted submitted = server_.pool().submit(
        [this, id, framing, work = std::move(work)](host::FileScanner& scanner, host::WorkerMemory& memory) {
            server_.at("scanning");
            reply(id, framing, work(scanner, memory));
            std::lock_guard lock(mutex_);
            --pending_;
            replied_.notify_all();  // under the lock: the connection cannot end before this returns
        },
        false);
    if (submitted == WorkerPool::Submitted::Queued) {
        server_.at("queued");
        return true;
    }
    {
        std::lock_guard lock(mutex_);
        --pending_;
    }
    server_.logger().log("request refused: the queue is full");
    replyLine(id, framing, kQueueFull);
    return false;
}

void Connection::waitForReplies() {
    std::unique_lock lock(mutex_);
    replied_.wait(lock, [&] { return pending_ == 0; });
}

host::ScanSettings Connection::settings(host::WorkerMemory* memory) const {
    host::ScanSettings settings;
    settings.alertExceedsMax = config_.alertExceedsMax;
    settings.maxFileSize = config_.maxFileSize;
    settings.memory = memory;
    return settings;
}

// The lines of a path command: for a file, its one line; for a directory, a line for each
// file found or not scanned (files skipped quietly by the walk, such as links and special
// files, have none), or "PATH: OK" when there is none.
Replies pathReplies(const std::string& path, bool directory, const std::vector<cli::WalkEntry>& entries,
                    const std::vector<host::ScanResult>& results, PathMode mode) {
    Replies replies;
    for (size_t k = 0; k < results.size(); ++k) {
        const cli::WalkEntry& entry = entries[k];
        const Answer answer = answerOf(results[k]);
        if (directory && (answer == Answer::Ok || (!entry.note.empty() && !entry.tooLarge))) continue;
        for (std::string& line : resultReplies(results[k], entry.path, mode == PathMode::AllMatches))
            replies.lines.push_back(std::move(line));
        if (mode == PathMode::StopAtFound && answer == Answer::Found) break;
    }
    if (replies.lines.empty()) replies.lines.push_back(replyName(path) + ": OK");
    return replies;
}

bool isDirectory(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// A path the daemon resolves must not depend on its own working directory.
bool absolute(const std::string& path) { return !path.empty() && path[0] == '/'; }

std::string notAbsolute(const std::string& path) { return replyName(path) + ": Path must be absolute. ERROR"; }

bool Connection::scanPath(uint64_t id, const Command& command, PathMode mode) {
    const std::string path = command.argument;
    if (!absolute(path)) {
        replyLine(id, command.framing, notAbsolute(path));
        return true;
    }
    return onWorker(id, command.framing, [this, path, mode](host::FileScanner& scanner, host::WorkerMemory& memory) {
        cli::WalkOptions walk;
        walk.maxFileSize = config_.maxFileSize;
        const std::vector<cli::WalkEntry> entries = cli::walkPaths({path}, walk);
        const host::ScanSettings scan = settings(&memory);
        std::vector<host::ScanResult> results;
        for (const cli::WalkEntry& entry : entries) {
            results.push_back(cli::scanWalkEntry(scanner, entry, scan));
            if (mode == PathMode::StopAtFound && results.back().foundAnywhere()) break;
        }
        return pathReplies(path, isDirectory(path), entries, results, mode);
    });
}

bool Connection::multiScan(uint64_t id, const Command& command) {
    const std::string path = command.argument;
    if (!absolute(path)) {
        replyLine(id, command.framing, notAbsolute(path));
        return true;
    }
    cli::WalkOptions walk;
    walk.maxFileSize = config_.maxFileSize;
    const std::vector<cli::WalkEntry> entries = cli::walkPaths({path}, walk);
    // The files go to all workers at once; the replies come in the walk's order.
    std::vector<host::ScanResult> results(entries.size());
    std::mutex mutex;
    std::condition_variable done;
    size_t left = entries.size();
    for (size_t k = 0; k < entries.size(); ++k) {
        const auto submitted = server_.pool().submit(
            [&, k](host::FileScanner& scanner, host::WorkerMemory& memory) {
                server_.at("scanning");
                host::ScanResult result = cli::scanWalkEntry(scanner, entries[k], settings(&memory));
                std::lock_guard lock(mutex);
                results[k] = std::move(result);
                --left;
                done.notify_all();
            },
            true);
        if (submitted != WorkerPool::Submitted::Queued) {
            // The pool stops: the files not handed over are answered as not scanned.
            std::lock_guard lock(mutex);
            left -= entries.size() - k;
            for (size_t rest = k; rest < entries.size(); ++rest) {
                results[rest].path = entries[rest].path;
                results[rest].failed = true;
                results[rest].errors.push_back("the daemon is stopping");
            }
            break;
        }
    }
    std::unique_lock lock(mutex);
    done.wait(lock, [&] { return left == 0; });
    reply(id, command.framing, pathReplies(path, isDirectory(path), entries, results, PathMode::Continue));
    return true;
}

// A large stream's pages fault in 2 MiB at a time instead of 4 KiB: one fault, not 512, for
// each 2 MiB received (where the system offers transparent huge pages only on request). The
// memory held stays within the reservation.
void askForHugePages(void* start, size_t size) {
    constexpr uintptr_t kHugePage = 2u << 20;
    const uintptr_t from = (uintptr_t(start) + kHugePage - 1) & ~(kHugePage - 1);
    const uintptr_t to = (uintptr_t(start) + size) & ~(kHugePage - 1);
    if (to > from) ::madvise(reinterpret_cast<void*>(from), to - from, MADV_HUGEPAGE);
}

// Room in *data for `needed` bytes (at most StreamMaxLength), never copying what came before
// more than once: the first chunk gets exactly its own room (most streams are one chunk, as
// clients send a file in pieces of a fixed size), and a second chunk reserves StreamMaxLength
// at once. That is address space only: pages become resident as the data is written, so the
// memory held stays the data received. Where the system refuses so much address space, the
// room doubles instead. False when not even `needed` bytes can be had.
bool makeRoom(std::vector<uint8_t>* data, size_t needed, uint64_t streamMaxLength) {
    if (data->capacity() >= needed) return true;
    const size_t most = size_t(std::min<uint64_t>(streamMaxLength, SIZE_MAX));
    try {
        if (data->empty()) {
            data->reserve(needed);
        } else {
            data->reserve(most);
            askForHugePages(data->data(), data->capacity());
        }
        return true;
    } catch (const std::bad_alloc&) {
    } catch (const std::length_error&) {
    }
    try {
        data->reserve(std::min(most, std::max(needed, 2 * data->capacity())));
        return true;
    } catch (const std::bad_alloc&) {
    } catch (const std::length_error&) {
    }
    return false;
}

bool Connection::readStream(uint64_t id, Framing framing, std::vector<uint8_t>* data) {
    // Each round takes at least the 4 bytes of a length, and the total is bounded: the loop ends.
    for (;;) {
        unsigned char length[4];
        if (socket_.readExact(length, sizeof length, config_.readTimeout) != Status::Ok) {
            server_.logger().log("a client left or stalled during INSTREAM");
            return false;
        }
        const uint32_t size = readBigEndian32(length);
        if (size == 0) return true;
        if (size > config_.streamMaxLength - data->size()) {
            server_.logger().log("INSTREAM: more than StreamMaxLength (" + std::to_string(config_.streamMaxLength) +
                                 " bytes)");
            replyLine(id, framing, kStreamTooLong);
            return false;
        }
        const size_t before = data->size();
        if (!makeRoom(data, before + size, config_.streamMaxLength)) {
            server_.logger().log("INSTREAM: no memory for " + std::to_string(before + size) + " bytes");
            replyLine(id, framing, "stream: Not enough memory. ERROR");
            return false;
        }
        data->resize(before + size);
        if (socket_.readExact(data->data() + before, size, config_.readTimeout) != Status::Ok) {
            server_.logger().log("a client left or stalled during INSTREAM");
            return false;
        }
        server_.at("chunk");
    }
}

bool Connection::stream(uint64_t id, const Command& command, bool repair) {
    auto data = std::make_shared<std::vector<uint8_t>>();
    if (!readStream(id, command.framing, data.get())) return false;
    return onWorker(id, command.framing, [this, data, repair](host::FileScanner& scanner, host::WorkerMemory&) {
        host::ScanSettings scan = settings(nullptr);
        scan.maxFileSize = config_.streamMaxLength;
        if (repair) scan.repair = host::ScanSettings::Repair::InMemory;
        const host::ScanResult result = scanner.scanBytes(std::move(*data), "stream", scan);
        if (!repair) return Replies{resultReplies(result, "stream", false), {}};
        Replies replies{{repairReply(result, "stream")}, {}};
        if (result.repaired && !result.failed) {
            const std::vector<uint8_t>& bytes = result.repairedBytes;
            replies.tail = bigEndian32(uint32_t(bytes.size())) + std::string(bytes.begin(), bytes.end());
        }
        return replies;
    });
}

bool Connection::descriptor(uint64_t id, const Command& command) {
    if (!socket_.local()) {
        replyLine(id, command.framing, "FILDES: only on the local socket. ERROR");
        return false;
    }
    auto passed = std::make_shared<host::UniqueFd>();
    if (socket_.receiveDescriptor(config_.readTimeout, passed.get()) != Status::Ok) {
        server_.logger().log("FILDES: no descriptor came");
        replyLine(id, command.framing, "FILDES: no descriptor received. ERROR");
        return false;
    }
    return onWorker(id, command.framing, [this, passed](host::FileScanner& scanner, host::WorkerMemory& memory) {
        const auto scan = [&]() -> Replies {
            const std::string shown = "fd[" + std::to_string(passed->get()) + "]";
            // A DOS program is known by its name's extension: the name behind the descriptor
            // classifies it when it is a regular file; the reply names only the descriptor.
            // Only a regular file: reading a pipe or a socket the client holds open would never end.
            struct stat info {};
            if (::fstat(passed->get(), &info) != 0 || !S_ISREG(info.st_mode))
                return Replies{{shown + ": Not a regular file. ERROR"}, {}};
            std::string classifyAs = shown;
            char target[4096];
            const std::string link = "/proc/self/fd/" + std::to_string(passed->get());
            const ssize_t length = ::readlink(link.c_str(), target, sizeof target - 1);
            if (length > 0 && target[0] == '/') classifyAs.assign(target, size_t(length));
            host::ScanResult result = scanner.scanDescriptor(passed->get(), classifyAs, settings(&memory));
            result.path = shown;
            return Replies{resultReplies(result, shown, false), {}};
        };
        Replies replies = scan();
        // The client's file is closed before it hears the answer, not when the worker next
        // takes a job: an answered request holds nothing of the client's.
        passed->reset();
        return replies;
    });
}

bool Connection::repairPath(uint64_t id, const Command& command) {
    const std::string path = command.argument;
    if (!socket_.local()) {
        replyLine(id, command.framing, replyName(path) + ": Repair is accepted only on the local socket. ERROR");
        return false;
    }
    if (!absolute(path)) {
        replyLine(id, command.framing, notAbsolute(path));
        return true;
    }
    const long peer = socket_.peerUid();
    return onWorker(id, command.framing, [this, path, peer](host::FileScanner& scanner, host::WorkerMemory& memory) {
        const auto refuse = [&](const std::string& why) { return Replies{{replyName(path) + ": " + why + " ERROR"}, {}}; };
        host::AnchoredFile at;
        std::string error;
        if (!host::openNamed(path, &at, &error)) return refuse(error);
        // The owner is the opened file's: the file checked is the file repaired.
        struct stat info {};
        if (::fstat(at.file.get(), &info) != 0 || !S_ISREG(info.st_mode)) return refuse("Not a regular file.");
        if (peer < 0 || (peer != 0 && uid_t(peer) != info.st_uid))
            return refuse("Permission denied: the file belongs to another user.");
        host::ScanSettings scan = settings(&memory);
        scan.repair = host::ScanSettings::Repair::Commit;
        scan.commit = config_.commit;
        const host::ScanResult result = scanner.scanOpened(at, path, scan);
        return Replies{{repairReply(result, path)}, {}};
    });
}

}  // namespace

void serveConnection(Server& server, ClientSocket& socket) { Connection(server, socket).serve(); }

}  // namespace service
