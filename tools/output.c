/* Outputs that never hurt what is there: a failure never leaves half a file, and links, FIFOs,
 * devices and a file's other names are written into, never replaced. */
#include "tool.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

/* Copies the file at from into the open stream to; false on a read or write error. */
static int copy_into(const char *from, FILE *to) {
    FILE *in = fopen(from, "rb");
    if (!in) return 0;
    char buf[65536];
    size_t n;
    int ok = 1;
    while (ok && (n = fread(buf, 1, sizeof buf, in)) > 0) ok = fwrite(buf, 1, n, to) == n;
    ok = ok && !ferror(in);
    fclose(in);
    return ok;
}

/* Makes the whole result in a temporary file first, then writes it into target as it stands:
 * a FIFO, a device or socket, or a file with other names (hard links), which must not be
 * replaced. */
static int write_in_place(AnyImageStruct *im, const out_format *f, const char *target, problem *why) {
    const char *dir = getenv("TMPDIR");
    char tmp[4096];
    snprintf(tmp, sizeof tmp, "%s/tessera-XXXXXX", dir && *dir ? dir : "/tmp");
    const int fd = mkstemp(tmp);
    if (fd < 0) return say(why, "cannot make a temporary file: %s", strerror(errno));
    close(fd);
    int ok = save_as(im, f, tmp, why);
    if (ok) {
        FILE *out = fopen(target, "wb");
        if (!out) ok = say_system(why, "cannot open for writing");
        else {
            ok = copy_into(tmp, out);
            if (fclose(out) != 0 || !ok) ok = say(why, "cannot write: %s", strerror(errno));
        }
    }
    unlink(tmp);
    return ok;
}

/* Writes to a temporary file beside target, gives it the mode, owner and group of the file it
 * replaces (when there is one; owner and group where permitted), then renames it into place. */
static int write_replacing(AnyImageStruct *im, const out_format *f, const char *target, const struct stat *old,
                           problem *why) {
    const size_t n = strlen(target) + 32;
    char *tmp = malloc(n);
    if (!tmp) return say(why, "out of memory");
    snprintf(tmp, n, "%s.tmp-%ld-%p", target, (long)getpid(), (void *)im);
    /* Made here first, so that a directory that cannot be written is reported for target. */
    const int fd = open(tmp, O_WRONLY | O_CREAT | O_EXCL, 0666);
    if (fd < 0) {
        const int e = errno;
        say(why, "cannot write '%s': %s", target, strerror(e));
        why->error = e;
        free(tmp);
        return 0;
    }
    close(fd);
    int ok = save_as(im, f, tmp, why);
    if (ok) {
        if (old) {
            chmod(tmp, old->st_mode & 07777);
            if (chown(tmp, old->st_uid, old->st_gid) != 0) { /* kept as the writer's own */
            }
        }
        if (rename(tmp, target) != 0) ok = say(why, "cannot replace the file: %s", strerror(errno));
    }
    if (!ok) unlink(tmp);
    free(tmp);
    return ok;
}

int write_output(AnyImageStruct *im, const out_format *f, const char *path, problem *why) {
    why->text[0] = '\0';
    if (strcmp(path, "-") == 0) {
        if (!save_as(im, f, NULL, why) || fflush(stdout) != 0)
            return why->text[0] ? 0 : say(why, "cannot write to standard output");
        return 1;
    }
    struct stat st;
    if (stat(path, &st) != 0) return write_replacing(im, f, path, NULL, why); /* a new file */
    char *real = realpath(path, NULL);
    const char *target = real ? real : path;
    int ok;
    if (S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode) || S_ISSOCK(st.st_mode) ||
        (S_ISREG(st.st_mode) && st.st_nlink > 1))
        ok = write_in_place(im, f, target, why);
    else if (S_ISREG(st.st_mode)) ok = write_replacing(im, f, target, &st, why);
    else ok = say(why, "not a file that can be written");
    free(real);
    return ok;
}
