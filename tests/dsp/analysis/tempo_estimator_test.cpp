// Tempo estimation on rhythms synthesized here, where the true tempo is known exactly.
#include "dsp/analysis/tempo_estimator.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <utility>
#include <vector>

#include "dsp/analysis/analysis.h"
#include "dsp/analysis/windowed_frames.h"
#include "dsp/audio_dsp.h"
#include "test_support.h"

namespace Trackloom::analysis {
namespace {

using TrackloomTest::clickTrack;
using TrackloomTest::Noise;
using TrackloomTest::rockBeat;
using TrackloomTest::silence;

AudioBuffer toStereo(const AudioBuffer& mono) {
    AudioBuffer s;
    s.sampleRate = mono.sampleRate;
    s.channels = 2;
    s.samples.reserve(mono.samples.size() * 2);
    for (float v : mono.samples) {
        s.samples.push_back(v);
        s.samples.push_back(0.5f * v);
    }
    return s;
}

double feedInBlocks(const AudioBuffer& b, size_t block) {
    TempoEstimator estimator(b.sampleRate, b.channels);
    const size_t frames = b.samples.size() / static_cast<size_t>(b.channels);
    for (size_t done = 0; done < frames; done += block) {
        const size_t n = std::min(block, frames - done);
        estimator.feed(b.samples.data() + done * static_cast<size_t>(b.channels), n);
    }
    return estimator.bpm();
}

class TempoOfRhythm : public ::testing::TestWithParam<double> {};

TEST_P(TempoOfRhythm, ClickTrackReadsItsTempo) {
    const double bpm = GetParam();
    EXPECT_NEAR(AudioDSP::EstimateBPM(clickTrack(bpm, 20.0, 44100)), bpm, 0.5);
}

TEST_P(TempoOfRhythm, RockBeatReadsItsTempo) {
    const double bpm = GetParam();
    EXPECT_NEAR(AudioDSP::EstimateBPM(rockBeat(bpm, 20.0, 44100)), bpm, 0.5);
}

INSTANTIATE_TEST_SUITE_P(TempoEstimator, TempoOfRhythm,
                         ::testing::Values(70.0, 120.0, 128.0, 174.0));

TEST(TempoEstimator, NothingOrSilenceGives120) {
    AudioBuffer empty;
    EXPECT_EQ(AudioDSP::EstimateBPM(empty), 120.0);
    AudioBuffer silence;
    silence.samples.assign(44100 * 5, 0.0f);
    EXPECT_EQ(AudioDSP::EstimateBPM(silence), 120.0);
    TempoEstimator fedNothing(48000, 2);
    EXPECT_EQ(fedNothing.bpm(), 120.0);
}

TEST(TempoEstimator, SilentPaddingChangesNothing) {
    const AudioBuffer beat = rockBeat(128.0, 15.0, 44100);
    AudioBuffer padded = beat;
    padded.samples.insert(padded.samples.begin(), static_cast<size_t>(1.37 * 44100), 0.0f);
    padded.samples.insert(padded.samples.end(), static_cast<size_t>(2.2 * 44100), 0.0f);
    EXPECT_EQ(AudioDSP::EstimateBPM(padded), AudioDSP::EstimateBPM(beat));
}

TEST(TempoEstimator, BlockSizeDoesNotChangeTheResult) {
    const AudioBuffer stereo = toStereo(rockBeat(97.0, 8.0, 44100));
    const double whole = feedInBlocks(stereo, stereo.samples.size());
    EXPECT_NEAR(whole, 97.0, 0.5);
    for (size_t block : {size_t{1}, size_t{7}, size_t{4096}}) {
        EXPECT_EQ(feedInBlocks(stereo, block), whole) << "block of " << block;
    }
}

TEST(TempoEstimator, StereoAndOtherRatesAgree) {
    EXPECT_NEAR(AudioDSP::EstimateBPM(toStereo(rockBeat(120.0, 15.0, 44100))), 120.0, 0.5);
    for (int32_t rate : {8000, 48000, 96000}) {
        EXPECT_NEAR(AudioDSP::EstimateBPM(rockBeat(128.0, 15.0, rate)), 128.0, 0.5)
            << rate << " Hz";
    }
}

TEST(TempoEstimator, ResetForgetsEarlierInput) {
    const AudioBuffer fast = clickTrack(150.0, 10.0, 44100);
    const AudioBuffer slow = rockBeat(90.0, 10.0, 44100);
    TempoEstimator estimator(44100, 1);
    estimator.feed(fast.samples.data(), fast.samples.size());
    estimator.reset();
    estimator.feed(slow.samples.data(), slow.samples.size());
    EXPECT_EQ(estimator.bpm(), AudioDSP::EstimateBPM(slow));
}

TEST(TempoEstimator, DemoTrackReads120AtEveryRate) {
    // A kick every half second: 120 BPM, whatever rate the track is rendered at.
    for (int32_t rate : {8000, 44100, 48000}) {
        EXPECT_EQ(AudioDSP::EstimateBPM(AudioDSP::CreateDemoSong(3.0f, rate)), 120.0) << rate;
    }
}

TEST(TempoEstimator, RatesBeyondTheAnalyzedRangeGiveNoEvidence) {
    // A header's rate is anything from 1 Hz to 2^31-1 Hz; the resampler for the extremes
    // would need gigabytes, so such input is heard as silence, at once.
    const AudioBuffer beat = rockBeat(128.0, 4.0, 8000);
    for (int32_t rate :
         {1, analysis::kMinAnalyzedRate - 1, analysis::kMaxAnalyzedRate + 1, INT32_MAX}) {
        TempoEstimator estimator(rate, 1);
        estimator.feed(beat.samples.data(), beat.samples.size());
        EXPECT_EQ(estimator.bpm(), 120.0) << rate;
    }
}

TEST(TempoDecision, PeriodicEnvelopeGivesItsTempoUnrounded) {
    // Impulses every 47 frames at 100 frames/s: 127.66 BPM, off the 0.5 BPM search grid.
    analysis::OnsetEnvelopes env;
    for (auto& band : env.band) band.assign(3000, 0.0f);
    for (size_t i = 5; i < 3000; i += 47) {
        env.band[0][i] = 1.0f;
        env.band[3][i] = 0.5f;
        env.band[3][i + 23] = 0.3f;  // off-beat hi-hat
    }
    EXPECT_NEAR(analysis::ChooseTempoFromEnvelopes(env).bpm, 6000.0 / 47.0, 0.05);
    analysis::OnsetEnvelopes flat;
    for (auto& band : flat.band) band.assign(3000, 0.25f);
    EXPECT_EQ(analysis::ChooseTempoFromEnvelopes(flat).bpm, 0.0);
}

}  // namespace
}  // namespace Trackloom::analysis
