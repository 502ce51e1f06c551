#include "dsp/analysis/tempo_estimator.h"

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

#include "dsp/core/portable_math.h"

namespace Trackloom::analysis {

using core::Fft;

namespace {

constexpr double kLn2 = 0.69314718055994530942;
constexpr double kBandEdgesHz[OnsetEnvelopes::kBands - 1] = {150.0, 500.0, 1800.0};
constexpr double kLowestHz = 30.0;

}  // namespace

TempoEstimator::TempoEstimator(int32_t sampleRate, int32_t channels)
    : frames_(sampleRate, channels, kAnalysisRate, kFrameSize, kHop),
      fft_(kFrameSize),
      spectrum_(kFrameSize / 2 + 1),
      previousLog_(kFrameSize / 2 + 1, 0.0),
      bandOfBin_(kFrameSize / 2 + 1, -1),
      maxFrames_(static_cast<size_t>(kMaxAnalysisSeconds * kAnalysisRate / kHop)) {
    const double binHz = static_cast<double>(kAnalysisRate) / kFrameSize;
    const double top = 0.45 * kAnalysisRate;  // the resampler's cutoff
    for (size_t k = 0; k <= kFrameSize / 2; ++k) {
        const double f = static_cast<double>(k) * binHz;
        if (f < kLowestHz || f > top) continue;
        int b = 0;
        while (b < OnsetEnvelopes::kBands - 1 && f >= kBandEdgesHz[b]) ++b;
        bandOfBin_[k] = b;
        if (firstBin_ == 0) firstBin_ = k;
        lastBin_ = k;
    }
    env_.frameRate = static_cast<double>(kAnalysisRate) / kHop;
}

void TempoEstimator::reset() {
    frames_.reset();
    std::fill(previousLog_.begin(), previousLog_.end(), 0.0);
    for (auto& b : env_.band) b.clear();
}

void TempoEstimator::feed(const float* interleaved, size_t frames) {
    // Envelopes stop growing once kMaxAnalysisSeconds of them are in.
    frames_.feed(interleaved, frames, [this](const double* frame) {
        analyzeFrame(frame);
        return env_.band[0].size() < maxFrames_;
    });
}

void TempoEstimator::analyzeFrame(const double* frame) {
    // Scales |X| so that log1p compresses over a musically useful range: a full-scale
    // sine gives 500 before the log, the noise of 16-bit audio less than 1e-3.
    const double gain = 1000.0 / (0.5 * kFrameSize);
    const double gain2 = gain * gain;
    fft_.forward(frame, spectrum_.data());
    double flux[OnsetEnvelopes::kBands] = {0.0, 0.0, 0.0, 0.0};
    for (size_t k = firstBin_; k <= lastBin_; ++k) {
        const int b = bandOfBin_[k];
        const double re = spectrum_[k].real(), im = spectrum_[k].imag();
        // log(1 + g|X|) taken as half of log(1 + g^2 |X|^2): same shape, no square root.
        const double lg = 0.5 * core::PortableLog(1.0 + gain2 * (re * re + im * im));
        const double rise = lg - previousLog_[k];
        if (rise > 0.0) flux[b] += rise;
        previousLog_[k] = lg;
    }
    for (int b = 0; b < OnsetEnvelopes::kBands; ++b) {
        env_.band[b].push_back(static_cast<float>(flux[b]));
    }
}

double TempoEstimator::bpm() const {
    const TempoChoice measured = choice();
    return measured.bpm > 0.0 ? RoundBpm(measured.bpm) : kNoEvidenceBpm;
}

double TempoEstimator::steadiness(double bpm) const {
    return BeatSteadiness(env_, bpm);
}

TempoChoice TempoEstimator::choice() const {
    if (!frames_.heardSignal()) return {};
    const TempoChoice onsets = ChooseTempoFromEnvelopes(env_);
    if (!(onsets.bpm > 0.0)) return {};
    return onsets;
}

}  // namespace Trackloom::analysis

namespace Trackloom::analysis {

namespace {

// Longest autocorrelation lag kept, in seconds: enough for the comb that refines the
// period to cover a dozen beats at moderate tempos.
constexpr double kMaxLagSeconds = 12.0;
// Prior over tempo: log-normal, centred a little above the middle of common notated
// tempi, one octave wide, so that it only decides between readings the rhythm supports
// about equally.
constexpr double kPriorCentreBpm = 140.0;
constexpr double kPriorOctaves = 1.0;
// How much more periodic the beat must be than its half or third to count as a level of
// its own (autocorrelation units, 1 = perfectly periodic).
constexpr double kFlatHierarchyMargin = 0.05;
// Weights of the lesser evidence against the beat's and the bar's periodicity, which count
// fully: a subdivision supports a beat, a backbeat places it, neither makes one.
constexpr double kSubdivisionWeight = 0.25;
constexpr double kBackbeatWeight = 0.25;
// The coarse search's grid, fine enough that the refinement starts within its reach.
constexpr double kGridStepBpm = 0.5;
// Lets the grid's last point, kMaxBpm, in should the steps not land on it exactly.
constexpr double kGridEndSlack = 1e-9;
// The refinement looks within 2% of the coarse period either way (the grid misses by half a
// step at most, 0.5% at 50 BPM), in steps of a two-hundredth of a frame.
constexpr double kRefineLow = 0.98;
constexpr double kRefineHigh = 1.02;
constexpr double kRefineStepFrames = 0.005;
// A detrended envelope with no more power than this is flat: rounding residue, no onsets.
constexpr double kFlatPower = 1e-12;

// Normalised autocorrelation (1 at lag 0) of the envelope after removing its local mean,
// unbiased by the overlap length, for lags 0..maxLag. Empty when the envelope is flat.
std::vector<double> normalisedAutocorrelation(const std::vector<float>& env, size_t maxLag,
                                              double frameRate) {
    const size_t n = env.size();
    if (n < 4) return {};
    // Local mean over about one second: removes loudness swells, keeps the beat.
    const size_t half = static_cast<size_t>(std::lround(0.5 * frameRate));
    std::vector<double> prefix(n + 1, 0.0);
    for (size_t i = 0; i < n; ++i) prefix[i + 1] = prefix[i] + env[i];
    size_t m = 1;
    while (m < n + maxLag + 1) m <<= 1;
    std::vector<std::complex<double>> buf(m, {0.0, 0.0});
    for (size_t i = 0; i < n; ++i) {
        const size_t a = i >= half ? i - half : 0;
        const size_t b = std::min(n, i + half + 1);
        const double mean = (prefix[b] - prefix[a]) / static_cast<double>(b - a);
        buf[i] = {static_cast<double>(env[i]) - mean, 0.0};
    }
    Fft fft(m);
    fft.forward(buf.data());
    for (auto& v : buf) v = {v.real() * v.real() + v.imag() * v.imag(), 0.0};
    fft.inverse(buf.data());
    const size_t lags = std::min(maxLag, n - 1) + 1;
    std::vector<double> r(lags);
    for (size_t l = 0; l < lags; ++l) r[l] = buf[l].real() / static_cast<double>(n - l);
    if (!(r[0] > kFlatPower)) return {};
    const double z = r[0];
    for (auto& v : r) v /= z;
    return r;
}

// Detrended copy of an envelope: the local mean over about a second removed.
std::vector<double> detrended(const std::vector<float>& env, double frameRate) {
    const size_t n = env.size();
    const size_t half = static_cast<size_t>(std::lround(0.5 * frameRate));
    std::vector<double> prefix(n + 1, 0.0);
    for (size_t i = 0; i < n; ++i) prefix[i + 1] = prefix[i] + env[i];
    std::vector<double> out(n);
    for (size_t i = 0; i < n; ++i) {
        const size_t a = i >= half ? i - half : 0;
        const size_t b = std::min(n, i + half + 1);
        out[i] = static_cast<double>(env[i]) - (prefix[b] - prefix[a]) / static_cast<double>(b - a);
    }
    return out;
}

// Normalised cross-correlation sum_t x(t) y(t + l) for lags 0..maxLag, symmetrised over
// +-l (which of the two comes first within the bar does not matter here). Empty when either
// envelope is flat.
std::vector<double> symmetricCrossCorrelation(const std::vector<float>& x,
                                              const std::vector<float>& y, size_t maxLag,
                                              double frameRate) {
    const size_t n = x.size();
    if (n < 4 || y.size() != n) return {};
    const std::vector<double> dx = detrended(x, frameRate), dy = detrended(y, frameRate);
    double ex = 0.0, ey = 0.0;
    for (size_t i = 0; i < n; ++i) {
        ex += dx[i] * dx[i];
        ey += dy[i] * dy[i];
    }
    if (!(ex > kFlatPower) || !(ey > kFlatPower)) return {};
    size_t m = 1;
    while (m < n + maxLag + 1) m <<= 1;
    std::vector<std::complex<double>> a(m, {0.0, 0.0}), b(m, {0.0, 0.0});
    for (size_t i = 0; i < n; ++i) {
        a[i] = {dx[i], 0.0};
        b[i] = {dy[i], 0.0};
    }
    Fft fft(m);
    fft.forward(a.data());
    fft.forward(b.data());
    for (size_t k = 0; k < m; ++k) {
        // conj(A) * B gives sum_t x(t) y(t + l) at l, and at m - l the negative lags.
        const double re = a[k].real() * b[k].real() + a[k].imag() * b[k].imag();
        const double im = a[k].real() * b[k].imag() - a[k].imag() * b[k].real();
        a[k] = {re, im};
    }
    fft.inverse(a.data());
    const size_t lags = std::min(maxLag, n - 1) + 1;
    std::vector<double> r(lags);
    const double z = std::sqrt(ex * ey) / static_cast<double>(n);
    for (size_t l = 0; l < lags; ++l) {
        const double positive = a[l].real();
        const double negative = a[(m - l) % m].real();
        r[l] =
            0.5 * (positive + negative) / static_cast<double>(m) / static_cast<double>(n - l) / z;
    }
    return r;
}

// Interpolated value of r at a fractional lag; 0 past the end.
double lagValue(const std::vector<double>& r, double lag) {
    if (lag < 0.0) return 0.0;
    const size_t i = static_cast<size_t>(lag);
    if (i + 1 >= r.size()) return 0.0;
    const double f = lag - static_cast<double>(i);
    return r[i] * (1.0 - f) + r[i + 1] * f;
}

// Strength of the autocorrelation peak near a fractional lag: the best mean of two
// neighbouring lags within about a frame. Sharp onsets whose period falls between two
// frames split their peak over both lags; the pair mean scores them as it scores a period
// of whole frames, so the frame grid does not favour one tempo over its double.
double lagPeak(const std::vector<double>& r, double lag) {
    const long i = static_cast<long>(std::floor(lag));
    double best = -1.0;
    for (long j = i - 1; j <= i + 1; ++j) {
        if (j >= 0 && static_cast<size_t>(j + 1) < r.size()) {
            best =
                std::max(best, 0.5 * (r[static_cast<size_t>(j)] + r[static_cast<size_t>(j + 1)]));
        }
    }
    return best;
}

// How clearly the chosen beat beats its rivals, 0..1. Readings of the same pulse at another
// metrical level (a half, a third, two thirds of it, or those multiples) are no rivals: the
// notated level is a matter of convention, which the tempo range settles. The rest must
// score clearly lower, and the pulse itself must repeat: a beat whose envelope barely
// correlates with itself a period later is a guess however it ranks.
double TempoConfidence(const std::vector<std::pair<double, double>>& candidates, double chosen,
                       double chosenScore, double periodicity) {
    constexpr double kRelatives[] = {1.0 / 3.0, 0.5, 2.0 / 3.0, 1.0, 1.5, 2.0, 3.0};
    constexpr double kSameReading = 0.04;  // within 4 %, as tempo accuracy is counted
    // A score lead of this much (autocorrelation units summed over the beat's levels) is
    // beyond doubt; half of it leaves the two readings about as likely.
    constexpr double kDecisiveLead = 0.4;
    double rival = -1e300;
    for (const auto& [bpm, score] : candidates) {
        bool related = false;
        for (const double r : kRelatives) {
            if (std::fabs(bpm / (chosen * r) - 1.0) <= kSameReading) related = true;
        }
        if (!related) rival = std::max(rival, score);
    }
    const double lead = rival > -1e300 ? (chosenScore - rival) / kDecisiveLead : 1.0;
    return std::clamp(lead, 0.0, 1.0) * std::clamp(periodicity, 0.0, 1.0);
}

// The autocorrelation's highest value within a frame of a fractional lag: how strongly the
// envelope repeats there, however sharp its peak (lagPeak halves a one-frame peak).
double lagMaximum(const std::vector<double>& r, double lag) {
    const long i = static_cast<long>(std::floor(lag));
    double best = -1.0;
    for (long j = i - 1; j <= i + 2; ++j) {
        if (j >= 0 && static_cast<size_t>(j) < r.size()) {
            best = std::max(best, r[static_cast<size_t>(j)]);
        }
    }
    return best;
}

}  // namespace

TempoChoice ChooseTempoFromEnvelopes(const OnsetEnvelopes& env) {
    const double rate = env.frameRate;
    const size_t maxLag = static_cast<size_t>(kMaxLagSeconds * rate);
    const size_t n = env.band[0].size();
    for (const auto& band : env.band) {
        if (band.size() != n) return {};
    }
    if (n < 4) return {};

    // Each band on its own shows subdivisions that louder bands would mask (hi-hats under
    // kick and snare); their sum, each band scaled to unit deviation, shows how strongly
    // the whole texture repeats, kick and snare alternating included.
    std::vector<std::vector<double>> bandAcf;
    std::vector<float> sum;
    sum.assign(n, 0.0f);
    for (const auto& band : env.band) {
        auto r = normalisedAutocorrelation(band, maxLag, rate);
        if (r.empty()) continue;
        bandAcf.push_back(std::move(r));
        double mean = 0.0;
        for (float v : band) mean += v;
        mean /= static_cast<double>(n);
        double var = 0.0;
        for (float v : band) var += (v - mean) * (v - mean);
        const double scale = 1.0 / std::sqrt(var / static_cast<double>(n));
        for (size_t i = 0; i < n; ++i) sum[i] += static_cast<float>(band[i] * scale);
    }
    if (bandAcf.empty()) return {};
    const std::vector<double> acf = normalisedAutocorrelation(sum, maxLag, rate);
    if (acf.empty()) return {};

    // Kick against snare band: a backbeat alternates the two at the beat, so their
    // correlation peaks at odd multiples of the beat and dips at even ones.
    const std::vector<double> kickSnare =
        symmetricCrossCorrelation(env.band[0], env.band[2], maxLag, rate);

    auto whole = [&](double lag) { return lagPeak(acf, lag); };
    auto anyBand = [&](double lag) {
        double best = -1.0;
        for (const auto& r : bandAcf) best = std::max(best, lagPeak(r, lag));
        return best;
    };

    // Coarse choice of the beat on a grid of kGridStepBpm. A beat repeats (periodicity at
    // the beat), groups into bars of two, three or four (periodicity at those multiples), and
    // is itself divided in two or three by something in the texture; a broad log-normal prior
    // settles what the evidence leaves open.
    double bestScore = -1e300;
    double bestBpm = 0.0;
    std::vector<std::pair<double, double>> candidates;  // (bpm, score) for the confidence
    for (double bpm = TempoEstimator::kMinBpm; bpm <= TempoEstimator::kMaxBpm + kGridEndSlack;
         bpm += kGridStepBpm) {
        const double period = 60.0 * rate / bpm;
        const double beat = whole(period);
        const double meter =
            std::max(0.5 * (whole(2.0 * period) + whole(4.0 * period)), whole(3.0 * period));
        // A division that repeats as strongly as the beat itself is no subdivision: the
        // pulse is then the faster level, and an isochronous pulse gets no credit for it.
        const double half = whole(period / 2.0);
        const double third = whole(period / 3.0);
        const bool distinct = std::max(half, third) < beat - kFlatHierarchyMargin;
        const double subdivision =
            distinct ? std::max(anyBand(period / 2.0), anyBand(period / 3.0)) : 0.0;
        const double octaves = core::PortableLog(bpm / kPriorCentreBpm) / kLn2 / kPriorOctaves;
        const double backbeat =
            kickSnare.empty() ? 0.0 : lagPeak(kickSnare, period) - lagPeak(kickSnare, 2.0 * period);
        const double score = beat + meter + kSubdivisionWeight * subdivision +
                             kBackbeatWeight * backbeat - 0.5 * octaves * octaves;
        candidates.emplace_back(bpm, score);
        if (score > bestScore) {
            bestScore = score;
            bestBpm = bpm;
        }
    }
    if (bestBpm <= 0.0) return {};

    // Refinement: the period whose multiples line up best with the autocorrelation, to a
    // two-hundredth of a frame; many multiples average out the frame quantisation.
    const double coarse = 60.0 * rate / bestBpm;
    double bestComb = -1e300;
    double bestPeriod = coarse;
    const double last = static_cast<double>(acf.size() - 1);
    for (double p = coarse * kRefineLow; p <= coarse * kRefineHigh; p += kRefineStepFrames) {
        double comb = 0.0;
        int count = 0;
        for (int k = 1; static_cast<double>(k) * p < last; ++k) {
            comb += lagValue(acf, static_cast<double>(k) * p);
            ++count;
        }
        if (count == 0) break;
        comb /= count;
        if (comb > bestComb) {
            bestComb = comb;
            bestPeriod = p;
        }
    }
    return {60.0 * rate / bestPeriod,
            TempoConfidence(candidates, bestBpm, bestScore, lagMaximum(acf, coarse))};
}

double BeatSteadiness(const OnsetEnvelopes& env, double bpm) {
    const size_t n = env.band[0].size();
    if (n < 4 || !(bpm > 0.0)) return 0.0;
    std::vector<float> sum(n, 0.0f);
    bool varies = false;
    for (const auto& band : env.band) {
        if (band.size() != n) return 0.0;
        double mean = 0.0;
        for (float v : band) mean += v;
        mean /= static_cast<double>(n);
        double var = 0.0;
        for (float v : band) var += (v - mean) * (v - mean);
        if (!(var > kFlatPower)) continue;
        varies = true;
        const double scale = 1.0 / std::sqrt(var / static_cast<double>(n));
        for (size_t i = 0; i < n; ++i) sum[i] += static_cast<float>(band[i] * scale);
    }
    if (!varies) return 0.0;
    const double period = 60.0 * env.frameRate / bpm;
    // Past half the stretch too few frames overlap for the correlation to mean anything:
    // ten seconds of noise can then look like a perfect beat.
    const auto maxLag = std::min(static_cast<size_t>(4.0 * kSteadinessBeats * period) + 2, n / 2);
    const std::vector<double> acf = normalisedAutocorrelation(sum, maxLag, env.frameRate);
    if (acf.empty()) return 0.0;
    double best = 0.0;
    for (int beats = 1; beats <= 4; ++beats) {
        double comb = 0.0;
        int count = 0;
        for (int k = 1; k <= kSteadinessBeats; ++k) {
            const double lag = static_cast<double>(k * beats) * period;
            if (lag + 2.0 >= static_cast<double>(acf.size())) break;
            comb += lagPeak(acf, lag);
            ++count;
        }
        // Too short a stretch to hear a beat recur a few times says nothing either way.
        if (count >= 4) best = std::max(best, comb / count);
    }
    return best;
}

}  // namespace Trackloom::analysis
