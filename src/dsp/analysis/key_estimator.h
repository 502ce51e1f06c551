// Key estimation for whole tracks, fed block by block.
//
// Contract
// - Input: interleaved float frames (nominal range -1..1) at `sampleRate` Hz, analyzed
//   from kMinAnalyzedRate to kMaxAnalyzedRate (4 kHz to 768 kHz; input at any other
//   rate is heard as silence), with `channels` >= 1; channels are averaged. Any block size;
//   the result depends only on the sample sequence, bit for bit, never on how it was split.
// - key(): "<tonic> <Major|Minor> (Relative: <tonic> <Major|Minor>)", tonics spelled
//   C C# D Eb E F F# G Ab A Bb B; "F# Minor (Relative: A Major)" when nothing was fed or the
//   input carries no tonal evidence (digital silence, or no pitched sound at all).
// - Memory is bounded: the stream is reduced to 12-bin pitch-class sums as it arrives, so a
//   stream of any length is analyzed whole; the per-frame pitch classes that locate the
//   harmony's loop are kept for the first kMaxKeptFrames frames (about ten minutes).
//
// Method, in short: a 4 kHz mono resampled stream is cut into 1.02 s Hann frames every
// 0.256 s. Spectral peaks are located to a fraction of a bin, reduced by what the third or
// fifth partial of a lower peak would put there, and their magnitudes shared between the
// two nearest semitones. Each frame's bass note (its lowest prominent peak that stands
// alone as a narrow line, not one line of a drum's comb) goes to one pitch-class sum, every
// peak above it to another; lines below it are dropped. Each of the 24 keys is scored by
// correlating the second with diatonic major/minor key profiles and the bass sum with a
// profile of the roots bass lines dwell on in that mode. Between the best key and its
// relative, which share a scale, the harmony's loop decides: its length is the lag at
// which the frames repeat best (set to the nearest whole number of bars when the tempo is
// known; see harmonic_loop.h), and the key whose tonic the bass dwells on more at the loop's
// openings (whole turns counted from the first audible sample) is taken; there the bass's
// steps to the fifth above a root count for the root, as one chord sounds. Between that key
// and its neighbours a fifth away, which differ in one note each, the share of the harmony
// sum on each key's scale weighs in too, then a cadence (a chord root reached by a fall of a
// fifth and held into the next quarter of the loop), and the openings with a smaller say.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "dsp/analysis/harmonic_loop.h"
#include "dsp/analysis/windowed_frames.h"
#include "dsp/core/fft.h"

namespace Trackloom::analysis {

// Pitch-class evidence gathered from a stream; index 0 is C, 9 is A.
struct ChromaSums {
    std::array<double, 12> treble{};  // peaks above each frame's bass note, whole stream
    std::array<double, 12> bass{};    // the lowest prominent isolated peak of each frame
};

// The key from pitch-class evidence and the harmony's loop of the same stream (a loop that
// repeats too loosely, or none, leaves the choice to the sums). `key` is the key index:
// tonic 0..11 (C..B) plus 12 for minor. `confidence` 0..1 is how tonal the sound is at all
// (the harmony's share on the key's scale and its fit to the key's profile: low for noise,
// speech and drums, whatever key they are given) times how clearly the chosen key's weighed
// evidence (profile fit, the loop's openings, the scale's distinguishing note, a cadence)
// leads that of the best other key. key -1 and confidence 0 without evidence.
struct KeyChoice {
    int key = -1;
    double confidence = 0.0;
};
KeyChoice ChooseKeyFromChroma(const ChromaSums& chroma, const HarmonicLoop& loop);

// The text form of a key index: "A Minor (Relative: C Major)"; the default key for -1.
std::string KeyName(int keyIndex);

class KeyEstimator {
  public:
    static constexpr int32_t kAnalysisRate = 4000;  // Hz
    static constexpr size_t kFrameSize = 4096;      // samples at kAnalysisRate
    static constexpr size_t kHop = 1024;            // samples
    // Frames kept one by one for the loop analysis (about ten minutes, 230 kB); the sums
    // cover the whole stream.
    static constexpr size_t kMaxKeptFrames = 2400;
    // An input sample this far from zero (about -36 dBFS) counts as the music's start.
    static constexpr float kSoundLevel = 1.0f / 64.0f;

    KeyEstimator(int32_t sampleRate, int32_t channels);
    void feed(const float* interleaved, size_t frames);
    // The key, with the harmony's loop as found in this stream's frames; the tempo, which
    // knows the loop's exact length, is not consulted (see EstimateTempoAndKey).
    std::string key() const;
    // The key index and its confidence (see ChooseKeyFromChroma), given the harmony's loop of
    // this stream; {-1, 0} without evidence.
    KeyChoice choice(const HarmonicLoop& loop) const;
    void reset();

    const ChromaSums& chroma() const { return chroma_; }
    // The frames the harmony's loop is found in (FindHarmonicLoop).
    const ChromaFrames& chromaFrames() const { return kept_; }

  private:
    void analyzeFrame(const double* frame);
    void keepFrame(const std::array<double, 12>& bass, const std::array<double, 12>& treble);

    WindowedFrames frames_;
    core::RealFft fft_;
    std::vector<std::complex<double>> spectrum_;
    std::vector<double> logMagnitude_;
    struct Peak {
        double pitch;      // fractional MIDI note number
        double magnitude;  // of the bin it tops, 1 for a full-scale sine
        size_t bin;        // the spectrum bin it tops
    };
    std::vector<Peak> peaks_;
    ChromaSums chroma_;
    ChromaFrames kept_;
    int32_t sampleRate_;
    size_t channels_;
    uint64_t framesSeen_ = 0;  // input frames taken, for locating the music's start
};

}  // namespace Trackloom::analysis
