// One client's connection: reads commands and stream data against deadlines, takes descriptors
// passed with SCM_RIGHTS, and sends replies whole. Every wait also ends when the server stops
// taking commands (its stop descriptor becomes readable), so no client holds up a shutdown.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>

#include "daemon/protocol.h"
#include "host/anchored_file.h"

namespace service {

class ClientSocket {
public:
    using Clock = std::chrono::steady_clock;
    enum class Status { Ok, Closed, TimedOut, TooLong, Stopping, Failed };

    // `stopFd` becomes readable when the server stops taking commands; -1: never.
    ClientSocket(host::UniqueFd fd, bool local, int stopFd);
    ~ClientSocket();

    // The next command. The first byte must come before `firstByteDeadline`, the whole command
    // within `commandSeconds` of it. Stopping is returned only while no byte of a command came.
    Status readCommand(Clock::time_point firstByteDeadline, uint32_t commandSeconds, Command* command);
    // Exactly `size` bytes, each read waiting at most `gapSeconds` (a deadline per piece, so a
    // client that sends slowly but steadily is served, and one that stops is dropped).
    Status readExact(void* out, size_t size, uint32_t gapSeconds);
    // A descriptor the client passed (with at least one byte of data), waiting `gapSeconds`.
    Status receiveDescriptor(uint32_t gapSeconds, host::UniqueFd* out);

    // Sends all of `bytes` as one reply (replies of one session never interleave), waiting at
    // most `seconds` for the client to read. False when the client is gone or does not read.
    bool send(const std::string& bytes, uint32_t seconds);

    // Whether the client has sent more than has been taken so far.
    bool moreWaiting() const;

    bool local() const { return local_; }
    // The connecting process's user on the Unix socket (SO_PEERCRED); -1 on TCP or when unknown.
    long peerUid() const { return peerUid_; }
    int fd() const { return fd_.get(); }

private:
    // Reads what the client sent into the waiting bytes, or with `direct` into it (at most *directSize
    // bytes; *directSize is set to what came), and descriptors into passed_, waiting until
    // `deadline`. Stopping only when `stoppable`.
    Status fill(Clock::time_point deadline, bool stoppable, char* direct = nullptr, size_t* directSize = nullptr);

    host::UniqueFd fd_;
    const bool local_;
    const int stopFd_;
    long peerUid_ = -1;
    // Bytes read and not yet consumed: buffered_ from consumed_ on. Consuming only moves the
    // offset, so taking a stream's first bytes out of a full read does not move the rest.
    std::string_view waiting() const { return std::string_view(buffered_).substr(consumed_); }
    void consume(size_t count) { consumed_ += count; }
    std::string buffered_;
    size_t consumed_ = 0;
    std::deque<host::UniqueFd> passed_;   // descriptors passed and not yet taken
    std::mutex sendMutex_;
};

}  // namespace service
