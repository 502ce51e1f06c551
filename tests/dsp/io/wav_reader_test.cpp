#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <sstream>

#include "dsp/audio_dsp.h"
#include "dsp/io/wav_io.h"
#include "test_support.h"

using namespace Trackloom;
using namespace Trackloom::io;
using namespace TrackloomTest;

namespace {

std::string asString(const Bytes& b) {
    return std::string(b.begin(), b.end());
}

// Reads a file through the whole-file API from a real file on disk.
AudioBuffer loadBytes(const Bytes& bytes) {
    TempDir dir;
    writeFile(dir.file("in.wav"), bytes);
    return AudioDSP::LoadWav(dir.file("in.wav"));
}

Bytes chunk(const char* tag, const Bytes& body) {
    Bytes b;
    putTag(b, tag);
    putLe(b, body.size(), 4);
    b.insert(b.end(), body.begin(), body.end());
    if (body.size() % 2 == 1) b.push_back(0);  // pad byte
    return b;
}

// The same 16-bit audio in one of the lossless containers.
Bytes encodeAs(const std::vector<int16_t>& v, uint16_t formatCode, uint16_t subFormat,
               uint16_t bytesPerSample, uint16_t channels) {
    WavSpec s;
    s.formatCode = formatCode;
    s.subFormat = subFormat;
    s.channels = channels;
    s.blockAlign = static_cast<uint16_t>(bytesPerSample * channels);
    s.bitsPerSample = static_cast<uint16_t>(8 * bytesPerSample);
    const bool isFloat = (formatCode == 3) || (formatCode == 0xFFFE && subFormat == 3);
    for (int16_t x : v) {
        if (isFloat && bytesPerSample == 4) {
            putLe(s.data, floatBits(static_cast<float>(x) / 32768.0f), 4);
        } else if (isFloat) {
            const double d = static_cast<double>(x) / 32768.0;
            uint64_t u;
            std::memcpy(&u, &d, sizeof u);
            putLe(s.data, u, 8);
        } else {
            // Left-justified in the wider container, as real writers store it.
            const int64_t widened =
                static_cast<int64_t>(x) * (int64_t{1} << (8 * (bytesPerSample - 2)));
            putLe(s.data, static_cast<uint64_t>(widened), bytesPerSample);
        }
    }
    return buildWav(s);
}

}  // namespace

TEST(WavReader, DecodesCanonicalSixteenBitExactly) {
    const AudioBuffer b = loadBytes(buildS16Wav({-32768, 32767, 0, 16384, -1}, 1, 22050));
    EXPECT_EQ(b.sampleRate, 22050);
    EXPECT_EQ(b.channels, 1);
    ASSERT_EQ(b.samples.size(), 5u);
    EXPECT_EQ(b.samples[0], -1.0f);
    EXPECT_EQ(b.samples[1], 0.999969482421875f);
    EXPECT_EQ(b.samples[2], 0.0f);
    EXPECT_EQ(b.samples[3], 0.5f);
    EXPECT_EQ(b.samples[4], -0.000030517578125f);
}

TEST(WavReader, StereoDataOfEightBytesIsFourInterleavedSamples) {
    const AudioBuffer b = loadBytes(buildS16Wav({1, 2, 3, 4}, 2));
    EXPECT_EQ(b.channels, 2);
    ASSERT_EQ(b.samples.size(), 4u);
    EXPECT_EQ(b.samples[1], 2.0f / 32768.0f);
}

TEST(WavReader, WalksPastListJunkAndOddSizedChunks) {
    const std::vector<int16_t> values = {100, -200, 300, -400};
    WavSpec s;
    for (int16_t v : values) putLe(s.data, static_cast<uint16_t>(v), 2);
    const Bytes list =
        chunk("LIST", {'I', 'N', 'F', 'O', 'I', 'S', 'F', 'T', 5, 0, 0, 0, 'L', 'a', 'v', 'f', 0});
    const Bytes odd = chunk("JUNK", {1, 2, 3});  // odd size: a pad byte follows
    s.chunksBeforeData = list;
    s.chunksBeforeData.insert(s.chunksBeforeData.end(), odd.begin(), odd.end());
    const AudioBuffer walked = loadBytes(buildWav(s));
    const AudioBuffer plain = loadBytes(buildS16Wav(values));
    EXPECT_EQ(walked.samples, plain.samples);
}

TEST(WavReader, EveryLosslessEncodingOfTheSameAudioDecodesIdentically) {
    const std::vector<int16_t> v = makeTestSignal(999 * 2, 7);
    const AudioBuffer reference = loadBytes(buildS16Wav(v, 2));
    ASSERT_EQ(reference.samples.size(), v.size());
    struct Case {
        const char* name;
        uint16_t code, sub, bytes;
    };
    const Case cases[] = {{"s24", 1, 1, 3},          {"s32", 1, 1, 4},
                          {"f32", 3, 3, 4},          {"f64", 3, 3, 8},
                          {"ext-s16", 0xFFFE, 1, 2}, {"ext-s24", 0xFFFE, 1, 3},
                          {"ext-f32", 0xFFFE, 3, 4}, {"ext-f64", 0xFFFE, 3, 8}};
    for (const Case& c : cases) {
        const AudioBuffer b = loadBytes(encodeAs(v, c.code, c.sub, c.bytes, 2));
        EXPECT_EQ(b.channels, 2) << c.name;
        EXPECT_EQ(b.samples, reference.samples) << c.name;
    }
}

TEST(WavReader, DecodesEightBitAsUnsignedWithOffset) {
    WavSpec s;
    s.blockAlign = 1;
    s.bitsPerSample = 8;
    s.data = {0, 128, 255, 64};
    const AudioBuffer b = loadBytes(buildWav(s));
    ASSERT_EQ(b.samples.size(), 4u);
    EXPECT_EQ(b.samples[0], -1.0f);
    EXPECT_EQ(b.samples[1], 0.0f);
    EXPECT_EQ(b.samples[2], 127.0f / 128.0f);
    EXPECT_EQ(b.samples[3], -0.5f);
}

TEST(WavReader, ThirtyTwoBitExtremesAndFloatValuesPassThrough) {
    WavSpec s;
    s.blockAlign = 4;
    s.bitsPerSample = 32;
    putLe(s.data, 0x80000000u, 4);
    putLe(s.data, 0x40000000u, 4);
    EXPECT_EQ(loadBytes(buildWav(s)).samples, (std::vector<float>{-1.0f, 0.5f}));

    WavSpec f;
    f.formatCode = 3;
    f.blockAlign = 4;
    f.bitsPerSample = 32;
    putLe(f.data, floatBits(1.75f), 4);  // out of range values are kept; the writer clamps
    putLe(f.data, floatBits(-0.1f), 4);
    EXPECT_EQ(loadBytes(buildWav(f)).samples, (std::vector<float>{1.75f, -0.1f}));
}

TEST(WavReader, FloatSamplesThatAreNoNumberReadAsSilence) {
    const float inf = std::numeric_limits<float>::infinity();
    WavSpec f;
    f.formatCode = 3;
    f.blockAlign = 4;
    f.bitsPerSample = 32;
    for (float x : {0.25f, std::numeric_limits<float>::quiet_NaN(), inf, -inf, -0.5f, 3.0e38f})
        putLe(f.data, floatBits(x), 4);
    EXPECT_EQ(loadBytes(buildWav(f)).samples,
              (std::vector<float>{0.25f, 0.0f, 0.0f, 0.0f, -0.5f, 3.0e38f}));

    WavSpec d;
    d.formatCode = 3;
    d.blockAlign = 8;
    d.bitsPerSample = 64;
    const double floatMax = std::numeric_limits<float>::max();
    for (double x : {0.25, std::numeric_limits<double>::quiet_NaN(), -1e300, 1e-300, -0.5,
                     -floatMax, std::nextafter(floatMax, 1e300)}) {
        uint64_t bits;
        std::memcpy(&bits, &x, sizeof bits);
        putLe(d.data, static_cast<uint32_t>(bits), 4);
        putLe(d.data, static_cast<uint32_t>(bits >> 32), 4);
    }
    const AudioBuffer b = loadBytes(buildWav(d));
    EXPECT_EQ(b.samples, (std::vector<float>{0.25f, 0.0f, 0.0f, 0.0f, -0.5f,
                                             -std::numeric_limits<float>::max(), 0.0f}));

    // A bad sample early in a file costs one sample, not the bass of everything after it.
    WavSpec song;
    song.formatCode = 3;
    song.blockAlign = 4;
    song.bitsPerSample = 32;
    for (int i = 0; i < 4000; ++i) {
        const float x = i == 10 ? std::numeric_limits<float>::quiet_NaN()
                                : 0.5f * std::sin(0.02f * static_cast<float>(i));
        putLe(song.data, floatBits(x), 4);
    }
    const StemSet stems = AudioDSP::SeparateStems(loadBytes(buildWav(song)));
    ASSERT_EQ(stems.bass.samples.size(), 4000u);
    EXPECT_TRUE(std::isfinite(stems.bass.samples.back()));
    EXPECT_GT(std::fabs(stems.bass.samples[3000]), 0.01f);
}

TEST(WavReader, SizesBeyondTheFileReadOnlyWhatIsThere) {
    // A truncated file: the header promises 100 samples, 3 and a half frames are present.
    WavSpec s;
    s.channels = 2;
    s.blockAlign = 4;
    for (int i = 0; i < 7; ++i) putLe(s.data, static_cast<uint16_t>(1000 * (i + 1)), 2);
    s.overrideDataSize = true;
    s.dataSize = 400;
    const AudioBuffer truncated = loadBytes(buildWav(s));
    EXPECT_EQ(truncated.samples.size(), 6u);  // whole frames only, no zero padding

    // A pipe writer's all-ones size in a regular file reads to the end.
    s.dataSize = 0xFFFFFFFFu;
    EXPECT_EQ(loadBytes(buildWav(s)).samples.size(), 6u);

    // An odd data size: the trailing byte is not a sample.
    WavSpec odd;
    odd.data = {1, 0, 2, 0, 3};
    EXPECT_EQ(loadBytes(buildWav(odd)).samples.size(), 2u);
}

TEST(WavReader, HugeClaimedSizeDoesNotAllocateFromAStream) {
    // A 44-byte file claiming 4 GiB, read from memory where its length is unknown.
    WavSpec s;
    s.overrideDataSize = true;
    s.dataSize = 0xFFFFFFF0u;
    std::istringstream in(asString(buildWav(s)));
    WavReader reader;
    ASSERT_EQ(reader.open(in), WavStatus::Ok);
    EXPECT_EQ(reader.frameCount(), WavReader::kUnknownFrameCount);
    float out[8];
    EXPECT_EQ(reader.readFrames(out, 8), 0u);
    EXPECT_TRUE(loadBytes(buildWav(s)).samples.empty());
}

TEST(WavReader, StreamReadsToTheEndOnlyForTheAllOnesSize) {
    WavSpec s;
    for (int i = 0; i < 10; ++i) putLe(s.data, static_cast<uint16_t>(i), 2);
    s.overrideDataSize = true;
    s.dataSize = 0xFFFFFFFFu;
    std::istringstream piped(asString(buildWav(s)));
    WavReader reader;
    ASSERT_EQ(reader.open(piped), WavStatus::Ok);
    std::vector<float> out(64);
    EXPECT_EQ(reader.readFrames(out.data(), 64), 10u);

    // An honest size is honoured even when more bytes follow the data chunk.
    Bytes withTrailer = buildS16Wav({5, 6, 7});
    const Bytes trailer = chunk("LIST", {'a', 'b', 'c', 'd'});
    withTrailer.insert(withTrailer.end(), trailer.begin(), trailer.end());
    std::istringstream in(asString(withTrailer));
    WavReader honest;
    ASSERT_EQ(honest.open(in), WavStatus::Ok);
    EXPECT_EQ(honest.readFrames(out.data(), 64), 3u);
}

TEST(WavReader, BlockSizeDoesNotChangeResult) {
    const std::vector<int16_t> v = makeTestSignal(3 * 5003, 3);
    const Bytes bytes = buildS16Wav(v, 3);
    const AudioBuffer whole = loadBytes(bytes);
    for (size_t block : {size_t{1}, size_t{7}, size_t{4096}, size_t{5000}}) {
        std::istringstream in(asString(bytes));
        WavReader reader;
        ASSERT_EQ(reader.open(in), WavStatus::Ok);
        std::vector<float> all, buf(block * 3);
        size_t got;
        while ((got = reader.readFrames(buf.data(), block)) > 0) {
            all.insert(all.end(), buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(got * 3));
        }
        EXPECT_EQ(all, whole.samples) << "block " << block;
    }
}

// The reader reads ahead in stretches of its own, cut where the file's pages end, and
// carries the part of a frame a stretch ends in over to the next. 15-byte frames behind an
// odd-sized chunk fall across those cuts at every offset; each sample is checked against
// its own value, for any block size, from a file on disk and from a stream.
TEST(WavReader, FramesAcrossTheReadersOwnReadsDecodeExactly) {
    const size_t frames = 30011;
    const uint16_t channels = 5;
    WavSpec s;
    s.channels = channels;
    s.blockAlign = 3 * channels;
    s.bitsPerSample = 24;
    s.chunksBeforeData = chunk("JUNK", {1, 2, 3});
    std::vector<float> expected;
    uint32_t h = 99;
    for (size_t i = 0; i < frames * channels; ++i) {
        h = h * 1664525u + 1013904223u;
        const int32_t v = static_cast<int32_t>(h >> 8) - (1 << 23);  // any 24-bit value
        putLe(s.data, static_cast<uint32_t>(v), 3);
        expected.push_back(static_cast<float>(v) / 8388608.0f);
    }
    putLe(s.data, 0x123456, 2);  // a partial frame at the end, never read
    const Bytes bytes = buildWav(s);
    TempDir dir;
    writeFile(dir.file("in.wav"), bytes);
    for (bool fromFile : {true, false}) {
        for (size_t block : {size_t{1}, size_t{7}, size_t{4096}, size_t{13107}, frames + 1}) {
            std::istringstream stream(asString(bytes));
            WavReader reader;
            ASSERT_EQ(fromFile ? reader.open(dir.file("in.wav")) : reader.open(stream),
                      WavStatus::Ok);
            std::vector<float> all, buf(block * channels);
            size_t got;
            while ((got = reader.readFrames(buf.data(), block)) > 0) {
                all.insert(all.end(), buf.begin(),
                           buf.begin() + static_cast<std::ptrdiff_t>(got * channels));
            }
            EXPECT_EQ(reader.readFrames(buf.data(), block), 0u);
            ASSERT_EQ(all.size(), expected.size()) << "block " << block << ", file " << fromFile;
            EXPECT_TRUE(all == expected) << "block " << block << ", file " << fromFile;
        }
    }
}

TEST(WavReader, MalformedAndUnsupportedFilesFailCleanly) {
    const Bytes good = buildS16Wav({1, 2, 3, 4});
    struct Case {
        const char* name;
        Bytes bytes;
        WavStatus expected;
    };
    std::vector<Case> cases;
    auto with = [](auto edit) {
        WavSpec s;
        s.data = {1, 0, 2, 0};
        edit(s);
        return buildWav(s);
    };
    cases.push_back({"empty", {}, WavStatus::Malformed});
    cases.push_back({"riff only", Bytes(good.begin(), good.begin() + 10), WavStatus::Malformed});
    cases.push_back(
        {"no data chunk", Bytes(good.begin(), good.begin() + 36), WavStatus::Malformed});
    cases.push_back({"cut in fmt", Bytes(good.begin(), good.begin() + 24), WavStatus::Malformed});
    Bytes rifx = good;
    rifx[3] = 'X';
    cases.push_back({"big-endian RIFX", rifx, WavStatus::NotWave});
    Bytes notWave = good;
    notWave[8] = 'A';
    cases.push_back({"not WAVE", notWave, WavStatus::NotWave});
    cases.push_back(
        {"zero channels", with([](WavSpec& s) { s.channels = 0; }), WavStatus::Malformed});
    cases.push_back(
        {"zero rate", with([](WavSpec& s) { s.sampleRate = 0; }), WavStatus::Malformed});
    cases.push_back(
        {"rate 2^31", with([](WavSpec& s) { s.sampleRate = 0x80000000u; }), WavStatus::Malformed});
    cases.push_back(
        {"zero block align", with([](WavSpec& s) { s.blockAlign = 0; }), WavStatus::Malformed});
    cases.push_back({"align not per channel", with([](WavSpec& s) {
                         s.channels = 2;
                         s.blockAlign = 3;
                     }),
                     WavStatus::Malformed});
    cases.push_back(
        {"five-byte container", with([](WavSpec& s) { s.blockAlign = 5; }), WavStatus::Malformed});
    cases.push_back({"bits exceed container", with([](WavSpec& s) { s.bitsPerSample = 24; }),
                     WavStatus::Malformed});
    cases.push_back(
        {"zero bits", with([](WavSpec& s) { s.bitsPerSample = 0; }), WavStatus::Malformed});
    cases.push_back(
        {"ADPCM", with([](WavSpec& s) { s.formatCode = 2; }), WavStatus::UnsupportedFormat});
    cases.push_back({"mu-law", with([](WavSpec& s) {
                         s.formatCode = 7;
                         s.blockAlign = 1;
                         s.bitsPerSample = 8;
                     }),
                     WavStatus::UnsupportedFormat});
    cases.push_back({"float in two bytes", with([](WavSpec& s) { s.formatCode = 3; }),
                     WavStatus::UnsupportedFormat});
    cases.push_back({"64-bit integers", with([](WavSpec& s) {
                         s.blockAlign = 8;
                         s.bitsPerSample = 64;
                     }),
                     WavStatus::UnsupportedFormat});
    cases.push_back({"extensible, unknown GUID", with([](WavSpec& s) {
                         s.formatCode = 0xFFFE;
                         s.subFormat = 0x55;
                     }),
                     WavStatus::UnsupportedFormat});
    Bytes shortFmt = good;
    shortFmt[16] = 12;  // a "fmt " chunk too small to hold the fields
    cases.push_back({"short fmt", shortFmt, WavStatus::Malformed});
    Bytes hugeJunk(good.begin(), good.begin() + 12);
    putTag(hugeJunk, "JUNK");
    putLe(hugeJunk, 0xFFFFFFF0u, 4);
    cases.push_back({"junk past the end", hugeJunk, WavStatus::Malformed});

    for (const Case& c : cases) {
        std::istringstream in(asString(c.bytes));
        WavReader reader;
        EXPECT_EQ(reader.open(in), c.expected) << c.name;
        const AudioBuffer b = loadBytes(c.bytes);
        EXPECT_TRUE(b.samples.empty()) << c.name;
        EXPECT_EQ(b.sampleRate, 44100) << c.name;
        EXPECT_EQ(b.channels, 1) << c.name;
    }
}

TEST(WavReader, ZeroDataSizeGivesNoSamplesButTheHeaderFormat) {
    const AudioBuffer b = loadBytes(buildS16Wav({}, 2, 8000));
    EXPECT_TRUE(b.samples.empty());
    EXPECT_EQ(b.sampleRate, 8000);
    EXPECT_EQ(b.channels, 2);
}

TEST(WavReader, MissingFileAndDirectoryAreUnreadable) {
    TempDir dir;
    WavReader reader;
    EXPECT_EQ(reader.open(dir.file("missing.wav")), WavStatus::CannotOpen);
    EXPECT_TRUE(AudioDSP::LoadWav(dir.file("missing.wav")).samples.empty());
    EXPECT_TRUE(AudioDSP::LoadWav(dir.path().string()).samples.empty());
}
