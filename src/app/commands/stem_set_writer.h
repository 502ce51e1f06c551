// The stem files of one split, written and replaced as one set: every stem new or every
// stem as it was. Each goes to a temporary file beside its target, watched from the moment
// it exists so an interruption removes it; only when every one is complete are they renamed
// over their targets together, under the directory's lock, so concurrent runs leave the set
// of one of them. A failure anywhere leaves all the targets untouched.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "app/platform/interrupt_cleanup.h"
#include "app/platform/replacement_file.h"
#include "dsp/io/audio_writer.h"

namespace TrackloomApp::commands {

class StemSetWriter {
  public:
    // `cleanup` watches the temporaries; `closeFiles` closes what the run holds open
    // (needed where the cleanup cannot remove open files).
    StemSetWriter(platform::InterruptCleanup& cleanup, std::function<void()> closeFiles);
    StemSetWriter(const StemSetWriter&) = delete;
    StemSetWriter& operator=(const StemSetWriter&) = delete;
    ~StemSetWriter();

    // Creates the temporaries of `paths`, each to hold `format` at this rate and channel
    // count, `frameCount` frames (or kUnknownLength). False if any could not be created.
    bool open(const std::vector<std::string>& paths, const Trackloom::io::OutputFormat& format,
              int32_t sampleRate, int32_t channels, uint64_t frameCount);

    // Writes `frames` frames of stem `k` (in the order of `paths`). False once anything in
    // the set has failed: the set is then abandoned and nothing more is worth separating.
    bool write(size_t k, const float* stem, size_t frames);
    // Whether every stem is 16-bit WAV, whose writers take bytes encoded elsewhere.
    bool takesEncoded() const { return takesEncoded_; }
    // Room for `frames` frames of stem `k` encoded as EncodeS16 does; null once anything in
    // the set has failed. commitEncoded() then takes them, as write() would their floats.
    unsigned char* reserveEncoded(size_t k, size_t frames);
    bool commitEncoded(size_t k, size_t frames);

    // Completes every file and renames them all over their targets in `outputDir`, waiting
    // for the directory's lock with interruptions live (`waiting` runs if that takes more
    // than a second). False, with every target untouched, if any stem was not complete.
    bool commit(const std::string& outputDir, const std::function<void()>& waiting);

    // Removes the temporaries; the targets are left as they were.
    void abandon();

    // Where the cleanup cannot run in the interruption's place (Windows), the run calls this
    // between blocks: after an interruption it closes everything, removes the temporaries
    // and ends the program.
    void endIfInterrupted();

    // The stems that failed and why, as (path, reason) pairs, after a false open, write or
    // commit. The reason is the user's text.
    const std::vector<std::pair<std::string, std::string>>& failures() const { return failures_; }
    // Samples of stem `k` that were beyond full scale and clipped by an integer depth.
    uint64_t clipped(size_t k) const { return clipped_[k]; }

  private:
    bool failStem(size_t k, const std::string& reason);
    // Stem `k`'s writer has failed: records its reason and abandons the set. Returns false.
    bool abandonFor(size_t k);

    platform::InterruptCleanup& cleanup_;
    std::function<void()> closeFiles_;
    std::vector<std::string> paths_;
    std::vector<std::unique_ptr<platform::ReplacementFile>> files_;
    std::vector<std::unique_ptr<Trackloom::io::AudioWriter>> writers_;
    size_t channels_ = 1;
    std::vector<uint64_t> clipped_;
    bool countClipped_ = false;
    bool takesEncoded_ = false;
    std::vector<unsigned char*> rooms_;  // per stem, the room reserveEncoded() gave last
    bool failed_ = false;
    std::vector<std::pair<std::string, std::string>> failures_;
};

}  // namespace TrackloomApp::commands
