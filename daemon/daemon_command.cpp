#include "daemon/daemon_command.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <thread>

#include "cli/command_setup.h"
#include "cli/escaped_text.h"
#include "cli/help_text.h"
#include "cli/loaded_module.h"
#include "daemon/config.h"
#include "daemon/logger.h"
#include "daemon/server.h"
#include "host/module_host.h"

namespace service {

namespace {

constexpr int kExitClean = 0;
constexpr int kExitError = 2;

int usageError(const std::string& message) {
    std::fprintf(stderr, "remedy daemon: %s\n%s", cli::escapedText(message).c_str(), cli::kShortUsage);
    return kExitError;
}

// What the command line sets; it wins over the configuration file.
struct CommandLine {
    std::string configFile;
    bool foreground = false;
    std::optional<std::string> localSocket, tcpAddr;
    std::optional<uint16_t> tcpSocket;
    bool defaultRules = true;
};

// Parses the arguments into *line and *config; an empty string when they are sound, else why not.
std::string parseArguments(int argc, char** argv, int i, CommandLine* line, DaemonConfig* config) {
    for (; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--config-file" && hasValue) {
            line->configFile = argv[++i];
        } else if (arg == "--foreground" || arg == "-F") {
            line->foreground = true;
        } else if (arg == "--local-socket" && hasValue) {
            line->localSocket = argv[++i];
            if (line->localSocket->empty() || (*line->localSocket)[0] != '/') return "--local-socket needs an absolute path";
        } else if (arg == "--tcp-socket" && hasValue) {
            uint32_t port = 0;
            if (!cli::parseNumber(argv[++i], &port) || port > 65535) return "--tcp-socket needs a port number";
            line->tcpSocket = uint16_t(port);
        } else if (arg == "--tcp-addr" && hasValue) {
            line->tcpAddr = argv[++i];
        } else if (arg == "--rules" && hasValue) {
            config->userRules.push_back(argv[++i]);
        } else if (arg == "--no-default-rules") {
            line->defaultRules = false;
        } else if (arg == "--heuristics") {
            config->heuristics = true;
        } else if (arg == "--enable-repair") {
            config->repairEnabled = true;
        } else if (arg == "--quarantine" && hasValue) {
            config->commit.quarantineDir = argv[++i];
        } else if (arg == "--no-backup") {
            config->commit.noBackup = true;
        } else if (arg == "--max-filesize" && hasValue) {
            if (!cli::parseSize(argv[++i], &config->maxFileSize)) return "--max-filesize needs a size such as 100M";
        } else if (arg == "--max-memory" && hasValue) {
            if (!cli::parseSize(argv[++i], &config->maxMemory)) return "--max-memory needs a size such as 512M";
        } else if (arg == "--alert-exceeds-max") {
            config->alertExceedsMax = true;
        } else {
            return "unknown option '" + arg + "'";
        }
    }
    return {};
}

// The parent of a daemon waits until the child serves (a byte 0 on the pipe) or says why it
// could not (its message already on standard error), and exits with that status.
int waitForChild(int readyFd) {
    char status = kExitError;
    ssize_t got;
    do got = ::read(readyFd, &status, 1);
    while (got < 0 && errno == EINTR);
    return got == 1 ? status : kExitError;
}

void tellParent(int& readyFd, char status) {
    if (readyFd < 0) return;
    [[maybe_unused]] ssize_t ignored = ::write(readyFd, &status, 1);
    ::close(readyFd);
    readyFd = -1;
}

bool writePidFile(const std::string& path, std::string* error) {
    std::FILE* file = std::fopen(path.c_str(), "we");
    if (!file) {
        *error = "cannot write the pid file " + path + ": " + std::strerror(errno);
        return false;
    }
    std::fprintf(file, "%ld\n", long(::getpid()));
    std::fclose(file);
    return true;
}

}  // namespace

int runDaemonCommand(const std::string& modulePath, int argc, char** argv, int first) {
    CommandLine line;
    DaemonConfig config;
    if (std::string why = parseArguments(argc, argv, first, &line, &config); !why.empty()) return usageError(why);
    if (!line.configFile.empty()) {
        std::vector<std::string> unsupported;
        std::string error;
        if (!readConfigFile(line.configFile, &config, &unsupported, &error)) return usageError(error);
        for (const std::string& note : unsupported)
            std::fprintf(stderr, "remedy daemon: %s: %s\n", cli::escapedText(line.configFile).c_str(),
                         cli::escapedText(note).c_str());
    }
    if (line.localSocket) config.localSocket = *line.localSocket;
    if (line.tcpSocket) config.tcpSocket = line.tcpSocket;
    if (line.tcpAddr) config.tcpAddr = *line.tcpAddr;
    if (line.foreground) config.foreground = true;
    if (config.localSocket.empty() && !config.tcpSocket && !std::getenv("LISTEN_FDS"))
        return usageError("give LocalSocket or TCPSocket (in --config-file FILE, or --local-socket / --tcp-socket)");
    if (config.repairEnabled && !config.commit.noBackup && config.commit.quarantineDir.empty()) {
        config.commit.quarantineDir = cli::defaultQuarantine();
        if (config.commit.quarantineDir.empty()) return usageError("--enable-repair needs --quarantine DIR or --no-backup (no HOME)");
    }
    if (line.defaultRules) config.shippedRules = cli::defaultRulesDir();
    config.modulePath = modulePath;

    // Threads do not survive fork: the daemon forks before it makes any.
    int readyFd = -1;
    if (!config.foreground) {
        int ready[2];
        if (::pipe2(ready, O_CLOEXEC) != 0) return usageError("cannot make a pipe");
        const pid_t child = ::fork();
        if (child < 0) return usageError("cannot fork");
        if (child > 0) {
            ::close(ready[1]);
            return waitForChild(ready[0]);
        }
        ::close(ready[0]);
        readyFd = ready[1];
        ::setsid();
        if (::chdir("/") != 0) return kExitError;
    }
    Logger logger;
    std::string error;
    if (!logger.open(config.logFile, config.logTime, config.foreground, &error)) {
        std::fprintf(stderr, "remedy daemon: %s\n", cli::escapedText(error).c_str());
        tellParent(readyFd, kExitError);
        return kExitError;
    }
    // SIGTERM, SIGINT, SIGHUP and SIGUSR2 are taken by one thread with sigwait; every other
    // thread has them blocked, so no handler runs in the middle of a scan.
    sigset_t handled;
    sigemptyset(&handled);
    for (int signal : {SIGTERM, SIGINT, SIGHUP, SIGUSR1, SIGUSR2}) sigaddset(&handled, signal);
    pthread_sigmask(SIG_BLOCK, &handled, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    std::shared_ptr<host::Module> module = cli::loadModule(modulePath);
    std::unique_ptr<Server> server;
    if (module) server = Server::create(config, module, cli::virusNamesOf(*module), logger, &error);
    if (!server) {
        if (module) std::fprintf(stderr, "remedy daemon: %s\n", cli::escapedText(error).c_str());
        tellParent(readyFd, kExitError);
        return kExitError;
    }
    if (!config.pidFile.empty() && !writePidFile(config.pidFile, &error)) {
        std::fprintf(stderr, "remedy daemon: %s\n", cli::escapedText(error).c_str());
        tellParent(readyFd, kExitError);
        return kExitError;
    }
    if (readyFd >= 0) {
        const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
        for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) ::dup2(null, fd);
        if (null > STDERR_FILENO) ::close(null);
    }
    tellParent(readyFd, kExitClean);

    std::thread signals([&] {
        for (;;) {
            int signal = 0;
            if (sigwait(&handled, &signal) != 0) continue;
            if (signal == SIGUSR1) return;  // the server has stopped
            if (signal == SIGHUP) {
                logger.reopen();
            } else if (signal == SIGUSR2) {
                server->requestReload();
            } else {
                logger.log(std::string("received ") + ::strsignal(signal) + ": stopping");
                server->requestStop();
            }
        }
    });
    server->run();
    pthread_kill(signals.native_handle(), SIGUSR1);
    signals.join();
    server.reset();
    if (!config.pidFile.empty()) ::unlink(config.pidFile.c_str());
    return kExitClean;
}

}  // namespace service
