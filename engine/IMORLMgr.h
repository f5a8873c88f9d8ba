// engine/IMORLMgr.h - what the engine thread hands to InitOK: the engine
// object and the sync manager.  Neither pointer is owned by the caller.

#ifndef BREVIK_ENGINE_IMORLMGR_H
#define BREVIK_ENGINE_IMORLMGR_H

class IResourceManager;
class CSyncMgr;

class IMORLMgr {
public:
    virtual IResourceManager* GetResourceManager() = 0;
    virtual CSyncMgr* GetSyncMgr() = 0;

protected:
    // Never deleted through this interface.
    ~IMORLMgr() = default;
};

#endif  // BREVIK_ENGINE_IMORLMGR_H
