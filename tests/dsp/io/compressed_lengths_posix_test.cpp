// Compressed inputs whose headers and bytes disagree on how much audio there is: a FLAC
// count lowered, Ogg streams and MP3 files joined end to end, an MP3 length claim no file
// could hold, and bytes that only look like MP3. All the audio is read, or the user is
// told what was left out; the decoder's own complaints never reach the terminal.
#include <gtest/gtest.h>
#include <sndfile.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <sstream>

#include "dsp/io/audio_reader.h"
#include "test_support.h"

using namespace Trackloom;
using namespace Trackloom::io;
using namespace TrackloomTest;

namespace {

// A sine of `hz` at half scale, in every channel, written by libsndfile in `format`.
void writeTone(const std::string& path, int format, int rate, int channels, long frames,
               double hz) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = format;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(file, nullptr) << path << ": " << sf_strerror(nullptr);
    std::vector<float> samples(static_cast<size_t>(frames * channels));
    for (size_t i = 0; i < samples.size(); ++i) {
        const auto frame = static_cast<double>(i / static_cast<size_t>(channels));
        samples[i] = static_cast<float>(0.5 * std::sin(2.0 * M_PI * hz * frame / rate));
    }
    EXPECT_EQ(sf_writef_float(file, samples.data(), frames), frames);
    sf_close(file);
}

void joinFiles(const std::string& a, const std::string& b, const std::string& out) {
    Bytes joined = readFile(a);
    const Bytes second = readFile(b);
    joined.insert(joined.end(), second.begin(), second.end());
    writeFile(out, joined);
}

std::vector<float> readAll(io::AudioReader& reader) {
    std::vector<float> samples, block(reader.blockFrames() * reader.format().channels);
    while (const size_t n = reader.readFrames(block.data(), reader.blockFrames())) {
        samples.insert(samples.end(), block.begin(),
                       block.begin() + static_cast<long>(n * reader.format().channels));
    }
    return samples;
}

// Opens `path` (or, with `piped`, its bytes as a stream that cannot seek) and reads it all.
struct Decoded {
    std::unique_ptr<io::AudioReader> reader;
    std::vector<float> samples;
};
Decoded decode(const std::string& path, std::stringstream* piped = nullptr) {
    io::OpenedAudio opened = piped != nullptr ? io::OpenAudio(*piped) : io::OpenAudio(path);
    EXPECT_EQ(opened.status, AudioStatus::Ok) << path;
    Decoded decoded;
    if (opened.reader) {
        decoded.reader = std::move(opened.reader);
        decoded.samples = readAll(*decoded.reader);
    }
    return decoded;
}

double rms(const float* s, size_t n) {
    double sum = 0.0;
    for (size_t i = 0; i < n; ++i) sum += static_cast<double>(s[i]) * s[i];
    return n > 0 ? std::sqrt(sum / static_cast<double>(n)) : 0.0;
}

void putBe32(Bytes& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<unsigned char>(v >> (24 - 8 * i));
}

// The bpm command on `path`: its status and standard error.
Captured bpm(const std::string& path) {
    return runDispatch({"trackloom", "--bpm", path});
}

class CompressedLengths : public ::testing::Test {
  protected:
    TempDir dir;
};

}  // namespace

TEST_F(CompressedLengths, AudioPastTheDeclaredCountIsReadAndTheUserTold) {
    // A FLAC of ten seconds whose STREAMINFO says 1,000 samples.
    const std::string flac = dir.file("whole.flac"), low = dir.file("low.flac");
    writeTone(flac, SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 44100, 1, 441000, 440.0);
    Bytes bytes = readFile(flac);
    ASSERT_EQ(std::memcmp(bytes.data(), "fLaC", 4), 0);
    bytes[21] &= 0xF0;  // the 36-bit count: the low half of byte 21 and bytes 22 to 25
    putBe32(bytes, 22, 1000);
    writeFile(low, bytes);
    const Decoded whole = decode(flac), lowered = decode(low);
    EXPECT_EQ(lowered.reader->frameCount(), 1000u);
    EXPECT_EQ(lowered.reader->framesRead(), 441000u);
    EXPECT_EQ(lowered.samples, whole.samples);
    EXPECT_TRUE(lowered.reader->heldMoreThanDeclared());
    EXPECT_FALSE(whole.reader->heldMoreThanDeclared());
    const Captured run = bpm(low);
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.err.find("Warning: " + low +
                           " held more audio than its header declared: read 441000 frames, "
                           "its header declared 1000\n"),
              std::string::npos)
        << run.err;

    // Two MP3 files joined: a second of 440 Hz, then two of 660 Hz. The first one's Info
    // header counts only its own second; the second file's tone is read too.
    const std::string a = dir.file("a.mp3"), b = dir.file("b.mp3"), ab = dir.file("ab.mp3");
    writeTone(a, SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III, 44100, 1, 44100, 440.0);
    writeTone(b, SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III, 44100, 1, 88200, 660.0);
    joinFiles(a, b, ab);
    const Decoded joined = decode(ab);
    EXPECT_EQ(joined.reader->declaredFrameCount(), 44100u);
    // At the joint, the second file's Info frame and its encoder's delay come as silence.
    EXPECT_GE(joined.reader->framesRead(), 44100u + 88200u);
    EXPECT_LE(joined.reader->framesRead(), 44100u + 88200u + 3000u);
    ASSERT_GE(joined.samples.size(), 44100u);
    EXPECT_NEAR(rms(joined.samples.data() + joined.samples.size() - 44100, 44100), 0.35, 0.03);
    EXPECT_TRUE(joined.reader->heldMoreThanDeclared());
    EXPECT_FALSE(joined.reader->leftOut().any);
}

TEST_F(CompressedLengths, ChainedOggStreamsAreReadLinkByLink) {
    struct Case {
        const char* name;
        int format, rate;
    };
    for (const Case& c : {Case{"vorbis", SF_FORMAT_OGG | SF_FORMAT_VORBIS, 44100},
                          Case{"opus", SF_FORMAT_OGG | SF_FORMAT_OPUS, 48000}}) {
        SCOPED_TRACE(c.name);
        const std::string a = dir.file(std::string(c.name) + "-a.ogg");
        const std::string b = dir.file(std::string(c.name) + "-b.ogg");
        const std::string ab = dir.file(std::string(c.name) + "-ab.ogg");
        writeTone(a, c.format, c.rate, 1, c.rate, 440.0);
        writeTone(b, c.format, c.rate, 1, 2 * c.rate, 660.0);
        joinFiles(a, b, ab);
        const Decoded first = decode(a), second = decode(b), chained = decode(ab);
        // Counted through every link before reading, and read to the last.
        EXPECT_EQ(chained.reader->frameCount(), 3u * c.rate);
        std::vector<float> expected = first.samples;
        expected.insert(expected.end(), second.samples.begin(), second.samples.end());
        EXPECT_EQ(chained.samples, expected);
        EXPECT_FALSE(chained.reader->endedEarly());
        EXPECT_FALSE(chained.reader->leftOut().any);
        // From a pipe, the links are found as the bytes go by.
        const Bytes bytes = readFile(ab);
        std::stringstream pipe(std::string(bytes.begin(), bytes.end()));
        EXPECT_EQ(decode(ab, &pipe).samples, expected);
    }

    // A further stream at another rate and with two channels cannot go on as the same
    // audio: the first is read, and the user told how much was not.
    const std::string a = dir.file("vorbis-a.ogg"), other = dir.file("other.ogg");
    const std::string mixed = dir.file("mixed.ogg");
    writeTone(other, SF_FORMAT_OGG | SF_FORMAT_VORBIS, 48000, 2, 48000, 330.0);
    joinFiles(a, other, mixed);
    const Decoded decoded = decode(mixed);
    EXPECT_EQ(decoded.reader->frameCount(), 44100u);
    EXPECT_EQ(decoded.reader->framesRead(), 44100u);
    const AudioReader::LeftOut rest = decoded.reader->leftOut();
    EXPECT_TRUE(rest.any);
    EXPECT_EQ(rest.sampleRate, 48000);
    EXPECT_EQ(rest.channels, 2);
    EXPECT_EQ(rest.bytes, static_cast<int64_t>(readFile(other).size()));
    const Captured run = bpm(mixed);
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(
        run.err.find("Warning: " + mixed + " was read only in part: 44100 frames; left out: " +
                     std::to_string(rest.bytes) +
                     " bytes at its end in another format (48000 Hz, 2 channels)\n"),
        std::string::npos)
        << run.err;
}

TEST_F(CompressedLengths, Mp3LengthClaimsAreCheckedAgainstTheBytes) {
    // An Info header claiming 2^31 frames of a one-second file: the claim is dropped, the
    // length is unknown as from a pipe, and the file is read to its end and split.
    const std::string mp3 = dir.file("claim.mp3");
    writeTone(mp3, SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III, 44100, 2, 44100, 440.0);
    Bytes bytes = readFile(mp3);
    const std::string text(bytes.begin(), bytes.begin() + std::min<size_t>(bytes.size(), 1024));
    size_t tag = text.find("Info");
    if (tag == std::string::npos) tag = text.find("Xing");
    ASSERT_NE(tag, std::string::npos);
    ASSERT_NE(bytes[tag + 7] & 1, 0) << "no frame count in the header";
    putBe32(bytes, tag + 8, (1u << 31) / 1152 + 1);
    writeFile(mp3, bytes);
    const Decoded decoded = decode(mp3);
    EXPECT_EQ(decoded.reader->frameCount(), AudioReader::kUnknownFrameCount);
    // With its length unknown, the encoder's padding at the end (under a frame) stays.
    const uint64_t frames = decoded.reader->framesRead();
    EXPECT_GE(frames, 44100u);
    EXPECT_LT(frames, 44100u + 1152u);
    EXPECT_FALSE(decoded.reader->endedEarly());
    const std::string out = dir.file("stems");
    std::filesystem::create_directory(out);
    const Captured split = runDispatch({"trackloom", "--split", mp3, out});
    EXPECT_EQ(split.status, 0) << split.err;
    EXPECT_EQ(AudioDSP::LoadWav(out + "/vocals.wav").samples.size(), 2 * frames);
}

TEST_F(CompressedLengths, BytesThatOnlyLookLikeMp3AreRefusedInOneReasonAndNoNoise) {
    // A frame header, then noise: the decoder searches it all for frames and finds none.
    Bytes junk = {0xFF, 0xFB, 0x90, 0x64};
    uint32_t state = 12345;
    for (int i = 0; i < 200000; ++i) {
        state = state * 1103515245u + 12345u;
        junk.push_back(static_cast<unsigned char>(state >> 24));
    }
    const std::string path = dir.file("junk.mp3");
    writeFile(path, junk);
    // The decoder prints from inside the library, so the program runs as a process of its
    // own and all of its standard error is looked at.
    const std::string err =
        commandOutput("'" + std::string(TRACKLOOM_EXE) + "' --bpm '" + path + "' 2>&1 >/dev/null");
    EXPECT_EQ(err, "Failed to read audio file: " + path +
                       "\n  the MP3 decoder refused it: the file is damaged or uses an encoding "
                       "it does not take\n")
        << err.substr(0, 2000);
}
