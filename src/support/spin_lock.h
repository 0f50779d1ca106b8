// A lock for the short critical sections around the block pools that objects used on different
// threads share: uncontended it costs one atomic exchange.
#pragma once

#include <atomic>

namespace tessera::detail {

class SpinLock {
  public:
    void lock() noexcept {
        while (flag_.test_and_set(std::memory_order_acquire))
            while (flag_.test(std::memory_order_relaxed)) pause();
    }
    void unlock() noexcept { flag_.clear(std::memory_order_release); }

  private:
    static void pause() noexcept {
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
    }
    std::atomic_flag flag_ = ATOMIC_FLAG_INIT;
};

} // namespace tessera::detail
