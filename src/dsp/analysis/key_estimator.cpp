#include "dsp/analysis/key_estimator.h"

#include <algorithm>
#include <cmath>

#include "dsp/core/portable_math.h"

namespace Trackloom::analysis {

namespace {

constexpr double kLn2 = 0.69314718055994530942;
constexpr double kLowestHz = 35.0;          // below the lowest bass notes in common use (C#1)
constexpr double kHighestHz = 1750.0;       // under the resampler's cutoff at 1.8 kHz
constexpr double kBassCeilingPitch = 60.0;  // MIDI C4: no bass note sits above it
constexpr double kBassProminence = 0.25;    // of the frame's strongest peak
// A held note is one narrow line: with the Hann window its main lobe spans two bins either
// side. A drum struck on every beat is a comb of lines a beat rate apart (2 Hz at 120 BPM,
// two bins here), so a comb line has neighbours of its own height within a few bins.
// A bass note must stand kBassIsolation (natural log of magnitude, about 4 dB) above
// everything kBassClearNear..kBassClearFar bins away. Not more: a bass struck again on every
// eighth note has sidebands at that rate (4 Hz at 120 BPM) only a few dB under its line,
// and a wider margin would pass over it as a comb.
constexpr size_t kBassClearNear = 3;
constexpr size_t kBassClearFar = 5;
constexpr double kBassIsolation = 0.5;
// Typical magnitudes of the third and fifth partials relative to the fundamental.
constexpr double kThirdPartial = 0.3;
constexpr double kFifthPartial = 0.2;
// Where they lie above it, in semitones: 12 log2(3), a twelfth, and 12 log2(5), two octaves
// and a major third; a peak within kPartialTolerance of that is taken for the partial.
constexpr double kThirdPartialSemitones = 19.02;
constexpr double kFifthPartialSemitones = 27.86;
constexpr double kPartialTolerance = 0.35;
// Peaks count within kPeakRange of the frame's strongest (natural log of magnitude: 40 dB)
// and above kPeakFloor (80 dB under a full-scale sine, clear of 16-bit audio's noise).
constexpr double kPeakRange = 4.6;
constexpr double kPeakFloor = -9.2;
// Added to each bin's power so that the log of an empty bin is finite (-345, far under any
// floor) rather than minus infinity.
constexpr double kEmptyBinPower = 1e-30;

const char* const kTonicNames[12] = {"C",  "C#", "D",  "Eb", "E",  "F",
                                     "F#", "G",  "Ab", "A",  "Bb", "B"};

}  // namespace

std::string KeyName(int keyIndex) {
    if (keyIndex < 0 || keyIndex >= 24) keyIndex = 12 + 6;  // F# minor
    const int tonic = keyIndex % 12;
    const bool minor = keyIndex >= 12;
    // The relative of a minor key lies three semitones up, of a major key three down.
    const int relative = minor ? (tonic + 3) % 12 : (tonic + 9) % 12;
    std::string s = kTonicNames[tonic];
    s += minor ? " Minor (Relative: " : " Major (Relative: ";
    s += kTonicNames[relative];
    s += minor ? " Major)" : " Minor)";
    return s;
}

KeyEstimator::KeyEstimator(int32_t sampleRate, int32_t channels)
    : frames_(sampleRate, channels, kAnalysisRate, kFrameSize, kHop),
      fft_(kFrameSize),
      spectrum_(kFrameSize / 2 + 1),
      logMagnitude_(kFrameSize / 2 + 1, 0.0),
      sampleRate_(sampleRate),
      channels_(channels > 0 ? static_cast<size_t>(channels) : 1) {
    reset();
}

void KeyEstimator::reset() {
    frames_.reset();
    chroma_ = ChromaSums{};
    kept_ = ChromaFrames{};
    kept_.hopSeconds = static_cast<double>(kHop) / kAnalysisRate;
    // The resampled stream starts with the first input frame.
    kept_.firstCentreSeconds = 0.5 * static_cast<double>(kFrameSize) / kAnalysisRate;
    framesSeen_ = 0;
}

void KeyEstimator::feed(const float* interleaved, size_t frames) {
    if (interleaved != nullptr && kept_.soundStartSeconds < 0.0 && IsAnalyzedRate(sampleRate_)) {
        for (size_t i = 0; i < frames; ++i) {
            const float* s = interleaved + i * channels_;
            bool loud = false;
            for (size_t c = 0; c < channels_; ++c) loud = loud || std::fabs(s[c]) >= kSoundLevel;
            if (loud) {
                kept_.soundStartSeconds =
                    static_cast<double>(framesSeen_ + i) / static_cast<double>(sampleRate_);
                break;
            }
        }
    }
    framesSeen_ += frames;
    frames_.feed(interleaved, frames, [this](const double* frame) {
        analyzeFrame(frame);
        return true;
    });
}

void KeyEstimator::analyzeFrame(const double* frame) {
    fft_.forward(frame, spectrum_.data());
    const double binHz = static_cast<double>(kAnalysisRate) / kFrameSize;
    const size_t lo = static_cast<size_t>(std::ceil(kLowestHz / binHz));
    const size_t hi = static_cast<size_t>(kHighestHz / binHz);
    // A full-scale sine peaks near kFrameSize / 4 with the Hann window: scale that to 1.
    const double norm = 4.0 / kFrameSize;
    double top = -1e300;
    // Bins below the range are read only by the bass isolation test.
    for (size_t k = lo - kBassClearFar; k <= hi + 1; ++k) {
        const double re = spectrum_[k].real() * norm, im = spectrum_[k].imag() * norm;
        logMagnitude_[k] = 0.5 * core::PortableLog(re * re + im * im + kEmptyBinPower);
        if (k + 1 >= lo) top = std::max(top, logMagnitude_[k]);
    }
    const double floor = std::max(top - kPeakRange, kPeakFloor);
    peaks_.clear();
    for (size_t k = lo; k <= hi; ++k) {
        const double b = logMagnitude_[k];
        if (b < floor || !(b > logMagnitude_[k - 1]) || b < logMagnitude_[k + 1]) continue;
        const double a = logMagnitude_[k - 1], c = logMagnitude_[k + 1];
        const double curvature = a - 2.0 * b + c;
        const double offset = curvature < 0.0 ? 0.5 * (a - c) / curvature : 0.0;
        const double hz = (static_cast<double>(k) + offset) * binHz;
        const double re = spectrum_[k].real() * norm, im = spectrum_[k].imag() * norm;
        const double pitch = 69.0 + 12.0 * core::PortableLog(hz / 440.0) / kLn2;
        peaks_.push_back({pitch, std::sqrt(re * re + im * im), k});
    }
    if (peaks_.empty()) {
        keepFrame({}, {});
        return;
    }

    // The bass note is the lowest peak that stands out in the frame: a fixed register
    // split would file low chord tones as bass and high bass notes as harmony. A line of a
    // kick drum's comb is passed over, else the kick's pitch region is filed as a bass note
    // whatever the bass plays.
    double strongest = 0.0;
    for (const Peak& p : peaks_) strongest = std::max(strongest, p.magnitude);
    size_t bassPeak = peaks_.size();
    for (size_t j = 0; j < peaks_.size(); ++j) {
        if (peaks_[j].pitch >= kBassCeilingPitch) break;
        if (peaks_[j].magnitude < kBassProminence * strongest) continue;
        const size_t k = peaks_[j].bin;
        double neighbours = -1e300;
        for (size_t d = kBassClearNear; d <= kBassClearFar; ++d) {
            neighbours = std::max({neighbours, logMagnitude_[k - d], logMagnitude_[k + d]});
        }
        if (logMagnitude_[k] - neighbours >= kBassIsolation) {
            bassPeak = j;
            break;
        }
    }

    std::array<double, 12> bass{}, treble{};
    // Lines below the bass note are no harmony: a drum's comb, or rumble.
    const size_t firstHarmony = bassPeak < peaks_.size() ? bassPeak : 0;
    for (size_t j = firstHarmony; j < peaks_.size(); ++j) {
        const Peak& p = peaks_[j];
        // The third partial of a lower note lands a twelfth above it, the fifth two
        // octaves and a major third above: both name a pitch class the music may not
        // hold. Take off what a lower peak's partial would typically contribute there,
        // leaving a real chord tone at that spot (a fifth voiced over the bass) its excess.
        double explained = 0.0;
        for (size_t i = 0; i < j; ++i) {
            const double interval = p.pitch - peaks_[i].pitch;
            if (std::fabs(interval - kThirdPartialSemitones) < kPartialTolerance) {
                explained = std::max(explained, kThirdPartial * peaks_[i].magnitude);
            } else if (std::fabs(interval - kFifthPartialSemitones) < kPartialTolerance) {
                explained = std::max(explained, kFifthPartial * peaks_[i].magnitude);
            }
        }
        const double value = std::max(0.0, p.magnitude - explained);
        // Share between the two nearest semitones by distance, so detuned or gliding
        // partials are not forced into one class.
        const double below = std::floor(p.pitch);
        const double frac = p.pitch - below;
        const int pcBelow = (static_cast<int>(below) % 12 + 12) % 12;
        const int pcAbove = (pcBelow + 1) % 12;
        // The bass note is kept apart from the harmony above it: loud and rooted on each
        // chord in turn, it would otherwise make the harmony sum a list of chord roots.
        auto& target = j == bassPeak ? bass : treble;
        target[static_cast<size_t>(pcBelow)] += value * (1.0 - frac);
        target[static_cast<size_t>(pcAbove)] += value * frac;
    }
    for (size_t i = 0; i < 12; ++i) {
        chroma_.bass[i] += bass[i];
        chroma_.treble[i] += treble[i];
    }
    keepFrame(bass, treble);
}

void KeyEstimator::keepFrame(const std::array<double, 12>& bass,
                             const std::array<double, 12>& treble) {
    if (kept_.bass.size() >= kMaxKeptFrames) return;
    std::array<float, 12> b{}, t{};
    for (size_t i = 0; i < 12; ++i) {
        b[i] = static_cast<float>(bass[i]);
        t[i] = static_cast<float>(treble[i]);
    }
    kept_.bass.push_back(b);
    kept_.treble.push_back(t);
}

std::string KeyEstimator::key() const {
    return KeyName(choice(FindHarmonicLoop(kept_)).key);
}

KeyChoice KeyEstimator::choice(const HarmonicLoop& loop) const {
    if (!frames_.heardSignal()) return {};
    return ChooseKeyFromChroma(chroma_, loop);
}

namespace {

// Key profiles, index 0 the tonic: the tonic triad's tones weigh most, the other scale
// degrees about half, notes outside the scale nothing. The minor profile is the natural
// minor that popular music mostly uses, with a trace of the raised seventh.
constexpr double kMajorProfile[12] = {1.0, 0.0, 0.5, 0.0, 0.8, 0.5, 0.0, 0.9, 0.0, 0.5, 0.0, 0.4};
constexpr double kMinorProfile[12] = {1.0, 0.0, 0.5, 0.8, 0.0, 0.5, 0.0, 0.9, 0.5, 0.0, 0.45, 0.1};
// Bass lines dwell on the tonic and fifth, and pass through the other scale degrees. In
// minor keys popular harmony leans on the flat sixth, flat seventh and relative major
// (i-VI-III-VII, i-VII-VI) more than on the fifth, so those roots weigh as much as a major
// key's dominant: weighed below the fifth and fourth, they would make a minor loop that
// dwells on them evenly read as its relative major.
constexpr double kMajorBassProfile[12] = {1.0, 0.0, 0.3, 0.0,  0.35, 0.45,
                                          0.0, 0.6, 0.0, 0.35, 0.05, 0.15};
constexpr double kMinorBassProfile[12] = {1.0, 0.0, 0.25, 0.6, 0.0, 0.45,
                                          0.0, 0.5, 0.6,  0.0, 0.6, 0.1};

// Weight of the bass-note evidence against the whole-texture evidence.
constexpr double kBassWeight = 0.5;
// Pitch-class sums no greater than this hold no evidence: any peak counted adds far more
// (a peak at kPeakFloor adds 1e-4).
constexpr double kNoEvidence = 1e-9;
// Harmony that repeats less than this (mean cosine similarity of frames a loop apart) has
// no loop to speak of.
constexpr double kMinRepetition = 0.25;
// Weight of the loop openings' lean towards a tonic, against the profile correlations:
// between a key and its relative, and between a key and its neighbours a fifth away.
constexpr double kOpeningLeanWeight = 0.6;
constexpr double kFifthOpeningLeanWeight = 0.3;
// Weight of the share of the harmony's energy that lies on a key's scale, between keys a
// fifth apart. Such keys differ in one note each (C major holds F where G major holds F#),
// and the profiles, led by the tonic triads, hear little of it: ii7-V7-Imaj7 (D F A C,
// G B D F, C E G B) is heavy on G major's triad, while the F that two of its chords hold
// rules that key out. A share differs by a few hundredths between such keys, so the weight
// lets a clear difference there outweigh a profile lead of a tenth or two.
constexpr double kScaleShareWeight = 4.0;
// Weight of a cadence in the loop, between keys a fifth apart: a chord reached from the
// root a fifth above and then held on into the next quarter (V-I-I, and ii-V-I-I, whose
// openings on ii say little) is taken for the tonic. About the size of the openings'
// lean: half as much again would let a cadence misread from a loop found out of step
// outweigh the rest.
constexpr double kCadenceWeight = 0.4;
// A lead in weighed evidence (correlation units) that leaves no doubt about the key. Keys
// read right lead by about 0.4 on average; with a smaller figure most of them, and the
// relatives misread from loops that open off their tonic, would all be beyond doubt.
constexpr double kDecisiveKeyLead = 0.5;
// How tonal the sound is at all, from two measures of the harmony sum. Its share on the
// chosen key's scale: sound spread evenly over the twelve pitch classes (noise, speech's
// gliding pitch, drums) puts 7/12 on any scale and a little more on the one that fits its
// chance lumps, 0.6 to 0.7; music in a key puts 0.7 to 0.9 there. And its correlation with
// the key's profile, which for such sound is a chance lump of 0.2 to 0.6, and for music
// mostly 0.7 and more. Each is mapped from its "none" to its "clear" level onto 0..1, and
// the two multiplied: either alone lets a few non-tonal inputs through. Music in a key
// reaches both clear levels, so among tonal tracks the lead alone ranks the answers.
constexpr double kAtonalScaleShare = 0.6;
constexpr double kTonalScaleShare = 0.75;
constexpr double kAtonalProfileFit = 0.4;
constexpr double kTonalProfileFit = 0.7;
// Scales as twelve-note masks from the tonic: major, and the natural minor.
constexpr bool kMajorScale[12] = {true,  false, true,  false, true,  true,
                                  false, true,  false, true,  false, true};
constexpr bool kMinorScale[12] = {true,  false, true, true,  false, true,
                                  false, true,  true, false, true,  false};

double correlation(const std::array<double, 12>& x, const double* profile, int tonic) {
    double mx = 0.0, mp = 0.0;
    for (int i = 0; i < 12; ++i) {
        mx += x[static_cast<size_t>(i)];
        mp += profile[i];
    }
    mx /= 12.0;
    mp /= 12.0;
    double sxy = 0.0, sxx = 0.0, syy = 0.0;
    for (int i = 0; i < 12; ++i) {
        const double dx = x[static_cast<size_t>((i + tonic) % 12)] - mx;
        const double dy = profile[i] - mp;
        sxy += dx * dy;
        sxx += dx * dx;
        syy += dy * dy;
    }
    if (!(sxx > 0.0) || !(syy > 0.0)) return 0.0;
    return sxy / std::sqrt(sxx * syy);
}

double total(const std::array<double, 12>& x) {
    double s = 0.0;
    for (double v : x) s += v;
    return s;
}

// The share of `x` on the scale of key index `key`, 0 when `x` is empty.
double scaleShare(const std::array<double, 12>& x, int key) {
    const double all = total(x);
    if (!(all > 0.0)) return 0.0;
    const bool* scale = key >= 12 ? kMinorScale : kMajorScale;
    double on = 0.0;
    for (int i = 0; i < 12; ++i) {
        if (scale[i]) on += x[static_cast<size_t>((key + i) % 12)];
    }
    return on / all;
}

// The bass over one chord with the chord's fifths credited to its root. Bass lines walk
// from the root to the fifth above and back: that fifth is the chord's, not the root of a
// chord of its own, and left alone a loop opening on ii with the bass on its fifth (D-A
// under Dm7 in C major) names the relative minor. So the fifth's share, up to as much as
// its root has, is moved to the root; only when the root is heard at least half as much,
// as the ends of the chords either side spill into the quarter, and a trace of the one a
// fifth below must not claim the chord's root as its fifth (I-IV-V-I read as IV-IV-V-I).
// Only over one chord: over a whole loop its chords' roots lie a fifth apart too.
std::array<double, 12> chordRoots(const std::array<double, 12>& bass) {
    std::array<double, 12> roots = bass;
    for (size_t root = 0; root < 12; ++root) {
        const size_t fifth = (root + 7) % 12;
        if (2.0 * bass[root] < bass[fifth]) continue;
        const double moved = std::min(bass[root], bass[fifth]);
        roots[root] += moved;
        roots[fifth] -= moved;
    }
    return roots;
}

}  // namespace

KeyChoice ChooseKeyFromChroma(const ChromaSums& chroma, const HarmonicLoop& loop) {
    if (!(total(chroma.treble) + total(chroma.bass) > kNoEvidence)) return {};
    const bool haveBass = total(chroma.bass) > kNoEvidence;
    std::array<double, 24> score{};
    int best = 0;
    for (int k = 0; k < 24; ++k) {
        const int tonic = k % 12;
        const bool minor = k >= 12;
        double s = correlation(chroma.treble, minor ? kMinorProfile : kMajorProfile, tonic);
        if (haveBass) {
            s += kBassWeight *
                 correlation(chroma.bass, minor ? kMinorBassProfile : kMajorBassProfile, tonic);
        }
        score[static_cast<size_t>(k)] = s;
        if (s > score[static_cast<size_t>(best)]) best = k;
    }

    // A key and its relative share their scale, and a loop such as i-VI-III-VII has exactly
    // the chords of its relative major's I-V-vi-IV: the profiles barely tell them apart.
    // What does is where the loop starts, counted from the music's start: songs state their
    // tonic on the downbeat that opens the loop. Between the two, the one whose tonic the bass
    // dwells on more at the loop's openings than over the whole takes it.
    const bool haveLoop = loop.repetition >= kMinRepetition &&
                          total(loop.quarterBass[0]) > kNoEvidence &&
                          total(loop.allBass) > kNoEvidence;
    // Each quarter's chord roots from its bass; the first quarter opens the loop.
    std::array<std::array<double, 12>, 4> quarterRoots{};
    double openingTotal = 0.0, allTotal = 0.0;
    if (haveLoop) {
        for (size_t q = 0; q < 4; ++q) quarterRoots[q] = chordRoots(loop.quarterBass[q]);
        openingTotal = total(quarterRoots[0]);
        allTotal = total(loop.allBass);
    }
    auto lean = [&](int key) {
        if (!haveLoop) return 0.0;
        const size_t tonic = static_cast<size_t>(key % 12);
        return quarterRoots[0][tonic] / openingTotal - loop.allBass[tonic] / allTotal;
    };
    // The tonic a cadence in the loop names, or -1: each quarter's strongest chord root,
    // and a root reached by a fall of a fifth that the next quarter holds. Loops that make
    // no such move (I-V-vi-IV) or make it into more than one chord name none.
    int cadence = -1;
    if (haveLoop) {
        std::array<int, 4> roots{};
        for (size_t q = 0; q < 4; ++q) {
            const std::array<double, 12>& r = quarterRoots[q];
            roots[q] = static_cast<int>(std::max_element(r.begin(), r.end()) - r.begin());
            if (!(r[static_cast<size_t>(roots[q])] > 0.0)) roots[q] = -1;
        }
        bool named = true;
        for (size_t q = 0; q < 4; ++q) {
            const int before = roots[(q + 3) % 4], here = roots[q], after = roots[(q + 1) % 4];
            if (here < 0 || before < 0 || (here - before + 12) % 12 != 5 || after != here) {
                continue;
            }
            if (cadence >= 0 && cadence != here) named = false;
            cadence = here;
        }
        if (!named) cadence = -1;
    }
    int pick = best;
    const int relative = best >= 12 ? (best - 12 + 3) % 12 : (best + 9) % 12 + 12;
    if (haveLoop && score[static_cast<size_t>(relative)] + kOpeningLeanWeight * lean(relative) >
                        score[static_cast<size_t>(best)] + kOpeningLeanWeight * lean(best)) {
        pick = relative;
    }
    // Keys a fifth apart share all but one note, and profiles confuse them too. The note
    // each holds and the other lacks decides most (see kScaleShareWeight), then a cadence;
    // the loop's openings get a smaller say than between relatives, as the loop may open on
    // a chord next to the tonic (ii-V-I-I).
    auto weighed = [&](int key) {
        return score[static_cast<size_t>(key)] + kFifthOpeningLeanWeight * lean(key) +
               kScaleShareWeight * scaleShare(chroma.treble, key) +
               (key % 12 == cadence ? kCadenceWeight : 0.0);
    };
    const int mode = pick >= 12 ? 12 : 0;
    const int chosen = pick;
    for (const int step : {7, 5}) {
        const int neighbour = (chosen % 12 + step) % 12 + mode;
        if (weighed(neighbour) > weighed(pick)) pick = neighbour;
    }
    // Confidence: how tonal the sound is (see kAtonalScaleShare), times how clearly the
    // chosen key leads the best other key; a lead of kDecisiveKeyLead or more is beyond
    // doubt, none is a guess between the two. Each rival is measured as the rules above
    // weigh it against the chosen key: the relative by the profiles and the loop's openings
    // that decide between relatives, every other key by the weighed evidence. (Measured by
    // the weighed evidence alone, a minor key the openings rightly chose over its relative
    // would have no lead at all.)
    auto relativeOf = [](int key) { return key >= 12 ? (key - 12 + 3) % 12 : (key + 9) % 12 + 12; };
    auto betweenRelatives = [&](int key) {
        return score[static_cast<size_t>(key)] + kOpeningLeanWeight * lean(key);
    };
    double lead = 1e300;
    for (int k = 0; k < 24; ++k) {
        if (k == pick) continue;
        lead = std::min(lead, k == relativeOf(pick) ? betweenRelatives(pick) - betweenRelatives(k)
                                                    : weighed(pick) - weighed(k));
    }
    auto level = [](double x, double none, double clear) {
        return std::clamp((x - none) / (clear - none), 0.0, 1.0);
    };
    const double fit =
        correlation(chroma.treble, pick >= 12 ? kMinorProfile : kMajorProfile, pick % 12);
    const double tonality =
        level(scaleShare(chroma.treble, pick), kAtonalScaleShare, kTonalScaleShare) *
        level(fit, kAtonalProfileFit, kTonalProfileFit);
    return {pick, tonality * std::clamp(lead / kDecisiveKeyLead, 0.0, 1.0)};
}

}  // namespace Trackloom::analysis
