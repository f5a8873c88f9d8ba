// options.h - command-line option parsing shared by the commands.

#ifndef QOV_OPTIONS_H
#define QOV_OPTIONS_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace qov {

struct OptionDef {
    const char* name;  // long name without the dashes, e.g. "jobs"
    char shortName;    // e.g. 'j', or 0 for none
    bool takesValue;
};

struct ParsedArgs {
    std::vector<std::string> positionals;
    std::vector<std::pair<std::string, std::string>> options;  // long name, value

    bool Has(const std::string& name) const;
    // The last value given for NAME, or null when the option is absent.
    const std::string* Value(const std::string& name) const;
    // Every value given for NAME, in the order given (for repeatable options).
    std::vector<std::string> Values(const std::string& name) const;
};

// Splits ARGS into options and positional arguments.  Accepted forms:
// "--name value", "--name=value", "-n value", "-nVALUE", and "-abc" for
// several short flags.  "--" ends the options; "-" alone is positional.
// Options and positional arguments may be mixed.  On an unknown option or a
// missing value, false with the reason in *error.
bool ParseArgs(const std::vector<std::string>& args, const std::vector<OptionDef>& defs, ParsedArgs* parsed,
               std::string* error);

// Parses a non-negative whole number: decimal or 0x-prefixed hex, with an
// optional K, M or G suffix (times 1024, 1024^2, 1024^3).  False on anything
// else, including overflow.
bool ParseNumber(const std::string& text, uint64_t* value);

}  // namespace qov

#endif  // QOV_OPTIONS_H
