// The command line as a user meets it: parsed from one table, never dropping a word, and
// saying why whenever something fails.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/commands/command_results.h"
#include "app/options.h"
#include "test_support.h"

using namespace TrackloomTest;
using TrackloomApp::CommandLineRow;
using TrackloomApp::ParseCommandLine;
using TrackloomApp::ParsedCommandLine;
using TrackloomApp::ParsedOptions;

namespace {

using Result = Captured;

Result run(std::vector<std::string> args) {
    return runDispatch(std::move(args));
}

std::string usage() {
    return TrackloomApp::UsageText("prog", TrackloomApp::CommandTable());
}

// A table of its own, with the kinds of options the program grows: one taking a value, for
// one command, and a switch for two. Their actions leave what they were given here.
std::string g_level;
bool g_loud = false;

int Noop(const ParsedOptions&) {
    return 0;
}

std::string SetLevel(ParsedOptions&, const std::string& value) {
    if (value != "low" && value != "high") return "--level must be low or high";
    g_level = value;
    return "";
}

std::string SetLoud(ParsedOptions&, const std::string&) {
    g_loud = true;
    return "";
}

const std::vector<CommandLineRow>& TestTable() {
    using Kind = CommandLineRow::Kind;
    static const std::vector<CommandLineRow> table = {
        {Kind::Command, "--go", nullptr, "<in> [OUT]", "Go", false, 1, 2, "an input file", Noop,
         nullptr, nullptr, nullptr},
        {Kind::Command, "--look", nullptr, "<in>", "Look", false, 1, 1, "a file to look at", Noop,
         nullptr, nullptr, nullptr},
        {Kind::Command, "--help", "-h", nullptr, "Help", true, 0, 0, nullptr, Noop, nullptr,
         nullptr, nullptr},
        {Kind::Option, "--level", nullptr, "low|high", "How far", false, 0, 0, nullptr, nullptr,
         nullptr, "--go", SetLevel},
        {Kind::Option, "--loud", nullptr, nullptr, "Say more", false, 0, 0, nullptr, nullptr,
         nullptr, "--go --look", SetLoud},
    };
    return table;
}

ParsedCommandLine parse(const std::vector<std::string>& args) {
    g_level.clear();
    g_loud = false;
    return ParseCommandLine(args, TestTable());
}

}  // namespace

TEST(CommandLineParser, OptionsGoBeforeOrAfterTheOperands) {
    ParsedCommandLine p = parse({"--level", "high", "--go", "in.wav"});
    ASSERT_EQ(p.error, "");
    EXPECT_STREQ(p.command->name, "--go");
    EXPECT_EQ(p.options.operands, std::vector<std::string>{"in.wav"});
    EXPECT_EQ(g_level, "high");

    p = parse({"--go", "in.wav", "out", "--level=low", "--loud"});
    ASSERT_EQ(p.error, "");
    EXPECT_EQ(p.options.operands, (std::vector<std::string>{"in.wav", "out"}));
    EXPECT_EQ(g_level, "low");
    EXPECT_TRUE(g_loud);

    // After "--" everything is an operand; a lone "-" always is.
    p = parse({"--go", "--", "--odd.wav", "--loud"});
    ASSERT_EQ(p.error, "");
    EXPECT_EQ(p.options.operands, (std::vector<std::string>{"--odd.wav", "--loud"}));
    EXPECT_FALSE(g_loud);
    p = parse({"--look", "-"});
    EXPECT_EQ(p.options.operands, std::vector<std::string>{"-"});

    // Operands past what a command takes are handed back, not silently lost.
    p = parse({"--go", "a", "b", "c", "d"});
    ASSERT_EQ(p.error, "");
    EXPECT_EQ(p.options.operands, (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(p.ignored, (std::vector<std::string>{"c", "d"}));

    // No arguments: the first row. A command that stands alone wins wherever it is.
    EXPECT_STREQ(parse({}).command->name, "--go");
    EXPECT_STREQ(parse({"-h", "--frob"}).command->name, "--help");
    EXPECT_STREQ(parse({"--go", "a", "--help"}).command->name, "--help");

    // The usage text lists options from the same rows, their values after their names.
    EXPECT_NE(TrackloomApp::UsageText("prog", TestTable())
                  .find("\n  --level low|high          How far\n"),
              std::string::npos);
}

TEST(CommandLineParser, EveryMistakeIsNamed) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--go", "in.wav", "--frob"}, "unknown option --frob"},
        {{"--frob=3", "--go", "in.wav"}, "unknown option --frob"},
        {{"--Go", "in.wav"}, "unknown option --Go"},
        {{"--go"}, "--go needs an input file"},
        {{"--loud", "--look"}, "--look needs a file to look at"},
        {{"--go", "in.wav", "--level"}, "--level needs a value (low|high)"},
        {{"--go", "in.wav", "--level", "medium"}, "--level must be low or high"},
        {{"--look", "x", "--level", "low"}, "--level does not apply to --look"},
        {{"--loud=yes", "--go", "a"}, "--loud takes no value"},
        {{"--go=a"}, "--go takes no value after '='"},
        {{"--go", "a", "--look", "b"}, "only one command at a time: --go and --look"},
        {{"song.wav"}, "'song.wav' is not a command; try --go or --look"},
        {{""}, "'' is not a command; try --go or --look"},
        {{"--loud"}, "no command given"},
    };
    for (const auto& [args, message] : cases) {
        const ParsedCommandLine p = parse(args);
        EXPECT_EQ(p.command, nullptr) << message;
        EXPECT_EQ(p.error, message);
    }
}

class CommandLine : public testing::Test {
  protected:
    void SetUp() override {
        input = dir.file("song.wav");
        writeFile(input, buildS16Wav(makeTestSignal(2 * 3000), 2));
    }
    TempDir dir;
    std::string input;
};

TEST_F(CommandLine, UnknownOptionBeforeOrAfterTheOperandsStopsEverything) {
    const std::string out = dir.file("out");
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"prog", "--frobnicate", "--split", input, out},
          std::vector<std::string>{"prog", "--split", input, out, "--frobnicate"},
          std::vector<std::string>{"prog", "--bpm", input, "--frobnicate"}}) {
        const Result r = run(args);
        EXPECT_EQ(r.status, 1);
        // Named before the usage text, and again after it.
        EXPECT_EQ(r.err, "unknown option --frobnicate\nunknown option --frobnicate\n");
        EXPECT_EQ(r.out, usage());
        EXPECT_FALSE(std::filesystem::exists(out));
    }
    const Result missing = run({"prog", "--bpm"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, "--bpm needs an input file\n--bpm needs an input file\n");
    EXPECT_EQ(missing.out, usage());
}

TEST_F(CommandLine, VersionIsTheProjectsOwn) {
    std::ifstream lists(std::string(TRACKLOOM_SOURCE_DIR) + "/CMakeLists.txt");
    std::stringstream text;
    text << lists.rdbuf();
    const std::string cmake = text.str();
    const std::string declared = "project(trackloom VERSION ";
    const size_t at = cmake.find(declared);
    ASSERT_NE(at, std::string::npos);
    const size_t from = at + declared.size();
    const std::string version =
        cmake.substr(from, cmake.find_first_not_of("0123456789.", from) - from);
    ASSERT_FALSE(version.empty());

    const Result r = run({"prog", "--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "trackloom " + version + "\n");
    EXPECT_EQ(r.err, "");
    EXPECT_NE(usage().find("\n  --version  "), std::string::npos);
    EXPECT_NE(usage().find("\n  --help, -h  "), std::string::npos);
}

TEST_F(CommandLine, MissingOutputDirectoryIsCreatedWithItsParents) {
    const std::string nested = dir.file("a/b/c");
    const Result r = run({"prog", "--split", input, nested});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    for (const char* stem : kStems) {
        EXPECT_EQ(readFile(nested + "/" + stem).size(), 44u + 2 * 2 * 3000) << stem;
    }
    EXPECT_EQ(run({"prog", "--split", input, dir.file("d/e/")}).status, 0);
    EXPECT_TRUE(std::filesystem::is_regular_file(dir.file("d/e/vocals.wav")));
}

TEST_F(CommandLine, UnreadableInputSaysWhy) {
    // An AAC file in its MP4 box, named as if it were WAV: the first bytes decide.
    Bytes m4a = {0, 0, 0, 0x20, 'f', 't', 'y', 'p', 'M', '4', 'A', ' ', 0, 0, 0, 0};
    writeFile(dir.file("song.m4a.wav"), m4a);
    // MP3 frames that say nothing a decoder can use.
    Bytes mp3 = {'I', 'D', '3', 4, 0, 0, 0, 0, 0, 0};
    mp3.insert(mp3.end(), {0xFF, 0xFB, 0x90, 0x64, 0, 0, 0, 0});
    writeFile(dir.file("song.mp3"), mp3);
    WavSpec mulaw;
    mulaw.formatCode = 7;
    mulaw.blockAlign = 1;
    mulaw.bitsPerSample = 8;
    mulaw.data = {0xFF, 0x7F, 0x00};
    writeFile(dir.file("mulaw.wav"), buildWav(mulaw));
    WavSpec odd;
    odd.blockAlign = 5;
    odd.data = {1, 2, 3, 4, 5};
    writeFile(dir.file("damaged.wav"), buildWav(odd));
    writeFile(dir.file("empty.wav"), {});
    std::filesystem::create_directory(dir.file("folder.wav"));
    // Words named as if they were MP3, and bytes of no audio at all.
    const std::string words = "Lyrics, verse one:\nla la la";
    writeFile(dir.file("lyrics.mp3"), Bytes(words.begin(), words.end()));
    writeFile(dir.file("program.ogg"), {0x7F, 'E', 'L', 'F', 2, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0});

    const std::vector<std::pair<std::string, std::string>> cases = {
        {dir.file("missing.wav"), "no such file"},
        {dir.file("folder.wav"), "it is a directory; give an audio file\n"},
        {dir.file("lyrics.mp3"),
         "not an audio file trackloom reads: it is text, starting \"Lyrics, verse on...\"\n"},
        {dir.file("program.ogg"),
         "not an audio file trackloom reads: its first bytes are 7F 45 "
         "4C 46 02 01 01 00 (\".ELF....\")\n"},
        {dir.file("song.m4a.wav"), "AAC/M4A is not a format trackloom reads; convert it"},
        {dir.file("song.mp3"), "the MP3 decoder refused it"},
        {dir.file("mulaw.wav"),
         "compressed WAV (mu-law), not PCM; convert it on the way in: "
         "ffmpeg -i " +
             dir.file("mulaw.wav") + " -f wav - | trackloom --"},
        {dir.file("damaged.wav"), "damaged WAV header: impossible block align (5)"},
        {dir.file("empty.wav"), "the file is empty"},
    };
    for (const auto& [path, reason] : cases) {
        for (const bool split : {true, false}) {
            const Result r =
                run(split ? std::vector<std::string>{"prog", "--split", path, dir.file("out")}
                          : std::vector<std::string>{"prog", "--bpm", path});
            EXPECT_EQ(r.status, 1) << path;
            EXPECT_EQ(r.out, "");
            EXPECT_EQ(r.err.find("Failed to read audio file: " + path + "\n  " + reason), 0u)
                << r.err;
            EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 2) << r.err;
            EXPECT_FALSE(std::filesystem::exists(dir.file("out")));
        }
    }
}

// --bpm on sound without a beat still answers, but says the tempo is a guess; a beat, or
// silence with its fixed answer, says nothing more.
TEST_F(CommandLine, RhythmFreeInputIsToldItsTempoIsAGuess) {
    constexpr size_t kRate = 44100;
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> uniform(-8000, 8000);
    std::vector<int16_t> noise(10 * kRate);
    for (int16_t& v : noise) v = static_cast<int16_t>(uniform(rng));
    std::vector<int16_t> clicks(10 * kRate, 0);
    for (size_t i = 0; i < clicks.size(); ++i) {
        const size_t t = i % (kRate / 2);  // 120 BPM
        if (t < 400) clicks[i] = static_cast<int16_t>(20000.0 * std::exp(-double(t) / 80.0));
    }
    const std::vector<int16_t> silence(10 * kRate, 0);
    const std::string guess = "No steady beat was found: the tempo above is a guess\n";
    const struct {
        const char* name;
        const std::vector<int16_t>& samples;
        std::string err;
    } cases[] = {
        {"noise.wav", noise, guess}, {"clicks.wav", clicks, ""}, {"silence.wav", silence, ""}};
    for (const auto& c : cases) {
        writeFile(dir.file(c.name), buildS16Wav(c.samples));
        const Result r = run({"prog", "--bpm", dir.file(c.name)});
        EXPECT_EQ(r.status, 0) << c.name;
        // Two lines, a number and a key name, whatever the estimates are.
        const size_t keyLine = r.out.find("\nEstimated Key: ");
        EXPECT_EQ(r.out.rfind("Estimated BPM: ", 0), 0u) << c.name << ": " << r.out;
        ASSERT_NE(keyLine, std::string::npos) << c.name << ": " << r.out;
        EXPECT_GT(std::stod(r.out.substr(15, keyLine - 15)), 0.0) << c.name;
        EXPECT_NE(r.out.find(" Major (Relative: ", keyLine) == std::string::npos,
                  r.out.find(" Minor (Relative: ", keyLine) == std::string::npos)
            << c.name << ": " << r.out;
        EXPECT_EQ(r.out.back(), '\n');
        EXPECT_EQ(r.err, c.err) << c.name;
    }
    EXPECT_EQ(run({"prog", "--bpm", dir.file("clicks.wav")}).out.find("Estimated BPM: 120\n"), 0u);
    EXPECT_EQ(run({"prog", "--bpm", dir.file("silence.wav")}).out.find("Estimated BPM: 120\n"), 0u);
}

// A stem the output format cannot hold says so, as the system's own failures do: 8-bit
// input may have up to 65535 channels, a 16-bit WAV file half as many.
TEST_F(CommandLine, TooManyChannelsForTheOutputSaysWhy) {
    WavSpec wide;
    wide.channels = 40000;
    wide.blockAlign = 40000;
    wide.bitsPerSample = 8;
    wide.data.assign(2 * 40000, 128);
    writeFile(dir.file("wide.wav"), buildWav(wide));
    const Result r = run({"prog", "--split", dir.file("wide.wav"), dir.file("out")});
    EXPECT_EQ(r.status, 1);
    const std::string reason = "\n  more channels than a 16-bit WAV file can hold (32767)\n";
    EXPECT_EQ(r.err.find("Failed to write audio file: " + dir.file("out") + "/vocals.wav" + reason),
              0u)
        << r.err;
    EXPECT_NE(r.err.find("/other.wav" + reason), std::string::npos) << r.err;
}

// What an output format cannot hold is refused with its reason, before anything is read:
// more channels than FLAC holds, more bytes a second than a WAV header can give. Samples an
// integer depth clips are counted and the float depth suggested, which keeps them.
TEST_F(CommandLine, OutputLimitsAndClippingAreNamed) {
    WavSpec ten;
    ten.channels = 10;
    ten.blockAlign = 20;
    ten.data.assign(20 * 100, 0);
    writeFile(dir.file("ten.wav"), buildWav(ten));
    const Result flac =
        run({"prog", "--split", dir.file("ten.wav"), dir.file("f"), "--format", "flac"});
    EXPECT_EQ(flac.status, 1);
    EXPECT_NE(flac.err.find("/other.flac\n  FLAC holds at most 8 channels and this input has 10"),
              std::string::npos)
        << flac.err;

    WavSpec fast;
    fast.channels = 2;
    fast.blockAlign = 4;
    fast.sampleRate = 2147483647;  // twice that in 16-bit bytes a second passes 32 bits
    fast.data.assign(4 * 100, 0);
    writeFile(dir.file("fast.wav"), buildWav(fast));
    const Result wide = run({"prog", "--split", dir.file("fast.wav"), dir.file("w")});
    EXPECT_EQ(wide.status, 1);
    EXPECT_NE(wide.err.find("/vocals.wav\n  2 channels at 2147483647 Hz are more bytes a second "
                            "than a WAV header can describe"),
              std::string::npos)
        << wide.err;

    // A square wave at full scale: the bass stem's low-pass overshoots it.
    std::vector<int16_t> square(2 * 44100);
    for (size_t i = 0; i < square.size(); ++i) square[i] = (i / 2) % 1102 < 551 ? 32767 : -32767;
    writeFile(dir.file("loud.wav"), buildS16Wav(square, 2));
    const Result loud = run({"prog", "--split", dir.file("loud.wav"), dir.file("l")});
    EXPECT_EQ(loud.status, 0);
    const std::string warning = "Warning: " + dir.file("l") + "/bass.wav: ";
    ASSERT_EQ(loud.err.find(warning), 0u) << loud.err;
    EXPECT_GT(std::stoul(loud.err.substr(warning.size())), 0u);
    EXPECT_NE(
        loud.err.find(" samples were beyond full scale and clipped; --depth float keeps them\n"),
        std::string::npos);
    EXPECT_EQ(run({"prog", "--split", dir.file("loud.wav"), dir.file("l"), "--depth", "float"}).err,
              "");
}
