// Time-domain four-way stem separator.
//
// Per channel: a one-pole 250 Hz low-pass gives the bass, a transient detector with a
// decaying envelope gives the drums, the signal less part of the bass and ducked by the
// envelope gives the vocals, and a fixed attenuation gives the rest. State is kept per
// channel and across calls, so any split of the input into blocks gives the same output.
// The sample-by-sample recurrence it reproduces is written out in stem_recurrence.h.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace Trackloom::separation::filter {

class StemSeparator {
  public:
    StemSeparator(int32_t sampleRate, int32_t channels);

    // Separates `frames` interleaved frames. Each output holds frames * channels samples;
    // no output may overlap the input or another output. The result does not depend on
    // how the input is cut into blocks, but mono and stereo run fastest in blocks of
    // kFastBlockFrames frames or a multiple of them: the low-pass is then worked on
    // several strands of each such piece at once.
    void process(const float* in, size_t frames, float* vocals, float* drums, float* bass,
                 float* other);

    // The same four stems, each encoded as 16-bit PCM into `out` (vocals, drums, bass,
    // other; frames * channels * 2 bytes each): byte for byte what io::EncodeS16 makes of the
    // stems process() gives. The float stems are never stored, which roughly halves what a
    // streaming split spends between reading and writing.
    void processS16(const float* in, size_t frames, const std::array<unsigned char*, 4>& out);

    // processS16 takes mono and stereo eight samples at a time, or sixteen where the
    // processor has AVX2; the bytes are the same either way. This chooses the eight (false)
    // or the widest there is (true, the default), so that the two can be compared.
    void useWideVectors(bool wide);

    static constexpr size_t kFastBlockFrames = 16384;  // see process()

    // Forgets all history, as if newly constructed.
    void reset();

  private:
    template <class Stems>
    void separate(const float* in, size_t frames, Stems& stems);
    bool lowPassInRegisterRange() const;
    void lowPassBlock(const float* in, size_t frames, float* lowpass);
    template <bool CheckRange>
    bool markTransients(const float* in, size_t start, size_t frames);
    void trackPieceEnvelope(size_t frames, float* env);
    template <size_t Lanes>
    void trackEnvelopes(const uint32_t* keep, size_t frames, size_t first, float* env);
    size_t encodeOnePass(const float* in, size_t start, size_t frames, const float* lowpass,
                         const std::array<unsigned char*, 4>& out);
    uint32_t envelopeIndex(size_t channel) const;
    static constexpr size_t kPieceSamples = 2048;  // the envelope's and the mix's unit of work

    float alpha_;    // low-pass coefficient for this sample rate
    size_t warmUp_;  // samples after which a low-pass started from zero has forgotten it
    size_t channels_;
    bool wide_;         // sixteen samples at a time where that can be done
    uint32_t settled_;  // first count whose envelope no longer decays
    uint32_t never_;    // counts from here on: no transient yet, the envelope is zero
    // Per channel, carried from one block to the next:
    std::vector<float> lowpassState_;       // the low-pass's last value
    std::vector<uint32_t> sinceTransient_;  // samples since the last transient; see never_
    std::vector<float> previous_;           // the last input sample
    std::vector<float> envelope_;           // by count of samples since the last transient
    std::vector<float> flushedEnvelope_;    // the same, negligible values zero, for processS16
    std::vector<uint32_t> keep_;  // per sample of a piece: all ones where there is no transient
    std::vector<float> env_;      // per sample of a piece: the envelope
    std::vector<float> lowpass_;  // processS16: the block's low-pass, unscaled
    std::vector<float> scratch_;  // processS16: a piece's four float stems, when they are needed
};

}  // namespace Trackloom::separation::filter
