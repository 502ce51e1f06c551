#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <limits>
#include <sstream>

#include "dsp/audio_dsp.h"
#include "dsp/io/wav_io.h"
#include "test_support.h"

using namespace Trackloom;
using namespace Trackloom::io;
using namespace TrackloomTest;

namespace {

std::vector<int16_t> dataAsS16(const Bytes& file) {
    std::vector<int16_t> v;
    for (size_t i = 44; i + 1 < file.size(); i += 2) {
        v.push_back(static_cast<int16_t>(file[i] | (file[i + 1] << 8)));
    }
    return v;
}

size_t filesIn(const std::filesystem::path& dir) {
    size_t n = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        (void)entry;
        ++n;
    }
    return n;
}

}  // namespace

TEST(WavWriter, WritesTheCanonicalHeader) {
    TempDir dir;
    AudioBuffer b;
    b.sampleRate = 48000;
    b.channels = 2;
    b.samples = {0.0f, 0.5f, -0.5f, 1.0f, 0.25f, -1.0f};
    ASSERT_TRUE(AudioDSP::SaveWav(dir.file("h.wav"), b));
    const Bytes file = readFile(dir.file("h.wav"));
    const Bytes expected = {'R',  'I',  'F', 'F', 48,  0,   0,   0,  // 36 + 12 bytes of data
                            'W',  'A',  'V', 'E', 'f', 'm', 't', ' ', 16, 0, 0, 0, 1, 0,  // PCM
                            2,    0,             // channels
                            0x80, 0xBB, 0,   0,  // 48000 Hz
                            0x00, 0xEE, 2,   0,  // byte rate 192000
                            4,    0,    16,  0,  // block align, bits
                            'd',  'a',  't', 'a', 12,  0,   0,   0};
    ASSERT_EQ(file.size(), 56u);
    EXPECT_EQ(Bytes(file.begin(), file.begin() + 44), expected);
    EXPECT_EQ(dataAsS16(file), (std::vector<int16_t>{0, 16383, -16383, 32767, 8191, -32767}));
}

TEST(WavWriter, EmptyBufferIsAHeaderOnly) {
    TempDir dir;
    ASSERT_TRUE(AudioDSP::SaveWav(dir.file("e.wav"), AudioBuffer{}));
    const Bytes file = readFile(dir.file("e.wav"));
    ASSERT_EQ(file.size(), 44u);
    EXPECT_EQ(file[4], 36);
    EXPECT_EQ(file[40], 0);
}

TEST(WavWriter, ClampsTruncatesAndSilencesNaN) {
    const float in[] = {1.5f,
                        -1.5f,
                        1.0f,
                        -1.0f,
                        0.5f,
                        -0.99999f,
                        1e-6f,
                        -1e-6f,
                        std::numeric_limits<float>::quiet_NaN(),
                        std::numeric_limits<float>::infinity(),
                        -std::numeric_limits<float>::infinity()};
    unsigned char out[2 * 11];
    EncodeS16(in, 11, out);
    std::vector<int16_t> v;
    for (size_t i = 0; i < 11; ++i)
        v.push_back(static_cast<int16_t>(out[2 * i] | (out[2 * i + 1] << 8)));
    EXPECT_EQ(v, (std::vector<int16_t>{32767, -32767, 32767, -32767, 16383, -32766, 0, 0, 0, 32767,
                                       -32767}));
    // The clip count of a 16-bit stem, taken many samples at a time with a tail one by one:
    // here six, then every seventh of a longer stem at either end of the scale.
    EXPECT_EQ(CountFullScaleS16(out, 11), 6u);
    std::vector<float> stem(75);
    for (size_t i = 0; i < stem.size(); ++i) stem[i] = i % 7 != 0 ? 0.999f : i % 2 ? 2.0f : -1.5f;
    std::vector<unsigned char> pcm(2 * stem.size());
    EncodeS16(stem.data(), stem.size(), pcm.data());
    EXPECT_EQ(CountFullScaleS16(pcm.data(), stem.size()), 11u);
    EXPECT_EQ(CountFullScaleS16(pcm.data() + 2 * 7, 64), 10u);
}

TEST(WavWriter, RoundTripComesBackAsTruncatedOverFullScale) {
    TempDir dir;
    AudioBuffer b;
    b.samples = {1.0f, 0.5f, -0.3f, 0.123456f};
    ASSERT_TRUE(AudioDSP::SaveWav(dir.file("r.wav"), b));
    const AudioBuffer back = AudioDSP::LoadWav(dir.file("r.wav"));
    ASSERT_EQ(back.samples.size(), 4u);
    EXPECT_EQ(back.samples[0], 0.999969482421875f);
    EXPECT_EQ(back.samples[1], 0.499969482421875f);
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(back.samples[i], std::trunc(b.samples[i] * 32767.0f) / 32768.0f);
    }
}

TEST(WavWriter, FailureLeavesThePreviousFileAndNoTemporary) {
    TempDir dir;
    AudioBuffer b;
    b.samples = {0.1f, 0.2f};
    // A missing directory: nothing can be created.
    EXPECT_FALSE(AudioDSP::SaveWav(dir.file("missing/x.wav"), b));
    EXPECT_EQ(filesIn(dir.path()), 0u);

    // A directory standing where the file should go: refused, directory untouched.
    std::filesystem::create_directory(dir.file("taken.wav"));
    EXPECT_FALSE(AudioDSP::SaveWav(dir.file("taken.wav"), b));
    EXPECT_TRUE(std::filesystem::is_directory(dir.file("taken.wav")));
    EXPECT_EQ(filesIn(dir.path()), 1u);

    // A writer given up half way leaves the earlier file as it was.
    writeFile(dir.file("old.wav"), {'o', 'l', 'd'});
    {
        WavWriter writer;
        ASSERT_EQ(writer.open(dir.file("old.wav"), 44100, 1), WriteStatus::Ok);
        EXPECT_TRUE(writer.writeFrames(b.samples.data(), 2));
        EXPECT_TRUE(std::filesystem::exists(writer.temporaryPath()));
    }
    EXPECT_EQ(readFile(dir.file("old.wav")), (Bytes{'o', 'l', 'd'}));
    EXPECT_EQ(filesIn(dir.path()), 2u);
}

TEST(WavWriter, ReplacesAnExistingFileOnlyWhenComplete) {
    TempDir dir;
    writeFile(dir.file("s.wav"), {'o', 'l', 'd'});
    WavWriter writer;
    ASSERT_EQ(writer.open(dir.file("s.wav"), 44100, 1), WriteStatus::Ok);
    const std::vector<float> block(1000, 0.25f);
    ASSERT_TRUE(writer.writeFrames(block.data(), block.size()));
    EXPECT_EQ(readFile(dir.file("s.wav")).size(), 3u);  // still the old file mid-write
    const std::string temp = writer.temporaryPath();
    EXPECT_NE(temp.substr(temp.size() - 4), ".wav");  // cannot be taken for a stem
    ASSERT_TRUE(writer.finish());
    EXPECT_EQ(readFile(dir.file("s.wav")).size(), 44u + 2000u);
    EXPECT_FALSE(std::filesystem::exists(temp));
}

TEST(WavWriter, RefusesDataAWavHeaderCannotDescribe) {
    TempDir dir;
    WavWriter writer;
    ASSERT_EQ(writer.open(dir.file("big.wav"), 44100, 1), WriteStatus::Ok);
    const float one = 0.0f;
    // Checked before any sample is touched, so one float stands in for four billion.
    EXPECT_FALSE(writer.writeSamples(&one, static_cast<size_t>(WavWriter::kMaxSamples) + 1));
    EXPECT_FALSE(writer.finish());
    EXPECT_FALSE(std::filesystem::exists(dir.file("big.wav")));
    EXPECT_EQ(filesIn(dir.path()), 0u);
}

// Samples encoded by the writer and samples encoded in place by its caller may alternate in
// any sizes; the file holds them in order, whatever the writer keeps back between writes.
TEST(WavWriter, EncodedInPlaceAndFloatWritesInterleaveInOrder) {
    TempDir dir;
    const size_t total = 400000;  // several of the writer's flushes
    std::vector<float> samples(total);
    for (size_t i = 0; i < total; ++i) {
        samples[i] = 1.2f * std::sin(0.001f * static_cast<float>(i)) + 1e-4f * (i % 7);
    }
    WavWriter writer;
    ASSERT_EQ(writer.open(dir.file("m.wav"), 48000, 2), WriteStatus::Ok);
    size_t done = 0;
    for (size_t step = 1; done < total; step = step * 3 % 70001 + 1) {
        const size_t n = std::min(step, total - done);
        if (step % 2) {
            ASSERT_TRUE(writer.writeSamples(samples.data() + done, n));
        } else {
            unsigned char* room = writer.reserveEncoded(n);
            ASSERT_NE(room, nullptr);
            EncodeS16(samples.data() + done, n, room);
            ASSERT_TRUE(writer.commitEncoded(n));
        }
        done += n;
    }
    ASSERT_TRUE(writer.finish());
    const Bytes file = readFile(dir.file("m.wav"));
    ASSERT_EQ(file.size(), 44 + 2 * total);
    std::vector<unsigned char> expected(2 * total);
    EncodeS16(samples.data(), total, expected.data());
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), file.begin() + 44));
    EXPECT_EQ(file[40] | file[41] << 8 | file[42] << 16 | file[43] << 24, 2 * total);
}

TEST(WavWriter, RefusesRoomForDataAWavHeaderCannotDescribe) {
    TempDir dir;
    WavWriter writer;
    ASSERT_EQ(writer.open(dir.file("big.wav"), 44100, 1), WriteStatus::Ok);
    // Refused before any memory is set aside for it.
    EXPECT_EQ(writer.reserveEncoded(static_cast<size_t>(WavWriter::kMaxSamples) + 1), nullptr);
    EXPECT_FALSE(writer.finish());
    EXPECT_EQ(filesIn(dir.path()), 0u);
}

namespace {

// An output that keeps only the header and the last bytes written: it stands in for a file
// past 4 GiB without the disk or the memory one would take.
class SparseOutput final : public ByteOutput {
  public:
    bool write(const void* data, size_t bytes) override {
        const auto* p = static_cast<const unsigned char*>(data);
        for (uint64_t i = 0; i < bytes && size_ + i < head_.size(); ++i) head_[size_ + i] = p[i];
        // Only what can still be among the last bytes is kept.
        const size_t keep = std::min(bytes, tail_.size());
        for (size_t i = bytes - keep; i < bytes;) {
            const size_t at = static_cast<size_t>((size_ + i) % tail_.size());
            const size_t n = std::min(bytes - i, tail_.size() - at);
            std::memcpy(tail_.data() + at, p + i, n);
            i += n;
        }
        size_ += bytes;
        return true;
    }
    bool writeAt(uint64_t offset, const void* data, size_t bytes) override {
        if (offset + bytes > head_.size()) return false;
        std::memcpy(head_.data() + offset, data, bytes);
        return true;
    }
    uint64_t size() const override { return size_; }
    std::error_code error() const override { return {}; }

    uint64_t le(uint64_t offset, int bytes) const {
        uint64_t v = 0;
        for (int i = bytes - 1; i >= 0; --i) v = v << 8 | head_[offset + static_cast<uint64_t>(i)];
        return v;
    }
    // The byte at `offset` among the last ones written.
    unsigned char at(uint64_t offset) const { return tail_[offset % tail_.size()]; }
    const Bytes& head() const { return head_; }

  private:
    Bytes head_ = Bytes(256, 0);
    Bytes tail_ = Bytes(1 << 16, 0);
    uint64_t size_ = 0;
};

}  // namespace

// Past 4 GiB a WAV header cannot give the sizes: a stem of unknown length keeps room for
// them and becomes RF64, at every depth, while a short one stays plain WAV with that room
// as a JUNK chunk. Both read back through the program's own reader.
TEST(WavWriter, StreamOfUnknownLengthBecomesRf64PastFourGibibytes) {
    // 24 bits differ from 16 only in the samples' width, which the short files test.
    for (const OutputFormat::Depth depth : {OutputFormat::Depth::S16, OutputFormat::Depth::Float}) {
        const uint32_t bytes = OutputFormat{OutputFormat::Kind::Wav, depth}.bytesPerSample();
        SCOPED_TRACE(bytes);
        const uint64_t frames = (uint64_t{1} << 32) / (2 * bytes) + 12345;  // stereo
        SparseOutput out;
        WavWriter writer;
        ASSERT_EQ(writer.open(out, depth, 44100, 2, kUnknownLength), WriteStatus::Ok);
        std::vector<float> block(2 * 65536, 0.0f);
        uint64_t left = frames - 2;
        while (left > 0) {
            const size_t n = static_cast<size_t>(std::min<uint64_t>(left, 65536));
            ASSERT_TRUE(writer.writeFrames(block.data(), n));
            left -= n;
        }
        const float last[4] = {0.5f, -0.25f, 0.125f, -1.0f};
        ASSERT_TRUE(writer.writeFrames(last, 2));
        ASSERT_TRUE(writer.finish());

        const Bytes& h = out.head();
        EXPECT_EQ(std::string(h.begin(), h.begin() + 4), "RF64");
        EXPECT_EQ(std::string(h.begin() + 12, h.begin() + 16), "ds64");
        const uint64_t dataBytes = frames * 2 * bytes;
        EXPECT_EQ(out.le(20, 8), out.size() - 8);  // RIFF size
        EXPECT_EQ(out.le(28, 8), dataBytes);
        EXPECT_EQ(out.le(36, 8), frames);
        // The program's reader takes the 64-bit sizes.
        const uint64_t dataStart = out.size() - dataBytes - (dataBytes & 1);
        std::istringstream header(std::string(h.begin(), h.begin() + dataStart));
        WavReader reader;
        ASSERT_EQ(reader.open(header), WavStatus::Ok);
        EXPECT_EQ(reader.declaredFrameCount(), frames);
        // The last frames are where the sizes say, holding what was written last.
        Bytes tail(4 * bytes);
        for (size_t i = 0; i < tail.size(); ++i)
            tail[i] = out.at(dataStart + dataBytes - tail.size() + i);
        std::vector<float> decoded(4);
        DecodeSamples(depth == OutputFormat::Depth::S16   ? SampleFormat::S16
                      : depth == OutputFormat::Depth::S24 ? SampleFormat::S24
                                                          : SampleFormat::F32,
                      tail.data(), 4, decoded.data());
        for (size_t i = 0; i < 4; ++i) EXPECT_NEAR(decoded[i], last[i], 1.0 / 32768) << i;
    }
    // Short, it stays plain WAV: the room is a JUNK chunk readers skip.
    SparseOutput out;
    WavWriter writer;
    ASSERT_EQ(writer.open(out, OutputFormat::Depth::S16, 44100, 1, kUnknownLength),
              WriteStatus::Ok);
    const float one = 0.5f;
    ASSERT_TRUE(writer.writeFrames(&one, 1));
    ASSERT_TRUE(writer.finish());
    EXPECT_EQ(std::string(out.head().begin(), out.head().begin() + 4), "RIFF");
    EXPECT_EQ(std::string(out.head().begin() + 12, out.head().begin() + 16), "JUNK");
    EXPECT_EQ(out.le(4, 4), out.size() - 8);
}
