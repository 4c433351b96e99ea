// The progress line on stderr while a scan runs: files done of all, bytes, rate and the file
// being waited for, redrawn in place. Only drawn when stderr is a terminal, so redirected
// output and logs never hold it.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace cli {

class ProgressLine {
public:
    ProgressLine(bool enabled, size_t totalFiles);
    ~ProgressLine();
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

    // Redraws the line; at most ten times a second unless `force`.
    void show(size_t filesDone, uint64_t bytesDone, const std::string& current, bool force = false);
    // Erases the line, so that a result line can be printed in its place.
    void clear();

    // The line's text, cut to `width` columns (the current file's name loses its start).
    static std::string format(size_t filesDone, size_t totalFiles, uint64_t bytesDone, double seconds,
                              const std::string& current, size_t width);

private:
    using Clock = std::chrono::steady_clock;
    bool enabled_;
    bool drawn_ = false;
    size_t total_;
    Clock::time_point start_ = Clock::now();
    Clock::time_point lastDrawn_{};
};

}  // namespace cli
