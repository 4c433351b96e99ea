#include "daemon/logger.h"

#include <cerrno>
#include <cstring>
#include <ctime>

#include "cli/escaped_text.h"

namespace service {

std::string localTimeText() {
    const std::time_t now = std::time(nullptr);
    std::tm local {};
    char text[64] = "";
    if (::localtime_r(&now, &local)) std::strftime(text, sizeof text, "%a %b %e %H:%M:%S %Y", &local);
    return text;
}

Logger::~Logger() {
    if (ownsFile_ && file_) std::fclose(file_);
}

bool Logger::open(const std::string& path, bool logTime, bool toStderr, std::string* error) {
    std::lock_guard lock(mutex_);
    logTime_ = logTime;
    path_ = path;
    if (path.empty()) {
        file_ = toStderr ? stderr : nullptr;
        return true;
    }
    file_ = std::fopen(path.c_str(), "ae");
    if (!file_) {
        *error = "cannot open the log file " + path + ": " + std::strerror(errno);
        return false;
    }
    ownsFile_ = true;
    return true;
}

void Logger::reopen() {
    std::lock_guard lock(mutex_);
    if (!ownsFile_) return;
    if (std::FILE* again = std::freopen(path_.c_str(), "ae", file_)) file_ = again;
    else file_ = nullptr, ownsFile_ = false;
}

void Logger::log(const std::string& message) {
    std::lock_guard lock(mutex_);
    if (!file_) return;
    std::string line;
    if (logTime_) line = localTimeText() + " -> ";
    // Messages carry client paths: escaped, so none can forge a line of the log.
    line += cli::escapedText(message) + "\n";
    std::fputs(line.c_str(), file_);
    std::fflush(file_);
}

}  // namespace service
