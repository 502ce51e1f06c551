#include "dsp/io/container_sniffer.h"

#include <cstring>

namespace Trackloom::io {
namespace {

bool Has(const unsigned char* head, size_t size, size_t at, const char* tag, size_t length) {
    return size >= at + length && std::memcmp(head + at, tag, length) == 0;
}

// Wave64 names its chunks by GUID; the first is "riff" followed by these twelve bytes.
constexpr unsigned char kWave64RiffGuidTail[12] = {0x2E, 0x91, 0xCF, 0x11, 0xA5, 0xD6,
                                                   0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00};
// Every ASF file starts with the header object's GUID.
constexpr unsigned char kAsfHeaderGuid[16] = {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                                              0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};

Container DetectRiffLike(const unsigned char* head, size_t size) {
    const bool wave = Has(head, size, 8, "WAVE", 4);
    if (Has(head, size, 0, "RIFF", 4)) {
        if (wave) return Container::Wav;
        if (Has(head, size, 8, "AVI ", 4)) return Container::Avi;
        return Container::Unknown;
    }
    if (Has(head, size, 0, "RF64", 4) && wave) return Container::Rf64;
    if (Has(head, size, 0, "BW64", 4) && wave) return Container::Bw64;
    if (Has(head, size, 0, "RIFX", 4) && wave) return Container::RifxWav;
    if (Has(head, size, 0, "riff", 4) && size >= 16 &&
        std::memcmp(head + 4, kWave64RiffGuidTail, sizeof kWave64RiffGuidTail) == 0) {
        return Container::Wave64;
    }
    if (Has(head, size, 0, "FORM", 4)) {
        if (Has(head, size, 8, "AIFF", 4)) return Container::Aiff;
        if (Has(head, size, 8, "AIFC", 4)) return Container::Aifc;
    }
    return Container::Unknown;
}

// An Ogg page header is 27 bytes plus one lacing byte per segment; the first packet follows.
Container DetectOgg(const unsigned char* head, size_t size) {
    if (size < 27) return Container::Unknown;
    const size_t packet = 27 + head[26];
    if (Has(head, size, packet, "\x01vorbis", 7)) return Container::OggVorbis;
    if (Has(head, size, packet, "OpusHead", 8)) return Container::OggOpus;
    if (Has(head, size, packet,
            "\x7F"
            "FLAC",
            5))
        return Container::OggFlac;
    return Container::Ogg;
}

// MP4 and QuickTime: a box of type "ftyp" first, whose major brand says what it holds.
Container DetectMp4(const unsigned char* head, size_t size) {
    static const char* const kAudioBrands[] = {"M4A ", "M4B ", "M4P ", "F4A ", "F4B "};
    for (const char* brand : kAudioBrands) {
        if (Has(head, size, 8, brand, 4)) return Container::M4a;
    }
    return Container::Mp4Video;
}

// Frame sync is eleven set bits. MPEG audio then names a layer (01, 10 or 11); ADTS, which
// carries AAC, always has layer 00.
Container DetectFrameSync(const unsigned char* head, size_t size) {
    if (size < 2 || head[0] != 0xFF || (head[1] & 0xE0) != 0xE0) return Container::Unknown;
    const int layer = (head[1] >> 1) & 3;
    if (layer != 0) return Container::Mp3;
    if ((head[1] & 0xF6) == 0xF0) return Container::AacAdts;
    return Container::Unknown;
}

}  // namespace

Container DetectContainer(const unsigned char* head, size_t size) {
    if (head == nullptr || size < 4) return Container::Unknown;
    const Container riff = DetectRiffLike(head, size);
    if (riff != Container::Unknown) return riff;
    if (Has(head, size, 0, "fLaC", 4)) return Container::Flac;
    if (Has(head, size, 0, "OggS", 4)) return DetectOgg(head, size);
    if (Has(head, size, 0, "ID3", 3)) return Container::Mp3;
    if (Has(head, size, 4, "ftyp", 4)) return DetectMp4(head, size);
    if (size >= 16 && std::memcmp(head, kAsfHeaderGuid, sizeof kAsfHeaderGuid) == 0) {
        return Container::Asf;
    }
    if (Has(head, size, 0, "\x1A\x45\xDF\xA3", 4)) return Container::Matroska;
    if (Has(head, size, 0, "caff", 4)) return Container::Caf;
    if (Has(head, size, 0, ".snd", 4)) return Container::Au;
    if (Has(head, size, 0, "MThd", 4)) return Container::Midi;
    return DetectFrameSync(head, size);
}

uint64_t Id3TagLength(const unsigned char* head, size_t size) {
    if (head == nullptr || size < 10 || std::memcmp(head, "ID3", 3) != 0) return 0;
    uint64_t length = 0;
    for (size_t i = 6; i < 10; ++i) length = length << 7 | (head[i] & 0x7Fu);  // 7 bits a byte
    return 10 + length + ((head[5] & 0x10) != 0 ? 10 : 0);
}

const char* ContainerName(Container container) {
    switch (container) {
        case Container::Wav:
            return "WAV";
        case Container::Rf64:
            return "RF64";
        case Container::Bw64:
            return "BW64";
        case Container::Wave64:
            return "Wave64";
        case Container::RifxWav:
            return "big-endian WAV (RIFX)";
        case Container::Aiff:
            return "AIFF";
        case Container::Aifc:
            return "AIFF-C";
        case Container::Flac:
            return "FLAC";
        case Container::OggVorbis:
            return "Ogg Vorbis";
        case Container::OggOpus:
            return "Opus";
        case Container::OggFlac:
            return "Ogg FLAC";
        case Container::Ogg:
            return "Ogg";
        case Container::Mp3:
            return "MP3";
        case Container::AacAdts:
            return "AAC";
        case Container::M4a:
            return "AAC/M4A";
        case Container::Mp4Video:
            return "MP4/QuickTime video";
        case Container::Asf:
            return "WMA/WMV";
        case Container::Matroska:
            return "Matroska/WebM";
        case Container::Avi:
            return "AVI video";
        case Container::Caf:
            return "Core Audio (CAF)";
        case Container::Au:
            return "Sun/NeXT audio (AU)";
        case Container::Midi:
            return "MIDI";
        case Container::Unknown:
            break;
    }
    return "unknown";
}

}  // namespace Trackloom::io
