// Why a file could not be read or written, in the user's words: one line (without its
// newline) naming the cause and, where there is one, what to do about it.
#pragma once

#include <cstdint>
#include <string>
#include <system_error>

#include "dsp/io/wav_io.h"

namespace TrackloomApp {

// The reason a WavReader's open() gave `status` with `problem`.
std::string ReadFailureReason(Trackloom::io::WavStatus status,
                              const Trackloom::io::WavProblem& problem);

// The reason for a WavWriter's failure() and error().
std::string WriteFailureReason(Trackloom::io::WavStatus status, const std::error_code& error);

// The reason an output directory could not be created.
std::string DirectoryFailureReason(const std::string& dir, const std::error_code& error);

// The usual name of a WAV format tag's encoding ("mu-law", "IMA ADPCM", ...), or its tag in
// hex for one not listed.
std::string EncodingName(uint16_t formatTag);

}  // namespace TrackloomApp
