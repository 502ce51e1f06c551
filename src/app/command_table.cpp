// The program's commands, in the order the usage text lists them. A new option is one more
// row here and one more member of ParsedOptions.
#include <iostream>

#include "app/commands.h"
#include "app/options.h"
#include "gui/gui.h"

#ifndef TRACKLOOM_VERSION
#error "the build defines TRACKLOOM_VERSION from the project's version"
#endif

namespace TrackloomApp {
namespace {

// The split and demo commands' directory when none is given.
constexpr char kDefaultOutputDir[] = "/tmp";

int RunGuiRow(const ParsedOptions& options) {
    if (!TrackloomGUI::RunGUI(options.argc, options.argv)) PrintUsage(options.programName);
    return 0;
}

int RunHelpRow(const ParsedOptions& options) {
    PrintUsage(options.programName);
    return 0;
}

int RunVersionRow(const ParsedOptions&) {
    std::cout << "trackloom " << TRACKLOOM_VERSION << "\n";
    return 0;
}

int RunSplitRow(const ParsedOptions& options) {
    const auto& operands = options.operands;
    return RunSplit(operands[0], operands.size() > 1 ? operands[1] : kDefaultOutputDir);
}

int RunBpmRow(const ParsedOptions& options) {
    return RunBpm(options.operands[0]);
}

int RunDemoRow(const ParsedOptions&) {
    return RunDemo(kDefaultOutputDir);
}

CommandLineRow Command(const char* name, const char* alias, const char* argument, const char* help,
                       bool standsAlone, int minOperands, int maxOperands, const char* missing,
                       int (*run)(const ParsedOptions&)) {
    return {CommandLineRow::Kind::Command,
            name,
            alias,
            argument,
            help,
            standsAlone,
            minOperands,
            maxOperands,
            missing,
            run,
            nullptr,
            nullptr};
}

}  // namespace

const std::vector<CommandLineRow>& CommandTable() {
    static const std::vector<CommandLineRow> table = {
        Command("--gui", nullptr, nullptr,
                "Launch native graphical user interface (Default if no args)", true, 0, 0, nullptr,
                RunGuiRow),
        Command("--split", nullptr, "<audio.wav> [DIR]",
                "Split audio into 4 stems (vocals, drums, bass, other)", false, 1, 2,
                "an input file", RunSplitRow),
        Command("--bpm", nullptr, "<audio.wav>", "Analyze BPM tempo and musical scale key", false,
                1, 1, "an input file", RunBpmRow),
        Command("--demo", nullptr, nullptr, "Run procedural musical synthesis & separate stems",
                false, 0, 0, nullptr, RunDemoRow),
        Command("--help", "-h", nullptr, "Show this text", true, 0, 0, nullptr, RunHelpRow),
        Command("--version", nullptr, nullptr, "Print the program's version", true, 0, 0, nullptr,
                RunVersionRow),
    };
    return table;
}

}  // namespace TrackloomApp
