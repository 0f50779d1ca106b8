// The list of live per-thread states: a thread that ends gives its own back (through a thread
// key's destructor, which unlike a C++ thread_local destructor needs no allocation to register),
// and unload gives back those of the threads still running.
#include "per_thread.h"

#include <pthread.h>

#include <mutex>

#include "unload.h"

namespace tessera::detail {

namespace {

std::mutex states_lock;
ThreadState *states = nullptr; // the most recently made first

[[maybe_unused]] const bool released_at_unload = (at_unload(release_thread_states), true);

void unlink(ThreadState *s) {
    if (s->prev) s->prev->next = s->next;
    else states = s->next;
    if (s->next) s->next->prev = s->prev;
}

// Runs when a thread with a state ends (the key's destructor).
void destroy_state(void *p) noexcept {
    auto *s = static_cast<ThreadState *>(p);
    {
        const std::lock_guard<std::mutex> hold(states_lock);
        unlink(s);
    }
    s->release();
    *s->slot = nullptr;
    s->destroy(s);
}

} // namespace

int new_thread_key() noexcept {
    pthread_key_t key;
    // Without a key the states of ending threads are given back at unload only.
    return pthread_key_create(&key, destroy_state) == 0 ? static_cast<int>(key) : -1;
}

void adopt(ThreadState *state, ThreadState **slot, int key) noexcept {
    state->slot = slot;
    *slot = state;
    {
        const std::lock_guard<std::mutex> hold(states_lock);
        state->next = states;
        if (states) states->prev = state;
        states = state;
    }
    if (key >= 0) pthread_setspecific(static_cast<pthread_key_t>(key), state);
}

void release_thread_states() noexcept {
    const std::lock_guard<std::mutex> hold(states_lock);
    while (ThreadState *s = states) {
        states = s->next;
        s->release();
        *s->slot = nullptr;
        s->destroy(s);
    }
}

} // namespace tessera::detail
