/* tessera/list.h - doubly linked lists of client pointers with owner back-links.
 * A removal hook, when set, is called with each element as its node is removed or freed. */
#ifndef TESSERA_LIST_H
#define TESSERA_LIST_H

#include <stdint.h>

#include "export.h"

TESSERA_BEGIN_DECLS

typedef struct ListStruct *List;
typedef struct _ListNode _ListNode;

struct ListStruct {
    _ListNode *first;            /* null when empty */
    _ListNode *last;             /* null when empty */
    void (*remHook)(void *data); /* called for each removed element; null for none */
};

struct _ListNode {
    _ListNode *next; /* null for the last node */
    _ListNode *prev; /* null for the first node */
    List owner;      /* the list holding the node */
    void *data;      /* the client's pointer, never released by the list */
};

#define NULLLIST ((List)0)
#define NULLLISTNODE ((_ListNode *)0)

/* New empty list without a hook; NULLLIST when memory runs out. Release with liFree. */
TESSERA_API List liNew(void);
/* Removes every node, calling the hook in list order, and destroys the list. */
TESSERA_API void liFree(List l);
/* First node, or NULLLISTNODE when the list is empty. */
TESSERA_API _ListNode *liFirst(List l);
/* Following node, or NULLLISTNODE after the last. */
TESSERA_API _ListNode *liNext(_ListNode *ln);
/* Appends data; the new node, or NULLLISTNODE (list unchanged) when memory runs out. */
TESSERA_API _ListNode *liAdd(List l, void *data);
/* Unlinks the node, calls the hook with its data and releases the node. */
TESSERA_API void liRem(_ListNode *ln);
/* liRem, returning the node that followed the removed one. */
TESSERA_API _ListNode *liRemAndNext(_ListNode *ln);
/* The node's data. */
TESSERA_API void *liGet(_ListNode *ln);
/* First node whose data is the pointer p (by identity), or NULLLISTNODE. */
TESSERA_API _ListNode *liIsIn(List l, void *p);
/* Number of nodes (counted). */
TESSERA_API uint32_t liLen(List l);
/* Moves every node of l2 to the end of l1 and destroys l2 (its hook is dropped). */
TESSERA_API void liApp(List l1, List l2);
/* Sets the removal hook (null for none); returns the previous one. */
TESSERA_API void (*liSetRemHook(List l, void (*hook)(void *data)))(void *data);

TESSERA_END_DECLS

#endif
