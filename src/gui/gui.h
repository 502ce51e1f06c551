// The information box shown when the program is started without a command.
#pragma once

namespace TrackloomGUI {

// Shows the information box and waits until the user closes it.
// Returns false when no box could be shown (for instance when not attached to a
// terminal); the caller then falls back to the usage text.
bool RunGUI(int argc, char** argv);

}  // namespace TrackloomGUI
