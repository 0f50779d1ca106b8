// Doubly linked lists whose nodes know their owner, so node operations can check that a node
// really belongs where the caller says.
#include <tessera/list.h>

#include <cstddef>

#include "support/alloc.h"
#include "support/check.h"

static_assert(offsetof(ListStruct, remHook) == 2 * sizeof(void *));
static_assert(offsetof(_ListNode, data) == 3 * sizeof(void *));

namespace {

_ListNode *malloc_ln() { return tessera::detail::alloc_record<_ListNode>(); }

void free_ln(_ListNode *ln) {
    TESSERA_CHECK(ln != NULLLISTNODE);
    tessera::detail::mem_free(ln);
}

} // namespace

extern "C" {

List liNew(void) {
    auto *l = tessera::detail::alloc_record<ListStruct>();
    if (!l) return NULLLIST;
    l->first = l->last = NULLLISTNODE;
    l->remHook = nullptr;
    return l;
}

void liFree(List l) {
    TESSERA_CHECK(l != NULLLIST);
    for (_ListNode *ln = l->first; ln;) {
        TESSERA_CHECK(ln->owner == l);
        _ListNode *next = ln->next;
        if (l->remHook) l->remHook(ln->data);
        free_ln(ln);
        ln = next;
    }
    tessera::detail::mem_free(l);
}

_ListNode *liFirst(List l) {
    TESSERA_CHECK(l != NULLLIST);
    return l->first;
}

_ListNode *liNext(_ListNode *ln) {
    TESSERA_CHECK(ln != NULLLISTNODE);
    return ln->next;
}

_ListNode *liAdd(List l, void *data) {
    TESSERA_CHECK(l != NULLLIST);
    _ListNode *ln = malloc_ln();
    if (!ln) return NULLLISTNODE;
    ln->next = NULLLISTNODE;
    ln->prev = l->last;
    ln->owner = l;
    ln->data = data;
    if (l->last) {
        l->last->next = ln;
    } else {
        TESSERA_CHECK(l->first == NULLLISTNODE);
        l->first = ln;
    }
    l->last = ln;
    return ln;
}

void liRem(_ListNode *ln) {
    TESSERA_CHECK(ln != NULLLISTNODE);
    TESSERA_CHECK(ln->owner != NULLLIST);
    List l = ln->owner;
    if (l->first == ln) {
        TESSERA_CHECK(ln->prev == NULLLISTNODE);
        l->first = ln->next;
    } else {
        ln->prev->next = ln->next;
    }
    if (l->last == ln) {
        TESSERA_CHECK(ln->next == NULLLISTNODE);
        l->last = ln->prev;
    } else {
        ln->next->prev = ln->prev;
    }
    if (l->remHook) l->remHook(ln->data);
    free_ln(ln);
}

_ListNode *liRemAndNext(_ListNode *ln) {
    TESSERA_CHECK(ln != NULLLISTNODE);
    TESSERA_CHECK(ln->owner != NULLLIST);
    _ListNode *next = ln->next;
    liRem(ln);
    return next;
}

void *liGet(_ListNode *ln) {
    TESSERA_CHECK(ln != NULLLISTNODE);
    return ln->data;
}

_ListNode *liIsIn(List l, void *p) {
    TESSERA_CHECK(l != NULLLIST);
    for (_ListNode *ln = l->first; ln; ln = ln->next)
        if (ln->data == p) return ln;
    return NULLLISTNODE;
}

uint32_t liLen(List l) {
    TESSERA_CHECK(l != NULLLIST);
    uint32_t n = 0;
    for (_ListNode *ln = l->first; ln; ln = ln->next) ++n;
    return n;
}

void liApp(List l1, List l2) {
    TESSERA_CHECK(l1 != NULLLIST);
    TESSERA_CHECK(l2 != NULLLIST);
    TESSERA_CHECK(l1 != l2);
    for (_ListNode *ln = l2->first; ln; ln = ln->next) {
        TESSERA_CHECK(ln->owner == l2);
        ln->owner = l1;
    }
    if (l1->last) {
        TESSERA_CHECK(l1->last->next == NULLLISTNODE);
        if (l2->first) {
            TESSERA_CHECK(l2->first->prev == NULLLISTNODE);
            TESSERA_CHECK(l2->last != NULLLISTNODE);
            l1->last->next = l2->first;
            l2->first->prev = l1->last;
            l1->last = l2->last;
        }
    } else {
        TESSERA_CHECK(l1->first == NULLLISTNODE);
        l1->first = l2->first;
        l1->last = l2->last;
    }
    tessera::detail::mem_free(l2);
}

void (*liSetRemHook(List l, void (*hook)(void *data)))(void *data) {
    TESSERA_CHECK(l != NULLLIST);
    void (*previous)(void *) = l->remHook;
    l->remHook = hook;
    return previous;
}

} // extern "C"
