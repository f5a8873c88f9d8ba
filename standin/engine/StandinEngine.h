// standin/engine/StandinEngine.h - the base of the stand-in's behaviours:
// an engine object this module can delete whatever behaviour made it.  The
// virtual destructor comes after the interface's last position, so the
// positions the plug-in calls stay as they are.

#ifndef BREVIK_STANDIN_STANDINENGINE_H
#define BREVIK_STANDIN_STANDINENGINE_H

#include "MORLEngineApi.h"

namespace standin {

class StandinEngine : public IResourceManager {
public:
    virtual ~StandinEngine() = default;
};

}  // namespace standin

#endif  // BREVIK_STANDIN_STANDINENGINE_H
