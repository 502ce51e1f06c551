#include "dsp/separation/stem_engine.h"

#include "dsp/separation/filter/stem_separator.h"
#include "dsp/separation/spectral/spectral_separator.h"

namespace Trackloom::separation {

using filter::StemSeparator;
using spectral::SpectralSeparator;

namespace {

class FilterEngine final : public StemEngine {
  public:
    FilterEngine(int32_t sampleRate, int32_t channels) : separator_(sampleRate, channels) {}

    size_t maxFinishFrames() const override { return 0; }
    size_t process(const float* in, size_t frames, const std::array<float*, 4>& out) override {
        separator_.process(in, frames, out[0], out[1], out[2], out[3]);
        return frames;
    }
    size_t finish(const std::array<float*, 4>&) override { return 0; }
    bool encodesS16() const override { return true; }
    void processS16(const float* in, size_t frames,
                    const std::array<unsigned char*, 4>& out) override {
        separator_.processS16(in, frames, out);
    }

  private:
    StemSeparator separator_;
};

class SpectralEngine final : public StemEngine {
  public:
    SpectralEngine(int32_t sampleRate, int32_t channels) : separator_(sampleRate, channels) {}

    size_t maxFinishFrames() const override { return separator_.latency(); }
    size_t process(const float* in, size_t frames, const std::array<float*, 4>& out) override {
        return separator_.process(in, frames, out);
    }
    size_t finish(const std::array<float*, 4>& out) override { return separator_.finish(out); }

  private:
    SpectralSeparator separator_;
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
