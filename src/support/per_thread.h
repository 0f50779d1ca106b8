// Per-thread state of the library's modules (the tokenizer's buffers, the point-list reader's,
// the count image of colour rendering). Each thread gets its own, made on first use from the
// heap (so a thread that never uses a module costs nothing, and no allocation is made that a
// failure could not be reported for), given back when the thread ends, and given back at unload
// for the threads still running then (the main thread among them).
#pragma once

#include <new>

#include "alloc.h"

namespace tessera::detail {

struct ThreadState {
    ThreadState() = default;
    ThreadState(const ThreadState &) = delete;
    ThreadState &operator=(const ThreadState &) = delete;
    // Gives back what the state holds.
    virtual void release() noexcept = 0;

    // Kept by per_thread.cpp: the list of live states, the owning thread's pointer to this
    // one, and how to end it.
    ThreadState *prev = nullptr, *next = nullptr;
    ThreadState **slot = nullptr;
    void (*destroy)(ThreadState *) = nullptr;

  protected:
    ~ThreadState() = default;
};

// Links a new state into the list of live states and arranges for its release when its thread
// ends (key is the module's thread key).
void adopt(ThreadState *state, ThreadState **slot, int key) noexcept;

// A thread key for one kind of state; made once per process.
int new_thread_key() noexcept;

// Gives back every live state and the memory it lives in; run at unload.
void release_thread_states() noexcept;

// This thread's T, made on first use; null when memory runs out.
template <class T> T *this_thread() noexcept {
    static const int key = new_thread_key();
    thread_local ThreadState *state = nullptr;
    if (state) return static_cast<T *>(state);
    void *memory = mem_alloc(sizeof(T));
    if (!memory) return nullptr;
    T *made = new (memory) T();
    made->destroy = [](ThreadState *s) {
        static_cast<T *>(s)->~T();
        mem_free(s);
    };
    adopt(made, &state, key);
    return made;
}

} // namespace tessera::detail
