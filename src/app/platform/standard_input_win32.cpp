#include <fcntl.h>
#include <io.h>

#include <cstdio>

#include "app/platform/terminal.h"

namespace TrackloomApp::platform {

// In text mode the C runtime would turn CR LF into LF and stop at the first Ctrl-Z.
void SetStandardInputBinary() {
    _setmode(_fileno(stdin), _O_BINARY);
}

}  // namespace TrackloomApp::platform
