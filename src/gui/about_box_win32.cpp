// Windows: the native message box.
#include <windows.h>

#include "gui/about_text.h"

static_assert((MB_OK | MB_ICONINFORMATION) == 0x40, "an OK button with the information sign");

int RunWin32(int argc, char** argv);

int RunWin32(int /*argc*/, char** /*argv*/) {
    MessageBoxA(nullptr, TrackloomGUI::kAboutMessage, TrackloomGUI::kAboutCaption,
                MB_OK | MB_ICONINFORMATION);
    return 0;
}

namespace TrackloomGUI {

// A message box can always be shown, even without a console, so there is no fallback here.
bool ShowAboutBox(int argc, char** argv) {
    RunWin32(argc, argv);
    return true;
}

}  // namespace TrackloomGUI
