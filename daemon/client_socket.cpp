#include "daemon/client_socket.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace service {

namespace {

// A client may pass a few descriptors at once; more than this in one message are closed.
constexpr size_t kMaxPassedAtOnce = 8;
// Descriptors passed and not taken by a FILDES: beyond this the client is dropped.
constexpr size_t kMaxPassedHeld = 16;
// One read takes at most this much; stream chunks are read straight into their buffer past it.
constexpr size_t kReadPiece = 64 * 1024;

int millisecondsUntil(ClientSocket::Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - ClientSocket::Clock::now());
    return int(std::clamp<int64_t>(left.count(), 0, 24 * 3600 * 1000));
}

ClientSocket::Clock::time_point secondsFromNow(uint32_t seconds) {
    return ClientSocket::Clock::now() + std::chrono::seconds(seconds);
}

}  // namespace

ClientSocket::ClientSocket(host::UniqueFd fd, bool local, int stopFd)
    : fd_(std::move(fd)), local_(local), stopFd_(stopFd) {
    if (local_) {
        ucred credentials {};
        socklen_t length = sizeof credentials;
        if (::getsockopt(fd_.get(), SOL_SOCKET, SO_PEERCRED, &credentials, &length) == 0)
            peerUid_ = long(credentials.uid);
    }
}

ClientSocket::~ClientSocket() = default;

bool ClientSocket::moreWaiting() const {
    int unread = 0;
    return !waiting().empty() || !passed_.empty() || (::ioctl(fd_.get(), FIONREAD, &unread) == 0 && unread > 0);
}

ClientSocket::Status ClientSocket::fill(Clock::time_point deadline, bool stoppable, char* direct, size_t* directSize) {
    char data[kReadPiece];
    iovec piece = direct ? iovec{direct, *directSize} : iovec{data, sizeof data};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kMaxPassedAtOnce)];
    msghdr message {};
    ssize_t got;
    // The read is tried before any wait: a client streaming data mostly has some waiting, and a
    // poll before every read would double the system calls. What is there is taken even when the
    // server stops, as a poll reporting both would have it.
    for (bool waitFirst = false;; waitFirst = true) {
        if (waitFirst) {
            pollfd fds[2] = {{fd_.get(), POLLIN, 0}, {stoppable ? stopFd_ : -1, POLLIN, 0}};
            const int ready = ::poll(fds, 2, millisecondsUntil(deadline));
            if (ready < 0 && errno == EINTR) continue;
            if (ready < 0) return Status::Failed;
            if (ready == 0) return Status::TimedOut;
            if (fds[0].revents == 0 && fds[1].revents != 0) return Status::Stopping;
        }
        message = {};
        message.msg_iov = &piece;
        message.msg_iovlen = 1;
        if (local_) {
            message.msg_control = control;
            message.msg_controllen = sizeof control;
        }
        do got = ::recvmsg(fd_.get(), &message, MSG_CMSG_CLOEXEC | MSG_DONTWAIT);
        while (got < 0 && errno == EINTR);
        if (got >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) break;
    }
    if (got < 0) return Status::Failed;
    // Every descriptor that came is owned at once, so none leaks whatever happens next.
    for (cmsghdr* header = local_ ? CMSG_FIRSTHDR(&message) : nullptr; header; header = CMSG_NXTHDR(&message, header)) {
        if (header->cmsg_level != SOL_SOCKET || header->cmsg_type != SCM_RIGHTS) continue;
        const size_t count = (header->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (size_t k = 0; k < count; ++k) {
            int passed;
            std::memcpy(&passed, CMSG_DATA(header) + k * sizeof(int), sizeof passed);
            passed_.emplace_back(passed);
        }
    }
    if (message.msg_flags & MSG_CTRUNC) return Status::Failed;
    if (passed_.size() > kMaxPassedHeld) return Status::Failed;
    if (got == 0) return Status::Closed;
    if (direct) *directSize = size_t(got);
    else {
        buffered_.erase(0, consumed_);  // what was consumed goes only when more comes
        consumed_ = 0;
        buffered_.append(data, size_t(got));
    }
    return Status::Ok;
}

ClientSocket::Status ClientSocket::readCommand(Clock::time_point firstByteDeadline, uint32_t commandSeconds,
                                               Command* command) {
    if (waiting().empty()) {
        const Status status = fill(firstByteDeadline, true);
        if (status != Status::Ok) return status;
    }
    const Clock::time_point deadline = secondsFromNow(commandSeconds);
    const char first = waiting()[0];
    if (first != 'z' && first != 'n') {
        // The legacy form: the packet is the command, up to a newline if it holds one.
        const std::string_view packet = waiting();
        const size_t end = std::min(packet.find('\n'), packet.size());
        if (end >= kMaxCommandBytes) return Status::TooLong;
        *command = splitCommand(packet.substr(0, end), Framing::Legacy);
        consume(std::min(end + 1, packet.size()));
        return Status::Ok;
    }
    const char ending = first == 'z' ? '\0' : '\n';
    size_t end;
    while ((end = waiting().find(ending, 1)) == std::string::npos) {
        if (waiting().size() >= kMaxCommandBytes) return Status::TooLong;
        const Status status = fill(deadline, false);
        if (status != Status::Ok) return status;
    }
    if (end >= kMaxCommandBytes) return Status::TooLong;
    *command = splitCommand(waiting().substr(1, end - 1), first == 'z' ? Framing::Nul : Framing::Newline);
    consume(end + 1);
    return Status::Ok;
}

ClientSocket::Status ClientSocket::readExact(void* out, size_t size, uint32_t gapSeconds) {
    char* to = static_cast<char*>(out);
    const size_t fromBuffer = std::min(size, waiting().size());
    std::memcpy(to, waiting().data(), fromBuffer);
    consume(fromBuffer);
    size_t done = fromBuffer;
    // Past what was buffered, the bytes go straight where they belong.
    while (done < size) {
        size_t got = size - done;
        const Status status = fill(secondsFromNow(gapSeconds), false, to + done, &got);
        if (status != Status::Ok) return status;
        done += got;
    }
    return Status::Ok;
}

ClientSocket::Status ClientSocket::receiveDescriptor(uint32_t gapSeconds, host::UniqueFd* out) {
    const Clock::time_point deadline = secondsFromNow(gapSeconds);
    // The descriptor rides on at least one byte of data, which carries nothing else.
    while (passed_.empty()) {
        const Status status = fill(deadline, false);
        if (status != Status::Ok) return status;
    }
    if (!waiting().empty()) consume(1);
    *out = std::move(passed_.front());
    passed_.pop_front();
    return Status::Ok;
}

bool ClientSocket::send(const std::string& bytes, uint32_t seconds) {
    std::lock_guard lock(sendMutex_);
    const Clock::time_point deadline = secondsFromNow(seconds);
    size_t done = 0;
    // As reads: the send is tried first, and the wait comes only when the client's buffer is full.
    while (done < bytes.size()) {
        const ssize_t sent = ::send(fd_.get(), bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent > 0) {
            done += size_t(sent);
            continue;
        }
        if (sent == 0 || (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)) return false;
        if (errno == EINTR) continue;
        pollfd fds{fd_.get(), POLLOUT, 0};
        int ready;
        do ready = ::poll(&fds, 1, millisecondsUntil(deadline));
        while (ready < 0 && errno == EINTR);
        if (ready <= 0) return false;
    }
    return true;
}

}  // namespace service
