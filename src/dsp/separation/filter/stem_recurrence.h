// The stem separator's arithmetic written out one sample after another, each channel on its
// own: a one-pole low-pass for the bass, an envelope that jumps to 1 at a transient and
// decays between them for the drums, and the mix of the four stems. It is the reference
// StemSeparator's faster arrangement reproduces to the bit; it is too slow for whole songs.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace Trackloom::separation::filter {

// The four stems (vocals, drums, bass, other) of `in`, interleaved frames of `channels`
// channels at `sampleRate` Hz, each as long as `in`, from a separator with no history.
std::array<std::vector<float>, 4> SeparateSampleBySample(const std::vector<float>& in,
                                                         size_t channels, int32_t sampleRate);

}  // namespace Trackloom::separation::filter
