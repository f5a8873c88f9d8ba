// options.cpp - command-line option parsing.

#include "options.h"

namespace qov {

namespace {

const OptionDef* FindLong(const std::vector<OptionDef>& defs, const std::string& name) {
    for (const OptionDef& def : defs)
        if (name == def.name) return &def;
    return nullptr;
}

const OptionDef* FindShort(const std::vector<OptionDef>& defs, char name) {
    for (const OptionDef& def : defs)
        if (def.shortName != 0 && def.shortName == name) return &def;
    return nullptr;
}

}  // namespace

bool ParsedArgs::Has(const std::string& name) const { return Value(name) != nullptr; }

const std::string* ParsedArgs::Value(const std::string& name) const {
    const std::string* found = nullptr;
    for (const auto& option : options)
        if (option.first == name) found = &option.second;
    return found;
}

std::vector<std::string> ParsedArgs::Values(const std::string& name) const {
    std::vector<std::string> values;
    for (const auto& option : options)
        if (option.first == name) values.push_back(option.second);
    return values;
}

bool ParseArgs(const std::vector<std::string>& args, const std::vector<OptionDef>& defs, ParsedArgs* parsed,
               std::string* error) {
    *parsed = ParsedArgs();
    bool optionsEnded = false;
    for (size_t i = 0; i < args.size(); i++) {
        const std::string& arg = args[i];
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            parsed->positionals.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        if (arg[1] == '-') {
            const size_t equals = arg.find('=');
            const std::string name =
                arg.substr(2, equals == std::string::npos ? std::string::npos : equals - 2);
            const OptionDef* def = FindLong(defs, name);
            if (def == nullptr) {
                *error = "unknown option '--" + name + "'";
                return false;
            }
            std::string value;
            if (equals != std::string::npos) {
                if (!def->takesValue) {
                    *error = "option '--" + name + "' takes no value";
                    return false;
                }
                value = arg.substr(equals + 1);
            } else if (def->takesValue) {
                if (i + 1 >= args.size()) {
                    *error = "option '--" + name + "' needs a value";
                    return false;
                }
                value = args[++i];
            }
            parsed->options.emplace_back(def->name, value);
            continue;
        }
        // One or more short options: "-v", "-vq", "-j4", "-j 4".
        for (size_t k = 1; k < arg.size(); k++) {
            const OptionDef* def = FindShort(defs, arg[k]);
            if (def == nullptr) {
                *error = std::string("unknown option '-") + arg[k] + "'";
                return false;
            }
            if (!def->takesValue) {
                parsed->options.emplace_back(def->name, std::string());
                continue;
            }
            std::string value;
            if (k + 1 < arg.size()) {
                value = arg.substr(k + 1);
            } else if (i + 1 < args.size()) {
                value = args[++i];
            } else {
                *error = std::string("option '-") + arg[k] + "' needs a value";
                return false;
            }
            parsed->options.emplace_back(def->name, value);
            break;
        }
    }
    return true;
}

bool ParseNumber(const std::string& text, uint64_t* value) {
    size_t pos = 0;
    unsigned base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        pos = 2;
    }
    uint64_t result = 0;
    size_t digits = 0;
    for (; pos < text.size(); pos++, digits++) {
        const char ch = text[pos];
        unsigned digit;
        if (ch >= '0' && ch <= '9')
            digit = static_cast<unsigned>(ch - '0');
        else if (base == 16 && ch >= 'a' && ch <= 'f')
            digit = static_cast<unsigned>(ch - 'a' + 10);
        else if (base == 16 && ch >= 'A' && ch <= 'F')
            digit = static_cast<unsigned>(ch - 'A' + 10);
        else
            break;
        if (result > (UINT64_MAX - digit) / base) return false;
        result = result * base + digit;
    }
    if (digits == 0) return false;
    unsigned shift = 0;
    if (pos < text.size()) {
        switch (text[pos]) {
            case 'k':
            case 'K':
                shift = 10;
                break;
            case 'm':
            case 'M':
                shift = 20;
                break;
            case 'g':
            case 'G':
                shift = 30;
                break;
            default:
                return false;
        }
        if (base == 16 || ++pos != text.size()) return false;
        if (result > (UINT64_MAX >> shift)) return false;
    }
    *value = result << shift;
    return true;
}

}  // namespace qov
