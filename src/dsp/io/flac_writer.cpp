#include "dsp/io/flac_writer.h"

#include <sndfile.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

namespace Trackloom::io {
namespace {

// libsndfile's virtual file over a ByteOutput. The encoder writes forward and goes back
// only to complete its header, which writeAt() does; it never reads what it wrote.
sf_count_t outputLength(void* user) {
    return static_cast<sf_count_t>(static_cast<FlacWriter::Place*>(user)->out->size());
}

sf_count_t outputSeek(sf_count_t offset, int whence, void* user) {
    auto* place = static_cast<FlacWriter::Place*>(user);
    const auto size = static_cast<sf_count_t>(place->out->size());
    const auto here = static_cast<sf_count_t>(place->position);
    const sf_count_t to = whence == SEEK_SET   ? offset
                          : whence == SEEK_CUR ? here + offset
                                               : size + offset;
    if (to < 0 || to > size) return -1;
    place->position = static_cast<uint64_t>(to);
    return to;
}

sf_count_t outputRead(void*, sf_count_t, void*) {
    return 0;
}

sf_count_t outputWrite(const void* data, sf_count_t count, void* user) {
    auto* place = static_cast<FlacWriter::Place*>(user);
    ByteOutput& out = *place->out;
    const auto n = static_cast<size_t>(count);
    const uint64_t size = out.size();
    // A write that starts inside what is written overwrites it, then appends the rest.
    const size_t over = place->position < size
                            ? static_cast<size_t>(std::min<uint64_t>(n, size - place->position))
                            : 0;
    if (over > 0 && !out.writeAt(place->position, data, over)) return 0;
    if (n > over && !out.write(static_cast<const unsigned char*>(data) + over, n - over)) {
        return static_cast<sf_count_t>(over);
    }
    place->position += n;
    return count;
}

sf_count_t outputTell(void* user) {
    return static_cast<sf_count_t>(static_cast<FlacWriter::Place*>(user)->position);
}

}  // namespace

FlacWriter::~FlacWriter() {
    if (file_ != nullptr) sf_close(file_);
}

WriteStatus FlacWriter::open(ByteOutput& out, OutputFormat::Depth depth, int32_t sampleRate,
                             int32_t channels) {
    if (depth == OutputFormat::Depth::Float || channels <= 0 || channels > kFlacMaxChannels ||
        sampleRate <= 0) {
        fail(WriteStatus::UnsupportedFormat, std::make_error_code(std::errc::invalid_argument));
        return failure();
    }
    SF_INFO info{};
    info.samplerate = sampleRate;
    info.channels = channels;
    info.format =
        SF_FORMAT_FLAC | (depth == OutputFormat::Depth::S16 ? SF_FORMAT_PCM_16 : SF_FORMAT_PCM_24);
    if (!sf_format_check(&info)) {
        // FLAC's header gives the rate in 20 bits.
        fail(WriteStatus::UnsupportedFormat, std::make_error_code(std::errc::invalid_argument));
        return failure();
    }
    depth_ = depth;
    channels_ = static_cast<size_t>(channels);
    place_ = {&out, 0};
    static SF_VIRTUAL_IO io{outputLength, outputSeek, outputRead, outputWrite, outputTell};
    file_ = sf_open_virtual(&io, SFM_WRITE, &info, &place_);
    if (file_ == nullptr) {
        fail(WriteStatus::WriteFailed,
             out.error() ? out.error() : std::make_error_code(std::errc::io_error));
        return failure();
    }
    return WriteStatus::Ok;
}

bool FlacWriter::writeFrames(const float* in, size_t frames) {
    if (file_ == nullptr) return false;
    const size_t samples = frames * channels_;
    const auto count = static_cast<sf_count_t>(frames);
    sf_count_t written = 0;
    if (depth_ == OutputFormat::Depth::S16) {
        // The very integers of the 16-bit WAV stem: its bytes, read back as numbers.
        if (bytes_.size() < 2 * samples) bytes_.resize(2 * samples);
        if (shorts_.size() < samples) shorts_.resize(samples);
        EncodeS16(in, samples, bytes_.data());
        for (size_t i = 0; i < samples; ++i) {
            shorts_[i] = static_cast<short>(static_cast<int16_t>(
                static_cast<uint16_t>(bytes_[2 * i] | (bytes_[2 * i + 1] << 8))));
        }
        written = sf_writef_short(file_, shorts_.data(), count);
    } else {
        // libsndfile takes full-scale 32-bit integers and keeps their top 24 bits, which then
        // are exactly the integers made here.
        if (ints_.size() < samples) ints_.resize(samples);
        EncodeS24(in, samples, ints_.data());
        for (size_t i = 0; i < samples; ++i) {
            ints_[i] = static_cast<int>(static_cast<uint32_t>(ints_[i]) << 8);
        }
        written = sf_writef_int(file_, ints_.data(), count);
    }
    if (written != count || sf_error(file_) != SF_ERR_NO_ERROR) return closeWithFailure();
    return true;
}

bool FlacWriter::finish() {
    if (file_ == nullptr) {
        if (failure() == WriteStatus::Ok) fail(WriteStatus::WriteFailed, {});
        return false;
    }
    sf_write_sync(file_);
    const bool written = sf_error(file_) == SF_ERR_NO_ERROR;
    const int closed = sf_close(file_);
    file_ = nullptr;
    if (!written || closed != 0 || place_.out->error()) {
        return fail(WriteStatus::WriteFailed, place_.out->error()
                                                  ? place_.out->error()
                                                  : std::make_error_code(std::errc::io_error));
    }
    return true;
}

bool FlacWriter::closeWithFailure() {
    sf_close(file_);
    file_ = nullptr;
    return fail(WriteStatus::WriteFailed, place_.out->error()
                                              ? place_.out->error()
                                              : std::make_error_code(std::errc::io_error));
}

}  // namespace Trackloom::io
