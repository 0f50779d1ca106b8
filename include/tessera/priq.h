/* tessera/priq.h - priority queues of client pointers with stable handles.
 * The least element under compareGT comes first; any element can be removed by its handle.
 * Handles and tree nodes come from chunks shared by every queue of the process. */
#ifndef TESSERA_PRIQ_H
#define TESSERA_PRIQ_H

#include <stdbool.h>
#include <stdint.h>

#include "export.h"

TESSERA_BEGIN_DECLS

typedef struct PriQStruct *PriQ;
typedef struct _PriQNode _PriQNode;
typedef struct _PriQIntNode _PriQIntNode;

struct PriQStruct {
    _PriQIntNode *root;                  /* null when empty */
    _PriQIntNode *last;                  /* last node in level order; null when empty */
    bool (*compareGT)(void *a, void *b); /* true when a is greater than b */
    uint32_t count;                      /* number of elements */
};

/* The handle a client holds: it follows its element wherever the element moves. */
struct _PriQNode {
    _PriQIntNode *val; /* tree node now holding the element */
    PriQ queue;        /* queue of the element */
};

/* A tree node: a complete binary tree also threaded in level order. */
struct _PriQIntNode {
    _PriQIntNode *left;
    _PriQIntNode *right;
    _PriQIntNode *parent;
    _PriQIntNode *next; /* following node in level order */
    _PriQIntNode *prev; /* preceding node in level order */
    _PriQNode *owner;   /* handle of the element held here */
    void *data;         /* the element */
};

#define NULLPRIQ ((PriQ)0)
#define NULLPRIQNODE ((_PriQNode *)0)
#define NULLPRIQINTNODE ((_PriQIntNode *)0)

/* New empty queue ordered by compareGT; NULLPRIQ when memory runs out. Release with pqFree. */
TESSERA_API PriQ pqNew(bool (*compareGT)(void *a, void *b));
/* Releases every handle and node and the queue; the elements are not touched. */
TESSERA_API void pqFree(PriQ p);
/* Handle of the least element, or NULLPRIQNODE when empty. */
TESSERA_API _PriQNode *pqFirst(PriQ p);
/* Adds data; its handle, or NULLPRIQNODE (queue unchanged) when memory runs out. */
TESSERA_API _PriQNode *pqAdd(PriQ p, void *data);
/* Removes the element of the handle (any element) and releases the handle. */
TESSERA_API void pqRem(_PriQNode *pqn);
/* The element of the handle. */
TESSERA_API void *pqGet(_PriQNode *pqn);
/* Number of elements. */
TESSERA_API uint32_t pqLen(PriQ p);

TESSERA_END_DECLS

#endif
