#include "dsp/io/mpeg_reader.h"

#include <mpg123.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace Trackloom::io {
namespace {

constexpr size_t kMaxBlockSamples = 65536;  // as WavReader's blocks
constexpr size_t kPreferredBlockFrames = 16384;
constexpr size_t kFeedBytes = 64 * 1024;  // input handed to the decoder at a time
// No MPEG audio frame holds more than 24 frames of samples per byte (MPEG-2.5 Layer III at
// 8 kbit/s and 24 kHz); a header claiming more than twice that for the file's bytes is wrong.
constexpr uint64_t kMaxFramesPerByte = 48;

class Mpg123Reader final : public AudioReader {
  public:
    explicit Mpg123Reader(std::unique_ptr<ByteInput> input) : input_(std::move(input)) {}
    ~Mpg123Reader() override {
        if (handle_ != nullptr) mpg123_delete(handle_);
    }
    Mpg123Reader(const Mpg123Reader&) = delete;
    Mpg123Reader& operator=(const Mpg123Reader&) = delete;

    // Feeds the decoder until it knows the stream's format. False if it never does.
    bool open() {
        // Fills the decoder's tables, once; later calls do nothing.
        static const int initialized = mpg123_init();
        int error = initialized;
        if (initialized == MPG123_OK) handle_ = mpg123_new(nullptr, &error);
        if (handle_ == nullptr) return false;
        // Quiet: its notes on a damaged stream would reach the user's terminal; what went
        // wrong is said once, by the program. Gapless: the encoder's delay and padding go.
        // Frames of another format after the first (joined files) are read on, not refused.
        // ID3v2 tags are skipped unread: the decoder would otherwise hold a whole tag in
        // memory, as large as its header claims (up to 256 MB from a few bytes).
        mpg123_param(handle_, MPG123_ADD_FLAGS, MPG123_QUIET | MPG123_GAPLESS | MPG123_SKIP_ID3V2,
                     0.0);
        mpg123_param(handle_, MPG123_REMOVE_FLAGS, MPG123_NO_FRANKENSTEIN, 0.0);
        // Floats at the stream's own rate, never resampled.
        mpg123_format_none(handle_);
        const long* rates = nullptr;
        size_t count = 0;
        mpg123_rates(&rates, &count);
        for (size_t i = 0; i < count; ++i) {
            mpg123_format(handle_, rates[i], MPG123_MONO | MPG123_STEREO, MPG123_ENC_FLOAT_32);
        }
        if (mpg123_open_feed(handle_) != MPG123_OK) return false;
        size_t done = 0;
        unsigned char none[1];
        for (;;) {
            const int status = mpg123_read(handle_, none, 0, &done);
            if (status == MPG123_NEW_FORMAT) break;
            if (status != MPG123_NEED_MORE || !feed()) return false;
        }
        long rate = 0;
        int channels = 0, encoding = 0;
        if (mpg123_getformat(handle_, &rate, &channels, &encoding) != MPG123_OK || rate <= 0 ||
            channels <= 0 || encoding != MPG123_ENC_FLOAT_32) {
            return false;
        }
        format_.sampleRate = static_cast<int32_t>(rate);
        format_.channels = channels;
        format_.sampleFormat = SampleFormat::F32;
        format_.bytesPerSample = BytesPerSample(format_.sampleFormat);
        blockFrames_ =
            std::min(kPreferredBlockFrames, kMaxBlockSamples / static_cast<size_t>(channels));
        // The length a Xing or Info header gives, if any: a stream only says it at its start.
        // It is a claim: a file whose bytes cannot hold it has a damaged header, and then the
        // frames decoded count; from a pipe it cannot be checked, so it serves only to say
        // that the audio ended short of it.
        const off_t claimed = mpg123_length(handle_);
        if (claimed > 0) {
            declared_ = static_cast<uint64_t>(claimed);
            if (input_->seekable()) {
                const auto bytes = static_cast<uint64_t>(input_->length());
                if (declared_ > bytes * kMaxFramesPerByte) declared_ = kUnknownFrameCount;
                frameCount_ = declared_;
            }
        }
        return true;
    }

    const AudioFormat& format() const override { return format_; }
    uint64_t frameCount() const override { return frameCount_; }
    size_t blockFrames() const override { return blockFrames_; }
    uint64_t declaredFrameCount() const override { return declared_; }
    bool endedEarly() const override {
        return finished_ && declared_ != kUnknownFrameCount && framesRead() < declared_;
    }
    bool heldMoreThanDeclared() const override {
        return declared_ != kUnknownFrameCount && framesRead() > declared_;
    }
    LeftOut leftOut() const override { return leftOut_; }

  protected:
    size_t readBlock(float* out, size_t frames) override {
        const size_t frameBytes = sizeof(float) * static_cast<size_t>(format_.channels);
        auto* bytes = reinterpret_cast<unsigned char*>(out);
        const size_t wanted = frames * frameBytes;
        size_t got = 0;
        while (got < wanted && !finished_) {
            size_t done = 0;
            const int status = mpg123_read(handle_, bytes + got, wanted - got, &done);
            // Frames of another rate or channel count (MP3 files of two formats joined, or
            // a damaged frame header) cannot go on as this audio: they are counted and left
            // out, and the audio goes on where frames of its own format come back.
            if (otherFormat_) {
                leftOut_.frames += done / (sizeof(float) * static_cast<size_t>(leftOut_.channels));
            } else {
                got += done;
            }
            if (status == MPG123_OK) continue;
            if (status == MPG123_NEED_MORE && feed()) continue;
            if (status == MPG123_NEW_FORMAT) {
                otherFormat_ = !sameFormat();
                leftOut_.any = leftOut_.any || otherFormat_;
                continue;
            }
            // The end of the input, or a decoder that failed: what is left is left out.
            finished_ = true;
            if (status != MPG123_NEED_MORE && status != MPG123_DONE) noteFailure();
        }
        // mpg123 hands out whole frames of samples; a part of one would be no frame at all.
        return got / frameBytes;
    }

  private:
    // Hands the decoder the next bytes of input; false at its end.
    bool feed() {
        if (inputDone_) return false;
        buffer_.resize(kFeedBytes);
        const size_t n = input_->read(buffer_.data(), buffer_.size());
        if (n == 0) {
            inputDone_ = true;
            return false;
        }
        return mpg123_feed(handle_, buffer_.data(), n) == MPG123_OK;
    }

    bool sameFormat() {
        long rate = 0;
        int channels = 0, encoding = 0;
        mpg123_getformat(handle_, &rate, &channels, &encoding);
        if (rate == format_.sampleRate && channels == format_.channels) return true;
        leftOut_.sampleRate = static_cast<int32_t>(rate);
        leftOut_.channels = std::max(1, channels);
        return false;
    }

    // The decoder failed before the input's end: the bytes after its place are left out.
    void noteFailure() {
        leftOut_.any = true;
        leftOut_.failed = true;
        const off_t at = mpg123_tell_stream(handle_);
        if (input_->seekable() && at >= 0) {
            leftOut_.bytes = std::max<int64_t>(0, input_->length() - static_cast<int64_t>(at));
        }
    }

    std::unique_ptr<ByteInput> input_;
    mpg123_handle* handle_ = nullptr;
    std::vector<unsigned char> buffer_;
    bool inputDone_ = false;
    bool finished_ = false;
    bool otherFormat_ = false;  // the frames now decoded are of another format
    AudioFormat format_;
    uint64_t frameCount_ = kUnknownFrameCount;
    uint64_t declared_ = kUnknownFrameCount;
    size_t blockFrames_ = kPreferredBlockFrames;
    LeftOut leftOut_;
};

}  // namespace

OpenedAudio OpenWithMpg123(std::unique_ptr<ByteInput> input) {
    OpenedAudio opened;
    opened.container = Container::Mp3;
    auto reader = std::make_unique<Mpg123Reader>(std::move(input));
    if (!reader->open()) {
        opened.status = AudioStatus::Malformed;
        return opened;
    }
    opened.status = AudioStatus::Ok;
    opened.reader = std::move(reader);
    return opened;
}

}  // namespace Trackloom::io
