// --split: an input into stems.
#pragma once

#include <string>
#include <vector>

#include "app/commands/command_results.h"
#include "dsp/io/audio_writer.h"
#include "dsp/separation/stem_engine.h"
#include "dsp/stems.h"

namespace TrackloomApp::commands {

// How --split makes and writes its stems.
struct SplitSettings {
    Trackloom::io::OutputFormat format;  // --format, --depth
    Trackloom::separation::EngineKind engine =
        Trackloom::separation::EngineKind::Filter;  // --engine
    std::vector<Trackloom::StemKind> stems;         // --stems, in the order given; empty: the four
};

// Splits `inputPath` ("-": standard input) into DIR/vocals.wav, drums.wav, bass.wav and
// other.wav (.flac for FLAC) with the engine chosen, streaming in blocks. Returns 0 on
// success, 1 if DIR is empty, the input could not be read, the engine cannot take it, or any
// stem was not written (every old stem is then left as it was).
int RunSplit(const std::string& inputPath, const std::string& outputDir, const SplitSettings& split,
             const ResultSettings& settings, CommandStreams streams);

// The same with the text output, on standard output and standard error.
int RunSplit(const std::string& inputPath, const std::string& outputDir,
             const Trackloom::io::OutputFormat& format = {},
             Trackloom::separation::EngineKind engine = Trackloom::separation::EngineKind::Filter);

}  // namespace TrackloomApp::commands
