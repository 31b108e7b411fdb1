#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <vector>

#if __has_include(<sys/mman.h>)
#include <sys/mman.h>
#endif

namespace Warden {

// An allocator for the Event Log's arrays of a million rows. The first touch of each 4 KiB page of a
// fresh block costs the kernel a page fault: for tens of megabytes that took longer than the sort or
// filter that filled them. Blocks of 2 MiB and more are aligned to 2 MiB and offered to the kernel for
// huge pages, one fault each; where it has none to give, they behave as any other block.
template <class T> class BigBlocks {
public:
    using value_type = T;

    BigBlocks() = default;
    template <class U> BigBlocks(const BigBlocks<U>&) noexcept {} // NOLINT(google-explicit-constructor)

    T* allocate(std::size_t count) {
        if (count > std::size_t(-1) / sizeof(T))
            throw std::bad_alloc();
        const std::size_t bytes = count * sizeof(T);
#ifdef MADV_HUGEPAGE
        if (bytes >= hugePage)
            return static_cast<T*>(mapHuge(bytes));
#endif
        return static_cast<T*>(::operator new(bytes));
    }

    void deallocate(T* block, std::size_t count) noexcept {
#ifdef MADV_HUGEPAGE
        if (count * sizeof(T) >= hugePage) {
            ::munmap(block, rounded(count * sizeof(T)));
            return;
        }
#endif
        ::operator delete(block);
    }

    template <class U> bool operator==(const BigBlocks<U>&) const noexcept {
        return true;
    }

private:
    static constexpr std::size_t hugePage = std::size_t(2) << 20;

    static std::size_t rounded(std::size_t bytes) {
        return (bytes + hugePage - 1) / hugePage * hugePage;
    }

#ifdef MADV_HUGEPAGE
    // Mapped directly rather than through malloc, which may hand out parts of its heap already
    // touched as small pages; the ends beyond the 2 MiB boundaries go back at once.
    static void* mapHuge(std::size_t bytes) {
        const std::size_t size = rounded(bytes);
        void* mapped =
            ::mmap(nullptr, size + hugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mapped == MAP_FAILED)
            throw std::bad_alloc();
        char* const start = static_cast<char*>(mapped);
        const std::size_t head = (hugePage - reinterpret_cast<std::uintptr_t>(start) % hugePage) % hugePage;
        if (head)
            ::munmap(start, head);
        ::munmap(start + head + size, hugePage - head);
        char* const aligned = start + head;
        ::madvise(aligned, size, MADV_HUGEPAGE);
        return aligned;
    }
#endif
};

template <class T> using BigVector = std::vector<T, BigBlocks<T>>;

} // namespace Warden
