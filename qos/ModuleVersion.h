// qos/ModuleVersion.h - the version of the module that holds this code.

#ifndef QOS_MODULEVERSION_H
#define QOS_MODULEVERSION_H

#include <cstdint>
#include <string>

struct ModuleVersion {
    uint16_t major = 0, minor = 0, build = 0, revision = 0;
};

// The file version from the version resource of the module (DLL or EXE)
// that contains this code; all zero when it has none.
ModuleVersion OwnModuleVersion();

// "draviksidloplugin/major/minor/build/revision".
std::string PluginVersionString(const ModuleVersion& version);

#endif  // QOS_MODULEVERSION_H
