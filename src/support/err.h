// The kinds of failure a reason tells of, shared by the core and the io library.
#pragma once

#include <tessera/error.h>

// In a namespace of its own, so that a call fail(Err::...) finds the fail of the library it is
// written in, not the core's by argument-dependent lookup.
namespace tessera::detail::kinds {

// What kind of failure a reason tells of; the values are the C API's tessera_error_code.
enum class Err : int {
    memory = TESSERA_ERROR_MEMORY,
    file = TESSERA_ERROR_FILE,
    format = TESSERA_ERROR_FORMAT,
    limit = TESSERA_ERROR_LIMIT,
    argument = TESSERA_ERROR_ARGUMENT,
    unsupported = TESSERA_ERROR_UNSUPPORTED,
};

} // namespace tessera::detail::kinds

namespace tessera::detail {
using kinds::Err;
} // namespace tessera::detail
