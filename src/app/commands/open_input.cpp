// Opens a command's input, or says why it cannot be read and what would read it.
#include "app/commands/open_input.h"

#include <iostream>
#include <ostream>

#include "app/reports/reports.h"
#include "dsp/io/container_sniffer.h"

namespace TrackloomApp {
namespace {

using Trackloom::io::AudioStatus;
using Trackloom::io::Container;

// The pipe through ffmpeg that turns anything it decodes into a WAV stream.
std::string ConversionHint(const std::string& path, const std::string& command) {
    const std::string source = path == kStandardInputName ? "FILE" : path;
    return "convert it on the way in: ffmpeg -i " + source + " -f wav - | trackloom " + command;
}

bool IsWavFamily(Container container) {
    return container == Container::Wav || container == Container::Rf64 ||
           container == Container::Bw64;
}

}  // namespace

std::unique_ptr<Trackloom::io::AudioReader> OpenInput(std::ostream& err, const std::string& path,
                                                      const std::string& pipedCommand,
                                                      std::string& reason) {
    using namespace Trackloom;
    using namespace Trackloom::io;
    using namespace Trackloom::analysis;
    OpenedAudio opened;
    const bool fromStandardInput = path == kStandardInputName;
    if (fromStandardInput) {
        SetStandardInputBinary();
        opened = OpenAudio(std::cin);
    } else {
        opened = OpenAudio(path);
    }
    const std::string name = ContainerName(opened.container);
    switch (opened.status) {
        case AudioStatus::Ok:
            return std::move(opened.reader);
        case AudioStatus::Unsupported:
            if (opened.container == Container::Midi) {
                reason = ReportReadFailure(
                    err, path, "a MIDI file holds notes, not sound; render it to audio first");
            } else {
                reason = ReportReadFailure(err, path,
                                           name + " is not a format trackloom reads; " +
                                               ConversionHint(path, pipedCommand));
            }
            return nullptr;
        case AudioStatus::NeedsFile:
            reason =
                ReportReadFailure(err, path,
                                  name + " cannot be read from a pipe; give the file's name, or " +
                                      ConversionHint(path, pipedCommand));
            return nullptr;
        case AudioStatus::Malformed:
            if (!IsWavFamily(opened.container)) {
                reason =
                    ReportReadFailure(err, path,
                                      "the " + name +
                                          " decoder refused it: the file is damaged or uses an "
                                          "encoding it does not take");
                return nullptr;
            }
            break;
        case AudioStatus::CannotOpen:
        case AudioStatus::Unrecognized:
            break;
    }
    if (IsWavFamily(opened.container) || fromStandardInput) {
        reason = ReportReadFailure(
            err, path, opened.wavStatus == WavStatus::Ok ? WavStatus::NotWave : opened.wavStatus,
            opened.wavProblem);
        return nullptr;
    }
    // A file that could not be opened, or whose first bytes name nothing known: the WAV
    // reader tells which (no such file, a directory, permission denied, not a WAV file).
    WavReader wav;
    const WavStatus status = wav.open(path);
    reason = ReportReadFailure(err, path, status == WavStatus::Ok ? WavStatus::NotWave : status,
                               wav.problem());
    return nullptr;
}

}  // namespace TrackloomApp
