#include <ostream>
#include <string>

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
    } else if (reader.heldMoreThanDeclared()) {
        err << "Warning: " << path << " held more audio than its header declared: read "
            << reader.framesRead() << " frames, its header declared " << reader.declaredFrameCount()
            << "\n";
    }
    const Trackloom::io::AudioReader::LeftOut rest = reader.leftOut();
    if (rest.any) {
        err << "Warning: " << path << " was read only in part: " << reader.framesRead()
            << " frames; left out: ";
        if (rest.failed) {
            err << (rest.bytes >= 0 ? std::to_string(rest.bytes) + " bytes at its end"
                                    : std::string("the rest"))
                << ", which could not be decoded\n";
        } else {
            err << (rest.frames > 0   ? std::to_string(rest.frames) + " frames"
                    : rest.bytes >= 0 ? std::to_string(rest.bytes) + " bytes at its end"
                                      : std::string("the rest"))
                << " in another format (" << rest.sampleRate << " Hz, " << rest.channels
                << (rest.channels == 1 ? " channel" : " channels") << ")\n";
        }
    }
}

}  // namespace TrackloomApp
