// The harmony's loop: found in pitch-class frames made up here, set to whole bars by the
// tempo, and correcting tempo readings by its length.
#include "dsp/analysis/harmonic_loop.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <utility>

namespace Trackloom::analysis {
namespace {

// Frames every 0.25 s of a loop of four 2-second chords on roots A, F, C, G, each a pure
// bass line under its triad, the music starting 0.4 s into the stream.
constexpr int kLoopRoots[4] = {9, 5, 0, 7};

// `chordSeconds` long each, over `frames` frames. With `ninthEvery` > 0, every that many
// turns the opening chord carries an added ninth.
analysis::ChromaFrames fourChordLoop(double chordSeconds = 2.0, int frames = 120,
                                     int ninthEvery = 0) {
    analysis::ChromaFrames f;
    f.hopSeconds = 0.25;
    f.firstCentreSeconds = 0.5;
    f.soundStartSeconds = 0.4;
    const int thirds[4] = {3, 4, 4, 4};
    for (int i = 0; i < frames; ++i) {
        const double t = f.firstCentreSeconds + i * f.hopSeconds - f.soundStartSeconds;
        const int step = t < 0.0 ? 0 : static_cast<int>(t / chordSeconds);
        const int chord = step % 4;
        std::array<float, 12> bass{}, treble{};
        bass[static_cast<size_t>(kLoopRoots[chord])] = 1.0f;
        for (int d : {0, thirds[chord], 7})
            treble[static_cast<size_t>((kLoopRoots[chord] + d) % 12)] = 1.0f;
        if (ninthEvery > 0 && chord == 0 && (step / 4) % ninthEvery == 0) {
            treble[static_cast<size_t>((kLoopRoots[0] + 2) % 12)] = 1.0f;
        }
        f.bass.push_back(bass);
        f.treble.push_back(treble);
    }
    return f;
}

size_t strongestOpening(const analysis::HarmonicLoop& loop) {
    const auto& opening = loop.quarterBass[0];
    return static_cast<size_t>(std::max_element(opening.begin(), opening.end()) - opening.begin());
}

TEST(HarmonicLoop, FindsTheLoopsLengthAndTheBassOverEachQuarter) {
    const analysis::ChromaFrames f = fourChordLoop();
    const analysis::HarmonicLoop loop = analysis::FindHarmonicLoop(f);
    EXPECT_NEAR(loop.periodSeconds, 8.0, 0.15);
    EXPECT_GT(loop.repetition, 0.9);
    // Each quarter of the turn holds its chord's root: A, then F, C and G.
    for (size_t q = 0; q < 4; ++q) {
        const auto& bass = loop.quarterBass[q];
        const size_t root = static_cast<size_t>(kLoopRoots[q]);
        for (size_t pc = 0; pc < 12; ++pc) {
            if (pc == root) continue;
            EXPECT_GT(bass[root], 3.0 * bass[pc]) << "quarter " << q << ", " << pc;
        }
    }
    // Nothing heard, or no music start: no loop.
    analysis::ChromaFrames silent = f;
    silent.soundStartSeconds = -1.0;
    EXPECT_EQ(analysis::FindHarmonicLoop(silent).repetition, 0.0);
}

TEST(HarmonicLoop, ALoopHeardLessThanTwiceIsFoundButNoMultipleOfAShorterOne) {
    // 28 s of a 16 s loop: heard 1.75 times.
    const analysis::HarmonicLoop slow = analysis::FindHarmonicLoop(fourChordLoop(4.0, 112));
    EXPECT_NEAR(slow.periodSeconds, 16.0, 0.15);
    EXPECT_EQ(strongestOpening(slow), 9u);
    // A 5.5 s loop whose every third turn adds a ninth repeats exactly only at 16.5 s, past
    // half the opening: still the 5.5 s loop.
    const analysis::HarmonicLoop fast = analysis::FindHarmonicLoop(fourChordLoop(1.375, 112, 3));
    EXPECT_NEAR(fast.periodSeconds, 5.5, 0.15);
}

TEST(HarmonicLoop, TheTempoSetsTheLoopToWholeBars) {
    // The loop is 16 beats at 120 BPM. Taken as 7 s (12 beats at 102.9 BPM), its openings
    // slide back a chord every few turns and land on the G that closes it.
    const analysis::ChromaFrames f = fourChordLoop();
    const analysis::HarmonicLoop found = analysis::FindHarmonicLoop(f);
    const analysis::HarmonicLoop shortLoop = analysis::FitLoopToTempo(f, found, 12.0 * 60.0 / 7.0);
    ASSERT_NEAR(shortLoop.periodSeconds, 7.0, 1e-12);
    EXPECT_EQ(strongestOpening(shortLoop), 7u);

    // At the true tempo the 14 beats it spans are nearest 16, which puts the A back.
    const analysis::HarmonicLoop fitted = analysis::FitLoopToTempo(f, shortLoop, 120.0);
    EXPECT_DOUBLE_EQ(fitted.periodSeconds, 8.0);
    EXPECT_EQ(fitted.repetition, found.repetition);
    EXPECT_EQ(strongestOpening(fitted), 9u);
    EXPECT_EQ(fitted.allBass, found.allBass);

    // No tempo, or 20 beats, near no whole number of bars: left alone.
    for (const double bpm : {0.0, 20.0 * 60.0 / 7.0}) {
        const analysis::HarmonicLoop same = analysis::FitLoopToTempo(f, shortLoop, bpm);
        EXPECT_EQ(same.periodSeconds, shortLoop.periodSeconds) << bpm;
        EXPECT_EQ(same.quarterBass, shortLoop.quarterBass) << bpm;
    }
}

TEST(HarmonicLoop, LengthSettlesHalfAndTwoThirdTempoReadings) {
    auto loop = [](double seconds, double repetition = 0.8) {
        analysis::HarmonicLoop l;
        l.periodSeconds = seconds;
        l.repetition = repetition;
        return l;
    };
    // Corrections are allowed up to 200 BPM.
    auto fit = [](double bpm, const analysis::HarmonicLoop& l) {
        return analysis::FitTempoToHarmony(bpm, l, 200.0);
    };
    // 8 beats to the loop: the reading was half the beat.
    EXPECT_DOUBLE_EQ(fit(75.0, loop(6.4)), 150.0);
    // 2/3 of 32 beats: a clave's three-against-two read as the beat.
    EXPECT_DOUBLE_EQ(fit(86.0, loop(14.88)), 129.0);
    // Whole bars of four or three beats stand: 16, 32, 12, 24 and 36 beats.
    for (auto [bpm, seconds] :
         {std::pair{150.0, 6.4}, {130.0, 14.77}, {150.0, 4.8}, {150.0, 9.6}, {180.0, 12.0}}) {
        EXPECT_DOUBLE_EQ(fit(bpm, loop(seconds)), bpm) << bpm << " " << seconds;
    }
    // No loop, a loose one, or a correction past 200 BPM: left alone.
    EXPECT_DOUBLE_EQ(fit(75.0, loop(0.0)), 75.0);
    EXPECT_DOUBLE_EQ(fit(75.0, loop(6.4, 0.1)), 75.0);
    // A loop loose enough to be mismeasured does not move a steady beat to a new metre: a
    // dance track's 16-beat loop taken for 10.2 beats is no clave.
    EXPECT_DOUBLE_EQ(fit(126.3, loop(4.85, 0.39)), 126.3);
    EXPECT_DOUBLE_EQ(fit(75.0, loop(6.4, 0.39)), 150.0);
    EXPECT_DOUBLE_EQ(fit(110.0, loop(60.0 * 8 / 110.0)), 110.0);
    EXPECT_DOUBLE_EQ(fit(140.0, loop(60.0 * 32 / 1.5 / 140.0)), 140.0);
}

}  // namespace
}  // namespace Trackloom::analysis
