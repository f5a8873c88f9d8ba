// AllocationCounter.cpp - counting, failing replacements of the global
// operator new and delete.  Each block carries its size in a header of 16
// bytes, so that alignment stays that of malloc.

#include "AllocationCounter.h"

#include <windows.h>

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

std::atomic<long long> g_blocks(0);
std::atomic<long long> g_bytes(0);

// The fault: 0 none, 1 the nth only, 2 all.
std::atomic<int> g_mode(0);
std::atomic<int> g_threads(0);  // an AllocatingThreads
std::atomic<DWORD> g_setter(0);
std::atomic<long long> g_countdown(0);
std::atomic<long long> g_counted(0);
std::atomic<long long> g_failed(0);

const size_t kHeader = 16;

bool Concerned()
{
    const AllocatingThreads threads = static_cast<AllocatingThreads>(g_threads.load());
    if (threads == AllocatingThreads::Any)
        return true;
    const bool self = GetCurrentThreadId() == g_setter.load();
    return threads == AllocatingThreads::This ? self : !self;
}

bool ShouldFail()
{
    const int mode = g_mode.load();
    if (mode == 0 || !Concerned())
        return false;
    ++g_counted;
    if (mode == 2)
        return true;
    // Exactly one allocation sees the count reach zero.
    return --g_countdown == 0;
}

void* Allocate(size_t size)
{
    if (ShouldFail()) {
        ++g_failed;
        return nullptr;
    }
    void* raw = std::malloc(size + kHeader);
    if (raw == nullptr)
        return nullptr;
    *static_cast<size_t*>(raw) = size;
    ++g_blocks;
    g_bytes += static_cast<long long>(size);
    return static_cast<char*>(raw) + kHeader;
}

void Release(void* block)
{
    if (block == nullptr)
        return;
    void* raw = static_cast<char*>(block) - kHeader;
    --g_blocks;
    g_bytes -= static_cast<long long>(*static_cast<size_t*>(raw));
    std::free(raw);
}

void* AllocateOrThrow(size_t size)
{
    void* block = Allocate(size);
    if (block == nullptr)
        throw std::bad_alloc();
    return block;
}

void Arm(int mode, long long nth, AllocatingThreads threads)
{
    g_mode = 0;
    g_threads = static_cast<int>(threads);
    g_setter = GetCurrentThreadId();
    g_countdown = nth;
    g_counted = 0;
    g_mode = mode;
}

}  // namespace

AllocationFigures LiveAllocations()
{
    return AllocationFigures{g_blocks.load(), g_bytes.load()};
}

void FailNthAllocation(long long nth, AllocatingThreads threads) { Arm(1, nth, threads); }
void FailAllAllocations(AllocatingThreads threads) { Arm(2, 0, threads); }
void StopFailingAllocations() { g_mode = 0; }
long long FailedAllocations() { return g_failed.load(); }
long long CountedAllocations() { return g_counted.load(); }

void* operator new(size_t size) { return AllocateOrThrow(size); }
void* operator new[](size_t size) { return AllocateOrThrow(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void* operator new[](size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void operator delete(void* block) noexcept { Release(block); }
void operator delete[](void* block) noexcept { Release(block); }
void operator delete(void* block, size_t) noexcept { Release(block); }
void operator delete[](void* block, size_t) noexcept { Release(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { Release(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { Release(block); }
