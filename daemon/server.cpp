#include "daemon/server.h"

#include <fcntl.h>
#include <grp.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <system_error>

#include "cli/command_setup.h"
#include "daemon/client_socket.h"
#include "daemon/protocol.h"
#include "daemon/session.h"
#include "host/signatures.h"

namespace service {

namespace {

std::string systemError(const std::string& what) { return what + ": " + std::strerror(errno); }

bool makePipe(host::UniqueFd ends[2]) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    ends[0].reset(fds[0]);
    ends[1].reset(fds[1]);
    return true;
}

bool groupId(const std::string& name, gid_t* out) {
    uint32_t number = 0;
    if (cli::parseNumber(name.c_str(), &number)) {
        *out = gid_t(number);
        return true;
    }
    std::vector<char> buffer(16384);
    struct group entry {}, *found = nullptr;
    if (::getgrnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found) return false;
    *out = found->gr_gid;
    return true;
}

}  // namespace

Server::Server(const DaemonConfig& config, Logger& logger, TestHook hook)
    : config_(config), logger_(logger), hook_(std::move(hook)), rulesDate_(localTimeText()) {}

Server::~Server() {
    if (reloader_.joinable()) reloader_.join();
    if (unlinkSocket_) ::unlink(config_.localSocket.c_str());
}

std::unique_ptr<Server> Server::create(const DaemonConfig& config, std::shared_ptr<host::Module> module,
                                       std::function<std::string(uint32_t)> virusName, Logger& logger,
                                       std::string* error, TestHook hook) {
    std::unique_ptr<Server> server(new Server(config, logger, std::move(hook)));
    if (config.localSocket.empty() && !config.tcpSocket && !std::getenv("LISTEN_FDS")) {
        *error = "neither LocalSocket nor TCPSocket is set: nothing to listen on";
        return nullptr;
    }
    if (!makePipe(server->wakePipe_) || !makePipe(server->stopPipe_)) {
        *error = systemError("cannot make a pipe");
        return nullptr;
    }
    std::string rulesError;
    auto signatures = cli::compileRules(config.shippedRules, config.userRules, &rulesError);
    if (!signatures && !rulesError.empty()) {
        *error = "the signature rules do not compile:\n" + rulesError;
        return nullptr;
    }
    // Sockets a service manager opened for the daemon (systemd's socket activation) replace
    // those of the configuration. Bound here, the sockets come before the workers: binding sets
    // the process's umask for a moment.
    server->adoptListeners();
    if (!server->localListener_.valid() && !config.localSocket.empty() && !server->listenLocal(error)) return nullptr;
    if (!server->tcpListener_.valid() && config.tcpSocket && !server->listenTcp(error)) return nullptr;
    WorkerPool::Setup setup;
    setup.module = std::move(module);
    setup.signatures = signatures;
    setup.heuristics = config.heuristics;
    setup.virusName = std::move(virusName);
    setup.threads = config.maxThreads;
    setup.maxQueue = config.maxQueue;
    setup.memoryLimit = config.maxMemory;
    setup.log = [&logger](const std::string& message) { logger.log(message); };
    server->pool_ = WorkerPool::create(setup, error);
    if (!server->pool_) return nullptr;
    return server;
}

bool Server::listenLocal(std::string* error) {
    const std::string& path = config_.localSocket;
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        *error = "LocalSocket " + path + " is too long for a socket name";
        return false;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    host::UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.valid()) {
        *error = systemError("cannot make a Unix socket");
        return false;
    }
    // A socket file left by a daemon that died is replaced; one a live daemon answers on is not.
    struct stat info {};
    if (::lstat(path.c_str(), &info) == 0) {
        if (!S_ISSOCK(info.st_mode)) {
            *error = "LocalSocket " + path + " exists and is not a socket";
            return false;
        }
        host::UniqueFd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (::connect(probe.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
            *error = "another daemon listens on " + path;
            return false;
        }
        ::unlink(path.c_str());
    }
    // The socket is made with the configured mode from the start: no moment with a wider one.
    const mode_t mode = config_.localSocketMode ? mode_t(*config_.localSocketMode) : 0666;
    const mode_t oldMask = ::umask(0777 & ~mode);
    const int bound = ::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::umask(oldMask);
    if (bound != 0) {
        *error = systemError("cannot bind " + path);
        return false;
    }
    unlinkSocket_ = true;
    if (config_.localSocketMode && ::chmod(path.c_str(), mode_t(*config_.localSocketMode)) != 0) {
        *error = systemError("cannot set the mode of " + path);
        return false;
    }
    if (!config_.localSocketGroup.empty()) {
        gid_t gid = 0;
        if (!groupId(config_.localSocketGroup, &gid)) {
            *error = "LocalSocketGroup " + config_.localSocketGroup + " is not a group";
            return false;
        }
        if (::lchown(path.c_str(), uid_t(-1), gid) != 0) {
            *error = systemError("cannot give " + path + " to group " + config_.localSocketGroup);
            return false;
        }
    }
    if (::listen(fd.get(), int(config_.maxConnectionQueueLength)) != 0) {
        *error = systemError("cannot listen on " + path);
        return false;
    }
    localListener_ = std::move(fd);
    return true;
}

bool Server::listenTcp(std::string* error) {
    addrinfo hints {}, *found = nullptr;
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    const std::string port = std::to_string(*config_.tcpSocket);
    if (const int failed = ::getaddrinfo(config_.tcpAddr.c_str(), port.c_str(), &hints, &found); failed != 0) {
        *error = "TCPAddr " + config_.tcpAddr + ": " + ::gai_strerror(failed);
        return false;
    }
    std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> addresses(found, ::freeaddrinfo);
    host::UniqueFd fd(::socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const int yes = 1;
    if (!fd.valid() || ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes) != 0 ||
        ::bind(fd.get(), found->ai_addr, found->ai_addrlen) != 0 ||
        ::listen(fd.get(), int(config_.maxConnectionQueueLength)) != 0) {
        *error = systemError("cannot listen on " + config_.tcpAddr + " port " + port);
        return false;
    }
    sockaddr_storage bound {};
    socklen_t length = sizeof bound;
    if (::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&bound), &length) == 0)
        tcpPort_ = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                                     : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
    tcpListener_ = std::move(fd);
    return true;
}

void Server::adoptListeners() {
    // $LISTEN_PID names this process and $LISTEN_FDS counts the listening sockets from descriptor 3.
    const char* pid = std::getenv("LISTEN_PID");
    const char* count = std::getenv("LISTEN_FDS");
    uint32_t listenPid = 0, listenCount = 0;
    if (!pid || !count || !cli::parseNumber(pid, &listenPid) || pid_t(listenPid) != ::getpid() ||
        !cli::parseNumber(count, &listenCount))
        return;
    constexpr int kFirstPassedFd = 3;
    for (int fd = kFirstPassedFd; fd < kFirstPassedFd + int(std::min<uint32_t>(listenCount, 16)); ++fd) {
        sockaddr_storage address {};
        socklen_t length = sizeof address;
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) continue;
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        host::UniqueFd& slot = address.ss_family == AF_UNIX ? localListener_ : tcpListener_;
        if (slot.valid()) continue;
        slot.reset(fd);
        logger_.log(std::string("listening on the ") + (address.ss_family == AF_UNIX ? "Unix" : "TCP") +
                    " socket the service manager passed");
    }
    ::unsetenv("LISTEN_PID");
    ::unsetenv("LISTEN_FDS");
}

void Server::requestStop() {
    const char byte = 'S';
    [[maybe_unused]] ssize_t ignored = ::write(wakePipe_[1].get(), &byte, 1);
}

void Server::requestReload() {
    const char byte = 'R';
    [[maybe_unused]] ssize_t ignored = ::write(wakePipe_[1].get(), &byte, 1);
}

void Server::run() {
    logger_.log("remedy daemon " REMEDY_VERSION " started: " + std::to_string(config_.maxThreads) + " workers, queue " +
                std::to_string(config_.maxQueue));
    for (bool stopping = false, resting = false; !stopping;) {
        // Out of descriptors, the listeners rest a moment instead of waking the loop at once again.
        pollfd fds[3] = {{wakePipe_[0].get(), POLLIN, 0},
                         {resting ? -1 : localListener_.get(), POLLIN, 0},
                         {resting ? -1 : tcpListener_.get(), POLLIN, 0}};
        const int ready = ::poll(fds, 3, resting ? 100 : -1);
        resting = false;
        if (ready < 0) {
            if (errno == EINTR) continue;
            logger_.log(systemError("poll failed"));
            break;
        }
        if ((fds[1].revents & POLLIN) && !accept(localListener_.get(), true)) resting = true;
        if ((fds[2].revents & POLLIN) && !accept(tcpListener_.get(), false)) resting = true;
        if (fds[0].revents & POLLIN) {
            char bytes[64];
            const ssize_t got = ::read(wakePipe_[0].get(), bytes, sizeof bytes);
            for (ssize_t k = 0; k < got; ++k) {
                if (bytes[k] == 'S') stopping = true;
                else if (bytes[k] == 'R') reload();
            }
        }
    }
    beginStop();
}

void Server::beginStop() {
    logger_.log("stopping: answering the requests already read");
    // No new connection; connections waiting for a command see the stop pipe close.
    localListener_.reset();
    tcpListener_.reset();
    if (unlinkSocket_) ::unlink(config_.localSocket.c_str());
    unlinkSocket_ = false;
    stopPipe_[1].reset();
    {
        std::unique_lock lock(mutex_);
        stopping_ = true;
        connectionWaiting_.notify_all();
        connectionEnded_.wait(lock, [&] { return threads_ == 0; });
    }
    pool_->stop();
    if (reloader_.joinable()) reloader_.join();
    logger_.log("stopped after " + std::to_string(requests.load()) + " requests");
}

bool Server::accept(int listener, bool local) {
    host::UniqueFd fd(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
    if (!fd.valid()) {
        if (errno != EMFILE && errno != ENFILE && errno != ENOBUFS && errno != ENOMEM) return true;
        logger_.log(systemError("cannot take a connection"));
        return false;
    }
    {
        std::lock_guard lock(mutex_);
        if (connections_ >= maxConnections(config_)) {
            // Every worker busy and the queue full: the client hears so at once instead of waiting.
            const std::string reply = std::string(kQueueFull) + "\n";
            [[maybe_unused]] ssize_t ignored = ::send(fd.get(), reply.data(), reply.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            logger_.log("connection refused: the queue is full");
            return true;
        }
        ++connections_;
        // A thread that finished its connection a moment ago takes this one: making a thread for
        // every connection costs more than many requests do.
        if (idleThreads_ > waiting_.size()) {
            waiting_.push_back({std::move(fd), local});
            connectionWaiting_.notify_one();
            return true;
        }
        ++threads_;
    }
    auto client = std::make_shared<host::UniqueFd>(std::move(fd));
    try {
        std::thread([this, client, local] { serveConnections(std::move(*client), local); }).detach();
    } catch (const std::system_error&) {
        logger_.log("cannot start a thread for a connection");
        std::lock_guard lock(mutex_);
        --connections_;
        --threads_;
        return false;
    }
    return true;
}

void Server::serveConnections(host::UniqueFd fd, bool local) {
    for (;;) {
        at("accepted");
        {
            ClientSocket socket(std::move(fd), local, stopFd());
            serveConnection(*this, socket);
            // The connection leaves the count before its client sees it end, so a client
            // that connects again at once finds its place free.
            std::lock_guard lock(mutex_);
            --connections_;
        }
        at("closed");
        std::unique_lock lock(mutex_);
        ++idleThreads_;
        connectionWaiting_.wait_for(lock, kIdleThreadTime, [&] { return !waiting_.empty() || stopping_; });
        --idleThreads_;
        if (waiting_.empty()) break;
        fd = std::move(waiting_.front().fd);
        local = waiting_.front().local;
        waiting_.pop_front();
    }
    std::lock_guard lock(mutex_);
    --threads_;
    connectionEnded_.notify_all();
}

void Server::reload() {
    std::lock_guard lock(mutex_);
    if (reloading_) {
        reloadAgain_ = true;
        return;
    }
    if (reloader_.joinable()) reloader_.join();  // the last reload's thread, finished
    reloading_ = true;
    reloader_ = std::thread([this] {
        for (bool again = true; again;) {
            std::string error;
            auto signatures = cli::compileRules(config_.shippedRules, config_.userRules, &error);
            if (!signatures && !error.empty()) {
                logger_.log("reload failed, the rules in use stay: " + error);
            } else {
                pool_->useSignatures(signatures);
                std::lock_guard lock(mutex_);
                ++rulesGeneration_;
                rulesDate_ = localTimeText();
                logger_.log("rules reloaded (generation " + std::to_string(rulesGeneration_) + ")");
            }
            std::lock_guard lock(mutex_);
            again = reloadAgain_;
            reloadAgain_ = false;
            reloading_ = again;
        }
        at("reloaded");
    });
}

std::string Server::versionText() const {
    std::lock_guard lock(mutex_);
    return "ClamAV-compatible remedy " REMEDY_VERSION "/" + std::to_string(rulesGeneration_) + "/" + rulesDate_;
}

std::string Server::statsText() const {
    const WorkerPool::Counts counts = pool_->counts();
    const host::MemoryBudget& budget = pool_->budget();
    uint64_t open;
    {
        std::lock_guard lock(mutex_);
        open = connections_;
    }
    return "POOLS: 1\n\nSTATE: VALID PRIMARY\nTHREADS: live " + std::to_string(counts.busy) + "  idle " +
           std::to_string(counts.threads - counts.busy) + " max " + std::to_string(counts.threads) + " idle-timeout " +
           std::to_string(config_.idleTimeout) + "\nQUEUE: " + std::to_string(counts.queued) + " items\n" +
           "CONNECTIONS: " + std::to_string(open) + " max " + std::to_string(maxConnections(config_)) + "\n" +
           "REQUESTS: " + std::to_string(requests.load()) + "\n" + "MEMSTATS: budget " +
           std::to_string(budget.limit()) + " peak " + std::to_string(budget.peak()) + "\nEND";
}

}  // namespace service
