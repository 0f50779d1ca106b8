/* tessera.h - the whole public C interface of the tessera library.
 *
 * Conventions
 * - Ownership: a record returned by a New, Make, Copy, Dup, Load or Render call belongs to the
 *   caller, who gives it back with its family's release call (strFree, chNuke, liFree, pqFree,
 *   genFree_, hiFree, im_Free_, vec_Free_, ptlFree, ptlFreeElem). Containers hold client pointers
 *   and never release them.
 * - Null: each handle family has a null constant (NULLCHUNK, NULLLIST, ...). Allocating calls
 *   return it when memory runs out; they never print and never leave a partial result behind.
 * - Errors: a broken caller contract (a null handle, a node of another list) prints
 *   "Assertion failed: <expr>, file <file>, line <n>" and aborts. A fault no caller can prevent
 *   (a bad run-time tag) is reported by _panic and exits with status 1. Everything else (memory,
 *   files, parse errors) comes back as a null handle or a status: 0 success, -1 failure.
 * - Threads: the library starts no threads and takes no locks. The header tokenizer, image
 *   loading, point lists, rendering, the priority queue and clock-seeded generators share
 *   process-wide state: call them from one thread at a time.
 */
#ifndef TESSERA_H
#define TESSERA_H

#include "tessera/adt_strings.h"
#include "tessera/chunk.h"
#include "tessera/counter.h"
#include "tessera/generator.h"
#include "tessera/hist.h"
#include "tessera/imAdditions.h"
#include "tessera/image.h"
#include "tessera/list.h"
#include "tessera/magic.h"
#include "tessera/panic.h"
#include "tessera/priq.h"
#include "tessera/ptl.h"
#include "tessera/vector.h"

#endif
