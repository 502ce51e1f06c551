// libFuzzer entry for the WAV reader, driven the way the split command drives it: headers
// from a stream, samples in blocks, every block through the stem separator.
//
// Besides the sanitizers' own checks it traps when the reader breaks a promise its callers
// rely on: a format outside the supported set, more frames than the input could hold, an
// integer sample outside [-1, 1], a separation that depends on how the input was cut, or
// 16-bit stems from processS16 that differ from the encoded float stems.

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "dsp/io/wav_io.h"
#include "dsp/separation/filter/stem_separator.h"

namespace {

using Trackloom::io::AudioFormat;
using Trackloom::io::SampleFormat;
using Trackloom::io::WavReader;
using Trackloom::io::WavStatus;
using Trackloom::separation::filter::StemSeparator;

void check(bool condition) {
    if (!condition) __builtin_trap();
}

bool isInteger(SampleFormat f) {
    return f == SampleFormat::U8 || f == SampleFormat::S16 || f == SampleFormat::S24 ||
           f == SampleFormat::S32;
}

// Runs the separator over `samples` cut into blocks of `blockFrames`, returning the four
// stems concatenated, so two different cuts can be compared bit for bit.
std::vector<float> separate(const AudioFormat& format, const std::vector<float>& samples,
                            size_t blockFrames) {
    const auto channels = static_cast<size_t>(format.channels);
    const size_t frames = samples.size() / channels;
    std::vector<float> stems(4 * samples.size());
    float* out[4];
    for (size_t k = 0; k < 4; ++k) out[k] = stems.data() + k * samples.size();
    StemSeparator separator(format.sampleRate, format.channels);
    for (size_t at = 0; at < frames;) {
        const size_t n = std::min(blockFrames, frames - at);
        const size_t offset = at * channels;
        separator.process(samples.data() + offset, n, out[0] + offset, out[1] + offset,
                          out[2] + offset, out[3] + offset);
        at += n;
    }
    return stems;
}

// The stems through processS16, in blocks of `blockFrames`, concatenated like separate()'s;
// `wide`: sixteen samples at a time where the processor can.
std::vector<unsigned char> separateS16(const AudioFormat& format, const std::vector<float>& samples,
                                       size_t blockFrames, bool wide) {
    const auto channels = static_cast<size_t>(format.channels);
    const size_t frames = samples.size() / channels;
    std::vector<unsigned char> stems(8 * samples.size());
    StemSeparator separator(format.sampleRate, format.channels);
    separator.useWideVectors(wide);
    for (size_t at = 0; at < frames;) {
        const size_t n = std::min(blockFrames, frames - at);
        const size_t offset = 2 * at * channels;
        std::array<unsigned char*, 4> out{};
        for (size_t k = 0; k < 4; ++k) out[k] = stems.data() + 2 * k * samples.size() + offset;
        separator.processS16(samples.data() + at * channels, n, out);
        at += n;
    }
    return stems;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size), std::ios::binary);
    WavReader reader;
    if (reader.open(in) != WavStatus::Ok) return 0;

    const AudioFormat format = reader.format();
    check(format.channels > 0 && format.channels <= UINT16_MAX);
    check(format.sampleRate > 0);
    check(format.bytesPerSample == BytesPerSample(format.sampleFormat));
    // A stream cannot be measured, so its length is never claimed.
    check(reader.frameCount() == WavReader::kUnknownFrameCount);

    const auto channels = static_cast<size_t>(format.channels);
    const size_t frameBytes = channels * format.bytesPerSample;
    // Everything after the headers at most; the caller's buffer need not be larger.
    const size_t maxFrames = size / frameBytes;

    // Odd block sizes, taken from the input so the fuzzer can steer them, reach the
    // reader's internal block boundary from both sides.
    const size_t blockFrames = 1 + data[size - 1] % 61 + (data[size / 2] & 1u) * 4096;
    std::vector<float> samples;
    std::vector<float> block(std::min(blockFrames, maxFrames + 1) * channels);
    const size_t askFrames = block.size() / channels;
    for (;;) {
        const size_t got = reader.readFrames(block.data(), askFrames);
        check(got <= askFrames);
        samples.insert(samples.end(), block.begin(), block.begin() + got * channels);
        check(samples.size() / channels <= maxFrames);
        if (got < askFrames) break;
    }
    // Once the data has ended it stays ended.
    check(reader.readFrames(block.data(), askFrames) == 0);
    // The counts the reader tells agree with what it handed out.
    check(reader.framesRead() * channels == samples.size());
    check(!reader.endedEarly() || reader.framesRead() < reader.declaredFrameCount());
    check(!reader.headerUnfinished() || reader.declaredFrameCount() == 0);

    if (isInteger(format.sampleFormat)) {
        for (float x : samples) check(x >= -1.0f && x <= 1.0f);
    }
    if (samples.empty()) return 0;

    const std::vector<float> whole = separate(format, samples, samples.size() / channels);
    const std::vector<float> cut = separate(format, samples, 1 + data[0] % 7);
    check(std::memcmp(whole.data(), cut.data(), whole.size() * sizeof(float)) == 0);

    std::vector<unsigned char> encoded(2 * whole.size());
    Trackloom::io::EncodeS16(whole.data(), whole.size(), encoded.data());
    for (bool wide : {false, true}) {
        check(separateS16(format, samples, 1 + data[1 % size] % 61, wide) == encoded);
    }
    return 0;
}
