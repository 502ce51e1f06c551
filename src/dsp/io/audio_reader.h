// One reader for every input the program takes. The kind of file is told from its first
// bytes: WAV, RF64 and BW64 go to the project's own WavReader, the compressed and other
// uncompressed formats to libsndfile; callers see only this interface.
#pragma once

#include <cstddef>
#include <cstdint>
#include <istream>
#include <memory>
#include <string>

#include "dsp/io/container_sniffer.h"
#include "dsp/io/read_failure.h"
#include "dsp/io/wav_io.h"

namespace Trackloom::io {

class AudioReader {
  public:
    // Frame count reported when the length cannot be known in advance.
    static constexpr uint64_t kUnknownFrameCount = UINT64_MAX;

    virtual ~AudioReader() = default;

    // Rate and channels; the sample format is the one stored (F32 for lossy codecs).
    virtual const AudioFormat& format() const = 0;
    // Frames the file says it holds, or kUnknownFrameCount.
    virtual uint64_t frameCount() const = 0;
    // A block length, in frames, for callers that stream, at most 65536 samples.
    virtual size_t blockFrames() const = 0;

    // Reads up to `frames` frames (frames * channels interleaved floats in [-1, 1] for
    // integer formats) into `out`. Returns the frames read; fewer than asked means the
    // audio has ended.
    size_t readFrames(float* out, size_t frames) {
        const size_t got = readBlock(out, frames);
        framesRead_ += got;
        if (got < frames) ended_ = true;
        return got;
    }

    // Frames handed out so far.
    uint64_t framesRead() const { return framesRead_; }
    // True once the audio has ended short of the length the file declared: the file was
    // cut off, and what it held up to the cut has been read.
    virtual bool endedEarly() const {
        return ended_ && frameCount() != kUnknownFrameCount && framesRead_ < frameCount();
    }
    // The frames the file's header declared (kUnknownFrameCount when it did not say).
    virtual uint64_t declaredFrameCount() const { return frameCount(); }
    // True when the header was never finished (sizes left at 0) and the audio was read to
    // the end of the file instead.
    virtual bool headerUnfinished() const { return false; }
    // True once more frames were read than the header declared: the decoder found audio past
    // the count (a FLAC whose count is wrong, MP3 files joined end to end), and read it too.
    virtual bool heldMoreThanDeclared() const { return false; }

    // Audio there was but that was not read: a further stream of another rate or channel
    // count (a chained Ogg link, MP3 frames of another format), which cannot go on as the
    // same audio, or bytes after the place where the decoder failed.
    struct LeftOut {
        bool any = false;
        bool failed = false;     // the decoder failed: `bytes` from there on were not read
        int32_t sampleRate = 0;  // the other stream's, when one was met
        int32_t channels = 0;
        int64_t bytes = -1;   // bytes not read at the end of the input; -1 when not known
        uint64_t frames = 0;  // the other stream's frames, at its rate, when they were counted
    };
    virtual LeftOut leftOut() const { return LeftOut{}; }

  protected:
    virtual size_t readBlock(float* out, size_t frames) = 0;

  private:
    uint64_t framesRead_ = 0;
    bool ended_ = false;
};

enum class AudioStatus {
    Ok,
    CannotOpen,    // the file could not be opened, or it is empty
    Unsupported,   // a kind of file this program does not decode (AAC, WMA, video...)
    Unrecognized,  // no kind of file known at all
    NeedsFile,     // a format whose decoder must seek, given on standard input
    Malformed,     // the decoder refused the file: damaged, or an encoding it does not take
};

struct OpenedAudio {
    AudioStatus status = AudioStatus::CannotOpen;
    Container container = Container::Unknown;
    std::unique_ptr<AudioReader> reader;  // set when status is Ok
    // Why, when status is not Ok: everything there is to tell the user.
    ReadFailure failure;
};

// Opens `path` and chooses the decoder from its first bytes.
OpenedAudio OpenAudio(const std::string& path);
// The same over a stream the caller keeps alive (standard input, in binary mode), which is
// never sought: formats whose decoder must seek give NeedsFile.
OpenedAudio OpenAudio(std::istream& in);
// The same over a stream the caller keeps alive that can seek, as a file in memory.
OpenedAudio OpenSeekableAudio(std::istream& in);

// Whether a container is one this program decodes.
bool IsReadable(Container container);

}  // namespace Trackloom::io
