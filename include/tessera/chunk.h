/* tessera/chunk.h - fixed-size block allocator.
 * Blocks come from regions of 1000 blocks and go back to the heap only with chNuke. */
#ifndef TESSERA_CHUNK_H
#define TESSERA_CHUNK_H

#include <stdint.h>

#include "export.h"

TESSERA_BEGIN_DECLS

typedef struct ChunkRegion {
    void *mem;                /* 1000 blocks laid end to end */
    struct ChunkRegion *next; /* the region obtained after this one */
} ChunkRegion;

typedef struct ChunkStruct {
    void *freeList;       /* first free block; each free block links to the next */
    uint32_t blockSize;   /* bytes per block: a multiple of the pointer size */
    ChunkRegion *regions; /* regions in the order they were obtained */
} ChunkStruct;

typedef ChunkStruct *Chunk;

#define NULLCHUNK ((Chunk)0)

/* New empty chunk whose blocks hold size bytes (rounded up to a multiple of the pointer size,
 * at least one pointer); NULLCHUNK when memory runs out. Release with chNuke. */
TESSERA_API Chunk chNew(uint32_t size);
/* A block of blockSize bytes (not cleared), or null when memory runs out. */
TESSERA_API void *chAlloc(Chunk c);
/* Gives a block back to the chunk it came from. */
TESSERA_API void chFree(Chunk c, void *p);
/* Releases every region and the chunk; every block becomes invalid. Null does nothing. */
TESSERA_API void chNuke(Chunk c);

/* Inline fast paths: a block from the free list, or one given back to it, without a call into
 * the library; anything else (a refill, a broken contract) goes to the functions above, which
 * behave as before. The function-like macros leave &chAlloc and (chAlloc)(c) as the functions.
 * Define TESSERA_CHUNK_NO_INLINE before including this header to call the functions always. */
#if !defined(TESSERA_CHUNK_NO_INLINE)
static inline void *tessera_chunk_alloc(Chunk c) {
    void *block;
    if (c && (block = c->freeList) != 0) {
        c->freeList = *(void **)block;
        return block;
    }
    return (chAlloc)(c);
}
static inline void tessera_chunk_free(Chunk c, void *p) {
    if (c && p) {
        *(void **)p = c->freeList;
        c->freeList = p;
        return;
    }
    (chFree)(c, p);
}
#define chAlloc(c) tessera_chunk_alloc(c)
#define chFree(c, p) tessera_chunk_free((c), (p))
#endif

TESSERA_END_DECLS

#endif
