// The conventions users know from other tools: a mistake named where the eye lands with the
// option meant, values attached or in any letter case, a quiet mode, standard output that
// holds JSON alone, and warnings that say which input they are about.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <random>
#include <sstream>

#include "app/options.h"
#include "test_support.h"

using namespace TrackloomTest;
using TrackloomApp::CommandTable;
using TrackloomApp::ParseCommandLine;

namespace {

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::string Usage() {
    return TrackloomApp::UsageText("prog", CommandTable());
}

}  // namespace

TEST(CommandConventions, AMistakeIsRepeatedAfterTheUsageWithTheNameMeant) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"prog", "--split", "a.wav", "--enigne", "spectral"},
         "unknown option --enigne; did you mean --engine?"},
        {{"prog", "--splt", "a.wav"}, "unknown option --splt; did you mean --split?"},
        {{"prog", "--bpm", "a.wav", "--key-notaton", "camelot"},
         "unknown option --key-notaton; did you mean --key-notation?"},
        {{"prog", "--bpm", "a.wav", "--vers"}, "unknown option --vers; did you mean --version?"},
        // Nothing near: no guess.
        {{"prog", "--bpm", "a.wav", "--normalize"}, "unknown option --normalize"},
        {{"prog", "--bpm", "a.wav", "-x"}, "unknown option -x"},
    };
    for (const auto& [args, message] : cases) {
        const Captured r = runDispatch(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, Usage());
        EXPECT_EQ(r.err, message + "\n" + message + "\n");
    }
}

TEST(CommandConventions, UsageRowsFitEightyColumns) {
    const std::vector<std::string> lines = Lines(Usage());
    ASSERT_GT(lines.size(), 20u);
    for (const std::string& line : lines) {
        EXPECT_LE(line.size(), TrackloomApp::kUsageWidth) << line;
    }
    // A description wrapped onto more lines keeps its column.
    EXPECT_NE(Usage().find("  --key-notation standard|camelot|openkey\n" + std::string(28, ' ') +
                           "Key as name"),
              std::string::npos);
}

TEST(CommandConventions, ValuesAttachedOrSeparateInAnyLetterCase) {
    using Trackloom::analysis::KeyNotation;
    using Trackloom::io::OutputFormat;
    using Trackloom::separation::EngineKind;
    const auto split = ParseCommandLine(
        {"--split", "a.wav", "b.wav", "-oOUT", "-j2", "--engine", "Spectral", "--format=FLAC",
         "--depth", "24", "--stems", "Vocals,ACCOMPANIMENT", "-q"},
        CommandTable());
    ASSERT_EQ(split.error, "");
    EXPECT_EQ(split.options.outputRoot, "OUT");  // a path keeps its letters
    EXPECT_EQ(split.options.jobs, 2u);
    EXPECT_EQ(split.options.split.engine, EngineKind::Spectral);
    EXPECT_EQ(split.options.split.format.kind, OutputFormat::Kind::Flac);
    EXPECT_EQ(split.options.split.format.depth, OutputFormat::Depth::S24);
    EXPECT_EQ(split.options.split.stems.size(), 2u);
    EXPECT_TRUE(split.options.quiet);

    const auto bpm = ParseCommandLine(
        {"--bpm", "a.wav", "--jobs=3", "--key-notation", "Camelot", "--bpm-range=70-140"},
        CommandTable());
    ASSERT_EQ(bpm.error, "");
    EXPECT_EQ(bpm.options.jobs, 3u);
    EXPECT_EQ(bpm.options.results.keyNotation, KeyNotation::Camelot);
    EXPECT_EQ(bpm.options.results.maxBpm, 140.0);
    EXPECT_EQ(ParseCommandLine({"--split", "a", "--depth", "FLOAT"}, CommandTable())
                  .options.split.format.depth,
              OutputFormat::Depth::Float);

    // A wrong value is quoted as typed; a switch takes no value, attached or not.
    EXPECT_EQ(ParseCommandLine({"--split", "a", "--format", "MP3"}, CommandTable()).error,
              "--format takes wav or flac, not MP3");
    EXPECT_EQ(ParseCommandLine({"--bpm", "a", "-j0"}, CommandTable()).error,
              "-j takes a number of inputs from 1 to 256, not '0'");
    EXPECT_EQ(ParseCommandLine({"--bpm", "a", "-qx"}, CommandTable()).error, "unknown option -qx");
}

TEST(CommandConventions, StandardInputIsReadOnce) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"prog", "--split", "-", "-", "-o", "O", "-j", "2"},
          std::vector<std::string>{"prog", "--bpm", "-", "a.wav", "-"}}) {
        const Captured r = runDispatch(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, Usage());
        const std::string line =
            "'-' (standard input) can be read only once, and it is given twice\n";
        EXPECT_EQ(r.err, line + line);
    }
    // Without -o the split's second operand is its directory, which may be called "-".
    EXPECT_EQ(ParseCommandLine({"--split", "-", "-"}, CommandTable()).error, "");
}

TEST(CommandConventions, WithJsonAUsageErrorLeavesStandardOutputEmpty) {
    const Captured r = runDispatch({"prog", "--bpm", "a.wav", "--json", "--jobs", "many"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    const std::string line = "-j takes a number of inputs from 1 to 256, not 'many'\n";
    EXPECT_EQ(r.err, line + Usage() + line);
}

class InputWarnings : public ScratchDir {
  protected:
    void SetUp() override {
        // Noise has no steady beat; a file whose header declares twice its audio ends early.
        std::mt19937 rng(3);
        std::uniform_int_distribution<int> uniform(-8000, 8000);
        std::vector<int16_t> noise(5 * 44100);
        for (int16_t& v : noise) v = static_cast<int16_t>(uniform(rng));
        writeFile(noise_, buildS16Wav(noise));
        WavSpec cut;
        for (int i = 0; i < 44100; ++i) putLe(cut.data, static_cast<uint16_t>(i * 7), 2);
        cut.overrideDataSize = true;
        cut.dataSize = 4 * 44100;
        writeFile(cut_, buildWav(cut));
        std::vector<int16_t> clicks(5 * 44100, 0);
        for (size_t i = 0; i < clicks.size(); ++i) {
            const size_t t = i % (44100 / 2);  // 120 BPM
            if (t < 400) clicks[i] = static_cast<int16_t>(20000.0 * std::exp(-double(t) / 80.0));
        }
        writeFile(clicks_, buildS16Wav(clicks));
    }
    const std::string noise_ = path("noise.wav");
    const std::string cut_ = path("cut.wav");
    const std::string clicks_ = path("clicks.wav");
};

TEST_F(InputWarnings, NameTheirInputInABatchAndInJson) {
    const std::string early = "ended early: read 44100 frames of the 88200 its header declared";
    const std::string guess = "No steady beat was found";
    // One input: the line as it always was.
    EXPECT_EQ(runDispatch({"prog", "--bpm", noise_}).err, guess + ": the tempo above is a guess\n");

    const Captured text = runDispatch({"prog", "--bpm", noise_, cut_, "-j", "2"});
    EXPECT_EQ(text.status, 0);
    EXPECT_NE(text.err.find(guess + " in " + noise_ + ": the tempo above is a guess\n"),
              std::string::npos)
        << text.err;
    EXPECT_NE(text.err.find("Warning: " + cut_ + " " + early + "\n"), std::string::npos)
        << text.err;

    const Captured json = runDispatch({"prog", "--bpm", "--json", noise_, cut_});
    const std::vector<std::string> lines = Lines(json.out);
    ASSERT_EQ(lines.size(), 2u) << json.out;
    const auto noisy = nlohmann::json::parse(lines[0]);
    const auto cut = nlohmann::json::parse(lines[1]);
    EXPECT_EQ(noisy["warnings"], nlohmann::json::array({"no steady beat was found: the tempo is a "
                                                        "guess"}));
    ASSERT_GE(cut["warnings"].size(), 1u);
    EXPECT_EQ(cut["warnings"][0], early);
    EXPECT_EQ(json.err, text.err);

    // A split's line carries its input's warnings too, and an input without any an empty list.
    const Captured split =
        runDispatch({"prog", "--split", "--json", cut_, noise_, "-o", path("out")});
    ASSERT_EQ(split.status, 0) << split.err;
    const auto splitCut = nlohmann::json::parse(Lines(split.out).at(0));
    EXPECT_EQ(splitCut["warnings"][0], early);
    const auto clean = nlohmann::json::parse(runDispatch({"prog", "--bpm", "--json", clicks_}).out);
    EXPECT_EQ(clean["warnings"], nlohmann::json::array());

    // Quiet: the results and the errors, no warnings.
    const Captured quiet = runDispatch({"prog", "--bpm", "-q", noise_, cut_, path("missing.wav")});
    EXPECT_EQ(quiet.status, 1);
    EXPECT_EQ(quiet.out, runDispatch({"prog", "--bpm", noise_, cut_, path("missing.wav")}).out);
    EXPECT_EQ(quiet.err.find("Warning"), std::string::npos) << quiet.err;
    EXPECT_EQ(quiet.err.find(guess), std::string::npos) << quiet.err;
    EXPECT_NE(quiet.err.find("Failed to read audio file: " + path("missing.wav")),
              std::string::npos);
}
