/* Writing a file without harming what is there: the one way the library writes files by name
 * (point lists here, images in libtessera_io), open to programs for their own files. */
#ifndef TESSERA_FILE_H
#define TESSERA_FILE_H

#include <stdio.h>

#include "export.h"

TESSERA_BEGIN_DECLS

/* Writes the file at path with write(out, context), which writes the whole contents to out and
 * returns nonzero on success. 0 on success; -1 with the reason set when the file cannot be
 * written, or when write returns 0 (then the reason is whatever write set).
 *
 * - A new file, or an existing regular file with one name, is written to a new temporary file
 *   beside it, made with O_EXCL, which is then renamed over the target: the target is never
 *   seen half written, and a failure leaves what was there. A replaced file keeps its mode, and
 *   its owner and group where this user may set them.
 * - A symbolic link is followed: the file it names is replaced, beside itself, and the link
 *   stays a link. A dangling link's own name gets the new file.
 * - A regular file with other hard links, a FIFO, a terminal or another device is written in
 *   place, but only once the whole output exists (in an unnamed temporary file) and, for a
 *   file, room for it is reserved.
 * - A directory or another kind of file is refused. */
TESSERA_API int tessera_write_file(const char *path, int (*write)(FILE *out, void *context), void *context);

/* A temporary file for scratch data, open for reading and writing, that goes when it is closed
 * (it has no name): in $TMPDIR where one can be made there, else where tmpfile() makes them.
 * Null with the reason. */
TESSERA_API FILE *tessera_temporary_file(void);

/* Removes the temporary files of writes in progress. Safe in a signal handler: a program that
 * stops on SIGINT or SIGTERM calls it before it ends; no write starts after it. */
TESSERA_API void tessera_remove_temporaries(void);

TESSERA_END_DECLS

#endif
