// cli.cpp - dispatch of the command line to the commands, and help texts.

#include <cstdio>
#include <cstring>
#include <exception>
#include <new>

#include "QOVLib.h"
#include "errors.h"
#include "qov.h"

namespace qov {

namespace {

const CommandInfo* const kCommands[] = {
    &kCreateCommand, &kAddCommand,  &kListCommand,     &kCatCommand,    &kExtractCommand,
    &kVerifyCommand, &kInfoCommand, &kPatchTagCommand, &kRepairCommand,
};

const CommandInfo* FindCommand(const std::string& name) {
    for (const CommandInfo* command : kCommands)
        if (name == command->name) return command;
    return nullptr;
}

void PrintOverview(std::FILE* out) {
    std::fprintf(out,
                 "usage: qov COMMAND [OPTIONS] ARGUMENTS\n"
                 "\n"
                 "Works with QOV archives: one file holding many files, with an MD5\n"
                 "digest for every piece of the archive.\n"
                 "\n"
                 "Commands:\n");
    for (const CommandInfo* command : kCommands)
        std::fprintf(out, "  %-10s %s\n", command->name, command->summary);
    std::fprintf(out,
                 "  %-10s %s\n"
                 "  %-10s %s\n"
                 "\n"
                 "Run 'qov help COMMAND' or 'qov COMMAND --help' for the options of a command.\n",
                 "help", "show this text, or the options of one command", "--version",
                 "print the version of qov");
}

// The first line of a command's usage text ("usage: qov ...").
std::string UsageLine(const CommandInfo& command) {
    const char* end = std::strchr(command.usage, '\n');
    return end != nullptr ? std::string(command.usage, end) : std::string(command.usage);
}

int RunHelp(const std::vector<std::string>& args) {
    if (args.empty()) {
        PrintOverview(stdout);
        return kExitOk;
    }
    const CommandInfo* command = FindCommand(args[0]);
    if (command == nullptr || args.size() > 1) {
        Report(command == nullptr ? "no command named " + Quote(args[0]) : "help takes one command name");
        PrintOverview(stderr);
        return kExitUsage;
    }
    std::fputs(command->usage, stdout);
    return kExitOk;
}

}  // namespace

int UsageError(const CommandInfo& command, const std::string& message) {
    Report(message);
    std::fprintf(stderr, "%s\nRun 'qov help %s' for the options.\n", UsageLine(command).c_str(),
                 command.name);
    return kExitUsage;
}

namespace {

// Sets the MD5 kernel NAME; -1 when done, else the exit code.
int ApplyMD5Kernel(const CommandInfo& command, const std::string& name) {
    static const struct {
        const char* name;
        int kernel;
    } kKernels[] = {{"auto", QOV_MD5_AUTO},
                    {"scalar", QOV_MD5_SCALAR},
                    {"avx2", QOV_MD5_AVX2},
                    {"avx512", QOV_MD5_AVX512}};
    for (const auto& known : kKernels) {
        if (name != known.name) continue;
        if (QOVSetMD5Kernel(known.kernel)) return -1;
        Report("the MD5 kernel " + Quote(name) + " is not supported on this machine");
        return kExitUsage;
    }
    return UsageError(command, "--md5 must be scalar, avx2, avx512 or auto, not " + Quote(name));
}

}  // namespace

int ParseCommandArgs(const CommandInfo& command, const std::vector<std::string>& args,
                     std::vector<OptionDef> defs, int minPositionals, int maxPositionals,
                     ParsedArgs* parsed) {
    defs.push_back({"help", 'h', false});
    std::string error;
    if (!ParseArgs(args, defs, parsed, &error)) return UsageError(command, error);
    if (parsed->Has("help")) {
        std::fputs(command.usage, stdout);
        return kExitOk;
    }
    const int count = static_cast<int>(parsed->positionals.size());
    if (count < minPositionals) return UsageError(command, "missing arguments");
    if (maxPositionals >= 0 && count > maxPositionals) return UsageError(command, "too many arguments");
    if (const std::string* kernel = parsed->Value("md5")) return ApplyMD5Kernel(command, *kernel);
    return -1;
}

namespace {

int Dispatch(const std::vector<std::string>& args) {
    if (args.empty()) {
        Report("no command given");
        PrintOverview(stderr);
        return kExitUsage;
    }
    const std::string& name = args[0];
    const std::vector<std::string> rest(args.begin() + 1, args.end());
    if (name == "help" || name == "--help" || name == "-h") return RunHelp(rest);
    if (name == "--version" && rest.empty()) {
        std::printf("qov %s\n", Version());
        return kExitOk;
    }
    const CommandInfo* command = FindCommand(name);
    if (command == nullptr) {
        Report("unknown command " + Quote(name));
        PrintOverview(stderr);
        return kExitUsage;
    }
    return command->run(*command, rest);
}

}  // namespace

int Run(const std::vector<std::string>& args) {
    // The library reports errors through return values; only allocations in
    // qov itself can throw.  Nothing escapes as a crash.
    try {
        return Dispatch(args);
    } catch (const std::bad_alloc&) {
        Report("out of memory");
    } catch (const std::exception& e) {
        Report(std::string("unexpected failure: ") + e.what());
    }
    return kExitFailure;
}

}  // namespace qov
