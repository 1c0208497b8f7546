// The library's heap. Every allocation the library makes goes through these functions (its
// standard containers through Allocator), and so do the platform objects its creating
// operations make, so that a test can make the Nth of them fail and check that the operation
// answers its error code and leaves nothing behind. Blocks come from the C runtime's heap: the
// application may release a list element's data copy with free().
//
// The seam costs one relaxed atomic load per allocation while no failure is planned.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <utility>

#include "kerval/platform/platform.h"

namespace kerval::core {

namespace alloc_detail {
extern std::atomic<int32_t> g_planned;  // threads that have a failure planned
bool RefusedHere();                     // the calling thread's plan
}  // namespace alloc_detail

// True when the seam makes the allocation or creation at hand fail.
inline bool AllocationRefused()
{
    return alloc_detail::g_planned.load(std::memory_order_relaxed) != 0 &&
           alloc_detail::RefusedHere();
}

// Runs a call into the C runtime's heap as a lock region: a task is never ended or parked while
// it holds the heap's lock, which would otherwise stay held for ever (an ending thread then waits
// on it itself as it hands its cached blocks back).
template <class HeapCall>
auto OnHeap(HeapCall call)
{
    platform::RegionGuard region;
    return call();
}

// malloc, calloc, realloc and free; null when memory runs out. A failed Realloc leaves the block.
inline void* Alloc(size_t size)
{
    return AllocationRefused() ? nullptr : OnHeap([&] { return std::malloc(size); });
}
inline void* Calloc(size_t count, size_t size)
{
    return AllocationRefused() ? nullptr : OnHeap([&] { return std::calloc(count, size); });
}
inline void* Realloc(void* block, size_t size)
{
    return AllocationRefused() ? nullptr : OnHeap([&] { return std::realloc(block, size); });
}
inline void Free(void* block)
{
    OnHeap([&] { std::free(block); });
}

// Alloc for blocks of one size, served from `spare` when it holds one (a block of that size
// given back by FreeOrKeep).
inline void* AllocOrReuse(std::atomic<void*>& spare, size_t size)
{
    if (AllocationRefused())
        return nullptr;
    void* block = spare.exchange(nullptr, std::memory_order_acquire);
    return block != nullptr ? block : OnHeap([&] { return std::malloc(size); });
}
// Free, keeping the block in `spare` when that is empty.
inline void FreeOrKeep(std::atomic<void*>& spare, void* block)
{
    void* empty = nullptr;
    if (!spare.compare_exchange_strong(empty, block, std::memory_order_release))
        Free(block);
}

// One T built in a block of its own; null when memory runs out.
template <class T, class... Args>
T* New(Args&&... args)
{
    void* block = Alloc(sizeof(T));
    return block == nullptr ? nullptr : ::new (block) T(std::forward<Args>(args)...);
}

template <class T>
void Delete(T* object)
{
    if (object == nullptr)
        return;
    object->~T();
    Free(object);
}

// count value-initialised Ts (types whose construction cannot throw); null when memory runs out.
// Such arrays live as long as the descriptor they serve and are never released.
template <class T>
T* NewArray(size_t count)
{
    if (count > SIZE_MAX / sizeof(T))
        return nullptr;
    auto* items = static_cast<T*>(Alloc(count == 0 ? 1 : count * sizeof(T)));
    for (size_t i = 0; items != nullptr && i < count; ++i)
        ::new (static_cast<void*>(items + i)) T();
    return items;
}

// A block of a trivially destructible T, released with Free.
struct FreeBlock {
    void operator()(void* block) const { Free(block); }
};
template <class T>
using Block = std::unique_ptr<T, FreeBlock>;

// Allocator of the standard containers the library grows; throws std::bad_alloc on failure,
// which the growing code turns into its error code with Grown.
template <class T>
struct Allocator {
    using value_type = T;
    Allocator() = default;
    template <class U>
    Allocator(const Allocator<U>&) noexcept  // NOLINT(google-explicit-constructor)
    {
    }
    T* allocate(size_t count)
    {
        // T may itself be a pointer: its size is the size of the stored element.
        // NOLINTNEXTLINE(bugprone-sizeof-expression)
        void* block = count > SIZE_MAX / sizeof(T) ? nullptr : Alloc(count * sizeof(T));
        if (block == nullptr)
            throw std::bad_alloc();
        return static_cast<T*>(block);
    }
    void deallocate(T* block, size_t) noexcept { Free(block); }
    template <class U>
    bool operator==(const Allocator<U>&) const noexcept
    {
        return true;
    }
};

// Runs grow, which may grow containers that use Allocator; false when memory ran out (the
// containers keep what they held before, as the standard containers guarantee).
template <class Grow>
bool Grown(Grow grow)
{
    try {
        grow();
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

// Platform objects and streams of the creating operations, refused by the seam like an
// allocation (the refusal sets the last error to "not enough memory").
platform::Semaphore* NewSemaphore(long initial, long maximum);
platform::Thread* NewThread(platform::ThreadFn fn, void* arg, size_t stack_size);
std::FILE* OpenStream(const char* path, const char* mode);

// Test seam: the calling thread's nth allocation or creation from now fails (1: the next one);
// with every_after, every later one fails too. 0 cancels the plan. Other threads are not
// affected, so the library's service tasks never consume the count.
void PlanAllocationFailure(uint32_t nth, bool every_after = false);
// The planned failure happened since the plan was made.
bool PlannedFailureHappened();

}  // namespace kerval::core
