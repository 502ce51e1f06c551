// Key estimation on chord progressions synthesized here in known keys.
#include "dsp/analysis/key_estimator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "dsp/analysis/analysis.h"
#include "dsp/audio_dsp.h"
#include "test_support.h"

namespace Trackloom::analysis {
namespace {

using TrackloomTest::addNote;
using TrackloomTest::hz;

constexpr double kTwoPi = 6.283185307179586;

using TrackloomTest::Chord;
using TrackloomTest::progression;

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

TEST(KeyEstimator, BassStruckOnEveryEighthNoteIsStillTheBass) {
    // Struck again and again, a note is a comb of lines too, a restrike rate apart around
    // its own: it must not be passed over like a drum's. Eighth notes at 120 and 180 BPM.
    const std::vector<std::pair<int, double>> cases = {
        {48, 0.25}, {50, 0.25}, {45, 1.0 / 6.0}, {52, 1.0 / 6.0}};
    for (const auto& [root, note] : cases) {
        AudioBuffer b;
        b.sampleRate = 22050;
        b.samples.assign(static_cast<size_t>(8.0 * b.sampleRate), 0.0f);
        for (double t = 0.0; t + note <= 8.0 + 1e-9; t += note) {
            addNote(b.samples, b.sampleRate, t, note, root, 0.35);
        }
        for (int n : {root + 24, root + 28, root + 31}) {
            addNote(b.samples, b.sampleRate, 0.0, 8.0, n, 0.15);
        }
        KeyEstimator estimator(b.sampleRate, 1);
        estimator.feed(b.samples.data(), b.samples.size());
        const analysis::ChromaFrames& frames = estimator.chromaFrames();
        size_t withBass = 0;
        for (const auto& f : frames.bass) {
            if (std::any_of(f.begin(), f.end(), [](float v) { return v > 0.0f; })) ++withBass;
        }
        EXPECT_GE(withBass, frames.bass.size() * 9 / 10) << root << " every " << note << " s";
        const auto& bass = estimator.chroma().bass;
        double all = 0.0;
        for (double v : bass) all += v;
        EXPECT_GT(bass[static_cast<size_t>(root % 12)], 0.6 * all) << root;
    }
}

TEST(KeyEstimator, MinorLoopOnTheRelativeMajorsChordsFollowsItsTune) {
    // i-VI-III-VII in A minor uses exactly the chords of C major; only the tune's leaning on
    // A (starting there, coming back at the end of the phrase) names the key.
    const std::vector<Chord> loop = {{45, true}, {41, false}, {48, false}, {43, false}};
    const std::vector<int> tune = {81, 76, 81, 77, 79, 76, 74, 81};
    EXPECT_EQ(AudioDSP::EstimateKey(progression(loop, 3, 22050, tune)),
              "A Minor (Relative: C Major)");
}

TEST(KeyEstimator, TheChordOpeningTheLoopDecidesBetweenRelativeKeys) {
    // The same four chords in the same cycle: started on A minor they are i-VI-III-VII in
    // A minor, started on C they are I-V-vi-IV in C major; likewise for E minor and G major.
    const std::vector<std::pair<std::vector<Chord>, std::string>> cases = {
        {{{45, true}, {41, false}, {48, false}, {43, false}}, "A Minor (Relative: C Major)"},
        {{{48, false}, {43, false}, {45, true}, {41, false}}, "C Major (Relative: A Minor)"},
        {{{40, true}, {48, false}, {43, false}, {50, false}}, "E Minor (Relative: G Major)"},
        {{{43, false}, {50, false}, {40, true}, {48, false}}, "G Major (Relative: E Minor)"},
    };
    for (const auto& [chords, expected] : cases) {
        EXPECT_EQ(AudioDSP::EstimateKey(progression(chords, 3)), expected);
    }
}

// Short bursts of noise on every beat (120 BPM) for `seconds` at the start of `b`.
void addDrumIntro(AudioBuffer& b, double seconds) {
    uint32_t state = 12345u;
    for (double t = 0.0; t < seconds; t += 0.5) {
        const size_t first = static_cast<size_t>(t * b.sampleRate);
        for (size_t i = 0; i < static_cast<size_t>(0.05 * b.sampleRate); ++i) {
            state = state * 1664525u + 1013904223u;
            const double noise = static_cast<double>(state >> 8) / 8388608.0 - 1.0;
            b.samples[first + i] +=
                static_cast<float>(0.3 * noise * (1.0 - i / (0.05 * b.sampleRate)));
        }
    }
}

TEST(KeyEstimator, LoopIsCountedFromTheMusicsStartNotFromTheHarmonysEntry) {
    // Drums alone for the first two bars of the A minor loop i-VI-III-VII, so the harmony
    // enters on C: the loop still opens on A minor every eight seconds from the first beat.
    AudioBuffer b = progression({{45, true}, {41, false}, {48, false}, {43, false}}, 3);
    const size_t intro = static_cast<size_t>(4.0 * b.sampleRate);
    std::fill(b.samples.begin(), b.samples.begin() + static_cast<std::ptrdiff_t>(intro), 0.0f);
    addDrumIntro(b, 4.0);
    EXPECT_EQ(AudioDSP::EstimateKey(b), "A Minor (Relative: C Major)");
    // Silence before the music moves the count with it.
    AudioBuffer late = b;
    late.samples.insert(late.samples.begin(), static_cast<size_t>(1.3 * b.sampleRate), 0.0f);
    EXPECT_EQ(AudioDSP::EstimateKey(late), "A Minor (Relative: C Major)");
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
    EXPECT_EQ(analysis::KeyName(9 + 12), "A Minor (Relative: C Major)");
    EXPECT_EQ(analysis::KeyName(3), "Eb Major (Relative: C Minor)");
    EXPECT_EQ(analysis::KeyName(1), "C# Major (Relative: Bb Minor)");
    EXPECT_EQ(analysis::KeyName(8 + 12), "Ab Minor (Relative: B Major)");
    EXPECT_EQ(analysis::KeyName(-1), "F# Minor (Relative: A Major)");
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
}  // namespace Trackloom::analysis

namespace Trackloom::analysis {

// Loops leaning on the dominant or the subdominant make the profiles favour that
// neighbouring key; opening on the tonic settles it. A loop opening on ii (ii-V-I-I) keeps
// its tonic: the openings' say between neighbours a fifth apart is the smaller one.
TEST(KeyEstimator, TheLoopsOpeningDecidesBetweenKeysAFifthApart) {
    EXPECT_EQ(keyOf({{48, false}, {43, false}, {50, true}, {43, false}}),
              "C Major (Relative: A Minor)");  // C G Dm G
    EXPECT_EQ(keyOf({{48, false}, {41, false}, {43, false}, {41, false}}),
              "C Major (Relative: A Minor)");  // C F G F
    EXPECT_EQ(keyOf({{50, true}, {43, false}, {48, false}, {48, false}}),
              "C Major (Relative: A Minor)");  // Dm G C C
}

}  // namespace Trackloom::analysis

namespace Trackloom::analysis {
namespace {

struct LoopChord {
    int root;                // MIDI note of the bass
    std::vector<int> tones;  // intervals from the root
};

// One 2-second bar a chord, three turns. The bass walks from each root to the fifth above at
// mid-bar, as bass lines do; the chord's tones sound in close position two octaves above the
// root, and a tune takes the chord's tones `tune` an octave above those.
AudioBuffer walkingBassLoop(const std::vector<LoopChord>& chords, std::array<size_t, 2> tune) {
    AudioBuffer b;
    b.sampleRate = 22050;
    const double bar = 2.0;
    const int loops = 3;
    b.samples.assign(static_cast<size_t>(bar * chords.size() * loops * b.sampleRate), 0.0f);
    double t = 0.0;
    for (int l = 0; l < loops; ++l) {
        for (const auto& [root, tones] : chords) {
            addNote(b.samples, b.sampleRate, t, bar / 2, root, 0.35);
            addNote(b.samples, b.sampleRate, t + bar / 2, bar / 2, root + 7, 0.35);
            for (int d : tones) addNote(b.samples, b.sampleRate, t, bar, root + 24 + d, 0.12);
            addNote(b.samples, b.sampleRate, t, bar / 2, root + 36 + tones[tune[0]], 0.1);
            addNote(b.samples, b.sampleRate, t + bar / 2, bar / 2, root + 36 + tones[tune[1]], 0.1);
            t += bar;
        }
    }
    return b;
}

// ii-V-I-I on `tonic` (the MIDI note of its bass): minor on ii, major on V and I, with the
// seventh when `sevenths`, else with the root doubled on top.
AudioBuffer twoFiveOneWalking(int tonic, bool sevenths, std::array<size_t, 2> tune) {
    const int top = sevenths ? 10 : 12;  // minor or dominant seventh
    return walkingBassLoop({{tonic + 2, {0, 3, 7, top}},
                            {tonic + 7, {0, 4, 7, top}},
                            {tonic, {0, 4, 7, sevenths ? 11 : 12}},
                            {tonic, {0, 4, 7, sevenths ? 11 : 12}}},
                           tune);
}

// Opening on ii, the loop's first bass notes are the supertonic and the sixth degree, the
// relative minor's tonic: the walk to the fifth must not be heard as a chord of its own.
TEST(KeyEstimator, ABassWalkingToTheFifthKeepsTheLoopsOpeningChord) {
    const std::vector<std::pair<int, std::string>> keys = {
        {38, "D Major (Relative: B Minor)"},
        {39, "Eb Major (Relative: C Minor)"},
        {43, "G Major (Relative: E Minor)"},
        {47, "B Major (Relative: Ab Minor)"},
    };
    for (const auto& [tonic, expected] : keys) {
        EXPECT_EQ(AudioDSP::EstimateKey(twoFiveOneWalking(tonic, false, {1, 3})), expected)
            << "tonic " << tonic;
    }
}

// With sevenths and a tune on each chord's fifth and seventh, ii7-V7-Imaj7 sounds the
// dominant's triad most (in C: D F A C, G B D F, C E G B), which the profiles take for the
// dominant's key; the fourth degree that ii7 and V7 hold is not on that key's scale.
TEST(KeyEstimator, SeventhChordCadenceNamesItsTonicNotItsDominant) {
    const std::vector<std::pair<int, std::string>> keys = {
        {36, "C Major (Relative: A Minor)"},
        {41, "F Major (Relative: D Minor)"},
        {45, "A Major (Relative: F# Minor)"},
        {39, "Eb Major (Relative: C Minor)"},
    };
    for (const auto& [tonic, expected] : keys) {
        EXPECT_EQ(AudioDSP::EstimateKey(twoFiveOneWalking(tonic, true, {2, 3})), expected)
            << "tonic " << tonic;
    }
}

// V-I-I-iii opens on the dominant, and no chord of it holds the fourth degree or the one
// raised: the openings and the scale name the dominant's key. The fall of a fifth into the
// chord the loop then holds names the tonic.
TEST(KeyEstimator, AFallOfAFifthIntoAHeldChordNamesTheTonic) {
    const std::vector<std::pair<int, std::string>> keys = {
        {36, "C Major (Relative: A Minor)"},
        {38, "D Major (Relative: B Minor)"},
        {41, "F Major (Relative: D Minor)"},
        {44, "Ab Major (Relative: F Minor)"},
    };
    for (const auto& [tonic, expected] : keys) {
        const AudioBuffer b = walkingBassLoop({{tonic - 5, {0, 4, 7}},
                                               {tonic, {0, 4, 7}},
                                               {tonic, {0, 4, 7}},
                                               {tonic + 4, {0, 3, 7}}},
                                              {0, 1});
        EXPECT_EQ(AudioDSP::EstimateKey(b), expected) << "tonic " << tonic;
    }
}

}  // namespace
}  // namespace Trackloom::analysis
