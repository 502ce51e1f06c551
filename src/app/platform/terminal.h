// What the program's standard streams are connected to (one file per platform).
#pragma once

namespace TrackloomApp {

// Whether standard input is a terminal (a console on Windows): nothing is piped into it,
// so reading audio from it would wait for a user who types none.
bool StandardInputIsTerminal();

}  // namespace TrackloomApp
