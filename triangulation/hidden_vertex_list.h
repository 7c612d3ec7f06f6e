// The list of the vertices a face of the regular triangulation hides, held
// through one pointer and made only when a first vertex joins it: most faces
// hide none, and an empty std::list would take three words of every face,
// which the insertion walks. It offers the operations of std::list that the
// triangulation uses, with the same order of items.
#pragma once

#include <cstddef>
#include <list>
#include <memory>
#include <utility>

namespace orvo::detail {

template <class T>
class hidden_vertex_list {
    using list = std::list<T>;

public:
    using value_type = T;
    using iterator = typename list::iterator;
    using const_iterator = typename list::const_iterator;

    hidden_vertex_list() = default;
    hidden_vertex_list(const hidden_vertex_list& other) : items(copy_of(other)) {}
    hidden_vertex_list(hidden_vertex_list&&) noexcept = default;
    hidden_vertex_list& operator=(const hidden_vertex_list& other)
    {
        if (this != &other) items = copy_of(other);
        return *this;
    }
    hidden_vertex_list& operator=(hidden_vertex_list&&) noexcept = default;

    bool empty() const { return !items || items->empty(); }
    std::size_t size() const { return items ? items->size() : 0; }

    iterator begin() { return items ? items->begin() : none().begin(); }
    iterator end() { return items ? items->end() : none().end(); }
    const_iterator begin() const { return items ? items->cbegin() : none().cbegin(); }
    const_iterator end() const { return items ? items->cend() : none().cend(); }

    T& front() { return items->front(); }
    T& back() { return items->back(); }
    void push_back(const T& item) { made().push_back(item); }
    void pop_front() { items->pop_front(); }
    void pop_back() { items->pop_back(); }
    void remove(const T& item)
    {
        if (items) items->remove(item);
    }
    void clear() { items.reset(); }

    // Moves the items of `other` before `position`, an iterator of this
    // list. Into an empty list, the other's list itself moves over.
    void splice(iterator position, hidden_vertex_list& other)
    {
        if (other.empty()) return;
        if (empty())
            std::swap(items, other.items);
        else
            items->splice(position, *other.items);
    }

private:
    std::unique_ptr<list> items;  // null while the list has never held an item

    static std::unique_ptr<list> copy_of(const hidden_vertex_list& other)
    {
        return other.empty() ? nullptr : std::make_unique<list>(*other.items);
    }
    list& made()
    {
        if (!items) items = std::make_unique<list>();
        return *items;
    }
    // The empty list whose iterators an unmade list gives; never changed,
    // so threads may share it.
    static list& none()
    {
        static list empty;
        return empty;
    }
};

}  // namespace orvo::detail
