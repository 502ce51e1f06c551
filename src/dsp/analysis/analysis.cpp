// Tempo and key together, and the whole-buffer wrappers: a buffer is fed to the block-based
// estimators in one call, so both paths give identical answers.
#include "dsp/analysis/analysis.h"

#include "dsp/analysis/harmonic_loop.h"
#include "dsp/analysis/key_estimator.h"
#include "dsp/analysis/tempo_estimator.h"
#include "dsp/audio_dsp.h"

namespace Trackloom::analysis {
namespace {

// Both estimators, fed a whole buffer.
struct FedEstimators {
    explicit FedEstimators(const AudioBuffer& input)
        : tempo(input.sampleRate, input.channels), key(input.sampleRate, input.channels) {
        const size_t frames =
            input.channels > 0 ? input.samples.size() / static_cast<size_t>(input.channels) : 0;
        if (frames > 0) {
            tempo.feed(input.samples.data(), frames);
            key.feed(input.samples.data(), frames);
        }
    }
    TempoEstimator tempo;
    KeyEstimator key;
};

// The onsets' tempo, corrected by the loop where it shows the beat was misread, then
// rounded; {0, 0} without rhythmic evidence.
TempoChoice tempoWithHarmony(const TempoEstimator& tempo, const HarmonicLoop& loop) {
    TempoChoice choice = tempo.choice();
    if (choice.bpm > 0.0) {
        choice.bpm = RoundBpm(FitTempoToHarmony(choice.bpm, loop, TempoEstimator::kMaxBpm));
    }
    return choice;
}

}  // namespace

TempoAndKey EstimateTempoAndKey(const AudioBuffer& input) {
    const FedEstimators fed(input);
    return EstimateTempoAndKey(fed.tempo, fed.key);
}

TempoAndKey EstimateTempoAndKey(const TempoEstimator& tempo, const KeyEstimator& key) {
    const ChromaFrames& frames = key.chromaFrames();
    const HarmonicLoop loop = FindHarmonicLoop(frames);
    const TempoChoice tempoChoice = tempoWithHarmony(tempo, loop);
    // Without a tempo the loop is left as found.
    const KeyChoice keyChoice = key.choice(FitLoopToTempo(frames, loop, tempoChoice.bpm));
    TempoAndKey result;
    if (tempoChoice.bpm > 0.0) {
        result.bpm = tempoChoice.bpm;
        result.bpmConfidence = tempoChoice.confidence;
        result.tempoIsGuess = tempo.steadiness(tempoChoice.bpm) < kSteadyBeat;
    }
    result.key = KeyName(keyChoice.key);
    result.keyIndex = keyChoice.key;
    result.keyConfidence = keyChoice.confidence;
    return result;
}

double FoldTempoIntoRange(double bpm, double minBpm, double maxBpm) {
    if (!(bpm > 0.0) || !(minBpm > 0.0) || !(maxBpm >= 2.0 * minBpm)) return bpm;
    while (bpm < minBpm) bpm *= 2.0;
    while (bpm > maxBpm) bpm *= 0.5;
    return RoundBpm(bpm);
}

}  // namespace Trackloom::analysis

namespace Trackloom::AudioDSP {

double EstimateBPM(const AudioBuffer& input) {
    // The pitch-class frames the harmony's loop is found in are gathered too, but no key is
    // chosen.
    const analysis::FedEstimators fed(input);
    const analysis::TempoChoice tempo =
        analysis::tempoWithHarmony(fed.tempo, analysis::FindHarmonicLoop(fed.key.chromaFrames()));
    return tempo.bpm > 0.0 ? tempo.bpm : analysis::TempoEstimator::kNoEvidenceBpm;
}

std::string EstimateKey(const AudioBuffer& input) {
    // The tempo places the harmony's loop, so the tempo's analysis runs too.
    return analysis::EstimateTempoAndKey(input).key;
}

}  // namespace Trackloom::AudioDSP
