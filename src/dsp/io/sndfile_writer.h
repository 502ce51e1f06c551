// Stems in the formats beyond 16-bit WAV: 24-bit and float WAV, 16- and 24-bit FLAC,
// written through libsndfile. Like WavWriter, into a temporary file beside the target that
// replaces it only once complete.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "dsp/io/wav_io.h"

struct sf_private_tag;

namespace Trackloom::io {

struct OutputFormat {
    enum class Kind { Wav, Flac };
    enum class Depth { S16, S24, Float };
    Kind kind = Kind::Wav;
    Depth depth = Depth::S16;

    // FLAC holds integers only.
    bool valid() const { return !(kind == Kind::Flac && depth == Depth::Float); }
    // "wav" or "flac", without the dot.
    const char* extension() const { return kind == Kind::Flac ? "flac" : "wav"; }
    // The plain 16-bit WAV that WavWriter writes on its own.
    bool isDefault() const { return kind == Kind::Wav && depth == Depth::S16; }
    // Bytes one sample takes in the file, for WAV's 4 GiB limit.
    uint32_t bytesPerSample() const {
        return depth == Depth::S16 ? 2 : depth == Depth::S24 ? 3 : 4;
    }
};

// Quantises floats to 24-bit integers: x * 8388607 truncated toward zero, clamped to
// +-8388607, NaN as 0; the 16-bit rule (EncodeS16) with 2^23 - 1 for 2^15 - 1.
void EncodeS24(const float* in, size_t sampleCount, int32_t* out);

class SndfileWriter {
  public:
    SndfileWriter() = default;
    SndfileWriter(const SndfileWriter&) = delete;
    SndfileWriter& operator=(const SndfileWriter&) = delete;
    ~SndfileWriter();

    // Starts a file of `format` (which must be valid()); writes go to a temporary file
    // beside `path`.
    WavStatus open(const std::string& path, const OutputFormat& format, int32_t sampleRate,
                   int32_t channels);

    // Quantises (16 and 24 bits, as EncodeS16 and EncodeS24 do, so libsndfile never
    // rounds a sample itself) and writes `frames` interleaved frames. Returns false once
    // anything has failed; the file is then abandoned.
    bool writeFrames(const float* in, size_t frames);

    // Closes the file and renames it over the target. Returns false, leaving any previous
    // file under the target untouched, if anything failed.
    bool finish();

    // Drops the temporary file; the target is left as it was.
    void abandon();

    const std::string& temporaryPath() const { return tempPath_; }

  private:
    sf_private_tag* file_ = nullptr;
    OutputFormat format_;
    std::string path_;
    std::string tempPath_;
    size_t channels_ = 1;
    std::vector<unsigned char> bytes_;  // 16-bit samples as EncodeS16 lays them out
    std::vector<short> shorts_;
    std::vector<int> ints_;
};

}  // namespace Trackloom::io
