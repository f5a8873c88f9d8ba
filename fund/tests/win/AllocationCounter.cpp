// AllocationCounter.cpp - counting, failing replacements of the global
// operator new and delete.  Each block carries a header (its size and, when
// tracked, where it was made) of a multiple of 16 bytes, so that alignment
// stays that of malloc.

#include "AllocationCounter.h"

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

const USHORT kTrackedFrames = 10;

struct alignas(16) Header {
    size_t size;
    // Tracked blocks only: a list of the live ones, and their origin.
    Header* previous;
    Header* next;
    long long sequence;
    DWORD thread;
    USHORT frameCount;
    bool tracked;
    void* frames[kTrackedFrames];
};
const size_t kHeader = sizeof(Header);

std::atomic<bool> g_tracking(false);
std::atomic<long long> g_sequence(0);
SRWLOCK g_trackLock = SRWLOCK_INIT;
Header* g_tracked = nullptr;  // the newest tracked live block

void Track(Header* header) {
    header->sequence = ++g_sequence;
    header->thread = GetCurrentThreadId();
    // Skips this function.
    header->frameCount = RtlCaptureStackBackTrace(1, kTrackedFrames, header->frames, nullptr);
    header->tracked = true;
    header->previous = nullptr;
    AcquireSRWLockExclusive(&g_trackLock);
    header->next = g_tracked;
    if (g_tracked != nullptr) g_tracked->previous = header;
    g_tracked = header;
    ReleaseSRWLockExclusive(&g_trackLock);
}

void Untrack(Header* header) {
    AcquireSRWLockExclusive(&g_trackLock);
    if (header->previous != nullptr)
        header->previous->next = header->next;
    else
        g_tracked = header->next;
    if (header->next != nullptr) header->next->previous = header->previous;
    ReleaseSRWLockExclusive(&g_trackLock);
}

void PrintFrame(void* frame) {
    HMODULE module = nullptr;
    char name[MAX_PATH] = "?";
    if (GetModuleHandleExA(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            static_cast<const char*>(frame), &module)) {
        GetModuleFileNameA(module, name, sizeof(name));
    }
    const char* base = std::strrchr(name, '\\');
    std::printf("    %s+0x%llx\n", base != nullptr ? base + 1 : name,
                static_cast<unsigned long long>(static_cast<char*>(frame) - reinterpret_cast<char*>(module)));
}

bool Concerned() {
    const AllocatingThreads threads = static_cast<AllocatingThreads>(g_threads.load());
    if (threads == AllocatingThreads::Any) return true;
    const bool self = GetCurrentThreadId() == g_setter.load();
    return threads == AllocatingThreads::This ? self : !self;
}

bool ShouldFail() {
    const int mode = g_mode.load();
    if (mode == 0 || !Concerned()) return false;
    ++g_counted;
    if (mode == 2) return true;
    // Exactly one allocation sees the count reach zero.
    return --g_countdown == 0;
}

void* Allocate(size_t size) {
    if (ShouldFail()) {
        ++g_failed;
        return nullptr;
    }
    void* raw = std::malloc(size + kHeader);
    if (raw == nullptr) return nullptr;
    Header* header = static_cast<Header*>(raw);
    header->size = size;
    header->tracked = false;
    if (g_tracking.load()) Track(header);
    ++g_blocks;
    g_bytes += static_cast<long long>(size);
    return static_cast<char*>(raw) + kHeader;
}

void Release(void* block) {
    if (block == nullptr) return;
    Header* header = reinterpret_cast<Header*>(static_cast<char*>(block) - kHeader);
    if (header->tracked) Untrack(header);
    --g_blocks;
    g_bytes -= static_cast<long long>(header->size);
    std::free(header);
}

void* AllocateOrThrow(size_t size) {
    void* block = Allocate(size);
    if (block == nullptr) throw std::bad_alloc();
    return block;
}

void Arm(int mode, long long nth, AllocatingThreads threads) {
    g_mode = 0;
    g_threads = static_cast<int>(threads);
    g_setter = GetCurrentThreadId();
    g_countdown = nth;
    g_counted = 0;
    g_mode = mode;
}

}  // namespace

AllocationFigures LiveAllocations() { return AllocationFigures{g_blocks.load(), g_bytes.load()}; }

void FailNthAllocation(long long nth, AllocatingThreads threads) { Arm(1, nth, threads); }
void FailAllAllocations(AllocatingThreads threads) { Arm(2, 0, threads); }
void StopFailingAllocations() { g_mode = 0; }
long long FailedAllocations() { return g_failed.load(); }
long long CountedAllocations() { return g_counted.load(); }

void TrackAllocations(bool on) { g_tracking = on; }

long long AllocationSequence() { return g_sequence.load(); }

long long PrintTrackedAllocations(long long after) {
    long long count = 0;
    AcquireSRWLockShared(&g_trackLock);
    for (const Header* header = g_tracked; header != nullptr; header = header->next) {
        if (header->sequence <= after) continue;
        ++count;
        std::printf("  live block %lld: %zu bytes, thread %lu, made at\n", header->sequence, header->size,
                    static_cast<unsigned long>(header->thread));
        for (USHORT i = 0; i < header->frameCount; ++i) PrintFrame(header->frames[i]);
    }
    ReleaseSRWLockShared(&g_trackLock);
    std::fflush(stdout);
    return count;
}

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
