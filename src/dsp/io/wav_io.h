// Block-based WAV reading and writing.
//
// The reader walks RIFF chunks (and those of RF64 and BW64, WAV with 64-bit sizes) and decodes
// 8/16/24/32-bit integer and 32/64-bit float PCM (plain or WAVE_FORMAT_EXTENSIBLE) to
// single-precision floats. The writer is in wav_writer.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <istream>
#include <string>
#include <system_error>
#include <vector>

#include "dsp/io/container_sniffer.h"
#include "dsp/io/read_failure.h"
#include "dsp/io/wav_writer.h"

namespace Trackloom::io {

// Why a WAV operation failed. The command layer turns these into the user's message.
enum class WavStatus {
    Ok,
    CannotOpen,         // the file could not be opened
    NotWave,            // no RIFF/WAVE tags
    UnsupportedFormat,  // compressed or otherwise not plain PCM/float
    Malformed,          // truncated or inconsistent headers
    TooLarge,           // more data than a WAV file can describe
    WriteFailed,        // a byte did not reach the disk, or the rename failed
};

enum class SampleFormat { U8, S16, S24, S32, F32, F64 };

struct AudioFormat {
    int32_t sampleRate = 44100;  // in Hz
    int32_t channels = 1;
    SampleFormat sampleFormat = SampleFormat::S16;
    uint32_t bytesPerSample = 2;  // container size of one sample of one channel
};

// Bytes one sample of one channel occupies in the file.
uint32_t BytesPerSample(SampleFormat format);

// Decodes `sampleCount` samples stored as `format` into floats. Integers in a container of
// B bits scale by 2^-(B-1), so decoding is exact; float64 rounds to single.
void DecodeSamples(SampleFormat format, const unsigned char* raw, size_t sampleCount, float* out);

class WavReader {
  public:
    // Frame count reported when the data chunk's size is unknown (a stream written to a pipe).
    static constexpr uint64_t kUnknownFrameCount = UINT64_MAX;

    // Opens `path` and parses the headers up to the first sample.
    WavStatus open(const std::string& path);
    // Same, over a stream the caller keeps alive (memory, a pipe). The stream is never
    // sought, so non-seekable input works.
    WavStatus open(std::istream& in);

    const AudioFormat& format() const { return format_; }
    // Why the last open() failed, in more detail than its status; no cause after a success.
    const ReadFailure& problem() const { return problem_; }
    // Whole frames in the data chunk, clamped to what the file holds; kUnknownFrameCount
    // when reading a stream whose length cannot be known in advance. A data size of all
    // ones, a pipe writer's or one past 4 GiB, means the data runs to the end of the file.
    uint64_t frameCount() const { return frameCount_; }
    // Whole frames the header declares, whatever the file holds; kUnknownFrameCount when
    // it leaves the length open (all ones). An unfinished header declares 0.
    uint64_t declaredFrameCount() const { return declaredFrameCount_; }
    // Frames handed out by readFrames() so far.
    uint64_t framesRead() const { return framesRead_; }
    // Once the data has ended: whether it held fewer frames than the header declared (a
    // truncated file, a pipe cut short, a file shrunk while read).
    bool endedEarly() const;
    // Whether the header declared no data at all, its sizes left at zero by a writer that
    // stopped, and the audio behind it was read to the end (frames read, none declared).
    bool headerUnfinished() const;

    // Reads up to `frames` frames (frames * channels interleaved floats) into `out`.
    // Returns the frames read; fewer than asked means the data has ended.
    size_t readFrames(float* out, size_t frames);

    // A block length, in frames, for callers that stream: 16384 frames, which the separator
    // works on fastest, cut short for wide frames so a block stays within 65536 samples
    // whatever the header claims.
    size_t blockFrames() const;

  private:
    // The header walk, step by step: the RIFF (or RF64, BW64) header, then each chunk before
    // the data, then the data chunk's start, where the format must be complete and sane.
    struct HeaderWalk;
    WavStatus parseHeaders(std::istream& in, bool sizeKnown);
    WavStatus readRiffHeader(HeaderWalk& walk);
    WavStatus readDs64(HeaderWalk& walk, const unsigned char* header, uint32_t size);
    WavStatus readFormat(HeaderWalk& walk, uint32_t size);
    WavStatus skipChunk(HeaderWalk& walk, const unsigned char* header, uint32_t size);
    WavStatus startData(HeaderWalk& walk, uint32_t size, bool sizeKnown);
    // Records which header field is at fault and returns Malformed.
    WavStatus malformed(const char* field, uint64_t value, bool cutShort = false);

    // Reads the next stretch of the data behind what is left of the last one; false once
    // the data has ended.
    bool fill();
    // Whether fill() has met the end of the data and no whole frame is left to decode.
    bool dataEnded() const;

    std::ifstream file_;
    std::istream* in_ = nullptr;
    AudioFormat format_;
    ReadFailure problem_;
    uint64_t frameCount_ = 0;
    uint64_t declaredFrameCount_ = 0;
    uint64_t framesRead_ = 0;
    bool headerUnfinished_ = false;
    uint64_t bytesLeft_ = 0;  // of whole frames, still in the stream; kUnknownFrameCount: all
    uint64_t position_ = 0;   // of the stream's next byte in the file, where that is known
    bool ended_ = false;
    std::vector<unsigned char> raw_;
    size_t rawBegin_ = 0;  // raw_ holds read bytes not yet decoded from here...
    size_t rawEnd_ = 0;    // ...to here
};

}  // namespace Trackloom::io
