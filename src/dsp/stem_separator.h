// Time-domain four-way stem separator.
//
// Per channel: a one-pole 250 Hz low-pass gives the bass, a transient detector with a
// decaying envelope gives the drums, the signal less part of the bass and ducked by the
// envelope gives the vocals, and a fixed attenuation gives the rest. State is kept per
// channel and across calls, so any split of the input into blocks gives the same output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace Trackloom {

class StemSeparator {
  public:
    StemSeparator(int32_t sampleRate, int32_t channels);

    // Separates `frames` interleaved frames. Each output holds frames * channels samples;
    // no output may overlap the input or another output.
    void process(const float* in, size_t frames, float* vocals, float* drums, float* bass,
                 float* other);

    // Forgets all history, as if newly constructed.
    void reset();

    struct ChannelState {
        float lp = 0.0f;    // low-pass output
        float env = 0.0f;   // transient envelope, 1 on a transient, then decaying
        float prev = 0.0f;  // previous input sample
    };

  private:
    float alpha_;  // low-pass coefficient for this sample rate
    size_t channels_;
    std::vector<ChannelState> state_;
};

}  // namespace Trackloom
