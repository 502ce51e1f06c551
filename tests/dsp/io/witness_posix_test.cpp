// Independent witnesses: files written by sox and ffmpeg, files read by Python's wave module,
// and Python re-implementations of the separator and the demo track, compared bit for bit.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "dsp/audio_dsp.h"
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
