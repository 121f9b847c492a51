#pragma once

#include <windows.h>

#include <cstddef>
#include <new>

// Takes memory for a container from VirtualAlloc, so that it begins on a page boundary as storage drivers
// prefer for the buffers they transfer. A failed allocation throws std::bad_alloc like any allocator.
template <typename T> class VirtualAllocator {
public:
    using value_type = T;

    VirtualAllocator() = default;
    // cppcheck-suppress noExplicitConstructor ; containers convert a rebound allocator implicitly
    template <typename U> VirtualAllocator(const VirtualAllocator<U>&) noexcept {}

    T* allocate(std::size_t count) {
        if (count > static_cast<std::size_t>(-1) / sizeof(T)) {
            throw std::bad_alloc();
        }
        void* memory = VirtualAlloc(nullptr, count * sizeof(T), MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
        if (memory == nullptr) {
            throw std::bad_alloc();
        }
        return static_cast<T*>(memory);
    }

    void deallocate(T* memory, std::size_t) noexcept { VirtualFree(memory, 0, MEM_RELEASE); }

    template <typename U> bool operator==(const VirtualAllocator<U>&) const noexcept { return true; }
    template <typename U> bool operator!=(const VirtualAllocator<U>&) const noexcept { return false; }
};
