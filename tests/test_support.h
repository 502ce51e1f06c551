// Shared helpers for the tests: temporary directories, WAV byte builders, output capture.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "app/commands.h"

namespace TrackloomTest {

using Bytes = std::vector<unsigned char>;

// A fresh directory, removed with everything in it when the object goes away.
class TempDir {
  public:
    TempDir() {
        std::random_device rd;
        path_ = std::filesystem::temp_directory_path() /
                ("trackloom-test-" + std::to_string(rd()) + "-" + std::to_string(rd()));
        std::filesystem::create_directories(path_);
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::string file(const std::string& name) const { return (path_ / name).string(); }
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

inline void writeFile(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

inline Bytes readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void putLe(Bytes& b, uint64_t v, int n) {
    for (int i = 0; i < n; ++i) b.push_back(static_cast<unsigned char>(v >> (8 * i)));
}

inline void putTag(Bytes& b, const char* tag) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<unsigned char>(tag[i]));
}

// Describes a WAV file to build byte by byte, including ones no sane writer would make.
struct WavSpec {
    uint16_t formatCode = 1;  // 1 PCM, 3 float, 0xFFFE extensible
    uint16_t subFormat = 1;   // for extensible
    uint16_t channels = 1;
    uint32_t sampleRate = 44100;
    uint16_t blockAlign = 2;
    uint16_t bitsPerSample = 16;
    Bytes data;
    Bytes chunksBeforeData;  // complete chunks (tag, size, body, pad) placed after "fmt "
    bool overrideDataSize = false;
    uint32_t dataSize = 0;
};

inline Bytes buildWav(const WavSpec& s) {
    const bool extensible = s.formatCode == 0xFFFE;
    Bytes fmt;
    putLe(fmt, s.formatCode, 2);
    putLe(fmt, s.channels, 2);
    putLe(fmt, s.sampleRate, 4);
    putLe(fmt, uint64_t{s.sampleRate} * s.blockAlign, 4);
    putLe(fmt, s.blockAlign, 2);
    putLe(fmt, s.bitsPerSample, 2);
    if (extensible) {
        putLe(fmt, 22, 2);               // extension size
        putLe(fmt, s.bitsPerSample, 2);  // valid bits
        putLe(fmt, 0, 4);                // channel mask
        putLe(fmt, s.subFormat, 2);
        const unsigned char tail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                        0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
        fmt.insert(fmt.end(), tail, tail + 14);
    }
    Bytes b;
    putTag(b, "RIFF");
    putLe(b, 4 + 8 + fmt.size() + s.chunksBeforeData.size() + 8 + s.data.size(), 4);
    putTag(b, "WAVE");
    putTag(b, "fmt ");
    putLe(b, fmt.size(), 4);
    b.insert(b.end(), fmt.begin(), fmt.end());
    b.insert(b.end(), s.chunksBeforeData.begin(), s.chunksBeforeData.end());
    putTag(b, "data");
    putLe(b, s.overrideDataSize ? s.dataSize : s.data.size(), 4);
    b.insert(b.end(), s.data.begin(), s.data.end());
    return b;
}

// A canonical 16-bit PCM file holding `values`, interleaved.
inline Bytes buildS16Wav(const std::vector<int16_t>& values, uint16_t channels = 1,
                         uint32_t rate = 44100) {
    WavSpec s;
    s.channels = channels;
    s.sampleRate = rate;
    s.blockAlign = static_cast<uint16_t>(2 * channels);
    for (int16_t v : values) putLe(s.data, static_cast<uint16_t>(v), 2);
    return buildWav(s);
}

// Reproducible pseudo-random 16-bit audio: noise plus a low tone, so every stem is busy.
inline std::vector<int16_t> makeTestSignal(size_t samples, uint32_t seed = 1) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> noise(-6000, 6000);
    std::vector<int16_t> v(samples);
    for (size_t i = 0; i < samples; ++i) {
        const int tone = ((i / 50) % 2 == 0) ? 12000 : -12000;  // a 441 Hz square at 44.1 kHz
        const int hit = (i % 11025 < 40) ? 15000 : 0;           // clicks for the transient detector
        int x = tone + noise(rng) + hit;
        if (x > 32767) x = 32767;
        if (x < -32768) x = -32768;
        v[i] = static_cast<int16_t>(x);
    }
    return v;
}

// Equal-tempered frequency of a MIDI note.
inline double hz(int midi) {
    return 440.0 * std::pow(2.0, (midi - 69) / 12.0);
}

// A plucked note with a few decaying partials, added into `out`.
inline void addNote(std::vector<float>& out, int32_t rate, double start, double length, int midi,
                    double level) {
    const size_t first = static_cast<size_t>(start * rate);
    const size_t count = static_cast<size_t>(length * rate);
    const double f = hz(midi);
    for (size_t i = 0; i < count && first + i < out.size(); ++i) {
        const double t = static_cast<double>(i) / rate;
        const double env = std::exp(-2.0 * t) * std::min(1.0, t * 200.0);
        double v = 0.0;
        for (int h = 1; h <= 4; ++h) v += std::sin(6.283185307179586 * f * h * t) / (h * h);
        out[first + i] += static_cast<float>(level * env * v);
    }
}

// Redirects std::cout and std::cerr into strings for the lifetime of the object.
class CaptureOutput {
  public:
    CaptureOutput()
        : oldOut_(std::cout.rdbuf(out_.rdbuf())), oldErr_(std::cerr.rdbuf(err_.rdbuf())) {}
    ~CaptureOutput() {
        std::cout.rdbuf(oldOut_);
        std::cerr.rdbuf(oldErr_);
    }
    std::string out() const { return out_.str(); }
    std::string err() const { return err_.str(); }

  private:
    std::ostringstream out_;
    std::ostringstream err_;
    std::streambuf* oldOut_;
    std::streambuf* oldErr_;
};

// Runs the program's dispatcher on `args` (the program's name first), capturing what it
// prints.
struct DispatchResult {
    int status;
    std::string out, err;
};

inline DispatchResult runDispatch(std::vector<std::string> args) {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    CaptureOutput capture;
    const int status = Dispatch(static_cast<int>(args.size()), argv.data());
    return {status, capture.out(), capture.err()};
}

inline uint32_t floatBits(float f) {
    uint32_t u;
    std::memcpy(&u, &f, sizeof u);
    return u;
}

}  // namespace TrackloomTest
