// MORLRepair.h: what a launcher needs to drive Brevik.dll.
//
// The host loads Brevik.dll, calls CreateMORLRepair to obtain the process's
// one repair object, hands it an IRepairEventSink with SetPluginEvent, starts
// the repair with BeginMORLRepair, stops it with StopMORLRepair and frees it
// with RealeaseMORLRepair (the export's name is spelt that way).  Everything
// the user sees of the repair reaches the host through the sink.
//
// Both interfaces are plain virtual-function tables: the order of the
// operations below is the binary contract and must never change.
#ifndef BREVIK_MORLREPAIR_H
#define BREVIK_MORLREPAIR_H

#if defined(BREVIK_BUILDING_PLUGIN)
#define BREVIK_API extern "C" __declspec(dllexport)
#else
#define BREVIK_API extern "C" __declspec(dllimport)
#endif

// Implemented by the host.  The plug-in calls OnProgress, OnSuccess and OnFail
// on its own thread and OnMessage on its engine thread.  Texts are valid only
// during the call: a sink copies what it keeps.  Only OnMessage's result is
// used (it goes back to the patch engine, like a message box's answer).
class IRepairEventSink {
public:
    // Slot 0: percent is 0..100; text is a status line such as
    // "正在更新数据文件... 更新速度：12 KB/s  更新进度：42.5%".
    virtual int OnProgress(int percent, const wchar_t* text) = 0;
    // Slot 1: the repair ended well, or no repair was needed.
    virtual int OnSuccess() = 0;
    // Slot 2: the repair failed; text says why.
    virtual int OnFail(const wchar_t* text) = 0;
    // Slot 3: the engine asks for a message to be shown; flags are those of
    // a message box.
    virtual int OnMessage(const wchar_t* text, const wchar_t* caption, unsigned int flags) = 0;

protected:
    ~IRepairEventSink() = default;
};

namespace Kestrum {

// Implemented by the plug-in.  The host never deletes the object: it hands it
// back to RealeaseMORLRepair.  Every operation returns 1 on success, 0 on
// failure.
class IPluginEvent {
public:
    // Slot 0: stores the sink (not owned); null is refused and keeps the old one.
    virtual int SetPluginEvent(IRepairEventSink* sink) = 0;
    // Slot 1: starts the repair on the plug-in's own threads and returns at once.
    virtual int BeginMORLRepair() = 0;
    // Slot 2: stops the repair and waits for the plug-in's threads; harmless
    // twice.  Called from a sink's operation (on a plug-in thread) it only
    // asks the repair to stop and returns: a later call from the host's
    // thread, or RealeaseMORLRepair, waits for the threads.
    virtual int StopMORLRepair() = 0;

protected:
    ~IPluginEvent() = default;
};

}  // namespace Kestrum

// The exports, for a host that links against Brevik.dll...
BREVIK_API Kestrum::IPluginEvent* CreateMORLRepair();
BREVIK_API void RealeaseMORLRepair(Kestrum::IPluginEvent* repair);

// ...and their types, for a host that finds them with GetProcAddress.
using PFN_CreateMORLRepair = Kestrum::IPluginEvent* (*)();
using PFN_RealeaseMORLRepair = void (*)(Kestrum::IPluginEvent*);

#define BREVIK_CREATE_EXPORT "CreateMORLRepair"
#define BREVIK_RELEASE_EXPORT "RealeaseMORLRepair"

#endif  // BREVIK_MORLREPAIR_H
