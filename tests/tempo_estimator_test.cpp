// Tempo estimation on rhythms synthesised here, where the true tempo is known exactly.
#include "dsp/tempo_estimator.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <utility>
#include <vector>

#include "dsp/analysis.h"
#include "dsp/audio_dsp.h"
#include "dsp/windowed_frames.h"
#include "test_support.h"

namespace Trackloom {
namespace {

constexpr double kTwoPi = 6.283185307179586;

// Deterministic noise in -1..1, so the tests do not depend on a library's generator.
class Noise {
  public:
    float next() {
        state_ = state_ * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<float>(static_cast<int64_t>(state_ >> 11) - (int64_t{1} << 52)) /
               static_cast<float>(int64_t{1} << 52);
    }

  private:
    uint64_t state_ = 0x853c49e6748fea9bULL;
};

void addClick(std::vector<float>& out, int32_t rate, double at, float level) {
    const size_t start = static_cast<size_t>(std::lround(at * rate));
    const size_t length = static_cast<size_t>(0.03 * rate);
    for (size_t i = 0; i < length && start + i < out.size(); ++i) {
        const double t = static_cast<double>(i) / rate;
        out[start + i] +=
            level * static_cast<float>(std::exp(-t * 150.0) * std::sin(kTwoPi * 1000.0 * t));
    }
}

void addKick(std::vector<float>& out, int32_t rate, double at) {
    const size_t start = static_cast<size_t>(std::lround(at * rate));
    const size_t length = static_cast<size_t>(0.2 * rate);
    double phase = 0.0;
    for (size_t i = 0; i < length && start + i < out.size(); ++i) {
        const double t = static_cast<double>(i) / rate;
        phase += kTwoPi * (45.0 + 100.0 * std::exp(-t * 30.0)) / rate;
        out[start + i] += 0.8f * static_cast<float>(std::exp(-t * 12.0) * std::sin(phase));
    }
}

void addNoiseHit(std::vector<float>& out, int32_t rate, double at, float level, double decay,
                 Noise& noise, bool bright) {
    const size_t start = static_cast<size_t>(std::lround(at * rate));
    const size_t length = static_cast<size_t>(0.15 * rate);
    float previous = 0.0f;
    for (size_t i = 0; i < length && start + i < out.size(); ++i) {
        const double t = static_cast<double>(i) / rate;
        const float n = noise.next();
        // A first difference tilts the noise towards the top: hi-hat rather than snare.
        const float v = bright ? n - previous : n;
        previous = n;
        out[start + i] += level * static_cast<float>(std::exp(-t * decay)) * v;
    }
}

// Mono silence, `seconds` long.
AudioBuffer silence(double seconds, int32_t rate) {
    AudioBuffer b;
    b.sampleRate = rate;
    b.samples.assign(static_cast<size_t>(seconds * rate), 0.0f);
    return b;
}

AudioBuffer clickTrack(double bpm, double seconds, int32_t rate) {
    AudioBuffer b = silence(seconds, rate);
    for (double t = 0.0; t < seconds; t += 60.0 / bpm) addClick(b.samples, rate, t, 0.5f);
    return b;
}

// Kick on beats 1 and 3, snare on 2 and 4, closed hi-hat on every eighth note.
AudioBuffer rockBeat(double bpm, double seconds, int32_t rate) {
    AudioBuffer b = silence(seconds, rate);
    Noise noise;
    const double beat = 60.0 / bpm;
    int index = 0;
    for (double t = 0.0; t < seconds; t += beat, ++index) {
        if (index % 2 == 0) {
            addKick(b.samples, rate, t);
        } else {
            addNoiseHit(b.samples, rate, t, 0.5f, 25.0, noise, false);
        }
        addNoiseHit(b.samples, rate, t, 0.15f, 60.0, noise, true);
        addNoiseHit(b.samples, rate, t + beat / 2.0, 0.1f, 60.0, noise, true);
    }
    return b;
}

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

TEST(TempoEstimator, RatesBeyondTheAnalysedRangeGiveNoEvidence) {
    // A header's rate is anything from 1 Hz to 2^31-1 Hz; the resampler for the extremes
    // would need gigabytes, so such input is heard as silence, at once.
    const AudioBuffer beat = rockBeat(128.0, 4.0, 8000);
    for (int32_t rate : {1, dsp::kMinAnalysedRate - 1, dsp::kMaxAnalysedRate + 1, INT32_MAX}) {
        TempoEstimator estimator(rate, 1);
        estimator.feed(beat.samples.data(), beat.samples.size());
        EXPECT_EQ(estimator.bpm(), 120.0) << rate;
    }
}

TEST(TempoDecision, PeriodicEnvelopeGivesItsTempoUnrounded) {
    // Impulses every 47 frames at 100 frames/s: 127.66 BPM, off the 0.5 BPM search grid.
    dsp::OnsetEnvelopes env;
    for (auto& band : env.band) band.assign(3000, 0.0f);
    for (size_t i = 5; i < 3000; i += 47) {
        env.band[0][i] = 1.0f;
        env.band[3][i] = 0.5f;
        env.band[3][i + 23] = 0.3f;  // off-beat hi-hat
    }
    EXPECT_NEAR(dsp::ChooseTempoFromEnvelopes(env).bpm, 6000.0 / 47.0, 0.05);
    dsp::OnsetEnvelopes flat;
    for (auto& band : flat.band) band.assign(3000, 0.25f);
    EXPECT_EQ(dsp::ChooseTempoFromEnvelopes(flat).bpm, 0.0);
}

}  // namespace
}  // namespace Trackloom

namespace Trackloom {
namespace {

// Kick on beat 1 (and the and of 3), snare on beat 3, hi-hat eighths, under a loop of four
// chords a bar each: a half-time groove, notated at `bpm`, that the drums alone make sound
// half as fast.
AudioBuffer halfTimeSong(double bpm, double seconds, int32_t rate) {
    AudioBuffer b = silence(seconds, rate);
    Noise noise;
    const double beat = 60.0 / bpm;
    const int roots[4] = {45, 41, 48, 43};  // A F C G
    const bool minor[4] = {true, false, false, false};
    for (int bar = 0; bar * 4 * beat < seconds; ++bar) {
        const double t = bar * 4 * beat;
        addKick(b.samples, rate, t);
        addKick(b.samples, rate, t + 2.5 * beat);
        addNoiseHit(b.samples, rate, t + 2 * beat, 0.5f, 25.0, noise, false);
        for (int k = 0; k < 8; ++k) {
            addNoiseHit(b.samples, rate, t + k * beat / 2, 0.1f, 60.0, noise, true);
        }
        const int c = bar % 4;
        TrackloomTest::addNote(b.samples, rate, t, 4 * beat, roots[c], 0.3);
        for (int note : {roots[c] + 24, roots[c] + 24 + (minor[c] ? 3 : 4), roots[c] + 31}) {
            TrackloomTest::addNote(b.samples, rate, t, 4 * beat, note, 0.12);
        }
    }
    return b;
}

}  // namespace

// The drums of a half-time groove repeat at half its notated beat, and alone read so; the
// harmony, a chord a bar, shows the loop spans 16 beats at the notated tempo, not 8.
TEST(TempoEstimator, HarmonyTellsAHalfTimeGrooveFromASlowBackbeat) {
    const AudioBuffer song = halfTimeSong(150.0, 30.0, 22050);
    TempoEstimator drumsOnly(song.sampleRate, 1);
    drumsOnly.feed(song.samples.data(), song.samples.size());
    EXPECT_NEAR(drumsOnly.bpm(), 75.0, 0.5);
    EXPECT_NEAR(AudioDSP::EstimateBPM(song), 150.0, 0.5);
}

// The confidence says how much to trust the tempo: steady drums near 1, sound with no beat
// (a held tone, noise) near 0, so a script can tell a guess from a reading.
TEST(TempoEstimator, ConfidenceTellsASteadyBeatFromAGuess) {
    constexpr int32_t kRate = 44100;
    auto confidence = [](const AudioBuffer& b) {
        return dsp::EstimateTempoAndKey(b).bpmConfidence;
    };
    EXPECT_GT(confidence(clickTrack(120.0, 20.0, kRate)), 0.8);
    EXPECT_GT(confidence(rockBeat(96.0, 20.0, kRate)), 0.3);

    AudioBuffer tone = silence(20.0, kRate);
    for (size_t i = 0; i < tone.samples.size(); ++i) {
        tone.samples[i] = 0.5f * static_cast<float>(std::sin(2.0 * M_PI * 440.0 * i / kRate));
    }
    EXPECT_LT(confidence(tone), 0.05);
    AudioBuffer hiss = silence(20.0, kRate);
    Noise noise;
    for (float& v : hiss.samples) v = 0.3f * noise.next();
    EXPECT_LT(confidence(hiss), 0.05);
    EXPECT_EQ(confidence(silence(5.0, kRate)), 0.0);
}

}  // namespace Trackloom

TEST(TempoRange, FoldsByOctavesIntoTheRange) {
    EXPECT_DOUBLE_EQ(Trackloom::dsp::FoldTempoIntoRange(174.0, 70.0, 140.0), 87.0);
    EXPECT_DOUBLE_EQ(Trackloom::dsp::FoldTempoIntoRange(60.0, 70.0, 140.0), 120.0);
    EXPECT_DOUBLE_EQ(Trackloom::dsp::FoldTempoIntoRange(30.0, 85.0, 170.0),
                     120.0);  // two octaves up
    EXPECT_DOUBLE_EQ(Trackloom::dsp::FoldTempoIntoRange(100.0, 70.0, 140.0), 100.0);
    EXPECT_DOUBLE_EQ(Trackloom::dsp::FoldTempoIntoRange(140.0, 70.0, 140.0),
                     140.0);  // bounds included
    EXPECT_DOUBLE_EQ(Trackloom::dsp::FoldTempoIntoRange(154.3, 70.0, 140.0),
                     77.2);  // rounded to 0.1
    // A range narrower than an octave cannot hold every tempo: left alone.
    EXPECT_DOUBLE_EQ(Trackloom::dsp::FoldTempoIntoRange(174.0, 100.0, 150.0), 174.0);
}
