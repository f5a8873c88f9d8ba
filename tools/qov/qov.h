// qov.h - the command table of the qov tool and what the commands share.

#ifndef QOV_QOV_H
#define QOV_QOV_H

#include <string>
#include <vector>

#include "options.h"

namespace qov {

// Exit codes of every command.  verify uses kExitFailure for "damage found"
// and kExitUsage also for "the archive cannot be opened".
enum ExitCode { kExitOk = 0, kExitFailure = 1, kExitUsage = 2 };

struct CommandInfo {
    const char* name;
    const char* summary;  // one line for the command list
    const char* usage;    // the full help text of the command
    int (*run)(const CommandInfo& command, const std::vector<std::string>& args);
};

extern const CommandInfo kCreateCommand;
extern const CommandInfo kAddCommand;
extern const CommandInfo kListCommand;
extern const CommandInfo kCatCommand;
extern const CommandInfo kExtractCommand;
extern const CommandInfo kVerifyCommand;
extern const CommandInfo kInfoCommand;
extern const CommandInfo kPatchTagCommand;
extern const CommandInfo kRepairCommand;

// The option of every command that hashes pieces or files (create, add,
// cat, extract, verify, repair): which MD5 kernel hashes them, for
// comparing kernels.  ParseCommandArgs applies it.
#define QOV_MD5_OPTION \
    { "md5", 0, true }
#define QOV_MD5_OPTION_HELP                                                        \
    "  --md5 KERNEL    how many pieces are hashed at once: avx512 (16), avx2\n"    \
    "                  (8), scalar (one) or auto, the fastest this machine runs\n" \
    "                  (the default); every kernel gives the same digests, and\n"  \
    "                  one the machine lacks exits 2\n"

// The product's version: "x.y.z", with git describe's suffix when not
// built from the release tag.
const char* Version();

// Runs qov with ARGS (the arguments after the program name, UTF-8) and
// returns the exit code.
int Run(const std::vector<std::string>& args);

// Parses the arguments of COMMAND with DEFS (plus -h/--help) and checks the
// number of positional arguments (MAX_POSITIONALS < 0: no upper limit).
// A --md5 option (QOV_MD5_OPTION among DEFS) sets the process's MD5 kernel.
// Returns -1 when the command should go on; otherwise the exit code to
// return at once (help was printed: 0; bad usage was reported: 2).
int ParseCommandArgs(const CommandInfo& command, const std::vector<std::string>& args,
                     std::vector<OptionDef> defs, int minPositionals, int maxPositionals, ParsedArgs* parsed);

// Reports bad usage of COMMAND (the message and the command's usage line on
// standard error) and returns kExitUsage.
int UsageError(const CommandInfo& command, const std::string& message);

}  // namespace qov

#endif  // QOV_QOV_H
