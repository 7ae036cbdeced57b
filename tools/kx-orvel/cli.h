// Command-line parsing shared by the subcommands.
#pragma once

#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace kxtool {

// Exit codes of the tool.
enum ExitCode { kExitOk = 0, kExitUsage = 1, kExitInput = 2, kExitLibrary = 3 };

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};
struct InputError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Options of one subcommand: which take a value, which may repeat, which are flags.
struct OptionSet {
    std::vector<std::string> with_value;
    std::vector<std::string> repeatable;
    std::vector<std::string> flags;
};

struct ParsedArgs {
    std::map<std::string, std::vector<std::string>> values;
    std::map<std::string, bool> flags;
    std::vector<std::string> positional;

    bool has(const std::string& name) const { return values.count(name) != 0; }
    bool flag(const std::string& name) const { return flags.count(name) != 0; }
    std::string get(const std::string& name, const std::string& fallback) const;
    const std::vector<std::string>& all(const std::string& name) const;
    float get_float(const std::string& name, float fallback, float lo, float hi) const;
    int get_int(const std::string& name, int fallback, int lo, int hi) const;
};

// Accepts "--name value" and "--name=value"; "--" ends the options.
ParsedArgs parse_args(const std::vector<std::string>& args, const OptionSet& known);

}  // namespace kxtool
