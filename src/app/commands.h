// The command layer: turns the audio core's results into messages and exit statuses.
#pragma once

#include <string>
#include <system_error>
#include <vector>

#include "dsp/wav_io.h"

// Prints the usage text to standard output. A null name (an empty argument vector) prints
// as "trackloom".
void PrintUsage(const char* programName);

// Chooses a command from the first argument, runs it, and returns the exit status.
int Dispatch(int argc, char** argv);

namespace TrackloomApp {

// Splits `inputPath` into DIR/vocals.wav, drums.wav, bass.wav and other.wav, streaming in
// blocks. Returns 0 on success, 1 if DIR is empty, the input could not be read or any stem
// not written.
int RunSplit(const std::string& inputPath, const std::string& outputDir);

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

// The same, followed by a line saying why the reader refused it.
void ReportReadFailure(const std::string& path, Trackloom::WavStatus status,
                       const Trackloom::WavProblem& problem);

// Reports a file that was opened but holds no audio at all.
void ReportNoAudio(const std::string& path);

// Reports a file that could not be written, followed by a line saying why.
void ReportWriteFailure(const std::string& path, const Trackloom::WavWriter& writer);

// Reports files none of which were written, all for the one reason given.
void ReportWriteFailures(const std::vector<std::string>& paths, const std::string& reason);

// Says, on standard error, that the tempo printed is a guess: no steady beat was heard.
void ReportNoSteadyBeat();

// Makes sure `dir` exists as a directory, creating it and any missing parents. On failure
// returns false with the system's reason in `error`. An empty name (the current
// directory's files) needs nothing.
bool CreateOutputDirectory(const std::string& dir, std::error_code& error);

}  // namespace TrackloomApp
