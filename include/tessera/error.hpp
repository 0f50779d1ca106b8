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
#include <system_error>
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

// A file that could not be read or written: its path (empty for a stream), the library's
// reason, and the system's error code when a system call failed (else no error).
class file_error : public error {
  public:
    file_error(const std::string &doing, std::filesystem::path path, std::string reason, int code)
        : error((doing.empty() ? "" : doing + ": ") + (path.empty() ? "" : path.string() + ": ") + reason),
          path_(std::move(path)), reason_(std::move(reason)), code_(code, std::generic_category()) {}
    const std::filesystem::path &path() const noexcept { return path_; }
    const std::string &reason() const noexcept { return reason_; }
    std::error_code code() const noexcept { return code_; }

  private:
    std::filesystem::path path_;
    std::string reason_;
    std::error_code code_;
};

// Exhausted memory, with the library's reason: a std::bad_alloc whose what() says what did
// not fit.
class out_of_memory : public std::bad_alloc {
  public:
    explicit out_of_memory(std::string what) : what_(std::move(what)) {}
    const char *what() const noexcept override { return what_.c_str(); }

  private:
    std::string what_;
};
#endif

namespace detail {

#if TESSERA_HPP_THROWS
// Throws what the C layer's last failure on this thread calls for.
// This is the one rule by which a failure is exhausted memory (std::bad_alloc) or an error.
[[noreturn]] inline void raise(const char *doing) {
    const char *why = tessera_last_error();
    if (tessera_reason_is_memory(why)) throw out_of_memory(std::string(doing) + ": " + why);
    throw error(std::string(doing) + ": " + why);
}
// Throws what a failure of the library on a file calls for: the reason is why, the system's
// error saved the one the failing call left (kept only when the reason is a system call's,
// which the library words as "cannot ...").
[[noreturn]] inline void raise_file(const std::string &doing, const std::filesystem::path &path, const char *why,
                                    int saved) {
    if (tessera_reason_is_memory(why))
        throw out_of_memory(doing + ": " + (path.empty() ? "" : path.string() + ": ") + why);
    throw file_error(doing, path, why, std::strncmp(why, "cannot ", 7) == 0 ? saved : 0);
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
