// engine/IMORLInitCallback.h - how the engine thread reports the engine's
// state.  Every operation is called on the engine thread.

#ifndef BREVIK_ENGINE_IMORLINITCALLBACK_H
#define BREVIK_ENGINE_IMORLINITCALLBACK_H

class IMORLMgr;

class IMORLInitCallback {
public:
    // The engine is initialised and its host is up: syncs may start.
    virtual void InitOK(IMORLMgr* mgr) = 0;
    // The engine failed; `canRead` is 1 when it had initialised before,
    // `errorCode` the code of a failed repair, or 0.
    virtual void InitFail(IMORLMgr* mgr, int canRead, int errorCode) = 0;
    // The engine's host process went away; syncs wait.
    virtual void MORLHostKilled() = 0;
    // The host is back; syncs may start again.
    virtual void MORLHostRestarted() = 0;
    // The engine repairs its own state: progress in tenths of a percent.
    virtual void MORLRepairProgress(int progress) = 0;
    // The engine finished its bitmap after the download; 0 for success.
    virtual void OnSetBitMapFinishState(int error) = 0;
    // The engine asks for a message to be shown; returns the answer.  The
    // texts are valid during the call only.
    virtual int OnEngineMessage(const wchar_t* text, const wchar_t* caption, int flags) = 0;

protected:
    // Never deleted through this interface.
    ~IMORLInitCallback() = default;
};

#endif  // BREVIK_ENGINE_IMORLINITCALLBACK_H
