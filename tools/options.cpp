#include "options.h"

namespace tivlo_tool {

namespace {

// The description of "--text" (text without dashes or value): an exact name, or the
// one option that many names begin with text; nullptr with *error otherwise.
const OptionSpec* FindLong(const std::string& text, const std::vector<OptionSpec>& specs, std::string* error) {
    const OptionSpec* found = nullptr;
    bool ambiguous = false;
    for (const auto& spec : specs) {
        std::string name = spec.name;
        if (name == text) return &spec;
        if (name.compare(0, text.size(), text) == 0) {
            // Aliases of one option (--allow, --allow-root) are no ambiguity.
            if (found != nullptr && found->id != spec.id) ambiguous = true;
            found = &spec;
        }
    }
    if (found == nullptr) *error = "unrecognized option '--" + text + "'";
    if (ambiguous) *error = "option '--" + text + "' is ambiguous";
    return ambiguous ? nullptr : found;
}

}  // namespace

CommandLine ParseCommandLine(const std::vector<std::string>& args, const std::vector<OptionSpec>& specs) {
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
            const OptionSpec* spec = FindLong(name, specs, &result.error);
            if (spec == nullptr) return result;
            std::string shown = std::string("--") + spec->name;
            if (!spec->takesValue) {
                if (equals != std::string::npos) {
                    result.error = "option '" + shown + "' doesn't allow an argument";
                    return result;
                }
                result.options.push_back({spec->id, ""});
            } else if (equals != std::string::npos) {
                result.options.push_back({spec->id, arg.substr(equals + 1)});
            } else if (i + 1 < args.size()) {
                result.options.push_back({spec->id, args[++i]});
            } else {
                result.error = "option '" + shown + "' requires an argument";
                return result;
            }
            continue;
        }
        // Short options, several in one argument; a value takes the rest.
        for (size_t k = 1; k < arg.size(); ++k) {
            const OptionSpec* spec = nullptr;
            for (const auto& candidate : specs)
                if (candidate.letter != 0 && candidate.letter == arg[k]) spec = &candidate;
            if (spec == nullptr) {
                result.error = std::string("invalid option -- '") + arg[k] + "'";
                return result;
            }
            if (!spec->takesValue) {
                result.options.push_back({spec->id, ""});
            } else if (k + 1 < arg.size()) {
                result.options.push_back({spec->id, arg.substr(k + 1)});
                break;
            } else if (i + 1 < args.size()) {
                result.options.push_back({spec->id, args[++i]});
            } else {
                result.error = std::string("option '-") + arg[k] + "' requires an argument";
                return result;
            }
        }
    }
    return result;
}

}  // namespace tivlo_tool
