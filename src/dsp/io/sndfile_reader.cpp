#include "dsp/io/sndfile_reader.h"

#include <sndfile.h>

#include <algorithm>
#include <cstring>
#include <limits>

namespace Trackloom::io {
namespace {

// The largest block handed out, in samples, as WavReader's blocks.
constexpr size_t kMaxBlockSamples = 65536;
constexpr size_t kPreferredBlockFrames = 16384;  // what the separator works on fastest

sf_count_t inputLength(void* user) {
    const auto* input = static_cast<ByteInput*>(user);
    // libsndfile takes this value to mean a length it does not know.
    return input->seekable() ? input->length() : std::numeric_limits<sf_count_t>::max();
}

sf_count_t inputSeek(sf_count_t offset, int whence, void* user) {
    auto* input = static_cast<ByteInput*>(user);
    int64_t base = 0;
    if (whence == SEEK_CUR) {
        base = static_cast<int64_t>(input->tell());
    } else if (whence == SEEK_END) {
        if (!input->seekable()) return -1;
        base = input->length();
    }
    const int64_t target = base + offset;
    if (target < 0 || !input->seek(static_cast<uint64_t>(target))) return -1;
    return target;
}

sf_count_t inputRead(void* out, sf_count_t count, void* user) {
    if (count <= 0) return 0;
    return static_cast<sf_count_t>(
        static_cast<ByteInput*>(user)->read(out, static_cast<size_t>(count)));
}

sf_count_t inputWrite(const void*, sf_count_t, void*) {
    return 0;
}

sf_count_t inputTell(void* user) {
    return static_cast<sf_count_t>(static_cast<ByteInput*>(user)->tell());
}

SampleFormat storedFormat(int format) {
    switch (format & SF_FORMAT_SUBMASK) {
        case SF_FORMAT_PCM_S8:
        case SF_FORMAT_PCM_U8:
            return SampleFormat::U8;
        case SF_FORMAT_PCM_16:
            return SampleFormat::S16;
        case SF_FORMAT_PCM_24:
            return SampleFormat::S24;
        case SF_FORMAT_PCM_32:
            return SampleFormat::S32;
        case SF_FORMAT_DOUBLE:
            return SampleFormat::F64;
        default:
            return SampleFormat::F32;
    }
}

class SndfileReader final : public AudioReader {
  public:
    SndfileReader(std::unique_ptr<ByteInput> input, SNDFILE* file, const SF_INFO& info)
        : file_(file) {
        format_.sampleRate = info.samplerate;
        format_.channels = info.channels;
        format_.sampleFormat = storedFormat(info.format);
        format_.bytesPerSample = BytesPerSample(format_.sampleFormat);
        // Without a file's length libsndfile may make one up from its largest count; no
        // real file holds 2^48 frames (two centuries at 44.1 kHz).
        constexpr sf_count_t kImplausibleFrames = sf_count_t{1} << 48;
        frameCount_ = info.frames > 0 && info.frames < kImplausibleFrames
                          ? static_cast<uint64_t>(info.frames)
                          : kUnknownFrameCount;
        input_ = std::move(input);
        const size_t channels = static_cast<size_t>(info.channels);
        blockFrames_ =
            std::min(kPreferredBlockFrames, std::max<size_t>(1, kMaxBlockSamples / channels));
    }
    ~SndfileReader() override { sf_close(file_); }
    SndfileReader(const SndfileReader&) = delete;
    SndfileReader& operator=(const SndfileReader&) = delete;

    const WavFormat& format() const override { return format_; }
    uint64_t frameCount() const override { return frameCount_; }
    size_t blockFrames() const override { return blockFrames_; }

  protected:
    size_t readBlock(float* out, size_t frames) override {
        size_t got = 0;
        // A decoder may hand out less than asked before the end; only nothing means the end.
        while (got < frames) {
            const sf_count_t n =
                sf_readf_float(file_, out + got * static_cast<size_t>(format_.channels),
                               static_cast<sf_count_t>(frames - got));
            if (n <= 0) break;
            got += static_cast<size_t>(n);
        }
        // As for WAV: a float sample that is no number is no audio, and would poison the
        // separator's state for the rest of the file.
        const size_t samples = got * static_cast<size_t>(format_.channels);
        for (size_t i = 0; i < samples; ++i) {
            uint32_t bits;
            std::memcpy(&bits, &out[i], sizeof bits);
            const uint32_t keep = (bits & 0x7f800000u) == 0x7f800000u ? 0u : ~0u;
            bits &= keep;
            std::memcpy(&out[i], &bits, sizeof bits);
        }
        return got;
    }

  private:
    std::unique_ptr<ByteInput> input_;
    SNDFILE* file_;
    WavFormat format_;
    uint64_t frameCount_ = kUnknownFrameCount;
    size_t blockFrames_ = kPreferredBlockFrames;
};

}  // namespace

OpenedAudio OpenWithSndfile(std::unique_ptr<ByteInput> input, Container container) {
    OpenedAudio opened;
    opened.container = container;
    SF_VIRTUAL_IO io{inputLength, inputSeek, inputRead, inputWrite, inputTell};
    SF_INFO info{};
    SNDFILE* file = sf_open_virtual(&io, SFM_READ, &info, input.get());
    // Some parsers walk the chunks after the samples and come back to them, which a pipe
    // longer than what ByteInput keeps cannot do.
    if (file != nullptr && input->lostPlace()) {
        sf_close(file);
        opened.status = AudioStatus::NeedsFile;
        return opened;
    }
    if (file == nullptr || info.channels <= 0 || info.samplerate <= 0) {
        if (file != nullptr) sf_close(file);
        opened.status = input->seekable() ? AudioStatus::Malformed : AudioStatus::NeedsFile;
        return opened;
    }
    // Integer samples scaled by a power of two, as WavReader does, so lossless files give
    // the very floats their WAV twins give.
    sf_command(file, SFC_SET_NORM_FLOAT, nullptr, SF_TRUE);
    opened.status = AudioStatus::Ok;
    opened.reader = std::make_unique<SndfileReader>(std::move(input), file, info);
    return opened;
}

}  // namespace Trackloom::io
