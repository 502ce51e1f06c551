// Checks every command makes before it answers with a status.
#pragma once

#include <ostream>
#include <string>

namespace Trackloom::io {
class AudioReader;
}

namespace TrackloomApp::commands {

// Once the input has been read to its end: warns on `err` if it held other than
// the frames its header declared (a file cut short, or a header never finished), giving
// both counts. The audio that was there has been processed, so this is no failure.
void WarnIfInputDisagreesWithHeader(std::ostream& err, const std::string& path,
                                    const Trackloom::io::AudioReader& reader);

// Flushes standard output; if anything written there was lost (a full disk, a closed
// stream), says so on standard error and turns `status` into 1. Returns the status.
int FinishStandardOutput(int status);

}  // namespace TrackloomApp::commands
