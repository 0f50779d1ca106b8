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

// What kind of failure the library reported: the C API's tessera_error_code.
enum class failure : int {
    none = TESSERA_ERROR_NONE,
    memory = TESSERA_ERROR_MEMORY,
    file = TESSERA_ERROR_FILE,
    format = TESSERA_ERROR_FORMAT,
    limit = TESSERA_ERROR_LIMIT,
    argument = TESSERA_ERROR_ARGUMENT,
    unsupported = TESSERA_ERROR_UNSUPPORTED,
};

#if TESSERA_HPP_THROWS
// A failure the library reported, with its reason and its kind.
class error : public std::runtime_error {
  public:
    explicit error(const std::string &what, failure kind = failure::none) : std::runtime_error(what), kind_(kind) {}
    failure kind() const noexcept { return kind_; }

  private:
    failure kind_;
};

// A file that could not be read or written: its path (empty for a stream), the library's
// reason, its kind (failure::file for a system call, failure::format for a damaged file...),
// and the system's error code when a system call failed (else no error).
class file_error : public error {
  public:
    file_error(const std::string &doing, std::filesystem::path path, std::string reason, int code,
               failure kind = failure::file)
        : error((doing.empty() ? "" : doing + ": ") + (path.empty() ? "" : path.string() + ": ") + reason, kind),
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
// Throws what the C layer's last failure on this thread calls for, by its code: exhausted
// memory is std::bad_alloc (out_of_memory), every other failure an error of its kind.
[[noreturn]] inline void raise(const char *doing) {
    const std::string what = std::string(doing) + ": " + tessera_last_error();
    const int code = tessera_last_error_code();
    if (code == TESSERA_ERROR_MEMORY) throw out_of_memory(what);
    throw error(what, static_cast<failure>(code));
}
// Throws what a failure of the library on a file calls for: why and code are the library's
// reason and its code, saved the errno the failing call left (kept for a system call's failure).
[[noreturn]] inline void raise_file(const std::string &doing, const std::filesystem::path &path, const char *why,
                                    int code, int saved) {
    if (code == TESSERA_ERROR_MEMORY)
        throw out_of_memory(doing + ": " + (path.empty() ? "" : path.string() + ": ") + why);
    throw file_error(doing, path, why, code == TESSERA_ERROR_FILE ? saved : 0, static_cast<failure>(code));
}
// The same for the C layer's own last failure.
[[noreturn]] inline void raise_file(const std::string &doing, const std::filesystem::path &path, int saved) {
    raise_file(doing, path, tessera_last_error(), tessera_last_error_code(), saved);
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
