// The separators the split command can run, behind one streaming interface: it hands
// blocks of interleaved input in and gets four blocks of float stems out, whichever
// engine runs. An engine may hold input back (the spectral one looks ahead), so a block
// in may give fewer frames out; finish() writes the rest, and in all the stems are as
// long as the input.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace Trackloom::separation {

enum class EngineKind {
    Filter,    // the per-sample filters of StemSeparator: no delay, cheapest
    Spectral,  // the masks of SpectralSeparator
};

// The engine named `name` ("filter" or "spectral"); false if there is none by that name.
bool ParseEngineKind(const std::string& name, EngineKind& kind);

class StemEngine {
  public:
    virtual ~StemEngine() = default;

    // The most frames finish() can write.
    virtual size_t maxFinishFrames() const = 0;

    // Separates `frames` interleaved frames and gives the stems that are due, as floats the
    // writers quantise: each of out (vocals, drums, bass, other) has room for
    // frames * channels samples. Returns the frames given, at most `frames`.
    virtual size_t process(const float* in, size_t frames, const std::array<float*, 4>& out) = 0;
    // Gives the stems of everything taken and not yet given, at most maxFinishFrames()
    // frames, as if the input ended here. Returns the frames given.
    virtual size_t finish(const std::array<float*, 4>& out) = 0;

    // Whether processS16 is there: an engine without delay that separates and encodes to
    // 16-bit PCM in one pass, the very bytes EncodeS16 makes of process()'s floats.
    virtual bool encodesS16() const { return false; }
    // Separates `frames` frames into 16-bit little-endian PCM, frames * channels samples in
    // each of out. Only where encodesS16().
    virtual void processS16(const float* /*in*/, size_t /*frames*/,
                            const std::array<unsigned char*, 4>& /*out*/) {}
};

// The most channels the spectral engine takes: its memory grows by about 0.4 MB per channel
// at 44.1 kHz and up to 3 MB at the highest rates, and 16 keeps it within 64 MB at any rate.
constexpr int32_t kSpectralMaxChannels = 16;

// An engine for this rate and channel count; null if the engine cannot take them.
std::unique_ptr<StemEngine> MakeStemEngine(EngineKind kind, int32_t sampleRate, int32_t channels);

}  // namespace Trackloom::separation
