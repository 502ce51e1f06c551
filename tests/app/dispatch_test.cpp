#include "app/dispatch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "app/options.h"
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
    "  --gui                     Launch native graphical user interface\n"
    "                            (Default if no args)\n"
    "  --split <audio.wav> [DIR] Split audio into 4 stems\n"
    "                            (vocals, drums, bass, other)\n"
    "  --bpm <audio.wav>         Analyze BPM tempo and musical scale key\n"
    "  --demo                    Run procedural musical synthesis & separate stems\n"
    "  --help, -h                Show this text\n"
    "  --version                 Print the program's version\n"
    "  --format wav|flac         Stems as WAV (default) or FLAC files\n"
    "  --depth 16|24|float       Stems as 16-bit (default), 24-bit or float samples\n"
    "  --engine filter|spectral  Separator for --split: spectral for real separation;\n"
    "                            the default, filter, is kept as it always was\n"
    "  --stems LIST              Stems to write, e.g. vocals,accompaniment (--split)\n"
    "  --output, -o OUT          --split: every operand is an input,\n"
    "                            its stems in OUT/<name>/\n"
    "  --jobs, -j N              Work on N inputs at once (--split, --bpm)\n"
    "  --json                    One JSON object per input per line (--split, --bpm)\n"
    "  --quiet, -q               No progress line, no warnings (--split, --bpm)\n"
    "  --key-notation standard|camelot|openkey\n"
    "                            Key as name, Camelot (8A) or Open Key (1m) (--bpm)\n"
    "  --bpm-range MIN-MAX       Move the tempo by octaves into MIN..MAX,\n"
    "                            e.g. 70-140 (--bpm)\n\n";

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

TEST(Dispatch, SplitOutputOptions) {
    using Trackloom::io::OutputFormat;
    struct Case {
        std::vector<std::string> args;  // after "--split in.wav"
        bool parses;
        bool valid;
        OutputFormat::Kind kind;
        OutputFormat::Depth depth;
    };
    const std::vector<Case> cases = {
        {{}, true, true, OutputFormat::Kind::Wav, OutputFormat::Depth::S16},
        {{"--format", "flac"}, true, true, OutputFormat::Kind::Flac, OutputFormat::Depth::S16},
        {{"--depth", "24", "--format=flac"},
         true,
         true,
         OutputFormat::Kind::Flac,
         OutputFormat::Depth::S24},
        {{"out", "--depth", "float"},
         true,
         true,
         OutputFormat::Kind::Wav,
         OutputFormat::Depth::Float},
        {{"--format", "flac", "--depth", "float"},
         true,
         false,
         OutputFormat::Kind::Flac,
         OutputFormat::Depth::Float},
        {{"--format", "mp3"}, false, false, {}, {}},
        {{"--depth", "32"}, false, false, {}, {}},
        {{"--depth"}, false, false, {}, {}},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"--split", "in.wav"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const auto parsed = TrackloomApp::ParseCommandLine(args, TrackloomApp::CommandTable());
        ASSERT_EQ(parsed.command != nullptr, c.parses) << args.back() << parsed.error;
        if (!c.parses) {
            EXPECT_FALSE(parsed.error.empty());
            continue;
        }
        EXPECT_EQ(parsed.options.split.format.valid(), c.valid);
        EXPECT_EQ(parsed.options.split.format.kind, c.kind);
        EXPECT_EQ(parsed.options.split.format.depth, c.depth);
    }
    // The output options belong to the split alone.
    EXPECT_EQ(TrackloomApp::ParseCommandLine({"--bpm", "in.wav", "--depth", "24"},
                                             TrackloomApp::CommandTable())
                  .command,
              nullptr);
}

TEST(Dispatch, MissingProgramNamePrintsTrackloom) {
    testing::internal::CaptureStdout();
    PrintUsage(nullptr);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("  trackloom [options]\n"), std::string::npos);
}
