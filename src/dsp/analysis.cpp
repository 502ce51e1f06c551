// Whole-buffer tempo and key: thin wrappers that feed a buffer to the block-based
// estimators in one call, so both paths give identical answers.
#include "dsp/analysis.h"

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
    const LoopStart loop = key.loop();
    return {tempo.bpm(&loop), key.key(&loop)};
}

}  // namespace dsp

namespace AudioDSP {

double EstimateBPM(const AudioBuffer& input) {
    // The harmony's loop settles what the rhythm leaves open, so the key's analysis runs too.
    return dsp::EstimateTempoAndKey(input).bpm;
}

std::string EstimateKey(const AudioBuffer& input) {
    KeyEstimator estimator(input.sampleRate, input.channels);
    const size_t frames = frameCount(input);
    if (frames > 0) estimator.feed(input.samples.data(), frames);
    return estimator.key();
}

}  // namespace AudioDSP
}  // namespace Trackloom
