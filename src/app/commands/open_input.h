// A command's input, opened by its first bytes, and its output directory.
#pragma once

#include <memory>
#include <ostream>
#include <string>
#include <system_error>

#include "dsp/io/audio_reader.h"

namespace TrackloomApp::commands {

// The input name that stands for standard input.
constexpr const char* kStandardInputName = "-";

// Opens a command's input by its first bytes, or reports on `err` why it cannot be read
// (naming a format it does not read, with the ffmpeg pipe that converts it into
// `pipedCommand`, e.g. "--bpm -"), puts the reason in `reason` and returns null.
std::unique_ptr<Trackloom::io::AudioReader> OpenInput(std::ostream& err, const std::string& path,
                                                      const std::string& pipedCommand,
                                                      std::string& reason);

// Makes sure `dir` exists as a directory, creating it and any missing parents. On failure
// returns false with the system's reason in `error`. An empty name (the current
// directory's files) needs nothing.
bool CreateOutputDirectory(const std::string& dir, std::error_code& error);

}  // namespace TrackloomApp::commands
