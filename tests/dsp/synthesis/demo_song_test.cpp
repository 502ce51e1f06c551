#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "dsp/audio_dsp.h"

using namespace Trackloom;

TEST(DemoSong, KnownSampleValues) {
    const AudioBuffer track = AudioDSP::CreateDemoSong(3.0f, 44100);
    EXPECT_EQ(track.sampleRate, 44100);
    EXPECT_EQ(track.channels, 1);
    ASSERT_EQ(track.samples.size(), 132300u);
    EXPECT_EQ(track.samples[0], 0.0f);                   // every voice starts at phase 0
    EXPECT_NEAR(track.samples[441], 0.74242, 5e-6);      // inside the first kick
    EXPECT_NEAR(track.samples[13230], 0.22392, 5e-6);    // bass note over the 440 Hz lead
    EXPECT_NEAR(track.samples[22050], -0.084853, 5e-7);  // new beat, lead now at 523.25 Hz
    EXPECT_NEAR(track.samples[6615], 0.0000020, 5e-8);   // lead alone between kick and bass
    float peak = 0.0f;
    for (float x : track.samples) peak = std::max(peak, std::fabs(x));
    EXPECT_NEAR(peak, 0.861, 5e-4);
}

TEST(DemoSong, BeatsRepeatEveryHalfSecond) {
    const AudioBuffer track = AudioDSP::CreateDemoSong(3.0f, 44100);
    // Kick energy sits in the first 0.15 s of each beat; the gap before the bass note holds
    // only the quiet lead.
    for (size_t beat = 0; beat < 6; ++beat) {
        const size_t start = beat * 22050;
        double kick = 0.0, gap = 0.0;
        for (size_t i = start; i < start + 2205; ++i)
            kick = std::max(kick, double{std::fabs(track.samples[i])});
        for (size_t i = start + 7000; i < start + 11000; ++i)
            gap = std::max(gap, double{std::fabs(track.samples[i])});
        EXPECT_GT(kick, 0.5) << beat;
        EXPECT_LT(gap, 0.125) << beat;  // 0.3 * 0.4 lead level
    }
}

TEST(DemoSong, DegenerateLengthsGiveAnEmptyBuffer) {
    struct Case {
        float seconds;
        int32_t rate;
    };
    const Case cases[] = {{0.0f, 44100},
                          {-1.0f, 44100},
                          {3.0f, 0},
                          {3.0f, -44100},
                          {0.00002f, 44100},
                          {std::numeric_limits<float>::quiet_NaN(), 44100},
                          {std::numeric_limits<float>::infinity(), 44100},
                          {1e9f, 192000}};
    for (const Case& c : cases) {
        const AudioBuffer b = AudioDSP::CreateDemoSong(c.seconds, c.rate);
        EXPECT_TRUE(b.samples.empty()) << c.seconds << " s at " << c.rate;
        EXPECT_EQ(b.sampleRate, c.rate);
        EXPECT_EQ(b.channels, 1);
    }
    EXPECT_EQ(AudioDSP::CreateDemoSong(0.5f, 8000).samples.size(), 4000u);
}
