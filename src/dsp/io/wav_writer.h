// The WAV writer: 16-bit PCM (the canonical 44-byte header when the length is known), 24-bit
// PCM (WAVE_FORMAT_EXTENSIBLE, which more than 16 bits call for) and 32-bit float (its own tag,
// with a fact chunk). Past 4 GiB a WAV header cannot give the sizes; the file then becomes
// RF64 (sizes in a `ds64` chunk), in the room a `JUNK` chunk keeps for it at the start, so a
// shorter file stays plain WAV.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "dsp/io/audio_writer.h"

namespace Trackloom::io {

class WavWriter final : public AudioWriter {
  public:
    WavWriter() = default;
    WavWriter(const WavWriter&) = delete;
    WavWriter& operator=(const WavWriter&) = delete;
    ~WavWriter() override;

    // Largest sample count (all channels) whose 16-bit data still fits a plain WAV header.
    static constexpr uint64_t kMaxSamples = (UINT32_MAX - 36) / 2;

    // Starts a WAV file of `depth` in `out`, which must outlive the writer's use. `frameCount`
    // is the frames to come, or kUnknownLength (see MakeAudioWriter).
    WriteStatus open(ByteOutput& out, OutputFormat::Depth depth, int32_t sampleRate,
                     int32_t channels, uint64_t frameCount);
    // Starts a 16-bit PCM file beside `path`, in a FileOutput of the writer's own that
    // finish() renames over `path`. By default with the canonical header, which holds up to
    // kMaxSamples samples.
    WriteStatus open(const std::string& path, int32_t sampleRate, int32_t channels,
                     uint64_t frameCount = 0);

    bool writeFrames(const float* in, size_t frames) override;
    // Same, counted in samples (all channels together).
    bool writeSamples(const float* in, size_t sampleCount);
    unsigned char* reserveEncoded(size_t sampleCount) override;
    bool commitEncoded(size_t sampleCount) override;

    // Completes the header (turning the file into RF64 if its data passed 4 GiB). A writer
    // opened on a path then renames its file over the target. False, leaving the target
    // untouched, if any byte did not make it.
    bool finish() override;

    // Drops what was written to a file of the writer's own; the target is left as it was.
    void abandon();

    // The temporary file of a writer opened on a path.
    const std::string& temporaryPath() const { return file_.temporaryPath(); }

  private:
    // Encodes `sampleCount` samples into the buffer, at the stem's depth.
    void encode(const float* in, size_t sampleCount, unsigned char* out) const;
    // Hands the pending bytes to the output: all of them, or (`all` false) as many as end on
    // a page boundary of the file, keeping the rest for the next write.
    bool flushEncoded(bool all);
    // Samples (all channels) a plain header of this depth can describe.
    uint64_t plainSampleLimit() const;
    // Whether `sampleCount` more samples can be written; fails the writer if not.
    bool fits(size_t sampleCount);
    // The header for the data written so far: plain, or RF64 once it needs 64-bit sizes.
    std::vector<unsigned char> header(bool rf64) const;
    bool failWith(WriteStatus status, std::error_code error);

    FileOutput file_;  // used by open(path, ...) only
    ByteOutput* out_ = nullptr;
    OutputFormat::Depth depth_ = OutputFormat::Depth::S16;
    int32_t sampleRate_ = 0;
    int32_t channels_ = 1;
    uint32_t bytesPerSample_ = 2;
    bool reserveRf64_ = false;  // a JUNK chunk keeps the room a ds64 chunk needs
    size_t headerBytes_ = 0;
    uint64_t samplesWritten_ = 0;
    bool ok_ = false;
    std::vector<unsigned char> encoded_;
    size_t pending_ = 0;  // bytes at the start of encoded_ not yet handed to the output
};

}  // namespace Trackloom::io
