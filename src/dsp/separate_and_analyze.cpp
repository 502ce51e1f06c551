// The whole-buffer split, where separation and analysis meet: the stems, and the tempo and
// key of what they came from.
#include <algorithm>
#include <cstddef>
#include <utility>
#include <vector>

#include "dsp/analysis/analysis.h"
#include "dsp/audio_dsp.h"
#include "dsp/separation/filter/stem_separator.h"

namespace Trackloom {
namespace AudioDSP {

using separation::filter::StemSeparator;

StemSet SeparateStems(const AudioBuffer& input) {
    StemSet stems;
    for (AudioBuffer* stem : {&stems.vocals, &stems.drums, &stems.bass, &stems.other}) {
        stem->sampleRate = input.sampleRate;
        stem->channels = input.channels;
        stem->samples.assign(input.samples.size(), 0.0f);
    }
    StemSeparator separator(input.sampleRate, input.channels);
    // Blocks of the size the separator runs fastest in, short enough to stay in the cache.
    constexpr size_t kBlockFrames = StemSeparator::kFastBlockFrames;
    const size_t channels = input.channels > 0 ? static_cast<size_t>(input.channels) : 1;
    const size_t frames = input.samples.size() / channels;
    for (size_t f = 0; f < frames; f += kBlockFrames) {
        const size_t n = std::min(kBlockFrames, frames - f);
        const size_t at = f * channels;
        separator.process(input.samples.data() + at, n, stems.vocals.samples.data() + at,
                          stems.drums.samples.data() + at, stems.bass.samples.data() + at,
                          stems.other.samples.data() + at);
    }
    // A buffer that ends inside a frame: separate the leftover samples as a short frame.
    const size_t at = frames * channels;
    if (at < input.samples.size()) {
        std::vector<float> in(channels, 0.0f), v(channels), d(channels), b(channels), o(channels);
        std::copy(input.samples.begin() + static_cast<std::ptrdiff_t>(at), input.samples.end(),
                  in.begin());
        separator.process(in.data(), 1, v.data(), d.data(), b.data(), o.data());
        for (size_t i = at; i < input.samples.size(); ++i) {
            stems.vocals.samples[i] = v[i - at];
            stems.drums.samples[i] = d[i - at];
            stems.bass.samples[i] = b[i - at];
            stems.other.samples[i] = o[i - at];
        }
    }
    // Tempo and key in one pass, as they share the harmony's loop.
    analysis::TempoAndKey estimates = analysis::EstimateTempoAndKey(input);
    stems.bpm = estimates.bpm;
    stems.key = std::move(estimates.key);
    return stems;
}

}  // namespace AudioDSP
}  // namespace Trackloom
