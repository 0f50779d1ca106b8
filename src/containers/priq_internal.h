// Priority-queue internals the tests reach: the shared chunks and the element exchange.
#pragma once

#include <tessera/chunk.h>
#include <tessera/priq.h>

namespace tessera::detail {

extern Chunk pqnChunk;  // handles of every queue
extern Chunk pqinChunk; // tree nodes of every queue

// Exchanges the elements (and their handles) of two tree nodes; the tree links stay.
void swap(_PriQIntNode *pqin1, _PriQIntNode *pqin2);

} // namespace tessera::detail
