#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <random>
#include <system_error>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "dsp/audio_dsp.h"
#include "dsp/io/wav_io.h"

namespace Trackloom::io {
namespace {

constexpr size_t kHeaderBytes = 44;
// Encoded samples are gathered and handed to the file 128 KB at a time: with four stems
// written side by side, system calls of a few kilobytes cost more than the encoding.
constexpr size_t kWriteBufferSamples = 65536;
constexpr size_t kPageBytes = 4096;

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

}  // namespace

std::string TemporaryNameFor(const std::string& path) {
    // One generator per thread: several splits may be naming their files at once.
    thread_local std::mt19937_64 rng{std::random_device{}()};
    static const char* digits = "0123456789abcdef";
    std::string suffix = ".";
    uint64_t r = rng();
    for (int i = 0; i < 12; ++i, r >>= 4) suffix += digits[r & 15u];
    return path + suffix + ".partial";
}

namespace {

// The system's reason for the file operation that just failed. Streams keep no error of
// their own, but the C library leaves errno set by the call that failed.
std::error_code lastSystemError() {
    return std::error_code(errno != 0 ? errno : EIO, std::generic_category());
}

}  // namespace

void EncodeS16(const float* in, size_t sampleCount, unsigned char* out) {
    // Scale first, clamp after: every x past +-1 scales to at least +-32767 and every x
    // within to at most that, so this gives the same integers as clamping x to +-1 first.
    // A NaN fails both clamps and is zeroed last. Both loops below were checked against the
    // clamp-first form for all 2^32 floats.
    size_t i = 0;
#if defined(__SSE2__)
    // Eight samples at a time: the clamped values are in range, so the saturating pack is
    // a plain narrowing, and x86 stores little-endian as the file wants. minps and maxps
    // return their second operand when either is NaN, which keeps a NaN a NaN until the
    // ordered-compare mask zeroes it.
    const __m128 full = _mm_set1_ps(32767.0f);
    const __m128 negativeFull = _mm_set1_ps(-32767.0f);
    for (; i + 8 <= sampleCount; i += 8) {
        __m128 a = _mm_mul_ps(_mm_loadu_ps(in + i), full);
        __m128 b = _mm_mul_ps(_mm_loadu_ps(in + i + 4), full);
        a = _mm_max_ps(negativeFull, _mm_min_ps(full, a));
        b = _mm_max_ps(negativeFull, _mm_min_ps(full, b));
        a = _mm_and_ps(a, _mm_cmpord_ps(a, a));
        b = _mm_and_ps(b, _mm_cmpord_ps(b, b));
        const __m128i packed = _mm_packs_epi32(_mm_cvttps_epi32(a), _mm_cvttps_epi32(b));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * i), packed);
    }
#endif
    for (; i < sampleCount; ++i) {
        float y = in[i] * 32767.0f;
        y = y > 32767.0f ? 32767.0f : y;
        y = y < -32767.0f ? -32767.0f : y;
        y = y == y ? y : 0.0f;
        putLe16(out + 2 * i, static_cast<uint16_t>(static_cast<int16_t>(y)));
    }
}

WavWriter::~WavWriter() {
    abandon();
}

WavStatus WavWriter::open(const std::string& path, int32_t sampleRate, int32_t channels) {
    abandon();
    failure_ = WavStatus::Ok;
    error_.clear();
    if (channels <= 0 || channels > UINT16_MAX / 2) {
        fail(WavStatus::UnsupportedFormat, std::make_error_code(std::errc::invalid_argument));
        return failure_;
    }
    path_ = path;
    tempPath_ = TemporaryNameFor(path);
    sampleRate_ = sampleRate;
    channels_ = channels;
    samplesWritten_ = 0;
    errno = 0;
    file_.open(tempPath_, std::ios::binary | std::ios::trunc);
    if (!file_.is_open()) {
        tempPath_.clear();
        fail(WavStatus::CannotOpen, lastSystemError());
        return failure_;
    }
    // Sizes are filled in by finish(), once the length is known.
    unsigned char header[kHeaderBytes];
    buildHeader(header, sampleRate_, channels_, 0);
    errno = 0;
    file_.write(reinterpret_cast<const char*>(header), kHeaderBytes);
    ok_ = static_cast<bool>(file_);
    if (!ok_) {
        fail(WavStatus::WriteFailed, lastSystemError());
        return failure_;
    }
    return WavStatus::Ok;
}

bool WavWriter::writeFrames(const float* in, size_t frames) {
    return writeSamples(in, frames * static_cast<size_t>(channels_));
}

bool WavWriter::writeSamples(const float* in, size_t sampleCount) {
    if (!fits(sampleCount)) return false;
    for (size_t done = 0; done < sampleCount;) {
        const size_t n = std::min(sampleCount - done, kWriteBufferSamples);
        unsigned char* out = reserveEncoded(n);
        if (out == nullptr) return false;
        EncodeS16(in + done, n, out);
        if (!commitEncoded(n)) return false;
        done += n;
    }
    return ok_;
}

unsigned char* WavWriter::reserveEncoded(size_t sampleCount) {
    if (!fits(sampleCount)) return nullptr;
    // Grows only while callers' blocks grow; a page is left for the tail of a flush.
    if (encoded_.size() < pending_ + 2 * sampleCount) {
        encoded_.resize(std::max(pending_ + 2 * sampleCount, 2 * kWriteBufferSamples + kPageBytes));
    }
    return encoded_.data() + pending_;
}

bool WavWriter::fits(size_t sampleCount) {
    if (!ok_) return false;
    if (sampleCount > kMaxSamples - samplesWritten_) {
        // A WAV header cannot describe 4 GiB of data; refuse rather than wrap the size.
        return fail(WavStatus::TooLarge, std::make_error_code(std::errc::file_too_large));
    }
    return true;
}

bool WavWriter::commitEncoded(size_t sampleCount) {
    if (!fits(sampleCount)) return false;
    if (2 * sampleCount > encoded_.size() - pending_) {
        // More than was reserved: those bytes were never the caller's to fill.
        return fail(WavStatus::WriteFailed, std::make_error_code(std::errc::invalid_argument));
    }
    pending_ += 2 * sampleCount;
    samplesWritten_ += sampleCount;
    return pending_ < 2 * kWriteBufferSamples || flushEncoded(false);
}

bool WavWriter::flushEncoded(bool all) {
    size_t n = pending_;
    if (!all) {
        // Writes that start and end inside a page of the file cost the kernel a good deal
        // more than whole pages; after the 44-byte header every one of them would.
        const uint64_t end = kHeaderBytes + 2 * samplesWritten_;
        n -= static_cast<size_t>(end % kPageBytes);
    }
    errno = 0;
    file_.write(reinterpret_cast<const char*>(encoded_.data()), static_cast<std::streamsize>(n));
    if (!file_) return fail(WavStatus::WriteFailed, lastSystemError());
    if (pending_ > n) std::memmove(encoded_.data(), encoded_.data() + n, pending_ - n);
    pending_ -= n;
    return true;
}

bool WavWriter::finish() {
    if (!ok_) {
        // A writer never opened has no failure of its own to report.
        if (failure_ == WavStatus::Ok) failure_ = WavStatus::WriteFailed;
        abandon();
        return false;
    }
    if (!flushEncoded(true)) return false;
    unsigned char header[kHeaderBytes];
    buildHeader(header, sampleRate_, channels_, static_cast<uint32_t>(samplesWritten_ * 2));
    errno = 0;
    file_.seekp(0);
    file_.write(reinterpret_cast<const char*>(header), kHeaderBytes);
    file_.flush();
    file_.close();
    if (file_.fail()) return fail(WavStatus::WriteFailed, lastSystemError());
    // A replaced file keeps its permission bits, as editors that write and rename do: a
    // stem its owner made private stays private.
    std::error_code ec;
    const std::filesystem::file_status old = std::filesystem::status(path_, ec);
    if (!ec && std::filesystem::is_regular_file(old)) {
        std::filesystem::permissions(tempPath_, old.permissions(), ec);
    }
    std::filesystem::rename(tempPath_, path_, ec);
    if (ec) return fail(WavStatus::WriteFailed, ec);
    tempPath_.clear();
    ok_ = false;
    return true;
}

bool WavWriter::fail(WavStatus status, std::error_code error) {
    if (failure_ == WavStatus::Ok) {
        failure_ = status;
        error_ = error;
    }
    abandon();
    return false;
}

void WavWriter::abandon() {
    ok_ = false;
    pending_ = 0;
    if (file_.is_open()) file_.close();
    file_.clear();
    if (!tempPath_.empty()) {
        std::error_code ec;
        if (!std::filesystem::remove(tempPath_, ec) && ec) {
            // Windows will not delete a read-only file, which the temporary became if it
            // took a read-only target's permissions.
            std::filesystem::permissions(tempPath_, std::filesystem::perms::owner_write,
                                         std::filesystem::perm_options::add, ec);
            std::filesystem::remove(tempPath_, ec);
        }
        tempPath_.clear();
    }
}

}  // namespace Trackloom::io

namespace Trackloom::AudioDSP {

using io::WavStatus;
using io::WavWriter;

bool SaveWav(const std::string& path, const AudioBuffer& buffer) {
    // Refused before anything is created when the header could not describe the data.
    if (buffer.samples.size() > WavWriter::kMaxSamples) return false;
    WavWriter writer;
    if (writer.open(path, buffer.sampleRate, buffer.channels) != WavStatus::Ok) return false;
    if (!writer.writeSamples(buffer.samples.data(), buffer.samples.size())) return false;
    return writer.finish();
}

}  // namespace Trackloom::AudioDSP
