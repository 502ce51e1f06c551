#include "app/dispatch.h"

#include <iostream>
#include <string>
#include <vector>

#include "app/commands/command_results.h"
#include "app/options.h"

void PrintUsage(const char* programName) {
    std::cout << TrackloomApp::UsageText(programName, TrackloomApp::CommandTable());
}

int Dispatch(int argc, char** argv) {
    const char* programName = argc > 0 ? argv[0] : nullptr;
    const std::vector<std::string> args(argv + (argc > 1 ? 1 : argc), argv + argc);
    TrackloomApp::ParsedCommandLine parsed =
        TrackloomApp::ParseCommandLine(args, TrackloomApp::CommandTable());
    if (parsed.command == nullptr) {
        std::cerr << parsed.error << "\n";
        PrintUsage(programName);
        return 1;
    }
    // Nothing on the command line passes unremarked, but the command still runs.
    for (const std::string& extra : parsed.ignored) {
        std::cerr << "ignoring extra argument '" << extra << "'\n";
    }
    parsed.options.argc = argc;
    parsed.options.argv = argv;
    parsed.options.programName = programName;
    return parsed.command->run(parsed.options);
}
