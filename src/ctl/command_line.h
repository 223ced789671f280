#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace ctl {

// The options one command takes.
struct CommandSpec {
    const char* name;
    const char* summary;
    const char* help;                 // the command's --help text (after its usage line)
    std::vector<std::string> values;  // options followed by a value ("--reader")
    std::vector<std::string> flags;   // options without a value ("--can-stdin")
    std::vector<std::string> required;
};

// A parsed command line: the command and its options.
class CommandLine {
public:
    // Parses argv[first..] for `syntax`; false with the reason for an unknown option, a missing
    // value or a missing required option. A --help among the options sets helpAsked() instead.
    bool parse(const CommandSpec& syntax, int argc, char** argv, int first, std::string* error);

    bool helpAsked() const { return help_; }
    std::optional<std::string> value(const std::string& option) const;
    bool flag(const std::string& option) const { return flags_.count(option) != 0; }

private:
    std::map<std::string, std::string> values_;
    std::set<std::string> flags_;
    bool help_ = false;
};

}  // namespace ctl
