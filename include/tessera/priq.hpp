// tessera/priq.hpp - a priority queue with handles.
// Part of the C++ face; <tessera.hpp> includes every family.
#pragma once

#include <tessera/priq.h>

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

// ---- priority queue ----------------------------------------------------------------------------

// A priority queue of values of T; top() is the least element under Compare (a default-
// constructible strict weak order; with std::less, the smallest). push() gives a handle that
// stays valid while its element moves in the queue and can erase it.
template <class T, class Compare = std::less<T>> class priority_queue {
    static_assert(std::is_empty_v<Compare> && std::is_default_constructible_v<Compare>,
                  "the library calls a plain function: Compare must be a stateless function object");

  public:
    class handle {
      public:
        handle() = default;
        const T &value() const { return *static_cast<const T *>(pqGet(n_)); }

      private:
        friend class priority_queue;
        explicit handle(_PriQNode *n) : n_(n) {}
        _PriQNode *n_ = nullptr;
    };

    priority_queue() : q_(pqNew(&greater)) {
#if TESSERA_HPP_THROWS
        if (!q_) throw std::bad_alloc();
#endif
    }
    priority_queue(priority_queue &&o) noexcept : q_(std::exchange(o.q_, NULLPRIQ)) {}
    priority_queue &operator=(priority_queue &&o) noexcept {
        if (this != &o) {
            clear_and_free();
            q_ = std::exchange(o.q_, NULLPRIQ);
        }
        return *this;
    }
    ~priority_queue() { clear_and_free(); }

    std::size_t size() const { return q_ ? static_cast<std::size_t>(pqLen(q_)) : 0; }
    bool empty() const { return size() == 0; }

    // Adds a copy of value; nothing when memory runs out.
    std::optional<handle> try_push(T value) {
        T *held = new (std::nothrow) T(std::move(value));
        if (!held) return std::nullopt;
        _PriQNode *n = q_ ? pqAdd(q_, held) : NULLPRIQNODE;
        if (!n) {
            delete held;
            return std::nullopt;
        }
        return handle(n);
    }
#if TESSERA_HPP_THROWS
    handle push(T value) {
        std::optional<handle> h = try_push(std::move(value));
        if (!h) throw std::bad_alloc();
        return *h;
    }
    const T &top() const {
        detail::require_inside(!empty(), "tessera::priority_queue::top: the queue is empty");
        return *static_cast<const T *>(pqGet(pqFirst(q_)));
    }
    void pop() {
        detail::require_inside(!empty(), "tessera::priority_queue::pop: the queue is empty");
        erase_node(pqFirst(q_));
    }
    // Removes the element of h, wherever it is now; h is spent.
    void erase(handle &h) {
        detail::require(h.n_ && h.n_->queue == q_, "tessera::priority_queue::erase: a handle of another queue");
        erase_node(std::exchange(h.n_, nullptr));
    }
#endif

  private:
    static bool greater(void *a, void *b) { return Compare{}(*static_cast<T *>(b), *static_cast<T *>(a)); }
    void erase_node(_PriQNode *n) {
        T *held = static_cast<T *>(pqGet(n));
        pqRem(n);
        delete held;
    }
    void clear_and_free() {
        if (!q_) return;
        while (pqLen(q_)) erase_node(pqFirst(q_));
        pqFree(q_);
        q_ = NULLPRIQ;
    }
    PriQ q_;
};

} // namespace tessera
