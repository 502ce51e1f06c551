#include "app/platform/terminal.h"

namespace TrackloomApp::platform {

// POSIX streams make no difference between text and binary.
void SetStandardInputBinary() {}

}  // namespace TrackloomApp::platform
