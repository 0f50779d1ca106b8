// Priority queues as a pointer-linked complete binary tree, threaded in level order so that the
// insertion place and the last node are reached in constant time. Elements move between tree
// nodes; handles follow them, so a client can remove any element by its handle.
#include "priq_internal.h"

#include <cstddef>
#include <mutex>

#include "support/alloc.h"
#include "support/check.h"
#include "support/chunk_internal.h"
#include "support/spin_lock.h"
#include "support/unload.h"

static_assert(offsetof(PriQStruct, count) == 3 * sizeof(void *));
static_assert(sizeof(_PriQNode) == 2 * sizeof(void *));
static_assert(offsetof(_PriQIntNode, data) == 6 * sizeof(void *));

namespace tessera::detail {

Chunk pqnChunk = NULLCHUNK;
Chunk pqinChunk = NULLCHUNK;

namespace {
// Queues the client still holds go with the chunks: the process is ending.
void release_queue_chunks() {
    chNuke(pqnChunk);
    chNuke(pqinChunk);
    pqnChunk = pqinChunk = NULLCHUNK;
}
[[maybe_unused]] const bool released_at_unload = (at_unload(release_queue_chunks), true);
} // namespace

void swap(_PriQIntNode *pqin1, _PriQIntNode *pqin2) {
    TESSERA_CHECK(pqin1 != NULLPRIQINTNODE);
    TESSERA_CHECK(pqin2 != NULLPRIQINTNODE);
    void *data = pqin1->data;
    pqin1->data = pqin2->data;
    pqin2->data = data;
    _PriQNode *owner = pqin1->owner;
    pqin1->owner = pqin2->owner;
    pqin2->owner = owner;
    TESSERA_CHECK(pqin1->owner != NULLPRIQNODE);
    TESSERA_CHECK(pqin2->owner != NULLPRIQNODE);
    pqin1->owner->val = pqin1;
    pqin2->owner->val = pqin2;
    TESSERA_CHECK(pqin1->owner->val == pqin1);
    TESSERA_CHECK(pqin2->owner->val == pqin2);
}

} // namespace tessera::detail

namespace {

using tessera::detail::pqinChunk;
using tessera::detail::pqnChunk;
using tessera::detail::swap;

// The two chunks are shared by every queue, and queues may live on different threads.
tessera::detail::SpinLock chunks_lock;

// Blocks in use, and blocks given back since the free lists were last put in address order.
// Freeing pushes blocks on the lists in whatever order elements leave, so after a large queue
// the next queue would get nodes scattered over all of its memory. When every block is back
// and at least half the pool has been freed since (so the cost stays proportional to the
// frees), the lists are threaded in address order again: new nodes then lie side by side.
std::size_t nodes_in_use = 0, handles_in_use = 0, freed_since_relink = 0;

[[gnu::noinline]] void relink_when_due() { // under chunks_lock, when no block is in use
    if (freed_since_relink < tessera::detail::chunk_blocks(pqnChunk) / 2) return;
    tessera::detail::chunk_relink(pqnChunk);
    tessera::detail::chunk_relink(pqinChunk);
    freed_since_relink = 0;
}

// A handle and a tree node for a new element, under one hold of the lock; false (nothing kept)
// when either cannot be had.
bool malloc_pair(_PriQNode **pqn, _PriQIntNode **pqin) {
    const std::lock_guard<tessera::detail::SpinLock> hold(chunks_lock);
    if (pqnChunk == NULLCHUNK && (pqnChunk = chNew(sizeof(_PriQNode))) == NULLCHUNK) return false;
    if (!(*pqn = static_cast<_PriQNode *>(chAlloc(pqnChunk)))) return false;
    if ((pqinChunk == NULLCHUNK && (pqinChunk = chNew(sizeof(_PriQIntNode))) == NULLCHUNK) ||
        !(*pqin = static_cast<_PriQIntNode *>(chAlloc(pqinChunk)))) {
        chFree(pqnChunk, *pqn);
        return false;
    }
    ++nodes_in_use;
    ++handles_in_use;
    return true;
}

// Gives back a tree node and a handle, in that order, under one hold of the lock.
void free_pair(_PriQIntNode *pqin, _PriQNode *pqn) {
    TESSERA_CHECK(pqin != NULLPRIQINTNODE);
    TESSERA_CHECK(pqn != NULLPRIQNODE);
    const std::lock_guard<tessera::detail::SpinLock> hold(chunks_lock);
    TESSERA_CHECK(pqinChunk != NULLCHUNK);
    chFree(pqinChunk, pqin);
    TESSERA_CHECK(pqnChunk != NULLCHUNK);
    chFree(pqnChunk, pqn);
    --handles_in_use;
    ++freed_since_relink;
    if (--nodes_in_use == 0 && handles_in_use == 0) [[unlikely]]
        relink_when_due();
}

void free_pqn(_PriQNode *pqn) {
    TESSERA_CHECK(pqn != NULLPRIQNODE);
    const std::lock_guard<tessera::detail::SpinLock> hold(chunks_lock);
    TESSERA_CHECK(pqnChunk != NULLCHUNK);
    chFree(pqnChunk, pqn);
    ++freed_since_relink;
    if (--handles_in_use == 0 && nodes_in_use == 0) [[unlikely]]
        relink_when_due();
}

void free_pqin(_PriQIntNode *pqin) {
    TESSERA_CHECK(pqin != NULLPRIQINTNODE);
    const std::lock_guard<tessera::detail::SpinLock> hold(chunks_lock);
    TESSERA_CHECK(pqinChunk != NULLCHUNK);
    chFree(pqinChunk, pqin);
    ++freed_since_relink;
    if (--nodes_in_use == 0 && handles_in_use == 0) [[unlikely]]
        relink_when_due();
}

void sift_up(PriQ p, _PriQIntNode *n) {
    while (n->parent && p->compareGT(n->parent->data, n->data)) {
        swap(n, n->parent);
        n = n->parent;
    }
}

// Equivalent to swapping the element down level by level, but the element travels in
// registers: each level moves one child's element up into the hole and re-points its handle.
// The grandchildren's elements are prefetched, since comparing them is the next level's work.
void sift_down(PriQ p, _PriQIntNode *n) {
    void *const data = n->data;
    _PriQNode *const owner = n->owner;
    while (_PriQIntNode *child = n->left) {
        _PriQIntNode *right = n->right;
        if (right) {
            if (child->left) {
                __builtin_prefetch(child->left->data);
                if (child->right) __builtin_prefetch(child->right->data);
            }
            if (right->left) {
                __builtin_prefetch(right->left->data);
                if (right->right) __builtin_prefetch(right->right->data);
            }
            if (!p->compareGT(right->data, child->data)) child = right;
        }
        if (!p->compareGT(data, child->data)) break;
        n->data = child->data;
        n->owner = child->owner;
        TESSERA_CHECK(n->owner != NULLPRIQNODE);
        n->owner->val = n;
        n = child;
    }
    n->data = data;
    n->owner = owner;
    owner->val = n;
}

// Takes the last node out of the tree's shape; the caller releases it.
void unlink_last(PriQ p) {
    _PriQIntNode *pqlast = p->last;
    TESSERA_CHECK(pqlast->parent != NULLPRIQINTNODE);
    if (pqlast->parent->right == pqlast) {
        pqlast->parent->right = NULLPRIQINTNODE;
    } else {
        TESSERA_CHECK(pqlast->parent->left == pqlast);
        pqlast->parent->left = NULLPRIQINTNODE;
    }
    TESSERA_CHECK(pqlast->prev != NULLPRIQINTNODE);
    pqlast->prev->next = NULLPRIQINTNODE;
    p->last = pqlast->prev;
}

} // namespace

extern "C" {

PriQ pqNew(bool (*compareGT)(void *a, void *b)) {
    TESSERA_CHECK(compareGT != (bool (*)(void *a, void *b))NULL);
    auto *p = tessera::detail::alloc_record<PriQStruct>();
    if (!p) return NULLPRIQ;
    p->root = p->last = NULLPRIQINTNODE;
    p->compareGT = compareGT;
    p->count = 0;
    return p;
}

void pqFree(PriQ p) {
    TESSERA_CHECK(p != NULLPRIQ);
    for (_PriQIntNode *n = p->root; n;) {
        _PriQIntNode *next = n->next;
        free_pqn(n->owner);
        free_pqin(n);
        n = next;
    }
    tessera::detail::mem_free(p);
}

_PriQNode *pqFirst(PriQ p) {
    TESSERA_CHECK(p != NULLPRIQ);
    return p->root ? p->root->owner : NULLPRIQNODE;
}

_PriQNode *pqAdd(PriQ p, void *data) {
    TESSERA_CHECK(p != NULLPRIQ);
    _PriQNode *pqn;
    _PriQIntNode *n;
    if (!malloc_pair(&pqn, &n)) return NULLPRIQNODE;
    n->left = n->right = n->next = NULLPRIQINTNODE;
    n->owner = pqn;
    n->data = data;
    pqn->val = n;
    pqn->queue = p;

    if (!p->root) {
        TESSERA_CHECK(p->count == 0);
        n->prev = n->parent = NULLPRIQINTNODE;
        p->root = p->last = n;
        p->count = 1;
        return pqn;
    }
    TESSERA_CHECK(p->count > 0);
    _PriQIntNode *last = p->last;
    n->prev = last;
    if (!last->parent) {
        TESSERA_CHECK(p->last == p->root);
        n->parent = last;
        last->left = n;
    } else if (last->parent->right) {
        TESSERA_CHECK(p->last->parent->next != NULLPRIQINTNODE);
        TESSERA_CHECK(p->last->parent->next->left == NULLPRIQINTNODE);
        n->parent = last->parent->next;
        n->parent->left = n;
    } else {
        n->parent = last->parent;
        n->parent->right = n;
    }
    last->next = n;
    p->last = n;
    sift_up(p, n);
    ++p->count;
    return pqn;
}

void pqRem(_PriQNode *pqn) {
    TESSERA_CHECK(pqn != NULLPRIQNODE);
    TESSERA_CHECK(pqn->val != NULLPRIQINTNODE);
    TESSERA_CHECK(pqn->val->owner == pqn);
    PriQ p = pqn->queue;
    TESSERA_CHECK(p != NULLPRIQ);
    TESSERA_CHECK(p->root != NULLPRIQINTNODE);
    TESSERA_CHECK(p->count > 0);

    _PriQIntNode *hole = pqn->val, *freed;
    if (p->root == p->last) {
        TESSERA_CHECK(pqn->val == p->root);
        TESSERA_CHECK(p->count == 1);
        freed = p->root;
        p->root = p->last = NULLPRIQINTNODE;
    } else if (hole == p->last) {
        unlink_last(p);
        freed = hole;
    } else {
        _PriQIntNode *pqlast = p->last;
        TESSERA_CHECK(pqlast->owner != NULLPRIQNODE);
        TESSERA_CHECK(pqlast->owner->val == pqlast);
        hole->data = pqlast->data;
        pqlast->owner->val = hole;
        hole->owner = pqlast->owner;
        unlink_last(p);
        freed = pqlast;
        if (hole == p->root || p->compareGT(hole->data, hole->parent->data)) sift_down(p, hole);
        else sift_up(p, hole);
    }
    free_pair(freed, pqn);
    --p->count;
}

void *pqGet(_PriQNode *pqn) {
    TESSERA_CHECK(pqn != NULLPRIQNODE);
    TESSERA_CHECK(pqn->val != NULLPRIQINTNODE);
    return pqn->val->data;
}

uint32_t pqLen(PriQ p) {
    TESSERA_CHECK(p != NULLPRIQ);
    return p->count;
}

} // extern "C"
