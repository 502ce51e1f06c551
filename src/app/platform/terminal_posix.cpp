#include <unistd.h>

#include "app/platform/terminal.h"
#include "app/reports/progress_line.h"

namespace TrackloomApp {

bool StderrIsTerminal() {
    return isatty(STDERR_FILENO) != 0;
}

bool StandardInputIsTerminal() {
    return isatty(STDIN_FILENO) != 0;
}

}  // namespace TrackloomApp
