// A load client for remedy daemon, run by bench/daemon_bench.py: sends each file of a list once,
// from N client threads at once, the way named on the command line, and prints one line of
// figures. Written in C++ so that the clients' own cost, which runs on the same cores as the
// daemon, stays small next to the daemon's.
//
//   bench_daemon_client SOCKET WAY CLIENTS SESSION LIST
//     WAY      SCAN, FILDES or INSTREAM
//     SESSION  0: one connection a request; 1: each client's requests in one IDSESSION, each
//              sent when the one before is answered; N > 1: in one IDSESSION, up to N requests
//              under way at once (a session's client may send ahead of the replies)
//     LIST     file names, each ended by a NUL; dealt to the clients largest first
//
// Prints: seconds ERRORS client_cpu_seconds
#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Target {
    std::string path;
    off_t size = 0;
};

int connectTo(const std::string& socketPath) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socketPath.size() >= sizeof address.sun_path) return -1;
    std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
    const int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) return -1;
    if (connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(s);
        return -1;
    }
    return s;
}

bool sendAll(int s, const void* data, size_t size) {
    const char* at = static_cast<const char*>(data);
    while (size) {
        const ssize_t sent = send(s, at, size, MSG_NOSIGNAL);
        if (sent <= 0) return false;
        at += sent;
        size -= size_t(sent);
    }
    return true;
}

// One reply, up to its NUL; empty when the daemon closed first. A client waits for each reply
// before it sends again, so nothing of a later reply can be in the same read.
std::string readReply(int s) {
    std::string reply;
    char piece[512];
    while (reply.size() < 65536) {
        const ssize_t got = recv(s, piece, sizeof piece, 0);
        if (got <= 0) return {};
        reply.append(piece, size_t(got));
        if (reply.back() == '\0') {
            reply.pop_back();
            return reply;
        }
    }
    return {};
}

bool sendStream(int s, const Target& target) {
    const int fd = open(target.path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = sendAll(s, "zINSTREAM", 10);
    off_t offset = 0;
    while (ok && offset < target.size) {
        const uint32_t piece = uint32_t(std::min<off_t>(target.size - offset, 8 << 20));
        const uint32_t length = htonl(piece);
        ok = sendAll(s, &length, 4);
        for (uint32_t left = piece; ok && left;) {
            const ssize_t sent = sendfile(s, fd, &offset, left);
            ok = sent > 0;
            if (ok) left -= uint32_t(sent);
        }
    }
    close(fd);
    const uint32_t end = 0;
    return ok && sendAll(s, &end, 4);
}

bool sendDescriptor(int s, const Target& target) {
    const int fd = open(target.path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    if (!sendAll(s, "zFILDES", 8)) {
        close(fd);
        return false;
    }
    char byte = 0;
    iovec io{&byte, 1};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr message{};
    message.msg_iov = &io;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(header), &fd, sizeof fd);
    const bool ok = sendmsg(s, &message, MSG_NOSIGNAL) == 1;
    close(fd);
    return ok;
}

bool sendRequest(int s, const std::string& way, const Target& target) {
    if (way == "INSTREAM") return sendStream(s, target);
    if (way == "FILDES") return sendDescriptor(s, target);
    const std::string command = "zSCAN " + target.path;
    return sendAll(s, command.c_str(), command.size() + 1);
}

bool answered(const std::string& reply) {
    return reply.ends_with(" OK") || reply.ends_with(" FOUND");
}

// Sends the requests of one IDSESSION with up to `window` of them unanswered at a time, and
// counts the replies that do not answer a file.
void runPipelined(int s, const std::string& way, size_t window, const std::vector<Target>& targets,
                  std::atomic<int>& errors) {
    size_t sent = 0, answers = 0;
    std::string pending;
    char piece[4096];
    while (answers < targets.size()) {
        while (sent < targets.size() && sent - answers < window) {
            if (!sendRequest(s, way, targets[sent])) {
                errors += int(targets.size() - answers);
                return;
            }
            ++sent;
        }
        const ssize_t got = recv(s, piece, sizeof piece, 0);
        if (got <= 0) {
            errors += int(targets.size() - answers);
            return;
        }
        pending.append(piece, size_t(got));
        if (pending.size() > 65536) {  // no reply is this long: the daemon is not answering
            errors += int(targets.size() - answers);
            return;
        }
        for (size_t end; (end = pending.find('\0')) != std::string::npos; pending.erase(0, end + 1)) {
            if (!answered(pending.substr(0, end))) ++errors;
            ++answers;
        }
    }
}

void runClient(const std::string& socketPath, const std::string& way, int session,
               const std::vector<Target>& targets, std::atomic<int>& errors) {
    if (session > 1) {
        const int s = connectTo(socketPath);
        if (s < 0 || !sendAll(s, "zIDSESSION", 11)) {
            errors += int(targets.size());
            if (s >= 0) close(s);
            return;
        }
        runPipelined(s, way, size_t(session), targets, errors);
        sendAll(s, "zEND", 5);
        close(s);
        return;
    }
    if (session) {
        const int s = connectTo(socketPath);
        if (s < 0 || !sendAll(s, "zIDSESSION", 11)) {
            errors += int(targets.size());
            if (s >= 0) close(s);
            return;
        }
        for (const Target& target : targets)
            if (!sendRequest(s, way, target) || !answered(readReply(s))) ++errors;
        sendAll(s, "zEND", 5);
        close(s);
        return;
    }
    for (const Target& target : targets) {
        const int s = connectTo(socketPath);
        if (s < 0 || !sendRequest(s, way, target) || !answered(readReply(s))) ++errors;
        if (s >= 0) close(s);
    }
}

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 6) {
        std::fprintf(stderr, "usage: %s SOCKET SCAN|FILDES|INSTREAM CLIENTS SESSION(0|1|N) LIST\n", argv[0]);
        return 2;
    }
    const std::string socketPath = argv[1], way = argv[2];
    const int clients = std::clamp(std::atoi(argv[3]), 1, 256);
    const int session = std::clamp(std::atoi(argv[4]), 0, 1024);
    std::ifstream list(argv[5], std::ios::binary);
    const std::string names((std::istreambuf_iterator<char>(list)), std::istreambuf_iterator<char>());

    std::vector<Target> targets;
    for (size_t at = 0; at < names.size();) {
        const size_t end = std::min(names.find('\0', at), names.size());
        struct stat st{};
        Target target{names.substr(at, end - at), 0};
        if (stat(target.path.c_str(), &st) == 0) target.size = st.st_size;
        targets.push_back(std::move(target));
        at = end + 1;
    }
    std::sort(targets.begin(), targets.end(), [](const Target& a, const Target& b) { return a.size > b.size; });
    std::vector<std::vector<Target>> shares(static_cast<size_t>(clients));
    for (size_t k = 0; k < targets.size(); ++k) shares[k % size_t(clients)].push_back(targets[k]);

    std::atomic<int> errors{0};
    const double cpuBefore = cpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> threads;
    for (const auto& share : shares)
        threads.emplace_back([&, &share = share] { runClient(socketPath, way, session, share, errors); });
    for (std::thread& thread : threads) thread.join();
    const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
    std::printf("%.6f %d %.6f\n", seconds.count(), errors.load(), cpuSeconds() - cpuBefore);
    return 0;
}
