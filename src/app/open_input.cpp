// Opens a command's input, or says why it cannot be read and what would read it.
#include <iostream>

#include "app/commands.h"
#include "dsp/container_sniffer.h"

namespace TrackloomApp {
namespace {

using Trackloom::AudioStatus;
using Trackloom::Container;

void reportConversion(const std::string& path, const std::string& command) {
    const std::string source = path == kStandardInputName ? "FILE" : path;
    std::cerr << "Convert it on the way in:\n"
              << "  ffmpeg -i " << source << " -f wav - | trackloom " << command << "\n";
}

}  // namespace

std::unique_ptr<Trackloom::AudioReader> OpenInput(const std::string& path,
                                                  const std::string& pipedCommand) {
    using namespace Trackloom;
    OpenedAudio opened;
    if (path == kStandardInputName) {
        SetStandardInputBinary();
        opened = OpenAudio(std::cin);
    } else {
        opened = OpenAudio(path);
    }
    const char* name = ContainerName(opened.container);
    switch (opened.status) {
        case AudioStatus::Ok:
            return std::move(opened.reader);
        case AudioStatus::Unsupported:
            if (opened.container == Container::Midi) {
                std::cerr << "Failed to read audio file: " << path
                          << ": a MIDI file holds notes, not sound; render it to audio first\n";
                return nullptr;
            }
            std::cerr << "Failed to read audio file: " << path << ": " << name
                      << " is not a format trackloom reads. ";
            reportConversion(path, pipedCommand);
            return nullptr;
        case AudioStatus::NeedsFile:
            std::cerr << "Failed to read audio file: " << path << ": " << name
                      << " cannot be read from a pipe; give the file's name instead. ";
            reportConversion(path, pipedCommand);
            return nullptr;
        case AudioStatus::Malformed:
        case AudioStatus::CannotOpen:
        case AudioStatus::Unrecognized:
            break;
    }
    ReportReadFailure(path);
    return nullptr;
}

}  // namespace TrackloomApp
