#include <iostream>

#include "app/commands.h"
#include "app/failure_reasons.h"

namespace TrackloomApp {
namespace {

// A reason is indented under the line it explains, so the line itself stays as scripts
// have always read it.
void PrintReason(const std::string& reason) {
    std::cerr << "  " << reason << "\n";
}

}  // namespace

void PrintEstimates(double bpm, const std::string& key) {
    std::cout << "Estimated BPM: " << bpm << "\n"
              << "Estimated Key: " << key << "\n";
}

void ReportWriteFailure(const std::string& path) {
    std::cerr << "Failed to write audio file: " << path << "\n";
}

void ReportReadFailure(const std::string& path) {
    std::cerr << "Failed to read audio file: " << path << "\n";
}

void ReportReadFailure(const std::string& path, Trackloom::WavStatus status,
                       const Trackloom::WavProblem& problem) {
    ReportReadFailure(path);
    PrintReason(ReadFailureReason(status, problem));
}

void ReportReadFailure(const std::string& path, const std::string& reason) {
    ReportReadFailure(path);
    PrintReason(reason);
}

void ReportNoAudio(const std::string& path) {
    ReportReadFailure(path);
    PrintReason("the file holds no audio: its data chunk is empty or shorter than one frame");
}

void ReportWriteFailure(const std::string& path, const Trackloom::WavWriter& writer) {
    ReportWriteFailure(path);
    PrintReason(WriteFailureReason(writer.failure(), writer.error()));
}

void ReportWriteFailures(const std::vector<std::string>& paths, const std::string& reason) {
    for (const std::string& path : paths) ReportWriteFailure(path);
    PrintReason(reason);
}

void ReportNoSteadyBeat() {
    std::cerr << "No steady beat was found: the tempo above is a guess\n";
}

}  // namespace TrackloomApp
