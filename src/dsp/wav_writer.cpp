#include <algorithm>
#include <cstring>
#include <filesystem>
#include <random>
#include <system_error>

#include "dsp/audio_dsp.h"
#include "dsp/wav_io.h"

namespace Trackloom {
namespace {

constexpr size_t kHeaderBytes = 44;
constexpr size_t kWriteBlockSamples = 8192;

void putLe16(unsigned char* p, uint32_t v) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
}

void putLe32(unsigned char* p, uint32_t v) {
    putLe16(p, v);
    putLe16(p + 2, v >> 16);
}

// The canonical 44-byte header of a 16-bit PCM file holding `dataBytes` bytes of samples.
void buildHeader(unsigned char* h, int32_t sampleRate, int32_t channels, uint32_t dataBytes) {
    const auto rate = static_cast<uint32_t>(sampleRate);
    const auto ch = static_cast<uint32_t>(channels);
    std::memcpy(h, "RIFF", 4);
    putLe32(h + 4, 36 + dataBytes);
    std::memcpy(h + 8, "WAVE", 4);
    std::memcpy(h + 12, "fmt ", 4);
    putLe32(h + 16, 16);
    putLe16(h + 20, 1);  // PCM
    putLe16(h + 22, ch);
    putLe32(h + 24, rate);
    putLe32(h + 28, rate * ch * 2);  // byte rate
    putLe16(h + 32, ch * 2);         // block align
    putLe16(h + 34, 16);
    std::memcpy(h + 36, "data", 4);
    putLe32(h + 40, dataBytes);
}

// A name beside the target that no one would take for a finished stem.
std::string temporaryNameFor(const std::string& path) {
    static std::mt19937_64 rng{std::random_device{}()};
    static const char* digits = "0123456789abcdef";
    std::string suffix = ".";
    uint64_t r = rng();
    for (int i = 0; i < 12; ++i, r >>= 4) suffix += digits[r & 15u];
    return path + suffix + ".partial";
}

}  // namespace

void EncodeS16(const float* in, size_t sampleCount, unsigned char* out) {
    for (size_t i = 0; i < sampleCount; ++i) {
        const float x = in[i];
        int32_t v = 0;
        if (x > 1.0f) {
            v = 32767;
        } else if (x < -1.0f) {
            v = -32767;
        } else if (x == x) {  // NaN fails this and stays 0
            v = static_cast<int32_t>(x * 32767.0f);
        }
        putLe16(out + 2 * i, static_cast<uint32_t>(v));
    }
}

WavWriter::~WavWriter() {
    abandon();
}

WavStatus WavWriter::open(const std::string& path, int32_t sampleRate, int32_t channels) {
    abandon();
    if (channels <= 0 || channels > UINT16_MAX / 2) return WavStatus::UnsupportedFormat;
    path_ = path;
    tempPath_ = temporaryNameFor(path);
    sampleRate_ = sampleRate;
    channels_ = channels;
    samplesWritten_ = 0;
    file_.open(tempPath_, std::ios::binary | std::ios::trunc);
    if (!file_.is_open()) {
        tempPath_.clear();
        return WavStatus::CannotOpen;
    }
    // Sizes are filled in by finish(), once the length is known.
    unsigned char header[kHeaderBytes];
    buildHeader(header, sampleRate_, channels_, 0);
    file_.write(reinterpret_cast<const char*>(header), kHeaderBytes);
    ok_ = static_cast<bool>(file_);
    if (!ok_) {
        abandon();
        return WavStatus::WriteFailed;
    }
    return WavStatus::Ok;
}

bool WavWriter::writeFrames(const float* in, size_t frames) {
    return writeSamples(in, frames * static_cast<size_t>(channels_));
}

bool WavWriter::writeSamples(const float* in, size_t sampleCount) {
    if (!ok_) return false;
    if (sampleCount > kMaxSamples - samplesWritten_) {
        // A WAV header cannot describe 4 GiB of data; refuse rather than wrap the size.
        abandon();
        return false;
    }
    if (encoded_.size() < kWriteBlockSamples * 2) encoded_.resize(kWriteBlockSamples * 2);
    for (size_t done = 0; done < sampleCount;) {
        const size_t n = std::min(sampleCount - done, kWriteBlockSamples);
        EncodeS16(in + done, n, encoded_.data());
        file_.write(reinterpret_cast<const char*>(encoded_.data()),
                    static_cast<std::streamsize>(2 * n));
        done += n;
    }
    samplesWritten_ += sampleCount;
    if (!file_) {
        abandon();
        return false;
    }
    return true;
}

bool WavWriter::finish() {
    if (!ok_) {
        abandon();
        return false;
    }
    unsigned char header[kHeaderBytes];
    buildHeader(header, sampleRate_, channels_, static_cast<uint32_t>(samplesWritten_ * 2));
    file_.seekp(0);
    file_.write(reinterpret_cast<const char*>(header), kHeaderBytes);
    file_.flush();
    file_.close();
    if (file_.fail()) {
        abandon();
        return false;
    }
    std::error_code ec;
    std::filesystem::rename(tempPath_, path_, ec);
    if (ec) {
        abandon();
        return false;
    }
    tempPath_.clear();
    ok_ = false;
    return true;
}

void WavWriter::abandon() {
    ok_ = false;
    if (file_.is_open()) file_.close();
    file_.clear();
    if (!tempPath_.empty()) {
        std::error_code ec;
        std::filesystem::remove(tempPath_, ec);
        tempPath_.clear();
    }
}

namespace AudioDSP {

bool SaveWav(const std::string& path, const AudioBuffer& buffer) {
    // Refused before anything is created when the header could not describe the data.
    if (buffer.samples.size() > WavWriter::kMaxSamples) return false;
    WavWriter writer;
    if (writer.open(path, buffer.sampleRate, buffer.channels) != WavStatus::Ok) return false;
    if (!writer.writeSamples(buffer.samples.data(), buffer.samples.size())) return false;
    return writer.finish();
}

}  // namespace AudioDSP
}  // namespace Trackloom
