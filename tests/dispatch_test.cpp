#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "app/commands.h"
#include "dsp/audio_dsp.h"
#include "test_support.h"

using namespace TrackloomTest;

namespace {

const char* const kUsage =
    "========================================================\n"
    "  Trackloom AI\n"
    "  Local Offline Audio Stem Separation Workstation\n"
    "========================================================\n\n"
    "Usage:\n"
    "  prog [options]\n\n"
    "Options:\n"
    "  --gui                     Launch native graphical user interface (Default if no args)\n"
    "  --split <audio.wav> [DIR] Split audio into 4 stems (vocals, drums, bass, other)\n"
    "  --bpm <audio.wav>         Analyze BPM tempo and musical scale key\n"
    "  --demo                    Run procedural musical synthesis & separate stems\n"
    "  --help, -h                Show this text\n"
    "  --version                 Print the program's version\n\n";

using Result = Captured;

Result run(std::vector<std::string> args) {
    return runDispatch(std::move(args));
}

}  // namespace

TEST(Dispatch, UsageTextAndStatuses) {
    for (const char* help : {"--help", "-h"}) {
        const Result r = run({"prog", help, "extra", "words"});
        EXPECT_EQ(r.status, 0) << help;
        EXPECT_EQ(r.out, kUsage) << help;
        EXPECT_EQ(r.err, "");
    }
    for (std::vector<std::string> args : {std::vector<std::string>{"prog", "--Split", "a.wav"},
                                          {"prog", "--split"},
                                          {"prog", "--bpm"},
                                          {"prog", "bogus"},
                                          {"prog", ""}}) {
        const Result r = run(args);
        EXPECT_EQ(r.status, 1) << args[1];
        EXPECT_EQ(r.out, kUsage) << args[1];
    }
}

TEST(Dispatch, MissingProgramNamePrintsTrackloom) {
    testing::internal::CaptureStdout();
    PrintUsage(nullptr);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("  trackloom [options]\n"), std::string::npos);
}

class SplitCommand : public testing::Test {
  protected:
    void SetUp() override {
        input = dir.file("song.wav");
        writeFile(input, buildS16Wav(makeTestSignal(2 * 3000), 2));
        std::filesystem::create_directory(dir.file("out"));
    }
    TempDir dir;
    std::string input;
};

TEST_F(SplitCommand, WritesFourStemsAndReportsSuccess) {
    const Result r = run({"prog", "--split", input, dir.file("out"), "ignored"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Successfully split " + input + " into 4 stems in " + dir.file("out") + "\n");
    EXPECT_EQ(r.err, "ignoring extra argument 'ignored'\n");
    for (const char* stem : kStems) {
        EXPECT_EQ(readFile(dir.file("out") + "/" + stem).size(), 44u + 2 * 2 * 3000) << stem;
    }
    // A trailing slash is kept as typed: out//vocals.wav names the same files.
    const Result slash = run({"prog", "--split", input, dir.file("out") + "/"});
    EXPECT_EQ(slash.status, 0);
    EXPECT_NE(slash.out.find(" into 4 stems in " + dir.file("out") + "/\n"), std::string::npos);
}

TEST_F(SplitCommand, DefaultsToTmp) {
    const Result r = run({"prog", "--split", input});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Successfully split " + input + " into 4 stems in /tmp\n");
    ASSERT_EQ(run({"prog", "--split", input, dir.file("out")}).status, 0);
    for (const char* stem : kStems) {
        EXPECT_EQ(readFile(std::string("/tmp/") + stem), readFile(dir.file("out") + "/" + stem))
            << stem;
    }
}

TEST_F(SplitCommand, UnreadableInputCreatesNothing) {
    writeFile(dir.file("empty.wav"), buildS16Wav({}));
    writeFile(dir.file("text.wav"), {'h', 'e', 'l', 'l', 'o'});
    for (const std::string& bad :
         {dir.file("missing.wav"), dir.file("empty.wav"), dir.file("text.wav")}) {
        const Result r = run({"prog", "--split", bad, dir.file("out/new")});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        // The line scripts read, then one indented line saying why.
        EXPECT_EQ(r.err.find("Failed to read audio file: " + bad + "\n  "), 0u) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 2) << r.err;
        EXPECT_TRUE(std::filesystem::is_empty(dir.file("out")));
    }
}

TEST_F(SplitCommand, WriteFailuresAreReportedPerStem) {
    // A directory that cannot be made: every stem is named, and the reason given once.
    writeFile(dir.file("plain-file"), {'x'});
    const std::string blocked = dir.file("plain-file/sub");
    const Result r = run({"prog", "--split", input, blocked});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    std::string expected;
    for (const char* stem : kStems)
        expected += "Failed to write audio file: " + blocked + "/" + stem + "\n";
    expected += "  cannot create the output directory " + blocked + ": ";
    EXPECT_EQ(r.err.substr(0, expected.size()), expected);
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 5) << r.err;

    // One blocked stem fails alone; the other three are written.
    std::filesystem::create_directory(dir.file("out/drums.wav"));
    const Result one = run({"prog", "--split", input, dir.file("out")});
    EXPECT_EQ(one.status, 1);
    // The system's words for a directory in the way differ; the lines around them do not.
    EXPECT_EQ(one.err.find("Failed to write audio file: " + dir.file("out") + "/drums.wav\n  "), 0u)
        << one.err;
    EXPECT_EQ(std::count(one.err.begin(), one.err.end(), '\n'), 2) << one.err;
    EXPECT_TRUE(std::filesystem::is_regular_file(dir.file("out/vocals.wav")));
    EXPECT_TRUE(std::filesystem::is_regular_file(dir.file("out/other.wav")));
    EXPECT_TRUE(std::filesystem::is_directory(dir.file("out/drums.wav")));
    size_t entries = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir.file("out"))) {
        EXPECT_EQ(e.path().extension(), ".wav") << "left behind: " << e.path();
        ++entries;
    }
    EXPECT_EQ(entries, 4u);
}

TEST_F(SplitCommand, StreamedStemsEqualTheWholeBufferPath) {
    ASSERT_EQ(run({"prog", "--split", input, dir.file("out")}).status, 0);
    const Trackloom::StemSet stems =
        Trackloom::AudioDSP::SeparateStems(Trackloom::AudioDSP::LoadWav(input));
    const Trackloom::AudioBuffer* buffers[] = {&stems.vocals, &stems.drums, &stems.bass,
                                               &stems.other};
    for (size_t k = 0; k < 4; ++k) {
        ASSERT_TRUE(
            Trackloom::AudioDSP::SaveWav(dir.file(std::string("whole-") + kStems[k]), *buffers[k]));
        EXPECT_EQ(readFile(dir.file("out") + "/" + kStems[k]),
                  readFile(dir.file(std::string("whole-") + kStems[k])))
            << kStems[k];
    }
}

TEST(DemoCommand, WritesFiveFilesAndPrintsFiveLines) {
    TempDir dir;
    CaptureOutput capture;
    const int status = TrackloomApp::RunDemo(dir.path().string());
    EXPECT_EQ(status, 0);
    EXPECT_EQ(capture.err(), "");
    // The demo track is 120 BPM over A, C and E: the estimators must hear exactly that.
    EXPECT_EQ(capture.out(),
              "Generating procedural test track (3.0s, 44.1kHz)...\n"
              "Running spectral HPSS stem separation...\n"
              "SUCCESS! Exported 4 stems to " +
                  dir.path().string() +
                  "/demo_*.wav\n"
                  "Estimated BPM: 120\n"
                  "Estimated Key: A Minor (Relative: C Major)\n");
    for (const char* name : {"demo_mix", "demo_vocals", "demo_drums", "demo_bass", "demo_other"}) {
        const Bytes file = readFile(dir.file(std::string(name) + ".wav"));
        ASSERT_EQ(file.size(), 264644u) << name;
        EXPECT_EQ(Bytes(file.begin() + 20, file.begin() + 36),
                  (Bytes{1, 0, 1, 0, 0x44, 0xAC, 0, 0, 0x88, 0x58, 1, 0, 2, 0, 16, 0}))
            << name << ": PCM, mono, 44100 Hz, 16-bit";
    }
}

TEST(DemoCommand, UnwritableFileIsReportedWithoutSuccess) {
    TempDir dir;
    std::filesystem::create_directory(dir.file("demo_mix.wav"));
    CaptureOutput capture;
    const int status = TrackloomApp::RunDemo(dir.path().string());
    EXPECT_EQ(status, 1);
    EXPECT_EQ(capture.err(),
              "Failed to write audio file: " + dir.path().string() + "/demo_mix.wav\n");
    const std::string out = capture.out();
    EXPECT_EQ(out.find("SUCCESS"), std::string::npos);
    EXPECT_EQ(out.find("Generating procedural test track (3.0s, 44.1kHz)...\n"
                       "Running spectral HPSS stem separation...\n"
                       "Estimated BPM: "),
              0u);
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 4);
    EXPECT_TRUE(std::filesystem::is_regular_file(dir.file("demo_vocals.wav")));
}
