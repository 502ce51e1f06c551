#include "app/reports/failure_reasons.h"

#include <cstdio>
#include <cstring>

namespace TrackloomApp {
namespace {

using Trackloom::io::Container;
using Trackloom::io::OutputFormat;
using Trackloom::io::WavStatus;
using Trackloom::io::WriteStatus;

constexpr char kConvertHint[] = "convert it first, e.g. ffmpeg -i <file> -c:a pcm_s16le out.wav";

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

std::string NotWaveReason(Container kind) {
    const std::string looks =
        std::string("not a WAV file: it looks like ") + Trackloom::io::ContainerName(kind);
    switch (kind) {
        case Container::Unknown:
            return "not a WAV file: it does not start with a RIFF/WAVE header";
        case Container::Midi:
            return looks + " (notes, not sound); render it to audio first";
        case Container::Mp4Video:
        case Container::Avi:
        case Container::Matroska:
        case Container::Asf:
            return looks + "; extract its sound first, e.g. ffmpeg -i <file> -vn out.wav";
        default:
            return looks + "; " + kConvertHint;
    }
}

std::string UnsupportedReason(const Trackloom::io::WavProblem& problem) {
    const std::string bits = std::to_string(problem.containerBits) + "-bit ";
    switch (problem.formatTag) {
        case 0x0001:
            return bits + "integer samples are not supported (8, 16, 24 and 32-bit are); " +
                   kConvertHint;
        case 0x0003:
            return bits + "float samples are not supported (32 and 64-bit are); " + kConvertHint;
        case 0xFFFE:
            return std::string("an extensible WAV of an unknown encoding; ") + kConvertHint;
        default:
            return "compressed WAV (" + EncodingName(problem.formatTag) + "), not PCM; " +
                   kConvertHint;
    }
}

std::string MalformedReason(const Trackloom::io::WavProblem& problem) {
    const std::string field = problem.field != nullptr ? problem.field : "header";
    if (problem.cutShort) {
        if (field == "RIFF header" && problem.value == 0) return "the file is empty";
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

std::string ReadFailureReason(WavStatus status, const Trackloom::io::WavProblem& problem) {
    switch (status) {
        case WavStatus::CannotOpen:
            if (problem.error == std::errc::no_such_file_or_directory) {
                return "no such file; check the path";
            }
            if (problem.error == std::errc::is_a_directory) {
                return "it is a directory; give the path of a WAV file";
            }
            return "cannot open it: " + SystemReason(problem.error);
        case WavStatus::NotWave:
            return NotWaveReason(problem.looksLike);
        case WavStatus::UnsupportedFormat:
            return UnsupportedReason(problem);
        case WavStatus::Malformed:
            return MalformedReason(problem);
        case WavStatus::TooLarge:
            return "more audio data than can be read";
        case WavStatus::WriteFailed:
        case WavStatus::Ok:
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

}  // namespace TrackloomApp
