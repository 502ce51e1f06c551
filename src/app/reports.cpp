#include <iostream>

#include "app/commands.h"

namespace TrackloomApp {

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

}  // namespace TrackloomApp
