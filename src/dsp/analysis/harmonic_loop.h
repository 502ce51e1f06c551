// The harmony's loop: the span after which a song's chords come round again, and the bass
// heard over each quarter of it. Both estimators lean on it. The key's tonic is the chord
// the loop opens on, which tells a key from its relative (a minor loop i-VI-III-VII has
// exactly the chords of its relative major); and a loop spans whole bars, which tells a
// half-time groove or a clave from the beat it is taken for. The tempo in turn knows the
// beat far better than the loop search does, and sets the loop to its exact length.
//
// The loop is found in per-frame pitch-class evidence (ChromaFrames, which KeyEstimator
// gathers), over the opening of the music: later sections may loop differently, and a
// small error in the length adds up over many turns.
#pragma once

#include <array>
#include <vector>

namespace Trackloom::analysis {

// Pitch-class evidence frame by frame; index 0 is C, 9 is A. Frames are evenly spaced.
struct ChromaFrames {
    double hopSeconds = 0.0;                    // time between frames
    double firstCentreSeconds = 0.0;            // centre of frame 0 from the start of the stream
    double soundStartSeconds = -1.0;            // first clearly audible sample; -1 when none
    std::vector<std::array<float, 12>> bass;    // each frame's bass note
    std::vector<std::array<float, 12>> treble;  // the peaks above it
};

// The loop: its length, how closely it repeats, and the bass heard over each quarter of
// it, counted in whole turns from the music's start.
struct HarmonicLoop {
    double periodSeconds = 0.0;  // 0 when no loop was found
    double repetition = 0.0;     // mean cosine similarity of frames a period apart
    // Summed over the turns; quarter 0 opens the loop. A four-chord loop has one chord in each.
    std::array<std::array<double, 12>, 4> quarterBass{};
    std::array<double, 12> allBass{};  // over all the music from its start
};

// The span over which the frames repeat best, between 3 and 18 seconds.
HarmonicLoop FindHarmonicLoop(const ChromaFrames& frames);

// The lengths in beats a loop of whole bars takes: four, eight or twelve bars of three or
// four beats (24 is also six bars of four).
constexpr double kWholeBarLoopBeats[] = {12.0, 16.0, 24.0, 32.0, 36.0, 48.0};

// The loop set to the whole-bar length (kWholeBarLoopBeats at `bpm`) nearest its length,
// and the bass over its quarters measured again. The repetition search works on the
// frames' grid (a quarter of a second) and can miss the length by a beat or two, which
// moves the openings further off with every turn; the tempo knows the beat to a fraction of
// a percent. `loop` is returned as it is when no loop or tempo (bpm <= 0) is known or no
// whole-bar length is near.
HarmonicLoop FitLoopToTempo(const ChromaFrames& frames, const HarmonicLoop& loop, double bpm);

// Checks a tempo against the loop's length. Onsets alone cannot tell a half-time groove
// from a slow backbeat, nor a three-against-two clave from a slower beat; the harmony can.
// A loop of 8 beats means the reading is half the notated beat, and one of 2/3 of a whole
// number of bars (21.3 beats) means it is two thirds of it (this only for a loop that
// repeats closely); the corrected tempo is returned. Any other reading, a loop that repeats
// too loosely to go by, or a correction beyond `maxBpm` leaves `bpm` as it is.
double FitTempoToHarmony(double bpm, const HarmonicLoop& loop, double maxBpm);

}  // namespace Trackloom::analysis
