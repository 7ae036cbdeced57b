#include "cli.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace kxtool {
namespace {

bool contains(const std::vector<std::string>& list, const std::string& s) {
    return std::find(list.begin(), list.end(), s) != list.end();
}

}  // namespace

std::string ParsedArgs::get(const std::string& name, const std::string& fallback) const {
    auto it = values.find(name);
    return it == values.end() ? fallback : it->second.back();
}

const std::vector<std::string>& ParsedArgs::all(const std::string& name) const {
    static const std::vector<std::string> empty;
    auto it = values.find(name);
    return it == values.end() ? empty : it->second;
}

float ParsedArgs::get_float(const std::string& name, float fallback, float lo, float hi) const {
    if (!has(name)) return fallback;
    const std::string text = get(name, "");
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(text.c_str(), &end);
    if (text.empty() || *end || errno || !std::isfinite(v) || v < lo || v > hi)
    {
        char range[64];
        std::snprintf(range, sizeof(range), "%g to %g", double(lo), double(hi));
        throw UsageError("--" + name + " needs a number from " + range + ", got '" + text + "'");
    }
    return float(v);
}

int ParsedArgs::get_int(const std::string& name, int fallback, int lo, int hi) const {
    if (!has(name)) return fallback;
    const std::string text = get(name, "");
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end || errno || v < lo || v > hi)
        throw UsageError("--" + name + " needs a whole number from " + std::to_string(lo) + " to " +
                         std::to_string(hi) + ", got '" + text + "'");
    return int(v);
}

ParsedArgs parse_args(const std::vector<std::string>& args, const OptionSet& known) {
    ParsedArgs out;
    bool options_done = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (options_done || a.size() < 2 || a.compare(0, 2, "--") != 0) {
            out.positional.push_back(a);
            continue;
        }
        if (a == "--") {
            options_done = true;
            continue;
        }
        std::string name = a.substr(2), value;
        bool inline_value = false;
        const size_t eq = name.find('=');
        if (eq != std::string::npos) {
            value = name.substr(eq + 1);
            name.resize(eq);
            inline_value = true;
        }
        if (contains(known.flags, name)) {
            if (inline_value) throw UsageError("--" + name + " takes no value");
            out.flags[name] = true;
        } else if (contains(known.with_value, name)) {
            if (!inline_value) {
                if (i + 1 >= args.size()) throw UsageError("--" + name + " needs a value");
                value = args[++i];
            }
            auto& slot = out.values[name];
            if (!slot.empty() && !contains(known.repeatable, name))
                throw UsageError("--" + name + " given more than once");
            slot.push_back(value);
        } else {
            throw UsageError("unknown option --" + name);
        }
    }
    return out;
}

}  // namespace kxtool
