#include "app/commands/bpm_command.h"

#include <iostream>
#include <vector>

#include "app/commands/command_checks.h"
#include "app/commands/command_results.h"
#include "app/commands/open_input.h"
#include "app/reports/json_report.h"
#include "app/reports/reports.h"
#include "dsp/analysis/analysis.h"

namespace TrackloomApp::commands {

int RunBpm(const std::string& inputPath, const ResultSettings& settings, CommandStreams streams) {
    using namespace Trackloom;
    using namespace Trackloom::io;
    using namespace Trackloom::analysis;
    // The text of a failure goes to the error stream whatever the format; a script reading
    // JSON also finds it on the input's line.
    auto failed = [&](const std::string& reason) {
        if (settings.json) streams.out << reports::ErrorJson(inputPath, reason) << "\n";
        return 1;
    };
    std::string reason;
    const std::unique_ptr<AudioReader> reader =
        OpenInput(streams.err, inputPath, "--bpm -", reason);
    if (!reader) return failed(reason);
    const AudioFormat format = reader->format();
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
    if (!heardAnything) return failed(reports::ReportNoAudio(streams.err, inputPath));
    WarnIfInputDisagreesWithHeader(streams.err, inputPath, *reader);
    analysis::TempoAndKey estimates = analysis::EstimateTempoAndKey(tempo, key);
    if (settings.maxBpm > 0.0) {
        estimates.bpm =
            analysis::FoldTempoIntoRange(estimates.bpm, settings.minBpm, settings.maxBpm);
    }
    if (settings.json) {
        streams.out << reports::BpmJson(inputPath, estimates) << "\n";
    } else {
        reports::PrintEstimates(streams.out, estimates.bpm,
                                reports::KeyText(estimates, settings.keyNotation));
    }
    if (estimates.tempoIsGuess) reports::ReportNoSteadyBeat(streams.err);
    return 0;
}

int RunBpm(const std::string& inputPath) {
    return RunBpm(inputPath, {}, {std::cout, std::cerr});
}

}  // namespace TrackloomApp::commands
