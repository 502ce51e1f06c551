// Opens a command's input, or says why it cannot be read and what would read it.
#include "app/commands/open_input.h"

#include <iostream>
#include <ostream>

#include "app/platform/terminal.h"
#include "app/reports/reports.h"

namespace TrackloomApp::commands {

std::unique_ptr<Trackloom::io::AudioReader> OpenInput(std::ostream& err, const std::string& path,
                                                      const std::string& pipedCommand,
                                                      std::string& reason) {
    using namespace Trackloom::io;
    OpenedAudio opened;
    if (path == kStandardInputName) {
        platform::SetStandardInputBinary();
        opened = OpenAudio(std::cin);
    } else {
        opened = OpenAudio(path);
    }
    if (opened.status == AudioStatus::Ok) return std::move(opened.reader);
    // The audio core recorded why where the reading failed; it is worded in one place.
    reason = reports::ReportReadFailure(err, path, opened.failure, pipedCommand);
    return nullptr;
}

}  // namespace TrackloomApp::commands
