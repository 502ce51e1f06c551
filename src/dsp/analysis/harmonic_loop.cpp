#include "dsp/analysis/harmonic_loop.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

#include "dsp/core/portable_math.h"

namespace Trackloom::analysis {

using core::PortableLog;

namespace {

// Loops considered, in seconds: four bars of a fast waltz to eight slow bars.
constexpr double kMinLoopSeconds = 3.0;
constexpr double kMaxLoopSeconds = 18.0;
// Music read for the loop, from its start.
constexpr double kOpeningSeconds = 64.0;
// Repetition scores this close count as equal when choosing between a loop and its double.
constexpr double kLoopTie = 0.04;
// The longest loop looked for, in fifths of the opening read: 3 is a loop heard 1.67 times.
constexpr size_t kLongestLoopFifths = 3;
// Music compared with itself a loop later, at least, for a loop heard less than twice.
constexpr double kMinLongLoopOverlapSeconds = 10.0;
// A lag within this many frames of a whole number of turns of a shorter loop is taken for
// that many turns of it: the shorter loop's own length is only known to a frame.
constexpr double kMultipleSlackFrames = 1.5;

// The frames the loop is looked for in: from the one centred at the music's start on, over
// its opening. Empty (first >= end) when there is no music.
struct OpeningFrames {
    size_t first = 0;
    size_t end = 0;
};

OpeningFrames openingFrames(const ChromaFrames& frames) {
    if (!(frames.hopSeconds > 0.0) || frames.soundStartSeconds < 0.0) return {};
    const double hop = frames.hopSeconds;
    const double firstPos = (frames.soundStartSeconds - frames.firstCentreSeconds) / hop;
    const size_t first = firstPos <= 0.0 ? 0 : static_cast<size_t>(std::ceil(firstPos));
    const size_t end = std::min({frames.bass.size(), frames.treble.size(),
                                 first + static_cast<size_t>(kOpeningSeconds / hop)});
    return {first, end};
}

// One frame's bass (0..11) and harmony (12..23) evidence side by side.
using FrameVector = std::array<double, 24>;

// Each half scaled to length 1/sqrt(2) so that frames alike in both have a cosine
// similarity near 1; all zero when the frame heard nothing.
FrameVector frameVector(const ChromaFrames& f, size_t i) {
    FrameVector v{};
    double nb = 0.0, nt = 0.0;
    for (size_t k = 0; k < 12; ++k) {
        nb += static_cast<double>(f.bass[i][k]) * f.bass[i][k];
        nt += static_cast<double>(f.treble[i][k]) * f.treble[i][k];
    }
    constexpr double kHalf = 0.70710678118654752440;  // 1/sqrt(2)
    const double sb = nb > 0.0 ? kHalf / std::sqrt(nb) : 0.0;
    const double st = nt > 0.0 ? kHalf / std::sqrt(nt) : 0.0;
    for (size_t k = 0; k < 12; ++k) {
        v[k] = f.bass[i][k] * sb;
        v[12 + k] = f.treble[i][k] * st;
    }
    return v;
}

std::vector<FrameVector> openingVectors(const ChromaFrames& frames, OpeningFrames opening) {
    std::vector<FrameVector> v(opening.end - opening.first);
    for (size_t i = opening.first; i < opening.end; ++i) {
        v[i - opening.first] = frameVector(frames, i);
    }
    return v;
}

// The lags, in frames, a loop is looked for at. A loop should have been heard twice; but a
// loop of eight bars of two-bar chords in a 30-second excerpt is heard less than twice, so
// lags up to 3/5 of the opening are looked at too, with more care.
struct LoopLags {
    size_t shortest = 0;
    size_t longestHeardTwice = 0;
    size_t longest = 0;
    size_t minOverlap = 0;  // frames compared, at least, for a loop heard less than twice
};

LoopLags loopLags(double hop, size_t frameCount) {
    LoopLags lags;
    lags.shortest = static_cast<size_t>(std::ceil(kMinLoopSeconds / hop));
    lags.longestHeardTwice = std::min(static_cast<size_t>(kMaxLoopSeconds / hop), frameCount / 2);
    lags.longest = std::max(
        lags.longestHeardTwice,
        std::min(static_cast<size_t>(kMaxLoopSeconds / hop), frameCount * kLongestLoopFifths / 5));
    lags.minOverlap = static_cast<size_t>(kMinLongLoopOverlapSeconds / hop);
    return lags;
}

// How closely the harmony repeats at each lag: the mean cosine similarity of frames that far
// apart. Filled from one lag below the shortest to one above the longest, the neighbours
// the peak tests and the parabola read.
std::vector<double> repetitionByLag(const std::vector<FrameVector>& v, const LoopLags& lags) {
    const size_t m = v.size();
    std::vector<double> r(lags.longest + 2, 0.0);
    for (size_t lag = lags.shortest - 1; lag <= lags.longest + 1; ++lag) {
        double sum = 0.0;
        for (size_t i = 0; i + lag < m; ++i) {
            double dot = 0.0;
            for (size_t k = 0; k < 24; ++k) dot += v[i][k] * v[i + lag][k];
            sum += dot;
        }
        r[lag] = sum / static_cast<double>(m - lag);
    }
    return r;
}

bool isPeak(const std::vector<double>& r, size_t lag) {
    return r[lag] >= r[lag - 1] && r[lag] >= r[lag + 1];
}

// The lag of best repetition among loops heard twice. Two turns repeat as well as one: of
// peaks about as high as the best, the shortest is taken.
size_t loopHeardTwice(const std::vector<double>& r, const LoopLags& lags) {
    size_t best = lags.shortest;
    for (size_t lag = lags.shortest; lag <= lags.longestHeardTwice; ++lag) {
        if (r[lag] > r[best]) best = lag;
    }
    for (size_t lag = lags.shortest; lag < best; ++lag) {
        if (r[lag] >= r[best] - kLoopTie && isPeak(r, lag)) return lag;
    }
    return best;
}

// The loop heard twice, `shortLoop`, or a longer one heard less than twice. Such a loop is
// measured over fewer frames, and whole multiples of a shorter loop repeat at least as well
// as it does: its lag is taken only when it repeats better than the loop found so far and
// is no multiple of `shortLoop`, and only when its measure still rests on a good part of
// the opening (in a short excerpt, drums alone repeat by the bar pair better than anything
// shorter).
size_t loopHeardLessThanTwice(const std::vector<double>& r, const LoopLags& lags, size_t shortLoop,
                              size_t frameCount) {
    size_t best = shortLoop;
    for (size_t lag = lags.longestHeardTwice + 1;
         lag <= lags.longest && frameCount - lag >= lags.minOverlap; ++lag) {
        const double turns = static_cast<double>(lag) / static_cast<double>(shortLoop);
        const bool multiple =
            std::fabs(turns - std::round(turns)) * static_cast<double>(shortLoop) <=
            kMultipleSlackFrames;
        if (!multiple && r[lag] > r[best] && isPeak(r, lag)) best = lag;
    }
    return best;
}

// The loop's length in frames, to a fraction of a frame from the parabola through the
// best lag and its neighbours: the loop's openings drift by the length's error times the
// number of turns.
double refinedLength(const std::vector<double>& r, size_t best) {
    double length = static_cast<double>(best);
    const double a = r[best - 1], b = r[best], c = r[best + 1];
    const double curvature = a - 2.0 * b + c;
    if (curvature < 0.0) length += std::max(-0.5, std::min(0.5, 0.5 * (a - c) / curvature));
    return length;
}

// The bass over each quarter of each turn of a loop `period` seconds long (one chord of a
// four-chord loop), each frame weighed by how much of that quarter it covers; and over all
// the music.
void measureQuarters(const ChromaFrames& frames, OpeningFrames opening, double period,
                     HarmonicLoop& loop) {
    loop.quarterBass = {};
    loop.allBass = {};
    const double frameSeconds = 2.0 * frames.firstCentreSeconds;
    const double span = 0.25 * period;
    const double end =
        frames.firstCentreSeconds + static_cast<double>(opening.end) * frames.hopSeconds;
    for (double t = frames.soundStartSeconds; t < end; t += period) {
        for (size_t q = 0; q < 4; ++q) {
            const double from = t + static_cast<double>(q) * span;
            auto& sum = loop.quarterBass[q];
            for (size_t i = opening.first; i < opening.end; ++i) {
                const double centre =
                    frames.firstCentreSeconds + static_cast<double>(i) * frames.hopSeconds;
                const double lo = std::max(from, centre - 0.5 * frameSeconds);
                const double hi = std::min(from + span, centre + 0.5 * frameSeconds);
                if (hi <= lo) continue;
                const double w = (hi - lo) / frameSeconds;
                for (size_t k = 0; k < 12; ++k) sum[k] += w * frames.bass[i][k];
            }
        }
    }
    for (size_t i = opening.first; i < opening.end; ++i) {
        for (size_t k = 0; k < 12; ++k) loop.allBass[k] += frames.bass[i][k];
    }
}

}  // namespace

HarmonicLoop FindHarmonicLoop(const ChromaFrames& frames) {
    HarmonicLoop loop;
    const OpeningFrames opening = openingFrames(frames);
    if (opening.first >= opening.end) return loop;
    const std::vector<FrameVector> v = openingVectors(frames, opening);
    const LoopLags lags = loopLags(frames.hopSeconds, v.size());
    if (lags.shortest + 2 > lags.longestHeardTwice) return loop;
    const std::vector<double> r = repetitionByLag(v, lags);
    const size_t shortLoop = loopHeardTwice(r, lags);
    const size_t best = loopHeardLessThanTwice(r, lags, shortLoop, v.size());
    loop.periodSeconds = refinedLength(r, best) * frames.hopSeconds;
    loop.repetition = r[best];
    measureQuarters(frames, opening, loop.periodSeconds, loop);
    return loop;
}

HarmonicLoop FitLoopToTempo(const ChromaFrames& frames, const HarmonicLoop& loop, double bpm) {
    // The nearest whole-bar length is taken if it is within this (as a log ratio, about
    // 16%): the search misses by a beat or two at most.
    constexpr double kMaxLogError = 0.15;
    const OpeningFrames opening = openingFrames(frames);
    if (!(bpm > 0.0) || !(loop.periodSeconds > 0.0) || opening.first >= opening.end) return loop;
    const double beatSeconds = 60.0 / bpm;
    const double beats = loop.periodSeconds / beatSeconds;
    double nearest = 0.0, error = kMaxLogError;
    for (const double whole : kWholeBarLoopBeats) {
        const double e = std::fabs(PortableLog(beats / whole));
        if (e < error) {
            nearest = whole;
            error = e;
        }
    }
    if (nearest == 0.0) return loop;
    HarmonicLoop fitted = loop;
    fitted.periodSeconds = nearest * beatSeconds;
    measureQuarters(frames, opening, fitted.periodSeconds, fitted);
    return fitted;
}

double FitTempoToHarmony(double bpm, const HarmonicLoop& loop, double maxBpm) {
    // Below this the loop is too loose a repetition to count beats in.
    constexpr double kMinRepetition = 0.3;
    // Moving the beat by three halves takes a tighter one: it is a different metre, not an
    // octave of the same, and a loosely repeating loop of 10 or 21 beats is as likely an
    // error of the loop as a clave read as the beat.
    constexpr double kMinRepetitionForThreeHalves = 0.5;
    // Loop lengths are measured to a few percent (a quarter-second frame grid).
    constexpr double kTolerance = 0.07;
    if (!(bpm > 0.0) || !(loop.periodSeconds > 0.0) || loop.repetition < kMinRepetition) {
        return bpm;
    }
    const double beats = bpm * loop.periodSeconds / 60.0;
    auto near = [](double x, double target) { return std::fabs(x / target - 1.0) <= kTolerance; };
    if (near(beats, 8.0)) return 2.0 * bpm <= maxBpm ? 2.0 * bpm : bpm;
    for (const double whole : kWholeBarLoopBeats) {
        if (near(beats, whole)) return bpm;
    }
    if ((near(1.5 * beats, 16.0) || near(1.5 * beats, 32.0)) && 1.5 * bpm <= maxBpm &&
        loop.repetition >= kMinRepetitionForThreeHalves) {
        return 1.5 * bpm;
    }
    return bpm;
}

}  // namespace Trackloom::analysis
