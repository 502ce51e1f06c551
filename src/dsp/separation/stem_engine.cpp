#include "dsp/separation/stem_engine.h"

#include <vector>

#include "dsp/io/wav_io.h"
#include "dsp/separation/filter/stem_separator.h"
#include "dsp/separation/spectral/spectral_separator.h"

namespace Trackloom::separation {

using spectral::SpectralSeparator;

using filter::StemSeparator;

using io::EncodeS16;

namespace {

class FilterEngine final : public StemEngine {
  public:
    FilterEngine(int32_t sampleRate, int32_t channels) : separator_(sampleRate, channels) {}

    size_t processS16(const float* in, size_t frames,
                      const std::array<unsigned char*, 4>& out) override {
        separator_.processS16(in, frames, out);
        return frames;
    }
    size_t finishS16(const std::array<unsigned char*, 4>&) override { return 0; }
    size_t maxFinishFrames() const override { return 0; }
    size_t process(const float* in, size_t frames, const std::array<float*, 4>& out) override {
        separator_.process(in, frames, out[0], out[1], out[2], out[3]);
        return frames;
    }
    size_t finish(const std::array<float*, 4>&) override { return 0; }

  private:
    StemSeparator separator_;
};

class SpectralEngine final : public StemEngine {
  public:
    SpectralEngine(int32_t sampleRate, int32_t channels)
        : separator_(sampleRate, channels), channels_(static_cast<size_t>(channels)) {}

    size_t processS16(const float* in, size_t frames,
                      const std::array<unsigned char*, 4>& out) override {
        return encode(separator_.process(in, frames, floats(frames)), out);
    }
    size_t finishS16(const std::array<unsigned char*, 4>& out) override {
        return encode(separator_.finish(floats(separator_.latency())), out);
    }
    size_t maxFinishFrames() const override { return separator_.latency(); }
    size_t process(const float* in, size_t frames, const std::array<float*, 4>& out) override {
        return separator_.process(in, frames, out);
    }
    size_t finish(const std::array<float*, 4>& out) override { return separator_.finish(out); }

  private:
    // Room for `frames` frames of each float stem; it grows to the largest block once.
    std::array<float*, 4> floats(size_t frames) {
        if (stems_.size() < 4 * frames * channels_) stems_.resize(4 * frames * channels_);
        const size_t stride = stems_.size() / 4;
        return {stems_.data(), stems_.data() + stride, stems_.data() + 2 * stride,
                stems_.data() + 3 * stride};
    }
    size_t encode(size_t frames, const std::array<unsigned char*, 4>& out) {
        const size_t stride = stems_.size() / 4;
        for (size_t k = 0; k < 4; ++k) {
            EncodeS16(stems_.data() + k * stride, frames * channels_, out[k]);
        }
        return frames;
    }

    SpectralSeparator separator_;
    size_t channels_;
    std::vector<float> stems_;
};

}  // namespace

bool ParseEngineKind(const std::string& name, EngineKind& kind) {
    if (name == "filter") {
        kind = EngineKind::Filter;
        return true;
    }
    if (name == "spectral") {
        kind = EngineKind::Spectral;
        return true;
    }
    return false;
}

std::unique_ptr<StemEngine> MakeStemEngine(EngineKind kind, int32_t sampleRate, int32_t channels) {
    if (kind == EngineKind::Spectral) {
        if (channels < 1 || channels > kSpectralMaxChannels || sampleRate < 1) return nullptr;
        return std::make_unique<SpectralEngine>(sampleRate, channels);
    }
    return std::make_unique<FilterEngine>(sampleRate, channels);
}

}  // namespace Trackloom::separation
