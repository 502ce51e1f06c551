#include "app/options.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <sstream>
#include <utility>

namespace TrackloomApp {

using namespace commands;
namespace {

// Options and their operands start in column 3; descriptions in column 29.
constexpr size_t kNameColumnWidth = 26;

bool Named(const CommandLineRow& row, const std::string& name) {
    return name == row.name || (row.alias != nullptr && name == row.alias);
}

const CommandLineRow* Find(const std::vector<CommandLineRow>& table, const std::string& name) {
    for (const CommandLineRow& row : table) {
        if (Named(row, name)) return &row;
    }
    return nullptr;
}

bool IsCommand(const CommandLineRow* row) {
    return row != nullptr && row->kind == CommandLineRow::Kind::Command;
}

// Whether the space-separated list `names` holds `name`.
bool Lists(const char* names, const char* name) {
    const size_t length = std::strlen(name);
    for (const char* p = names; p != nullptr && *p != '\0';) {
        const char* end = std::strchr(p, ' ');
        const size_t n = end != nullptr ? static_cast<size_t>(end - p) : std::strlen(p);
        if (n == length && std::strncmp(p, name, n) == 0) return true;
        p = end != nullptr ? end + 1 : nullptr;
    }
    return false;
}

// The number of single-character edits (insertions, deletions, substitutions and swaps of
// two neighbours) between `a` and `b`.
size_t EditDistance(const std::string& a, const std::string& b) {
    std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
    for (size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
    for (size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t change = a[i - 1] == b[j - 1] ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + change});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
            }
        }
    }
    return d[a.size()][b.size()];
}

std::string WithoutDashes(const std::string& name) {
    return Lowered(name.substr(std::min(name.find_first_not_of('-'), name.size())));
}

// The long name in `table` that `typed` is a slip for, of a command when `commands`, else of
// any row: up to two edits away (dashes and letter case aside), or else the only name it
// begins. "" when nothing is that close, or the typed word is too short to tell.
std::string NearestName(const std::vector<CommandLineRow>& table, const std::string& typed,
                        bool commands) {
    constexpr size_t kMaxEdits = 2;
    constexpr size_t kMinLetters = 3;
    const std::string word = WithoutDashes(typed);
    if (word.size() < kMinLetters) return "";
    const CommandLineRow* nearest = nullptr;
    size_t nearestEdits = kMaxEdits + 1;
    const CommandLineRow* begun = nullptr;
    size_t begunCount = 0;
    for (const CommandLineRow& row : table) {
        if (commands && !IsCommand(&row)) continue;
        const std::string name = WithoutDashes(row.name);
        // Two edits would turn any three-letter name into any other.
        const size_t edits = EditDistance(word, name);
        if (edits < nearestEdits && edits < name.size() / 2 + 1) {
            nearest = &row;
            nearestEdits = edits;
        }
        if (name.compare(0, word.size(), word) == 0) {
            begun = &row;
            ++begunCount;
        }
    }
    if (nearest != nullptr) return nearest->name;
    return begunCount == 1 ? begun->name : "";
}

std::string CommandNames(const std::vector<CommandLineRow>& table) {
    std::string names;
    for (const CommandLineRow& row : table) {
        if (!IsCommand(&row) || row.standsAlone || row.minOperands == 0) continue;
        names += names.empty() ? "" : " or ";
        names += row.name;
    }
    return names;
}

// The steps of ParseCommandLine. Each either leaves the line to the next step or settles the
// result: a command that stands alone has been found, or an error that stops the parsing.
enum class Step { Next, Settled };

// An option as read from the line, its value still unchecked: the options are applied only
// once the command is known, since whether an option applies depends on it.
struct Setting {
    const CommandLineRow* row;
    std::string value;
};

// Nothing can be run: the result carries `message` instead of a command.
Step Fail(ParsedCommandLine& result, std::string message) {
    result.command = nullptr;
    result.error = std::move(message);
    return Step::Settled;
}

// No arguments run the table's first command; a first argument that is a command standing
// alone runs it, and nothing after it matters.
Step TakeLoneCommand(const std::vector<std::string>& args, const std::vector<CommandLineRow>& table,
                     ParsedCommandLine& result) {
    if (args.empty()) {
        result.command = table.empty() ? nullptr : &table.front();
        return Step::Settled;
    }
    if (const CommandLineRow* first = Find(table, args[0]);
        IsCommand(first) && first->standsAlone) {
        result.command = first;
        return Step::Settled;
    }
    return Step::Next;
}

// An argument that starts with a dash, as the name typed and the row it names.
struct DashedWord {
    std::string name;
    const CommandLineRow* row;  // null when the table has no such name
    size_t equals;              // just before a value attached to the name (at its '='), or
                                // npos when none is
};

// "--name=value" gives an option its value in one argument, and so does "-jVALUE".
DashedWord SplitDashedWord(const std::string& arg, const std::vector<CommandLineRow>& table) {
    const bool longName = arg.compare(0, 2, "--") == 0;
    DashedWord word{"", nullptr, longName ? arg.find('=') : std::string::npos};
    word.name = arg.substr(0, word.equals);
    word.row = Find(table, word.name);
    if (word.row == nullptr && !longName) {
        const CommandLineRow* shortRow = Find(table, arg.substr(0, 2));
        if (shortRow != nullptr && !IsCommand(shortRow) && shortRow->argument != nullptr) {
            word.row = shortRow;
            word.name = arg.substr(0, 2);
            word.equals = 1;  // the value starts after the name, as after "="
        }
    }
    return word;
}

// A command on the line: one that stands alone is run at once, whatever else is there; any
// other becomes the line's command unless there already is one.
Step ReadCommandWord(const DashedWord& word, ParsedCommandLine& result) {
    if (word.row->standsAlone) {
        result.command = word.row;
        return Step::Settled;
    }
    if (word.equals != std::string::npos) {
        return Fail(result, word.name + " takes no value after '='");
    }
    if (result.command != nullptr) {
        return Fail(result, std::string("only one command at a time: ") + result.command->name +
                                " and " + word.row->name);
    }
    result.command = word.row;
    return Step::Next;
}

// An option and its value: attached to its name, or else the next argument, which `i` then
// moves past.
Step ReadOptionWord(const DashedWord& word, const std::vector<std::string>& args, size_t& i,
                    ParsedCommandLine& result, std::vector<Setting>& settings) {
    Setting setting{word.row, ""};
    if (word.row->argument == nullptr) {
        if (word.equals != std::string::npos) return Fail(result, word.name + " takes no value");
    } else if (word.equals != std::string::npos) {
        setting.value = args[i].substr(word.equals + 1);
    } else if (i + 1 < args.size()) {
        setting.value = args[++i];
    } else {
        return Fail(result, word.name + " needs a value (" + word.row->argument + ")");
    }
    settings.push_back(std::move(setting));
    return Step::Next;
}

// One argument starting with a dash: an option, or a command, as commands are spelt alike.
Step ReadDashedWord(const std::vector<std::string>& args, size_t& i,
                    const std::vector<CommandLineRow>& table, ParsedCommandLine& result,
                    std::vector<Setting>& settings) {
    const DashedWord word = SplitDashedWord(args[i], table);
    if (word.row == nullptr) {
        result.nearest = NearestName(table, word.name, false);
        return Fail(result, "unknown option " + word.name);
    }
    if (IsCommand(word.row)) return ReadCommandWord(word, result);
    return ReadOptionWord(word, args, i, result, settings);
}

// Every argument in turn: the command, the options' settings and the operands, in the order
// typed; after "--" everything is an operand.
Step ReadArguments(const std::vector<std::string>& args, const std::vector<CommandLineRow>& table,
                   ParsedCommandLine& result, std::vector<Setting>& settings) {
    bool onlyOperands = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (onlyOperands || arg.size() < 2 || arg[0] != '-') {
            result.options.operands.push_back(arg);
        } else if (arg == "--") {
            onlyOperands = true;
        } else if (ReadDashedWord(args, i, table, result, settings) == Step::Settled) {
            return Step::Settled;
        }
    }
    return Step::Next;
}

// A line without a command most likely meant its first operand as one.
Step RequireCommand(const std::vector<CommandLineRow>& table, ParsedCommandLine& result) {
    if (result.command != nullptr) return Step::Next;
    if (result.options.operands.empty()) return Fail(result, "no command given");
    const std::string& first = result.options.operands.front();
    result.nearest = NearestName(table, first, true);
    return Fail(result, "'" + first + "' is not a command; try " + CommandNames(table));
}

// Too few operands are an error; operands beyond the command's maximum are set aside, for
// the warning.
Step FitOperands(ParsedCommandLine& result) {
    const CommandLineRow& command = *result.command;
    std::vector<std::string>& operands = result.options.operands;
    if (static_cast<int>(operands.size()) < command.minOperands) {
        return Fail(result, std::string(command.name) + " needs " + command.missing);
    }
    if (static_cast<int>(operands.size()) > command.maxOperands) {
        result.ignored.assign(operands.begin() + command.maxOperands, operands.end());
        operands.resize(static_cast<size_t>(command.maxOperands));
    }
    return Step::Next;
}

// The options' actions, in the order typed, each only where it applies to the command.
Step ApplySettings(const std::vector<Setting>& settings, ParsedCommandLine& result) {
    const CommandLineRow& command = *result.command;
    for (const Setting& setting : settings) {
        if (!Lists(setting.row->appliesTo, command.name)) {
            return Fail(result,
                        std::string(setting.row->name) + " does not apply to " + command.name);
        }
        if (setting.row->apply != nullptr) {
            std::string problem = setting.row->apply(result.options, setting.value);
            if (!problem.empty()) return Fail(result, std::move(problem));
        }
    }
    return Step::Next;
}

// What no single option can see: the command's own check of the settings together.
void CheckWholeLine(ParsedCommandLine& result) {
    const CommandLineRow& command = *result.command;
    if (command.check == nullptr) return;
    std::string problem = command.check(result.options);
    if (!problem.empty()) Fail(result, std::move(problem));
}

}  // namespace

std::string Lowered(const std::string& value) {
    std::string lowered = value;
    for (char& c : lowered) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lowered;
}

std::string UsageError(const ParsedCommandLine& parsed) {
    if (parsed.nearest.empty()) return parsed.error;
    return parsed.error + "; did you mean " + parsed.nearest + "?";
}

ParsedCommandLine ParseCommandLine(const std::vector<std::string>& args,
                                   const std::vector<CommandLineRow>& table) {
    ParsedCommandLine result;
    if (TakeLoneCommand(args, table, result) == Step::Settled) return result;
    std::vector<Setting> settings;
    if (ReadArguments(args, table, result, settings) == Step::Settled) return result;
    if (RequireCommand(table, result) == Step::Settled) return result;
    if (FitOperands(result) == Step::Settled) return result;
    if (ApplySettings(settings, result) == Step::Settled) return result;
    CheckWholeLine(result);
    return result;
}

std::string UsageText(const char* programName, const std::vector<CommandLineRow>& table) {
    std::string text =
        "========================================================\n"
        "  Trackloom AI\n"
        "  Local Offline Audio Stem Separation Workstation\n"
        "========================================================\n\n"
        "Usage:\n";
    text += std::string("  ") + (programName != nullptr ? programName : "trackloom") +
            " [options]\n\n"
            "Options:\n";
    const std::string indent(2 + kNameColumnWidth, ' ');
    for (const CommandLineRow& row : table) {
        std::string left = row.name;
        if (row.alias != nullptr) left += std::string(", ") + row.alias;
        if (row.argument != nullptr) left += std::string(" ") + row.argument;
        // A name too long for its column has its description start on the next line.
        std::string line = "  " + left;
        if (left.size() < kNameColumnWidth) {
            line.resize(indent.size(), ' ');
        } else {
            text += line + "\n";
            line = indent;
        }
        // The description's words, its own line breaks kept, wrapped at the usage's width.
        std::istringstream lines(row.help);
        std::string helpLine;
        bool firstLine = true;
        while (std::getline(lines, helpLine)) {
            if (!firstLine) {
                text += line + "\n";
                line = indent;
            }
            firstLine = false;
            std::istringstream words(helpLine);
            std::string word;
            bool lineHasWords = false;
            while (words >> word) {
                if (lineHasWords && line.size() + 1 + word.size() > kUsageWidth) {
                    text += line + "\n";
                    line = indent;
                    lineHasWords = false;
                }
                line += (lineHasWords ? " " : "") + word;
                lineHasWords = true;
            }
        }
        text += line + "\n";
    }
    text += "\n";
    return text;
}

}  // namespace TrackloomApp
