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
