// What the library's own users of chunks may do beyond the public functions.
#pragma once

#include <tessera/chunk.h>

#include <cstddef>

namespace tessera::detail {

// The number of blocks c has obtained (free or in use).
std::size_t chunk_blocks(Chunk c);

// Threads every block of c onto its free list in address order, region after region, so that
// the next allocations come out side by side; the block freed last stays at the head, so it is
// still the next one handed out. Only for a chunk none of whose blocks is in use.
void chunk_relink(Chunk c);

} // namespace tessera::detail
