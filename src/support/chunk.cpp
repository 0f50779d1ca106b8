// Chunks: fixed-size blocks carved from regions of 1000 blocks, recycled through a free list
// threaded through the free blocks themselves.
// This file defines the functions the header's inline paths fall back to.
#define TESSERA_CHUNK_NO_INLINE
#include <tessera/chunk.h>

#include <cstddef>
#include <cstdint>

#include "alloc.h"
#include "check.h"
#include "chunk_internal.h"

using tessera::detail::mem_alloc;
using tessera::detail::mem_free;

namespace {

constexpr std::size_t blocks_per_region = 1000;
// Every free block stores the address of the next one in its first word.
constexpr uint32_t link_size = sizeof(void *);

static_assert(offsetof(ChunkStruct, freeList) == 0);
static_assert(offsetof(ChunkRegion, mem) == 0 && offsetof(ChunkRegion, next) == sizeof(void *));

void *&link_of(void *block) { return *static_cast<void **>(block); }

// Region records are allocated with room for one more pointer: the first region of a chunk
// keeps the chain's tail there, so appending a region does not walk the chain.
struct RegionRecord {
    ChunkRegion region;
    ChunkRegion *tail;
};

void append_region(Chunk c, RegionRecord *r) {
    if (!c->regions) {
        c->regions = &r->region;
    } else {
        auto *head = reinterpret_cast<RegionRecord *>(c->regions);
        head->tail->next = &r->region;
    }
    reinterpret_cast<RegionRecord *>(c->regions)->tail = &r->region;
}

// Obtains a region, threads its blocks 2 to 1000 onto the free list and returns block 1.
// Kept out of line so that the free-list pop in chAlloc needs no stack frame.
[[gnu::noinline]] void *refill(Chunk c) {
    const std::size_t bs = c->blockSize;
    auto *mem = static_cast<char *>(mem_alloc(blocks_per_region * bs));
    if (!mem) return nullptr;
    auto *record = tessera::detail::alloc_record<RegionRecord>();
    if (!record) {
        mem_free(mem);
        return nullptr;
    }
    record->region.mem = mem;
    record->region.next = nullptr;
    append_region(c, record);
    for (std::size_t i = 1; i + 1 < blocks_per_region; ++i) link_of(mem + i * bs) = mem + (i + 1) * bs;
    link_of(mem + (blocks_per_region - 1) * bs) = nullptr;
    c->freeList = mem + bs;
    return mem;
}

} // namespace

namespace tessera::detail {

std::size_t chunk_blocks(Chunk c) {
    std::size_t n = 0;
    for (ChunkRegion *r = c ? c->regions : nullptr; r; r = r->next) n += blocks_per_region;
    return n;
}

void chunk_relink(Chunk c) {
    if (c == NULLCHUNK || c->freeList == nullptr) return;
    const std::size_t bs = c->blockSize;
    // The block freed last stays first, so that it is still the next one handed out.
    void *const last_freed = c->freeList;
    void **tail = &link_of(last_freed);
    for (ChunkRegion *r = c->regions; r; r = r->next) {
        auto *mem = static_cast<char *>(r->mem);
        for (std::size_t i = 0; i < blocks_per_region; ++i) {
            void *block = mem + i * bs;
            if (block == last_freed) continue;
            *tail = block;
            tail = &link_of(block);
        }
    }
    *tail = nullptr;
}

} // namespace tessera::detail

extern "C" {

Chunk chNew(uint32_t size) {
    if (size > UINT32_MAX - (link_size - 1)) return NULLCHUNK; // no 32-bit block size holds it
    if (size < link_size) size = link_size;
    size = (size + link_size - 1) / link_size * link_size;
    auto *c = tessera::detail::alloc_record<ChunkStruct>();
    if (!c) return NULLCHUNK;
    c->freeList = nullptr;
    c->blockSize = size;
    c->regions = nullptr;
    return c;
}

void *chAlloc(Chunk c) {
    TESSERA_CHECK(c != NULLCHUNK);
    if (void *block = c->freeList) {
        c->freeList = link_of(block);
        return block;
    }
    return refill(c);
}

void chFree(Chunk c, void *p) {
    TESSERA_CHECK(c != NULLCHUNK);
    TESSERA_CHECK(p != (void *)NULL);
    link_of(p) = c->freeList;
    c->freeList = p;
}

void chNuke(Chunk c) {
    if (c == NULLCHUNK) return;
    for (ChunkRegion *r = c->regions; r;) {
        ChunkRegion *next = r->next;
        mem_free(r->mem);
        mem_free(reinterpret_cast<RegionRecord *>(r));
        r = next;
    }
    mem_free(c);
}

} // extern "C"
