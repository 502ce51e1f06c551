// Whole-buffer tempo and key: thin wrappers that feed a buffer to the block-based
// estimators in one call, so both paths give identical answers.
#include "dsp/audio_dsp.h"
#include "dsp/key_estimator.h"
#include "dsp/tempo_estimator.h"

namespace Trackloom {
namespace AudioDSP {

namespace {

size_t frameCount(const AudioBuffer& input) {
    if (input.channels <= 0) return 0;
    return input.samples.size() / static_cast<size_t>(input.channels);
}

}  // namespace

double EstimateBPM(const AudioBuffer& input) {
    // The harmony's loop settles what the rhythm leaves open, so the key's analysis runs too.
    TempoEstimator estimator(input.sampleRate, input.channels);
    KeyEstimator harmony(input.sampleRate, input.channels);
    const size_t frames = frameCount(input);
    if (frames > 0) {
        estimator.feed(input.samples.data(), frames);
        harmony.feed(input.samples.data(), frames);
    }
    const dsp::LoopStart loop = dsp::FindLoopStart(harmony.chromaFrames());
    return estimator.bpm(&loop);
}

std::string EstimateKey(const AudioBuffer& input) {
    KeyEstimator estimator(input.sampleRate, input.channels);
    const size_t frames = frameCount(input);
    if (frames > 0) estimator.feed(input.samples.data(), frames);
    return estimator.key();
}

}  // namespace AudioDSP
}  // namespace Trackloom
