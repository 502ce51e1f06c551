#include <ostream>

#include "app/commands/command_checks.h"
#include "dsp/io/audio_reader.h"

namespace TrackloomApp {

void WarnIfInputDisagreesWithHeader(std::ostream& err, const std::string& path,
                                    const Trackloom::io::AudioReader& reader) {
    if (reader.endedEarly()) {
        err << "Warning: " << path << " ended early: read " << reader.framesRead()
            << " frames of the " << reader.declaredFrameCount() << " its header declared\n";
    } else if (reader.headerUnfinished()) {
        err << "Warning: " << path << " has an unfinished header: read " << reader.framesRead()
            << " frames to the end, its header declared " << reader.declaredFrameCount() << "\n";
    }
}

}  // namespace TrackloomApp
