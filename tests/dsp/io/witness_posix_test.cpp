// Independent witnesses: files written by sox and ffmpeg, files read by Python's wave module,
// and Python re-implementations of the separator and the demo track, compared bit for bit.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "dsp/audio_dsp.h"
#include "dsp/io/audio_writer.h"
#include "test_support.h"

using namespace Trackloom;
using namespace Trackloom::io;
using namespace TrackloomTest;

namespace {

bool have(const char* tool) {
    return std::system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) == 0;
}

int sh(const std::string& command) {
    return std::system(command.c_str());
}

std::string q(const std::string& s) {
    return "'" + s + "'";
}

const std::string kReference = std::string(TRACKLOOM_SOURCE_DIR) + "/tests/reference/";

}  // namespace

TEST(Witness, FilesWrittenBySoxAndFfmpegReadAsTheCanonicalFile) {
    if (!have("sox") || !have("ffmpeg")) GTEST_SKIP() << "sox and ffmpeg are needed";
    TempDir dir;
    const std::string canonical = dir.file("canonical.wav");
    writeFile(canonical, buildS16Wav(makeTestSignal(2 * 4000, 21), 2));
    const AudioBuffer expected = AudioDSP::LoadWav(canonical);
    ASSERT_EQ(expected.samples.size(), 8000u);

    const std::vector<std::pair<std::string, std::string>> conversions = {
        {"sox16.wav", "sox " + q(canonical) + " " + q(dir.file("sox16.wav"))},
        {"sox24.wav", "sox " + q(canonical) + " -b 24 " + q(dir.file("sox24.wav"))},
        {"soxf32.wav", "sox " + q(canonical) + " -e floating-point " + q(dir.file("soxf32.wav"))},
        {"ff16.wav", "ffmpeg -v error -y -i " + q(canonical) + " " + q(dir.file("ff16.wav"))},
        {"ff24.wav",
         "ffmpeg -v error -y -i " + q(canonical) + " -c:a pcm_s24le " + q(dir.file("ff24.wav"))},
        {"fff64.wav",
         "ffmpeg -v error -y -i " + q(canonical) + " -c:a pcm_f64le " + q(dir.file("fff64.wav"))},
        // Written to a pipe, ffmpeg cannot come back to fill in the sizes.
        {"ffpipe.wav",
         "ffmpeg -v error -i " + q(canonical) + " -f wav - > " + q(dir.file("ffpipe.wav"))},
    };
    for (const auto& [name, command] : conversions) {
        ASSERT_EQ(sh(command), 0) << command;
        const AudioBuffer b = AudioDSP::LoadWav(dir.file(name));
        EXPECT_EQ(b.channels, 2) << name;
        EXPECT_EQ(b.sampleRate, 44100) << name;
        EXPECT_EQ(b.samples, expected.samples) << name;
    }
    // The ffmpeg files really do carry what the reader must walk past.
    const Bytes ff = readFile(dir.file("ffpipe.wav"));
    EXPECT_EQ(std::string(ff.begin() + 36, ff.begin() + 40), "LIST");
}

TEST(Witness, PythonWaveReadsWhatWeWrite) {
    if (!have("python3")) GTEST_SKIP() << "python3 is needed";
    TempDir dir;
    AudioBuffer b;
    b.sampleRate = 32000;
    b.channels = 2;
    b.samples = {0.0f, 1.0f, -1.0f, 0.5f, -0.25f, 2.0f};
    ASSERT_TRUE(AudioDSP::SaveWav(dir.file("w.wav"), b));
    const std::string out = commandOutput(
        "python3 -c \"import wave,struct,sys; w=wave.open(sys.argv[1]); n=w.getnframes(); "
        "print(w.getnchannels(), w.getsampwidth(), w.getframerate(), n, "
        "*struct.unpack('<%dh' % (2*n), w.readframes(n)))\" " +
        q(dir.file("w.wav")));
    EXPECT_EQ(out, "2 2 32000 3 0 32767 -32767 16383 -8191 32767\n");
}

TEST(Witness, SeparatorMatchesAnIndependentImplementation) {
    if (!have("python3")) GTEST_SKIP() << "python3 is needed";
    TempDir dir;
    for (uint16_t channels : {uint16_t{1}, uint16_t{2}}) {
        const std::string in = dir.file("in" + std::to_string(channels) + ".wav");
        writeFile(in, buildS16Wav(makeTestSignal(channels * 12000u, 30 + channels), channels));
        const std::string refDir = dir.file("ref" + std::to_string(channels));
        std::filesystem::create_directory(refDir);
        ASSERT_EQ(sh("python3 " + q(kReference + "stems.py") + " " + q(in) + " " + q(refDir)), 0);
        const StemSet stems = AudioDSP::SeparateStems(AudioDSP::LoadWav(in));
        const AudioBuffer* ours[] = {&stems.vocals, &stems.drums, &stems.bass, &stems.other};
        for (size_t k = 0; k < 4; ++k) {
            const std::string path = dir.file(std::string("ours-") + kStems[k]);
            ASSERT_TRUE(AudioDSP::SaveWav(path, *ours[k]));
            EXPECT_EQ(readFile(path), readFile(refDir + "/" + kStems[k]))
                << kStems[k] << ", " << channels << " channel(s)";
        }
    }
}

TEST(Witness, DemoTrackMatchesAnIndependentImplementation) {
    if (!have("python3")) GTEST_SKIP() << "python3 is needed";
    TempDir dir;
    ASSERT_EQ(sh("python3 " + q(kReference + "demo.py") + " " + q(dir.file("ref.wav"))), 0);
    ASSERT_TRUE(AudioDSP::SaveWav(dir.file("ours.wav"), AudioDSP::CreateDemoSong(3.0f, 44100)));
    EXPECT_EQ(readFile(dir.file("ours.wav")), readFile(dir.file("ref.wav")));
}

TEST(Witness, DemoCommandWritesItsFixedPaths) {
    const std::string out =
        commandOutput(std::string(TRACKLOOM_EXE) + " --demo extra 2>&1; echo status=$?");
    EXPECT_NE(out.find("SUCCESS! Exported 4 stems to /tmp/demo_*.wav\n"), std::string::npos) << out;
    EXPECT_NE(out.find("status=0"), std::string::npos) << out;
    for (const char* name : {"mix", "vocals", "drums", "bass", "other"}) {
        EXPECT_EQ(readFile(std::string("/tmp/demo_") + name + ".wav").size(), 264644u) << name;
    }
}

// Every depth and format the split writes, mono, stereo and six channels, and the JUNK chunk
// a stream of unknown length leaves, is read by sox, ffmpeg and Python's soundfile without a
// word of warning, as the samples we meant.
TEST(Witness, OtherProgramsReadEveryStemFormatCleanly) {
    // Debian's Python, which has numpy and soundfile whatever else is first on the path.
    const std::string python = "/usr/bin/python3";
    if (!have("sox") || !have("ffmpeg") ||
        sh(python + " -c 'import numpy, soundfile' 2>/dev/null") != 0) {
        GTEST_SKIP() << "sox, ffmpeg and python3-soundfile are needed";
    }
    TempDir dir;
    std::vector<float> samples(6 * 3000);
    for (size_t i = 0; i < samples.size(); ++i) samples[i] = 0.5f * std::sin(0.01f * i);
    struct Case {
        const char* name;
        OutputFormat format;
        int32_t channels;
        uint64_t frameCount;
    };
    const Case cases[] = {
        {"s16.wav", {OutputFormat::Kind::Wav, OutputFormat::Depth::S16}, 2, 3000},
        {"s16pipe.wav", {OutputFormat::Kind::Wav, OutputFormat::Depth::S16}, 2, kUnknownLength},
        {"s24.wav", {OutputFormat::Kind::Wav, OutputFormat::Depth::S24}, 1, 3000},
        {"s24six.wav", {OutputFormat::Kind::Wav, OutputFormat::Depth::S24}, 6, kUnknownLength},
        {"f32.wav", {OutputFormat::Kind::Wav, OutputFormat::Depth::Float}, 2, 3000},
        {"f32six.wav", {OutputFormat::Kind::Wav, OutputFormat::Depth::Float}, 6, 3000},
        {"s16.flac", {OutputFormat::Kind::Flac, OutputFormat::Depth::S16}, 2, 3000},
        {"s24.flac", {OutputFormat::Kind::Flac, OutputFormat::Depth::S24}, 6, 3000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.file(c.name);
        FileOutput file;
        ASSERT_TRUE(file.open(path));
        auto writer = MakeAudioWriter(file, c.format, 44100, c.channels, c.frameCount);
        ASSERT_TRUE(writer->writeFrames(samples.data(), 3000));
        ASSERT_TRUE(writer->finish());
        ASSERT_TRUE(file.commit());
        // sox says what it dislikes on standard error even when it reads the file.
        const std::string soxErr = dir.file("sox.err");
        ASSERT_EQ(sh("sox " + q(path) + " -n stat 2>" + q(soxErr)), 0);
        const Bytes said = readFile(soxErr);
        const std::string soxText(said.begin(), said.end());
        EXPECT_EQ(soxText.find("WARN"), std::string::npos) << soxText;
        // ffmpeg notes the layout it assumes for any WAV without a channel mask, its own
        // included; that note aside it must have nothing to say.
        EXPECT_EQ(sh("ffmpeg -v warning -xerror -i " + q(path) + " -f null - 2>&1 | grep -v " +
                     "'Guessed Channel Layout' >" + q(soxErr)),
                  256);
        EXPECT_TRUE(readFile(soxErr).empty()) << c.name;
        // soundfile gives the samples back, to the depth's step.
        const std::string check =
            "import soundfile, numpy, sys, warnings\n"
            "warnings.simplefilter('error')\n"
            "x, rate = soundfile.read(sys.argv[1], dtype='float32', always_2d=True)\n"
            "n = numpy.arange(x.size, dtype=numpy.float32)\n"
            "want = (numpy.float32(0.5) * numpy.sin(numpy.float32(0.01) * n)).reshape(x.shape)\n"
            "assert rate == 44100 and x.shape == (3000, int(sys.argv[2])), x.shape\n"
            "assert numpy.abs(x - want).max() < 2.0 / 32767, numpy.abs(x - want).max()\n";
        writeFile(dir.file("check.py"), Bytes(check.begin(), check.end()));
        EXPECT_EQ(sh(python + " " + q(dir.file("check.py")) + " " + q(path) + " " +
                     std::to_string(c.channels)),
                  0);
    }
}
