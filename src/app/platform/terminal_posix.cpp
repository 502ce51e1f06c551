#include <unistd.h>

#include "app/platform/terminal.h"

namespace TrackloomApp::platform {

bool StderrIsTerminal() {
    return isatty(STDERR_FILENO) != 0;
}

bool StandardInputIsTerminal() {
    return isatty(STDIN_FILENO) != 0;
}

}  // namespace TrackloomApp::platform
