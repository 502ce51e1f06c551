#include "dsp/separation/filter/stem_separator.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "dsp/audio_dsp.h"
#include "dsp/io/wav_io.h"
#include "dsp/separation/filter/stem_recurrence.h"
#include "test_support.h"

using namespace Trackloom;
using namespace Trackloom::separation::filter;
using namespace Trackloom::io;
using namespace TrackloomTest;

namespace {

std::vector<uint32_t> bits(const std::vector<float>& v) {
    std::vector<uint32_t> out;
    for (float x : v) out.push_back(floatBits(x));
    return out;
}

std::vector<float> toFloat(const std::vector<int16_t>& v) {
    std::vector<float> out;
    for (int16_t x : v) out.push_back(static_cast<float>(x) * 0.000030517578125f);
    return out;
}

// Runs a separator over `in` in blocks of `block` frames.
std::array<std::vector<float>, 4> separateInBlocks(StemSeparator& sep, const std::vector<float>& in,
                                                   size_t channels, size_t block) {
    std::array<std::vector<float>, 4> out;
    for (auto& o : out) o.assign(in.size(), 0.0f);
    const size_t frames = in.size() / channels;
    for (size_t f = 0; f < frames; f += block) {
        const size_t n = std::min(block, frames - f);
        const size_t at = f * channels;
        sep.process(in.data() + at, n, out[0].data() + at, out[1].data() + at, out[2].data() + at,
                    out[3].data() + at);
    }
    return out;
}

// The same through processS16: four 16-bit byte streams.
std::array<std::vector<unsigned char>, 4> encodeInBlocks(StemSeparator& sep,
                                                         const std::vector<float>& in,
                                                         size_t channels, size_t block) {
    std::array<std::vector<unsigned char>, 4> out;
    for (auto& o : out) o.assign(2 * in.size(), 0xAB);
    const size_t frames = in.size() / channels;
    for (size_t f = 0; f < frames; f += block) {
        const size_t n = std::min(block, frames - f);
        const size_t at = 2 * f * channels;
        sep.processS16(
            in.data() + f * channels, n,
            {out[0].data() + at, out[1].data() + at, out[2].data() + at, out[3].data() + at});
    }
    return out;
}

std::vector<unsigned char> encoded(const std::vector<float>& v) {
    std::vector<unsigned char> out(2 * v.size());
    EncodeS16(v.data(), v.size(), out.data());
    return out;
}

double energy(const std::vector<float>& v, size_t from) {
    double e = 0.0;
    for (size_t i = from; i < v.size(); ++i) e += static_cast<double>(v[i]) * v[i];
    return e;
}

AudioBuffer tone(double hz, size_t n, float level) {
    AudioBuffer b;
    for (size_t i = 0; i < n; ++i) {
        b.samples.push_back(level * static_cast<float>(std::sin(2.0 * M_PI * hz *
                                                                static_cast<double>(i) / 44100.0)));
    }
    return b;
}

}  // namespace

TEST(StemSeparator, WorkedExampleIsBitExact) {
    AudioBuffer in;
    in.samples = {0.5f, 0.5f, 0.5f, 0.0f};
    const StemSet s = AudioDSP::SeparateStems(in);
    // The envelope reads 1, 0.992, 0.992^2, then 1 again: the drop to 0 is a transient.
    EXPECT_EQ(bits(s.drums.samples),
              (std::vector<uint32_t>{0x3EE66666, 0x3EE48E8A, 0x3EE2BA74, 0}));
    EXPECT_EQ(bits(s.other.samples),
              (std::vector<uint32_t>{0x3E800000, 0x3E800000, 0x3E800000, 0}));
    EXPECT_EQ(bits(s.bass.samples),
              (std::vector<uint32_t>{0x3CC53A74, 0x3D41D62B, 0x3D8EE459, 0x3D89FA35}));
    EXPECT_EQ(bits(s.vocals.samples),
              (std::vector<uint32_t>{0x3E283664, 0x3E247F4E, 0x3E20D4A1, 0xBC835ABE}));
    EXPECT_FLOAT_EQ(s.vocals.samples[3], -0.016034480f);
    EXPECT_FLOAT_EQ(s.bass.samples[2], 0.069771476f);
    // The sample-by-sample reference the long-block test measures against gives the same.
    const auto reference = SeparateSampleBySample(in.samples, 1, in.sampleRate);
    EXPECT_EQ(bits(reference[0]), bits(s.vocals.samples));
    EXPECT_EQ(bits(reference[1]), bits(s.drums.samples));
    EXPECT_EQ(bits(reference[2]), bits(s.bass.samples));
    EXPECT_EQ(bits(reference[3]), bits(s.other.samples));
}

TEST(StemSeparator, StemsCarryTheInputFormatAndLength) {
    AudioBuffer empty;
    empty.sampleRate = 8000;
    empty.channels = 2;
    const StemSet e = AudioDSP::SeparateStems(empty);
    for (const AudioBuffer* b : {&e.vocals, &e.drums, &e.bass, &e.other}) {
        EXPECT_TRUE(b->samples.empty());
        EXPECT_EQ(b->sampleRate, 8000);
        EXPECT_EQ(b->channels, 2);
    }
    EXPECT_EQ(e.bpm, 120.0);
    EXPECT_EQ(e.key, "F# Minor (Relative: A Major)");

    AudioBuffer odd;  // a buffer that ends inside a frame keeps every sample
    odd.channels = 2;
    odd.samples = {0.5f, 0.1f, 0.5f};
    const StemSet o = AudioDSP::SeparateStems(odd);
    EXPECT_EQ(o.other.samples, (std::vector<float>{0.25f, 0.05f, 0.25f}));
    EXPECT_EQ(o.drums.samples[2], o.drums.samples[0] * 0.992f);  // channel 0's second sample
}

TEST(StemSeparator, BlockSizeDoesNotChangeResult) {
    const std::vector<float> in = toFloat(makeTestSignal(2 * 20011, 5));
    StemSeparator whole(44100, 2);
    const auto expected = separateInBlocks(whole, in, 2, in.size());
    for (size_t block : {size_t{1}, size_t{7}, size_t{64}, size_t{4096}}) {
        StemSeparator sep(44100, 2);
        EXPECT_EQ(separateInBlocks(sep, in, 2, block), expected) << "block " << block;
    }
    // After reset() it behaves as a new object.
    StemSeparator reused(44100, 2);
    separateInBlocks(reused, toFloat(makeTestSignal(2 * 999, 9)), 2, 100);
    reused.reset();
    EXPECT_EQ(separateInBlocks(reused, in, 2, 333), expected);
}

TEST(StemSeparator, ChannelsAreSeparatedIndependently) {
    const std::vector<float> left = toFloat(makeTestSignal(30000, 11));
    const std::vector<float> right = toFloat(makeTestSignal(30000, 12));
    AudioBuffer stereo;
    stereo.channels = 2;
    AudioBuffer monoL, monoR;
    for (size_t i = 0; i < left.size(); ++i) {
        stereo.samples.push_back(left[i]);
        stereo.samples.push_back(right[i]);
    }
    monoL.samples = left;
    monoR.samples = right;
    const StemSet s = AudioDSP::SeparateStems(stereo);
    const StemSet l = AudioDSP::SeparateStems(monoL);
    const StemSet r = AudioDSP::SeparateStems(monoR);
    for (size_t i = 0; i < left.size(); ++i) {
        ASSERT_EQ(floatBits(s.vocals.samples[2 * i]), floatBits(l.vocals.samples[i])) << i;
        ASSERT_EQ(floatBits(s.vocals.samples[2 * i + 1]), floatBits(r.vocals.samples[i])) << i;
        ASSERT_EQ(floatBits(s.drums.samples[2 * i + 1]), floatBits(r.drums.samples[i])) << i;
        ASSERT_EQ(floatBits(s.bass.samples[2 * i]), floatBits(l.bass.samples[i])) << i;
    }

    // A steady left channel beside a silent right one fires no transients after the onset.
    AudioBuffer lopsided;
    lopsided.channels = 2;
    for (int i = 0; i < 2000; ++i) lopsided.samples.insert(lopsided.samples.end(), {0.5f, 0.0f});
    const StemSet ls = AudioDSP::SeparateStems(lopsided);
    EXPECT_LT(ls.drums.samples[2 * 1999], 0.45f * 0.1f);
    EXPECT_EQ(ls.drums.samples[2 * 1999 + 1], 0.0f);
    EXPECT_EQ(ls.bass.samples[2 * 1999 + 1], 0.0f);
}

TEST(StemSeparator, LowToneGoesToBassHighToneDoesNot) {
    const size_t n = 44100;
    const StemSet low = AudioDSP::SeparateStems(tone(50.0, n, 0.05f));
    const StemSet high = AudioDSP::SeparateStems(tone(5000.0, n, 0.005f));
    const size_t settle = 4410;  // skip the filter's attack
    const double lowIn = energy(tone(50.0, n, 0.05f).samples, settle);
    const double highIn = energy(tone(5000.0, n, 0.005f).samples, settle);
    EXPECT_GT(energy(low.bass.samples, settle) / lowIn, 1.5);      // 1.4 gain, ~unattenuated
    EXPECT_LT(energy(high.bass.samples, settle) / highIn, 0.01);   // 5 kHz is 26 dB down
    EXPECT_GT(energy(high.vocals.samples, settle) / highIn, 0.5);  // and stays in the vocals
}

TEST(StemSeparator, NaNInputCountsAsNoTransient) {
    AudioBuffer in;
    in.samples = {0.5f, std::nanf(""), 0.5f};
    const StemSet s = AudioDSP::SeparateStems(in);
    EXPECT_EQ(s.other.samples[0], 0.25f);
    EXPECT_TRUE(std::isnan(s.drums.samples[1]));
    // The sample after the NaN compares against NaN: no transient, so the envelope decays.
    EXPECT_EQ(s.drums.samples[2], (0.5f * (0.992f * 0.992f)) * 0.9f);
}

// Long blocks are worked on in stretches side by side; whatever the material, the result
// must be the sample-by-sample recurrence to the bit, and the 16-bit stems its encoding byte for
// byte. The hard cases for that are where a low-pass started from a guess cannot catch up with the
// true one: digital silence after a loud part (both sink into subnormals and can settle a step
// apart), a sudden drop to a very quiet level, NaN and infinity, rates whose filter forgets slowly
// or never, and hits followed by long quiet stretches, where the envelope decays into subnormal
// numbers.
TEST(StemSeparator, LongBlocksEqualTheSampleBySampleRecurrence) {
    const size_t frames = 3 * 16384 + 123;
    std::vector<float> music = toFloat(makeTestSignal(frames, 21));
    std::vector<float> hard(frames);
    for (size_t f = 0; f < frames; ++f) {
        const float tone = 0.6f * static_cast<float>(std::sin(0.003 * static_cast<double>(f)));
        if (f < 5000) {
            hard[f] = tone;  // loud, then...
        } else if (f < 25000) {
            hard[f] = 0.0f;  // ...a long digital silence
        } else if (f < 26000) {
            hard[f] = f % 500 == 0 ? 0.9f : 1e-6f * tone;  // hits over a whisper
        } else if (f < 40000) {
            hard[f] = 1e-6f * tone;  // the envelope sinks through the subnormals
        } else {
            hard[f] = music[f];
        }
    }
    std::vector<float> broken = music;
    broken[20000] = std::nanf("");
    broken[36000] = INFINITY;
    // For the 16-bit stems: every stem driven past full scale and through the values that
    // round to +-32767 and -32768, far past it (900: deep clipping, still encoded eight at
    // a time; 5000: past the range where that is safe), and an input so large that the
    // low-pass overflows to infinity and the stems become NaN.
    std::vector<float> loud(frames);
    for (size_t f = 0; f < frames; ++f) {
        const float ramp = -2.1f + 4.2f * static_cast<float>(f % 4000) / 4000.0f;
        if (f < 12000) {
            loud[f] = ramp;
        } else if (f < 13000) {
            loud[f] = f % 2 ? 900.0f : -900.0f;
        } else if (f < 14000) {
            loud[f] = f % 3 ? 5000.0f : -1.0f;
        } else if (f < 30000) {
            loud[f] = 1.9f * music[f];
        } else if (f < 30010) {
            loud[f] = f % 2 ? 3e38f : -3e38f;
        } else {
            loud[f] = music[f];
        }
    }

    for (const auto* signal : {&music, &hard, &broken, &loud}) {
        for (int32_t rate : {0, 8000, 44100, 192000}) {
            for (size_t channels : {size_t{1}, size_t{2}, size_t{3}}) {
                // Channels take the signal at different offsets so that no two are alike.
                std::vector<float> in(frames * channels);
                for (size_t f = 0; f < frames; ++f) {
                    for (size_t c = 0; c < channels; ++c) {
                        in[f * channels + c] = (*signal)[(f + 7919 * c) % frames];
                    }
                }
                const auto expected = SeparateSampleBySample(in, channels, rate);
                for (size_t block : {frames, size_t{16384}, size_t{5000}}) {
                    StemSeparator sep(rate, static_cast<int32_t>(channels));
                    const auto got = separateInBlocks(sep, in, channels, block);
                    for (size_t k = 0; k < 4; ++k) {
                        ASSERT_EQ(bits(got[k]), bits(expected[k]))
                            << "stem " << k << ", rate " << rate << ", " << channels
                            << " channels, block " << block;
                    }
                    // Eight samples at a time, and sixteen where the processor can.
                    for (bool wide : {false, true}) {
                        StemSeparator sep16(rate, static_cast<int32_t>(channels));
                        sep16.useWideVectors(wide);
                        const auto bytes = encodeInBlocks(sep16, in, channels, block);
                        for (size_t k = 0; k < 4; ++k) {
                            ASSERT_EQ(bytes[k], encoded(expected[k]))
                                << "16-bit stem " << k << ", rate " << rate << ", " << channels
                                << " channels, block " << block << (wide ? ", wide" : "");
                        }
                    }
                }
            }
        }
    }
}

// The separator runs the recurrences of up to four channels side by side. Whatever the
// grouping (1 to 9 channels covers every mix of four-, two- and one-channel passes) and
// however the input is cut into blocks, each channel must come out bit for bit as if it
// were separated alone, in one call.
TEST(StemSeparator, EachChannelSeparatesAsIfAloneAtAnyBlockSize) {
    // Degenerate, odd, the program's own and one dividing none of the others; the length
    // leaves a partial block for each.
    constexpr size_t kBlockSizes[] = {1, 7, 4096, 5000};
    constexpr size_t kFrames = 2 * 5000 + 777;
    for (int32_t channels = 1; channels <= 9; ++channels) {
        const auto ch = static_cast<size_t>(channels);
        const std::vector<float> in = synthesize(44100, channels, kFrames);
        for (size_t block : kBlockSizes) {
            SCOPED_TRACE(::testing::Message() << channels << " channels, " << block << " frames");
            StemSeparator separator(44100, channels);
            std::array<std::vector<float>, 4> out;
            for (auto& o : out) o.resize(in.size());
            for (size_t f = 0; f < kFrames; f += block) {
                const size_t len = std::min(block, kFrames - f);
                separator.process(in.data() + f * ch, len, out[0].data() + f * ch,
                                  out[1].data() + f * ch, out[2].data() + f * ch,
                                  out[3].data() + f * ch);
            }
            for (size_t c = 0; c < ch; ++c) {
                std::vector<float> alone(kFrames);
                for (size_t f = 0; f < kFrames; ++f) alone[f] = in[f * ch + c];
                std::array<std::vector<float>, 4> expected;
                for (auto& e : expected) e.resize(kFrames);
                StemSeparator mono(44100, 1);
                mono.process(alone.data(), kFrames, expected[0].data(), expected[1].data(),
                             expected[2].data(), expected[3].data());
                for (size_t k = 0; k < 4; ++k) {
                    size_t f = 0;
                    while (f < kFrames &&
                           std::memcmp(&out[k][f * ch + c], &expected[k][f], sizeof(float)) == 0) {
                        ++f;
                    }
                    EXPECT_EQ(f, kFrames)
                        << kStems[k] << ", channel " << c << " differs at frame " << f;
                }
            }
        }
    }
}
