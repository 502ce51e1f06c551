#include <io.h>
#include <stdio.h>

#include "app/reports/progress_line.h"

namespace TrackloomApp {

bool StderrIsTerminal() {
    return _isatty(_fileno(stderr)) != 0;
}

}  // namespace TrackloomApp
