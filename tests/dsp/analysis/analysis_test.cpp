// Where tempo and key meet: the harmony's loop settling the tempo's octave, the confidence
// of each answer, and the folding of tempi into a range.
#include "dsp/analysis/analysis.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "dsp/analysis/tempo_estimator.h"
#include "dsp/audio_dsp.h"
#include "test_support.h"

namespace Trackloom::analysis {
namespace {

using TrackloomTest::addKick;
using TrackloomTest::addNoiseHit;
using TrackloomTest::addNote;
using TrackloomTest::clickTrack;
using TrackloomTest::Noise;
using TrackloomTest::progression;
using TrackloomTest::rockBeat;
using TrackloomTest::silence;

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
        addNote(b.samples, rate, t, 4 * beat, roots[c], 0.3);
        for (int note : {roots[c] + 24, roots[c] + 24 + (minor[c] ? 3 : 4), roots[c] + 31}) {
            addNote(b.samples, rate, t, 4 * beat, note, 0.12);
        }
    }
    return b;
}

// The drums of a half-time groove repeat at half its notated beat, and alone read so; the
// harmony, a chord a bar, shows the loop spans 16 beats at the notated tempo, not 8.
TEST(Analysis, HarmonyTellsAHalfTimeGrooveFromASlowBackbeat) {
    const AudioBuffer song = halfTimeSong(150.0, 30.0, 22050);
    TempoEstimator drumsOnly(song.sampleRate, 1);
    drumsOnly.feed(song.samples.data(), song.samples.size());
    EXPECT_NEAR(drumsOnly.bpm(), 75.0, 0.5);
    EXPECT_NEAR(AudioDSP::EstimateBPM(song), 150.0, 0.5);
}

// The confidence says how much to trust the tempo: steady drums near 1, sound with no beat
// (a held tone, noise) near 0, so a script can tell a guess from a reading.
TEST(Analysis, TempoConfidenceTellsASteadyBeatFromAGuess) {
    constexpr int32_t kRate = 44100;
    auto confidence = [](const AudioBuffer& b) {
        return analysis::EstimateTempoAndKey(b).bpmConfidence;
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

// The key's confidence ranks a clear cadence above harmony that two keys explain equally:
// an open fifth (no third) says nothing of major or minor.
TEST(Analysis, KeyConfidenceIsHighForACadenceAndLowForAnOpenFifth) {
    auto confidence = [](const AudioBuffer& b) {
        return analysis::EstimateTempoAndKey(b).keyConfidence;
    };
    const double cadence =
        confidence(progression({{48, false}, {53, false}, {55, false}, {48, false}}, 3));
    AudioBuffer fifths;
    fifths.sampleRate = 22050;
    fifths.samples.assign(static_cast<size_t>(16.0 * fifths.sampleRate), 0.0f);
    for (double t = 0.0; t < 16.0; t += 2.0) {
        for (const int note : {36, 48, 55, 60, 67})
            addNote(fifths.samples, 22050, t, 2.0, note, 0.15);
    }
    const double open = confidence(fifths);
    EXPECT_GT(cadence, 0.8);
    EXPECT_LT(open, 0.4);
}

// Sound that holds no key at all gets a low key confidence whatever key it is given, below
// that of a minor loop named right, and silence gets no confidence at all.
TEST(Analysis, KeyConfidenceIsLowWithoutTonalMusic) {
    constexpr int32_t kRate = 22050;
    // i-VI-III-VII in A minor, the loop whose chords are its relative major's.
    const TempoAndKey minor = EstimateTempoAndKey(
        progression({{45, true}, {41, false}, {48, false}, {43, false}}, 3, kRate));
    ASSERT_EQ(minor.key, "A Minor (Relative: C Major)");
    EXPECT_GT(minor.keyConfidence, 0.5);

    AudioBuffer hiss = silence(20.0, kRate);
    Noise noise;
    for (float& v : hiss.samples) v = 0.3f * noise.next();
    AudioBuffer drums = rockBeat(96.0, 20.0, kRate);
    for (const AudioBuffer* atonal : {&hiss, &drums}) {
        EXPECT_LT(EstimateTempoAndKey(*atonal).keyConfidence, 0.1);
    }
    const TempoAndKey quiet = EstimateTempoAndKey(silence(5.0, kRate));
    EXPECT_EQ(quiet.keyConfidence, 0.0);
    EXPECT_EQ(quiet.bpmConfidence, 0.0);
}

TEST(Analysis, TempoFoldsByOctavesIntoTheRange) {
    EXPECT_DOUBLE_EQ(analysis::FoldTempoIntoRange(174.0, 70.0, 140.0), 87.0);
    EXPECT_DOUBLE_EQ(analysis::FoldTempoIntoRange(60.0, 70.0, 140.0), 120.0);
    EXPECT_DOUBLE_EQ(analysis::FoldTempoIntoRange(30.0, 85.0, 170.0),
                     120.0);  // two octaves up
    EXPECT_DOUBLE_EQ(analysis::FoldTempoIntoRange(100.0, 70.0, 140.0), 100.0);
    EXPECT_DOUBLE_EQ(analysis::FoldTempoIntoRange(140.0, 70.0, 140.0),
                     140.0);  // bounds included
    EXPECT_DOUBLE_EQ(analysis::FoldTempoIntoRange(154.3, 70.0, 140.0),
                     77.2);  // rounded to 0.1
    // A range narrower than an octave cannot hold every tempo: left alone.
    EXPECT_DOUBLE_EQ(analysis::FoldTempoIntoRange(174.0, 100.0, 150.0), 174.0);
}

}  // namespace
}  // namespace Trackloom::analysis
