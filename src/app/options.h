// The command line as one table: every command and option is a row giving its name, its
// argument, its help line and its action. The parser and the usage text both read the
// table, so what the program accepts and what it says it accepts cannot drift apart.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "app/commands/command_results.h"
#include "app/commands/split_command.h"

namespace TrackloomApp {

// What a command receives once its command line has been parsed.
struct ParsedOptions {
    // The arguments that are not options, after the command, in the order typed.
    std::vector<std::string> operands;
    // The program as the system started it, for the commands that hand it on.
    int argc = 0;
    char** argv = nullptr;
    const char* programName = nullptr;
    // Options add their settings here, one member each, set by their rows' actions.
    commands::ResultSettings results;  // --key-notation, --bpm-range, --json
    std::string outputRoot;            // -o: every operand is an input, each with a folder here
    bool outputRootGiven = false;
    unsigned jobs = 1;              // -j: inputs worked on at once
    commands::SplitSettings split;  // --engine, --format, --depth
    bool quiet = false;             // -q: no progress line, no warnings
};

struct CommandLineRow {
    enum class Kind { Command, Option };
    Kind kind;
    const char* name;      // "--split"
    const char* alias;     // another spelling ("-h"), or nullptr
    const char* argument;  // shown after the name in the usage text: a command's operands
                           // ("<audio.wav> [DIR]"), an option's value ("16|24|float");
                           // nullptr when there is none. An option with one takes a value.
    const char* help;      // the usage text's description, starting in column 29; a "\n"
                           // starts another line there (see UsageText)

    // Commands only. A command that stands alone is run whatever else is on the line,
    // which is not looked at (--gui, --help); the others take between minOperands and
    // maxOperands operands, and `missing` names the first one for the message when absent
    // ("an input file"). Operands beyond the maximum are ignored with a warning.
    bool standsAlone;
    int minOperands;
    int maxOperands;
    const char* missing;
    int (*run)(const ParsedOptions& options);
    // Commands only, or null: a check of the whole command line once its options have been
    // applied (what no single option can see), returning an error message or "".
    std::string (*check)(const ParsedOptions& options);

    // Options only: the commands that accept it, as their names separated by spaces
    // ("--split --bpm"), and what it does to the settings. `apply` gets the value (empty
    // for an option without one) and returns an error message, or "" when all is well.
    const char* appliesTo;
    std::string (*apply)(ParsedOptions& options, const std::string& value);
};

// The program's table, in the order the usage text lists it. The first row is the
// command run when there are no arguments at all.
const std::vector<CommandLineRow>& CommandTable();

struct ParsedCommandLine {
    const CommandLineRow* command = nullptr;  // null when `error` is set
    ParsedOptions options;
    std::string error;  // one line for the user, when nothing can be run
    // With `error`, the row the user may have meant ("--engine" for "--enigne"), or "".
    std::string nearest;
    std::vector<std::string> ignored;  // operands beyond what the command takes
};

// Parses `args` (the arguments after the program's name) against `table`. Options may come
// before or after the command and its operands, as "--name value" or "--name=value", and a
// short alias as "-j 2" or "-j2"; after "--" everything is an operand, as is a lone "-".
// Names are compared whole and case-sensitively; a name not in the table gets the nearest
// one in `nearest` when there is one close enough to be a slip of the keyboard.
ParsedCommandLine ParseCommandLine(const std::vector<std::string>& args,
                                   const std::vector<CommandLineRow>& table);

// The usage text for `table`: the banner, then a line for every row. Descriptions start in
// column 29 (on a line of their own after a name too long for that) and are wrapped there, so
// that no line is wider than kUsageWidth.
std::string UsageText(const char* programName, const std::vector<CommandLineRow>& table);
constexpr size_t kUsageWidth = 80;

// `message`, and the nearest name when there is one: "unknown option --enigne; did you mean
// --engine?".
std::string UsageError(const ParsedCommandLine& parsed);

// The value of an option whose values are words, as the table names them (lower case):
// "FLAC" and "Flac" are "flac".
std::string Lowered(const std::string& value);

}  // namespace TrackloomApp
