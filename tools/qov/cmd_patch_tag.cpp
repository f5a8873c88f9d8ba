// cmd_patch_tag.cpp - `qov patch-tag`: the tags that chain patch archives.

#include <cstdio>

#include "archive.h"
#include "errors.h"
#include "json.h"
#include "qov.h"

namespace qov {

namespace {

const char kUsage[] =
    "usage: qov patch-tag [--json] [--patch PATCH]... ARCHIVE\n"
    "\n"
    "Shows the two tags that chain patch archives together, as 32 lower-case\n"
    "hex digits, one per line:\n"
    "  identity HEX   the version the archive has reached: its patched tag,\n"
    "                 or its header digest when that tag is all zero.  With\n"
    "                 patches, that of the newest archive of the chain.  A\n"
    "                 patch attaches to the archive (or chain) whose identity\n"
    "                 is the patch's base tag.\n"
    "  base HEX       the patch base tag of ARCHIVE itself: the identity of\n"
    "                 the archive it patches, all zero when it is no patch\n"
    "\n"
    "To make ARCHIVE2 a patch of ARCHIVE, give it ARCHIVE's identity:\n"
    "  qov add --base-tag IDENTITY ARCHIVE2 FILE...\n"
    "\n"
    "Options:\n"
    "  --json          print {\"identity\": HEX, \"base\": HEX}\n"
    "  --patch PATCH   attach the patch archive PATCH first (repeatable,\n"
    "                  oldest first)\n";

int RunPatchTag(const CommandInfo& command, const std::vector<std::string>& argv) {
    ParsedArgs args;
    const int early = ParseCommandArgs(command, argv, {{"json", 0, false}, {"patch", 0, true}}, 1, 1, &args);
    if (early >= 0) return early;
    const ChainSpec chain{args.positionals[0], args.Values("patch")};

    ArchiveHandle archive;
    if (!OpenChain(chain, &archive)) return kExitFailure;
    QOV_ARCHIVE_INFO info;
    QOVSetLastError(ERROR_SUCCESS);
    if (!SFileGetArchiveInfo(archive.get(), &info)) {
        ReportError("cannot read the header figures of " + Quote(chain.path), QOVGetLastError());
        return kExitFailure;
    }
    const uint8_t* identity = archive.get()->GetCurrentTag();
    if (identity == nullptr) {
        Report("the archive library gave no identity tag for " + Quote(chain.path));
        return kExitFailure;
    }
    const std::string identityHex = HexDigits(identity, 16);
    const std::string baseHex = HexDigits(info.MD5_PatchBaseTag, 16);
    if (args.Has("json")) {
        JsonWriter json;
        json.BeginObject().Key("identity").String(identityHex).Key("base").String(baseHex).EndObject();
        std::printf("%s\n", json.Text().c_str());
    } else {
        std::printf("identity %s\nbase %s\n", identityHex.c_str(), baseHex.c_str());
    }
    return kExitOk;
}

}  // namespace

const CommandInfo kPatchTagCommand = {"patch-tag", "show the tags that chain patch archives", kUsage,
                                      RunPatchTag};

}  // namespace qov
