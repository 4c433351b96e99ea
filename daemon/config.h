// The daemon's settings: the clamd.conf-style file that clamdscan reads too (only the keys
// both understand), and remedy's own settings, which come from the command line.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/scan/commit_report.h"

namespace service {

struct DaemonConfig {
    // From the configuration file (the names are its keys).
    std::string localSocket;                  // LocalSocket: a Unix socket path; empty: none
    std::optional<uint32_t> localSocketMode;  // LocalSocketMode (octal); unset: as the umask makes it
    std::string localSocketGroup;             // LocalSocketGroup: a group name or number
    std::optional<uint16_t> tcpSocket;        // TCPSocket: a port (0: any free port)
    std::string tcpAddr = "127.0.0.1";        // TCPAddr
    uint32_t maxThreads = 10;                 // MaxThreads: scan workers
    uint32_t maxQueue = 100;                  // MaxQueue: requests waiting for a worker
    uint32_t maxConnectionQueueLength = 200;  // MaxConnectionQueueLength: the listen backlog
    uint64_t streamMaxLength = 100ull << 20;  // StreamMaxLength: bytes one INSTREAM may send
    uint32_t readTimeout = 120;               // ReadTimeout: seconds between two pieces of stream data
    uint32_t commandReadTimeout = 30;         // CommandReadTimeout: seconds to send a whole command
    uint32_t idleTimeout = 30;                // IdleTimeout: seconds a session may wait between commands
    std::string logFile;                      // LogFile; empty: standard error in the foreground
    bool logTime = false;                     // LogTime
    std::string pidFile;                      // PidFile
    bool foreground = false;                  // Foreground

    // remedy's own, from the command line.
    std::string modulePath;
    std::filesystem::path shippedRules;              // empty: none
    std::vector<std::filesystem::path> userRules;    // --rules
    bool heuristics = false;                         // --heuristics
    bool repairEnabled = false;                      // --enable-repair
    host::CommitSettings commit;                     // --quarantine DIR / --no-backup
    uint64_t maxFileSize = 100ull << 20;             // --max-filesize: for files named by path
    uint64_t maxMemory = 0;                          // --max-memory: file contents held; 0: default
    bool alertExceedsMax = false;                    // --alert-exceeds-max
};

// Reads clamd.conf-style `text` ("Key value" a line, '#' starts a comment line) into `config`.
// A key the daemon does not use adds a line to *unsupported ("line N: Key is not supported
// by remedy daemon; ignored"); a value that is not of the key's kind is an error. False with
// *error naming the line.
bool parseConfig(std::string_view text, DaemonConfig* config, std::vector<std::string>* unsupported,
                 std::string* error);

// As parseConfig, from the file at `path`.
bool readConfigFile(const std::string& path, DaemonConfig* config, std::vector<std::string>* unsupported,
                    std::string* error);

// The number of connections served at once: every worker busy and the queue full.
inline uint64_t maxConnections(const DaemonConfig& config) { return uint64_t(config.maxThreads) + config.maxQueue; }

}  // namespace service
