#include <iostream>

#include "app/commands/command_checks.h"

namespace TrackloomApp::commands {

int FinishStandardOutput(int status) {
    std::cout.flush();
    if (std::cout) return status;
    std::cerr << "Failed to write to standard output\n";
    return 1;
}

}  // namespace TrackloomApp::commands
