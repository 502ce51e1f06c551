#include "dsp/io/sndfile_writer.h"

#include <sndfile.h>

#include <filesystem>
#include <system_error>

namespace Trackloom::io {

void EncodeS24(const float* in, size_t sampleCount, int32_t* out) {
    // Scale first, clamp after, as EncodeS16: a NaN fails both clamps and is zeroed last.
    for (size_t i = 0; i < sampleCount; ++i) {
        float y = in[i] * 8388607.0f;  // 2^23 - 1: full scale of a 24-bit sample
        y = y > 8388607.0f ? 8388607.0f : y;
        y = y < -8388607.0f ? -8388607.0f : y;
        y = y == y ? y : 0.0f;
        out[i] = static_cast<int32_t>(y);
    }
}

SndfileWriter::~SndfileWriter() {
    abandon();
}

WavStatus SndfileWriter::open(const std::string& path, const OutputFormat& format,
                              int32_t sampleRate, int32_t channels) {
    abandon();
    if (!format.valid() || channels <= 0 || sampleRate <= 0) return WavStatus::UnsupportedFormat;
    SF_INFO info{};
    info.samplerate = sampleRate;
    info.channels = channels;
    info.format = format.kind == OutputFormat::Kind::Flac ? SF_FORMAT_FLAC : SF_FORMAT_WAV;
    switch (format.depth) {
        case OutputFormat::Depth::S16:
            info.format |= SF_FORMAT_PCM_16;
            break;
        case OutputFormat::Depth::S24:
            info.format |= SF_FORMAT_PCM_24;
            break;
        case OutputFormat::Depth::Float:
            info.format |= SF_FORMAT_FLOAT;
            break;
    }
    if (!sf_format_check(&info)) return WavStatus::UnsupportedFormat;
    format_ = format;
    path_ = path;
    channels_ = static_cast<size_t>(channels);
    tempPath_ = TemporaryNameFor(path);
    file_ = sf_open(tempPath_.c_str(), SFM_WRITE, &info);
    if (file_ == nullptr) {
        tempPath_.clear();
        return WavStatus::CannotOpen;
    }
    // A float WAV holds the samples and nothing more: no PEAK chunk, which other readers
    // do not need and which would make the file depend on more than its samples.
    sf_command(file_, SFC_SET_ADD_PEAK_CHUNK, nullptr, SF_FALSE);
    return WavStatus::Ok;
}

bool SndfileWriter::writeFrames(const float* in, size_t frames) {
    if (file_ == nullptr) return false;
    const size_t samples = frames * channels_;
    const auto count = static_cast<sf_count_t>(frames);
    sf_count_t written = 0;
    switch (format_.depth) {
        case OutputFormat::Depth::S16:
            // The very integers of the 16-bit WAV stem: its bytes, read back as numbers.
            if (bytes_.size() < 2 * samples) bytes_.resize(2 * samples);
            if (shorts_.size() < samples) shorts_.resize(samples);
            EncodeS16(in, samples, bytes_.data());
            for (size_t i = 0; i < samples; ++i) {
                shorts_[i] = static_cast<short>(static_cast<int16_t>(
                    static_cast<uint16_t>(bytes_[2 * i] | (bytes_[2 * i + 1] << 8))));
            }
            written = sf_writef_short(file_, shorts_.data(), count);
            break;
        case OutputFormat::Depth::S24:
            // libsndfile takes full-scale 32-bit integers and keeps their top 24 bits,
            // which then are exactly the integers made here.
            if (ints_.size() < samples) ints_.resize(samples);
            EncodeS24(in, samples, ints_.data());
            for (size_t i = 0; i < samples; ++i) {
                ints_[i] = static_cast<int>(static_cast<uint32_t>(ints_[i]) << 8);
            }
            written = sf_writef_int(file_, ints_.data(), count);
            break;
        case OutputFormat::Depth::Float:
            written = sf_writef_float(file_, in, count);
            break;
    }
    if (written != count || sf_error(file_) != SF_ERR_NO_ERROR) {
        abandon();
        return false;
    }
    return true;
}

bool SndfileWriter::finish() {
    if (file_ == nullptr) return false;
    sf_write_sync(file_);
    const bool written = sf_error(file_) == SF_ERR_NO_ERROR;
    const int closed = sf_close(file_);
    file_ = nullptr;
    if (!written || closed != 0) {
        abandon();
        return false;
    }
    std::error_code ec;
    // A replaced file keeps its permission bits, as the WAV writer's do.
    const std::filesystem::file_status old = std::filesystem::status(path_, ec);
    if (!ec && std::filesystem::is_regular_file(old)) {
        std::filesystem::permissions(tempPath_, old.permissions(), ec);
    }
    std::filesystem::rename(tempPath_, path_, ec);
    if (ec) {
        abandon();
        return false;
    }
    tempPath_.clear();
    return true;
}

void SndfileWriter::abandon() {
    if (file_ != nullptr) sf_close(file_);
    file_ = nullptr;
    if (!tempPath_.empty()) {
        std::error_code ec;
        std::filesystem::remove(tempPath_, ec);
        tempPath_.clear();
    }
}

}  // namespace Trackloom::io
