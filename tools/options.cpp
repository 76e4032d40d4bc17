#include "options.h"

namespace tivlo_tool {

namespace {

// The description of "--text" (text without dashes or value): an exact name, or the
// one option that many names begin with text; nullptr with *error otherwise.
const OptionDef* FindLong(const std::string& text, const std::vector<OptionDef>& defs, std::string* error) {
    const OptionDef* found = nullptr;
    bool ambiguous = false;
    for (const auto& def : defs) {
        std::string name = def.name;
        if (name == text) return &def;
        if (name.compare(0, text.size(), text) == 0) {
            // Aliases of one option (--allow, --allow-root) are no ambiguity.
            if (found != nullptr && found->id != def.id) ambiguous = true;
            found = &def;
        }
    }
    if (found == nullptr) *error = "unrecognized option '--" + text + "'";
    if (ambiguous) *error = "option '--" + text + "' is ambiguous";
    return ambiguous ? nullptr : found;
}

}  // namespace

CommandLine ParseCommandLine(const std::vector<std::string>& args, const std::vector<OptionDef>& defs) {
    CommandLine result;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--") {
            result.operands.insert(result.operands.end(), args.begin() + long(i) + 1, args.end());
            break;
        }
        if (arg.size() < 2 || arg[0] != '-') {
            result.operands.push_back(arg);
            continue;
        }
        if (arg[1] == '-') {
            size_t equals = arg.find('=');
            std::string name = arg.substr(2, equals == std::string::npos ? std::string::npos : equals - 2);
            const OptionDef* def = FindLong(name, defs, &result.error);
            if (def == nullptr) return result;
            std::string shown = std::string("--") + def->name;
            if (!def->takesValue) {
                if (equals != std::string::npos) {
                    result.error = "option '" + shown + "' doesn't allow an argument";
                    return result;
                }
                result.options.push_back({def->id, ""});
            } else if (equals != std::string::npos) {
                result.options.push_back({def->id, arg.substr(equals + 1)});
            } else if (i + 1 < args.size()) {
                result.options.push_back({def->id, args[++i]});
            } else {
                result.error = "option '" + shown + "' requires an argument";
                return result;
            }
            continue;
        }
        // Short options, several in one argument; a value takes the rest.
        for (size_t k = 1; k < arg.size(); ++k) {
            const OptionDef* def = nullptr;
            for (const auto& candidate : defs)
                if (candidate.letter != 0 && candidate.letter == arg[k]) def = &candidate;
            if (def == nullptr) {
                result.error = std::string("invalid option -- '") + arg[k] + "'";
                return result;
            }
            if (!def->takesValue) {
                result.options.push_back({def->id, ""});
            } else if (k + 1 < arg.size()) {
                result.options.push_back({def->id, arg.substr(k + 1)});
                break;
            } else if (i + 1 < args.size()) {
                result.options.push_back({def->id, args[++i]});
            } else {
                result.error = std::string("option '-") + arg[k] + "' requires an argument";
                return result;
            }
        }
    }
    return result;
}

}  // namespace tivlo_tool
