#include <ostream>
#include <string>

#include "app/commands/command_checks.h"
#include "app/reports/warnings.h"
#include "dsp/io/audio_reader.h"

namespace TrackloomApp {

void WarnIfInputDisagreesWithHeader(std::ostream& err, const std::string& path,
                                    const Trackloom::AudioReader& reader) {
    const std::string read = std::to_string(reader.framesRead());
    const std::string declared = std::to_string(reader.declaredFrameCount());
    std::string warning;
    if (reader.endedEarly()) {
        warning =
            "ended early: read " + read + " frames of the " + declared + " its header declared";
    } else if (reader.headerUnfinished()) {
        warning = "has an unfinished header: read " + read +
                  " frames to the end, its header "
                  "declared " +
                  declared;
    } else {
        return;
    }
    // The line names its file whether there is one input or many.
    Warn(err, "Warning: " + path + " " + warning, warning);
}

}  // namespace TrackloomApp
