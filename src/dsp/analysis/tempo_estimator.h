// Tempo estimation for whole tracks, fed block by block.
//
// Contract
// - Input: interleaved float frames (nominal range -1..1) at `sampleRate` Hz, analyzed
//   from kMinAnalyzedRate to kMaxAnalyzedRate (4 kHz to 768 kHz; input at any other
//   rate is heard as silence), with `channels` >= 1; channels are averaged. Any block size;
//   the result depends only on the sample sequence, bit for bit, never on how it was split.
// - bpm(): the beat rate the onsets give, in beats per minute, rounded to 0.1, within
//   kMinBpm..kMaxBpm. 120.0 when nothing was fed or the input carries no rhythmic evidence
//   (digital silence). Where the onsets misread the notated beat (a half-time groove, a
//   clave), the harmony's loop corrects them: see EstimateTempoAndKey.
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

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "dsp/analysis/windowed_frames.h"
#include "dsp/core/fft.h"

namespace Trackloom::analysis {

// The onset-strength envelopes the tempo decision works on, one value per analysis frame.
struct OnsetEnvelopes {
    static constexpr int kBands = 4;
    double frameRate = 100.0;         // frames per second
    std::vector<float> band[kBands];  // low to high: <150 Hz, <500 Hz, <1.8 kHz, above
};

// The decision stage on its own: the beat from onset envelopes, with how sure it is. `bpm`
// is unrounded. `confidence` is 0..1: how clearly the chosen beat outscores every tempo that
// is not a metrical relative of it (a half, double, third, ... of it), times how strongly
// the onsets repeat at that beat. Near 0 for noise, speech or a held tone; near 1 for a
// steady drum track. Both 0 when the envelopes hold no periodicity.
struct TempoChoice {
    double bpm = 0.0;
    double confidence = 0.0;
};
TempoChoice ChooseTempoFromEnvelopes(const OnsetEnvelopes& env);

// Tempi are given to 0.1 BPM.
inline double RoundBpm(double bpm) {
    return std::round(bpm * 10.0) / 10.0;
}

// How steadily the onsets repeat at a beat of `bpm`, or at two, three or four beats (a bar):
// the best mean autocorrelation of the envelopes (summed, each band at unit deviation) at
// the first kSteadinessBeats multiples of that period, in -1..1. Music with a beat scores
// well above kSteadyBeat; noise, a held tone or speech, whose onsets do not recur at one
// period, near 0. 0 for envelopes with no variation.
double BeatSteadiness(const OnsetEnvelopes& env, double bpm);
constexpr int kSteadinessBeats = 16;
// Below this, no steady beat was heard and the tempo is no more than a guess. Generated
// songs of every style tried (120 of them) score 0.27 or more; noise, held and swept tones,
// speech-like babble and randomly timed clicks 0.05 at most.
constexpr double kSteadyBeat = 0.15;

class TempoEstimator {
  public:
    static constexpr int32_t kAnalysisRate = 8000;  // Hz
    static constexpr size_t kFrameSize = 256;       // samples at kAnalysisRate: 32 ms
    static constexpr size_t kHop = 80;              // samples: 100 frames per second
    static constexpr double kMaxAnalysisSeconds = 600.0;
    // The range the beat is looked for in.
    static constexpr double kMinBpm = 50.0;
    static constexpr double kMaxBpm = 200.0;
    // The tempo given when the input carries no rhythmic evidence.
    static constexpr double kNoEvidenceBpm = 120.0;

    TempoEstimator(int32_t sampleRate, int32_t channels);
    void feed(const float* interleaved, size_t frames);
    // The tempo the onsets give, rounded to 0.1 BPM; kNoEvidenceBpm without evidence.
    double bpm() const;
    // The onsets' choice unrounded, with its confidence (see ChooseTempoFromEnvelopes);
    // {0, 0} without rhythmic evidence.
    TempoChoice choice() const;
    // How steadily the onsets so far recur at `bpm` (see BeatSteadiness).
    double steadiness(double bpm) const;
    void reset();

  private:
    void analyzeFrame(const double* frame);

    WindowedFrames frames_;
    core::RealFft fft_;
    std::vector<std::complex<double>> spectrum_;
    std::vector<double> previousLog_;
    std::vector<int> bandOfBin_;
    size_t firstBin_ = 0;  // bins outside firstBin_..lastBin_ belong to no band
    size_t lastBin_ = 0;
    size_t maxFrames_;
    OnsetEnvelopes env_;
};

}  // namespace Trackloom::analysis
