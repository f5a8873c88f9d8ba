// SystemFaults.cpp - the failing replacements of the system calls.

#include "SystemFaults.h"

#include <atomic>
#include <cwchar>

namespace {

// The system's own function, for the calls that are let through.
template <typename F>
F Real(const wchar_t* dll, const char* name) {
    return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(dll), name)));
}

std::atomic<UINT> g_refusedMessage(0);
const wchar_t* g_refusedClass = L"";
std::atomic<DWORD> g_eventlessThread(0);

HWND WINAPI NoDialog(HINSTANCE, LPCWSTR, HWND, DLGPROC, LPARAM) {
    SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
    return nullptr;
}

LONG_PTR WINAPI NoNewProcedure(HWND window, int index, LONG_PTR value) {
    if (index == GWLP_WNDPROC) {
        SetLastError(ERROR_ACCESS_DENIED);
        return 0;
    }
    static const auto real = Real<LONG_PTR(WINAPI*)(HWND, int, LONG_PTR)>(L"user32.dll", "SetWindowLongPtrW");
    return real(window, index, value);
}

BOOL WINAPI RefusingPost(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == g_refusedMessage.load() && window != nullptr) {
        wchar_t name[64] = L"";
        GetClassNameW(window, name, 64);
        if (std::wcsncmp(name, g_refusedClass, std::wcslen(g_refusedClass)) == 0) {
            SetLastError(ERROR_NOT_ENOUGH_QUOTA);
            return FALSE;
        }
    }
    static const auto real = Real<BOOL(WINAPI*)(HWND, UINT, WPARAM, LPARAM)>(L"user32.dll", "PostMessageW");
    return real(window, message, wParam, lParam);
}

HANDLE WINAPI EventOnOtherThreads(LPSECURITY_ATTRIBUTES attributes, BOOL manual, BOOL initial, LPCWSTR name) {
    if (GetCurrentThreadId() == g_eventlessThread.load()) {
        SetLastError(ERROR_NO_SYSTEM_RESOURCES);
        return nullptr;
    }
    static const auto real =
        Real<HANDLE(WINAPI*)(LPSECURITY_ATTRIBUTES, BOOL, BOOL, LPCWSTR)>(L"kernel32.dll", "CreateEventW");
    return real(attributes, manual, initial, name);
}

}  // namespace

NoDialogs::NoDialogs() : m_patch("CreateDialogParamW", reinterpret_cast<void*>(&NoDialog)) {}

NoSubclassing::NoSubclassing() : m_patch("SetWindowLongPtrW", reinterpret_cast<void*>(&NoNewProcedure)) {}

NoSubclassing::~NoSubclassing() = default;

// Until the refusal is set, the replacement lets every call through.
NoPostOf::NoPostOf(UINT message, const wchar_t* classPrefix)
    : m_patch("PostMessageW", reinterpret_cast<void*>(&RefusingPost)) {
    g_refusedClass = classPrefix;
    g_refusedMessage = message;
}

NoPostOf::~NoPostOf() { g_refusedMessage = 0; }

NoEventsOnThisThread::NoEventsOnThisThread()
    : m_patch("CreateEventW", reinterpret_cast<void*>(&EventOnOtherThreads)) {
    g_eventlessThread = GetCurrentThreadId();
}

NoEventsOnThisThread::~NoEventsOnThisThread() { g_eventlessThread = 0; }
