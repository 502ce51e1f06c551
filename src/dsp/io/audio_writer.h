// Writers of audio files: floats in, a file's bytes out, into a ByteOutput whose owner
// decides where they land. WAV (16-bit, 24-bit, float; RF64 past 4 GiB) and FLAC (16, 24).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <system_error>

#include "dsp/io/byte_output.h"

namespace Trackloom::io {

// Why a writer failed. The command layer turns these into the user's message.
enum class WriteStatus {
    Ok,
    CannotOpen,         // the file could not be created
    UnsupportedFormat,  // the format cannot hold this many channels, or this rate
    TooLarge,           // more data than the format can describe
    WriteFailed,        // a byte did not reach the disk, or the rename failed
};

struct OutputFormat {
    enum class Kind { Wav, Flac };
    enum class Depth { S16, S24, Float };
    Kind kind = Kind::Wav;
    Depth depth = Depth::S16;

    // FLAC holds integers only.
    bool valid() const { return !(kind == Kind::Flac && depth == Depth::Float); }
    // "wav" or "flac", without the dot.
    const char* extension() const { return kind == Kind::Flac ? "flac" : "wav"; }
    // The plain 16-bit WAV the split has always written.
    bool isDefault() const { return kind == Kind::Wav && depth == Depth::S16; }
    // Bytes one sample takes in a WAV file.
    uint32_t bytesPerSample() const {
        return depth == Depth::S16 ? 2 : depth == Depth::S24 ? 3 : 4;
    }
};

// Frame count given when the length of what is to come is not known (a pipe).
constexpr uint64_t kUnknownLength = UINT64_MAX;

// The most channels a FLAC stream holds.
constexpr int32_t kFlacMaxChannels = 8;

class AudioWriter {
  public:
    virtual ~AudioWriter() = default;

    // Encodes and writes `frames` interleaved frames. Returns false once anything has
    // failed; failure() then says what. Output is buffered, so a failing disk may show only
    // at a later call or at finish().
    virtual bool writeFrames(const float* in, size_t frames) = 0;
    // Completes the file's headers: every byte is then in the output, which its owner may
    // commit. False if anything failed.
    virtual bool finish() = 0;

    // 16-bit WAV only: room for `sampleCount` samples to be encoded (as EncodeS16 does)
    // straight into the writer's buffer, saving a pass over floats; commitEncoded() then takes
    // them. Null where the writer has no such room or has failed. The room lasts until the
    // next call on this writer.
    virtual unsigned char* reserveEncoded(size_t /*sampleCount*/) { return nullptr; }
    virtual bool commitEncoded(size_t /*sampleCount*/) { return false; }

    // The first failure, and the system's reason where there is one. Ok while none.
    WriteStatus failure() const { return failure_; }
    const std::error_code& error() const { return error_; }

  protected:
    // Records the first failure and returns false.
    bool fail(WriteStatus status, std::error_code error);

  private:
    WriteStatus failure_ = WriteStatus::Ok;
    std::error_code error_;
};

// A writer of `format` at this rate and channel count into `out`. `frameCount` is how many
// frames will come, or kUnknownLength: a 16-bit WAV of known length keeps the canonical
// 44-byte header, anything else leaves room to turn into RF64. When the format cannot be
// written so, the writer's failure() is already set and it writes nothing.
std::unique_ptr<AudioWriter> MakeAudioWriter(ByteOutput& out, const OutputFormat& format,
                                             int32_t sampleRate, int32_t channels,
                                             uint64_t frameCount);

// Encodes floats as 16-bit little-endian PCM: x * 32767 truncated toward zero, clamped
// to +-32767, NaN as 0.
void EncodeS16(const float* in, size_t sampleCount, unsigned char* out);
// Samples of such PCM at full scale (+-32767): where EncodeS16 clamped, and the rare samples
// exactly at full scale before it.
uint64_t CountFullScaleS16(const unsigned char* pcm, size_t sampleCount);

// Quantises floats to 24-bit integers: x * 8388607 truncated toward zero, clamped to
// +-8388607, NaN as 0; the 16-bit rule with 2^23 - 1 for 2^15 - 1.
void EncodeS24(const float* in, size_t sampleCount, int32_t* out);

}  // namespace Trackloom::io
