// tessera/error.hpp - the C++ face's errors and the owner of one C record.
// Part of the C++ face; <tessera.hpp> includes every family.
#pragma once

#include <tessera/error.h>

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

#if defined(__cpp_exceptions)
#include <stdexcept>
#define TESSERA_HPP_THROWS 1
#else
#define TESSERA_HPP_THROWS 0
#endif

namespace tessera {

// ---- errors ------------------------------------------------------------------------------------

#if TESSERA_HPP_THROWS
// A failure the library reported, with its reason.
class error : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};
#endif

namespace detail {

#if TESSERA_HPP_THROWS
// Throws what the C layer's last failure on this thread calls for.
[[noreturn]] inline void raise(const char *doing) {
    const char *why = tessera_last_error();
    if (tessera_reason_is_memory(why)) throw std::bad_alloc();
    throw error(std::string(doing) + ": " + why);
}
inline void require(bool ok, const char *what) {
    if (!ok) throw std::invalid_argument(what);
}
inline void require_inside(bool ok, const char *what) {
    if (!ok) throw std::out_of_range(what);
}
#endif

// Owns one C record through its release call.
template <class T, void (*Release)(T *)> class owner {
  public:
    owner() = default;
    explicit owner(T *p) noexcept : p_(p) {}
    owner(owner &&o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    owner &operator=(owner &&o) noexcept {
        if (this != &o) reset(std::exchange(o.p_, nullptr));
        return *this;
    }
    ~owner() { reset(); }
    T *get() const noexcept { return p_; }
    T *operator->() const noexcept { return p_; }
    T *release() noexcept { return std::exchange(p_, nullptr); }
    void reset(T *p = nullptr) noexcept {
        if (p_) Release(p_);
        p_ = p;
    }
    explicit operator bool() const noexcept { return p_ != nullptr; }

  private:
    T *p_ = nullptr;
};

} // namespace detail

} // namespace tessera
