// Whole-buffer tempo and key: thin wrappers that feed a buffer to the block-based
// estimators in one call, so both paths give identical answers.
#include "dsp/analysis.h"

#include <cmath>

#include "dsp/audio_dsp.h"
#include "dsp/key_estimator.h"
#include "dsp/tempo_estimator.h"

namespace Trackloom {
namespace {

size_t frameCount(const AudioBuffer& input) {
    if (input.channels <= 0) return 0;
    return input.samples.size() / static_cast<size_t>(input.channels);
}

}  // namespace

namespace dsp {

TempoAndKey EstimateTempoAndKey(const AudioBuffer& input) {
    TempoEstimator tempo(input.sampleRate, input.channels);
    KeyEstimator key(input.sampleRate, input.channels);
    const size_t frames = frameCount(input);
    if (frames > 0) {
        tempo.feed(input.samples.data(), frames);
        key.feed(input.samples.data(), frames);
    }
    return EstimateTempoAndKey(tempo, key);
}

TempoAndKey EstimateTempoAndKey(const TempoEstimator& tempo, const KeyEstimator& key) {
    const LoopStart loop = key.loop();
    const TempoChoice tempoChoice = tempo.measuredTempo(&loop);
    TempoAndKey result;
    KeyChoice keyChoice;
    if (tempoChoice.bpm > 0.0) {
        result.bpm = tempoChoice.bpm;
        result.bpmConfidence = tempoChoice.confidence;
        result.tempoIsGuess = BeatSteadiness(tempo.envelopes(), tempoChoice.bpm) < kSteadyBeat;
        const LoopStart fitted = FitLoopToTempo(key.chromaFrames(), loop, tempoChoice.bpm);
        keyChoice = key.choice(&fitted);
    } else {
        keyChoice = key.choice(&loop);
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
    return std::round(bpm * 10.0) / 10.0;
}

}  // namespace dsp

namespace AudioDSP {

double EstimateBPM(const AudioBuffer& input) {
    // The harmony's loop settles what the rhythm leaves open, so the key's analysis runs too.
    return dsp::EstimateTempoAndKey(input).bpm;
}

std::string EstimateKey(const AudioBuffer& input) {
    // The tempo places the harmony's loop, so the tempo's analysis runs too.
    return dsp::EstimateTempoAndKey(input).key;
}

}  // namespace AudioDSP
}  // namespace Trackloom
