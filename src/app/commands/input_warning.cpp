#include <ostream>
#include <string>

#include "app/commands/command_checks.h"
#include "app/reports/warnings.h"
#include "dsp/io/audio_reader.h"

namespace TrackloomApp::commands {

void WarnIfInputDisagreesWithHeader(std::ostream& err, const std::string& path,
                                    const Trackloom::io::AudioReader& reader) {
    const std::string read = std::to_string(reader.framesRead());
    const std::string declared = std::to_string(reader.declaredFrameCount());
    std::string warning;
    if (reader.endedEarly()) {
        warning =
            "ended early: read " + read + " frames of the " + declared + " its header declared";
    } else if (reader.headerUnfinished()) {
        warning = "has an unfinished header: read " + read +
                  " frames to the end, its header declared " + declared;
    } else if (reader.heldMoreThanDeclared()) {
        warning = "held more audio than its header declared: read " + read +
                  " frames, its header declared " + declared;
    }
    // The line names its file whether there is one input or many.
    if (!warning.empty()) reports::Warn(err, "Warning: " + path + " " + warning, warning);
    const Trackloom::io::AudioReader::LeftOut rest = reader.leftOut();
    if (!rest.any) return;
    std::string part = "was read only in part: " + read + " frames; left out: ";
    const std::string bytes =
        rest.bytes >= 0 ? std::to_string(rest.bytes) + " bytes at its end" : "the rest";
    if (rest.failed) {
        part += bytes + ", which could not be decoded";
    } else {
        part += (rest.frames > 0 ? std::to_string(rest.frames) + " frames" : bytes) +
                " in another format (" + std::to_string(rest.sampleRate) + " Hz, " +
                std::to_string(rest.channels) + (rest.channels == 1 ? " channel)" : " channels)");
    }
    reports::Warn(err, "Warning: " + path + " " + part, part);
}

}  // namespace TrackloomApp::commands
