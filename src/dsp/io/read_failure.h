// Why an input could not be read: one record, filled in where the reading failed and
// carried to the command layer, which words it (app/reports/failure_reasons.h). Nothing has
// to open the file again to find out what went wrong.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <system_error>

#include "dsp/io/container_sniffer.h"

namespace Trackloom::io {

struct ReadFailure {
    enum class Cause {
        None,           // nothing failed
        CannotOpen,     // the system would not open it: `error` (a directory: is_a_directory)
        Empty,          // not one byte to read
        NotAudio,       // its first bytes (`head`) start no kind of file known
        NotDecoded,     // a kind of file (`container`) this program does not decode
        NeedsFile,      // `container`'s decoder must seek, and the input is a pipe
        Refused,        // `container`'s decoder refused it: damaged, or an encoding it lacks
        WavEncoding,    // a WAV whose samples are not plain PCM or float: `formatTag`, ...
        DamagedHeader,  // a WAV header field at fault: `field`, `value`, `cutShort`
    };

    // The bytes of `head` kept: enough to show what a file that is no audio looks like.
    static constexpr size_t kHeadBytes = 16;

    Cause cause = Cause::None;
    Container container = Container::Unknown;      // the kind its first bytes name
    std::error_code error;                         // CannotOpen: the system's reason
    std::array<unsigned char, kHeadBytes> head{};  // NotAudio: its first bytes...
    size_t headBytes = 0;                          // ...and how many there were
    uint16_t formatTag = 0;       // WavEncoding: the encoding (extensible: its sub-format)
    uint16_t containerBits = 0;   // WavEncoding: bits a sample occupies, for PCM and float
    const char* field = nullptr;  // DamagedHeader: the field at fault ("block align", ...)
    uint64_t value = 0;           // DamagedHeader: what that field holds, unless cutShort
    bool cutShort = false;        // DamagedHeader: the file ends inside or before `field`

    bool failed() const { return cause != Cause::None; }

    // Keeps up to kHeadBytes of the `size` first bytes at `bytes`.
    void keepHead(const unsigned char* bytes, size_t size) {
        headBytes = size < kHeadBytes ? size : kHeadBytes;
        for (size_t i = 0; i < headBytes; ++i) head[i] = bytes[i];
    }
};

}  // namespace Trackloom::io
