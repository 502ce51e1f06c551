// Chooses the decoder for an input from its first bytes.
#include "dsp/io/audio_reader.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "dsp/io/byte_input.h"
#include "dsp/io/mpeg_reader.h"
#include "dsp/io/sndfile_reader.h"

namespace Trackloom::io {
namespace {

// WavReader behind the common interface. For standard input it reads through the bytes
// already taken to tell the kind of file.
class WavAudioReader final : public AudioReader {
  public:
    explicit WavAudioReader(std::unique_ptr<ByteInput> input)
        : input_(std::move(input)), stream_(input_.get()) {}

    WavStatus open(const std::string& path) { return reader_.open(path); }
    WavStatus openStream() { return reader_.open(stream_); }

    const AudioFormat& format() const override { return reader_.format(); }
    uint64_t frameCount() const override {
        return reader_.frameCount() == WavReader::kUnknownFrameCount ? kUnknownFrameCount
                                                                     : reader_.frameCount();
    }
    size_t blockFrames() const override { return reader_.blockFrames(); }
    bool endedEarly() const override { return reader_.endedEarly(); }
    uint64_t declaredFrameCount() const override { return reader_.declaredFrameCount(); }
    bool headerUnfinished() const override { return reader_.headerUnfinished(); }
    // Why the WAV reader refused the file.
    const ReadFailure& problem() const { return reader_.problem(); }

  protected:
    size_t readBlock(float* out, size_t frames) override { return reader_.readFrames(out, frames); }

  private:
    std::unique_ptr<ByteInput> input_;
    std::istream stream_;
    WavReader reader_;
};

OpenedAudio openWav(const std::string& path, std::unique_ptr<ByteInput> input,
                    Container container) {
    OpenedAudio opened;
    opened.container = container;
    // A named file is reopened by WavReader itself, which then knows its length.
    const bool fromFile = !path.empty() && input->seekable();
    auto reader = std::make_unique<WavAudioReader>(fromFile ? nullptr : std::move(input));
    const WavStatus status = fromFile ? reader->open(path) : reader->openStream();
    // The WAV reader records why it refused the file, and it is passed on as it is.
    opened.failure = reader->problem();
    switch (status) {
        case WavStatus::Ok:
            opened.status = AudioStatus::Ok;
            opened.reader = std::move(reader);
            break;
        case WavStatus::CannotOpen:
            opened.status = AudioStatus::CannotOpen;
            break;
        case WavStatus::NotWave:
            // The file changed since its first bytes were looked at.
            opened.status = opened.failure.cause == ReadFailure::Cause::NotAudio
                                ? AudioStatus::Unrecognized
                                : AudioStatus::Unsupported;
            break;
        default:
            opened.status = AudioStatus::Malformed;
            break;
    }
    return opened;
}

OpenedAudio refused(AudioStatus status, ReadFailure::Cause cause,
                    Container container = Container::Unknown) {
    OpenedAudio opened;
    opened.status = status;
    opened.container = container;
    opened.failure.cause = cause;
    opened.failure.container = container;
    return opened;
}

OpenedAudio cannotOpen(std::error_code error) {
    OpenedAudio opened = refused(AudioStatus::CannotOpen, ReadFailure::Cause::CannotOpen);
    opened.failure.error = error;
    return opened;
}

// What a decoder said, with the reason for a refusal recorded.
OpenedAudio fromDecoder(OpenedAudio opened) {
    opened.failure.container = opened.container;
    switch (opened.status) {
        case AudioStatus::Ok:
            break;
        case AudioStatus::NeedsFile:
            opened.failure.cause = ReadFailure::Cause::NeedsFile;
            break;
        default:
            opened.failure.cause = ReadFailure::Cause::Refused;
            break;
    }
    return opened;
}

// Fewer bytes than a WAV header's first twelve, as far as they go those of one: a WAV file
// cut short, which the WAV reader names.
bool riffCutShort(const unsigned char* head, size_t size) {
    return size < 12 && std::memcmp(head, "RIFF", std::min<size_t>(size, 4)) == 0;
}

}  // namespace

bool IsReadable(Container container) {
    switch (container) {
        case Container::Wav:
        case Container::Rf64:
        case Container::Bw64:
        case Container::Wave64:
        case Container::RifxWav:
        case Container::Aiff:
        case Container::Aifc:
        case Container::Flac:
        case Container::OggVorbis:
        case Container::OggOpus:
        case Container::Mp3:
        case Container::Au:
            return true;
        default:
            return false;
    }
}

namespace {

// An ID3v2 tag, as MP3 files carry, may come before a FLAC stream too. From a pipe, only
// while the stream's first bytes are kept to go back to.
bool flacAfterId3(ByteInput& input, const unsigned char* head, size_t size) {
    const uint64_t tag = Id3TagLength(head, size);
    if (tag == 0 || (!input.seekable() && tag + 4 > ByteInput::kKeptBytes)) return false;
    unsigned char magic[4];
    return input.seek(tag) && input.read(magic, 4) == 4 && std::memcmp(magic, "fLaC", 4) == 0;
}

OpenedAudio openInput(const std::string& path, std::unique_ptr<ByteInput> input) {
    unsigned char head[kSniffBytes];
    const size_t got = input->read(head, sizeof head);
    if (got == 0) return refused(AudioStatus::CannotOpen, ReadFailure::Cause::Empty);
    if (!input->seek(0)) return cannotOpen(std::make_error_code(std::errc::io_error));
    Container container = DetectContainer(head, got);
    if (container == Container::Unknown && riffCutShort(head, got)) {
        return openWav(path, std::move(input), Container::Unknown);
    }
    if (container == Container::Unknown) {
        OpenedAudio opened = refused(AudioStatus::Unrecognized, ReadFailure::Cause::NotAudio);
        opened.failure.keepHead(head, got);
        return opened;
    }
    if (!IsReadable(container)) {
        return refused(AudioStatus::Unsupported, ReadFailure::Cause::NotDecoded, container);
    }
    if (container == Container::Mp3 && flacAfterId3(*input, head, got)) {
        container = Container::Flac;
    }
    if (!input->seek(0)) return cannotOpen(std::make_error_code(std::errc::io_error));
    switch (container) {
        case Container::Wav:
        case Container::Rf64:
        case Container::Bw64:
            return openWav(path, std::move(input), container);
        case Container::Mp3:
            return fromDecoder(OpenWithMpg123(std::move(input)));
        default:
            return fromDecoder(OpenWithSndfile(std::move(input), container));
    }
}

}  // namespace

OpenedAudio OpenAudio(const std::string& path) {
    // Some systems open a directory as if it were an empty file; it is named for what it is.
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) {
        return cannotOpen(std::make_error_code(std::errc::is_a_directory));
    }
    auto input = std::make_unique<ByteInput>();
    errno = 0;
    if (!input->openFile(path)) {
        return cannotOpen(std::error_code(errno != 0 ? errno : EIO, std::generic_category()));
    }
    return openInput(path, std::move(input));
}

OpenedAudio OpenSeekableAudio(std::istream& in) {
    auto input = std::make_unique<ByteInput>();
    input->openSeekableStream(in);
    return openInput(std::string(), std::move(input));
}

OpenedAudio OpenAudio(std::istream& in) {
    auto input = std::make_unique<ByteInput>();
    input->openStream(in);
    return openInput(std::string(), std::move(input));
}

}  // namespace Trackloom::io
