#include "daemon/server.h"

#include <fcntl.h>
#include <grp.h>
#include <netdb.h>
#include <poll.h>
#include <sys/epoll.h>
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
    // The connection threads wait on one epoll set together: a client connecting wakes one of
    // them, which serves it (a listener is taken out of the set when it wakes a thread, and put
    // back once its client is taken). Handing a connection from an accepting thread to another
    // cost a thread switch a connection. The stop pipe wakes every thread. A listener is
    // non-blocking: a client may leave before it is taken.
    server->connectionEvents_.reset(::epoll_create1(EPOLL_CLOEXEC));
    bool watching = server->connectionEvents_.valid();
    for (const auto& [fd, flags] : {std::pair{server->localListener_.get(), uint32_t(EPOLLIN | EPOLLONESHOT)},
                                    std::pair{server->tcpListener_.get(), uint32_t(EPOLLIN | EPOLLONESHOT)},
                                    std::pair{server->stopFd(), uint32_t(EPOLLIN)}}) {
        if (!watching || fd < 0) continue;
        epoll_event event{};
        event.events = flags;
        event.data.fd = fd;
        watching = (fd == server->stopFd() || ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK) == 0) &&
                   ::epoll_ctl(server->connectionEvents_.get(), EPOLL_CTL_ADD, fd, &event) == 0;
    }
    if (!watching) {
        *error = systemError("cannot wait for connections");
        return nullptr;
    }
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
        (address.ss_family == AF_UNIX ? adoptedLocal_ : adoptedTcp_) = fd;
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
    // The connection threads take the connections themselves; this thread only hears the
    // requests to stop and to reload.
    {
        std::lock_guard lock(mutex_);
        ++threads_;
        ++idle_;
    }
    if (!startConnectionThread()) {
        logger_.log("cannot start a thread for connections");
        requestStop();
    }
    for (bool stopping = false; !stopping;) {
        pollfd wake = {wakePipe_[0].get(), POLLIN, 0};
        const int ready = ::poll(&wake, 1, -1);
        if (ready < 0) {
            if (errno == EINTR) continue;
            logger_.log(systemError("poll failed"));
            break;
        }
        char bytes[64];
        const ssize_t got = ::read(wakePipe_[0].get(), bytes, sizeof bytes);
        for (ssize_t k = 0; k < got; ++k) {
            if (bytes[k] == 'S') stopping = true;
            else if (bytes[k] == 'R') reload();
        }
    }
    beginStop();
}

void Server::beginStop() {
    logger_.log("stopping: answering the requests already read");
    // No new connection: the socket's name goes, and the sockets this daemon made refuse
    // connections from now on. Sockets a service manager passed stay as they are: connections
    // waiting there are for the daemon it starts next. Connection threads waiting for a
    // connection or a command see the stop pipe close.
    if (unlinkSocket_) ::unlink(config_.localSocket.c_str());
    unlinkSocket_ = false;
    {
        std::unique_lock lock(mutex_);
        // Set first: a thread that a shut listener wakes ends instead of trying it again.
        stopping_ = true;
        for (const host::UniqueFd* listener : {&localListener_, &tcpListener_})
            if (listener->valid() && !adopted(listener->get())) ::shutdown(listener->get(), SHUT_RDWR);
        stopPipe_[1].reset();
        connectionEnded_.wait(lock, [&] { return threads_ == 0; });
    }
    localListener_.reset();
    tcpListener_.reset();
    pool_->stop();
    if (reloader_.joinable()) reloader_.join();
    logger_.log("stopped after " + std::to_string(requests.load()) + " requests");
}

bool Server::startConnectionThread() {
    try {
        std::thread([this] { takeConnections(); }).detach();
        return true;
    } catch (const std::system_error&) {
        std::lock_guard lock(mutex_);
        --threads_;
        --idle_;
        connectionEnded_.notify_all();
        return false;
    }
}

void Server::takeConnections() {
    for (;;) {
        epoll_event event{};
        const int count = ::epoll_wait(connectionEvents_.get(), &event, 1,
                                       int(std::chrono::milliseconds(kIdleThreadTime).count()));
        if (count < 0 && errno != EINTR) {
            logger_.log(systemError("cannot wait for connections"));
            break;
        }
        std::unique_lock lock(mutex_);
        if (stopping_ || (count > 0 && event.data.fd == stopFd())) break;
        // Idle a while: the thread ends while another one waits.
        if (count == 0 && idle_ > 1) break;
        if (count <= 0) continue;
        lock.unlock();
        const int listener = event.data.fd;
        host::UniqueFd fd(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
        if (!fd.valid() && (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)) {
            logger_.log(systemError("cannot take a connection"));
            // Out of descriptors: the listener rests a moment instead of waking a thread at once again.
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        // The listener was taken out of the set when it woke this thread; back in, the next
        // client wakes another thread while this one serves.
        if (!watch(listener)) {
            logger_.log(systemError("cannot wait for connections"));
            break;
        }
        // A failed accept: another client, or one that left; wait again.
        if (fd.valid() && !serveOne(std::move(fd), listener == localListener_.get())) break;
    }
    std::lock_guard lock(mutex_);
    --idle_;
    --threads_;
    connectionEnded_.notify_all();
}

bool Server::watch(int listener) {
    epoll_event event{};
    event.events = EPOLLIN | EPOLLONESHOT;
    event.data.fd = listener;
    return ::epoll_ctl(connectionEvents_.get(), EPOLL_CTL_MOD, listener, &event) == 0;
}

bool Server::serveOne(host::UniqueFd fd, bool local) {
    bool spawn;
    {
        std::unique_lock lock(mutex_);
        if (connections_ >= maxConnections(config_)) {
            lock.unlock();
            // Every worker busy and the queue full: the client hears so at once instead of waiting.
            const std::string reply = std::string(kQueueFull) + "\n";
            [[maybe_unused]] ssize_t ignored = ::send(fd.get(), reply.data(), reply.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            logger_.log("connection refused: the queue is full");
            return true;
        }
        ++connections_;
        --idle_;
        // Someone waits for the next client while this thread serves: a thread that finished its
        // connection a moment ago, or a new one.
        spawn = idle_ == 0;
        if (spawn) {
            ++threads_;
            ++idle_;
        }
    }
    if (spawn && !startConnectionThread()) logger_.log("cannot start a thread for connections");
    at("accepted");
    {
        ClientSocket socket(std::move(fd), local, stopFd());
        serveConnection(*this, socket);
        // The connection leaves the count before its client sees it end, so a client
        // that connects again at once finds its place free.
        --connections_;
    }
    at("closed");
    std::lock_guard lock(mutex_);
    ++idle_;
    return !stopping_;
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
