#include "dsp/io/wav_writer.h"

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "dsp/audio_dsp.h"
#include "dsp/io/wav_tags.h"

namespace Trackloom::io {
namespace {

// Encoded samples are gathered and handed to the file 128 KB at a time: with four stems
// written side by side, system calls of a few kilobytes cost more than the encoding.
constexpr size_t kWriteBufferBytes = 131072;
constexpr size_t kPageBytes = 4096;
// The sizes a ds64 chunk holds: RIFF and data sizes and the frame count (64 bits each), and
// an empty table of other chunks' sizes.
constexpr uint32_t kDs64Bytes = 28;

void putLe16(unsigned char* p, uint32_t v) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
}

void putLe32(unsigned char* p, uint32_t v) {
    putLe16(p, v);
    putLe16(p + 2, v >> 16);
}

void putLe64(unsigned char* p, uint64_t v) {
    putLe32(p, static_cast<uint32_t>(v));
    putLe32(p + 4, static_cast<uint32_t>(v >> 32));
}

void append(std::vector<unsigned char>& h, const char* tag, uint32_t size) {
    const size_t at = h.size();
    h.resize(at + 8);
    std::memcpy(h.data() + at, tag, 4);
    putLe32(h.data() + at + 4, size);
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

uint64_t CountFullScaleS16(const unsigned char* pcm, size_t sampleCount) {
    uint64_t full = 0;
    size_t i = 0;
#if defined(__SSE2__)
    // Thirty-two samples at a time: a match is -1 in its 16-bit lane, subtracted into lane
    // counts, which are added up before they could wrap (each lane gains at most 4 a round).
    const __m128i top = _mm_set1_epi16(32767);
    const __m128i bottom = _mm_set1_epi16(-32767);
    const auto* at = reinterpret_cast<const __m128i*>(pcm);
    while (i + 32 <= sampleCount) {
        __m128i counts = _mm_setzero_si128();
        for (size_t round = 0; round < 8192 && i + 32 <= sampleCount; ++round, i += 32) {
            for (size_t j = 0; j < 4; ++j) {
                const __m128i v = _mm_loadu_si128(at + i / 8 + j);
                counts = _mm_sub_epi16(counts, _mm_cmpeq_epi16(v, top));
                counts = _mm_sub_epi16(counts, _mm_cmpeq_epi16(v, bottom));
            }
        }
        alignas(16) uint16_t lanes[8];
        _mm_store_si128(reinterpret_cast<__m128i*>(lanes), counts);
        for (const uint16_t lane : lanes) full += lane;
    }
#endif
    for (; i < sampleCount; ++i) {
        const auto v = static_cast<uint16_t>(pcm[2 * i] | (pcm[2 * i + 1] << 8));
        full += static_cast<uint64_t>(v == 0x7fff || v == 0x8001);
    }
    return full;
}

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

WavWriter::~WavWriter() {
    abandon();
}

WriteStatus WavWriter::open(const std::string& path, int32_t sampleRate, int32_t channels,
                            uint64_t frameCount) {
    abandon();
    if (!file_.open(path)) {
        fail(WriteStatus::CannotOpen, file_.error());
        return failure();
    }
    const WriteStatus status =
        open(file_, OutputFormat::Depth::S16, sampleRate, channels, frameCount);
    if (status != WriteStatus::Ok) file_.abandon();
    return status;
}

WriteStatus WavWriter::open(ByteOutput& out, OutputFormat::Depth depth, int32_t sampleRate,
                            int32_t channels, uint64_t frameCount) {
    out_ = &out;
    depth_ = depth;
    bytesPerSample_ = OutputFormat{OutputFormat::Kind::Wav, depth}.bytesPerSample();
    sampleRate_ = sampleRate;
    channels_ = channels;
    samplesWritten_ = 0;
    pending_ = 0;
    ok_ = false;
    // The header holds the block (a frame's bytes) in 16 bits and the byte rate in 32.
    if (channels <= 0 || sampleRate <= 0 ||
        static_cast<uint64_t>(channels) * bytesPerSample_ > UINT16_MAX ||
        static_cast<uint64_t>(sampleRate) * static_cast<uint64_t>(channels) * bytesPerSample_ >
            UINT32_MAX) {
        fail(WriteStatus::UnsupportedFormat, std::make_error_code(std::errc::invalid_argument));
        return failure();
    }
    // A file of known length that fits a plain header gets one (for 16 bits the canonical
    // header); any other leaves room to become RF64.
    reserveRf64_ = frameCount == kUnknownLength ||
                   frameCount > plainSampleLimit() / static_cast<uint64_t>(channels);
    const std::vector<unsigned char> h = header(false);
    headerBytes_ = h.size();
    ok_ = out.write(h.data(), h.size());
    if (!ok_) return failWith(WriteStatus::WriteFailed, out.error()), failure();
    return WriteStatus::Ok;
}

std::vector<unsigned char> WavWriter::header(bool rf64) const {
    const auto rate = static_cast<uint32_t>(sampleRate_);
    const auto ch = static_cast<uint32_t>(channels_);
    const bool isFloat = depth_ == OutputFormat::Depth::Float;
    // Integers of more than 16 bits need the extensible format, which says which bits are
    // valid and where each channel goes. Floats have a tag of their own, with an empty
    // extension, as other programs write and read them at any channel count.
    const bool extensible = depth_ == OutputFormat::Depth::S24;
    const uint64_t dataBytes = samplesWritten_ * bytesPerSample_;
    const uint64_t frames = samplesWritten_ / ch;
    const uint32_t fmtBytes = extensible ? 40 : isFloat ? 18 : 16;

    std::vector<unsigned char> h;
    append(h, rf64 ? "RF64" : "RIFF", 0);  // size set below
    h.insert(h.end(), {'W', 'A', 'V', 'E'});
    if (reserveRf64_) {
        append(h, rf64 ? "ds64" : "JUNK", kDs64Bytes);
        const size_t at = h.size();
        h.resize(at + kDs64Bytes, 0);
        // The RIFF size is written below, once the header's own length is known; a JUNK
        // chunk stays zeros.
        if (rf64) {
            putLe64(h.data() + at + 8, dataBytes);
            putLe64(h.data() + at + 16, frames);
        }
    }
    append(h, "fmt ", fmtBytes);
    size_t at = h.size();
    h.resize(at + fmtBytes, 0);
    unsigned char* f = h.data() + at;
    putLe16(f, extensible ? kFormatExtensible : isFloat ? kFormatFloat : kFormatPcm);
    putLe16(f + 2, ch);
    putLe32(f + 4, rate);
    putLe32(f + 8, rate * ch * bytesPerSample_);        // byte rate, checked to fit by open()
    putLe16(f + 12, ch * bytesPerSample_);              // block align
    putLe16(f + 14, 8 * bytesPerSample_);               // bits in a sample's container
    if (fmtBytes > 16) putLe16(f + 16, fmtBytes - 18);  // the extension's size
    if (extensible) {
        putLe16(f + 18, depth_ == OutputFormat::Depth::S24 ? 24 : 8 * bytesPerSample_);
        // Front left and right for stereo, front centre for mono; wider layouts unassigned.
        putLe32(f + 20, ch == 1 ? 0x4 : ch == 2 ? 0x3 : 0);
        putLe16(f + 24, isFloat ? kFormatFloat : kFormatPcm);
        std::memcpy(f + 26, kSubFormatTail, sizeof kSubFormatTail);
    }
    if (isFloat) {
        // Formats other than PCM give their length in frames as well.
        append(h, "fact", 4);
        h.resize(h.size() + 4);
        putLe32(h.data() + h.size() - 4, rf64 ? UINT32_MAX : static_cast<uint32_t>(frames));
    }
    append(h, "data", rf64 ? UINT32_MAX : static_cast<uint32_t>(dataBytes));
    // The RIFF size counts everything after its own field, the pad byte of odd data too.
    const uint64_t riffBytes = h.size() - 8 + dataBytes + (dataBytes & 1);
    putLe32(h.data() + 4, rf64 ? UINT32_MAX : static_cast<uint32_t>(riffBytes));
    if (rf64) putLe64(h.data() + 20, riffBytes);
    return h;
}

bool WavWriter::writeFrames(const float* in, size_t frames) {
    return writeSamples(in, frames * static_cast<size_t>(channels_));
}

bool WavWriter::writeSamples(const float* in, size_t sampleCount) {
    if (!fits(sampleCount)) return false;
    const size_t blockSamples = kWriteBufferBytes / bytesPerSample_;
    for (size_t done = 0; done < sampleCount;) {
        const size_t n = std::min(sampleCount - done, blockSamples);
        const size_t bytes = n * bytesPerSample_;
        // Grows only while callers' blocks grow; a page is left for the tail of a flush.
        if (encoded_.size() < pending_ + bytes) {
            encoded_.resize(std::max(pending_ + bytes, 2 * kWriteBufferBytes + kPageBytes));
        }
        encode(in + done, n, encoded_.data() + pending_);
        pending_ += bytes;
        samplesWritten_ += n;
        if (pending_ >= kWriteBufferBytes && !flushEncoded(false)) return false;
        done += n;
    }
    return ok_;
}

void WavWriter::encode(const float* in, size_t sampleCount, unsigned char* out) const {
    switch (depth_) {
        case OutputFormat::Depth::S16:
            EncodeS16(in, sampleCount, out);
            break;
        case OutputFormat::Depth::S24:
            for (size_t done = 0; done < sampleCount;) {
                int32_t v[256];
                const size_t n = std::min(sampleCount - done, sizeof v / sizeof v[0]);
                EncodeS24(in + done, n, v);
                for (size_t i = 0; i < n; ++i, ++done) {
                    const auto u = static_cast<uint32_t>(v[i]);
                    out[3 * done] = static_cast<unsigned char>(u);
                    out[3 * done + 1] = static_cast<unsigned char>(u >> 8);
                    out[3 * done + 2] = static_cast<unsigned char>(u >> 16);
                }
            }
            break;
        case OutputFormat::Depth::Float:
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
            // The file's byte order is the processor's: the floats go as they are.
            std::memcpy(out, in, 4 * sampleCount);
#else
            for (size_t i = 0; i < sampleCount; ++i) {
                uint32_t bits;
                std::memcpy(&bits, in + i, 4);
                putLe32(out + 4 * i, bits);
            }
#endif
            break;
    }
}

unsigned char* WavWriter::reserveEncoded(size_t sampleCount) {
    if (depth_ != OutputFormat::Depth::S16 || !fits(sampleCount)) return nullptr;
    if (encoded_.size() < pending_ + 2 * sampleCount) {
        encoded_.resize(std::max(pending_ + 2 * sampleCount, 2 * kWriteBufferBytes + kPageBytes));
    }
    return encoded_.data() + pending_;
}

bool WavWriter::commitEncoded(size_t sampleCount) {
    if (!fits(sampleCount)) return false;
    if (2 * sampleCount > encoded_.size() - pending_) {
        // More than was reserved: those bytes were never the caller's to fill.
        return failWith(WriteStatus::WriteFailed,
                        std::make_error_code(std::errc::invalid_argument));
    }
    pending_ += 2 * sampleCount;
    samplesWritten_ += sampleCount;
    return pending_ < kWriteBufferBytes || flushEncoded(false);
}

uint64_t WavWriter::plainSampleLimit() const {
    // Beyond 16 bits the header is longer; a margin keeps its sizes short of 4 GiB too.
    return depth_ == OutputFormat::Depth::S16 ? kMaxSamples : (UINT32_MAX - 4096) / bytesPerSample_;
}

bool WavWriter::fits(size_t sampleCount) {
    if (!ok_) return false;
    // A plain header cannot describe 4 GiB of data; refuse rather than wrap the size. With
    // room for RF64 the sizes have 64 bits.
    const uint64_t limit = reserveRf64_ ? UINT64_MAX / bytesPerSample_ / 2 : plainSampleLimit();
    if (sampleCount > limit - samplesWritten_) {
        return failWith(WriteStatus::TooLarge, std::make_error_code(std::errc::file_too_large));
    }
    return true;
}

bool WavWriter::flushEncoded(bool all) {
    size_t n = pending_;
    if (!all) {
        // Writes that start and end inside a page of the file cost the kernel a good deal
        // more than whole pages; after a 44-byte header every one of them would.
        const uint64_t end = headerBytes_ + samplesWritten_ * bytesPerSample_;
        n -= std::min(n, static_cast<size_t>(end % kPageBytes));
    }
    if (!out_->write(encoded_.data(), n)) return failWith(WriteStatus::WriteFailed, out_->error());
    if (pending_ > n) std::memmove(encoded_.data(), encoded_.data() + n, pending_ - n);
    pending_ -= n;
    return true;
}

bool WavWriter::finish() {
    if (!ok_) {
        // A writer never opened has no failure of its own to report.
        if (failure() == WriteStatus::Ok) fail(WriteStatus::WriteFailed, {});
        abandon();
        return false;
    }
    if (!flushEncoded(true)) return false;
    const uint64_t dataBytes = samplesWritten_ * bytesPerSample_;
    if (dataBytes & 1) {
        const unsigned char pad = 0;
        if (!out_->write(&pad, 1)) return failWith(WriteStatus::WriteFailed, out_->error());
    }
    // The 32-bit sizes of a plain header end short of 4 GiB.
    const bool rf64 = reserveRf64_ && headerBytes_ - 8 + dataBytes + (dataBytes & 1) > UINT32_MAX;
    const std::vector<unsigned char> h = header(rf64);
    if (!out_->writeAt(0, h.data(), h.size())) {
        return failWith(WriteStatus::WriteFailed, out_->error());
    }
    ok_ = false;
    if (out_ == &file_ && !file_.commit()) return fail(WriteStatus::WriteFailed, file_.error());
    return true;
}

bool WavWriter::failWith(WriteStatus status, std::error_code error) {
    fail(status, error);
    abandon();
    return false;
}

void WavWriter::abandon() {
    ok_ = false;
    pending_ = 0;
    file_.abandon();
}

}  // namespace Trackloom::io

namespace Trackloom::AudioDSP {

bool SaveWav(const std::string& path, const AudioBuffer& buffer) {
    using io::WavWriter;
    // Refused before anything is created when the header could not describe the data.
    if (buffer.samples.size() > WavWriter::kMaxSamples) return false;
    const size_t channels = buffer.channels > 0 ? static_cast<size_t>(buffer.channels) : 1;
    WavWriter writer;
    if (writer.open(path, buffer.sampleRate, buffer.channels, buffer.samples.size() / channels) !=
        io::WriteStatus::Ok) {
        return false;
    }
    if (!writer.writeSamples(buffer.samples.data(), buffer.samples.size())) return false;
    return writer.finish();
}

}  // namespace Trackloom::AudioDSP
