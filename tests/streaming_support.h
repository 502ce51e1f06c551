// Helpers shared by the streaming tests: a scratch directory, a synthetic mix, WAV files
// in every sample format (and with the header tricks real writers use), file comparison.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "dsp/audio_dsp.h"
#include "dsp/wav_io.h"

namespace StreamingTest {

namespace fs = std::filesystem;

constexpr std::array<const char*, 4> kStems = {"vocals.wav", "drums.wav", "bass.wav", "other.wav"};

// A scratch directory per test, removed with its contents afterwards.
class ScratchDir : public ::testing::Test {
  protected:
    void SetUp() override {
        std::random_device rd;
        dir_ = fs::temp_directory_path() /
               ("trackloom-stream-" + std::to_string(rd()) + std::to_string(rd()));
        fs::create_directories(dir_);
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    std::string path(const std::string& name) const { return (dir_ / name).string(); }
    std::string makeDir(const std::string& name) const {
        fs::create_directories(dir_ / name);
        return path(name);
    }

    fs::path dir_;
};

// Mix-like material: a bass line, a tone, noise and hard hits every quarter second, so the
// low-pass, the transient detector and the envelope decay all take part. Each channel is
// different, and the level now and then goes past full scale so clamping is covered too.
// Sample `frame` depends only on its index, so long files can be generated block by block.
constexpr double kTwoPi = 6.283185307179586;

inline void synthesize(int32_t sampleRate, int32_t channels, uint64_t firstFrame, size_t frames,
                       float* out) {
    const double rate = sampleRate;
    for (size_t f = 0; f < frames; ++f) {
        const uint64_t n = firstFrame + f;
        const double t = static_cast<double>(n) / rate;
        uint32_t h = static_cast<uint32_t>(n * 2654435761u) ^ 0x9E3779B9u;
        for (int32_t c = 0; c < channels; ++c) {
            h = h * 1664525u + 1013904223u + static_cast<uint32_t>(c);
            const double noise = (static_cast<double>(h >> 8) / 16777216.0 - 0.5) * 0.1;
            double x = 0.4 * std::sin(kTwoPi * (55.0 + 5 * c) * t) +
                       0.2 * std::sin(kTwoPi * (440.0 + 30 * c) * t) + noise;
            const uint64_t beat = static_cast<uint64_t>(sampleRate) / 4;
            if (n % beat < 40) x += (n % beat == 0) ? 0.9 : 0.5;
            if (n % (static_cast<uint64_t>(sampleRate) * 3) < 10) x *= 1.8;  // over full scale
            out[f * static_cast<size_t>(channels) + static_cast<size_t>(c)] = static_cast<float>(x);
        }
    }
}

inline std::vector<float> synthesize(int32_t sampleRate, int32_t channels, size_t frames) {
    std::vector<float> s(frames * static_cast<size_t>(channels));
    synthesize(sampleRate, channels, 0, frames, s.data());
    return s;
}

inline void putLe(std::string& b, uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) b.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

struct HeaderOptions {
    bool unknownSizes = false;  // RIFF and data sizes all ones, as written to a pipe
    bool listChunk = false;     // an odd-sized LIST/INFO chunk between fmt and data
};

// Header up to and including the data chunk's size field.
inline std::string wavHeader(Trackloom::SampleFormat format, int32_t sampleRate, int32_t channels,
                             uint64_t dataBytes, HeaderOptions opt = {}) {
    using Trackloom::SampleFormat;
    const uint32_t bytes = Trackloom::BytesPerSample(format);
    const bool isFloat = format == SampleFormat::F32 || format == SampleFormat::F64;
    std::string list;
    if (opt.listChunk) {
        // An odd chunk size is followed by a pad byte that the size does not count.
        const std::string text = "Lavf60.16.100";
        list = "LIST";
        putLe(list, 4 + 8 + text.size(), 4);
        list += "INFOISFT";
        putLe(list, text.size(), 4);
        list += text;
        if (list.size() % 2) list.push_back('\0');
    }
    std::string h = "RIFF";
    putLe(h, opt.unknownSizes ? 0xFFFFFFFFu : 4 + 24 + list.size() + 8 + dataBytes, 4);
    h += "WAVEfmt ";
    putLe(h, 16, 4);
    putLe(h, isFloat ? 3 : 1, 2);
    putLe(h, static_cast<uint64_t>(channels), 2);
    putLe(h, static_cast<uint64_t>(sampleRate), 4);
    putLe(h, static_cast<uint64_t>(sampleRate) * static_cast<uint64_t>(channels) * bytes, 4);
    putLe(h, static_cast<uint64_t>(channels) * bytes, 2);
    putLe(h, bytes * 8, 2);
    h += list;
    h += "data";
    putLe(h, opt.unknownSizes ? 0xFFFFFFFFu : dataBytes, 4);
    return h;
}

// Stores floats in `format`; what the stored values are exactly does not matter to the
// tests, which always compare two paths reading the same file.
inline std::string encodeSamples(Trackloom::SampleFormat format, const float* s, size_t n) {
    using Trackloom::SampleFormat;
    std::string out;
    out.reserve(n * Trackloom::BytesPerSample(format));
    for (size_t i = 0; i < n; ++i) {
        const double x = std::fmax(-1.0, std::fmin(1.0, static_cast<double>(s[i])));
        switch (format) {
            case SampleFormat::U8:
                putLe(out, static_cast<uint64_t>(std::lround(x * 127.0) + 128), 1);
                break;
            case SampleFormat::S16:
                putLe(out, static_cast<uint64_t>(std::lround(x * 32767.0)), 2);
                break;
            case SampleFormat::S24:
                putLe(out, static_cast<uint64_t>(std::lround(x * 8388607.0)), 3);
                break;
            case SampleFormat::S32:
                putLe(out, static_cast<uint64_t>(std::llround(x * 2147483647.0)), 4);
                break;
            case SampleFormat::F32: {
                uint32_t bits;
                std::memcpy(&bits, &s[i], 4);  // unclamped: floats may exceed full scale
                putLe(out, bits, 4);
                break;
            }
            case SampleFormat::F64: {
                const double d = s[i];
                uint64_t bits;
                std::memcpy(&bits, &d, 8);
                putLe(out, bits, 8);
                break;
            }
        }
    }
    return out;
}

inline void writeWav(const std::string& path, Trackloom::SampleFormat format, int32_t sampleRate,
                     int32_t channels, const std::vector<float>& samples, HeaderOptions opt = {}) {
    std::ofstream out(path, std::ios::binary);
    const std::string data = encodeSamples(format, samples.data(), samples.size());
    out << wavHeader(format, sampleRate, channels, data.size(), opt) << data;
    ASSERT_TRUE(out.good()) << path;
}

inline std::string readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    std::string bytes(static_cast<size_t>(std::max<std::streamoff>(0, in.tellg())), '\0');
    in.seekg(0);
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    bytes.resize(static_cast<size_t>(in.gcount()));
    return bytes;
}

// Byte-for-byte equality, reporting where two files first differ rather than dumping both.
inline ::testing::AssertionResult sameFile(const std::string& a, const std::string& b) {
    if (!fs::exists(a)) return ::testing::AssertionFailure() << a << " missing";
    if (!fs::exists(b)) return ::testing::AssertionFailure() << b << " missing";
    // Chunk by chunk: the long tests compare stems of hundreds of megabytes.
    std::ifstream x(a, std::ios::binary), y(b, std::ios::binary);
    std::vector<char> bx(1 << 16), by(1 << 16);
    uint64_t offset = 0;
    for (;;) {
        x.read(bx.data(), static_cast<std::streamsize>(bx.size()));
        y.read(by.data(), static_cast<std::streamsize>(by.size()));
        const auto nx = static_cast<size_t>(x.gcount()), ny = static_cast<size_t>(y.gcount());
        const size_t n = std::min(nx, ny);
        const auto diff =
            std::mismatch(bx.begin(), bx.begin() + static_cast<std::ptrdiff_t>(n), by.begin());
        if (diff.first != bx.begin() + static_cast<std::ptrdiff_t>(n) || nx != ny) {
            return ::testing::AssertionFailure()
                   << a << " and " << b << " differ first at byte "
                   << offset + static_cast<uint64_t>(diff.first - bx.begin())
                   << (nx != ny && diff.first == bx.begin() + static_cast<std::ptrdiff_t>(n)
                           ? " (one ends there)"
                           : "");
        }
        if (nx == 0) return ::testing::AssertionSuccess();
        offset += n;
    }
}

// The whole-buffer path: load everything, separate everything, save each stem.
inline void splitWholeBuffer(const std::string& input, const std::string& dir) {
    using namespace Trackloom;
    const AudioBuffer in = AudioDSP::LoadWav(input);
    ASSERT_FALSE(in.samples.empty()) << input;
    const StemSet stems = AudioDSP::SeparateStems(in);
    const AudioBuffer* parts[] = {&stems.vocals, &stems.drums, &stems.bass, &stems.other};
    for (size_t k = 0; k < 4; ++k) {
        ASSERT_TRUE(AudioDSP::SaveWav(dir + "/" + kStems[k], *parts[k]));
    }
}

inline void expectSameStems(const std::string& dirA, const std::string& dirB) {
    for (const char* stem : kStems) {
        EXPECT_TRUE(sameFile(dirA + "/" + stem, dirB + "/" + stem));
    }
}

// Files a split left behind that are not one of the four stems (abandoned temporaries).
inline std::vector<std::string> strayFiles(const std::string& dir) {
    std::vector<std::string> stray;
    for (const auto& entry : fs::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        if (name.find(".partial") != std::string::npos) stray.push_back(name);
    }
    return stray;
}

}  // namespace StreamingTest
