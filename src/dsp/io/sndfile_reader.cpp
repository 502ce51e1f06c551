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
constexpr uint64_t kNoOffset = UINT64_MAX;

// The part of the input one libsndfile decoder reads. libsndfile stops at the end of an Ogg
// stream's first link, and at the sample count a FLAC header declares; so each link of a
// chained Ogg file is a part of its own, ending where the next link's first page begins, and
// a FLAC header's count is shown to it as 0, which it takes to mean "read to the end".
struct Part {
    ByteInput* input = nullptr;
    uint64_t start = 0;  // where the part begins in the input; libsndfile sees it as byte 0
    // Ogg: the pages are followed to find where the next link begins.
    bool followPages = false;
    bool pagesLost = false;        // bytes that are no Ogg page: no further link is looked for
    bool sawData = false;          // a page that begins no stream has been seen
    uint64_t scanned = 0;          // the next page header not yet looked at
    uint64_t end = kNoOffset;      // where the next link begins, once found
    uint64_t countAt = kNoOffset;  // FLAC: the 5 bytes holding STREAMINFO's 36-bit count
    // A stream that cannot seek has no length libsndfile could stop at, and some of its
    // header parsers (Wave64's) then ask for the position forever once the bytes run out.
    // After this many asks at the end with nothing read in between, the position given is
    // past any length, which ends those loops.
    static constexpr uint32_t kIdleAsksAtEnd = 1u << 16;
    bool inputEnded = false;  // a read came back short
    uint32_t idleAsks = 0;
};

// Looks at Ogg page headers from part.scanned on, until `target` or the next link's start.
// A page that begins a stream after pages of data begins the next link (the first pages of
// streams multiplexed together all come before any data).
void scanPages(Part& part, uint64_t target) {
    if (part.pagesLost || part.end != kNoOffset || part.scanned >= target) return;
    ByteInput& input = *part.input;
    const uint64_t back = input.tell();
    while (!part.pagesLost && part.end == kNoOffset && part.scanned < target) {
        unsigned char header[27 + 255];
        if (!input.seek(part.scanned) || input.read(header, 27) != 27 ||
            std::memcmp(header, "OggS", 4) != 0 ||
            input.read(header + 27, header[26]) != header[26]) {
            part.pagesLost = true;
            break;
        }
        const bool beginsStream = (header[5] & 0x02) != 0;
        if (beginsStream && part.sawData) {
            part.end = part.scanned;
            break;
        }
        part.sawData = part.sawData || !beginsStream;
        uint64_t length = 27 + header[26];
        for (int i = 0; i < header[26]; ++i) length += header[27 + i];
        part.scanned += length;
    }
    input.seek(back);
}

sf_count_t inputLength(void* user) {
    auto& part = *static_cast<Part*>(user);
    // libsndfile takes this value to mean a length it does not know.
    if (!part.input->seekable()) return std::numeric_limits<sf_count_t>::max();
    if (part.followPages) scanPages(part, kNoOffset);
    const uint64_t end =
        part.end != kNoOffset ? part.end : static_cast<uint64_t>(part.input->length());
    return static_cast<sf_count_t>(end - part.start);
}

sf_count_t inputTell(void* user) {
    auto& part = *static_cast<Part*>(user);
    if (part.inputEnded && !part.input->seekable() && ++part.idleAsks > Part::kIdleAsksAtEnd) {
        return std::numeric_limits<sf_count_t>::max();
    }
    return static_cast<sf_count_t>(part.input->tell() - part.start);
}

sf_count_t inputSeek(sf_count_t offset, int whence, void* user) {
    auto& part = *static_cast<Part*>(user);
    int64_t base = 0;
    if (whence == SEEK_CUR) {
        base = static_cast<int64_t>(part.input->tell() - part.start);
    } else if (whence == SEEK_END) {
        if (!part.input->seekable()) return -1;
        base = inputLength(user);
    }
    if (offset > std::numeric_limits<int64_t>::max() - base) return -1;
    const int64_t target = base + offset;
    if (target < 0 ||
        (part.end != kNoOffset && part.start + static_cast<uint64_t>(target) > part.end) ||
        !part.input->seek(part.start + static_cast<uint64_t>(target))) {
        return -1;
    }
    return target;
}

sf_count_t inputRead(void* out, sf_count_t count, void* user) {
    auto& part = *static_cast<Part*>(user);
    if (count <= 0) return 0;
    const uint64_t at = part.input->tell();
    auto size = static_cast<uint64_t>(count);
    if (part.followPages) {
        scanPages(part, at + size);
        if (part.end != kNoOffset) size = part.end > at ? std::min(size, part.end - at) : 0;
    }
    auto* bytes = static_cast<unsigned char*>(out);
    const size_t got = part.input->read(bytes, static_cast<size_t>(size));
    part.inputEnded = part.inputEnded || got < size;
    if (got > 0) part.idleAsks = 0;
    // The count's 36 bits: the low half of its first byte and the four after it.
    for (uint64_t i = part.countAt; i < part.countAt + 5; ++i) {
        if (i < at || i >= at + got) continue;
        bytes[i - at] &= i == part.countAt ? 0xF0 : 0x00;
    }
    return static_cast<sf_count_t>(got);
}

sf_count_t inputWrite(const void*, sf_count_t, void*) {
    return 0;
}

SNDFILE* openPart(Part& part, SF_INFO& info) {
    SF_VIRTUAL_IO io{inputLength, inputSeek, inputRead, inputWrite, inputTell};
    info = SF_INFO{};
    if (!part.input->seek(part.start)) return nullptr;
    SNDFILE* file = sf_open_virtual(&io, SFM_READ, &info, &part);
    if (file != nullptr && (info.channels <= 0 || info.samplerate <= 0)) {
        sf_close(file);
        return nullptr;
    }
    // Integer samples scaled by a power of two, as WavReader does, so lossless files give
    // the very floats their WAV twins give.
    if (file != nullptr) sf_command(file, SFC_SET_NORM_FLOAT, nullptr, SF_TRUE);
    return file;
}

// A frame count libsndfile gives, or kUnknownFrameCount. Without a file's length it may make
// one up from its largest count; no real file holds 2^48 frames (two centuries at 44.1 kHz).
uint64_t knownFrames(const SF_INFO& info) {
    constexpr sf_count_t kImplausibleFrames = sf_count_t{1} << 48;
    return info.frames > 0 && info.frames < kImplausibleFrames ? static_cast<uint64_t>(info.frames)
                                                               : AudioReader::kUnknownFrameCount;
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
    SndfileReader(std::unique_ptr<ByteInput> input, std::unique_ptr<Part> part, SNDFILE* file,
                  const SF_INFO& info, uint64_t declaredFrames)
        : input_(std::move(input)), part_(std::move(part)), file_(file) {
        format_.sampleRate = info.samplerate;
        format_.channels = info.channels;
        format_.sampleFormat = storedFormat(info.format);
        format_.bytesPerSample = BytesPerSample(format_.sampleFormat);
        frameCount_ = declaredFrames;
        const size_t channels = static_cast<size_t>(info.channels);
        blockFrames_ =
            std::min(kPreferredBlockFrames, std::max<size_t>(1, kMaxBlockSamples / channels));
    }
    ~SndfileReader() override { sf_close(file_); }
    SndfileReader(const SndfileReader&) = delete;
    SndfileReader& operator=(const SndfileReader&) = delete;

    const AudioFormat& format() const override { return format_; }
    uint64_t frameCount() const override { return frameCount_; }
    size_t blockFrames() const override { return blockFrames_; }
    bool heldMoreThanDeclared() const override {
        return frameCount_ != kUnknownFrameCount && framesRead() > frameCount_;
    }
    LeftOut leftOut() const override { return leftOut_; }

    // The frames of every link of a chained Ogg file that goes on at this one's rate and
    // channels, counted before reading: each link is opened to learn its length. A file only.
    void countLinks() {
        if (!part_->followPages || !input_->seekable()) return;
        uint64_t total = frameCount_;
        uint64_t next = part_->end;
        const uint64_t back = input_->tell();
        while (next != kNoOffset && total != kUnknownFrameCount) {
            Part link = nextPart(next);
            SF_INFO info;
            SNDFILE* file = openPart(link, info);
            if (file == nullptr) break;
            sf_close(file);
            if (info.samplerate != format_.sampleRate || info.channels != format_.channels) break;
            const uint64_t frames = knownFrames(info);
            total = frames == kUnknownFrameCount ? frames : total + frames;
            next = link.end;
        }
        input_->seek(back);
        frameCount_ = total;
    }

  protected:
    size_t readBlock(float* out, size_t frames) override {
        size_t got = 0;
        // A decoder may hand out less than asked before the end; only nothing means the end
        // of a part, and then the next link, if any, goes on.
        while (got < frames && !partsEnded_) {
            const sf_count_t n =
                sf_readf_float(file_, out + got * static_cast<size_t>(format_.channels),
                               static_cast<sf_count_t>(frames - got));
            if (n > 0) {
                got += static_cast<size_t>(n);
            } else if (!openNextLink()) {
                partsEnded_ = true;
            }
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
    Part nextPart(uint64_t start) const {
        Part next;
        next.input = input_.get();
        next.followPages = true;
        next.start = next.scanned = start;
        return next;
    }

    // Goes on at the next link of a chained Ogg stream; false, with leftOut_ saying what
    // was not read, where there is none or it cannot continue this audio.
    bool openNextLink() {
        if (!part_->followPages || part_->end == kNoOffset) return false;
        auto next = std::make_unique<Part>(nextPart(part_->end));
        leftOut_.any = true;
        if (input_->seekable())
            leftOut_.bytes = input_->length() - static_cast<int64_t>(next->start);
        SF_INFO info;
        SNDFILE* file = openPart(*next, info);
        if (file == nullptr || input_->lostPlace()) {
            if (file != nullptr) sf_close(file);
            leftOut_.failed = true;
            return false;
        }
        leftOut_.sampleRate = info.samplerate;
        leftOut_.channels = info.channels;
        if (info.samplerate != format_.sampleRate || info.channels != format_.channels) {
            sf_close(file);
            return false;
        }
        leftOut_ = LeftOut{};
        sf_close(file_);
        file_ = file;
        part_ = std::move(next);
        return true;
    }

    std::unique_ptr<ByteInput> input_;
    std::unique_ptr<Part> part_;  // what file_ reads
    SNDFILE* file_;
    AudioFormat format_;
    uint64_t frameCount_ = kUnknownFrameCount;
    size_t blockFrames_ = kPreferredBlockFrames;
    bool partsEnded_ = false;
    LeftOut leftOut_;
};

// Where a FLAC stream's STREAMINFO keeps its sample count (after an ID3v2 tag, if one comes
// first), with the count in `count`; kNoOffset when no STREAMINFO block is there.
uint64_t flacCountOffset(ByteInput& input, uint64_t& count) {
    unsigned char head[26];
    if (!input.seek(0) || input.read(head, 10) != 10) return kNoOffset;
    const uint64_t start = Id3TagLength(head, 10);
    if (!input.seek(start) || input.read(head, sizeof head) != sizeof head ||
        std::memcmp(head, "fLaC", 4) != 0 || (head[4] & 0x7F) != 0) {
        return kNoOffset;
    }
    count = uint64_t{head[21] & 0x0Fu} << 32;
    for (int i = 22; i < 26; ++i) count |= uint64_t{head[i]} << (8 * (25 - i));
    return start + 21;
}

}  // namespace

OpenedAudio OpenWithSndfile(std::unique_ptr<ByteInput> input, Container container) {
    OpenedAudio opened;
    opened.container = container;
    auto part = std::make_unique<Part>();
    part->input = input.get();
    uint64_t declared = 0;
    if (container == Container::Flac) part->countAt = flacCountOffset(*input, declared);
    part->followPages = container == Container::OggVorbis || container == Container::OggOpus;
    SF_INFO info;
    SNDFILE* file = openPart(*part, info);
    // Some parsers walk the chunks after the samples and come back to them, which a pipe
    // longer than what ByteInput keeps cannot do.
    if (file != nullptr && input->lostPlace()) {
        sf_close(file);
        opened.status = AudioStatus::NeedsFile;
        return opened;
    }
    if (file == nullptr) {
        opened.status = input->seekable() ? AudioStatus::Malformed : AudioStatus::NeedsFile;
        return opened;
    }
    // A FLAC header's count is the header's word (0: not said); libsndfile was shown none.
    const uint64_t frames = part->countAt != kNoOffset
                                ? (declared > 0 ? declared : AudioReader::kUnknownFrameCount)
                                : knownFrames(info);
    auto reader =
        std::make_unique<SndfileReader>(std::move(input), std::move(part), file, info, frames);
    reader->countLinks();
    opened.status = AudioStatus::Ok;
    opened.reader = std::move(reader);
    return opened;
}

}  // namespace Trackloom::io
