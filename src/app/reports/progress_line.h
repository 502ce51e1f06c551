// How far a long job has come, as one line on standard error rewritten in place: the share
// done, the time taken and the time left. Shown only when standard error is a terminal and
// the input runs longer than a minute, and the run is not --quiet; otherwise nothing is
// written at all.
#pragma once

#include <chrono>
#include <cstdint>

namespace TrackloomApp::reports {

class ProgressLine {
  public:
    // `totalFrames` of input at `sampleRate` Hz; an unknown length shows nothing.
    ProgressLine(uint64_t totalFrames, int32_t sampleRate);
    // Takes the frames done so far; rewrites the line at most a few times a second.
    void update(uint64_t doneFrames);
    // Removes the line, if one was written.
    void clear();

  private:
    bool shown_;
    bool written_ = false;
    uint64_t total_;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point last_;
};

}  // namespace TrackloomApp::reports
