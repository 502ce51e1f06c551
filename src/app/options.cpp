#include "app/options.h"

#include <algorithm>
#include <cstring>

namespace TrackloomApp {
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

std::string CommandNames(const std::vector<CommandLineRow>& table) {
    std::string names;
    for (const CommandLineRow& row : table) {
        if (!IsCommand(&row) || row.standsAlone || row.minOperands == 0) continue;
        names += names.empty() ? "" : " or ";
        names += row.name;
    }
    return names;
}

}  // namespace

ParsedCommandLine ParseCommandLine(const std::vector<std::string>& args,
                                   const std::vector<CommandLineRow>& table) {
    ParsedCommandLine result;
    auto fail = [&result](std::string message) {
        result.command = nullptr;
        result.error = std::move(message);
        return result;
    };
    if (args.empty()) {
        result.command = table.empty() ? nullptr : &table.front();
        return result;
    }
    // The first argument may be a command that stands alone: nothing after it matters.
    if (const CommandLineRow* first = Find(table, args[0]);
        IsCommand(first) && first->standsAlone) {
        result.command = first;
        return result;
    }

    struct Setting {
        const CommandLineRow* row;
        std::string value;
    };
    std::vector<Setting> settings;
    bool onlyOperands = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (onlyOperands || arg.size() < 2 || arg[0] != '-') {
            result.options.operands.push_back(arg);
            continue;
        }
        if (arg == "--") {
            onlyOperands = true;
            continue;
        }
        // "--name=value" gives an option its value in one argument.
        const size_t equals = arg.compare(0, 2, "--") == 0 ? arg.find('=') : std::string::npos;
        const std::string name = arg.substr(0, equals);
        const CommandLineRow* row = Find(table, name);
        if (row == nullptr) return fail("unknown option " + name);
        if (IsCommand(row)) {
            if (row->standsAlone) {
                result.command = row;
                return result;
            }
            if (equals != std::string::npos) return fail(name + " takes no value after '='");
            if (result.command != nullptr) {
                return fail(std::string("only one command at a time: ") + result.command->name +
                            " and " + row->name);
            }
            result.command = row;
            continue;
        }
        Setting setting{row, ""};
        if (row->argument == nullptr) {
            if (equals != std::string::npos) return fail(name + " takes no value");
        } else if (equals != std::string::npos) {
            setting.value = arg.substr(equals + 1);
        } else if (i + 1 < args.size()) {
            setting.value = args[++i];
        } else {
            return fail(name + " needs a value (" + row->argument + ")");
        }
        settings.push_back(std::move(setting));
    }

    if (result.command == nullptr) {
        if (result.options.operands.empty()) return fail("no command given");
        return fail("'" + result.options.operands.front() + "' is not a command; try " +
                    CommandNames(table));
    }
    const CommandLineRow& command = *result.command;
    std::vector<std::string>& operands = result.options.operands;
    if (static_cast<int>(operands.size()) < command.minOperands) {
        return fail(std::string(command.name) + " needs " + command.missing);
    }
    if (static_cast<int>(operands.size()) > command.maxOperands) {
        result.ignored.assign(operands.begin() + command.maxOperands, operands.end());
        operands.resize(static_cast<size_t>(command.maxOperands));
    }
    for (const Setting& setting : settings) {
        if (!Lists(setting.row->appliesTo, command.name)) {
            return fail(std::string(setting.row->name) + " does not apply to " + command.name);
        }
        if (setting.row->apply != nullptr) {
            std::string problem = setting.row->apply(result.options, setting.value);
            if (!problem.empty()) return fail(std::move(problem));
        }
    }
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
    for (const CommandLineRow& row : table) {
        std::string left = row.name;
        if (row.alias != nullptr) left += std::string(", ") + row.alias;
        if (row.argument != nullptr) left += std::string(" ") + row.argument;
        // A name too long for its column still leaves a space before the description.
        left.resize(std::max(kNameColumnWidth, left.size() + 1), ' ');
        text += "  " + left + row.help + "\n";
    }
    text += "\n";
    return text;
}

}  // namespace TrackloomApp
