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
    if (!options.outputFormat.valid()) {
        std::cerr << "FLAC holds 16 or 24 bits; --depth float is for WAV\n";
        return 1;
    }
    return RunSplit(operands[0], operands.size() > 1 ? operands[1] : kDefaultOutputDir,
                    options.outputFormat, options.engine);
}

std::string ApplyEngine(ParsedOptions& options, const std::string& value) {
    if (Trackloom::ParseEngineKind(value, options.engine)) return {};
    return "--engine takes filter or spectral, not " + value;
}

std::string ApplyFormat(ParsedOptions& options, const std::string& value) {
    using Kind = Trackloom::OutputFormat::Kind;
    if (value == "wav" || value == "flac") {
        options.outputFormat.kind = value == "wav" ? Kind::Wav : Kind::Flac;
        return {};
    }
    return "--format takes wav or flac, not " + value;
}

std::string ApplyDepth(ParsedOptions& options, const std::string& value) {
    using Depth = Trackloom::OutputFormat::Depth;
    if (value == "16" || value == "24" || value == "float") {
        options.outputFormat.depth = value == "16"   ? Depth::S16
                                     : value == "24" ? Depth::S24
                                                     : Depth::Float;
        return {};
    }
    return "--depth takes 16, 24 or float, not " + value;
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

CommandLineRow Option(const char* name, const char* argument, const char* help,
                      const char* appliesTo,
                      std::string (*apply)(ParsedOptions&, const std::string&)) {
    return {CommandLineRow::Kind::Option,
            name,
            nullptr,
            argument,
            help,
            false,
            0,
            0,
            nullptr,
            nullptr,
            appliesTo,
            apply};
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
        Option("--format", "wav|flac", "Stems as WAV (default) or FLAC files", "--split",
               ApplyFormat),
        Option("--depth", "16|24|float", "Stems as 16-bit (default), 24-bit or float samples",
               "--split", ApplyDepth),
        Option("--engine", "filter|spectral", "Separator for --split (Default filter)", "--split",
               ApplyEngine),
    };
    return table;
}

}  // namespace TrackloomApp
