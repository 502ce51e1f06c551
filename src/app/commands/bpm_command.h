// --bpm: the tempo and key of an input.
#pragma once

#include <string>

#include "app/commands/command_results.h"

namespace TrackloomApp::commands {

// Prints the tempo and key of `inputPath` ("-": standard input). Returns 0, or 1 if it could
// not be read.
int RunBpm(const std::string& inputPath, const ResultSettings& settings, CommandStreams streams);

// The same with the text output, on standard output and standard error.
int RunBpm(const std::string& inputPath);

}  // namespace TrackloomApp::commands
