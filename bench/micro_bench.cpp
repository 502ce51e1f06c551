// Throughput of the three stages every sample of a split goes through: decoding, the
// separator's per-sample recurrence and 16-bit encoding. Items are samples (one channel
// of one frame), so the figures compare directly with the input's sample rate: an hour of
// 48 kHz stereo is 345.6 million samples.
#include <benchmark/benchmark.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "dsp/io/wav_io.h"
#include "dsp/separation/filter/stem_separator.h"

namespace {

using Trackloom::io::SampleFormat;

// The split's own block: 16384 frames.
constexpr size_t kFrames = 16384;

// Music-like floats: mostly moderate and smooth, with a short burst doubled (hits, some
// past full scale) every 11025 samples. In real music under one frame in a hundred follows
// a jump the separator takes for a hit; the envelope has a faster way for runs
// without one, so a noisier signal would understate the separator's speed.
std::vector<float> mix(size_t n) {
    std::vector<float> s(n);
    uint32_t h = 12345;
    for (size_t i = 0; i < n; ++i) {
        h = h * 1664525u + 1013904223u;
        const float noise = static_cast<float>(h >> 8) / 16777216.0f - 0.5f;
        s[i] = 0.6f * std::sin(0.01f * static_cast<float>(i)) + 0.03f * noise;
        if (i % 11025 < 20) s[i] *= 2.0f;
    }
    return s;
}

void BM_Decode(benchmark::State& state, SampleFormat format) {
    const size_t samples = kFrames * 2;
    std::vector<unsigned char> raw(samples * BytesPerSample(format));
    uint32_t h = 1;
    for (auto& b : raw) b = static_cast<unsigned char>((h = h * 1103515245u + 12345u) >> 16);
    if (format == SampleFormat::F32 || format == SampleFormat::F64) {
        // Random bytes make NaNs and denormals; real float files hold ordinary numbers.
        const std::vector<float> m = mix(samples);
        for (size_t i = 0; i < samples; ++i) {
            if (format == SampleFormat::F32) {
                std::memcpy(&raw[4 * i], &m[i], 4);
            } else {
                const double d = m[i];
                std::memcpy(&raw[8 * i], &d, 8);
            }
        }
    }
    std::vector<float> out(samples);
    for (auto _ : state) {
        Trackloom::io::DecodeSamples(format, raw.data(), samples, out.data());
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * samples));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * raw.size()));
}
BENCHMARK_CAPTURE(BM_Decode, u8, SampleFormat::U8);
BENCHMARK_CAPTURE(BM_Decode, s16, SampleFormat::S16);
BENCHMARK_CAPTURE(BM_Decode, s24, SampleFormat::S24);
BENCHMARK_CAPTURE(BM_Decode, s32, SampleFormat::S32);
BENCHMARK_CAPTURE(BM_Decode, f32, SampleFormat::F32);
BENCHMARK_CAPTURE(BM_Decode, f64, SampleFormat::F64);

// Argument: channels. Stereo is the common case; mono and 6 show how the strided
// per-channel pass scales.
void BM_Separate(benchmark::State& state) {
    const auto channels = static_cast<int32_t>(state.range(0));
    const size_t samples = kFrames * static_cast<size_t>(channels);
    const std::vector<float> in = mix(samples);
    std::array<std::vector<float>, 4> out;
    for (auto& o : out) o.resize(samples);
    Trackloom::separation::filter::StemSeparator separator(48000, channels);
    for (auto _ : state) {
        separator.process(in.data(), kFrames, out[0].data(), out[1].data(), out[2].data(),
                          out[3].data());
        benchmark::DoNotOptimize(out[0].data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * samples));
}
BENCHMARK(BM_Separate)->Arg(1)->Arg(2)->Arg(6);

// Separation and encoding of one block, as a streaming split does it: the float stems
// encoded one after another, or encoded as the separator makes them (processS16).
// Argument: 0 for process and four EncodeS16 calls; 1 for processS16 eight samples at a
// time, 2 for processS16 with the widest vectors the processor has.
void BM_SeparateAndEncode(benchmark::State& state) {
    const bool fused = state.range(0) != 0;
    const size_t samples = kFrames * 2;
    const std::vector<float> in = mix(samples);
    std::array<std::vector<float>, 4> stems;
    std::array<std::vector<unsigned char>, 4> bytes;
    std::array<unsigned char*, 4> out{};
    for (size_t k = 0; k < 4; ++k) {
        stems[k].resize(samples);
        bytes[k].resize(2 * samples);
        out[k] = bytes[k].data();
    }
    Trackloom::separation::filter::StemSeparator separator(44100, 2);
    separator.useWideVectors(state.range(0) == 2);
    for (auto _ : state) {
        if (fused) {
            separator.processS16(in.data(), kFrames, out);
        } else {
            separator.process(in.data(), kFrames, stems[0].data(), stems[1].data(), stems[2].data(),
                              stems[3].data());
            for (size_t k = 0; k < 4; ++k)
                Trackloom::io::EncodeS16(stems[k].data(), samples, out[k]);
        }
        benchmark::DoNotOptimize(out[0]);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * samples));
}
BENCHMARK(BM_SeparateAndEncode)->ArgName("way")->Arg(0)->Arg(1)->Arg(2);

void BM_EncodeS16(benchmark::State& state) {
    const size_t samples = kFrames * 2;
    const std::vector<float> in = mix(samples);
    std::vector<unsigned char> out(samples * 2);
    for (auto _ : state) {
        Trackloom::io::EncodeS16(in.data(), samples, out.data());
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * samples));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * out.size()));
}
BENCHMARK(BM_EncodeS16);

}  // namespace

BENCHMARK_MAIN();
