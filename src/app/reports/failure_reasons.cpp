#include "app/reports/failure_reasons.h"

#include <cstdio>
#include <cstring>

#include "app/commands/open_input.h"

namespace TrackloomApp::reports {
namespace {

using Trackloom::io::Container;
using Trackloom::io::OutputFormat;
using Trackloom::io::ReadFailure;
using Trackloom::io::WriteStatus;
using Cause = Trackloom::io::ReadFailure::Cause;

// The input name that stands for standard input, which has no name to suggest.
bool IsStandardInput(const std::string& path) {
    return path == commands::kStandardInputName;
}

// The pipe through ffmpeg that turns anything it decodes into a WAV stream for
// `pipedCommand` ("--bpm -"), naming the file it comes from.
std::string ConversionHint(const std::string& path, const std::string& pipedCommand) {
    const std::string source = IsStandardInput(path) ? "FILE" : path;
    return "convert it on the way in: ffmpeg -i " + source + " -f wav - | trackloom " +
           pipedCommand;
}

// The system's reasons that users meet, in plain words; anything else as the system says it.
std::string SystemReason(const std::error_code& error) {
    if (error == std::errc::no_such_file_or_directory) return "no such file or directory";
    if (error == std::errc::is_a_directory) return "it is a directory, not a file";
    if (error == std::errc::permission_denied || error == std::errc::operation_not_permitted) {
        return "permission denied";
    }
    if (error == std::errc::no_space_on_device) return "the disk is full";
    if (error == std::errc::read_only_file_system) return "the file system is read-only";
    if (error == std::errc::file_too_large) return "the file is larger than the system allows";
    if (error == std::errc::not_a_directory || error == std::errc::file_exists) {
        return "a file of that name is in the way";
    }
    if (!error) return "the system gave no reason";
    return error.message();
}

// Whether `bytes` are text: printable ASCII, line breaks and tabs, and UTF-8 sequences (one
// cut off at the end still counts). Gives in `shown` how many bytes make whole characters.
bool LooksLikeText(const unsigned char* bytes, size_t size, size_t& shown) {
    size_t i = 0;
    while (i < size) {
        const unsigned char c = bytes[i];
        if (c < 0x80) {
            if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') return false;
            if (c == 0x7F) return false;
            ++i;
            continue;
        }
        const size_t length = (c & 0xE0) == 0xC0   ? 2
                              : (c & 0xF0) == 0xE0 ? 3
                              : (c & 0xF8) == 0xF0 ? 4
                                                   : 0;
        if (length == 0) return false;
        size_t k = 1;
        for (; k < length && i + k < size; ++k) {
            if ((bytes[i + k] & 0xC0) != 0x80) return false;
        }
        if (k < length) break;  // cut off by the end of what was kept
        i += length;
    }
    shown = i;
    return true;
}

// What a file whose first bytes name no audio format holds: text, and how it starts, or
// its first bytes in hex and as characters.
std::string FirstBytes(const Trackloom::io::ReadFailure& failure) {
    const unsigned char* bytes = failure.head.data();
    size_t size = failure.headBytes;
    // A byte order mark starts many a text file.
    if (size >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) {
        bytes += 3;
        size -= 3;
    }
    size_t shown = 0;
    if (size > 0 && LooksLikeText(bytes, size, shown)) {
        std::string start;
        for (size_t i = 0; i < shown; ++i) {
            const char c = static_cast<char>(bytes[i]);
            start += c == '\n' || c == '\r' || c == '\t' ? ' ' : c;
        }
        const bool more = failure.headBytes == Trackloom::io::ReadFailure::kHeadBytes;
        return "it is text, starting \"" + start + (more ? "...\"" : "\"");
    }
    constexpr size_t kShownBytes = 8;
    std::string hex;
    std::string characters;
    for (size_t i = 0; i < failure.headBytes && i < kShownBytes; ++i) {
        const unsigned char c = failure.head[i];
        char byte[4];
        std::snprintf(byte, sizeof byte, "%02X", static_cast<unsigned>(c));
        hex += (i > 0 ? " " : "") + std::string(byte);
        characters += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '.';
    }
    return "its first bytes are " + hex + " (\"" + characters + "\")";
}

std::string WavEncodingReason(const Trackloom::io::ReadFailure& problem, const std::string& hint) {
    const std::string bits = std::to_string(problem.containerBits) + "-bit ";
    switch (problem.formatTag) {
        case 0x0001:
            return bits + "integer samples are not supported (8, 16, 24 and 32-bit are); " + hint;
        case 0x0003:
            return bits + "float samples are not supported (32 and 64-bit are); " + hint;
        case 0xFFFE:
            return "an extensible WAV of an unknown encoding; " + hint;
        default:
            return "compressed WAV (" + EncodingName(problem.formatTag) + "), not PCM; " + hint;
    }
}

std::string DamagedHeaderReason(const Trackloom::io::ReadFailure& problem) {
    const std::string field = problem.field != nullptr ? problem.field : "header";
    if (problem.cutShort) {
        return "damaged WAV header: the " + field + " is missing or cut short";
    }
    if (field == "chunk list") {
        return "damaged WAV header: more than " + std::to_string(problem.value) +
               " chunks before the audio data";
    }
    return "damaged WAV header: impossible " + field + " (" + std::to_string(problem.value) + ")";
}

}  // namespace

std::string EncodingName(uint16_t formatTag) {
    switch (formatTag) {
        case 0x0002:
            return "MS ADPCM";
        case 0x0006:
            return "A-law";
        case 0x0007:
            return "mu-law";
        case 0x0010:
            return "OKI ADPCM";
        case 0x0011:
            return "IMA ADPCM";
        case 0x0031:
            return "GSM 6.10";
        case 0x0050:
            return "MPEG audio";
        case 0x0055:
            return "MP3";
        case 0x00FF:
            return "AAC";
        case 0x0160:
        case 0x0161:
            return "Windows Media Audio";
        case 0x0162:
            return "Windows Media Audio Pro";
        case 0x0163:
            return "Windows Media Audio Lossless";
        case 0x2000:
            return "AC-3";
        case 0x2001:
            return "DTS";
        default:
            break;
    }
    char hex[24];
    std::snprintf(hex, sizeof hex, "format tag 0x%04X", static_cast<unsigned>(formatTag));
    return hex;
}

std::string ReadFailureReason(const ReadFailure& failure, const std::string& path,
                              const std::string& pipedCommand) {
    const std::string name = Trackloom::io::ContainerName(failure.container);
    switch (failure.cause) {
        case Cause::CannotOpen:
            if (failure.error == std::errc::no_such_file_or_directory) {
                return "no such file; check the path";
            }
            if (failure.error == std::errc::is_a_directory) {
                return "it is a directory; give an audio file";
            }
            return "cannot open it: " + SystemReason(failure.error);
        case Cause::Empty:
            return IsStandardInput(path) ? "standard input was empty: pipe audio into it"
                                         : "the file is empty";
        case Cause::NotAudio:
            return "not an audio file trackloom reads: " + FirstBytes(failure);
        case Cause::NotDecoded:
            if (failure.container == Container::Midi) {
                return "a MIDI file holds notes, not sound; render it to audio first";
            }
            return name + " is not a format trackloom reads; " + ConversionHint(path, pipedCommand);
        case Cause::NeedsFile:
            return name + " cannot be read from a pipe; give the file's name, or " +
                   ConversionHint(path, pipedCommand);
        case Cause::Refused:
            return "the " + name +
                   " decoder refused it: the file is damaged or uses an encoding it does not take";
        case Cause::WavEncoding:
            return WavEncodingReason(failure, ConversionHint(path, pipedCommand));
        case Cause::DamagedHeader:
            return DamagedHeaderReason(failure);
        case Cause::None:
            break;
    }
    return "the reason is unknown";
}

std::string WriteFailureReason(WriteStatus status, const std::error_code& error,
                               const OutputFormat& format, int32_t sampleRate, int32_t channels) {
    switch (status) {
        case WriteStatus::TooLarge:
            return "more samples than the file's header can describe; split a shorter part of "
                   "the input";
        case WriteStatus::UnsupportedFormat:
            if (format.kind == OutputFormat::Kind::Flac) {
                return channels > Trackloom::io::kFlacMaxChannels
                           ? "FLAC holds at most " +
                                 std::to_string(Trackloom::io::kFlacMaxChannels) +
                                 " channels and this input has " + std::to_string(channels) +
                                 "; write WAV (--format wav)"
                           : "FLAC cannot hold audio at " + std::to_string(sampleRate) + " Hz";
            }
            if (static_cast<uint64_t>(channels) * format.bytesPerSample() > UINT16_MAX) {
                return "more channels than a " + std::to_string(8 * format.bytesPerSample()) +
                       "-bit WAV file can hold (" +
                       std::to_string(UINT16_MAX / format.bytesPerSample()) + ")";
            }
            // The header's byte rate has 32 bits.
            return std::to_string(channels) + " channels at " + std::to_string(sampleRate) +
                   " Hz are more bytes a second than a WAV header can describe; resample the "
                   "input first";
        default:
            break;
    }
    if (error == std::errc::no_space_on_device) {
        return "the disk is full; free some space or choose another directory";
    }
    if (error == std::errc::is_a_directory) return "a directory of that name is in the way";
    if (error == std::errc::permission_denied || error == std::errc::operation_not_permitted ||
        error == std::errc::read_only_file_system) {
        return SystemReason(error) + "; choose a directory you can write to";
    }
    return SystemReason(error);
}

std::string DirectoryFailureReason(const std::string& dir, const std::error_code& error) {
    return "cannot create the output directory " + dir + ": " + SystemReason(error);
}

}  // namespace TrackloomApp::reports
