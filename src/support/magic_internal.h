// Tokenizer pieces the file formats use but clients do not see.
#pragma once

#include <tessera/adt_strings.h>

namespace tessera::detail {

// A new copy of the comment text collected since the last magicStart, or null.
adtStringHeader *magicComment();

// Releases the tokenizer's module-level strings; run once when the library is unloaded.
void release_magic_state();

} // namespace tessera::detail
