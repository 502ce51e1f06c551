// An input is never written over, and a command line that names its files in the wrong
// places is refused before anything is read or made.
#include <gtest/gtest.h>

#include <filesystem>

#include "test_support.h"

using namespace TrackloomTest;
namespace fs = std::filesystem;

namespace {

class InputSafety : public testing::Test {
  protected:
    void SetUp() override {
        song = buildS16Wav(makeTestSignal(2 * 3000), 2);
        writeFile(dir.file("song.wav"), song);
        fs::create_directory(dir.file("d"));
    }

    // Runs --split with `args`, expecting the refusal of `stem` as the input `input`, with
    // the input left as it was and nothing written.
    void expectRefused(const std::vector<std::string>& args, const std::string& stem,
                       const std::string& input, const Bytes& kept) {
        std::vector<std::string> line = {"prog", "--split"};
        line.insert(line.end(), args.begin(), args.end());
        const Captured r = runDispatch(line);
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find("Failed to write audio file: " + stem + "\n  it is the input " +
                             input + "; choose another output directory\n"),
                  std::string::npos)
            << r.err;
        EXPECT_EQ(readFile(input), kept);
        EXPECT_EQ(readFile(stem), kept);
    }

    TempDir dir;
    Bytes song;
};

}  // namespace

TEST_F(InputSafety, AStemIsNeverWrittenOverItsOwnInput) {
    const std::string input = dir.file("d/vocals.wav");
    writeFile(input, song);
    expectRefused({input, dir.file("d")}, input, input, song);
    // The same file by another spelling of its folder.
    expectRefused({input, dir.file("d/../d/")}, dir.file("d/../d/") + "/vocals.wav", input, song);

    // With --json the refusal is also the input's line.
    const Captured json = runDispatch({"prog", "--json", "--split", input, dir.file("d")});
    EXPECT_EQ(json.status, 1);
    // JSON doubles the backslashes of Windows paths.
    std::string escaped;
    for (const char ch : input) escaped += ch == '\\' ? std::string("\\\\") : std::string(1, ch);
    EXPECT_NE(json.out.find("{\"file\":\"" + escaped + "\",\"error\":\"" + escaped +
                            ": it is the input "),
              std::string::npos)
        << json.out;

    // Only the stems written count: vocals as FLAC, or only the drums, leave it alone.
    for (const std::vector<std::string>& options :
         {std::vector<std::string>{"--format", "flac"}, {"--stems", "drums"}}) {
        std::vector<std::string> line = {"prog", "--split", input, dir.file("d"), "-q"};
        line.insert(line.end(), options.begin(), options.end());
        const Captured r = runDispatch(line);
        EXPECT_EQ(r.status, 0) << options[0] << ": " << r.err;
        EXPECT_EQ(readFile(input), song) << options[0];
    }
}

TEST_F(InputSafety, ALinkToTheInputIsTheInput) {
    const std::string input = dir.file("song.wav");
    std::error_code error;
    fs::create_hard_link(input, dir.file("d/drums.wav"), error);
    if (error) GTEST_SKIP() << "no hard links here: " << error.message();
    expectRefused({input, dir.file("d")}, dir.file("d/drums.wav"), input, song);
    fs::create_symlink(input, dir.file("d/bass.wav"), error);
    if (error) GTEST_SKIP() << "no symbolic links here: " << error.message();
    fs::remove(dir.file("d/drums.wav"));
    expectRefused({input, dir.file("d"), "--stems", "bass,other"}, dir.file("d/bass.wav"), input,
                  song);
}

TEST_F(InputSafety, ABatchChecksEveryInputAgainstEveryStemBeforeStarting) {
    // The first input's stems would land on the second input: neither is split.
    fs::create_directories(dir.file("out/song"));
    const std::string second = dir.file("out/song/other.wav");
    writeFile(second, song);
    expectRefused({dir.file("song.wav"), second, "-o", dir.file("out"), "-j", "2"}, second, second,
                  song);
    EXPECT_FALSE(fs::exists(dir.file("out/song/vocals.wav")));
    EXPECT_FALSE(fs::exists(dir.file("out/other")));
}

TEST_F(InputSafety, AFileWhereTheFolderBelongsIsRefused) {
    const std::string a = dir.file("song.wav");
    const std::string c = dir.file("c.ogg");
    writeFile(c, song);
    const Captured r = runDispatch({"prog", "--split", a, c, "stems"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    // The example's names are quoted as a shell needs them, which differs by platform.
    const std::string said = c + " is a file, not a folder: to split several inputs give -o OUT, " +
                             "e.g. trackloom --split ";
    EXPECT_EQ(r.err.substr(0, said.size()), said) << r.err;
    EXPECT_EQ(r.err.substr(r.err.size() - std::min<size_t>(r.err.size(), 10)), " -o stems\n");
    EXPECT_NE(r.err.find("c.ogg", said.size()), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(dir.file("stems")));
    EXPECT_FALSE(fs::exists(dir.file("song")));
    EXPECT_EQ(readFile(c), song);
    // Two inputs and nothing else: the example names a folder for them.
    const Captured two = runDispatch({"prog", "--split", a, c});
    EXPECT_EQ(two.status, 1);
    EXPECT_NE(two.err.find(" -o stems\n"), std::string::npos) << two.err;
}

TEST_F(InputSafety, ANewFolderNamedLikeAnAudioFileIsWarnedAbout) {
    const std::string folder = dir.file("new.WAV");
    const std::string warning = "Warning: the folder " + folder + " is made for the stems";
    const Captured r = runDispatch({"prog", "--split", dir.file("song.wav"), folder});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err.find(warning), 0u) << r.err;
    EXPECT_TRUE(fs::is_regular_file(folder + "/vocals.wav"));
    // Once it stands there it was meant; --quiet says nothing either.
    EXPECT_EQ(runDispatch({"prog", "--split", dir.file("song.wav"), folder}).err, "");
    const Captured quiet =
        runDispatch({"prog", "-q", "--split", dir.file("song.wav"), dir.file("b.flac")});
    EXPECT_EQ(quiet.status, 0);
    EXPECT_EQ(quiet.err, "");
    EXPECT_EQ(runDispatch({"prog", "--split", dir.file("song.wav"), dir.file("plain")}).err, "");
}
