// remedy daemon's server: listens on the Unix and TCP sockets of the configuration, serves each
// connection on a thread of its own (reading commands and stream data never holds a scan
// worker), runs scans on the worker pool, reloads rules in the background, and on a stop
// drains: no new connection or command is taken, requests already read are answered.
//
//   auto server = service::Server::create(config, module, names, logger, &error);
//   std::thread t([&] { server->run(); });
//   ... server->requestStop(); t.join();
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "daemon/config.h"
#include "daemon/logger.h"
#include "daemon/worker_pool.h"
#include "host/anchored_file.h"

namespace host {
class Module;
class SignatureLibrary;
}  // namespace host

namespace service {

// Tests park the server at named points: "accepted", "command" (a command was read),
// "chunk" (an INSTREAM chunk was read), "queued" (a request was queued for a worker), "scanning" (a worker is about to scan), "replied"
// (a request's reply was sent), "closed" (a connection ended), "reloaded" (a reload finished).
using TestHook = std::function<void(std::string_view point)>;

class Server {
public:
    // Compiles the rules, makes the workers and binds the sockets. Null with *error.
    static std::unique_ptr<Server> create(const DaemonConfig& config, std::shared_ptr<host::Module> module,
                                          std::function<std::string(uint32_t)> virusName, Logger& logger,
                                          std::string* error, TestHook hook = {});
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Serves until a stop is requested, then drains and returns.
    void run();
    // Both only write a byte to a pipe: safe from a signal handler.
    void requestStop();
    void requestReload();

    uint16_t tcpPort() const { return tcpPort_; }  // the port bound (TCPSocket 0: the one chosen)

    // What a connection uses.
    const DaemonConfig& config() const { return config_; }
    WorkerPool& pool() { return *pool_; }
    Logger& logger() { return logger_; }
    int stopFd() const { return stopPipe_[0].get(); }
    void at(std::string_view point) const {
        if (hook_) hook_(point);
    }
    std::string versionText() const;
    std::string statsText() const;
    std::atomic<uint64_t> requests{0};  // requests answered, for STATS and the log

private:
    Server(const DaemonConfig& config, Logger& logger, TestHook hook);
    void adoptListeners();  // systemd's socket activation: $LISTEN_PID and $LISTEN_FDS
    bool listenLocal(std::string* error);
    bool listenTcp(std::string* error);
    void reload();
    void beginStop();
    // A connection thread: waits for a client on the listeners and serves it, again and again,
    // until the server stops or the thread has been idle kIdleThreadTime while another waits.
    void takeConnections();
    // Serves one accepted connection (or refuses it when the connections open fill every
    // worker and the queue); false when the server stops.
    bool serveOne(host::UniqueFd fd, bool local);
    // A new connection thread, counted (threads_, idle_) by the caller beforehand; false (and
    // the counts taken back) when none can be started.
    bool startConnectionThread();
    // Puts `listener` back into the connection threads' epoll set; false when it cannot.
    bool watch(int listener);
    // Whether `fd` is a listener a service manager passed (see adoptListeners).
    bool adopted(int fd) const { return fd == adoptedLocal_ || fd == adoptedTcp_; }

    DaemonConfig config_;
    Logger& logger_;
    TestHook hook_;
    std::unique_ptr<WorkerPool> pool_;
    host::UniqueFd localListener_, tcpListener_;
    int adoptedLocal_ = -1, adoptedTcp_ = -1;
    host::UniqueFd connectionEvents_;  // the epoll set the connection threads wait on
    uint16_t tcpPort_ = 0;
    host::UniqueFd wakePipe_[2];  // requestStop / requestReload write here
    host::UniqueFd stopPipe_[2];  // the write end closes when the server stops taking commands
    bool unlinkSocket_ = false;

    mutable std::mutex mutex_;
    std::condition_variable connectionEnded_;
    std::atomic<uint64_t> connections_{0};  // open now (raised under mutex_)
    uint64_t threads_ = 0;      // connection threads not yet finished (they outlive their socket)
    // A connection thread left idle this long ends, unless no other thread waits for clients.
    static constexpr std::chrono::seconds kIdleThreadTime{2};
    uint64_t idle_ = 0;  // connection threads waiting for a client
    bool stopping_ = false;  // connection threads end
    uint64_t rulesGeneration_ = 1;
    std::string rulesDate_;
    std::thread reloader_;
    bool reloading_ = false, reloadAgain_ = false;
};

}  // namespace service
