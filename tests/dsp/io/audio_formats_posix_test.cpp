// The formats users keep: one generated song converted by sox and ffmpeg into each of them,
// split by the program, and the stems compared with those of the song as WAV; the output
// formats read back by sox.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "dsp/audio_dsp.h"
#include "dsp/io/audio_reader.h"
#include "dsp/io/audio_writer.h"
#include "dsp/separation/filter/stem_separator.h"
#include "test_support.h"

using namespace Trackloom;
using namespace Trackloom::io;
using namespace TrackloomTest;

namespace {

std::string q(const std::string& s) {
    return "'" + s + "'";
}

int sh(const std::string& command) {
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Raw samples as sox decodes them: `type` is s16, s32 or f32.
template <class T>
std::vector<T> soxSamples(const std::string& path, const char* type, const std::string& raw) {
    EXPECT_EQ(sh("sox " + q(path) + " -t " + type + " " + q(raw)), 0) << path;
    const Bytes bytes = readFile(raw);
    std::vector<T> out(bytes.size() / sizeof(T));
    if (!out.empty()) std::memcpy(out.data(), bytes.data(), out.size() * sizeof(T));
    return out;
}

// The lag, within +-`range` samples, at which the left channel of `b` best matches `a`'s.
long bestLag(const AudioBuffer& a, const AudioBuffer& b, long range) {
    long best = 0;
    double bestScore = -1e300;
    const long frames = static_cast<long>(a.samples.size() / 2);
    for (long lag = -range; lag <= range; ++lag) {
        double score = 0.0;
        for (long i = range; i + range < frames; ++i) {
            score += static_cast<double>(a.samples[2 * i]) * b.samples[2 * (i + lag)];
        }
        if (score > bestScore) bestScore = score, best = lag;
    }
    return best;
}

// One song for every test: the demo track (drums, bass, chords, a melody; no two stretches
// alike) made stereo by sox, as 16-bit WAV and, quieter so the low bits are used, 24-bit.
class AudioFormats : public ::testing::Test {
  protected:
    void SetUp() override {
        if (sh("command -v sox >/dev/null && command -v ffmpeg >/dev/null") != 0) {
            GTEST_SKIP() << "sox and ffmpeg are needed";
        }
        const std::string mono = dir.file("mono.wav");
        ASSERT_TRUE(AudioDSP::SaveWav(mono, AudioDSP::CreateDemoSong(4.0f, 44100)));
        ASSERT_EQ(sh("sox " + q(mono) + " -c 2 " + q(song16) + " remix 1v0.9 1v0.7"), 0);
        ASSERT_EQ(sh("sox -D " + q(mono) + " -c 2 -b 24 " + q(song24) + " remix 1v0.83 1v0.61"), 0);
    }

    // Runs the program with `args` (quoted), after `before` (a pipe into it); the status,
    // and its standard error in `err`.
    int run(const std::string& args, const std::string& before = "") {
        const int status =
            sh(before + q(TRACKLOOM_EXE) + " " + args + " >/dev/null 2>" + q(dir.file("err")));
        const Bytes bytes = readFile(dir.file("err"));
        err.assign(bytes.begin(), bytes.end());
        return status;
    }

    // Splits `input` into a new directory `name`.d; the status.
    int split(const std::string& input, const std::string& name, const std::string& extra = "",
              const std::string& before = "") {
        std::filesystem::create_directory(dir.file(name + ".d"));
        return run("--split " + q(input) + " " + q(dir.file(name + ".d")) + extra, before);
    }

    // The stems of `a` that differ from `b`'s, as "vocals drums ...".
    std::string differingStems(const std::string& a, const std::string& b) {
        std::string differ;
        for (const char* stem : kStemNames) {
            const std::string name = std::string("/") + stem + ".wav";
            if (!sameFile(dir.file(a + ".d") + name, dir.file(b + ".d") + name)) {
                differ += stem;
            }
        }
        return differ;
    }

    TempDir dir;
    const std::string song16 = dir.file("song16.wav"), song24 = dir.file("song24.wav");
    std::string err;
};

}  // namespace

TEST_F(AudioFormats, LosslessInputsGiveTheStemsOfTheSameAudioAsWav) {
    ASSERT_EQ(sh("sox " + q(song24) + " -e floating-point " + q(dir.file("songf.wav"))), 0);
    for (const char* wav : {"song16.wav", "song24.wav", "songf.wav"}) {
        ASSERT_EQ(split(dir.file(wav), wav), 0);
    }
    const std::vector<std::array<std::string, 3>> cases = {
        {"a.flac", "sox " + q(song16) + " ", "song16.wav"},
        {"b.flac", "ffmpeg -v error -i " + q(song24) + " -c:a flac ", "song24.wav"},
        {"c.aiff", "sox " + q(song16) + " ", "song16.wav"},
        {"d.aifc", "sox " + q(song24) + " -t aifc ", "song24.wav"},
        {"e.w64", "sox " + q(song24) + " ", "song24.wav"},
        {"f.w64", "sox " + q(song24) + " -e floating-point ", "songf.wav"},
        {"g.au", "sox " + q(song16) + " ", "song16.wav"},
        {"h.rifx", "sox " + q(song16) + " -B -t wav ", "song16.wav"},
    };
    for (const auto& [file, command, reference] : cases) {
        // Named .wav: the decoder is chosen by the bytes, never the name.
        ASSERT_EQ(sh(command + q(dir.file(file)) + " && mv " + q(dir.file(file)) + " " +
                     q(dir.file(file + ".wav"))),
                  0);
        ASSERT_EQ(split(dir.file(file + ".wav"), file), 0) << file << ": " << err;
        EXPECT_EQ(differingStems(file, reference), "") << file;
    }
}

TEST_F(AudioFormats, LossyInputsKeepTheirLengthAndMp3LinesUp) {
    ASSERT_EQ(split(song16, "wav"), 0);
    for (const char* codec : {"libmp3lame", "libvorbis", "libopus"}) {
        const std::string file = dir.file(codec) + (codec[3] == 'm' ? ".mp3" : ".ogg");
        ASSERT_EQ(sh("ffmpeg -v error -i " + q(song16) + " -c:a " + codec + " " + q(file)), 0);
        ASSERT_EQ(split(file, codec), 0) << err;
        const AudioBuffer original = AudioDSP::LoadWav(dir.file("wav.d/other.wav"));
        const AudioBuffer decoded = AudioDSP::LoadWav(dir.file(codec) + ".d/other.wav");
        // Opus decodes at 48 kHz; the others at the song's rate, to the very sample.
        const size_t rate = codec[3] == 'o' ? 48000 : 44100;
        EXPECT_EQ(decoded.samples.size(), 2 * 4 * rate) << codec;
        // The MP3 encoder's delay (over 1100 samples) is gone: no shift against the original.
        if (codec[3] == 'm') {
            EXPECT_EQ(bestLag(original, decoded, 1200), 0);
        }
    }
}

TEST_F(AudioFormats, StandardInputIsReadFromAPipe) {
    ASSERT_EQ(sh("sox " + q(song16) + " " + q(dir.file("s.flac")) + " && ffmpeg -v error -i " +
                 q(song16) + " " + q(dir.file("s.mp3")) + " " + q(dir.file("s.ogg"))),
              0);
    for (const std::string file : {"song16.wav", "s.flac", "s.mp3", "s.ogg"}) {
        ASSERT_EQ(split(dir.file(file), file), 0) << file;
        ASSERT_EQ(split("-", file + "-", "", "cat " + q(dir.file(file)) + " | "), 0) << err;
        EXPECT_EQ(differingStems(file + "-", file), "") << file;
    }
    // An AIFF longer than what a pipe keeps: its parser looks for chunks after the samples
    // and must come back. Refused with a clear message, not read as silence.
    const std::string aiff = dir.file("long.aiff");
    ASSERT_EQ(sh("sox " + q(song16) + " " + q(aiff) + " repeat 2"), 0);
    EXPECT_EQ(split("-", "aiff", "", "cat " + q(aiff) + " | "), 1);
    EXPECT_NE(err.find("Failed to read audio file: -\n  AIFF cannot be read from a pipe; give the "
                       "file's name, or convert it on the way in: ffmpeg -i FILE -f wav - | "
                       "trackloom --split - DIR\n"),
              std::string::npos)
        << err;
    EXPECT_TRUE(std::filesystem::is_empty(dir.file("aiff.d")));
}

TEST_F(AudioFormats, UnsupportedFilesSayWhatTheyAreAndHowToConvertThem) {
    const std::vector<std::array<std::string, 3>> cases = {
        {"song.m4a", "-c:a aac", "AAC/M4A"},
        {"song.wma", "-c:a wmav2", "WMA"},
        {"clip.mp4", "-f lavfi -i testsrc=duration=1:size=64x48 -shortest -c:v mpeg4", "video"},
    };
    for (const auto& [file, options, named] : cases) {
        const std::string input = dir.file(file);
        ASSERT_EQ(sh("ffmpeg -v error -i " + q(song16) + " " + options + " " + q(input)), 0);
        EXPECT_EQ(split(input, "out"), 1);
        EXPECT_NE(err.find(named), std::string::npos) << err;
        EXPECT_NE(err.find("ffmpeg -i " + input + " -f wav - | trackloom --split - DIR"),
                  std::string::npos)
            << err;
        EXPECT_TRUE(std::filesystem::is_empty(dir.file("out.d"))) << file;
    }
    // The pipe that the message shows does read it.
    EXPECT_EQ(
        split("-", "out", "", "ffmpeg -v error -i " + q(dir.file("song.m4a")) + " -f wav - | "), 0);
    EXPECT_TRUE(std::filesystem::exists(dir.file("out.d/vocals.wav")));
}

TEST_F(AudioFormats, TruncatedFilesGiveEverythingBeforeTheCut) {
    ASSERT_EQ(sh("sox " + q(song16) + " " + q(dir.file("s.flac")) + " && ffmpeg -v error -i " +
                 q(song16) + " " + q(dir.file("s.mp3"))),
              0);
    for (const std::string file : {"s.flac", "s.mp3"}) {
        const Bytes whole = readFile(dir.file(file));
        const std::string cut = dir.file("cut-" + file);
        writeFile(cut,
                  Bytes(whole.begin(), whole.begin() + static_cast<long>(whole.size() * 6 / 10)));
        std::vector<float> samples[2];
        std::unique_ptr<AudioReader> readers[2];
        for (int k = 0; k < 2; ++k) {
            OpenedAudio opened = OpenAudio(k == 0 ? dir.file(file) : cut);
            ASSERT_EQ(opened.status, AudioStatus::Ok) << file;
            readers[k] = std::move(opened.reader);
            std::vector<float> block(2 * 4096);
            while (const size_t n = readers[k]->readFrames(block.data(), 4096)) {
                samples[k].insert(samples[k].end(), block.begin(), block.begin() + 2 * n);
            }
        }
        EXPECT_EQ(readers[0]->framesRead(), 4u * 44100) << file;
        EXPECT_FALSE(readers[0]->endedEarly()) << file;
        // The header still declares the whole song; what was read says it was cut...
        EXPECT_EQ(readers[1]->frameCount(), 4u * 44100) << file;
        EXPECT_TRUE(readers[1]->endedEarly()) << file;
        // ...and all that decodes before the cut is there, as the whole file gives it.
        EXPECT_GT(readers[1]->framesRead(), 4u * 44100 / 3) << file;
        ASSERT_LE(samples[1].size(), samples[0].size());
        EXPECT_TRUE(std::equal(samples[1].begin(), samples[1].end(), samples[0].begin())) << file;
        EXPECT_EQ(split(cut, "split-" + file), 0) << file;
    }
}

TEST_F(AudioFormats, EachOutputFormatHoldsTheSameStems) {
    ASSERT_EQ(split(song24, "wav16"), 0);
    ASSERT_EQ(split(song24, "wav24", " --depth 24"), 0);
    ASSERT_EQ(split(song24, "wavf", " --format wav --depth float"), 0);
    ASSERT_EQ(split(song24, "flac16", " --format flac"), 0);
    ASSERT_EQ(split(song24, "flac24", " --format flac --depth 24"), 0);

    // The separator's own floats, in process, for what the files must hold.
    const AudioBuffer song = AudioDSP::LoadWav(song24);
    const size_t n = song.samples.size();
    std::vector<float> stems[4];
    for (auto& s : stems) s.resize(n);
    separation::filter::StemSeparator(song.sampleRate, song.channels)
        .process(song.samples.data(), n / 2, stems[0].data(), stems[1].data(), stems[2].data(),
                 stems[3].data());

    const std::string raw = dir.file("sox.raw");
    for (size_t k = 0; k < 4; ++k) {
        const std::string stem = kStemNames[k];
        SCOPED_TRACE(stem);
        // The floats themselves, as the project's reader sees them, and as sox does, which
        // passes them through 32-bit integers on the way.
        EXPECT_EQ(AudioDSP::LoadWav(dir.file("wavf.d/" + stem + ".wav")).samples, stems[k]);
        const std::vector<float> bySox =
            soxSamples<float>(dir.file("wavf.d/" + stem + ".wav"), "f32", raw);
        ASSERT_EQ(bySox.size(), n);
        for (size_t i = 0; i < n; ++i) ASSERT_NEAR(bySox[i], stems[k][i], 1e-7) << i;

        std::vector<int16_t> expected16(n);
        EncodeS16(stems[k].data(), n, reinterpret_cast<unsigned char*>(expected16.data()));
        EXPECT_EQ(soxSamples<int16_t>(dir.file("wav16.d/" + stem + ".wav"), "s16", raw),
                  expected16);
        EXPECT_EQ(soxSamples<int16_t>(dir.file("flac16.d/" + stem + ".flac"), "s16", raw),
                  expected16);

        std::vector<int32_t> expected24(n);
        EncodeS24(stems[k].data(), n, expected24.data());
        for (auto& v : expected24) v = static_cast<int32_t>(static_cast<uint32_t>(v) << 8);
        EXPECT_EQ(soxSamples<int32_t>(dir.file("wav24.d/" + stem + ".wav"), "s32", raw),
                  expected24);
        EXPECT_EQ(soxSamples<int32_t>(dir.file("flac24.d/" + stem + ".flac"), "s32", raw),
                  expected24);
    }
    // FLAC holds no floats; nothing is written for a combination refused.
    EXPECT_EQ(split(song24, "refused", " --format flac --depth float"), 1);
    EXPECT_NE(err.find("float"), std::string::npos) << err;
    EXPECT_TRUE(std::filesystem::is_empty(dir.file("refused.d")));
}
