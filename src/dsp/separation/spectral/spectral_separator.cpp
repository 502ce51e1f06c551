#include "dsp/separation/spectral/spectral_separator.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "dsp/core/portable_math.h"

namespace Trackloom::separation::spectral {

namespace {

constexpr double kPi = 3.14159265358979323846;

// Tuning, in seconds and hertz so that every rate hears the same thing. Chosen on sets of
// synthetic multitracks with known stems, several soundfonts and seeds.
constexpr double kFrameSeconds = 0.0929;  // transform length aimed at: 4096 at 44.1 kHz
constexpr size_t kMinFrame = 16;          // rates below ~170 Hz still get a spectrum
constexpr size_t kMaxFrame = 16384;       // above ~130 kHz frames shorten instead
constexpr double kMaxReachFrames = 32.0;  // and the medians reach fewer seconds above ~380 kHz,
                                          // so that memory stays bounded at any rate
// The medians across time, reaching this far each way: the long one (15 hops at 44.1 kHz)
// finds what holds still long enough to be a bass note rather than a kick's boom; the short
// one (2 hops) keeps a voice whose pitch moves from looking percussive.
constexpr double kLongReachSeconds = 0.35;
constexpr double kShortReachSeconds = 0.05;
constexpr double kAcrossBinsHz = 183.0;  // the median across frequency: 17 bins at 44.1 kHz
constexpr double kBassHz = 200.0;        // the bass crossover of the harmonic part, -3 dB
// Below the crossover, a narrower median across frequency (7 bins at 44.1 kHz) as well, and
// the lower of the two counts: a kick's boom spreads over both, while a bass note's partials
// leave one of them low (the wide one for a bare sine, the narrow one for a rich note).
constexpr double kLowAcrossBinsHz = 75.0;
constexpr size_t kMaxLowAcrossBins = 63;
constexpr float kNoBass = 0.001f;     // bass share below which the low band's median is not needed
constexpr double kSubsonicHz = 25.0;  // below: offsets and rumble, left to `other`
constexpr double kHighestCueHz = 20000.0;  // the frequency cue runs from 0 at 25 Hz to 1 here
constexpr size_t kFarFrames = 3;           // the far neighbours in time, in hops
constexpr size_t kSlowFrames = 6;          // the farthest
// The comb of multiples whose motion kCombMotionCue sums. A partial h times the bin's
// frequency lies within h / 2 bins of h times the bin, so the loudest bin there stands for it.
constexpr size_t kCombLowest = 2;
constexpr size_t kCombHighest = 6;
// The divisors of a bin's frequency at which kBassRootCue looks for a bass note's fundamental.
constexpr size_t kRootLowest = 2;
constexpr size_t kRootHighest = 6;
constexpr double kEveryBinHz = 4000.0;     // the network runs on every bin below this,
constexpr double kEverySecondHz = 8000.0;  // on every second below this, then every fourth
constexpr double kVoiceLowHz = 150.0;      // voice band edges, -3 dB each
constexpr double kVoiceHighHz = 8000.0;
constexpr float kCentreSideRatio =
    0.25f;  // |L - R| / |L + R| at which a bin counts half as centred
// The stereo filter: how long each stem's inter-channel covariance is remembered, and the
// share of the mixture's power added to its diagonal so that it stays well inverted.
constexpr double kCovarianceSeconds = 10.0;
constexpr float kDiagonalLoad = 0.01f;
// The vocal gate: its window reaches this far each way. What it weighs is the share of the
// voice band's energy (kVoiceLowHz to kVoiceHighHz) in bins whose vocal mask is over
// kGateSureMask, counted at the mask's share: a voice claims its partials outright, while what
// a network lends the vocals in a song without a voice is spread thinly over the band. Below
// the closed share the vocal stem goes to `other`, above the open one it is kept. Chosen on a
// generated set the network had not learnt from (2003): against the vocal stem's share of the
// input's energy, which a loud drum kit or bass pushed down in songs with a quiet voice, the
// songs' vocals gained 0.3-0.8 dB and instrumentals' vocals lay further under the mix.
constexpr double kGateReachSeconds = 0.5;
constexpr float kGateSureMask = 0.5f;
constexpr double kGateClosedDb = -16.0;
constexpr double kGateOpenDb = -8.0;
constexpr double kGateClosedShare = 0.025118864315095794;  // kGateClosedDb as a share of energy
constexpr double kGateOpenShare = 0.15848931924611134;     // kGateOpenDb likewise
constexpr double kLn10 = 2.302585092994045684;
// The band context's bands: kContextBands of equal width on a log scale between these.
constexpr double kContextLowHz = 40.0;
constexpr double kContextHighHz = 16000.0;
// A band's power against the patch's mean is taken as ln(share + kContextFloor) over
// -ln(kContextFloor): -1 for nothing, 0 at the mean.
constexpr double kContextFloor = 1e-6;

// Inputs are clamped to 2^40 (240 dB above full scale): within it no square or sum of
// squares a frame takes can overflow a float, whatever the frame length and channels.
constexpr float kSampleBound = 1099511627776.0f;

float sanitise(float x) {
    if (!std::isfinite(x)) return 0.0f;
    return std::min(std::max(x, -kSampleBound), kSampleBound);
}

size_t frameLengthFor(int32_t sampleRate) {
    const double target = kFrameSeconds * static_cast<double>(sampleRate);
    size_t n = kMinFrame;
    // The power of two nearest the target on a log scale: n and 2n are compared by n * sqrt2.
    while (n < kMaxFrame && static_cast<double>(n) * 1.41421356237309505 < target) n *= 2;
    return n;
}

// Moves `fresh` into a sorted window in place of one value equal to `stale`.
void replaceSorted(float* sorted, size_t length, float stale, float fresh) {
    size_t i = 0;
    while (i + 1 < length && sorted[i] < stale) ++i;
    if (fresh > stale) {
        while (i + 1 < length && sorted[i + 1] < fresh) {
            sorted[i] = sorted[i + 1];
            ++i;
        }
    } else {
        while (i > 0 && sorted[i - 1] > fresh) {
            sorted[i] = sorted[i - 1];
            --i;
        }
    }
    sorted[i] = fresh;
}

// a^2 / (a^2 + b^2) for a, b >= 0, by their ratio so that no level can overflow it;
// `none` when both are zero.
float powerShare(float a, float b, float none) {
    if (a >= b) {
        if (a == 0.0f) return none;
        const float q = b / a;
        return 1.0f / (1.0f + q * q);
    }
    const float q = a / b;
    const float q2 = q * q;
    return q2 / (1.0f + q2);
}

// The vocals' gain for a window whose voice band holds `voice` of energy, `sure` of it
// claimed surely by the vocal masks: 0 at the closed share and under, 1 at the open one and
// over, straight in decibels between. A silent window has nothing to move.
float gateGain(double sure, double voice) {
    if (!(voice > 0.0)) return 1.0f;
    const double share = sure / voice;
    if (share <= kGateClosedShare) return 0.0f;
    if (share >= kGateOpenShare) return 1.0f;
    const double db = 10.0 * core::PortableLog(share) / kLn10;
    return static_cast<float>((db - kGateClosedDb) / (kGateOpenDb - kGateClosedDb));
}

}  // namespace

SpectralSeparator::SpectralSeparator(int32_t sampleRate, int32_t channels,
                                     const MaskNetwork& network)
    : network_(network),
      channels_(static_cast<size_t>(std::max(channels, 1))),
      n_(frameLengthFor(sampleRate)),
      hop_(n_ / 4),
      bins_(n_ / 2 + 1),
      fft_(n_) {
    const double rate = std::max(1.0, static_cast<double>(sampleRate));
    const double hopSeconds = static_cast<double>(hop_) / rate;
    const double binHz = rate / static_cast<double>(n_);
    lookAhead_ = static_cast<size_t>(
        std::min(kMaxReachFrames, std::max(1.0, std::floor(kLongReachSeconds / hopSeconds + 0.5))));
    acrossBins_ =
        2 * static_cast<size_t>(std::max(1.0, std::floor(kAcrossBinsHz / binHz / 2.0))) + 1;
    acrossBins_ = std::min(acrossBins_, 2 * ((bins_ - 1) / 2) + 1);
    lowAcrossBins_ =
        2 * static_cast<size_t>(std::max(1.0, std::floor(kLowAcrossBinsHz / binHz / 2.0))) + 1;
    lowAcrossBins_ = std::min({lowAcrossBins_, kMaxLowAcrossBins, 2 * ((bins_ - 1) / 2) + 1});
    // A sample is complete once the frame three hops after its own has been added in, and
    // that frame's masks wait for lookAhead_ more; one hop more lets stems be written in
    // any amount however the input is cut.
    shortReach_ = std::min(lookAhead_ - 1,
                           static_cast<size_t>(std::floor(kShortReachSeconds / hopSeconds + 0.5)));
    gateReach_ = static_cast<size_t>(
        std::min(kMaxReachFrames, std::max(1.0, std::floor(kGateReachSeconds / hopSeconds + 0.5))));
    // The gate holds each hop until the hops gateReach_ after it are complete.
    latency_ = n_ + (lookAhead_ + gateReach_) * hop_;
    delayLength_ = (lookAhead_ + gateReach_ + 5) * hop_;

    analysisWindow_.resize(n_);
    synthesisWindow_.resize(n_);
    for (size_t i = 0; i < n_; ++i) {
        const double w = 0.5 - 0.5 * core::PortableCos(2.0 * kPi * static_cast<double>(i) /
                                                       static_cast<double>(n_));
        analysisWindow_[i] = static_cast<float>(w);
        // Periodic Hann squared adds up to 1.5 at a hop of a quarter; the inverse transform
        // gives n_ times the frame.
        synthesisWindow_[i] = static_cast<float>(w / (1.5 * static_cast<double>(n_)));
    }
    subsonicBins_ = std::min(bins_, static_cast<size_t>(std::ceil(kSubsonicHz / binHz)));
    gateLowBin_ = std::min(bins_, static_cast<size_t>(std::ceil(kVoiceLowHz / binHz)));
    gateHighBin_ = std::min(bins_, static_cast<size_t>(std::floor(kVoiceHighHz / binHz)) + 1);
    bassShare_.resize(bins_);
    voiceBand_.resize(bins_);
    frequencyPosition_.resize(bins_);
    const double lowest = core::PortableLog(kSubsonicHz);
    const double span = core::PortableLog(kHighestCueHz) - lowest;
    for (size_t k = 0; k < bins_; ++k) {
        const double f = static_cast<double>(k) * binHz;
        frequencyPosition_[k] = static_cast<float>(
            f <= kSubsonicHz ? 0.0 : std::min(1.0, (core::PortableLog(f) - lowest) / span));
        const double b = f / kBassHz;
        bassShare_[k] = static_cast<float>(1.0 / (1.0 + b * b * b * b));
        const double lo = f > 0.0 ? kVoiceLowHz / f : 1e30;
        const double hi = f / kVoiceHighHz;
        voiceBand_[k] =
            f > 0.0
                ? static_cast<float>(1.0 / (1.0 + lo * lo * lo * lo) / (1.0 + hi * hi * hi * hi))
                : 0.0f;
    }

    const size_t slots = lookAhead_ + 1;
    const size_t acrossTime = 2 * lookAhead_ + 1;
    recent_.resize(channels_ * n_);
    delay_.resize(delayLength_ * channels_);
    specRe_.resize(slots * channels_ * bins_);
    specIm_.resize(slots * channels_ * bins_);
    magnitude_.resize(acrossTime * bins_);
    // The network's columns: every bin up to kEveryBinHz, then every second bin up to
    // kEverySecondHz, then every fourth, and the last bin. The high bins outnumber the rest
    // and their masks change slowly across frequency.
    for (size_t k = 0; k < bins_;) {
        columns_.push_back(static_cast<uint32_t>(k));
        const double f = static_cast<double>(k) * binHz;
        k += f < kEveryBinHz ? 1 : f < kEverySecondHz ? 2 : 4;
    }
    if (columns_.back() != bins_ - 1) columns_.push_back(static_cast<uint32_t>(bins_ - 1));
    leftColumn_.resize(bins_);
    towardsRight_.resize(bins_);
    columnSpan_.resize(columns_.size());
    for (size_t j = 0; j < columns_.size(); ++j) {
        const size_t next = j + 1 < columns_.size() ? columns_[j + 1] : bins_;
        columnSpan_[j] = static_cast<float>(next - columns_[j]);
        for (size_t k = columns_[j]; k < next; ++k) {
            leftColumn_[k] = static_cast<uint32_t>(j);
            towardsRight_[k] = static_cast<float>(k - columns_[j]) / columnSpan_[j];
        }
    }
    columnStride_ = (columns_.size() + kMaskTile - 1) / kMaskTile * kMaskTile;
    binBand_.resize(bins_);
    const double bandsPerLog =
        static_cast<double>(kContextBands) /
        (core::PortableLog(kContextHighHz) - core::PortableLog(kContextLowHz));
    for (size_t k = 0; k < bins_; ++k) {
        const double f = static_cast<double>(k) * binHz;
        if (f < kContextLowHz) {
            // Bins under 40 Hz, those under 25 Hz included (their powers are never summed,
            // and their masks go to `other` whatever the context says), take the lowest band.
            binBand_[k] = 0;
        } else {
            const double at =
                (core::PortableLog(f) - core::PortableLog(kContextLowHz)) * bandsPerLog;
            binBand_[k] = static_cast<uint32_t>(
                std::min(static_cast<double>(kContextBands - 1), std::floor(at)));
        }
    }
    for (const uint32_t k : columns_) columnBand_.push_back(binBand_[k]);
    bandPower_.resize(acrossTime * kContextBands);
    bandSide_.resize(acrossTime * kContextBands);
    for (size_t i = 0; i < kContextTimes; ++i) {
        const double at = (static_cast<double>(i) - static_cast<double>(kContextTimes / 2)) *
                          static_cast<double>(lookAhead_) / static_cast<double>(kContextTimes / 2);
        contextOffsets_.push_back(static_cast<int64_t>(std::floor(at + 0.5)));
    }
    contextInputs_.resize(kContextInputs * kMaskTile);
    sortedAcrossTime_.resize(acrossTime * columns_.size());
    sortedShort_.resize((2 * shortReach_ + 1) * columns_.size());
    cues_.resize(kCueCount * columnStride_);
    columnMasks_.resize(kMaskOutputs * columnStride_);
    masks_.resize(kMaskOutputs * bins_);
    acrossFrequency_.resize(bins_);
    aboveAcross_.resize(bins_);
    motion_.resize(bins_);
    standOut_.resize(bins_);
    overlap_.resize(channels_ * 3 * n_);
    covariance_.resize(4 * bins_ * 5);
    filtered_.resize(3 * 2 * 2 * bins_);
    keep_ = static_cast<float>(std::max(0.0, 1.0 - hopSeconds / kCovarianceSeconds));
    readyStems_.resize(4 * 2 * hop_ * channels_);
    sureVocalEnergy_.resize(2 * gateReach_);
    voiceEnergy_.resize(2 * gateReach_);
    gatedStems_.resize((gateReach_ + 1) * hop_ * 3 * channels_);
    frame_.resize(n_);
    workRe_.resize(bins_);
    workIm_.resize(bins_);
    padded_.resize(bins_ + acrossBins_);
    window_.resize(acrossBins_);
}

void SpectralSeparator::reset() {
    taken_ = framesDone_ = written_ = ready_ = gated_ = 0;
    fill_ = 0;
    gateGain_ = 1.0f;
    for (auto* v :
         {&recent_, &delay_, &specRe_, &specIm_, &magnitude_, &sortedAcrossTime_, &sortedShort_,
          &overlap_, &covariance_, &readyStems_, &gatedStems_, &bandPower_, &bandSide_}) {
        std::fill(v->begin(), v->end(), 0.0f);
    }
    std::fill(sureVocalEnergy_.begin(), sureVocalEnergy_.end(), 0.0);
    std::fill(voiceEnergy_.begin(), voiceEnergy_.end(), 0.0);
}

size_t SpectralSeparator::process(const float* in, size_t frames,
                                  const std::array<float*, 4>& out) {
    size_t written = 0;
    while (frames > 0) {
        const size_t take = std::min(frames, hop_ - fill_);
        const size_t C = channels_;
        for (size_t c = 0; c < C; ++c) {
            float* dst = recent_.data() + c * n_ + (n_ - hop_) + fill_;
            for (size_t i = 0; i < take; ++i) dst[i] = sanitise(in[i * C + c]);
        }
        for (size_t i = 0; i < take; ++i) {
            float* d = delay_.data() + ((taken_ + i) % delayLength_) * C;
            for (size_t c = 0; c < C; ++c) d[c] = recent_[c * n_ + (n_ - hop_) + fill_ + i];
        }
        in += take * C;
        frames -= take;
        fill_ += take;
        taken_ += take;
        if (fill_ == hop_) takeFrame();
        if (taken_ > latency_) {
            const size_t due = static_cast<size_t>(taken_ - latency_ - written_);
            std::array<float*, 4> at;
            for (size_t k = 0; k < 4; ++k) at[k] = out[k] + written * C;
            written += emit(at, due);
        }
    }
    return written;
}

size_t SpectralSeparator::finish(const std::array<float*, 4>& out) {
    size_t written = 0;
    const size_t C = channels_;
    while (written_ < taken_) {
        if (ready_ > written_) {
            std::array<float*, 4> at;
            for (size_t k = 0; k < 4; ++k) at[k] = out[k] + written * C;
            written += emit(at, static_cast<size_t>(std::min(ready_, taken_) - written_));
            continue;
        }
        // Silence after the end completes the last frames; it is never written.
        for (size_t c = 0; c < C; ++c) {
            std::fill_n(recent_.data() + c * n_ + (n_ - hop_) + fill_, hop_ - fill_, 0.0f);
        }
        fill_ = hop_;
        takeFrame();
    }
    return written;
}

size_t SpectralSeparator::emit(const std::array<float*, 4>& out, size_t count) {
    const size_t C = channels_;
    const size_t ring = 2 * hop_;
    for (size_t i = 0; i < count; ++i) {
        const size_t at = static_cast<size_t>((written_ + i) % ring) * C;
        for (size_t k = 0; k < 4; ++k) {
            std::memcpy(out[k] + i * C, readyStems_.data() + k * ring * C + at, C * sizeof(float));
        }
    }
    written_ += count;
    return count;
}

void SpectralSeparator::takeFrame() {
    const size_t slots = lookAhead_ + 1;
    const size_t slot = static_cast<size_t>(framesDone_ % slots);
    analyze(slot);
    // The frame's samples move on by a hop for the next one.
    for (size_t c = 0; c < channels_; ++c) {
        float* r = recent_.data() + c * n_;
        std::memmove(r, r + hop_, (n_ - hop_) * sizeof(float));
    }
    fill_ = 0;
    ++framesDone_;
    if (framesDone_ > lookAhead_) {
        const size_t due = static_cast<size_t>((framesDone_ - 1 - lookAhead_) % slots);
        computeMasks(due);
        synthesize(due);
    }
}

void SpectralSeparator::analyze(size_t slot) {
    const size_t acrossTime = 2 * lookAhead_ + 1;
    float* mag = magnitude_.data() + static_cast<size_t>(framesDone_ % acrossTime) * bins_;
    std::fill(workRe_.begin(), workRe_.end(), 0.0f);
    for (size_t c = 0; c < channels_; ++c) {
        const float* r = recent_.data() + c * n_;
        for (size_t i = 0; i < n_; ++i) frame_[i] = r[i] * analysisWindow_[i];
        float* re = specRe_.data() + (slot * channels_ + c) * bins_;
        float* im = specIm_.data() + (slot * channels_ + c) * bins_;
        fft_.forward(frame_.data(), re, im);
        for (size_t k = 0; k < bins_; ++k) workRe_[k] += re[k] * re[k] + im[k] * im[k];
    }
    // The band context's powers, and the shares of them in the first two channels'
    // difference, where anything reads them.
    const size_t ringSlot = static_cast<size_t>(framesDone_ % acrossTime);
    float* bandPower = bandPower_.data() + ringSlot * kContextBands;
    float* bandSide = bandSide_.data() + ringSlot * kContextBands;
    std::fill_n(bandPower, kContextBands, 0.0f);
    std::fill_n(bandSide, kContextBands, 0.0f);
    if (readsContext()) {
        for (size_t k = subsonicBins_; k < bins_; ++k) bandPower[binBand_[k]] += workRe_[k];
    }
    if (readsContext() && channels_ >= 2) {
        const float* lr = specRe_.data() + slot * channels_ * bins_;
        const float* li = specIm_.data() + slot * channels_ * bins_;
        const float* rr = lr + bins_;
        const float* ri = li + bins_;
        float sum[kContextBands] = {}, difference[kContextBands] = {};
        for (size_t k = subsonicBins_; k < bins_; ++k) {
            const float sr = lr[k] + rr[k], si = li[k] + ri[k];
            const float dr = lr[k] - rr[k], di = li[k] - ri[k];
            sum[binBand_[k]] += sr * sr + si * si;
            difference[binBand_[k]] += dr * dr + di * di;
        }
        for (size_t b = 0; b < kContextBands; ++b) {
            const float all = sum[b] + difference[b];
            bandSide[b] = all > 0.0f ? difference[b] / all : 0.0f;
        }
    }
    // The frame's magnitude replaces the one 2 * lookAhead_ + 1 frames older, in the ring
    // and in each column's sorted history (only the network's columns need medians).
    for (size_t k = 0; k < bins_; ++k) workRe_[k] = std::sqrt(workRe_[k]);
    for (size_t j = 0; j < columns_.size(); ++j) {
        const size_t k = columns_[j];
        replaceSorted(sortedAcrossTime_.data() + j * acrossTime, acrossTime, mag[k], workRe_[k]);
    }
    std::copy(workRe_.begin(), workRe_.end(), mag);
    // The short history is centred on the frame whose masks are due: it takes the frame
    // shortReach_ after that one and lets go of the one shortReach_ + 1 before it.
    const size_t shortLength = 2 * shortReach_ + 1;
    const uint64_t base = framesDone_ + acrossTime * 4;  // keeps the frames below non-negative
    const float* in = magnitude_.data() +
                      static_cast<size_t>((base - lookAhead_ + shortReach_) % acrossTime) * bins_;
    const float* out =
        magnitude_.data() +
        static_cast<size_t>((base - lookAhead_ - shortReach_ - 1) % acrossTime) * bins_;
    for (size_t j = 0; j < columns_.size(); ++j) {
        const size_t k = columns_[j];
        replaceSorted(sortedShort_.data() + j * shortLength, shortLength, out[k], in[k]);
    }
}

void SpectralSeparator::computeMasks(size_t slot) {
    computeCues(slot);
    if (readsContext()) computeBandContext();
    const size_t stride = columnStride_;
    if (tap_ != nullptr) {
        tap_(tapContext_, framesDone_ - 1 - lookAhead_, cues_.data(), stride, frameCues_,
             contextInputs_.data());
    }
    const BandContext context{contextInputs_.data(), columnBand_.data()};
    EvaluateMaskNetwork(network_, cues_.data(), stride, columns_.size(), frameCues_, kFrameCueCount,
                        context, columnMasks_.data());

    // Every bin's masks, drawn straight between the columns on either side of it.
    for (size_t o = 0; o < kMaskOutputs; ++o) {
        const float* from = columnMasks_.data() + o * stride;
        float* to = masks_.data() + o * bins_;
        for (size_t k = 0; k < bins_; ++k) {
            const size_t j = leftColumn_[k];
            const float t = towardsRight_[k];
            to[k] = t > 0.0f ? from[j] + t * (from[j + 1] - from[j]) : from[j];
        }
    }
    // Offsets and rumble stay in `other`.
    for (size_t k = 0; k < subsonicBins_; ++k) {
        masks_[k] = masks_[bins_ + k] = masks_[2 * bins_ + k] = 0.0f;
        masks_[3 * bins_ + k] = 1.0f;
    }
}

void SpectralSeparator::computeCues(size_t slot) {
    const size_t acrossTime = 2 * lookAhead_ + 1;
    const uint64_t due = framesDone_ - 1 - lookAhead_;
    const auto magnitudeAt = [&](size_t offset, bool ahead) {
        const uint64_t base = due + acrossTime * 4;  // keeps the frame number non-negative
        return magnitude_.data() +
               static_cast<size_t>((ahead ? base + offset : base - offset) % acrossTime) * bins_;
    };
    const float* mag = magnitudeAt(0, true);
    const size_t far = std::min(kFarFrames, lookAhead_);
    const size_t slow = std::min(kSlowFrames, lookAhead_);
    const float* before = magnitudeAt(1, false);
    const float* after = magnitudeAt(1, true);
    const float* farBefore = magnitudeAt(far, false);
    const float* farAfter = magnitudeAt(far, true);
    const float* slowBefore = magnitudeAt(slow, false);
    const float* slowAfter = magnitudeAt(slow, true);

    // The median across frequency for every bin, the bins beyond either end mirrored, and
    // how each bin stands above it.
    const size_t half = acrossBins_ / 2;
    for (size_t i = 0; i < half; ++i) {
        padded_[half - 1 - i] = mag[std::min(i, bins_ - 1)];
        padded_[half + bins_ + i] = mag[bins_ - 1 - std::min(i, bins_ - 1)];
    }
    std::memcpy(padded_.data() + half, mag, bins_ * sizeof(float));
    std::copy(padded_.begin(), padded_.begin() + static_cast<std::ptrdiff_t>(acrossBins_),
              window_.begin());
    std::sort(window_.begin(), window_.end());
    for (size_t k = 0; k < bins_; ++k) {
        acrossFrequency_[k] = window_[half];
        aboveAcross_[k] = powerShare(mag[k], window_[half], 0.5f);
        if (k + 1 < bins_) {
            replaceSorted(window_.data(), acrossBins_, padded_[k], padded_[k + acrossBins_]);
        }
        motion_[k] = std::fabs(2.0f * powerShare(mag[k], before[k], 0.5f) - 1.0f);
        standOut_[k] = std::max(0.0f, 2.0f * aboveAcross_[k] - 1.0f);
    }

    const bool stereo = channels_ >= 2;
    const float* lr = specRe_.data() + slot * channels_ * bins_;
    const float* li = specIm_.data() + slot * channels_ * bins_;
    const float* rr = lr + bins_;
    const float* ri = li + bins_;
    const float centreWeight = 1.0f / kCentreSideRatio;
    const size_t slots = lookAhead_ + 1;
    // The due frame and the two after it (fewer at the lowest rates, where the look-ahead
    // is shorter).
    const size_t nearSlots[3] = {
        slot, static_cast<size_t>((due + 1) % slots),
        static_cast<size_t>((due + std::min<size_t>(2, lookAhead_)) % slots)};
    const size_t stride = columnStride_;
    float* cue[kCueCount];
    for (size_t c = 0; c < kCueCount; ++c) cue[c] = cues_.data() + c * stride;
    float total = 0.0f, rising = 0.0f, falling = 0.0f;
    float power = 0.0f, lowPower = 0.0f, low = 0.0f, lowRising = 0.0f, lowFalling = 0.0f;
    for (size_t j = 0; j < columns_.size(); ++j) {
        const size_t k = columns_[j];
        const float m = mag[k];
        const float acrossFrequency = acrossFrequency_[k];
        const float longMedian = sortedAcrossTime_[j * acrossTime + lookAhead_];
        const float shortMedian = sortedShort_[j * (2 * shortReach_ + 1) + shortReach_];
        // Below the bass crossover a narrower median across frequency as well, and the lower
        // of the two: a kick's boom spreads over both, while a bass note's partials leave one
        // of them low (the wide one for a bare sine, the narrow one for a rich note).
        const float lowAcross = bassShare_[k] > kNoBass
                                    ? std::min(acrossFrequency, lowAcrossMedian(mag, k))
                                    : acrossFrequency;
        const float below = k > 0 ? mag[k - 1] : mag[k + 1 < bins_ ? k + 1 : k];
        const float above = k + 1 < bins_ ? mag[k + 1] : below;
        float centre = 1.0f, balance = 0.5f, coherence = 1.0f, lasting = 1.0f;
        if (stereo) {
            channelCoherence(k, nearSlots, coherence, lasting);
            const float sr = lr[k] + rr[k], si = li[k] + ri[k];
            const float dr = lr[k] - rr[k], di = li[k] - ri[k];
            centre = powerShare(std::sqrt(sr * sr + si * si),
                                std::sqrt(dr * dr + di * di) * centreWeight, 1.0f);
            balance = powerShare(std::sqrt(lr[k] * lr[k] + li[k] * li[k]),
                                 std::sqrt(rr[k] * rr[k] + ri[k] * ri[k]), 0.5f);
        }
        cue[kStereoCue][j] = stereo ? 1.0f : 0.0f;
        cue[kSteadyCue][j] = powerShare(longMedian, acrossFrequency, 0.5f);
        cue[kTonalCue][j] = powerShare(shortMedian, acrossFrequency, 0.5f);
        cue[kSteadyLowCue][j] = powerShare(longMedian, lowAcross, 0.5f);
        cue[kAboveLongCue][j] = powerShare(m, longMedian, 0.5f);
        cue[kAboveShortCue][j] = powerShare(m, shortMedian, 0.5f);
        cue[kAboveAcrossCue][j] = aboveAcross_[k];
        cue[kRiseCue][j] = powerShare(m, before[k], 0.5f);
        cue[kFallCue][j] = powerShare(m, after[k], 0.5f);
        cue[kLongRiseCue][j] = powerShare(m, farBefore[k], 0.5f);
        cue[kLongFallCue][j] = powerShare(m, farAfter[k], 0.5f);
        cue[kSlowRiseCue][j] = powerShare(m, slowBefore[k], 0.5f);
        cue[kSlowFallCue][j] = powerShare(m, slowAfter[k], 0.5f);
        cue[kPeakCue][j] = powerShare(m, std::max(below, above), 0.5f);
        cue[kCentreCue][j] = centre;
        cue[kBalanceCue][j] = balance;
        cue[kFrequencyCue][j] = frequencyPosition_[k];
        cue[kBassBandCue][j] = bassShare_[k];
        cue[kVoiceBandCue][j] = voiceBand_[k];
        cue[kOctaveUpCue][j] = 2 * k < bins_ ? aboveAcross_[2 * k] : 0.5f;
        cue[kOctaveDownCue][j] = aboveAcross_[k / 2];
        cue[kCoherenceCue][j] = coherence;
        cue[kLastingCoherenceCue][j] = lasting;
        cue[kTwelfthUpCue][j] = 3 * k < bins_ ? aboveAcross_[3 * k] : 0.5f;
        cue[kTwelfthDownCue][j] = aboveAcross_[k / 3];
        cue[kWideBelowCue][j] = powerShare(m, mag[k >= 2 ? k - 2 : 2 - k], 0.5f);
        cue[kWideAboveCue][j] = powerShare(m, mag[k + 2 < bins_ ? k + 2 : k], 0.5f);
        cue[kCombMotionCue][j] = combMotion(mag, k);
        cue[kBassRootCue][j] = bassRoot(mag, k, cue[kSteadyLowCue]);
        if (k >= subsonicBins_) {
            // Only shares of these sums are used, so no level shows through; within the
            // inputs' bound no sum of squares here can overflow. A column stands for the
            // bins up to the next one.
            const float mw = m * columnSpan_[j];
            total += mw;
            power += mw * m;
            lowPower += mw * m * bassShare_[k];
            rising += mw * cue[kRiseCue][j];
            falling += mw * cue[kFallCue][j];
            low += mw * bassShare_[k];
            lowRising += mw * bassShare_[k] * cue[kRiseCue][j];
            lowFalling += mw * bassShare_[k] * cue[kFallCue][j];
        }
    }
    frameCues_[kFrameRiseCue] = total > 0.0f ? rising / total : 0.5f;
    frameCues_[kFrameFallCue] = total > 0.0f ? falling / total : 0.5f;
    frameCues_[kFrameLowCue] = power > 0.0f ? lowPower / power : 0.5f;
    frameCues_[kFrameLowRiseCue] = low > 0.0f ? lowRising / low : 0.5f;
    frameCues_[kFrameLowFallCue] = low > 0.0f ? lowFalling / low : 0.5f;
}

float SpectralSeparator::combMotion(const float* mag, size_t k) const {
    float moved = 0.0f, weight = 0.0f;
    for (size_t h = kCombLowest; h <= kCombHighest && k > 0; ++h) {
        const size_t last = h * k + h / 2;
        if (last >= bins_) break;
        size_t peak = h * k - h / 2;
        float top = mag[peak];
        for (size_t i = peak + 1; i <= last; ++i) {
            // Selected rather than branched on: which bin is loudest is a coin toss.
            const bool louder = mag[i] > top;
            top = louder ? mag[i] : top;
            peak = louder ? i : peak;
        }
        moved += standOut_[peak] * motion_[peak];
        weight += standOut_[peak];
    }
    return weight > 0.0f ? moved / weight : 0.0f;
}

// A root is a peak of the spectrum near k / h, placed between bins by a parabola through
// it and its neighbours. Its h-th partial spreads over two bins each way of h times that
// place, so bin k counts as that partial by how near it lies, to nothing two bins away:
// mere closeness in bins would tie a chord's note to a bass note a semitone off its root.
// The roots lie below k, and so do their columns, whose kSteadyLowCue the frame has already.
float SpectralSeparator::bassRoot(const float* mag, size_t k, const float* steadyLow) const {
    float strongest = 0.0f;
    for (size_t h = kRootLowest; h <= kRootHighest; ++h) {
        const size_t down = k / h, up = (k + h - 1) / h;
        const size_t root = mag[up] > mag[down] ? up : down;
        if (root < subsonicBins_ || root + 1 >= k) continue;
        const float a = mag[root - 1], b = mag[root], c = mag[root + 1];
        const float curve = a - 2.0f * b + c;
        if (!(b >= a && b >= c && curve < 0.0f)) continue;
        const float place = static_cast<float>(root) + 0.5f * (a - c) / curve;
        const float off = std::fabs(static_cast<float>(k) - static_cast<float>(h) * place);
        const float near = std::max(0.0f, 1.0f - 0.5f * off);
        strongest = std::max(
            strongest, near * bassShare_[root] * standOut_[root] * steadyLow[leftColumn_[root]]);
    }
    return strongest;
}

void SpectralSeparator::computeBandContext() {
    const size_t acrossTime = 2 * lookAhead_ + 1;
    const uint64_t base = framesDone_ - 1 - lookAhead_ + acrossTime * 4;  // non-negative
    // The patch's frames: each band's power and share of difference.
    const float* power[kContextTimes];
    const float* side[kContextTimes];
    double total = 0.0;
    for (size_t i = 0; i < kContextTimes; ++i) {
        const size_t at = static_cast<size_t>(
            (base + static_cast<uint64_t>(contextOffsets_[i] + static_cast<int64_t>(acrossTime))) %
            acrossTime);
        power[i] = bandPower_.data() + at * kContextBands;
        side[i] = bandSide_.data() + at * kContextBands;
        for (size_t b = 0; b < kContextBands; ++b) total += static_cast<double>(power[i][b]);
    }
    const double mean = total / static_cast<double>(kContextTimes * kContextBands);
    const double floorLog = core::PortableLog(kContextFloor);
    float level[kContextTimes][kContextBands];
    for (size_t i = 0; i < kContextTimes; ++i) {
        for (size_t b = 0; b < kContextBands; ++b) {
            const double share = mean > 0.0 ? static_cast<double>(power[i][b]) / mean : 0.0;
            level[i][b] = static_cast<float>(core::PortableLog(share + kContextFloor) / -floorLog);
        }
    }
    const float stereo = channels_ >= 2 ? 1.0f : 0.0f;
    for (size_t b = 0; b < kContextBands; ++b) {
        for (size_t d = 0; d < 2 * kContextReach + 1; ++d) {
            const bool inside = b + d >= kContextReach && b + d - kContextReach < kContextBands;
            const size_t other = inside ? b + d - kContextReach : 0;
            for (size_t i = 0; i < kContextTimes; ++i) {
                const size_t row = d * kContextTimes + i;
                contextInputs_[row * kMaskTile + b] = inside ? level[i][other] : -1.0f;
                contextInputs_[(kContextPatch + row) * kMaskTile + b] =
                    inside && mean > 0.0 ? side[i][other] : 0.0f;
            }
        }
        contextInputs_[2 * kContextPatch * kMaskTile + b] =
            static_cast<float>(b) / static_cast<float>(kContextBands - 1);
        contextInputs_[(2 * kContextPatch + 1) * kMaskTile + b] = stereo;
    }
}

namespace {

// |cross| / sqrt(left * right), at most 1; 1 when either power is zero.
float CoherenceOf(float crossRe, float crossIm, float left, float right) {
    const float scale = std::sqrt(left) * std::sqrt(right);
    if (!(scale > 0.0f)) return 1.0f;
    // |cross| by the ratio of its parts, since their squares can overflow at the loudest.
    const float big = std::max(std::fabs(crossRe), std::fabs(crossIm));
    const float small = std::min(std::fabs(crossRe), std::fabs(crossIm));
    const float q = big > 0.0f ? small / big : 0.0f;
    return std::min(1.0f, big * std::sqrt(1.0f + q * q) / scale);
}

}  // namespace

// |sum of L conj R| / sqrt(sum |L|^2 * sum |R|^2) over bins k - 1 .. k + 1: 1 where one
// source, wherever it sits between the loudspeakers, fills those bins, and less where
// reverberation or several sources do; 1 for silence. `first` over the frame in slots[0],
// `all` over the three frames of `slots`, the sums of the first carried on into the rest.
void SpectralSeparator::channelCoherence(size_t k, const size_t* slots, float& first,
                                         float& all) const {
    const size_t from = k > 0 ? k - 1 : 0;
    const size_t to = std::min(k + 1, bins_ - 1);
    float crossRe = 0.0f, crossIm = 0.0f, left = 0.0f, right = 0.0f;
    for (size_t f = 0; f < 3; ++f) {
        const float* lr = specRe_.data() + slots[f] * channels_ * bins_;
        const float* li = specIm_.data() + slots[f] * channels_ * bins_;
        const float* rr = lr + bins_;
        const float* ri = li + bins_;
        for (size_t b = from; b <= to; ++b) {
            crossRe += lr[b] * rr[b] + li[b] * ri[b];
            crossIm += li[b] * rr[b] - lr[b] * ri[b];
            left += lr[b] * lr[b] + li[b] * li[b];
            right += rr[b] * rr[b] + ri[b] * ri[b];
        }
        if (f == 0) first = CoherenceOf(crossRe, crossIm, left, right);
    }
    all = CoherenceOf(crossRe, crossIm, left, right);
}

float SpectralSeparator::lowAcrossMedian(const float* mag, size_t k) const {
    float values[kMaxLowAcrossBins];
    const size_t half = lowAcrossBins_ / 2;
    for (size_t i = 0; i < lowAcrossBins_; ++i) {
        // Mirrored at the ends, as the wide median is.
        const size_t at = k + i < half            ? half - 1 - k - i
                          : k + i - half >= bins_ ? 2 * bins_ - 1 - (k + i - half)
                                                  : k + i - half;
        values[i] = mag[at];
    }
    std::nth_element(values, values + half, values + lowAcrossBins_);
    return values[half];
}

// A stereo Wiener filter over the masks. Each stem is modelled per bin as a power (its mask
// times the mixture's: the mask rather than its square, which separated better on the test
// sets) spread over the two channels by a covariance that the stem's past estimates give,
// remembered over kCovarianceSeconds. A stem's estimate is its model's covariance times the
// inverse of all four together, applied to the mixture: where the stems sit at different places
// between the loudspeakers, this tells them apart better than one gain for both channels can.
// The four filters add up to the identity, so the stems still add up to the input.
void SpectralSeparator::spatialFilter(size_t slot) {
    const float* lr = specRe_.data() + slot * 2 * bins_;
    const float* li = specIm_.data() + slot * 2 * bins_;
    const float* rr = lr + bins_;
    const float* ri = li + bins_;
    for (size_t k = 0; k < bins_; ++k) {
        const float m[4] = {masks_[k], masks_[bins_ + k], masks_[2 * bins_ + k],
                            masks_[3 * bins_ + k]};
        // The mixture's covariance: |L|^2, |R|^2 and L conj(R).
        const float ll = lr[k] * lr[k] + li[k] * li[k];
        const float rrp = rr[k] * rr[k] + ri[k] * ri[k];
        const float lrRe = lr[k] * rr[k] + li[k] * ri[k];
        const float lrIm = li[k] * rr[k] - lr[k] * ri[k];
        const float power = 0.5f * (ll + rrp);
        float weight[4], total = 0.0f;
        for (size_t j = 0; j < 4; ++j) {
            weight[j] = m[j];
            total += weight[j];
            float* c = covariance_.data() + (j * bins_ + k) * 5;
            c[0] = keep_ * c[0] + weight[j] * ll;
            c[1] = keep_ * c[1] + weight[j] * rrp;
            c[2] = keep_ * c[2] + weight[j] * lrRe;
            c[3] = keep_ * c[3] + weight[j] * lrIm;
            c[4] = keep_ * c[4] + weight[j] * power;
        }
        // Per stem, its share of the power times its covariance normalised by its power (a
        // stem never heard is taken as spread evenly); and their sum, the mixture's model.
        const float perTotal = total > 0.0f ? 1.0f / total : 0.0f;
        float model[4][4];
        float s00 = 0.0f, s11 = 0.0f, s01Re = 0.0f, s01Im = 0.0f;
        for (size_t j = 0; j < 4; ++j) {
            const float* c = covariance_.data() + (j * bins_ + k) * 5;
            const float share = total > 0.0f ? weight[j] * perTotal : 0.25f;
            if (c[4] > 0.0f) {
                const float scale = share / c[4];
                for (size_t e = 0; e < 4; ++e) model[j][e] = c[e] * scale;
            } else {
                model[j][0] = model[j][1] = share;
                model[j][2] = model[j][3] = 0.0f;
            }
            s00 += model[j][0];
            s11 += model[j][1];
            s01Re += model[j][2];
            s01Im += model[j][3];
        }
        const float load = kDiagonalLoad * 0.5f * (s00 + s11);
        s00 += load;
        s11 += load;
        const float det = s00 * s11 - (s01Re * s01Re + s01Im * s01Im);
        // z = S^-1 x, S = [[s00, s01], [conj s01, s11]]; nothing for a silent bin.
        float z0Re = 0.0f, z0Im = 0.0f, z1Re = 0.0f, z1Im = 0.0f;
        if (det > 0.0f) {
            const float inv = 1.0f / det;
            z0Re = inv * (s11 * lr[k] - (s01Re * rr[k] - s01Im * ri[k]));
            z0Im = inv * (s11 * li[k] - (s01Re * ri[k] + s01Im * rr[k]));
            z1Re = inv * (s00 * rr[k] - (s01Re * lr[k] + s01Im * li[k]));
            z1Im = inv * (s00 * ri[k] - (s01Re * li[k] - s01Im * lr[k]));
        }
        for (size_t j = 0; j < 3; ++j) {
            // Rows of 2 * bins_: the left channel's real and imaginary parts, then the right's.
            float* y = filtered_.data() + j * 4 * bins_;
            const float* r = model[j];
            y[k] = r[0] * z0Re + (r[2] * z1Re - r[3] * z1Im);
            y[bins_ + k] = r[0] * z0Im + (r[2] * z1Im + r[3] * z1Re);
            y[2 * bins_ + k] = (r[2] * z0Re + r[3] * z0Im) + r[1] * z1Re;
            y[3 * bins_ + k] = (r[2] * z0Im - r[3] * z0Re) + r[1] * z1Im;
        }
    }
}

void SpectralSeparator::synthesize(size_t slot) {
    const size_t C = channels_;
    const float* masks[3] = {masks_.data(), masks_.data() + bins_, masks_.data() + 2 * bins_};
    const bool spatial = C == 2;
    if (spatial) spatialFilter(slot);
    for (size_t c = 0; c < C; ++c) {
        const float* re = specRe_.data() + (slot * C + c) * bins_;
        const float* im = specIm_.data() + (slot * C + c) * bins_;
        for (size_t s = 0; s < 3; ++s) {
            if (spatial) {
                const float* y = filtered_.data() + s * 4 * bins_ + c * 2 * bins_;
                std::copy(y, y + bins_, workRe_.begin());
                std::copy(y + bins_, y + 2 * bins_, workIm_.begin());
            } else {
                for (size_t k = 0; k < bins_; ++k) {
                    workRe_[k] = re[k] * masks[s][k];
                    workIm_[k] = im[k] * masks[s][k];
                }
            }
            fft_.inverse(workRe_.data(), workIm_.data(), frame_.data());
            float* acc = overlap_.data() + (c * 3 + s) * n_;
            for (size_t i = 0; i < n_; ++i) acc[i] += frame_[i] * synthesisWindow_[i];
        }
    }
    // The frame's first hop is now complete: the frame three hops after it has been added.
    // Frames that start before the input complete only the silence ahead of it.
    const uint64_t frameIndex = framesDone_ - 1 - lookAhead_;
    if (frameIndex >= 3) {
        float* pending =
            gatedStems_.data() + static_cast<size_t>(gated_ % (gateReach_ + 1)) * hop_ * 3 * C;
        for (size_t i = 0; i < hop_; ++i) {
            for (size_t c = 0; c < C; ++c) {
                float* p = pending + (i * C + c) * 3;
                p[0] = overlap_[(c * 3 + 0) * n_ + i];
                p[1] = overlap_[(c * 3 + 1) * n_ + i];
                p[2] = overlap_[(c * 3 + 2) * n_ + i];
            }
        }
        // The gate weighs the frame whose first hop this is: its centre lies 1.5 hops later,
        // a small shift against the gate's second-long window. Its power, all channels
        // together, is its magnitude squared.
        const float* mag =
            magnitude_.data() + static_cast<size_t>(frameIndex % (2 * lookAhead_ + 1)) * bins_;
        double voice = 0.0, sure = 0.0;
        for (size_t k = gateLowBin_; k < gateHighBin_; ++k) {
            const float power = mag[k] * mag[k];
            const float m = masks[0][k];
            voice += static_cast<double>(power);
            if (m > kGateSureMask) sure += static_cast<double>(m * m * power);
        }
        const size_t energySlot = static_cast<size_t>(gated_ % (2 * gateReach_));
        voiceEnergy_[energySlot] = voice;
        sureVocalEnergy_[energySlot] = sure;
        ++gated_;
        gateVocals();
    }
    for (size_t c = 0; c < C; ++c) {
        for (size_t s = 0; s < 3; ++s) {
            float* acc = overlap_.data() + (c * 3 + s) * n_;
            std::memmove(acc, acc + hop_, (n_ - hop_) * sizeof(float));
            std::fill_n(acc + n_ - hop_, hop_, 0.0f);
        }
    }
}

// The hops before the input count as silence. The window of the last 2 * gateReach_ hops is
// centred on the start of the hop gateReach_ - 1 back, which gives that boundary its gain;
// the hop before it is then gated, its gain drawn straight from boundary to boundary, and
// `other` takes what the gate holds back.
void SpectralSeparator::gateVocals() {
    double sure = 0.0, voice = 0.0;
    for (size_t h = 0; h < 2 * gateReach_; ++h) {
        sure += sureVocalEnergy_[h];
        voice += voiceEnergy_[h];
    }
    const float next = gateGain(sure, voice);
    if (gated_ <= gateReach_) {
        gateGain_ = next;
        return;
    }
    const size_t C = channels_;
    const uint64_t hopIndex = gated_ - 1 - gateReach_;
    const float* pending =
        gatedStems_.data() + static_cast<size_t>(hopIndex % (gateReach_ + 1)) * hop_ * 3 * C;
    const float step = (next - gateGain_) / static_cast<float>(hop_);
    const size_t ring = 2 * hop_;
    for (size_t i = 0; i < hop_; ++i) {
        const uint64_t sample = hopIndex * hop_ + i;
        const float* x = delay_.data() + static_cast<size_t>(sample % delayLength_) * C;
        const size_t at = static_cast<size_t>(sample % ring) * C;
        const float gain = gateGain_ + step * static_cast<float>(i);
        for (size_t c = 0; c < C; ++c) {
            const float* p = pending + (i * C + c) * 3;
            const float v = gain * p[0];
            readyStems_[0 * ring * C + at + c] = v;
            readyStems_[1 * ring * C + at + c] = p[1];
            readyStems_[2 * ring * C + at + c] = p[2];
            readyStems_[3 * ring * C + at + c] = x[c] - v - p[1] - p[2];
        }
    }
    ready_ += hop_;
    gateGain_ = next;
}

}  // namespace Trackloom::separation::spectral
