// A stand-in for Brevik.dll that tests MORLHost.exe itself: it implements the
// two exports and Kestrum::IPluginEvent, and plays the script named by the
// environment variable BREVIK_FAKE_SCRIPT on a thread of its own:
//
//   success   a line on standard output (a trace), two progress lines,
//             OnMessage, OnSuccess
//   fail      one progress line, OnFail, then (too late) one more progress line
//   silent    nothing at all (the host times out)
//   ticking   a progress line every 100 ms until stopped
//   nullrepair  CreateMORLRepair returns null
//
// After StopMORLRepair and RealeaseMORLRepair it writes "stopped released" to
// the file named by MORLHOST_FAKE_RECORD, so a test sees that the host ends
// the repair the way the launcher does.
#include <windows.h>

#include <cstdio>
#include <string>

#include "MORLRepair.h"

namespace {

std::wstring Environment(const wchar_t* name) {
    wchar_t buffer[1024];
    const DWORD length = GetEnvironmentVariableW(name, buffer, 1024);
    return length > 0 && length < 1024 ? std::wstring(buffer, length) : std::wstring();
}

class FakeRepair final : public Kestrum::IPluginEvent {
public:
    FakeRepair()
        : script_(Environment(L"BREVIK_FAKE_SCRIPT")), stop_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~FakeRepair() {
        StopMORLRepair();
        CloseHandle(stop_);
        Record("released");
    }

    int SetPluginEvent(IRepairEventSink* sink) override {
        if (!sink) return 0;
        sink_ = sink;
        return 1;
    }
    int BeginMORLRepair() override {
        thread_ = CreateThread(nullptr, 0, &Run, this, 0, nullptr);
        return thread_ ? 1 : 0;
    }
    int StopMORLRepair() override {
        if (!thread_) return 1;
        SetEvent(stop_);
        WaitForSingleObject(thread_, INFINITE);
        CloseHandle(thread_);
        thread_ = nullptr;
        Record("stopped");
        return 1;
    }

private:
    static DWORD WINAPI Run(void* self) {
        static_cast<FakeRepair*>(self)->Play();
        return 0;
    }
    bool Sleep(DWORD ms) { return WaitForSingleObject(stop_, ms) == WAIT_TIMEOUT; }

    void Play() {
        if (script_ == L"success") {
            std::printf("fake: a trace line\n");
            std::fflush(stdout);
            sink_->OnProgress(5, L"正在修复损坏的数据文件");
            sink_->OnProgress(42, L"正在更新数据文件... 更新速度：2 KB/s  更新进度：42.5%");
            sink_->OnMessage(L"包文件被破坏，请重新启动客户端", L"异常错误", 0);
            sink_->OnSuccess();
        } else if (script_ == L"fail") {
            sink_->OnProgress(1, L"正在修复损坏的数据文件");
            sink_->OnFail(L"下载文件失败");
            if (Sleep(300)) sink_->OnProgress(2, L"too late");
        } else if (script_ == L"ticking") {
            for (int i = 0; Sleep(100); ++i)
                sink_->OnProgress(i % 100, L"正在更新数据文件... 更新速度：10 B/s");
        }
    }

    void Record(const char* what) {
        const std::wstring path = Environment(L"MORLHOST_FAKE_RECORD");
        if (path.empty()) return;
        FILE* file = _wfopen(path.c_str(), L"ab");
        if (!file) return;
        std::fprintf(file, "%s\n", what);
        std::fclose(file);
    }

    std::wstring script_;
    IRepairEventSink* sink_ = nullptr;
    HANDLE stop_;
    HANDLE thread_ = nullptr;
};

}  // namespace

BREVIK_API Kestrum::IPluginEvent* CreateMORLRepair() {
    if (Environment(L"BREVIK_FAKE_SCRIPT") == L"nullrepair") return nullptr;
    return new FakeRepair();
}

BREVIK_API void RealeaseMORLRepair(Kestrum::IPluginEvent* repair) { delete static_cast<FakeRepair*>(repair); }
