// The command-line syntax of both programs, the same on every system:
// long options (--name=VALUE, --name VALUE, or any unambiguous beginning of
// the name), short ones (-x VALUE, -xVALUE, -vh), "--" before operands, and
// operands anywhere between the options.
#pragma once

#include <string>
#include <vector>

namespace tivlo_tool {

struct OptionDef {
    const char* name;  // long name without "--"
    char letter;       // short name, or 0 for none
    bool takesValue;
    int id;            // what the program switches on
};

struct ParsedOption {
    int id;
    std::string value;
};

struct CommandLine {
    std::vector<ParsedOption> options;  // in the order given, up to an error
    std::vector<std::string> operands;
    std::string error;  // the first mistake, e.g. "unrecognized option '--x'"
};

CommandLine ParseCommandLine(const std::vector<std::string>& args, const std::vector<OptionDef>& defs);

}  // namespace tivlo_tool
