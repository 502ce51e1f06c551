// The program's commands, in the order the usage text lists them. A new option is one more
// row here and one more member of ParsedOptions.
#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iostream>
#include <limits>
#include <sstream>

#include "app/batch.h"
#include "app/commands/bpm_command.h"
#include "app/commands/command_results.h"
#include "app/commands/demo_command.h"
#include "app/commands/open_input.h"
#include "app/commands/split_command.h"
#include "app/dispatch.h"
#include "app/options.h"
#include "app/platform/terminal.h"
#include "app/reports/json_report.h"
#include "app/reports/reports.h"
#include "app/reports/warnings.h"
#include "gui/gui.h"

#ifndef TRACKLOOM_VERSION
#error "the build defines TRACKLOOM_VERSION from the project's version"
#endif

namespace TrackloomApp {

using namespace commands;
using namespace platform;
using namespace reports;
namespace {

// Commands that take any number of inputs.
constexpr int kAnyNumber = std::numeric_limits<int>::max();

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

// Runs `job` on one input, `path`, in a scope that keeps its warnings for its JSON line and
// names the input in them when there are several. Audio is never read from a terminal: it
// would wait for a user who types none.
int RunOnInput(const std::string& path, bool severalInputs, const ResultSettings& settings,
               CommandStreams streams, const std::function<int(commands::CommandStreams)>& job) {
    reports::InputScope scope(path, severalInputs);
    if (path == commands::kStandardInputName && platform::StandardInputIsTerminal()) {
        const std::string reason = reports::ReportReadFailure(
            streams.err, path, "standard input is a terminal: pipe audio into it");
        if (settings.json) streams.out << reports::ErrorJson(path, reason) << "\n";
        return 1;
    }
    return job(streams);
}

// Runs `job` for each of `inputs` (see RunOnInput). One input prints straight to the program's
// streams, exactly as a run on it alone; several are worked on `jobs` at a time, each printing
// into buffers of its own that are written out in the inputs' order, followed by how many
// failed.
int RunEachInput(const std::vector<std::string>& inputs, unsigned jobs,
                 const ResultSettings& settings,
                 const std::function<int(size_t, commands::CommandStreams)>& job) {
    const size_t count = inputs.size();
    if (count == 1) {
        return RunOnInput(inputs[0], false, settings, {std::cout, std::cerr},
                          [&job](CommandStreams streams) { return job(0, streams); });
    }
    const size_t failed = RunJobs(
        count, jobs,
        [&](size_t i) {
            std::ostringstream out;
            std::ostringstream err;
            JobResult result;
            result.status = RunOnInput(inputs[i], true, settings, {out, err},
                                       [&](CommandStreams streams) { return job(i, streams); });
            result.out = out.str();
            result.err = err.str();
            return result;
        },
        std::cout, std::cerr);
    if (failed == 0) return 0;
    std::cerr << failed << " of " << count << " inputs failed\n";
    return 1;
}

// Refuses a run that would write a stem over one of its inputs, before any input is read:
// the input would be replaced by what was made from it. Returns whether it refused.
bool RefuseStemsOverInputs(const std::vector<std::string>& inputs,
                           const std::vector<std::string>& stems, const ResultSettings& settings) {
    const std::vector<StemOverInput> found = StemsOverInputs(inputs, stems);
    for (const StemOverInput& clash : found) {
        const std::string why =
            "it is the input " + clash.input + "; choose another output directory";
        reports::ReportWriteFailure(std::cerr, clash.stem, why);
        if (settings.json)
            std::cout << reports::ErrorJson(clash.input, clash.stem + ": " + why) << "\n";
    }
    return !found.empty();
}

// A word as a shell takes it: quoted unless it holds only characters no shell treats apart.
std::string ShellWord(const std::string& word) {
    const bool plain = !word.empty() && std::all_of(word.begin(), word.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) != 0 ||
               std::string("_-./,:@%+=").find(c) != std::string::npos;
    });
    if (plain) return word;
    std::string quoted = "'";
    for (const char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// Without -o the second operand is where the stems go. One that is a file means several
// inputs were meant: writing into it would fail, and a later operand would be ignored.
// Returns the message refusing the run, or "".
std::string FileWhereTheFolderBelongs(const std::vector<std::string>& operands) {
    std::error_code error;
    if (operands.size() < 2 || !std::filesystem::exists(operands[1], error) ||
        std::filesystem::is_directory(operands[1], error)) {
        return "";
    }
    // The example keeps a last operand that is no file as the folder, as it was likely meant.
    const std::string& last = operands.back();
    const bool lastIsFolder = operands.size() > 2 && !std::filesystem::is_regular_file(last, error);
    std::string example = "trackloom --split";
    for (size_t i = 0; i + (lastIsFolder ? 1 : 0) < operands.size(); ++i) {
        example += " " + ShellWord(operands[i]);
    }
    example += " -o " + (lastIsFolder ? ShellWord(last) : std::string("stems"));
    return operands[1] + " is a file, not a folder: to split several inputs give -o OUT, e.g. " +
           example;
}

int RunSplitRow(const ParsedOptions& options) {
    const auto& operands = options.operands;
    if (!options.split.format.valid()) {
        std::cerr << "FLAC holds 16 or 24 bits; --depth float is for WAV\n";
        return 1;
    }
    if (options.outputRootGiven) {
        const std::vector<std::string> dirs = BatchOutputDirs(operands, options.outputRoot);
        // Every input against every stem of the whole batch: one input's stems may land on
        // another input.
        std::vector<std::string> stems;
        for (const std::string& dir : dirs) {
            const std::vector<std::string> paths = StemPaths(dir, options.split);
            stems.insert(stems.end(), paths.begin(), paths.end());
        }
        if (RefuseStemsOverInputs(operands, stems, options.results)) return 1;
        return RunEachInput(operands, options.jobs, options.results,
                            [&](size_t i, CommandStreams streams) {
                                return commands::RunSplit(operands[i], dirs[i], options.split,
                                                          options.results, streams);
                            });
    }
    const std::string notAFolder = FileWhereTheFolderBelongs(operands);
    if (!notAFolder.empty()) {
        std::cerr << notAFolder << "\n";
        return 1;
    }
    // Without -o the second operand is the directory, as it always was.
    const std::string dir = operands.size() > 1 ? operands[1] : kDefaultOutputDir;
    if (RefuseStemsOverInputs({operands[0]}, StemPaths(dir, options.split), options.results)) {
        return 1;
    }
    for (size_t i = 2; i < operands.size() && !reports::Quiet(); ++i) {
        std::cerr << "ignoring extra argument '" << operands[i] << "'\n";
    }
    const std::vector<std::string> input(operands.begin(), operands.begin() + 1);
    return RunEachInput(input, 1, options.results, [&](size_t, CommandStreams streams) {
        reports::WarnIfFolderLooksLikeAudio(streams.err, dir);
        return commands::RunSplit(operands[0], dir, options.split, options.results, streams);
    });
}

int RunBpmRow(const ParsedOptions& options) {
    const auto& operands = options.operands;
    const bool named = operands.size() > 1 && !options.results.json;
    return RunEachInput(
        operands, options.jobs, options.results, [&](size_t i, CommandStreams streams) {
            if (!named) return commands::RunBpm(operands[i], options.results, streams);
            // Among several files each one's lines follow its name; a file that failed has no
            // lines, and says why on the error stream.
            std::ostringstream lines;
            const int status = commands::RunBpm(operands[i], options.results, {lines, streams.err});
            if (status == 0) streams.out << operands[i] << "\n" << lines.str();
            return status;
        });
}

std::string SetFormat(ParsedOptions& options, const std::string& typed) {
    using Kind = Trackloom::io::OutputFormat::Kind;
    const std::string value = Lowered(typed);
    if (value == "wav" || value == "flac") {
        options.split.format.kind = value == "wav" ? Kind::Wav : Kind::Flac;
        return {};
    }
    return "--format takes wav or flac, not " + typed;
}

std::string SetDepth(ParsedOptions& options, const std::string& typed) {
    using Depth = Trackloom::io::OutputFormat::Depth;
    const std::string value = Lowered(typed);
    if (value == "16" || value == "24" || value == "float") {
        options.split.format.depth = value == "16"   ? Depth::S16
                                     : value == "24" ? Depth::S24
                                                     : Depth::Float;
        return {};
    }
    return "--depth takes 16, 24 or float, not " + typed;
}

std::string SetStems(ParsedOptions& options, const std::string& value) {
    std::vector<Trackloom::StemKind> stems;
    size_t start = 0;
    while (start <= value.size()) {
        const size_t comma = std::min(value.find(',', start), value.size());
        const std::string name = Lowered(value.substr(start, comma - start));
        Trackloom::StemKind kind;
        const bool known = Trackloom::ParseStemName(name, kind);
        if (known && std::find(stems.begin(), stems.end(), kind) == stems.end()) {
            stems.push_back(kind);
        }
        if (!known) {
            return "--stems takes names from vocals, drums, bass, other and accompaniment, not '" +
                   value.substr(start, comma - start) + "'";
        }
        start = comma + 1;
    }
    options.split.stems = stems;
    return {};
}

std::string SetEngine(ParsedOptions& options, const std::string& value) {
    if (Trackloom::separation::ParseEngineKind(Lowered(value), options.split.engine)) return {};
    return "--engine takes filter or spectral, not " + value;
}

std::string SetKeyNotation(ParsedOptions& options, const std::string& typed) {
    using Trackloom::analysis::KeyNotation;
    const std::string value = Lowered(typed);
    if (value == "standard") {
        options.results.keyNotation = KeyNotation::Standard;
    } else if (value == "camelot") {
        options.results.keyNotation = KeyNotation::Camelot;
    } else if (value == "openkey") {
        options.results.keyNotation = KeyNotation::OpenKey;
    } else {
        return "--key-notation takes standard, camelot or openkey, not '" + typed + "'";
    }
    return "";
}

// Reads a whole positive number from `text`, or returns 0 when it holds anything else.
double PositiveNumber(const std::string& text) {
    if (text.empty() || !(std::isdigit(static_cast<unsigned char>(text[0])) != 0)) return 0.0;
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (*end != '\0' || !std::isfinite(value) || !(value > 0.0)) return 0.0;
    return value;
}

std::string SetBpmRange(ParsedOptions& options, const std::string& value) {
    const size_t dash = value.find('-');
    const double minBpm = dash == std::string::npos ? 0.0 : PositiveNumber(value.substr(0, dash));
    const double maxBpm = dash == std::string::npos ? 0.0 : PositiveNumber(value.substr(dash + 1));
    if (minBpm == 0.0 || maxBpm == 0.0) {
        return "--bpm-range takes MIN-MAX in beats per minute (e.g. 70-140), not '" + value + "'";
    }
    // Every tempo has a place in the range only if it holds an octave.
    if (maxBpm < 2.0 * minBpm) {
        return "--bpm-range " + value + " holds no octave: MAX must be at least twice MIN";
    }
    options.results.minBpm = minBpm;
    options.results.maxBpm = maxBpm;
    return "";
}

std::string SetJson(ParsedOptions& options, const std::string&) {
    options.results.json = true;
    return "";
}

std::string SetQuietRun(ParsedOptions& options, const std::string&) {
    options.quiet = true;
    return "";
}

// Standard input holds one stream: two jobs reading it would each get part of it.
std::string StandardInputOnce(const std::vector<std::string>& inputs) {
    if (std::count(inputs.begin(), inputs.end(), commands::kStandardInputName) > 1) {
        return "'-' (standard input) can be read only once, and it is given twice";
    }
    return "";
}

std::string BpmInputsOnce(const ParsedOptions& options) {
    return StandardInputOnce(options.operands);
}

std::string SplitInputsOnce(const ParsedOptions& options) {
    // Without -o the second operand is the directory, not an input.
    return options.outputRootGiven ? StandardInputOnce(options.operands) : "";
}

std::string SetOutputRoot(ParsedOptions& options, const std::string& value) {
    // An unset variable in a script passes "": the folders would land in the root directory.
    if (value.empty()) return "-o needs a directory, not an empty name";
    options.outputRoot = value;
    options.outputRootGiven = true;
    return "";
}

// More threads than this would only queue for the same cores and memory.
constexpr unsigned long kMaxJobs = 256;

std::string SetJobs(ParsedOptions& options, const std::string& value) {
    const bool digits = !value.empty() && std::all_of(value.begin(), value.end(), [](char c) {
        return std::isdigit(static_cast<unsigned char>(c)) != 0;
    });
    const unsigned long jobs = digits && value.size() <= 4 ? std::stoul(value) : 0;
    if (jobs < 1 || jobs > kMaxJobs) {
        return "-j takes a number of inputs from 1 to " + std::to_string(kMaxJobs) + ", not '" +
               value + "'";
    }
    options.jobs = static_cast<unsigned>(jobs);
    return "";
}

int RunDemoRow(const ParsedOptions&) {
    return commands::RunDemo(kDefaultOutputDir);
}

CommandLineRow Command(const char* name, const char* alias, const char* argument, const char* help,
                       bool standsAlone, int minOperands, int maxOperands, const char* missing,
                       int (*run)(const ParsedOptions&),
                       std::string (*check)(const ParsedOptions&) = nullptr) {
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
            check,
            nullptr,
            nullptr};
}

CommandLineRow Option(const char* name, const char* alias, const char* argument, const char* help,
                      const char* appliesTo,
                      std::string (*apply)(ParsedOptions& options, const std::string& value)) {
    return {CommandLineRow::Kind::Option,
            name,
            alias,
            argument,
            help,
            false,
            0,
            0,
            nullptr,
            nullptr,
            nullptr,
            appliesTo,
            apply};
}

}  // namespace

const std::vector<CommandLineRow>& CommandTable() {
    static const std::vector<CommandLineRow> table = {
        Command("--gui", nullptr, nullptr,
                "Launch native graphical user interface\n(Default if no args)", true, 0, 0, nullptr,
                RunGuiRow),
        Command("--split", nullptr, "<audio.wav> [DIR]",
                "Split audio into 4 stems\n(vocals, drums, bass, other)", false, 1, kAnyNumber,
                "an input file", RunSplitRow, SplitInputsOnce),
        Command("--bpm", nullptr, "<audio.wav>", "Analyze BPM tempo and musical scale key", false,
                1, kAnyNumber, "an input file", RunBpmRow, BpmInputsOnce),
        Command("--demo", nullptr, nullptr, "Run procedural musical synthesis & separate stems",
                false, 0, 0, nullptr, RunDemoRow),
        Command("--help", "-h", nullptr, "Show this text", true, 0, 0, nullptr, RunHelpRow),
        Command("--version", nullptr, nullptr, "Print the program's version", true, 0, 0, nullptr,
                RunVersionRow),
        Option("--format", nullptr, "wav|flac", "Stems as WAV (default) or FLAC files", "--split",
               SetFormat),
        Option("--depth", nullptr, "16|24|float",
               "Stems as 16-bit (default), 24-bit or float samples", "--split", SetDepth),
        Option("--engine", nullptr, "filter|spectral",
               "Separator for --split: spectral for real separation;\nthe default, filter, is "
               "kept as it always was",
               "--split", SetEngine),
        Option("--stems", nullptr, "LIST", "Stems to write, e.g. vocals,accompaniment (--split)",
               "--split", SetStems),
        Option("--output", "-o", "OUT",
               "--split: every operand is an input,\nits stems in OUT/<name>/", "--split",
               SetOutputRoot),
        Option("--jobs", "-j", "N", "Work on N inputs at once (--split, --bpm)", "--split --bpm",
               SetJobs),
        Option("--json", nullptr, nullptr, "One JSON object per input per line (--split, --bpm)",
               "--split --bpm", SetJson),
        Option("--quiet", "-q", nullptr, "No progress line, no warnings (--split, --bpm)",
               "--split --bpm", SetQuietRun),
        Option("--key-notation", nullptr, "standard|camelot|openkey",
               "Key as name, Camelot (8A) or Open Key (1m) (--bpm)", "--bpm", SetKeyNotation),
        Option("--bpm-range", nullptr, "MIN-MAX",
               "Move the tempo by octaves into MIN..MAX,\ne.g. 70-140 (--bpm)", "--bpm",
               SetBpmRange),
    };
    return table;
}

}  // namespace TrackloomApp
