// Why a file could not be read or written, in the user's words: one line (without its
// newline) naming the cause and, where there is one, what to do about it.
#pragma once

#include <cstdint>
#include <string>
#include <system_error>

#include "dsp/io/audio_writer.h"
#include "dsp/io/read_failure.h"

namespace TrackloomApp::reports {

// The reason an input could not be read, from the record the audio core made where the
// reading failed. `path` is the input's name ("-" for standard input) and `pipedCommand` the
// command that reads the audio from a pipe ("--bpm -"), for the conversion suggested.
std::string ReadFailureReason(const Trackloom::io::ReadFailure& failure, const std::string& path,
                              const std::string& pipedCommand);

// The reason for a writer's failure() and error(), for a file of `format` at this rate and
// channel count.
std::string WriteFailureReason(Trackloom::io::WriteStatus status, const std::error_code& error,
                               const Trackloom::io::OutputFormat& format = {},
                               int32_t sampleRate = 0, int32_t channels = 0);

// The reason an output directory could not be created.
std::string DirectoryFailureReason(const std::string& dir, const std::error_code& error);

// The usual name of a WAV format tag's encoding ("mu-law", "IMA ADPCM", ...), or its tag in
// hex for one not listed.
std::string EncodingName(uint16_t formatTag);

}  // namespace TrackloomApp::reports
