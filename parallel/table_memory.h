// Memory for large tables that threads fill: left without values, so that
// their pages are first touched (and so mapped) by the threads that write
// them, and taken on pages of 2 MB where the system offers them.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <limits>
#include <memory>
#include <new>
#include <utility>
#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace orvo::detail {

#if defined(__linux__)
// Tables from this size on take pages of 2 MB (a multiple of them, aligned).
constexpr std::size_t HUGE_PAGE = std::size_t(2) << 20;
constexpr std::size_t LARGE_TABLE = 2 * HUGE_PAGE;

inline std::size_t whole_huge_pages(std::size_t bytes)
{
    return (bytes + HUGE_PAGE - 1) / HUGE_PAGE * HUGE_PAGE;
}
#endif

// Memory for a large table: above a few megabytes, on pages of 2 MB where
// the system offers them (one fault maps 512 small pages' worth, and the
// table's random reads miss the address caches less). Throws
// std::bad_alloc when there is none.
inline void* allocate_table(std::size_t bytes)
{
#if defined(__linux__)
    if (bytes >= LARGE_TABLE) {
        void* table = std::aligned_alloc(HUGE_PAGE, whole_huge_pages(bytes));
        if (!table) throw std::bad_alloc();
        madvise(table, whole_huge_pages(bytes), MADV_HUGEPAGE);  // a hint: without it, small pages
        return table;
    }
#endif
    return ::operator new(bytes);
}

inline void free_table(void* table, std::size_t bytes)
{
#if defined(__linux__)
    if (bytes >= LARGE_TABLE) return std::free(table);
#else
    static_cast<void>(bytes);
#endif
    ::operator delete(table);
}

// An allocator whose containers leave the elements they make without a
// value, for tables written whole before they are read: their pages are
// then first touched, and so mapped, by the threads that fill them rather
// than by the one that sizes them. Large tables take allocate_table's pages.
template <class T>
struct uninitialised_allocator : std::allocator<T> {
    template <class U>
    struct rebind {
        using other = uninitialised_allocator<U>;
    };
    uninitialised_allocator() = default;
    template <class U>
    uninitialised_allocator(const uninitialised_allocator<U>&) noexcept
    {
    }
    template <class U>
    void construct(U*) noexcept
    {
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args)
    {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
    T* allocate(std::size_t n)
    {
        if (n > std::numeric_limits<std::size_t>::max() / sizeof(T)) throw std::bad_array_new_length();
        return static_cast<T*>(allocate_table(n * sizeof(T)));
    }
    void deallocate(T* p, std::size_t n) noexcept { free_table(p, n * sizeof(T)); }
};

}  // namespace orvo::detail
