// The command layer: turns the audio core's results into messages and exit statuses.
#pragma once

#include <string>

#include "dsp/stem_engine.h"

// Prints the usage text to standard output. A null name (an empty argument vector) prints
// as "trackloom".
void PrintUsage(const char* programName);

// Chooses a command from the first argument, runs it, and returns the exit status.
int Dispatch(int argc, char** argv);

namespace TrackloomApp {

// Splits `inputPath` into DIR/vocals.wav, drums.wav, bass.wav and other.wav with the
// engine chosen, streaming in blocks. Returns 0 on success, 1 if the input could not be
// read, the engine cannot take it, or any stem was not written.
int RunSplit(const std::string& inputPath, const std::string& outputDir,
             Trackloom::EngineKind engine = Trackloom::EngineKind::Filter);

// Prints the tempo and key of `inputPath`. Returns 0, or 1 if it could not be read.
int RunBpm(const std::string& inputPath);

// Synthesizes the demo track, writes it and its stems as DIR/demo_*.wav, prints the
// estimates. Returns 0, or 1 if any file could not be written.
int RunDemo(const std::string& outputDir);

// The two lines shared by --bpm and --demo.
void PrintEstimates(double bpm, const std::string& key);

// Reports a file that could not be written, on standard error.
void ReportWriteFailure(const std::string& path);

// Reports a file that could not be read, on standard error.
void ReportReadFailure(const std::string& path);

}  // namespace TrackloomApp
