// The command layer: turns the audio core's results into messages and exit statuses.
#pragma once

#include <array>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <system_error>
#include <vector>

#include "dsp/analysis/analysis.h"
#include "dsp/analysis/key_notation.h"
#include "dsp/io/audio_reader.h"
#include "dsp/io/sndfile_writer.h"
#include "dsp/io/wav_io.h"
#include "dsp/separation/stem_engine.h"

// Prints the usage text to standard output. A null name (an empty argument vector) prints
// as "trackloom".
void PrintUsage(const char* programName);

// Chooses a command from the first argument, runs it, and returns the exit status.
int Dispatch(int argc, char** argv);

namespace TrackloomApp {

// How --bpm and --split give their results.
struct ResultSettings {
    Trackloom::analysis::KeyNotation keyNotation = Trackloom::analysis::KeyNotation::Standard;
    // Tempi are moved by octaves into minBpm..maxBpm; 0 for both leaves them as estimated.
    double minBpm = 0.0;
    double maxBpm = 0.0;
    // One JSON object per input, on one line, instead of the text.
    bool json = false;
};

// The stems a split can write. The accompaniment is the input less the vocals.
enum class StemKind { Vocals, Drums, Bass, Other, Accompaniment };

// "vocals", ..., "accompaniment": the stem's file name without its extension.
const char* StemName(StemKind kind);

// How --split makes and writes its stems.
struct SplitSettings {
    Trackloom::io::OutputFormat format;  // --format, --depth
    Trackloom::separation::EngineKind engine =
        Trackloom::separation::EngineKind::Filter;  // --engine
    std::vector<StemKind> stems;                    // --stems, in the order given; empty: the four
};

// Where one command run prints: its own streams, so that runs on several threads at once
// never mix their lines.
struct CommandStreams {
    std::ostream& out;
    std::ostream& err;
};

// Splits `inputPath` ("-": standard input) into DIR/vocals.wav, drums.wav, bass.wav and
// other.wav (.flac for FLAC) with the engine chosen, streaming in blocks. Returns 0 on
// success, 1 if DIR is empty, the input could not be read, the engine cannot take it, or any
// stem was not written.
int RunSplit(const std::string& inputPath, const std::string& outputDir, const SplitSettings& split,
             const ResultSettings& settings, CommandStreams streams);

// Prints the tempo and key of `inputPath` ("-": standard input). Returns 0, or 1 if it could
// not be read.
int RunBpm(const std::string& inputPath, const ResultSettings& settings, CommandStreams streams);

// The same with the text output, on standard output and standard error.
int RunSplit(const std::string& inputPath, const std::string& outputDir,
             const Trackloom::io::OutputFormat& format = {},
             Trackloom::separation::EngineKind engine = Trackloom::separation::EngineKind::Filter);
int RunBpm(const std::string& inputPath);

// Synthesizes the demo track, writes it and its stems as DIR/demo_*.wav, prints the
// estimates. Returns 0, or 1 if any file could not be written.
int RunDemo(const std::string& outputDir);

// The key as the line "Estimated Key: ..." gives it in `notation`: the standard one names
// the key and its relative, the wheels give their code before the key's name ("8A (A Minor)").
std::string KeyText(const Trackloom::analysis::TempoAndKey& estimates,
                    Trackloom::analysis::KeyNotation notation);

// The two lines shared by --bpm and --demo.
void PrintEstimates(std::ostream& out, double bpm, const std::string& key);

// The Report* helpers print on `err` and return the reason they gave (the indented line's
// text), which a JSON line carries as its "error".

// Reports a file that could not be written.
void ReportWriteFailure(std::ostream& err, const std::string& path);

// Reports a file that could not be read.
void ReportReadFailure(std::ostream& err, const std::string& path);

// The same, followed by the reason given; returns it.
std::string ReportReadFailure(std::ostream& err, const std::string& path,
                              const std::string& reason);

// The same, followed by a line saying why the reader refused it.
std::string ReportReadFailure(std::ostream& err, const std::string& path,
                              Trackloom::io::WavStatus status,
                              const Trackloom::io::WavProblem& problem);

// Reports a file that was opened but holds no audio at all.
std::string ReportNoAudio(std::ostream& err, const std::string& path);

// Reports a file that could not be written, followed by a line saying why.
std::string ReportWriteFailure(std::ostream& err, const std::string& path,
                               const Trackloom::io::WavWriter& writer);

// Reports files none of which were written, all for the one reason given.
std::string ReportWriteFailures(std::ostream& err, const std::vector<std::string>& paths,
                                const std::string& reason);

// Says that the tempo printed is a guess: no steady beat was heard.
void ReportNoSteadyBeat(std::ostream& err);

// Makes sure `dir` exists as a directory, creating it and any missing parents. On failure
// returns false with the system's reason in `error`. An empty name (the current
// directory's files) needs nothing.
bool CreateOutputDirectory(const std::string& dir, std::error_code& error);

// The input name that stands for standard input.
constexpr const char* kStandardInputName = "-";

// Opens a command's input by its first bytes, or reports on `err` why it cannot be read
// (naming a format it does not read, with the ffmpeg pipe that converts it into
// `pipedCommand`, e.g. "--bpm -"), puts the reason in `reason` and returns null.
std::unique_ptr<Trackloom::io::AudioReader> OpenInput(std::ostream& err, const std::string& path,
                                                      const std::string& pipedCommand,
                                                      std::string& reason);

// The stems of a split written from the engine's floats: `kinds` to `paths`, in any format.
// `reader` has given the first `frames` frames in `input`; `listen` (if set) hears every
// block. Returns true when all were written, else reports each failure on `err` and gives
// the reasons in `reasons`.
bool WriteFloatStems(const std::string& inputPath, const std::string& outputDir,
                     std::unique_ptr<Trackloom::io::AudioReader>& reader, std::vector<float>& input,
                     size_t frames, const std::vector<StemKind>& kinds,
                     const std::vector<std::string>& paths,
                     const Trackloom::io::OutputFormat& format,
                     Trackloom::separation::StemEngine& engine,
                     const std::function<void(const float*, size_t)>& listen, std::ostream& err,
                     std::string& reasons);

// Puts standard input in binary mode where the platform has a text mode.
void SetStandardInputBinary();

}  // namespace TrackloomApp
