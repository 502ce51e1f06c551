#include "gui/gui.h"

#include "gui/about_text.h"

namespace TrackloomGUI {

bool RunGUI(int argc, char** argv) {
    return ShowAboutBox(argc, argv);
}

}  // namespace TrackloomGUI
