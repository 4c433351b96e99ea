#include "cli/progress_line.h"

#include "cli/escaped_text.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>

namespace cli {

namespace {

size_t terminalWidth() {
    winsize size{};
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col >= 20) return size.ws_col;
    return 80;
}

void writeAll(const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(STDERR_FILENO, text.data() + done, text.size() - done);
        if (n <= 0) return;  // a progress line is not worth a retry loop on a broken terminal
        done += size_t(n);
    }
}

}  // namespace

ProgressLine::ProgressLine(bool enabled, size_t totalFiles) : enabled_(enabled), total_(totalFiles) {}

ProgressLine::~ProgressLine() { clear(); }

std::string ProgressLine::format(size_t filesDone, size_t totalFiles, uint64_t bytesDone, double seconds,
                                 const std::string& current, size_t width) {
    const double megabytes = double(bytesDone) / (1024.0 * 1024.0);
    char head[128];
    std::snprintf(head, sizeof head, "Scanned %zu/%zu files, %.1f MB, %.1f MB/s", filesDone, totalFiles, megabytes,
                  seconds > 0 ? megabytes / seconds : 0.0);
    std::string line = head;
    if (!current.empty() && line.size() + 3 < width) {
        // Names may hold control bytes; they must not move the cursor.
        std::string name = escapedText(current);
        const size_t room = width - 1 - line.size() - 2;
        if (name.size() > room) name = "..." + name.substr(name.size() - (room > 3 ? room - 3 : 0));
        if (name.size() <= room) line += ": " + name;
    }
    if (line.size() >= width) line.resize(width - 1);
    return line;
}

void ProgressLine::show(size_t filesDone, uint64_t bytesDone, const std::string& current, bool force) {
    if (!enabled_) return;
    const Clock::time_point now = Clock::now();
    if (!force && drawn_ && now - lastDrawn_ < std::chrono::milliseconds(100)) return;
    lastDrawn_ = now;
    const double seconds = std::chrono::duration<double>(now - start_).count();
    writeAll("\r\033[K" + format(filesDone, total_, bytesDone, seconds, current, terminalWidth()));
    drawn_ = true;
}

void ProgressLine::clear() {
    if (!enabled_ || !drawn_) return;
    writeAll("\r\033[K");
    drawn_ = false;
}

}  // namespace cli
