#include "app/reports/progress_line.h"

#include <algorithm>
#include <cstdio>

#include "app/platform/terminal.h"
#include "app/reports/warnings.h"

namespace TrackloomApp::reports {

namespace {

constexpr double kMinSeconds = 60.0;      // shorter inputs are done before a line helps
constexpr double kRefreshSeconds = 0.25;  // between rewrites of the line
constexpr uint64_t kUnknownLength = UINT64_MAX;

void printClock(char* out, size_t size, double seconds) {
    const auto whole = static_cast<long long>(seconds + 0.5);
    std::snprintf(out, size, "%lld:%02lld", whole / 60, whole % 60);
}

}  // namespace

ProgressLine::ProgressLine(uint64_t totalFrames, int32_t sampleRate)
    : shown_(totalFrames != kUnknownLength && sampleRate > 0 &&
             static_cast<double>(totalFrames) > kMinSeconds * sampleRate &&
             platform::StderrIsTerminal() && !Quiet()),
      total_(totalFrames),
      start_(std::chrono::steady_clock::now()),
      last_(start_) {}

void ProgressLine::update(uint64_t doneFrames) {
    if (!shown_ || doneFrames == 0) return;
    const auto now = std::chrono::steady_clock::now();
    if (written_ && std::chrono::duration<double>(now - last_).count() < kRefreshSeconds) return;
    last_ = now;
    const double share =
        std::min(1.0, static_cast<double>(doneFrames) / static_cast<double>(total_));
    const double elapsed = std::chrono::duration<double>(now - start_).count();
    char taken[32], left[32];
    printClock(taken, sizeof taken, elapsed);
    printClock(left, sizeof left, elapsed * (1.0 - share) / share);
    std::fprintf(stderr, "\r  %3d%%  elapsed %s  remaining %s   ", static_cast<int>(share * 100.0),
                 taken, left);
    std::fflush(stderr);
    written_ = true;
}

void ProgressLine::clear() {
    if (!written_) return;
    std::fprintf(stderr, "\r%50s\r", "");
    std::fflush(stderr);
    written_ = false;
}

}  // namespace TrackloomApp::reports
