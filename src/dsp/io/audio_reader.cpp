// Chooses the decoder for an input from its first bytes.
#include "dsp/io/audio_reader.h"

#include <cstring>

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
    const WavProblem& problem() const { return reader_.problem(); }

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
    opened.wavStatus = status;
    opened.wavProblem = reader->problem();
    switch (status) {
        case WavStatus::Ok:
            opened.status = AudioStatus::Ok;
            opened.reader = std::move(reader);
            break;
        case WavStatus::CannotOpen:
            opened.status = AudioStatus::CannotOpen;
            break;
        default:
            opened.status = AudioStatus::Malformed;
            break;
    }
    return opened;
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
    OpenedAudio opened;
    unsigned char head[kSniffBytes];
    const size_t got = input->read(head, sizeof head);
    if (got == 0 || !input->seek(0)) return opened;
    opened.container = DetectContainer(head, got);
    if (!IsReadable(opened.container)) {
        opened.status = opened.container == Container::Unknown ? AudioStatus::Unrecognized
                                                               : AudioStatus::Unsupported;
        return opened;
    }
    if (opened.container == Container::Mp3 && flacAfterId3(*input, head, got)) {
        opened.container = Container::Flac;
    }
    if (!input->seek(0)) return opened;
    switch (opened.container) {
        case Container::Wav:
        case Container::Rf64:
        case Container::Bw64:
            return openWav(path, std::move(input), opened.container);
        case Container::Mp3:
            return OpenWithMpg123(std::move(input));
        default:
            return OpenWithSndfile(std::move(input), opened.container);
    }
}

}  // namespace

OpenedAudio OpenAudio(const std::string& path) {
    auto input = std::make_unique<ByteInput>();
    if (!input->openFile(path)) return OpenedAudio{};
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
