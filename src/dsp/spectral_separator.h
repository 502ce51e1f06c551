// Four-way stem separator working on the short-time spectrum.
//
// Each frame of the input is transformed and every bin is given masks for the drums, the
// bass and the vocals, from the spectrum's shape only, never from its level. Medians across
// frequency and across time (a long one and a short one) tell what is percussive from what
// holds still; below a 200 Hz crossover what holds still is the bass and the rest the kick;
// above it, what is tonal and shared equally by the two channels (panned dead centre) in
// the voice band is the vocals. For stereo, a Wiener filter over the masks then uses where
// each stem sits between the channels. The drums, bass and vocals are taken back to the
// time domain with a window pair that reconstructs the input exactly, and `other` is the
// input less those three, so the four stems add up to the input up to the rounding of
// three float subtractions.
//
// Channels: the masks are worked out once per frame for all channels together. Their level
// cue is the power of every channel together; their centre cue compares the first two
// channels (front left and right in every WAV layout). Mono input has no centre cue, so its
// vocals are all of its tonal voice band; more than two channels get the masks alone,
// applied to each channel, without the stereo filter.
//
// Streams: the stems lag the input by latency() frames (the frame length plus the reach of
// the long median, under half a second), and memory is fixed at construction. Any split
// of the input into blocks gives the same stems. Samples that are not numbers (NaN,
// infinity) are taken as zero, so they cannot spread through a frame.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "dsp/real_fft.h"

namespace Trackloom {

class SpectralSeparator {
  public:
    SpectralSeparator(int32_t sampleRate, int32_t channels);

    // Frames the stems lag the input by.
    size_t latency() const { return latency_; }
    // Samples per transform (a power of two near 93 ms at this rate) and per hop.
    size_t frameLength() const { return n_; }
    size_t hop() const { return hop_; }

    // Takes `frames` interleaved frames and writes the stems of the frames that are due,
    // interleaved, to out (vocals, drums, bass, other): as many frames as the total taken
    // exceeds latency(), never more than `frames`. Returns the frames written.
    size_t process(const float* in, size_t frames, const std::array<float*, 4>& out);

    // Writes the stems of every frame taken and not yet written (at most latency() frames),
    // as if the input ended here. Returns the frames written. Call reset() before taking
    // more input.
    size_t finish(const std::array<float*, 4>& out);

    // Forgets all input, as if newly constructed.
    void reset();

  private:
    // A hop of input is in: transform it and, once the medians' look-ahead allows, complete
    // the stems of an earlier frame.
    void takeFrame();
    void analyse(size_t slot);
    void computeMasks(size_t slot);
    // The low band's median across frequency around bin k of `mag`.
    float lowAcrossMedian(const float* mag, size_t k) const;
    void spatialFilter(size_t slot);
    void synthesise(size_t slot);
    size_t emit(const std::array<float*, 4>& out, size_t upTo);

    // Settings derived from the rate at construction.
    size_t channels_;
    size_t n_;              // transform length, in samples
    size_t hop_;            // in samples: n_ / 4
    size_t bins_;           // n_ / 2 + 1
    size_t lookAhead_;      // frames the long median across time reaches ahead (and back)
    size_t shortReach_;     // frames the short one reaches, fewer than lookAhead_
    size_t acrossBins_;     // length of the median across frequency, in bins (odd)
    size_t lowAcrossBins_;  // length of the low band's median across frequency, in bins (odd)
    size_t subsonicBins_;   // bins below kSubsonicHz, left to `other`
    size_t latency_;        // in frames (samples per channel)
    size_t delayLength_;    // the input kept for `other`, in frames

    dsp::RealFftFloat fft_;
    std::vector<float> analysisWindow_;   // periodic Hann
    std::vector<float> synthesisWindow_;  // Hann scaled so overlapping frames add to one
    std::vector<float> bassShare_;        // per bin: how much of the harmonic part is bass
    std::vector<float> voiceBand_;        // per bin: how much of the rest may be voice

    // Stream position, in frames.
    uint64_t taken_ = 0;       // frames of input taken
    uint64_t framesDone_ = 0;  // transforms taken
    uint64_t written_ = 0;     // frames of stems written
    uint64_t ready_ = 0;       // frames of stems completed (in ready_ below)
    size_t fill_ = 0;          // input frames since the last transform

    // Per channel: the last n_ input samples, and the input kept until its stems are due.
    std::vector<float> recent_;  // channels_ rows of n_
    std::vector<float> delay_;   // interleaved, delayLength_ frames, a ring
    // Per channel and slot: the spectrum of a frame awaiting its masks (lookAhead_ + 1 slots).
    std::vector<float> specRe_, specIm_;
    // Per slot: the magnitude of all channels together (2 * lookAhead_ + 1 slots).
    std::vector<float> magnitude_;
    // Per bin: the magnitudes of the last 2 * lookAhead_ + 1 frames, sorted; and those of
    // the 2 * shortReach_ + 1 frames around the frame whose masks are due next, sorted.
    std::vector<float> sortedAcrossTime_;
    std::vector<float> sortedShort_;
    // The current frame's masks (vocals, drums, bass), per bin.
    std::vector<float> maskVocals_, maskDrums_, maskBass_;
    // Per channel and stem (vocals, drums, bass): output being overlapped and added.
    std::vector<float> overlap_;
    // Stereo: per stem and bin, the running covariance of its estimates (|L|^2, |R|^2,
    // L conj R as real and imaginary part, and its power); the filtered spectra of the frame
    // (per stem: left real, left imaginary, right real, right imaginary, bins_ each); and
    // the share of the running covariance a hop keeps.
    std::vector<float> covariance_;
    std::vector<float> filtered_;
    float keep_;
    // Completed stems not yet written, interleaved: 4 stems of 2 * hop_ frames, a ring.
    std::vector<float> readyStems_;
    // Work arrays for one frame.
    std::vector<float> frame_, workRe_, workIm_, padded_, window_;
};

}  // namespace Trackloom
