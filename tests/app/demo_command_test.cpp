#include "app/commands/demo_command.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "test_support.h"

using namespace TrackloomTest;

TEST(DemoCommand, WritesFiveFilesAndPrintsFiveLines) {
    TempDir dir;
    CaptureOutput capture;
    const int status = TrackloomApp::commands::RunDemo(dir.path().string());
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
    const int status = TrackloomApp::commands::RunDemo(dir.path().string());
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
