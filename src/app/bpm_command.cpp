#include <vector>

#include "app/command_checks.h"
#include "app/commands.h"
#include "dsp/analysis.h"

namespace TrackloomApp {

int RunBpm(const std::string& inputPath) {
    using namespace Trackloom;
    const std::unique_ptr<AudioReader> reader = OpenInput(inputPath, "--bpm -");
    if (!reader) return 1;
    const WavFormat format = reader->format();
    const auto channels = static_cast<size_t>(format.channels);
    const size_t blockFrames = reader->blockFrames();
    std::vector<float> block(blockFrames * channels);

    // Both estimators take the input a block at a time and give the same answer as for the
    // whole buffer at once, so an hour-long mix needs no more memory than a song.
    TempoEstimator tempo(format.sampleRate, format.channels);
    KeyEstimator key(format.sampleRate, format.channels);
    bool heardAnything = false;
    while (const size_t frames = reader->readFrames(block.data(), blockFrames)) {
        heardAnything = true;
        tempo.feed(block.data(), frames);
        key.feed(block.data(), frames);
    }
    if (!heardAnything) {
        ReportNoAudio(inputPath);
        return 1;
    }
    WarnIfInputDisagreesWithHeader(inputPath, *reader);
    const dsp::TempoAndKey estimates = dsp::EstimateTempoAndKey(tempo, key);
    PrintEstimates(estimates.bpm, estimates.key);
    if (estimates.tempoIsGuess) ReportNoSteadyBeat();
    return 0;
}

}  // namespace TrackloomApp
