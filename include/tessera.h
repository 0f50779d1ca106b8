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
 *   files, parse errors) comes back as a null handle or a status: 0 success, -1 failure, and
 *   tessera_last_error() then says why, for this thread.
 * - Threads: the library starts no threads. Any function may run on several threads at once as
 *   long as no two threads use the same object (string, chunk, list, queue, generator,
 *   histogram, image, vector, point list, stream) at the same time. The state that reading
 *   headers and point lists and rendering keep between calls is each thread's own: the count
 *   image ptl_RenderElem_ draws with is the one ptlStartRendering prepared on the same thread,
 *   and ptlLoadAndRender continues the header its own thread started. The block pools shared
 *   by all queues and all point lists, and the clock-seeded source of seeds, are locked.
 */
#ifndef TESSERA_H
#define TESSERA_H

#include "tessera/adt_strings.h"
#include "tessera/chunk.h"
#include "tessera/counter.h"
#include "tessera/error.h"
#include "tessera/file.h"
#include "tessera/generator.h"
#include "tessera/geometry.h"
#include "tessera/hist.h"
#include "tessera/imAdditions.h"
#include "tessera/image.h"
#include "tessera/list.h"
#include "tessera/magic.h"
#include "tessera/panic.h"
#include "tessera/priq.h"
#include "tessera/ptl.h"
#include "tessera/vector.h"
#include "tessera/version.h"

#endif
