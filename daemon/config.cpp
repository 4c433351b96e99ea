#include "daemon/config.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>

#include "cli/command_setup.h"

namespace service {

namespace {

// The largest configuration file read: far more than every key with a long path.
constexpr size_t kMaxConfigBytes = 1 << 20;

bool parseBool(const std::string& value, bool* out) {
    if (value == "yes" || value == "true" || value == "1") *out = true;
    else if (value == "no" || value == "false" || value == "0") *out = false;
    else return false;
    return true;
}

bool parseUnsigned(const std::string& value, uint32_t min, uint32_t max, uint32_t* out) {
    uint32_t n = 0;
    if (value.empty() || !std::isdigit(static_cast<unsigned char>(value[0])) || !cli::parseNumber(value.c_str(), &n) ||
        n < min || n > max)
        return false;
    *out = n;
    return true;
}

bool parseMode(const std::string& value, uint32_t* out) {
    if (value.empty() || value.size() > 4) return false;
    uint32_t mode = 0;
    for (char c : value) {
        if (c < '0' || c > '7') return false;
        mode = mode * 8 + uint32_t(c - '0');
    }
    *out = mode;
    return true;
}

// One key: how its value is read into the configuration; false when the value is not of its kind.
struct Key {
    const char* name;
    const char* kind;  // for the error message
    std::function<bool(const std::string&, DaemonConfig&)> set;
};

const std::vector<Key>& keys() {
    static const std::vector<Key> table = {
        {"LocalSocket", "an absolute path", [](const std::string& v, DaemonConfig& c) {
             c.localSocket = v;
             return !v.empty() && v[0] == '/';
         }},
        {"LocalSocketMode", "an octal mode such as 660", [](const std::string& v, DaemonConfig& c) {
             uint32_t mode = 0;
             if (!parseMode(v, &mode)) return false;
             c.localSocketMode = mode;
             return true;
         }},
        {"LocalSocketGroup", "a group", [](const std::string& v, DaemonConfig& c) {
             c.localSocketGroup = v;
             return !v.empty();
         }},
        {"TCPSocket", "a port number", [](const std::string& v, DaemonConfig& c) {
             uint32_t port = 0;
             if (!parseUnsigned(v, 0, 65535, &port)) return false;
             c.tcpSocket = uint16_t(port);
             return true;
         }},
        {"TCPAddr", "an address", [](const std::string& v, DaemonConfig& c) {
             c.tcpAddr = v;
             return !v.empty();
         }},
        {"MaxThreads", "a number from 1 to 256",
         [](const std::string& v, DaemonConfig& c) { return parseUnsigned(v, 1, 256, &c.maxThreads); }},
        {"MaxQueue", "a number from 1 to 65536",
         [](const std::string& v, DaemonConfig& c) { return parseUnsigned(v, 1, 65536, &c.maxQueue); }},
        {"MaxConnectionQueueLength", "a number from 1 to 65536",
         [](const std::string& v, DaemonConfig& c) { return parseUnsigned(v, 1, 65536, &c.maxConnectionQueueLength); }},
        {"StreamMaxLength", "a size such as 25M",
         [](const std::string& v, DaemonConfig& c) { return cli::parseSize(v, &c.streamMaxLength); }},
        {"ReadTimeout", "a number of seconds from 1 to 86400",
         [](const std::string& v, DaemonConfig& c) { return parseUnsigned(v, 1, 86400, &c.readTimeout); }},
        {"CommandReadTimeout", "a number of seconds from 1 to 86400",
         [](const std::string& v, DaemonConfig& c) { return parseUnsigned(v, 1, 86400, &c.commandReadTimeout); }},
        {"IdleTimeout", "a number of seconds from 1 to 86400",
         [](const std::string& v, DaemonConfig& c) { return parseUnsigned(v, 1, 86400, &c.idleTimeout); }},
        {"LogFile", "an absolute path", [](const std::string& v, DaemonConfig& c) {
             c.logFile = v;
             return !v.empty() && v[0] == '/';
         }},
        {"LogTime", "yes or no", [](const std::string& v, DaemonConfig& c) { return parseBool(v, &c.logTime); }},
        {"PidFile", "an absolute path", [](const std::string& v, DaemonConfig& c) {
             c.pidFile = v;
             return !v.empty() && v[0] == '/';
         }},
        {"Foreground", "yes or no", [](const std::string& v, DaemonConfig& c) { return parseBool(v, &c.foreground); }},
    };
    return table;
}

std::string trimmed(std::string_view text) {
    size_t begin = 0, end = text.size();
    while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) ++begin;
    while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
    return std::string(text.substr(begin, end - begin));
}

}  // namespace

bool parseConfig(std::string_view text, DaemonConfig* config, std::vector<std::string>* unsupported,
                 std::string* error) {
    size_t lineNumber = 0;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        const std::string line = trimmed(text.substr(0, end));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        ++lineNumber;
        const std::string where = "line " + std::to_string(lineNumber) + ": ";
        if (line.empty() || line[0] == '#') continue;
        const size_t blank = line.find_first_of(" \t");
        const std::string name = line.substr(0, blank);
        const std::string value = blank == std::string::npos ? std::string() : trimmed(line.substr(blank));
        // Values are single words, as clamdscan reads them; quotes around them are allowed.
        std::string unquoted = value;
        if (unquoted.size() >= 2 && unquoted.front() == '"' && unquoted.back() == '"')
            unquoted = unquoted.substr(1, unquoted.size() - 2);
        bool known = false;
        for (const Key& key : keys()) {
            if (name != key.name) continue;
            known = true;
            if (!key.set(unquoted, *config)) {
                *error = where + name + " needs " + key.kind;
                return false;
            }
        }
        if (!known) unsupported->push_back(where + name + " is not supported by remedy daemon; ignored");
    }
    return true;
}

bool readConfigFile(const std::string& path, DaemonConfig* config, std::vector<std::string>* unsupported,
                    std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = "cannot read the configuration file " + path + ": " + std::strerror(errno);
        return false;
    }
    std::string text(kMaxConfigBytes + 1, '\0');
    in.read(text.data(), std::streamsize(text.size()));
    text.resize(size_t(in.gcount()));
    if (text.size() > kMaxConfigBytes) {
        *error = "the configuration file " + path + " is larger than 1 MiB";
        return false;
    }
    if (!parseConfig(text, config, unsupported, error)) {
        *error = path + ": " + *error;
        return false;
    }
    return true;
}

}  // namespace service
