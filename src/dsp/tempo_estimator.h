// Tempo estimation for whole tracks, fed block by block.
//
// Contract
// - Input: interleaved float frames (nominal range -1..1) at `sampleRate` Hz (8 kHz..192 kHz;
//   input at a rate outside dsp::kMinAnalysedRate..kMaxAnalysedRate is not analysed)
//   with `channels` >= 1; channels are averaged. Any block size; the result depends only on
//   the sample sequence, bit for bit, never on how it was split.
// - bpm(): the notated beat rate in beats per minute, rounded to 0.1, within 50..200.
//   120.0 when nothing was fed or the input carries no rhythmic evidence (digital silence).
// - Memory is bounded: the input is reduced on the fly to four onset-strength envelopes at
//   100 frames per second, and only the first kMaxAnalysisSeconds of them are kept (about
//   1 MB); anything later in a longer stream is read but does not change the estimate.
//
// Method, in short: an 8 kHz mono resampled stream is cut into 32 ms Hann frames every
// 10 ms; log-magnitude spectral flux is summed in four frequency bands (kick, low-mid,
// high-mid, cymbals). After the stream, each band's envelope is autocorrelated and the
// beat period is chosen by metrical evidence: periodicity at the beat and its multiples,
// subdivision of the beat, where the low (kick) and snare-band accents fall, and a broad
// prior over tempo. The chosen period is refined to a fraction of a frame with a comb over
// many multiples of it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "dsp/fft.h"
#include "dsp/key_estimator.h"
#include "dsp/windowed_frames.h"

namespace Trackloom {

namespace dsp {

// The onset-strength envelopes the tempo decision works on, one value per analysis frame.
struct OnsetEnvelopes {
    static constexpr int kBands = 4;
    double frameRate = 100.0;         // frames per second
    std::vector<float> band[kBands];  // low to high: <150 Hz, <500 Hz, <1.8 kHz, above
};

// The decision stage on its own: beats per minute (unrounded) from onset envelopes, or 0
// when they hold no periodicity at all.
double EstimateTempoFromEnvelopes(const OnsetEnvelopes& env);

// The same with how sure it is. `confidence` is 0..1: how clearly the chosen beat outscores
// every tempo that is not a metrical relative of it (a half, double, third, ... of it), times
// how strongly the onsets repeat at that beat. Near 0 for noise, speech or a held tone;
// near 1 for a steady drum track. Both 0 when the envelopes hold no periodicity.
struct TempoChoice {
    double bpm = 0.0;
    double confidence = 0.0;
};
TempoChoice ChooseTempoFromEnvelopes(const OnsetEnvelopes& env);

// Checks a tempo against the length of the harmony's loop, which spans whole bars: 12, 16,
// 24, 32, 36 or 48 beats. Onsets alone cannot tell a half-time groove from a slow backbeat,
// nor a three-against-two clave from a slower beat; the harmony can. A loop of 8 beats means
// the reading is half the notated beat, and one of 2/3 of a whole number of bars (21.3
// beats) means it is two thirds of it (this only for a loop that repeats closely); the
// corrected tempo is returned. Any other reading, a loop that repeats too loosely to go by,
// or a correction beyond the tempo range leaves `bpm` as it is.
double FitTempoToHarmony(double bpm, const LoopStart& harmony);

}  // namespace dsp

class TempoEstimator {
  public:
    static constexpr int32_t kAnalysisRate = 8000;  // Hz
    static constexpr size_t kFrameSize = 256;       // samples at kAnalysisRate: 32 ms
    static constexpr size_t kHop = 80;              // samples: 100 frames per second
    static constexpr double kMaxAnalysisSeconds = 600.0;
    // The tempo given when the input carries no rhythmic evidence.
    static constexpr double kNoEvidenceBpm = 120.0;

    TempoEstimator(int32_t sampleRate, int32_t channels);
    void feed(const float* interleaved, size_t frames);
    // The tempo; with the harmony's loop of the same stream (from a KeyEstimator fed alike),
    // checked against it.
    double bpm(const dsp::LoopStart* harmony = nullptr) const;
    // The same, but 0 instead of the default tempo when the input carries no rhythmic
    // evidence.
    double measuredBpm(const dsp::LoopStart* harmony = nullptr) const;
    // The same with its confidence (see ChooseTempoFromEnvelopes); {0, 0} without evidence.
    dsp::TempoChoice measuredTempo(const dsp::LoopStart* harmony = nullptr) const;
    void reset();

    // The envelopes gathered so far (for inspection and tests).
    const dsp::OnsetEnvelopes& envelopes() const { return env_; }

  private:
    void analyseFrame(const double* frame);

    dsp::WindowedFrames frames_;
    dsp::RealFft fft_;
    std::vector<std::complex<double>> spectrum_;
    std::vector<double> previousLog_;
    std::vector<int> bandOfBin_;
    size_t firstBin_ = 0;  // bins outside firstBin_..lastBin_ belong to no band
    size_t lastBin_ = 0;
    size_t maxFrames_;
    dsp::OnsetEnvelopes env_;
};

}  // namespace Trackloom
