#pragma once

#include <cstddef>
#include <cstdlib>
#include <new>
#include <vector>

#if __has_include(<sys/mman.h>)
#include <sys/mman.h>
#endif

namespace Warden {

// An allocator for the Event Log's arrays of a million rows. The first touch of each 4 KiB page of a
// fresh block costs the kernel a page fault: for tens of megabytes that took longer than the sort or
// filter that filled them. Blocks of a few megabytes and more are aligned to 2 MiB and offered to the
// kernel for huge pages, one fault each; where it has none to give, they behave as any other block.
template <class T> class BigBlocks {
public:
    using value_type = T;

    BigBlocks() = default;
    template <class U> BigBlocks(const BigBlocks<U>&) noexcept {} // NOLINT(google-explicit-constructor)

    T* allocate(std::size_t count) {
        const std::size_t bytes = count * sizeof(T);
        if (bytes < hugePage)
            return static_cast<T*>(::operator new(bytes));
        const std::size_t rounded = (bytes + hugePage - 1) / hugePage * hugePage;
        void* block = std::aligned_alloc(hugePage, rounded);
        if (!block)
            throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
        ::madvise(block, rounded, MADV_HUGEPAGE);
#endif
        return static_cast<T*>(block);
    }

    void deallocate(T* block, std::size_t count) noexcept {
        if (count * sizeof(T) < hugePage)
            ::operator delete(block);
        else
            std::free(block);
    }

    template <class U> bool operator==(const BigBlocks<U>&) const noexcept {
        return true;
    }

private:
    static constexpr std::size_t hugePage = std::size_t(2) << 20;
};

template <class T> using BigVector = std::vector<T, BigBlocks<T>>;

} // namespace Warden
