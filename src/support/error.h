// The reason for the latest failure on this thread, read by tessera_last_error().
#pragma once

#include <cstddef>

#include "err.h"

namespace tessera::detail {

// Sets this thread's reason and its code, printf style. Always returns false, so that a failing
// path can read "return fail(...)" where it returns false.
bool fail(Err code, const char *format, ...) noexcept __attribute__((format(printf, 2, 3)));

// Puts context before this thread's current reason, keeping its code: "<context>: <reason>".
// Returns false.
bool fail_in(const char *context) noexcept;

// Sets the reason for an allocation of bytes bytes that failed (Err::memory); what names what
// it was for.
void fail_memory(std::size_t bytes, const char *what = nullptr) noexcept;

// Sets the reason for a failed system call on name: "<doing> 'name': <strerror(errno)>", code
// Err::file.
void fail_system(const char *doing, const char *name) noexcept;

} // namespace tessera::detail
