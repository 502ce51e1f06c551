// --bpm and --split as DJs and scripts drive them: key notations, a tempo range, JSON lines,
// and several inputs at once with the same results as one at a time.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <sstream>

#include "app/commands/command_results.h"
#include "dsp/audio_dsp.h"
#include "test_support.h"

using namespace TrackloomTest;

namespace {

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) result.push_back(line);
    return result;
}

// The demo track: 120 BPM over A minor, which the estimators are known to hear.
class ScriptingCommands : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        dir_ = new TempDir;
        // Quotes, a backslash and non-ASCII letters, which JSON must escape or carry.
        song_ = dir_->file("s\u00e4nger \"live\" \\ \u97f3.wav");
        ASSERT_TRUE(
            Trackloom::AudioDSP::SaveWav(song_, Trackloom::AudioDSP::CreateDemoSong(3.0f, 44100)));
        bad_ = dir_->file("bad \"one\".wav");
        writeFile(bad_, {'n', 'o', 't', ' ', 'a', ' ', 'w', 'a', 'v'});
    }
    static void TearDownTestSuite() { delete dir_; }
    static TempDir* dir_;
    static std::string song_, bad_;
};
TempDir* ScriptingCommands::dir_ = nullptr;
std::string ScriptingCommands::song_, ScriptingCommands::bad_;

}  // namespace

TEST_F(ScriptingCommands, KeyNotationsAndTempoRangeChangeOnlyTheirLine) {
    const Captured plain = runDispatch({"prog", "--bpm", song_});
    ASSERT_EQ(plain.status, 0) << plain.err;
    ASSERT_EQ(lines(plain.out),
              (std::vector<std::string>{"Estimated BPM: 120",
                                        "Estimated Key: A Minor (Relative: C Major)"}));
    EXPECT_EQ(runDispatch({"prog", "--bpm", song_, "--key-notation", "standard"}).out, plain.out);
    EXPECT_EQ(runDispatch({"prog", "--key-notation=camelot", "--bpm", song_}).out,
              "Estimated BPM: 120\nEstimated Key: 8A (A Minor)\n");
    EXPECT_EQ(runDispatch({"prog", "--bpm", song_, "--key-notation", "openkey"}).out,
              "Estimated BPM: 120\nEstimated Key: 1m (A Minor)\n");

    // Folded by octaves into the range, whichever way it has to go; a range that already
    // holds the tempo leaves it alone, its ends included.
    const std::pair<const char*, const char*> ranges[] = {{"140-280", "240"}, {"40-80", "60"},
                                                          {"70-140", "120"},  {"60-120", "120"},
                                                          {"120-240", "120"}, {"30.5-61", "60"}};
    for (const auto& [range, bpm] : ranges) {
        const Captured r = runDispatch({"prog", "--bpm", song_, "--bpm-range", range});
        EXPECT_EQ(r.status, 0) << range;
        EXPECT_EQ(r.out, std::string("Estimated BPM: ") + bpm +
                             "\nEstimated Key: A Minor (Relative: C Major)\n")
            << range;
    }
    const Captured json = runDispatch({"prog", "--bpm", song_, "--bpm-range", "140-280", "--json"});
    EXPECT_EQ(nlohmann::json::parse(json.out)["bpm"], 240.0);
}

TEST_F(ScriptingCommands, UnusableSettingsAreUsageErrorsNamingTheOption) {
    const std::string usage = runDispatch({"prog", "--help"}).out;
    const std::vector<std::vector<std::string>> mistakes = {
        {"--bpm-range", "100-150"},
        {"--bpm-range", "140-70"},
        {"--bpm-range", "fast"},
        {"--bpm-range", "70-"},
        {"--bpm-range", "-140"},
        {"--bpm-range", "0-140"},
        {"--bpm-range", "70-140x"},
        {"--bpm-range", "nan-inf"},
        {"--key-notation", "Camelo"},
        {"--key-notation", ""},
        {"-j", "0"},
        {"-j", "two"},
        {"-j", "-1"},
        {"-o", ""},
    };
    for (const auto& mistake : mistakes) {
        const Captured r = runDispatch({"prog", "--bpm", song_, mistake[0], mistake[1]});
        EXPECT_EQ(r.status, 1) << mistake[0] << " " << mistake[1];
        EXPECT_EQ(r.out, usage) << mistake[0] << " " << mistake[1];
        // One line, repeated after the usage text.
        ASSERT_EQ(lines(r.err).size(), 2u) << r.err;
        EXPECT_EQ(lines(r.err)[0], lines(r.err)[1]);
        // The option is named (its short or long spelling) and so is what was wrong with it.
        EXPECT_NE(r.err.find(mistake[0]), std::string::npos) << r.err;
    }
    // The text and the options that only --bpm knows are refused to --split.
    for (const char* option : {"--key-notation", "--bpm-range"}) {
        const Captured r = runDispatch({"prog", "--split", song_, option, "camelot"});
        EXPECT_EQ(r.status, 1) << option;
        const std::string line = std::string(option) + " does not apply to --split\n";
        EXPECT_EQ(r.err, line + line);
    }
}

TEST_F(ScriptingCommands, JsonLinesParseBackWithEveryPathIntact) {
    const Captured bpm = runDispatch({"prog", "--json", "--bpm", song_, bad_, song_});
    EXPECT_EQ(bpm.status, 1);
    const std::vector<std::string> bpmLines = lines(bpm.out);
    ASSERT_EQ(bpmLines.size(), 3u) << bpm.out;
    for (size_t i : {0, 2}) {
        const auto j = nlohmann::json::parse(bpmLines[i]);
        EXPECT_EQ(j["file"], song_);
        EXPECT_EQ(j["bpm"], 120.0);
        EXPECT_EQ(j["key"], "A Minor");
        EXPECT_EQ(j["camelot"], "8A");
        EXPECT_EQ(j["open_key"], "1m");
        EXPECT_GT(j["bpm_confidence"].get<double>(), 0.0);
        EXPECT_LE(j["key_confidence"].get<double>(), 1.0);
    }
    // A failed input's line gives the reason the text output gives under its name.
    const auto failed = nlohmann::json::parse(bpmLines[1]);
    EXPECT_EQ(failed.size(), 2u);
    EXPECT_EQ(failed["file"], bad_);
    const std::string reason = failed["error"];
    EXPECT_FALSE(reason.empty());
    EXPECT_NE(bpm.err.find("Failed to read audio file: " + bad_ + "\n  " + reason + "\n"),
              std::string::npos)
        << bpm.err;
    EXPECT_NE(bpm.err.find("1 of 3 inputs failed\n"), std::string::npos) << bpm.err;

    const std::string out = dir_->file("json \"out\"");
    const Captured split =
        runDispatch({"prog", "--split", bad_, song_, "-o", out, "--json", "-j", "2"});
    EXPECT_EQ(split.status, 1);
    const std::vector<std::string> splitLines = lines(split.out);
    ASSERT_EQ(splitLines.size(), 2u) << split.out;
    EXPECT_EQ(nlohmann::json::parse(splitLines[0])["error"], reason);
    const auto stems = nlohmann::json::parse(splitLines[1]);
    EXPECT_EQ(stems["file"], song_);
    ASSERT_EQ(stems["stems"].size(), 4u);
    for (const char* name : kStemNames) {
        const std::string path = stems["stems"][name];
        EXPECT_EQ(path, out + "/s\u00e4nger \"live\" \\ \u97f3/" + name + ".wav");
        EXPECT_TRUE(std::filesystem::is_regular_file(path)) << path;
    }
}

// Several inputs, worked on two at a time, give the files and lines that one at a time
// gives; a bad input among them fails alone.
TEST_F(ScriptingCommands, BatchesMatchSingleRunsByteForByte) {
    TempDir dir;
    std::vector<std::string> inputs;
    for (uint32_t seed = 1; seed <= 4; ++seed) {
        inputs.push_back(dir.file("song" + std::to_string(seed) + ".wav"));
        writeFile(inputs.back(), buildS16Wav(makeTestSignal(2 * (9000 + 777 * seed), seed), 2));
    }
    // The same name in another folder gets a folder of its own.
    std::filesystem::create_directory(dir.file("again"));
    inputs.push_back(dir.file("again/song1.wav"));
    writeFile(inputs.back(), buildS16Wav(makeTestSignal(2 * 5000, 9), 2));
    inputs.insert(inputs.begin() + 2, bad_);
    const char* const folders[] = {"song1", "song2", "bad \"one\"", "song3", "song4", "song1-2"};

    std::vector<std::string> batch = {"prog", "--split"};
    batch.insert(batch.end(), inputs.begin(), inputs.end());
    batch.insert(batch.end(), {"-o", dir.file("two"), "-j", "2"});
    const Captured two = runDispatch(batch);
    batch[batch.size() - 3] = dir.file("one");
    batch.back() = "1";
    const Captured one = runDispatch(batch);
    for (const Captured* r : {&two, &one}) {
        EXPECT_EQ(r->status, 1);
        EXPECT_EQ(r->err.substr(r->err.size() - 21), "1 of 6 inputs failed\n") << r->err;
    }
    EXPECT_EQ(two.err, one.err);

    for (size_t i = 0; i < inputs.size(); ++i) {
        const std::string alone = dir.file("alone" + std::to_string(i));
        const Captured r = runDispatch({"prog", "--split", inputs[i], alone});
        const bool bad = inputs[i] == bad_;
        EXPECT_EQ(r.status, bad ? 1 : 0) << inputs[i];
        EXPECT_EQ(std::filesystem::exists(dir.file("two/") + folders[i]), !bad) << folders[i];
        if (bad) continue;
        for (const char* name : kStemNames) {
            const std::string stem = std::string("/") + name + ".wav";
            const Bytes expected = readFile(alone + stem);
            ASSERT_FALSE(expected.empty());
            EXPECT_EQ(readFile(dir.file("two/") + folders[i] + stem), expected) << folders[i];
            EXPECT_EQ(readFile(dir.file("one/") + folders[i] + stem), expected) << folders[i];
        }
    }
    // Each success line names the input and its own folder, in the inputs' order.
    for (const auto& [r, root] : {std::pair{&two, "two/"}, std::pair{&one, "one/"}}) {
        std::string expectedOut;
        for (size_t i = 0; i < inputs.size(); ++i) {
            if (inputs[i] == bad_) continue;
            expectedOut += "Successfully split " + inputs[i] + " into 4 stems in " +
                           dir.file(root) + folders[i] + "\n";
        }
        EXPECT_EQ(r->out, expectedOut) << root;
    }

    // --bpm: each file's name on a line before its two lines, exactly as it alone prints them.
    std::vector<std::string> bpm = {"prog", "--bpm", "-j", "2"};
    bpm.insert(bpm.end(), inputs.begin(), inputs.end());
    const Captured tempi = runDispatch(bpm);
    EXPECT_EQ(tempi.status, 1);
    std::string expectedTempi;
    for (const std::string& input : inputs) {
        const Captured alone = runDispatch({"prog", "--bpm", input});
        if (alone.status == 0) expectedTempi += input + "\n" + alone.out;
    }
    EXPECT_EQ(tempi.out, expectedTempi);
    EXPECT_EQ(lines(tempi.out).size(), 15u);
    EXPECT_NE(tempi.err.find("Failed to read audio file: " + bad_), std::string::npos);
}

// Karaoke: only the stems asked for are written; the vocals are the very file the four-stem
// split writes, and the accompaniment is what the input holds beyond them, sample for sample
// (to the 16-bit rounding of the two files), with either engine, the spectral one's delay
// included.
TEST_F(ScriptingCommands, StemChoiceWritesThoseAloneAndTheAccompanimentCompletesTheVocals) {
    const Trackloom::AudioBuffer in = Trackloom::AudioDSP::LoadWav(song_);
    for (const char* engine : {"filter", "spectral"}) {
        const std::string four = dir_->file(std::string("four-") + engine);
        const std::string two = dir_->file(std::string("two-") + engine);
        ASSERT_EQ(runDispatch({"prog", "--split", song_, four, "--engine", engine}).status, 0);
        const Captured r = runDispatch(
            {"prog", "--split", song_, two, "--engine", engine, "--stems", "vocals,accompaniment"});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "Successfully split " + song_ + " into 2 stems in " + two + "\n");
        std::vector<std::string> files;
        for (const auto& entry : std::filesystem::directory_iterator(two)) {
            files.push_back(entry.path().filename().string());
        }
        std::sort(files.begin(), files.end());
        EXPECT_EQ(files, (std::vector<std::string>{"accompaniment.wav", "vocals.wav"}));
        EXPECT_EQ(readFile(two + "/vocals.wav"), readFile(four + "/vocals.wav")) << engine;

        const auto vocals = Trackloom::AudioDSP::LoadWav(two + "/vocals.wav").samples;
        const auto rest = Trackloom::AudioDSP::LoadWav(two + "/accompaniment.wav").samples;
        ASSERT_EQ(rest.size(), in.samples.size()) << engine;
        double worst = 0.0;
        for (size_t i = 0; i < rest.size(); ++i) {
            worst = std::max(worst, std::fabs(double(in.samples[i]) - vocals[i] - rest[i]));
        }
        EXPECT_LE(worst * 32768.0, 3.0) << engine;
    }
    const Captured wrong = runDispatch({"prog", "--split", song_, "--stems", "vocals,karaoke"});
    EXPECT_EQ(wrong.status, 1);
    EXPECT_NE(wrong.err.find("karaoke"), std::string::npos);
}
