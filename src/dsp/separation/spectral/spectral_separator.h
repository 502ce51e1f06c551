// Four-way stem separator working on the short-time spectrum.
//
// Each frame of the input is transformed and every bin is described by cues that say how it
// stands against its neighbours: its medians across time (a long one and a short one) and
// across frequency, the frames just before and after it, the bins beside it and an octave and a
// twelfth away, how much the partials above it move, and how alike the two channels are
// there. The cues are ratios of magnitudes, never levels, so the result does not depend on the
// input's level. A small network trained on synthetic multitracks (mask_network.h) turns each
// bin's cues into four masks that add up to one; the network runs on every bin up to 4 kHz and
// on fewer above, where the masks between its bins are drawn straight across. For stereo, a
// Wiener filter over the masks then uses where each stem sits between the channels. The drums,
// bass and vocals are taken back to the time domain with a window pair that reconstructs the
// input exactly, and `other` is the input less those three, so the four stems add up to the
// input up to the rounding of three float subtractions. Bins below 25 Hz stay in `other`.
//
// An instrumental passage should leave the vocal stem silent, but a lead instrument can
// borrow a little of the voice's mask here and there. So the vocal stem passes a gate that
// weighs, over about a second around each moment, how much of the voice band (150 Hz to 8
// kHz) the vocal masks claim surely (over one half, counted at the mask's share of the
// energy): under a fortieth (16 dB under) the vocal stem goes to `other` there, from 8 dB
// under it is kept whole, with a straight rise in decibels between. A voice claims its own
// partials outright, even under a loud kit and bass; what an instrument lends it is spread
// thin. `other` takes what the gate holds back, so the stems still add up.
//
// Channels: the masks are worked out once per frame for all channels together. Their
// magnitudes are the power of every channel together; the channel cues compare the first
// two channels (front left and right in every WAV layout). Mono input has no channel cues
// (the network was trained on mono downmixes as well, and is told which it has); more
// than two channels get the masks alone, applied to each channel, without the stereo
// filter.
//
// Streams: the stems lag the input by latency() frames (the frame length plus the reach of
// the long median and of the gate, under a second), and memory is fixed at construction.
// Any split of the input into blocks gives the same stems. Samples that are not numbers
// (NaN, infinity) are taken as zero, so they cannot spread through a frame.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "dsp/core/real_fft.h"
#include "dsp/separation/spectral/mask_network.h"

namespace Trackloom::separation::spectral {

class SpectralSeparator {
  public:
    // The cues the mask network reads, in this order: a row each, one value per column.
    enum Cue : size_t {
        kStereoCue,            // 1 for two or more channels, 0 for mono
        kSteadyCue,            // the long median across time against the one across frequency
        kTonalCue,             // the short median across time against the one across frequency
        kSteadyLowCue,         // as kSteadyCue, against the narrower low-band median as well
        kAboveLongCue,         // the bin against its long median across time
        kAboveShortCue,        // ... its short one
        kAboveAcrossCue,       // ... its median across frequency
        kRiseCue,              // the bin against the frame before
        kFallCue,              // ... the frame after
        kLongRiseCue,          // ... three frames before
        kLongFallCue,          // ... three frames after
        kSlowRiseCue,          // ... six frames before
        kSlowFallCue,          // ... six frames after
        kPeakCue,              // the bin against the louder of its neighbours in frequency
        kCentreCue,            // how nearly the two channels agree (1 for mono)
        kBalanceCue,           // the left channel's share of the power (0.5 for mono)
        kFrequencyCue,         // the bin's frequency on a log scale, 25 Hz to 20 kHz as 0 to 1
        kBassBandCue,          // the bass crossover's low-pass
        kVoiceBandCue,         // the voice band's band-pass
        kOctaveUpCue,          // kAboveAcrossCue an octave up: a note's second partial
        kOctaveDownCue,        // kAboveAcrossCue an octave down: a fundamental under this partial
        kCoherenceCue,         // how alike the two channels are over the bin and its neighbours
                               // in frequency (1 for one source anywhere between them, less
                               // for reverberation; 1 for mono)
        kLastingCoherenceCue,  // the same over the two frames after as well
        kTwelfthUpCue,         // kAboveAcrossCue at three times the frequency: a third partial
        kTwelfthDownCue,       // kAboveAcrossCue at a third of it: a fundamental under a third one
        kWideBelowCue,         // the bin against the bin two below
        kWideAboveCue,         // ... two above
        kCombMotionCue,        // how much the peaks at the bin's 2nd to 6th multiples change
                               // from the frame before, weighed by how far each stands out
                               // (0 for none): a fundamental that holds nearly still under a
                               // wavering voice's partials
        kBassRootCue,          // how strongly a steady peak under the bass crossover stands at
                               // a 2nd to 6th of the bin's frequency (the strongest of them):
                               // a bass note's upper partials, which lie above the crossover
        kCueCount
    };
    // Cues of the whole frame, shared by its bins, read after the bins' own.
    enum FrameCue : size_t {
        kFrameRiseCue,     // kRiseCue averaged over the frame, weighed by magnitude
        kFrameFallCue,     // kFallCue likewise
        kFrameLowCue,      // the share of the frame's power below the bass crossover
        kFrameLowRiseCue,  // kRiseCue averaged below the bass crossover, weighed by magnitude
        kFrameLowFallCue,  // kFallCue likewise
        kFrameCueCount
    };
    // Every cue is a ratio of the input's magnitudes (or a fixed function of frequency), so
    // the masks do not depend on the input's level.

    // The band context: the spectrum from 40 Hz to 16 kHz in kContextBands bands a fifth of
    // an octave wide or so (the lowest takes the bins below it down to 25 Hz, the highest
    // those above it). Each band of the frame whose masks are due is described by a patch
    // of kContextTimes frames spread over the long median's reach each way (centred on the
    // frame), and the bands kContextReach either side of it:
    //   rows 0 .. kContextPatch - 1: each band's power in each of those frames, as
    //     ln(power / mean + 1e-6) / ln(1e6) (from -1 for nothing there to about 0.4), the
    //     mean over every band of the patch's frames; by band (nearest first below), then
    //     by frame (earliest first); -1 for bands beyond either end;
    //   rows kContextPatch .. 2 kContextPatch - 1: the share of the band's power in the
    //     difference of the first two channels, likewise (0 for mono or nothing there);
    //   then the band's place (0 for the lowest to 1 for the highest) and kStereoCue.
    static constexpr size_t kContextBands = 32;
    static constexpr size_t kContextReach = 2;
    static constexpr size_t kContextTimes = 9;
    static constexpr size_t kContextPatch = (2 * kContextReach + 1) * kContextTimes;
    static constexpr size_t kContextInputs = 2 * kContextPatch + 2;
    static_assert(kContextBands <= kMaxContextBands, "the bands fit one tile");

    // Called with the cues of each frame (kCueCount rows of `stride`, one column for each
    // of columns(), then kFrameCueCount values, then the band context: kContextInputs rows
    // of kMaskTile, one column per band) before its masks are worked out, in the order of
    // the frames: for training the network.
    using CueTap = void (*)(void* context, uint64_t frame, const float* cues, size_t stride,
                            const float* frameCues, const float* bandContext);
    // The bins the network runs on; the others' masks lie between theirs.
    const std::vector<uint32_t>& columns() const { return columns_; }
    // The band of the band context each of them belongs to.
    const std::vector<uint32_t>& columnBands() const { return columnBand_; }

    SpectralSeparator(int32_t sampleRate, int32_t channels,
                      const MaskNetwork& network = TrainedMaskNetwork());

    // Set before the first frame: the band context's powers are kept only while something
    // reads them.
    void setCueTap(CueTap tap, void* context) {
        tap_ = tap;
        tapContext_ = context;
    }

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
    void analyze(size_t slot);
    // The cues of the frame whose masks are due (its spectrum in `slot`), into cues_ and
    // frameCues_; then its masks, into masks_.
    void computeCues(size_t slot);
    void computeBandContext();
    // Weights without a band context do not read it; the tap always does.
    bool readsContext() const { return network_.contextLayers > 0 || tap_ != nullptr; }
    void computeMasks(size_t slot);
    // The low band's median across frequency around bin k of `mag`.
    float lowAcrossMedian(const float* mag, size_t k) const;
    // kCombMotionCue of bin k, from motion_ and standOut_ of the frame whose spectrum is `mag`.
    float combMotion(const float* mag, size_t k) const;
    // kBassRootCue of bin k, from the frame's spectrum `mag`, standOut_ and the kSteadyLowCue
    // row of the columns below k.
    float bassRoot(const float* mag, size_t k, const float* steadyLow) const;
    void channelCoherence(size_t k, const size_t* slots, float& first, float& all) const;
    void spatialFilter(size_t slot);
    void synthesize(size_t slot);
    // Another hop of vocals, drums and bass is complete and waits in gatedStems_: gate the
    // vocals of the hop gateReach_ before it and make that hop ready.
    void gateVocals();
    size_t emit(const std::array<float*, 4>& out, size_t upTo);

    const MaskNetwork& network_;
    CueTap tap_ = nullptr;
    void* tapContext_ = nullptr;

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
    size_t gateReach_;      // hops the vocal gate's window reaches each way
    size_t delayLength_;    // the input kept for `other`, in frames

    core::RealFftFloat fft_;
    std::vector<float> analysisWindow_;     // periodic Hann
    std::vector<float> synthesisWindow_;    // Hann scaled so overlapping frames add to one
    std::vector<float> bassShare_;          // per bin: how much of the harmonic part is bass
    std::vector<float> voiceBand_;          // per bin: how much of the rest may be voice
    std::vector<float> frequencyPosition_;  // per bin: kFrequencyCue

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
    // Per column: the magnitudes of the last 2 * lookAhead_ + 1 frames, sorted; and those
    // of the 2 * shortReach_ + 1 frames around the frame whose masks are due next, sorted.
    std::vector<float> sortedAcrossTime_;
    std::vector<float> sortedShort_;
    // The bins the network runs on (its columns); per bin, the column at or below it and
    // how far it lies towards the next; per column, the bins it stands for.
    std::vector<uint32_t> columns_, leftColumn_;
    std::vector<float> towardsRight_, columnSpan_;
    size_t columnStride_ = 0;  // columns rounded up to the network's tile
    // The current frame: per bin, the median across frequency and the bin against it; per
    // column, the cues and the network's masks; per bin, the masks (vocals, drums, bass,
    // other), each a row.
    std::vector<float> acrossFrequency_, aboveAcross_;
    // Per bin of the current frame: how much it changed from the frame before (0 to 1), and
    // how far it stands out of its median across frequency (0 at or under it, towards 1).
    std::vector<float> motion_, standOut_;
    // The band context: per bin its band (kContextBands for bins left out), per column its
    // band; per slot of magnitude_, the power of each band and the share of it in the
    // channels' difference; the frames of the patch, as offsets from the frame due; the
    // due frame's context inputs (kContextInputs rows of kMaskTile).
    std::vector<uint32_t> binBand_, columnBand_;
    std::vector<float> bandPower_, bandSide_;
    std::vector<int64_t> contextOffsets_;
    std::vector<float> contextInputs_;
    std::vector<float> cues_, columnMasks_, masks_;
    float frameCues_[kFrameCueCount] = {};
    // Per channel and stem (vocals, drums, bass): output being overlapped and added.
    std::vector<float> overlap_;
    // Stereo: per stem and bin, the running covariance of its estimates (|L|^2, |R|^2,
    // L conj R as real and imaginary part, and its power); the filtered spectra of the frame
    // (per stem: left real, left imaginary, right real, right imaginary, bins_ each); and
    // the share of the running covariance a hop keeps.
    std::vector<float> covariance_;
    std::vector<float> filtered_;
    float keep_;
    // The gate: the voice band's bins; per hop, the energy the vocal masks claim surely in
    // that band and the band's energy (2 * gateReach_ hops, a ring); the vocals' gain at the
    // start of the hop due next; the vocals, drums and bass awaiting the gate (gateReach_ + 1
    // hops, interleaved, a ring).
    size_t gateLowBin_ = 0, gateHighBin_ = 0;
    std::vector<double> sureVocalEnergy_, voiceEnergy_;
    float gateGain_ = 1.0f;
    std::vector<float> gatedStems_;
    uint64_t gated_ = 0;  // hops completed before the gate
    // Completed stems not yet written, interleaved: 4 stems of 2 * hop_ frames, a ring.
    std::vector<float> readyStems_;
    // Work arrays for one frame.
    std::vector<float> frame_, workRe_, workIm_, padded_, window_;
};

}  // namespace Trackloom::separation::spectral
