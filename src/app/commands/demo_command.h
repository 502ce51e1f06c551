// --demo: the synthesized track through the whole pipeline.
#pragma once

#include <string>

namespace TrackloomApp::commands {

// Synthesizes the demo track, writes it and its stems as DIR/demo_*.wav, prints the
// estimates. Returns 0, or 1 if any file could not be written.
int RunDemo(const std::string& outputDir);

}  // namespace TrackloomApp::commands
