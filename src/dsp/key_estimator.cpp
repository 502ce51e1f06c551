#include "dsp/key_estimator.h"

#include <algorithm>
#include <cmath>

#include "dsp/portable_math.h"

namespace Trackloom {

namespace {

constexpr double kLn2 = 0.69314718055994530942;
constexpr double kLowestHz = 35.0;          // below the lowest bass notes in common use (C#1)
constexpr double kHighestHz = 1750.0;       // under the resampler's cutoff at 1.8 kHz
constexpr double kBassCeilingPitch = 60.0;  // MIDI C4: no bass note sits above it
constexpr double kBassProminence = 0.25;    // of the frame's strongest peak
// A held note is one narrow line: with the Hann window its main lobe spans two bins either
// side. A drum struck on every beat is a comb of lines a beat rate apart (2 Hz at 120 BPM,
// two bins here), so a comb line has neighbours of its own height within a few bins.
// A bass note must stand kBassIsolation (natural log of magnitude, about 9 dB) above
// everything kBassClearNear..kBassClearFar bins away.
constexpr size_t kBassClearNear = 3;
constexpr size_t kBassClearFar = 5;
constexpr double kBassIsolation = 1.0;
// Typical magnitudes of the third and fifth partials relative to the fundamental.
constexpr double kThirdPartial = 0.3;
constexpr double kFifthPartial = 0.2;

const char* const kTonicNames[12] = {"C",  "C#", "D",  "Eb", "E",  "F",
                                     "F#", "G",  "Ab", "A",  "Bb", "B"};

}  // namespace

namespace dsp {

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

}  // namespace dsp

KeyEstimator::KeyEstimator(int32_t sampleRate, int32_t channels)
    : frames_(sampleRate, channels, kAnalysisRate, kFrameSize, kHop),
      fft_(kFrameSize),
      spectrum_(kFrameSize / 2 + 1),
      logMagnitude_(kFrameSize / 2 + 1, 0.0) {}

void KeyEstimator::reset() {
    frames_.reset();
    chroma_ = dsp::ChromaSums{};
}

void KeyEstimator::feed(const float* interleaved, size_t frames) {
    frames_.feed(interleaved, frames, [this](const double* frame) {
        analyseFrame(frame);
        return true;
    });
}

void KeyEstimator::analyseFrame(const double* frame) {
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
        logMagnitude_[k] = 0.5 * dsp::PortableLog(re * re + im * im + 1e-30);
        if (k + 1 >= lo) top = std::max(top, logMagnitude_[k]);
    }
    // Peaks within 40 dB of the frame's strongest and above the 16-bit noise floor.
    const double floor = std::max(top - 4.6, -9.2);
    peaks_.clear();
    for (size_t k = lo; k <= hi; ++k) {
        const double b = logMagnitude_[k];
        if (b < floor || !(b > logMagnitude_[k - 1]) || b < logMagnitude_[k + 1]) continue;
        const double a = logMagnitude_[k - 1], c = logMagnitude_[k + 1];
        const double curvature = a - 2.0 * b + c;
        const double offset = curvature < 0.0 ? 0.5 * (a - c) / curvature : 0.0;
        const double hz = (static_cast<double>(k) + offset) * binHz;
        const double re = spectrum_[k].real() * norm, im = spectrum_[k].imag() * norm;
        const double pitch = 69.0 + 12.0 * dsp::PortableLog(hz / 440.0) / kLn2;
        peaks_.push_back({pitch, std::sqrt(re * re + im * im), k});
    }
    if (peaks_.empty()) return;

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
            if (std::fabs(interval - 19.02) < 0.35) {
                explained = std::max(explained, kThirdPartial * peaks_[i].magnitude);
            } else if (std::fabs(interval - 27.86) < 0.35) {
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
}

std::string KeyEstimator::key() const {
    if (!frames_.heardSignal()) return dsp::KeyName(-1);
    return dsp::KeyName(dsp::EstimateKeyFromChroma(chroma_));
}

namespace dsp {

namespace {

// Key profiles, index 0 the tonic: the tonic triad's tones weigh most, the other scale
// degrees about half, notes outside the scale nothing. The minor profile is the natural
// minor that popular music mostly uses, with a trace of the raised seventh.
constexpr double kMajorProfile[12] = {1.0, 0.0, 0.5, 0.0, 0.8, 0.5, 0.0, 0.9, 0.0, 0.5, 0.0, 0.4};
constexpr double kMinorProfile[12] = {1.0, 0.0, 0.5, 0.8, 0.0, 0.5, 0.0, 0.9, 0.5, 0.0, 0.45, 0.1};
// Bass lines dwell on the tonic and fifth, and pass through the other scale degrees. In
// minor keys popular harmony leans on the flat sixth, flat seventh and relative major
// (i-VI-III-VII, i-VII-VI) more than on the fifth, so those roots weigh as much as a major
// key's dominant. Weighed below the fifth and fourth, they made a loop dwelling evenly on
// them read as the relative major.
constexpr double kMajorBassProfile[12] = {1.0, 0.0, 0.3, 0.0,  0.35, 0.45,
                                          0.0, 0.6, 0.0, 0.35, 0.05, 0.15};
constexpr double kMinorBassProfile[12] = {1.0, 0.0, 0.25, 0.6, 0.0, 0.45,
                                          0.0, 0.5, 0.6,  0.0, 0.6, 0.1};

// Weight of the bass-note evidence against the whole-texture evidence.
constexpr double kBassWeight = 0.5;

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

}  // namespace

int EstimateKeyFromChroma(const ChromaSums& chroma) {
    if (!(total(chroma.treble) + total(chroma.bass) > 1e-9)) return -1;
    const bool haveBass = total(chroma.bass) > 1e-9;
    int best = -1;
    double bestScore = -1e300;
    for (int k = 0; k < 24; ++k) {
        const int tonic = k % 12;
        const bool minor = k >= 12;
        double score = correlation(chroma.treble, minor ? kMinorProfile : kMajorProfile, tonic);
        if (haveBass) {
            score += kBassWeight *
                     correlation(chroma.bass, minor ? kMinorBassProfile : kMajorBassProfile, tonic);
        }
        if (score > bestScore) {
            bestScore = score;
            best = k;
        }
    }
    return best;
}

}  // namespace dsp
}  // namespace Trackloom
