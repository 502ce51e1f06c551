// The FLAC writer (16 or 24 bits), through libsndfile's encoder, into a ByteOutput.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "dsp/io/audio_writer.h"

struct sf_private_tag;

namespace Trackloom::io {

class FlacWriter final : public AudioWriter {
  public:
    FlacWriter() = default;
    FlacWriter(const FlacWriter&) = delete;
    FlacWriter& operator=(const FlacWriter&) = delete;
    ~FlacWriter() override;

    // Starts a FLAC stream of `depth` (16 or 24 bits) in `out`, which must outlive the
    // writer's use. At most kFlacMaxChannels channels.
    WriteStatus open(ByteOutput& out, OutputFormat::Depth depth, int32_t sampleRate,
                     int32_t channels);

    // Quantises (as EncodeS16 and EncodeS24 do, so the encoder never rounds a sample itself)
    // and writes `frames` interleaved frames.
    bool writeFrames(const float* in, size_t frames) override;
    // Ends the stream; the encoder then completes its header.
    bool finish() override;

    // The encoder's view of the output: a file it writes, seeks in and measures.
    struct Place {
        ByteOutput* out = nullptr;
        uint64_t position = 0;
    };

  private:
    bool closeWithFailure();

    sf_private_tag* file_ = nullptr;
    Place place_;
    OutputFormat::Depth depth_ = OutputFormat::Depth::S16;
    size_t channels_ = 1;
    std::vector<unsigned char> bytes_;  // 16-bit samples as EncodeS16 lays them out
    std::vector<short> shorts_;
    std::vector<int> ints_;
};

}  // namespace Trackloom::io
