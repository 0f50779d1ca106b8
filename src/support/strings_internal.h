// String operations the library uses internally, beside the exported string family.
#pragma once

#include <tessera/adt_strings.h>

#include <cstddef>

namespace tessera::detail {

// Appends n bytes to s, whose text the caller knows to be len characters long, growing the
// buffer geometrically. False, with s unchanged, when memory runs out or the text would not fit
// the 32-bit capacity. Lets readers that keep their own running length append in O(n).
bool str_append(adtStringHeader *s, std::size_t len, const char *bytes, std::size_t n);

} // namespace tessera::detail
