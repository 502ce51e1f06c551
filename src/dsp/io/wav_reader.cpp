#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <limits>

#include "dsp/audio_dsp.h"
#include "dsp/io/wav_io.h"
#include "dsp/io/wav_tags.h"

namespace Trackloom::io {
namespace {

// A writer that cannot know the data size in advance (one streaming to a pipe, or past
// 4 GiB) leaves it at all ones: the data runs to the end.
constexpr uint32_t kStreamingDataSize = 0xFFFFFFFF;
// In RF64 and BW64 files, a 32-bit size of all ones says the real size is in the ds64 chunk.
constexpr uint32_t kSizeInDs64 = 0xFFFFFFFF;
// ds64 holds the RIFF, data and sample-count sizes (8 bytes each) and a table length.
constexpr uint32_t kDs64FixedBytes = 28;
// Entries of ds64's table (tag, 64-bit size) kept for chunks other than data; real files
// have none, and more are skipped.
constexpr size_t kMaxDs64TableEntries = 16;
// No real file has this many chunks before its data; bounds the walk over hostile input.
constexpr int kMaxChunksBeforeData = 1024;
// Raw bytes read per call: a 6-channel 64-bit frame is 48 bytes, a hostile one 64 KiB, and
// neither may make a block balloon.
constexpr size_t kReadBlockBytes = size_t{64} * 1024;
constexpr size_t kPageBytes = 4096;
// Samples (all channels) that LoadWav grows by when the length is unknown.
constexpr size_t kGrowSamples = 16384;

uint16_t le16(const unsigned char* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

uint32_t le32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

uint64_t le64(const unsigned char* p) {
    return static_cast<uint64_t>(le32(p)) | (static_cast<uint64_t>(le32(p + 4)) << 32);
}

bool readExactly(std::istream& in, unsigned char* out, size_t n) {
    in.read(reinterpret_cast<char*>(out), static_cast<std::streamsize>(n));
    return static_cast<size_t>(in.gcount()) == n;
}

// Skips `n` bytes without seeking, so pipes work too. Returns false at end of stream.
bool skipBytes(std::istream& in, uint64_t n) {
    constexpr uint64_t kStep = 1u << 30;
    while (n > 0) {
        const uint64_t step = n < kStep ? n : kStep;
        in.ignore(static_cast<std::streamsize>(step));
        if (static_cast<uint64_t>(in.gcount()) != step) return false;
        n -= step;
    }
    return true;
}

// Maps the format code and container size to a sample format; false if unsupported.
bool pickSampleFormat(uint16_t code, uint32_t container, SampleFormat& out) {
    if (code == kFormatPcm) {
        switch (container) {
            case 1:
                out = SampleFormat::U8;
                return true;
            case 2:
                out = SampleFormat::S16;
                return true;
            case 3:
                out = SampleFormat::S24;
                return true;
            case 4:
                out = SampleFormat::S32;
                return true;
            default:
                return false;
        }
    }
    if (code == kFormatFloat) {
        if (container == 4) {
            out = SampleFormat::F32;
            return true;
        }
        if (container == 8) {
            out = SampleFormat::F64;
            return true;
        }
    }
    return false;
}

void decodeU8(const unsigned char* raw, size_t n, float* out) {
    for (size_t i = 0; i < n; ++i) out[i] = static_cast<float>(raw[i] - 128) * 0.0078125f;  // 2^-7
}

void decodeS16(const unsigned char* raw, size_t n, float* out) {
    for (size_t i = 0; i < n; ++i) {
        const auto v = static_cast<int16_t>(le16(raw + 2 * i));
        out[i] = static_cast<float>(v) * 0.000030517578125f;  // 2^-15
    }
}

void decodeS24(const unsigned char* raw, size_t n, float* out) {
    for (size_t i = 0; i < n; ++i) {
        const unsigned char* p = raw + 3 * i;
        // Place the 24 bits at the top of a 32-bit word so the sign extends on the way down.
        const uint32_t u = (static_cast<uint32_t>(p[0]) << 8) |
                           (static_cast<uint32_t>(p[1]) << 16) |
                           (static_cast<uint32_t>(p[2]) << 24);
        const int32_t v = static_cast<int32_t>(u) / 256;
        out[i] = static_cast<float>(v) * 1.1920928955078125e-07f;  // 2^-23
    }
}

void decodeS32(const unsigned char* raw, size_t n, float* out) {
    for (size_t i = 0; i < n; ++i) {
        const auto v = static_cast<int32_t>(le32(raw + 4 * i));
        out[i] = static_cast<float>(v) * 4.656612873077392578125e-10f;  // 2^-31
    }
}

// A float sample that is no number (NaN, infinity, or a double beyond a float's range) is
// no audio: it decodes as silence. Passed on, one such sample would turn the separator's
// low-pass state into NaN and silence the bass and vocals for the rest of the file.
void decodeF32(const unsigned char* raw, size_t n, float* out) {
    for (size_t i = 0; i < n; ++i) {
        const uint32_t bits = le32(raw + 4 * i);
        // All exponent bits set; a mask rather than a branch keeps the loop vectorised.
        const uint32_t keep = (bits & 0x7f800000u) == 0x7f800000u ? 0u : ~0u;
        const uint32_t kept = bits & keep;
        std::memcpy(&out[i], &kept, sizeof kept);
    }
}

void decodeF64(const unsigned char* raw, size_t n, float* out) {
    // The largest float as a double's bits. Bit patterns of non-negative doubles sort like
    // their values, with infinity and NaN above all finite ones, so one integer compare of
    // the magnitude tells what a float can hold, and no conversion ever overflows.
    constexpr uint64_t kFloatMaxBits = 0x47efffffe0000000ull;
    for (size_t i = 0; i < n; ++i) {
        const uint64_t bits = le64(raw + 8 * i);
        const uint64_t keep = (bits & 0x7fffffffffffffffull) <= kFloatMaxBits ? ~0ull : 0ull;
        const uint64_t kept = bits & keep;
        double d;
        std::memcpy(&d, &kept, sizeof d);
        out[i] = static_cast<float>(d);
    }
}

}  // namespace

uint32_t BytesPerSample(SampleFormat format) {
    switch (format) {
        case SampleFormat::U8:
            return 1;
        case SampleFormat::S16:
            return 2;
        case SampleFormat::S24:
            return 3;
        case SampleFormat::S32:
        case SampleFormat::F32:
            return 4;
        case SampleFormat::F64:
            return 8;
    }
    return 0;
}

void DecodeSamples(SampleFormat format, const unsigned char* raw, size_t sampleCount, float* out) {
    switch (format) {
        case SampleFormat::U8:
            decodeU8(raw, sampleCount, out);
            break;
        case SampleFormat::S16:
            decodeS16(raw, sampleCount, out);
            break;
        case SampleFormat::S24:
            decodeS24(raw, sampleCount, out);
            break;
        case SampleFormat::S32:
            decodeS32(raw, sampleCount, out);
            break;
        case SampleFormat::F32:
            decodeF32(raw, sampleCount, out);
            break;
        case SampleFormat::F64:
            decodeF64(raw, sampleCount, out);
            break;
    }
}

WavStatus WavReader::open(const std::string& path) {
    problem_ = ReadFailure();
    // Some systems open a directory as if it were an empty file; it is named for what it is.
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) {
        problem_.cause = ReadFailure::Cause::CannotOpen;
        problem_.error = std::make_error_code(std::errc::is_a_directory);
        return WavStatus::CannotOpen;
    }
    errno = 0;
    file_.open(path, std::ios::binary);
    if (!file_.is_open()) {
        const int cause = errno != 0 ? errno : EIO;
        problem_.cause = ReadFailure::Cause::CannotOpen;
        problem_.error = std::error_code(cause, std::generic_category());
        return WavStatus::CannotOpen;
    }
    // The data size can be checked against the file's length only when the file can seek;
    // a pipe is read from where it stands and never sought.
    const std::streampos start = file_.tellg();
    bool sizeKnown = false;
    if (start != std::streampos(-1) && file_.seekg(0, std::ios::end)) {
        sizeKnown = file_.tellg() != std::streampos(-1);
    }
    file_.clear();
    if (sizeKnown) file_.seekg(start);
    in_ = &file_;
    return parseHeaders(file_, sizeKnown);
}

WavStatus WavReader::open(std::istream& in) {
    problem_ = ReadFailure();
    in_ = &in;
    return parseHeaders(in, false);
}

// The stream as the header walk reads it: its byte offset counted as it goes, since a pipe
// cannot tell it, and what the chunks before the data have said so far.
struct WavReader::HeaderWalk {
    explicit HeaderWalk(std::istream& stream) : in(stream) {}

    std::istream& in;
    uint64_t offset = 0;
    bool wide = false;  // RF64 or BW64: sizes past 4 GiB in the ds64 chunk
    uint64_t riffSize = 0;
    uint64_t wideDataSize = 0;
    struct WideSize {
        unsigned char tag[4];
        uint64_t size;
    };
    WideSize table[kMaxDs64TableEntries];
    size_t tableEntries = 0;
    bool haveFormat = false;
    uint16_t formatCode = 0;
    uint16_t channels = 0;
    uint32_t sampleRate = 0;
    uint16_t blockAlign = 0;
    uint16_t bitsPerSample = 0;

    bool read(unsigned char* out, size_t n) {
        offset += n;
        return readExactly(in, out, n);
    }
    bool skip(uint64_t n) {
        offset += n;
        return skipBytes(in, n);
    }
};

WavStatus WavReader::parseHeaders(std::istream& in, bool sizeKnown) {
    frameCount_ = 0;
    declaredFrameCount_ = 0;
    framesRead_ = 0;
    headerUnfinished_ = false;
    bytesLeft_ = 0;
    position_ = 0;
    ended_ = false;
    rawBegin_ = rawEnd_ = 0;

    HeaderWalk walk(in);
    const WavStatus start = readRiffHeader(walk);
    if (start != WavStatus::Ok) return start;
    for (int chunk = 0; chunk < kMaxChunksBeforeData; ++chunk) {
        unsigned char header[8];
        if (!walk.read(header, sizeof header)) {
            return malformed(walk.haveFormat ? "data chunk" : "fmt chunk", 0, true);
        }
        const uint32_t size = le32(header + 4);
        WavStatus status;
        if (walk.wide && chunk == 0) {
            status = readDs64(walk, header, size);
        } else if (std::memcmp(header, "fmt ", 4) == 0) {
            status = readFormat(walk, size);
        } else if (std::memcmp(header, "data", 4) == 0) {
            return startData(walk, size, sizeKnown);
        } else {
            status = skipChunk(walk, header, size);
        }
        if (status != WavStatus::Ok) return status;
    }
    return malformed("chunk list", kMaxChunksBeforeData);
}

WavStatus WavReader::readRiffHeader(HeaderWalk& walk) {
    std::istream& in = walk.in;
    // Enough of the start is kept to tell what kind of file it is when it is no WAV.
    unsigned char riff[kSniffBytes];
    if (!walk.read(riff, 12)) {
        const auto got = static_cast<size_t>(in.gcount());
        if (got > 0 && std::memcmp(riff, "RIFF", std::min<size_t>(got, 4)) != 0) {
            problem_.cause = ReadFailure::Cause::NotAudio;
            problem_.keepHead(riff, got);
            return WavStatus::NotWave;
        }
        const WavStatus status = malformed("RIFF header", got, true);
        if (got == 0) problem_.cause = ReadFailure::Cause::Empty;
        return status;
    }
    // RF64 and BW64 are WAV whose sizes past 4 GiB are kept in a ds64 chunk, first of all.
    walk.wide = std::memcmp(riff, "RF64", 4) == 0 || std::memcmp(riff, "BW64", 4) == 0;
    if ((!walk.wide && std::memcmp(riff, "RIFF", 4) != 0) ||
        std::memcmp(riff + 8, "WAVE", 4) != 0) {
        in.read(reinterpret_cast<char*>(riff + 12), static_cast<std::streamsize>(kSniffBytes - 12));
        const size_t got = 12 + static_cast<size_t>(in.gcount());
        problem_.container = DetectContainer(riff, got);
        problem_.cause = problem_.container == Container::Unknown ? ReadFailure::Cause::NotAudio
                                                                  : ReadFailure::Cause::NotDecoded;
        problem_.keepHead(riff, got);
        return WavStatus::NotWave;
    }
    problem_.container = !walk.wide                          ? Container::Wav
                         : std::memcmp(riff, "RF64", 4) == 0 ? Container::Rf64
                                                             : Container::Bw64;
    walk.riffSize = le32(riff + 4);
    return WavStatus::Ok;
}

WavStatus WavReader::readDs64(HeaderWalk& walk, const unsigned char* header, uint32_t size) {
    if (std::memcmp(header, "ds64", 4) != 0) return malformed("ds64 chunk", 0);
    if (size < kDs64FixedBytes) return malformed("ds64 chunk size", size);
    unsigned char ds64[kDs64FixedBytes];
    if (!walk.read(ds64, sizeof ds64)) return malformed("ds64 chunk", 0, true);
    walk.riffSize = le64(ds64);
    walk.wideDataSize = le64(ds64 + 8);
    const uint32_t listed = le32(ds64 + 24);
    uint64_t rest = size - kDs64FixedBytes;
    for (uint32_t i = 0; i < listed && rest >= 12 && walk.tableEntries < kMaxDs64TableEntries;
         ++i, rest -= 12) {
        unsigned char entry[12];
        if (!walk.read(entry, sizeof entry)) return malformed("ds64 chunk", 0, true);
        std::memcpy(walk.table[walk.tableEntries].tag, entry, 4);
        walk.table[walk.tableEntries++].size = le64(entry + 4);
    }
    if (!walk.skip(rest + (size & 1u))) return malformed("ds64 chunk", 0, true);
    return WavStatus::Ok;
}

WavStatus WavReader::readFormat(HeaderWalk& walk, uint32_t size) {
    // Only the first 40 bytes (the extensible layout) carry anything we use.
    unsigned char fmt[40] = {};
    const uint32_t kept = size < sizeof fmt ? size : static_cast<uint32_t>(sizeof fmt);
    if (size < 16) return malformed("fmt chunk size", size);
    if (!walk.read(fmt, kept) || !walk.skip(uint64_t{size} - kept + (size & 1u))) {
        return malformed("fmt chunk", 0, true);
    }
    walk.formatCode = le16(fmt);
    walk.channels = le16(fmt + 2);
    walk.sampleRate = le32(fmt + 4);
    walk.blockAlign = le16(fmt + 12);
    walk.bitsPerSample = le16(fmt + 14);
    if (walk.formatCode == kFormatExtensible) {
        if (size < 40) return malformed("fmt chunk size", size);
        if (std::memcmp(fmt + 26, kSubFormatTail, sizeof kSubFormatTail) != 0) {
            problem_.cause = ReadFailure::Cause::WavEncoding;
            problem_.formatTag = kFormatExtensible;
            return WavStatus::UnsupportedFormat;
        }
        walk.formatCode = le16(fmt + 24);
    }
    walk.haveFormat = true;
    return WavStatus::Ok;
}

WavStatus WavReader::skipChunk(HeaderWalk& walk, const unsigned char* header, uint32_t size) {
    uint64_t skipped = size;
    if (walk.wide && size == kSizeInDs64) {
        // A chunk past 4 GiB that is not the data has its size in ds64's table.
        const HeaderWalk::WideSize* found = nullptr;
        for (size_t i = 0; i < walk.tableEntries && found == nullptr; ++i) {
            if (std::memcmp(walk.table[i].tag, header, 4) == 0) found = &walk.table[i];
        }
        if (found == nullptr) return malformed("ds64 size table", walk.tableEntries);
        skipped = found->size;
    }
    if (!walk.skip(skipped + (skipped & 1u))) {
        return malformed(walk.haveFormat ? "data chunk" : "fmt chunk", 0, true);
    }
    return WavStatus::Ok;
}

WavStatus WavReader::startData(HeaderWalk& walk, uint32_t size, bool sizeKnown) {
    std::istream& in = walk.in;
    // The data chunk: everything up to here must describe a sane stream.
    if (!walk.haveFormat) return malformed("fmt chunk", 0, true);
    if (walk.channels == 0) return malformed("channel count", walk.channels);
    if (walk.sampleRate == 0 || walk.sampleRate > INT32_MAX) {
        return malformed("sample rate", walk.sampleRate);
    }
    if (walk.blockAlign == 0 || walk.blockAlign % walk.channels != 0) {
        return malformed("block align", walk.blockAlign);
    }
    const uint32_t container = walk.blockAlign / walk.channels;
    if (container != 1 && container != 2 && container != 3 && container != 4 && container != 8) {
        return malformed("block align", walk.blockAlign);
    }
    if (walk.bitsPerSample == 0 || walk.bitsPerSample > container * 8) {
        return malformed("bits per sample", walk.bitsPerSample);
    }
    SampleFormat sampleFormat;
    if (!pickSampleFormat(walk.formatCode, container, sampleFormat)) {
        problem_.cause = ReadFailure::Cause::WavEncoding;
        problem_.formatTag = walk.formatCode;
        problem_.containerBits = static_cast<uint16_t>(container * 8);
        return WavStatus::UnsupportedFormat;
    }

    format_.sampleRate = static_cast<int32_t>(walk.sampleRate);
    format_.channels = walk.channels;
    format_.sampleFormat = sampleFormat;
    format_.bytesPerSample = container;

    // How much data the header declares, or that it runs to the end of the stream.
    uint64_t declaredBytes = size;
    bool toTheEnd = false;
    if (walk.wide && size == kSizeInDs64) {
        declaredBytes = walk.wideDataSize;
        // Written to a pipe, ds64 is left as zeros: the length was not known either.
        toTheEnd = walk.wideDataSize == 0 || walk.wideDataSize == UINT64_MAX;
    } else if (size == kStreamingDataSize) {
        toTheEnd = true;
    } else if (size == 0 && walk.riffSize <= walk.offset - 8) {
        // A recorder stopped before coming back to fill in the sizes: no data declared,
        // and a RIFF size that ends at the data's header. Whatever follows is the
        // recording.
        toTheEnd = true;
        headerUnfinished_ = true;
    }
    declaredFrameCount_ =
        toTheEnd && !headerUnfinished_ ? kUnknownFrameCount : declaredBytes / walk.blockAlign;

    if (!sizeKnown) {
        // Without the file's length the header's promise is an upper bound, not a count.
        bytesLeft_ =
            toTheEnd ? kUnknownFrameCount : declaredBytes / walk.blockAlign * walk.blockAlign;
        frameCount_ = kUnknownFrameCount;
        return WavStatus::Ok;
    }
    // Never trust the header past the end of the file: truncated files and writers that
    // could not come back to fill in the size both promise more than is there.
    const std::streampos here = in.tellg();
    in.seekg(0, std::ios::end);
    const std::streampos end = in.tellg();
    in.seekg(here);
    if (here == std::streampos(-1) || end == std::streampos(-1) || !in) {
        return malformed("data chunk", 0, true);
    }
    const auto available = static_cast<uint64_t>(end - here);
    const uint64_t dataBytes = toTheEnd ? available : std::min(declaredBytes, available);
    position_ = static_cast<uint64_t>(here);
    // A trailing partial frame is never read.
    bytesLeft_ = dataBytes / walk.blockAlign * walk.blockAlign;
    frameCount_ = dataBytes / walk.blockAlign;
    return WavStatus::Ok;
}

WavStatus WavReader::malformed(const char* field, uint64_t value, bool cutShort) {
    problem_.cause = ReadFailure::Cause::DamagedHeader;
    problem_.field = field;
    problem_.value = value;
    problem_.cutShort = cutShort;
    return WavStatus::Malformed;
}

bool WavReader::dataEnded() const {
    const size_t frameBytes = format_.bytesPerSample * static_cast<size_t>(format_.channels);
    return ended_ && rawEnd_ - rawBegin_ < frameBytes;
}

bool WavReader::endedEarly() const {
    return dataEnded() && declaredFrameCount_ != kUnknownFrameCount &&
           framesRead_ < declaredFrameCount_;
}

bool WavReader::headerUnfinished() const {
    return headerUnfinished_ && framesRead_ > 0;
}

size_t WavReader::blockFrames() const {
    constexpr size_t kBlockFrames = 16384;
    constexpr size_t kMaxBlockSamples = 65536;
    const auto channels = static_cast<size_t>(format_.channels);
    return std::max<size_t>(1, std::min(kBlockFrames, kMaxBlockSamples / channels));
}

size_t WavReader::readFrames(float* out, size_t frames) {
    if (in_ == nullptr) return 0;
    const size_t channels = static_cast<size_t>(format_.channels);
    const size_t frameBytes = format_.bytesPerSample * channels;
    size_t done = 0;
    while (done < frames) {
        const size_t ready = (rawEnd_ - rawBegin_) / frameBytes;
        if (ready == 0) {
            if (!fill()) break;
            continue;
        }
        const size_t n = std::min(ready, frames - done);
        DecodeSamples(format_.sampleFormat, raw_.data() + rawBegin_, n * channels,
                      out + done * channels);
        rawBegin_ += n * frameBytes;
        done += n;
    }
    framesRead_ += done;
    return done;
}

bool WavReader::fill() {
    if (ended_) return false;
    const size_t frameBytes = format_.bytesPerSample * static_cast<size_t>(format_.channels);
    // Less than a frame is left over; it goes in front of what is read now.
    const size_t left = rawEnd_ - rawBegin_;
    if (left > 0) std::memmove(raw_.data(), raw_.data() + rawBegin_, left);
    rawBegin_ = 0;
    rawEnd_ = left;
    // At least a frame, ending on a page boundary of the file: reads that start and end
    // inside pages cost the kernel more, and after a 44-byte header every one would.
    size_t want = kReadBlockBytes + frameBytes;
    want -= static_cast<size_t>((position_ + want) % kPageBytes);
    if (bytesLeft_ != kUnknownFrameCount && want > bytesLeft_) {
        want = static_cast<size_t>(bytesLeft_);
    }
    if (raw_.size() < left + want) raw_.resize(left + want);
    in_->read(reinterpret_cast<char*>(raw_.data() + left), static_cast<std::streamsize>(want));
    const auto got = static_cast<size_t>(in_->gcount());
    rawEnd_ += got;
    position_ += got;
    if (bytesLeft_ != kUnknownFrameCount) bytesLeft_ -= got;
    // A short read is the end of the stream, and a trailing partial frame is dropped.
    if (got < want || bytesLeft_ == 0) ended_ = true;
    return got > 0;
}

}  // namespace Trackloom::io

namespace Trackloom::AudioDSP {

using io::AudioFormat;
using io::WavReader;
using io::WavStatus;

AudioBuffer LoadWav(const std::string& path) {
    AudioBuffer result;
    WavReader reader;
    if (reader.open(path) != WavStatus::Ok) return result;
    const AudioFormat& format = reader.format();
    const auto channels = static_cast<size_t>(format.channels);
    if (reader.frameCount() != WavReader::kUnknownFrameCount) {
        // The count is already clamped to what the file holds.
        const auto frames = static_cast<size_t>(reader.frameCount());
        result.samples.resize(frames * channels);
        result.samples.resize(reader.readFrames(result.samples.data(), frames) * channels);
    } else {
        // A stream of unknown length grows only by what actually arrives.
        for (;;) {
            const size_t used = result.samples.size();
            const size_t blockFrames =
                channels < io::kGrowSamples ? io::kGrowSamples / channels : 1;
            result.samples.resize(used + blockFrames * channels);
            const size_t got = reader.readFrames(result.samples.data() + used, blockFrames);
            result.samples.resize(used + got * channels);
            if (got < blockFrames) break;
        }
        result.samples.shrink_to_fit();
    }
    result.sampleRate = format.sampleRate;
    result.channels = format.channels;
    return result;
}

}  // namespace Trackloom::AudioDSP
