// Shared helpers for the tests: temporary directories, WAV files built byte by byte or in
// every sample format from synthetic mixes, output capture, file and stem comparison.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "app/dispatch.h"
#include "dsp/audio_dsp.h"
#include "dsp/io/wav_io.h"
#include "dsp/stems.h"

namespace TrackloomTest {

using Bytes = std::vector<unsigned char>;

// The names of the four stems an engine gives, in its order, from the audio core's list: for
// stems in other formats and for JSON's stem names.
constexpr std::array<const char*, Trackloom::kEngineStemCount> kStemNames = {
    Trackloom::StemName(Trackloom::kEngineStems[0]),
    Trackloom::StemName(Trackloom::kEngineStems[1]),
    Trackloom::StemName(Trackloom::kEngineStems[2]),
    Trackloom::StemName(Trackloom::kEngineStems[3])};
// The file names a split gives them.
inline const std::array<std::string, Trackloom::kEngineStemCount> kStemFiles = {
    std::string(kStemNames[0]) + ".wav", std::string(kStemNames[1]) + ".wav",
    std::string(kStemNames[2]) + ".wav", std::string(kStemNames[3]) + ".wav"};
inline const std::array<const char*, Trackloom::kEngineStemCount> kStems = {
    kStemFiles[0].c_str(), kStemFiles[1].c_str(), kStemFiles[2].c_str(), kStemFiles[3].c_str()};

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

// What a command printed on standard output and error, with its exit status.
struct Captured {
    int status;
    std::string out, err;
};

// Runs `run` (returning an exit status) in this process, capturing what it prints.
template <class Run>
Captured captureRun(Run run) {
    CaptureOutput capture;
    const int status = run();
    return {status, capture.out(), capture.err()};
}

// Runs the program's dispatcher on `args` (the program's name first), capturing what it
// prints.
inline Captured runDispatch(std::vector<std::string> args) {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    return captureRun([&] { return Dispatch(static_cast<int>(args.size()), argv.data()); });
}

// What a shell command (a child process) writes on its standard output; redirect inside
// the command for its standard error.
inline std::string commandOutput(const std::string& command) {
    std::string out;
    FILE* p = popen(command.c_str(), "r");
    if (p == nullptr) return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
    return out;
}

inline uint32_t floatBits(float f) {
    uint32_t u;
    std::memcpy(&u, &f, sizeof u);
    return u;
}

namespace fs = std::filesystem;

// A fixture whose tests each get a scratch directory, removed with its contents afterwards.
class ScratchDir : public ::testing::Test {
  protected:
    std::string path(const std::string& name) const { return temp_.file(name); }
    std::string makeDir(const std::string& name) const {
        fs::create_directories(dir_ / name);
        return path(name);
    }

    TempDir temp_;
    const fs::path dir_ = temp_.path();
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
inline std::string wavHeader(Trackloom::io::SampleFormat format, int32_t sampleRate,
                             int32_t channels, uint64_t dataBytes, HeaderOptions opt = {}) {
    using Trackloom::io::SampleFormat;
    const uint32_t bytes = Trackloom::io::BytesPerSample(format);
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
inline std::string encodeSamples(Trackloom::io::SampleFormat format, const float* s, size_t n) {
    using Trackloom::io::SampleFormat;
    std::string out;
    out.reserve(n * Trackloom::io::BytesPerSample(format));
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

inline void writeWav(const std::string& path, Trackloom::io::SampleFormat format,
                     int32_t sampleRate, int32_t channels, const std::vector<float>& samples,
                     HeaderOptions opt = {}) {
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
// Whether two files hold the same bytes; for WAV files, but for the JUNK chunk a writer that
// did not know the length in advance keeps at the start for RF64 sizes.
inline ::testing::AssertionResult sameFile(const std::string& a, const std::string& b) {
    if (!fs::exists(a)) return ::testing::AssertionFailure() << a << " missing";
    if (!fs::exists(b)) return ::testing::AssertionFailure() << b << " missing";
    std::ifstream x(a, std::ios::binary), y(b, std::ios::binary);
    // The first 12 bytes with the RIFF size less that of a leading JUNK chunk, which is skipped.
    auto start = [](std::ifstream& in) {
        std::vector<char> head(48, 0);
        in.read(head.data(), 48);
        head.resize(static_cast<size_t>(in.gcount()));
        const bool junk = head.size() == 48 && std::memcmp(head.data(), "RIFF", 4) == 0 &&
                          std::memcmp(head.data() + 12, "JUNK", 4) == 0 &&
                          static_cast<unsigned char>(head[16]) == 28;
        if (junk) {
            uint32_t size;
            std::memcpy(&size, head.data() + 4, 4);
            size -= 36;
            std::memcpy(head.data() + 4, &size, 4);
            head.resize(12);
        }
        in.clear();
        in.seekg(static_cast<std::streamoff>(junk ? 48 : head.size() < 12 ? head.size() : 12));
        head.resize(std::min<size_t>(head.size(), 12));
        return head;
    };
    if (start(x) != start(y)) {
        return ::testing::AssertionFailure() << a << " and " << b << " differ in their first bytes";
    }
    // Chunk by chunk: the long tests compare stems of hundreds of megabytes.
    std::vector<char> bx(1 << 16), by(1 << 16);
    uint64_t offset = 12;
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

// Synthetic music for the estimators: drums, clicks and chord loops, mono.
using Trackloom::AudioBuffer;

// Deterministic noise in -1..1, so the tests do not depend on a library's generator.
class Noise {
  public:
    float next() {
        state_ = state_ * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<float>(static_cast<int64_t>(state_ >> 11) - (int64_t{1} << 52)) /
               static_cast<float>(int64_t{1} << 52);
    }

  private:
    uint64_t state_ = 0x853c49e6748fea9bULL;
};

inline void addClick(std::vector<float>& out, int32_t rate, double at, float level) {
    const size_t start = static_cast<size_t>(std::lround(at * rate));
    const size_t length = static_cast<size_t>(0.03 * rate);
    for (size_t i = 0; i < length && start + i < out.size(); ++i) {
        const double t = static_cast<double>(i) / rate;
        out[start + i] +=
            level * static_cast<float>(std::exp(-t * 150.0) * std::sin(kTwoPi * 1000.0 * t));
    }
}

inline void addKick(std::vector<float>& out, int32_t rate, double at) {
    const size_t start = static_cast<size_t>(std::lround(at * rate));
    const size_t length = static_cast<size_t>(0.2 * rate);
    double phase = 0.0;
    for (size_t i = 0; i < length && start + i < out.size(); ++i) {
        const double t = static_cast<double>(i) / rate;
        phase += kTwoPi * (45.0 + 100.0 * std::exp(-t * 30.0)) / rate;
        out[start + i] += 0.8f * static_cast<float>(std::exp(-t * 12.0) * std::sin(phase));
    }
}

inline void addNoiseHit(std::vector<float>& out, int32_t rate, double at, float level, double decay,
                        Noise& noise, bool bright) {
    const size_t start = static_cast<size_t>(std::lround(at * rate));
    const size_t length = static_cast<size_t>(0.15 * rate);
    float previous = 0.0f;
    for (size_t i = 0; i < length && start + i < out.size(); ++i) {
        const double t = static_cast<double>(i) / rate;
        const float n = noise.next();
        // A first difference tilts the noise towards the top: hi-hat rather than snare.
        const float v = bright ? n - previous : n;
        previous = n;
        out[start + i] += level * static_cast<float>(std::exp(-t * decay)) * v;
    }
}

// Mono silence, `seconds` long.
inline AudioBuffer silence(double seconds, int32_t rate) {
    AudioBuffer b;
    b.sampleRate = rate;
    b.samples.assign(static_cast<size_t>(seconds * rate), 0.0f);
    return b;
}

inline AudioBuffer clickTrack(double bpm, double seconds, int32_t rate) {
    AudioBuffer b = silence(seconds, rate);
    for (double t = 0.0; t < seconds; t += 60.0 / bpm) addClick(b.samples, rate, t, 0.5f);
    return b;
}

// Kick on beats 1 and 3, snare on 2 and 4, closed hi-hat on every eighth note.
inline AudioBuffer rockBeat(double bpm, double seconds, int32_t rate) {
    AudioBuffer b = silence(seconds, rate);
    Noise noise;
    const double beat = 60.0 / bpm;
    int index = 0;
    for (double t = 0.0; t < seconds; t += beat, ++index) {
        if (index % 2 == 0) {
            addKick(b.samples, rate, t);
        } else {
            addNoiseHit(b.samples, rate, t, 0.5f, 25.0, noise, false);
        }
        addNoiseHit(b.samples, rate, t, 0.15f, 60.0, noise, true);
        addNoiseHit(b.samples, rate, t + beat / 2.0, 0.1f, 60.0, noise, true);
    }
    return b;
}

// A chord of a progression: a bass root and a triad above it.
struct Chord {
    int root;    // MIDI note of the bass
    bool minor;  // triad quality
};

// Each chord lasts one 2-second bar: a bass root, a close triad above, and two melody notes
// (by default the chord's root and third, else two per bar from `melody`); the loop
// repeats `loops` times.
inline AudioBuffer progression(const std::vector<Chord>& chords, int loops, int32_t rate = 22050,
                               const std::vector<int>& melody = {}) {
    AudioBuffer b;
    b.sampleRate = rate;
    const double bar = 2.0;
    b.samples.assign(static_cast<size_t>(bar * chords.size() * loops * rate), 0.0f);
    double t = 0.0;
    for (int l = 0; l < loops; ++l) {
        for (const Chord& c : chords) {
            const int third = c.minor ? 3 : 4;
            addNote(b.samples, rate, t, bar, c.root, 0.35);
            for (int note : {c.root + 24, c.root + 24 + third, c.root + 24 + 7}) {
                addNote(b.samples, rate, t, bar, note, 0.15);
            }
            if (melody.empty()) {
                addNote(b.samples, rate, t, bar / 2, c.root + 36, 0.1);
                addNote(b.samples, rate, t + bar / 2, bar / 2, c.root + 36 + third, 0.1);
            } else {
                const size_t i = static_cast<size_t>(&c - chords.data());
                addNote(b.samples, rate, t, bar / 2, melody[2 * i], 0.1);
                addNote(b.samples, rate, t + bar / 2, bar / 2, melody[2 * i + 1], 0.1);
            }
            t += bar;
        }
    }
    return b;
}

}  // namespace TrackloomTest
