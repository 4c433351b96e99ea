// The daemon's log: LogFile (or standard error), one line a message, with the time first when
// LogTime is set. Safe to call from every thread.
#pragma once

#include <cstdio>
#include <mutex>
#include <string>

namespace service {

// The local time as "Thu Dec 10 18:02:01 2026": the log's stamps and the VERSION reply's date.
std::string localTimeText();

class Logger {
public:
    Logger() = default;
    ~Logger();
    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

    // Appends to `path` (empty: standard error, or nothing when `toStderr` is false). False with
    // *error when the file cannot be opened.
    bool open(const std::string& path, bool logTime, bool toStderr, std::string* error);
    // Opens the file again (after a log rotation moved it away).
    void reopen();
    void log(const std::string& message);

private:
    std::mutex mutex_;
    std::FILE* file_ = nullptr;
    bool ownsFile_ = false;
    bool logTime_ = false;
    std::string path_;
};

}  // namespace service
