#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "app/commands/command_results.h"
#include "dsp/audio_dsp.h"
#include "test_support.h"

using namespace TrackloomTest;

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
    const Captured r = runDispatch({"prog", "--split", input, dir.file("out"), "ignored"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Successfully split " + input + " into 4 stems in " + dir.file("out") + "\n");
    EXPECT_EQ(r.err, "ignoring extra argument 'ignored'\n");
    for (const char* stem : kStems) {
        EXPECT_EQ(readFile(dir.file("out") + "/" + stem).size(), 44u + 2 * 2 * 3000) << stem;
    }
    // A trailing slash is kept as typed: out//vocals.wav names the same files.
    const Captured slash = runDispatch({"prog", "--split", input, dir.file("out") + "/"});
    EXPECT_EQ(slash.status, 0);
    EXPECT_NE(slash.out.find(" into 4 stems in " + dir.file("out") + "/\n"), std::string::npos);
}

TEST_F(SplitCommand, DefaultsToTmp) {
    const Captured r = runDispatch({"prog", "--split", input});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Successfully split " + input + " into 4 stems in /tmp\n");
    ASSERT_EQ(runDispatch({"prog", "--split", input, dir.file("out")}).status, 0);
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
        const Captured r = runDispatch({"prog", "--split", bad, dir.file("out/new")});
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
    const Captured r = runDispatch({"prog", "--split", input, blocked});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    std::string expected;
    for (const char* stem : kStems)
        expected += "Failed to write audio file: " + blocked + "/" + stem + "\n";
    expected += "  cannot create the output directory " + blocked + ": ";
    EXPECT_EQ(r.err.substr(0, expected.size()), expected);
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 5) << r.err;

    // One blocked stem fails the whole set: the old stems beside it stay as they were, so
    // a set is never half new and half old.
    std::filesystem::create_directory(dir.file("out"));
    for (const char* stem : {"vocals.wav", "bass.wav", "other.wav"}) {
        writeFile(dir.file("out/") + stem, {'o', 'l', 'd'});
    }
    std::filesystem::create_directory(dir.file("out/drums.wav"));
    const Captured one = runDispatch({"prog", "--split", input, dir.file("out")});
    EXPECT_EQ(one.status, 1);
    // The system's words for a directory in the way differ; the lines around them do not.
    EXPECT_EQ(one.err.find("Failed to write audio file: " + dir.file("out") + "/drums.wav\n  "), 0u)
        << one.err;
    EXPECT_EQ(std::count(one.err.begin(), one.err.end(), '\n'), 2) << one.err;
    for (const char* stem : {"vocals.wav", "bass.wav", "other.wav"}) {
        EXPECT_EQ(readFile(dir.file("out/") + stem), (Bytes{'o', 'l', 'd'})) << stem;
    }
    EXPECT_TRUE(std::filesystem::is_directory(dir.file("out/drums.wav")));
    size_t entries = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir.file("out"))) {
        EXPECT_EQ(e.path().extension(), ".wav") << "left behind: " << e.path();
        ++entries;
    }
    EXPECT_EQ(entries, 4u);
}

TEST_F(SplitCommand, StreamedStemsEqualTheWholeBufferPath) {
    ASSERT_EQ(runDispatch({"prog", "--split", input, dir.file("out")}).status, 0);
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
