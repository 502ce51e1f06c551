// What --bpm and --split share: how they give their results, and where they print them.
#pragma once

#include <ostream>

#include "dsp/analysis/key_notation.h"

namespace TrackloomApp::commands {

// How --bpm and --split give their results.
struct ResultSettings {
    Trackloom::analysis::KeyNotation keyNotation = Trackloom::analysis::KeyNotation::Standard;
    // Tempi are moved by octaves into minBpm..maxBpm; 0 for both leaves them as estimated.
    double minBpm = 0.0;
    double maxBpm = 0.0;
    // One JSON object per input, on one line, instead of the text.
    bool json = false;
};

// Where one command run prints: its own streams, so that runs on several threads at once
// never mix their lines.
struct CommandStreams {
    std::ostream& out;
    std::ostream& err;
};

}  // namespace TrackloomApp::commands
