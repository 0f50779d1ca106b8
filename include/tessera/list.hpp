// tessera/list.hpp - doubly linked lists of owned or borrowed values.
// Part of the C++ face; <tessera.hpp> includes every family.
#pragma once

#include <tessera/list.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <limits>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "error.hpp"

namespace tessera {

// ---- list --------------------------------------------------------------------------------------

// A doubly linked list of T * (not owned), whose nodes are the library's. OnRemove, when given,
// is a default-constructible callable run with each element as its node is removed or the list
// destroyed (std::default_delete<T> makes the list own its elements).
template <class T, class OnRemove = void> class list {
  public:
    list() : l_(liNew()) {
#if TESSERA_HPP_THROWS
        if (!l_) throw std::bad_alloc();
#endif
        if constexpr (!std::is_void_v<OnRemove>)
            if (l_) liSetRemHook(l_, [](void *data) { OnRemove{}(static_cast<T *>(data)); });
    }
    list(list &&o) noexcept : l_(std::exchange(o.l_, NULLLIST)) {}
    list &operator=(list &&o) noexcept {
        if (this != &o) {
            if (l_) liFree(l_);
            l_ = std::exchange(o.l_, NULLLIST);
        }
        return *this;
    }
    ~list() {
        if (l_) liFree(l_);
    }

    class iterator {
      public:
        using value_type = T *;
        using difference_type = std::ptrdiff_t;
        iterator() = default;
        explicit iterator(_ListNode *n) : n_(n) {}
        T *operator*() const { return static_cast<T *>(liGet(n_)); }
        iterator &operator++() {
            n_ = liNext(n_);
            return *this;
        }
        iterator operator++(int) {
            iterator before = *this;
            ++*this;
            return before;
        }
        bool operator==(const iterator &) const = default;
        _ListNode *node() const { return n_; }

      private:
        _ListNode *n_ = nullptr;
    };

    iterator begin() const { return iterator(l_ ? liFirst(l_) : nullptr); }
    iterator end() const { return iterator(); }
    std::size_t size() const { return l_ ? static_cast<std::size_t>(liLen(l_)) : 0; }
    bool empty() const { return size() == 0; }

    // Appends; false (element not added, still the caller's) when memory runs out.
    bool try_push_back(T *element) noexcept { return l_ && liAdd(l_, element) != NULLLISTNODE; }
#if TESSERA_HPP_THROWS
    void push_back(T *element) {
        if (!try_push_back(element)) throw std::bad_alloc();
    }
    // Removes the element at it (running OnRemove); the iterator after it.
    iterator erase(iterator it) {
        detail::require(it.node() && it.node()->owner == l_, "tessera::list::erase: the iterator is not of this list");
        return iterator(liRemAndNext(it.node()));
    }
#endif

  private:
    List l_;
};

} // namespace tessera
