// AllocationCounter.cpp - counting replacements of the global operator new
// and delete.  Each block carries its size in a header of 16 bytes, so
// that alignment stays that of malloc.

#include "AllocationCounter.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

std::atomic<long long> g_blocks(0);
std::atomic<long long> g_bytes(0);

const size_t kHeader = 16;

void* Allocate(size_t size)
{
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

}  // namespace

AllocationFigures LiveAllocations()
{
    return AllocationFigures{g_blocks.load(), g_bytes.load()};
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
