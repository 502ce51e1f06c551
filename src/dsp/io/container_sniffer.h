// Tells which kind of file a byte stream holds from its first bytes, never from a name.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Trackloom::io {

enum class Container {
    Unknown,
    Wav,        // RIFF/WAVE
    Rf64,       // RF64/WAVE: WAV with 64-bit sizes in a ds64 chunk
    Bw64,       // BW64/WAVE: the broadcast name for the same layout
    Wave64,     // Sony Wave64: RIFF with GUID chunk ids
    RifxWav,    // big-endian WAV
    Aiff,       // FORM/AIFF
    Aifc,       // FORM/AIFC
    Flac,       // native FLAC stream
    OggVorbis,  // Ogg whose first packet is a Vorbis header
    OggOpus,    // Ogg whose first packet is an Opus header
    OggFlac,    // Ogg whose first packet is a FLAC header
    Ogg,        // Ogg carrying something else
    Mp3,        // MPEG audio frames, or an ID3v2 tag in front of them
    AacAdts,    // raw AAC in ADTS frames
    M4a,        // MP4 with an audio brand (AAC or ALAC in .m4a)
    Mp4Video,   // MP4/QuickTime with any other brand
    Asf,        // WMA/WMV
    Matroska,   // MKV/WebM
    Avi,        // RIFF/AVI
    Caf,        // Apple Core Audio Format
    Au,         // Sun/NeXT .au
    Midi,       // a MIDI file: notes, not audio
};

// Bytes worth reading before calling DetectContainer: enough for an Ogg page header and the
// first packet's signature, and for the MP4 brand.
constexpr size_t kSniffBytes = 64;

// Looks at up to the first `size` bytes of a file. Too few bytes to tell give Unknown.
Container DetectContainer(const unsigned char* head, size_t size);

// Bytes of the ID3v2 tag at the start of `head` (its header, at least 10 bytes), with its
// footer when it has one; 0 if there is no tag. MP3 files carry one; so may FLAC files.
uint64_t Id3TagLength(const unsigned char* head, size_t size);

// A short human name for the container ("MP3", "FLAC", "AAC/M4A", ...); "unknown" for Unknown.
const char* ContainerName(Container container);

}  // namespace Trackloom::io
