#include "ctl/command_line.h"

#include <algorithm>

namespace ctl {

namespace {

bool contains(const std::vector<std::string>& list, const std::string& item) {
    return std::find(list.begin(), list.end(), item) != list.end();
}

}  // namespace

bool CommandLine::parse(const CommandSpec& syntax, int argc, char** argv, int first, std::string* error) {
    for (int i = first; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            help_ = true;
            return true;
        }
        if (contains(syntax.flags, arg)) {
            flags_.insert(arg);
        } else if (contains(syntax.values, arg)) {
            if (i + 1 >= argc) {
                *error = arg + " needs a value";
                return false;
            }
            values_[arg] = argv[++i];
        } else {
            *error = (arg.rfind("-", 0) == 0 ? "unknown option " : "unexpected argument ") + arg;
            return false;
        }
    }
    for (const std::string& option : syntax.required) {
        if (values_.count(option) == 0) {
            *error = option + " is required";
            return false;
        }
    }
    return true;
}

std::optional<std::string> CommandLine::value(const std::string& option) const {
    const auto entry = values_.find(option);
    if (entry == values_.end()) return std::nullopt;
    return entry->second;
}

}  // namespace ctl
