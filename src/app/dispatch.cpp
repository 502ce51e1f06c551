#include "app/dispatch.h"

#include <iostream>
#include <string>
#include <vector>

#include "app/commands/command_results.h"
#include "app/options.h"
#include "app/reports/warnings.h"

namespace {

// Whether the command line asks for JSON, understood or not: standard output is then for
// JSON alone.
bool AsksForJson(const std::vector<std::string>& args) {
    for (const std::string& arg : args) {
        if (arg == "--") break;
        if (arg == "--json") return true;
    }
    return false;
}

}  // namespace

void PrintUsage(const char* programName) {
    std::cout << TrackloomApp::UsageText(programName, TrackloomApp::CommandTable());
}

int Dispatch(int argc, char** argv) {
    const char* programName = argc > 0 ? argv[0] : nullptr;
    const std::vector<std::string> args(argv + (argc > 1 ? 1 : argc), argv + argc);
    TrackloomApp::ParsedCommandLine parsed =
        TrackloomApp::ParseCommandLine(args, TrackloomApp::CommandTable());
    TrackloomApp::reports::SetQuiet(parsed.command != nullptr && parsed.options.quiet);
    if (parsed.command == nullptr) {
        // The mistake before the usage text, and again after it, where the eye lands.
        const std::string error = TrackloomApp::UsageError(parsed);
        std::cerr << error << "\n";
        std::ostream& usage = AsksForJson(args) ? std::cerr : std::cout;
        usage << TrackloomApp::UsageText(programName, TrackloomApp::CommandTable());
        usage.flush();
        std::cerr << error << "\n";
        return 1;
    }
    // Nothing on the command line passes unremarked, but the command still runs.
    for (const std::string& extra : parsed.ignored) {
        if (!parsed.options.quiet) std::cerr << "ignoring extra argument '" << extra << "'\n";
    }
    parsed.options.argc = argc;
    parsed.options.argv = argv;
    parsed.options.programName = programName;
    return parsed.command->run(parsed.options);
}
