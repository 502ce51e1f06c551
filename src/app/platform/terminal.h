// What the program's standard streams are connected to (one file per platform).
#pragma once

namespace TrackloomApp::platform {

// Whether standard input is a terminal (a console on Windows): nothing is piped into it,
// so reading audio from it would wait for a user who types none.
bool StandardInputIsTerminal();

// Whether standard error is a terminal, where a progress line may redraw itself.
bool StderrIsTerminal();

// Puts standard input in binary mode where the platform has a text mode.
void SetStandardInputBinary();

}  // namespace TrackloomApp::platform
