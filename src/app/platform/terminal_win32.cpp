#include <io.h>
#include <stdio.h>
#include <windows.h>

#include "app/platform/terminal.h"

namespace TrackloomApp::platform {

bool StderrIsTerminal() {
    return _isatty(_fileno(stderr)) != 0;
}

// _isatty would also take the NUL device for a terminal; only a console has a mode.
bool StandardInputIsTerminal() {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
}

}  // namespace TrackloomApp::platform
