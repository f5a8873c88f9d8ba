// engine/WinHandle.h - owners of Windows handles: each closes its handle
// with the right function when it goes, and knows its empty value.

#ifndef BREVIK_ENGINE_WINHANDLE_H
#define BREVIK_ENGINE_WINHANDLE_H

#include <windows.h>

#include <utility>

template <typename T, BOOL(WINAPI* Close)(T)>
class UniqueWin {
public:
    UniqueWin() = default;
    explicit UniqueWin(T value) : m_value(value) {}
    ~UniqueWin() { reset(); }
    UniqueWin(UniqueWin&& other) noexcept : m_value(other.release()) {}
    UniqueWin& operator=(UniqueWin&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    UniqueWin(const UniqueWin&) = delete;
    UniqueWin& operator=(const UniqueWin&) = delete;

    T get() const { return m_value; }
    explicit operator bool() const { return m_value != nullptr; }
    T release() { return std::exchange(m_value, nullptr); }
    void reset(T value = nullptr) {
        T old = std::exchange(m_value, value);
        if (old != nullptr) Close(old);
    }

private:
    T m_value = nullptr;
};

// Events and threads (never INVALID_HANDLE_VALUE: the calls that make them
// return null on failure).
typedef UniqueWin<HANDLE, &CloseHandle> UniqueHandle;
typedef UniqueWin<HMODULE, &FreeLibrary> UniqueModule;

#endif  // BREVIK_ENGINE_WINHANDLE_H
