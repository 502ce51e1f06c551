// The command layer: turns the audio core's results into messages and exit statuses.
#pragma once

#include <array>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "dsp/audio_reader.h"
#include "dsp/sndfile_writer.h"
#include "dsp/stem_engine.h"
#include "dsp/wav_io.h"

// Prints the usage text to standard output. A null name (an empty argument vector) prints
// as "trackloom".
void PrintUsage(const char* programName);

// Chooses a command from the first argument, runs it, and returns the exit status.
int Dispatch(int argc, char** argv);

namespace TrackloomApp {

// Splits `inputPath` ("-": standard input) into DIR/vocals.wav, drums.wav, bass.wav and
// other.wav (.flac for FLAC) with the engine chosen, streaming in blocks. Returns 0 on
// success, 1 if DIR is empty, the input could not be read, the engine cannot take it, or any
// stem was not written.
int RunSplit(const std::string& inputPath, const std::string& outputDir,
             const Trackloom::OutputFormat& outputFormat = {},
             Trackloom::EngineKind engine = Trackloom::EngineKind::Filter);

// The split's stems in any format but the default 16-bit WAV: `reader` has given the first
// `frames` frames in `input`. Returns the exit status, reporting failures.
int SplitToFormat(const std::string& inputPath, const std::string& outputDir,
                  std::unique_ptr<Trackloom::AudioReader> reader, std::vector<float>& input,
                  size_t frames, const std::array<std::string, 4>& paths,
                  const Trackloom::OutputFormat& outputFormat, Trackloom::StemEngine& engine);

// Prints the tempo and key of `inputPath` ("-": standard input). Returns 0, or 1 if it could not be
// read.
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

// The same, followed by the reason given.
void ReportReadFailure(const std::string& path, const std::string& reason);

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

// The input name that stands for standard input.
constexpr const char* kStandardInputName = "-";

// Opens a command's input by its first bytes, or reports on standard error why it cannot
// be read (naming a format it does not read, with the ffmpeg pipe that converts it into
// `pipedCommand`, e.g. "--bpm -") and returns null.
std::unique_ptr<Trackloom::AudioReader> OpenInput(const std::string& path,
                                                  const std::string& pipedCommand);

// Puts standard input in binary mode where the platform has a text mode.
void SetStandardInputBinary();

}  // namespace TrackloomApp
