// The soak: many plug-in cycles in one process (the object constructed,
// begun, stopped at a random moment and destroyed, as a host does) against
// the scripted engine stand-in, with faults at random: engine calls that
// fail (scripted), and allocations of the plug-in's threads and of Begin
// and Stop that fail.  The process must end with the handles and the
// private bytes it had (beyond noise), every C++ object freed, no cycle
// hung, and at most one outcome told to the host per cycle.  Prints its
// figures.
//
// BREVIK_SOAK_CYCLES sets the number of cycles (the normal suite runs
// kDefaultCycles; 1000 for the full soak), BREVIK_TEST_SEED replays a run.

#include <windows.h>
#include <psapi.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "AllocationCounter.h"
#include "PluginTestSupport.h"

namespace {

const long kDefaultCycles = 200;
// A cycle that takes longer has hung (the longest stop waits three seconds).
const unsigned kCycleLimitMs = 30000;

long Cycles() {
    const char* text = std::getenv("BREVIK_SOAK_CYCLES");
    const long cycles = text != nullptr ? std::strtol(text, nullptr, 10) : 0;
    return cycles > 0 ? cycles : kDefaultCycles;
}

unsigned Seed() {
    const char* text = std::getenv("BREVIK_TEST_SEED");
    return text != nullptr ? static_cast<unsigned>(std::strtoul(text, nullptr, 10)) : std::random_device()();
}

// The process's private bytes: what the system reports, or (Wine reports
// 0) the committed private regions of its address space.
SIZE_T PrivateBytes() {
    PROCESS_MEMORY_COUNTERS_EX counters = {};
    counters.cb = sizeof(counters);
    if (GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                             sizeof(counters)) &&
        counters.PrivateUsage != 0)
        return counters.PrivateUsage;
    SIZE_T committed = 0;
    MEMORY_BASIC_INFORMATION region = {};
    for (const char* at = nullptr; VirtualQuery(at, &region, sizeof(region)) == sizeof(region);
         at = static_cast<const char*>(region.BaseAddress) + region.RegionSize) {
        if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) committed += region.RegionSize;
        if (region.RegionSize == 0) break;
    }
    return committed;
}

// What the host hears, counted without allocating (allocations fail in
// the plug-in's threads, which call the sink).
class SoakSink : public IRepairEventSink {
public:
    int OnProgress(int, const wchar_t*) override { return 1; }
    int OnSuccess() override {
        ++successes;
        return 1;
    }
    int OnFail(const wchar_t*) override {
        ++fails;
        return 1;
    }
    int OnMessage(const wchar_t*, const wchar_t*, unsigned int) override { return 6; }
    std::atomic<int> successes{0};
    std::atomic<int> fails{0};
};

// The engine's faults and the files' faults a script may hold, and whether
// the engine repairs itself at once (a Post.Initialize1 section).
const unsigned kEngineFaults = 6;
const unsigned kFileFaults = 5;
enum EngineFault { ENGINE_HEALTHY = 0, ENGINE_REPAIRS_ITSELF = 3, ENGINE_BITMAP_FAILS = 5 };
enum FileFault { FILES_SYNCED = 0 };

// The engine's script: a healthy engine, or one of its faults.
std::string Script(unsigned engineFault, bool repairReturn, unsigned fileFault) {
    const std::string head = "[Engine]\r\nBehaviour=scripted\r\nDownloadSpeed=2048\r\n";
    const std::string stopReady = "[Post.SetNotifyWindow]\r\n1=0,WM_ENGINE_STOP_READY,0,0\r\n";
    const std::string files =
        "[Files]\r\nCount=3\r\n"
        "[File2]\r\nName=f1\r\nSize=1000\r\nComplete=1\r\n"
        "[File3]\r\nName=f2\r\nSize=1000\r\nComplete=1\r\n";
    const std::string engineFaults[] = {
        "",                                                          // ready, syncs go well
        "InitializeResult=0\r\nInitializeError=0xE0000001\r\n",      // Initialize fails
        "InitializeResult=0\r\nInitializeError=0xE0000028\r\n",      // damaged package
        "InitializeResult=0,1\r\nInitializeError=0x60000026,0\r\n",  // repairs itself first
        "Create=0\r\n",                                              // no engine object
        "BitmapFinishError=3\r\n",                                   // the bitmap after the download fails
    };
    const std::string fileFaults[] = {
        "Sync=1:500@10,2@40\r\n",             // synced
        "Sync=5@0\r\n",                       // every sync fails
        "StartSyncFail=1\r\n",                // refused
        "SyncResultFail=1\r\nSync=2@10\r\n",  // its results cannot be read: it never ends
        "Extract=0\r\nSync=2@10\r\n",         // the restore fails
    };
    static_assert(sizeof(engineFaults) / sizeof(engineFaults[0]) == kEngineFaults, "engine faults");
    static_assert(sizeof(fileFaults) / sizeof(fileFaults[0]) == kFileFaults, "file faults");
    std::string script = head + engineFaults[engineFault % kEngineFaults];
    script += repairReturn ? std::string("[Post.Initialize1]\r\n1=10,WM_ENGINE_REPAIR_RETURN,1,0\r\n") : "";
    script += stopReady + files + "[File1]\r\nName=f0\r\nSize=4000\r\n" + fileFaults[fileFault % kFileFaults];
    return script;
}

// A healthy engine and good syncs half the time or so.
std::string Script(std::mt19937& random) {
    const unsigned engine = random() % 9;
    const bool repairReturn = random() % 2 == 0;
    const unsigned file = random() % 7;
    return Script(engine < 4 ? 0 : engine - 3, repairReturn, file < 3 ? 0 : file - 2);
}

// The engine's script and the settings: the recorded version is the
// client's (the game is up to date) or an older one (a repair is due).
void WriteScripts(PluginHarness& h, const std::string& script, bool upToDate) {
    h.base.Write("Plugin\\morl_script.ini", script);
    h.WriteSettings(std::string("QosHost=127.0.0.1\r\nversion=") + (upToDate ? "2.0.0.1" : "1.0") + "\r\n");
}

// A third of the runs find the game up to date, the rest repair.
std::string WriteScripts(PluginHarness& h, std::mt19937& random) {
    const std::string script = Script(random);
    WriteScripts(h, script, random() % 3 == 0);
    return script;
}

struct Figures {
    long cycles = 0;
    long successes = 0;
    long fails = 0;
    long silent = 0;  // stopped before an outcome
    long allocationFaults = 0;
    long leaky = 0;  // cycles after which C++ objects were left
    DWORD longestMs = 0;
    DWORD totalMs = 0;
};

// What a cycle does: its fault (0 none; 1 the nth allocation of the
// plug-in's threads fails; 2 of Begin; 3 of Stop and the destruction) and
// the moment it is stopped (0 at once, 5 after the outcome or five
// seconds, else after `wait` ms or the outcome).
struct CyclePlan {
    unsigned fault;
    long long nth;
    unsigned moment;
    DWORD wait;
};

CyclePlan RandomPlan(std::mt19937& random) {
    CyclePlan plan;
    plan.fault = random() % 4;
    plan.nth = 1 + random() % (plan.fault == 1 ? 300 : 40);
    plan.moment = random() % 6;
    plan.wait = plan.moment == 0 ? 0 : plan.moment == 5 ? 5000 : random() % 500;
    return plan;
}

// One cycle; false when it told the host more than one outcome.  A cycle
// after which C++ objects are left is described.
bool Cycle(const CMORLPluginFolders& folders, const CyclePlan& plan, Figures& figures,
           const std::string& script) {
    SoakSink sink;
    const AllocationFigures liveBefore = LiveAllocations();
    const DWORD start = GetTickCount();
    CMORLPlugin* plugin = new CMORLPlugin(folders);
    plugin->SetFeedbackOpener([](const wchar_t*) {});
    plugin->SetPluginEvent(&sink);
    CDownloadFileMgr::ArmHostAction();  // as each load of Brevik.dll does

    const unsigned fault = plan.fault;
    const long long nth = plan.nth;
    const long long failedBefore = FailedAllocations();
    if (fault == 1) FailNthAllocation(nth, AllocatingThreads::Others);
    if (fault == 2) FailNthAllocation(nth, AllocatingThreads::This);
    plugin->BeginMORLRepair();
    if (fault == 2) StopFailingAllocations();

    // Stopped at a random moment: at once, during the engine's start or the
    // download, or after the outcome.
    const unsigned moment = plan.moment;
    const DWORD wait = plan.wait;
    while (GetTickCount() - start < wait && sink.successes + sink.fails == 0) Sleep(1);
    if (fault == 3) FailNthAllocation(nth, AllocatingThreads::This);
    plugin->StopMORLRepair();
    delete plugin;
    StopFailingAllocations();

    const AllocationFigures liveAfter = LiveAllocations();
    if (liveAfter.blocks != liveBefore.blocks) {
        ++figures.leaky;
        std::printf(
            "soak: cycle %ld left %lld blocks (%lld bytes); fault %u at allocation %lld, moment %u, "
            "wait %lu ms, %d outcomes, script:\n%s\n",
            figures.cycles, liveAfter.blocks - liveBefore.blocks, liveAfter.bytes - liveBefore.bytes, fault,
            nth, moment, static_cast<unsigned long>(wait), sink.successes + sink.fails, script.c_str());
    }
    const DWORD elapsed = GetTickCount() - start;
    figures.longestMs = std::max(figures.longestMs, elapsed);
    figures.totalMs += elapsed;
    figures.allocationFaults += FailedAllocations() != failedBefore ? 1 : 0;
    ++figures.cycles;
    const int outcomes = sink.successes + sink.fails;
    figures.successes += sink.successes;
    figures.fails += sink.fails;
    figures.silent += outcomes == 0 ? 1 : 0;
    return outcomes <= 1;
}

TEST(PluginSoak, CyclesWithRandomFaultsLeaveNothingBehind) {
    PluginHarness h;
    if (!InstallStandins(h, "[Engine]\r\nBehaviour=scripted\r\n"))
        GTEST_SKIP() << "the engine stand-ins are not built";
    // The stand-ins stay loaded across the cycles: a DLL with its own static
    // thread library leaves memory and handles behind each time it is
    // unloaded, which is not what this test measures.
    const std::wstring plugin = h.base.WidePath() + L"\\Plugin";
    HMODULE pinned[2] = {LoadLibraryW((plugin + L"\\morl.dll").c_str()),
                         LoadLibraryW((plugin + L"\\MORLCheck.dll").c_str())};
    const unsigned seed = Seed();
    const long cycles = Cycles();
    std::printf("soak: %ld cycles, seed %u (BREVIK_TEST_SEED replays it)\n", cycles, seed);
    std::mt19937 random(seed);
    Figures figures;

    // Warm up: the run-time, Winsock and the trace make their one-time
    // allocations.
    for (int i = 0; i < 10; ++i) {
        const std::string script = WriteScripts(h, random);
        HangGuard guard(kCycleLimitMs, "a soak cycle (warm-up)");
        Cycle(h.Folders(), RandomPlan(random), figures, script);
    }
    const DWORD handlesBefore = HandleCount();
    const SIZE_T privateBefore = PrivateBytes();
    const size_t heapBefore = HeapBusyBytes();
    const AllocationFigures liveBefore = LiveAllocations();

    Figures measured;
    long tooManyOutcomes = 0;
    for (long i = 0; i < cycles; ++i) {
        const std::string script = WriteScripts(h, random);
        HangGuard guard(kCycleLimitMs, "a soak cycle");
        if (!Cycle(h.Folders(), RandomPlan(random), measured, script)) ++tooManyOutcomes;
    }
    const DWORD handlesAfter = HandleCount();
    const SIZE_T privateAfter = PrivateBytes();
    const size_t heapAfter = HeapBusyBytes();
    const AllocationFigures liveAfter = LiveAllocations();
    for (HMODULE module : pinned) {
        if (module != nullptr) FreeLibrary(module);
    }

    std::printf(
        "soak: %ld cycles: %ld successes, %ld failures, %ld stopped before an outcome; "
        "%ld with a failed allocation; %ld left C++ objects\n",
        measured.cycles, measured.successes, measured.fails, measured.silent, measured.allocationFaults,
        measured.leaky);
    std::printf("soak: cycle time %lu ms on average, %lu ms at most\n",
                static_cast<unsigned long>(measured.totalMs / std::max<long>(measured.cycles, 1)),
                static_cast<unsigned long>(measured.longestMs));
    std::printf(
        "soak: handles %lu -> %lu, private bytes %zu -> %zu KiB, heap in use %zu -> %zu KiB, "
        "C++ objects %lld -> %lld blocks (%lld -> %lld bytes)\n",
        static_cast<unsigned long>(handlesBefore), static_cast<unsigned long>(handlesAfter),
        static_cast<size_t>(privateBefore / 1024), static_cast<size_t>(privateAfter / 1024),
        heapBefore / 1024, heapAfter / 1024, liveBefore.blocks, liveAfter.blocks, liveBefore.bytes,
        liveAfter.bytes);

    EXPECT_EQ(0, tooManyOutcomes);
    EXPECT_GT(measured.allocationFaults, 0);
    EXPECT_LE(handlesAfter, handlesBefore + 4);
    EXPECT_EQ(0, measured.leaky);
    EXPECT_EQ(liveBefore.blocks, liveAfter.blocks);
    // Noise: the system's and the run-time's own caches.
    EXPECT_LT(privateAfter, privateBefore + 8 * 1024 * 1024);
    EXPECT_LT(heapAfter, heapBefore + 1024 * 1024);
}

}  // namespace

namespace {

// Leak hunt: BREVIK_SOAK_HUNT="engineFault repairReturn fileFault upToDate
// moment wait firstNth lastNth" replays cycles of fault 1 over a range of
// allocations and lists the blocks each leaves.
TEST(PluginSoak, Hunt) {
    const char* text = std::getenv("BREVIK_SOAK_HUNT");
    if (text == nullptr) GTEST_SKIP();
    unsigned engineFault = 0, repairReturn = 0, fileFault = 0, upToDate = 0, moment = 1;
    unsigned long wait = 0;
    long long first = 1, last = 300;
    ASSERT_EQ(8, std::sscanf(text, "%u %u %u %u %u %lu %lld %lld", &engineFault, &repairReturn, &fileFault,
                             &upToDate, &moment, &wait, &first, &last));
    PluginHarness h;
    ASSERT_TRUE(InstallStandins(h, "[Engine]\r\nBehaviour=scripted\r\n"));
    const std::wstring plugin = h.base.WidePath() + L"\\Plugin";
    HMODULE pinned[2] = {LoadLibraryW((plugin + L"\\morl.dll").c_str()),
                         LoadLibraryW((plugin + L"\\MORLCheck.dll").c_str())};
    const std::string script = Script(engineFault, repairReturn != 0, fileFault);
    Figures figures;
    for (int i = 0; i < 3; ++i) {
        WriteScripts(h, script, upToDate != 0);
        Cycle(h.Folders(), CyclePlan{0, 1, moment, static_cast<DWORD>(wait)}, figures, script);
    }
    long long leaky = 0;
    for (long long nth = first; nth <= last; ++nth) {
        WriteScripts(h, script, upToDate != 0);
        const long long mark = AllocationSequence();
        TrackAllocations(true);
        const long before = figures.leaky;
        Cycle(h.Folders(), CyclePlan{1, nth, moment, static_cast<DWORD>(wait)}, figures, script);
        TrackAllocations(false);
        if (figures.leaky != before) {
            ++leaky;
            PrintTrackedAllocations(mark);
        }
    }
    std::printf("hunt: %lld of %lld cycles leaked\n", leaky, last - first + 1);
    for (HMODULE module : pinned) {
        if (module != nullptr) FreeLibrary(module);
    }
}

}  // namespace
