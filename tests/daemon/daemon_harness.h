// A remedy daemon served inside the test process (Unix socket in a temporary directory, TCP on
// 127.0.0.1 with a port the system picks), a small clamd-protocol client, and a parking place
// that holds the server's threads at a named point until the test lets them go.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <dirent.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "cli/loaded_module.h"
#include "daemon/config.h"
#include "daemon/logger.h"
#include "daemon/server.h"
#include "host/module_host.h"
#include "tests/fixtures/bytes.h"

namespace daemontest {

using Clock = std::chrono::steady_clock;
constexpr auto kWaitLimit = std::chrono::seconds(20);  // no wait in these tests is longer

// Holds every server thread that reaches the chosen point until release(); counts every point.
class Parking {
public:
    void parkAt(const std::string& point) {
        std::lock_guard lock(mutex_);
        point_ = point;
        released_ = false;
    }
    // True when `count` threads are held at the point (within the wait limit).
    bool waitParked(size_t count = 1) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, kWaitLimit, [&] { return parked_ >= count; });
    }
    void release() {
        std::lock_guard lock(mutex_);
        released_ = true;
        point_.clear();
        changed_.notify_all();
    }
    // True when `point` was reached `count` times (within the wait limit).
    bool waitReached(const std::string& point, size_t count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, kWaitLimit, [&] { return reached_[point] >= count; });
    }
    size_t reached(const std::string& point) {
        std::lock_guard lock(mutex_);
        return reached_[point];
    }
    void at(std::string_view point) {
        std::unique_lock lock(mutex_);
        ++reached_[std::string(point)];
        changed_.notify_all();
        if (point != point_ || released_) return;
        ++parked_;
        changed_.notify_all();
        changed_.wait_for(lock, kWaitLimit, [&] { return released_; });
        --parked_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::string point_;
    bool released_ = true;
    size_t parked_ = 0;
    std::map<std::string, size_t> reached_;
};

inline std::shared_ptr<host::Module> testModule() {
    static std::shared_ptr<host::Module> module = [] {
        std::string error;
        auto loaded = host::Module::load(REMEDY_MODULE_PATH, &error);
        if (!loaded) throw std::runtime_error("cannot load the module: " + error);
        return loaded;
    }();
    return module;
}

inline size_t openDescriptors() {
    size_t count = 0;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (::readdir(dir)) ++count;
        ::closedir(dir);
    }
    return count;
}

// The daemon, serving on its own thread from construction to destruction.
class DaemonRun {
public:
    explicit DaemonRun(const std::function<void(service::DaemonConfig&)>& adjust = {}) {
        config.localSocket = dir.file("remedy.sock").string();
        config.tcpSocket = 0;
        config.maxThreads = 2;
        config.maxQueue = 8;
        config.commandReadTimeout = 5;
        config.readTimeout = 5;
        config.idleTimeout = 5;
        config.shippedRules = std::filesystem::path(REMEDY_SOURCE_DIR) / "rules";
        config.commit.quarantineDir = dir.file("quarantine");
        config.logFile = dir.file("daemon.log").string();
        if (adjust) adjust(config);
        std::string error;
        if (!logger.open(config.logFile, false, false, &error)) throw std::runtime_error(error);
        server = service::Server::create(config, testModule(), cli::virusNamesOf(*testModule()), logger, &error,
                                         [this](std::string_view point) { parking.at(point); });
        if (!server) throw std::runtime_error("the daemon does not start: " + error);
        thread = std::thread([this] { server->run(); });
    }
    ~DaemonRun() { stop(); }
    void stop() {
        if (!thread.joinable()) return;
        server->requestStop();
        parking.release();
        thread.join();
    }
    std::string log() const {
        std::string text;
        for (uint8_t byte : fixtures::readFile(config.logFile)) text += char(byte);
        return text;
    }

    fixtures::TempDir dir;
    service::DaemonConfig config;
    service::Logger logger;
    Parking parking;
    std::unique_ptr<service::Server> server;
    std::thread thread;
};

// One connection to the daemon.
class Client {
public:
    static Client local(const std::string& path) {
        Client client(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_un address {};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        if (::connect(client.fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            throw std::runtime_error("cannot connect to " + path);
        return client;
    }
    static Client tcp(uint16_t port) {
        Client client(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(client.fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            throw std::runtime_error("cannot connect to port " + std::to_string(port));
        return client;
    }
    Client(Client&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    ~Client() { close(); }
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    int fd() const { return fd_; }

    // False when the daemon closed the connection before taking everything.
    bool send(const std::string& bytes) {
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t sent = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (sent <= 0) return false;
            done += size_t(sent);
        }
        return true;
    }
    // The descriptor with one byte of data, as clamd's clients pass it.
    void sendDescriptor(int passed) { sendDescriptors({passed}); }
    // Several descriptors in one message (one SCM_RIGHTS record).
    void sendDescriptors(const std::vector<int>& passed) {
        char byte = 0;
        iovec piece{&byte, 1};
        std::vector<char> control(CMSG_SPACE(sizeof(int) * passed.size()));
        msghdr message {};
        message.msg_iov = &piece;
        message.msg_iovlen = 1;
        message.msg_control = control.data();
        message.msg_controllen = control.size();
        cmsghdr* header = CMSG_FIRSTHDR(&message);
        header->cmsg_level = SOL_SOCKET;
        header->cmsg_type = SCM_RIGHTS;
        header->cmsg_len = CMSG_LEN(sizeof(int) * passed.size());
        std::memcpy(CMSG_DATA(header), passed.data(), sizeof(int) * passed.size());
        if (::sendmsg(fd_, &message, MSG_NOSIGNAL) != 1) throw std::runtime_error("sendmsg failed");
    }
    // Everything until the daemon closes the connection (or the wait limit passes).
    std::string readAll() { return readUntil([](const std::string&) { return false; }); }
    // Until `count` bytes equal to `ending` came (or the connection closed).
    std::string readReplies(size_t count, char ending) {
        return readUntil([&](const std::string& got) { return size_t(std::count(got.begin(), got.end(), ending)) >= count; });
    }
    // Whether the daemon closed the connection (reads what is left, within the wait limit).
    bool closedByDaemon() {
        readAll();
        return closed_;
    }

private:
    explicit Client(int fd) : fd_(fd) {
        if (fd_ < 0) throw std::runtime_error("cannot make a socket");
    }
    std::string readUntil(const std::function<bool(const std::string&)>& done) {
        std::string got;
        const Clock::time_point deadline = Clock::now() + kWaitLimit;
        while (!done(got) && Clock::now() < deadline) {
            pollfd ready{fd_, POLLIN, 0};
            if (::poll(&ready, 1, 100) <= 0) continue;
            char buffer[65536];
            const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
            if (n <= 0) {
                closed_ = true;
                break;
            }
            got.append(buffer, size_t(n));
        }
        return got;
    }
    int fd_;
    bool closed_ = false;
};

inline std::string bigEndian(uint32_t n) { return {char(n >> 24), char(n >> 16), char(n >> 8), char(n)}; }

// An INSTREAM request: the command, the bytes in chunks of at most `chunk`, the zero length.
inline std::string instream(const fixtures::Bytes& bytes, size_t chunk = 65536, const std::string& command = "zINSTREAM") {
    std::string request = command + (command[0] == 'z' ? std::string(1, '\0') : "\n");
    for (size_t at = 0; at < bytes.size(); at += chunk) {
        const size_t size = std::min(chunk, bytes.size() - at);
        request += bigEndian(uint32_t(size)) + std::string(bytes.begin() + long(at), bytes.begin() + long(at + size));
    }
    return request + bigEndian(0);
}

// One request on a fresh connection to the Unix socket; the whole answer.
inline std::string ask(const DaemonRun& daemon, const std::string& request) {
    Client client = Client::local(daemon.config.localSocket);
    client.send(request);
    return client.readAll();
}

}  // namespace daemontest
