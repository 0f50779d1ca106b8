/* Shared parts of the tessera tool: the image formats it reads and writes beyond the library's
 * own, conversion between element types, and outputs written without harm. */
#ifndef TESSERA_TOOL_H
#define TESSERA_TOOL_H

#include <tessera.h>

#include <stddef.h>

#define ALL_TAGS 0xffff

/* Why something failed, one line; each thread keeps its own. */
typedef struct problem {
    char text[600];
    int error; /* the errno of a system call that failed, or 0 */
} problem;

int say(problem *p, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
/* As say, for a system call that failed: the text is "doing: strerror(errno)" and errno is kept. */
int say_system(problem *p, const char *doing);

/* What a file is, from its first bytes. */
typedef enum file_kind {
    KIND_UNKNOWN,
    KIND_LIBRARY, /* raw P4, P5 and P6 with maxval 255, Q formats: the library loads it */
    KIND_PNM,     /* plain P1 to P3, raw P5 and P6 with another maxval: the tool reads it */
    KIND_PAM,
    KIND_PNG,
    KIND_DRAWING
} file_kind;

typedef struct sniffed {
    file_kind kind;
    char format[8]; /* "P5", "Q10", "PAM", "PNG", "PTL", "CPTL" */
    int maxval;     /* of Netpbm and PAM files, else 0 */
    int colour;     /* a CPTL drawing */
} sniffed;

/* Looks at the start of path; 0 with a reason when it is neither an image nor a drawing. */
int sniff(const char *path, sniffed *what, problem *why);

/* Loads any image the tool reads. Alpha is composited over background. The image comes back with
 * what sniff() found; null with a reason. */
AnyImageStruct *load_any(const char *path, RGB background, sniffed *what, problem *why);

/* An output format, chosen by a name ("png") or the extension of an output path. */
typedef struct out_format {
    const char *name;
    unsigned tag;  /* the element type the format holds; 0 for binary, gray or RGB */
    int container; /* 0 library file, 1 PAM, 2 PNG */
} out_format;

const out_format *format_named(const char *name);
const out_format *format_of_path(const char *path);
const char *format_names(void);

/* The element type im takes in format f when converted (may_convert) or as it stands; 0 when it
 * cannot go there. */
unsigned target_tag(const out_format *f, unsigned tag, int may_convert);

/* A new image of element type tag holding im's pixels: binary set pixels are black (0), clear
 * ones white (255), and values below 128 become set pixels; colours become gray by their luma;
 * numbers are rounded and clamped into the type's range, and normalize maps a numeric image's
 * range onto 0..255. Null when memory runs out. */
AnyImageStruct *convert_image(AnyImageStruct *im, unsigned tag, int normalize);

/* Sets every pixel of the frame of width n around the image's inside to colour. */
void paint_border(AnyImageStruct *im, int n, RGB colour);

/* Writes im in format f to path (null: standard output); 0 with a reason. */
int save_as(AnyImageStruct *im, const out_format *f, const char *path, problem *why);

/* Writes to path without hurting what is there: "-" is standard output, a symlink is written
 * through, a FIFO, device, socket or a file with other names is written in place after the
 * whole result is made, a regular file is replaced by rename keeping its mode and owner. */
int write_output(AnyImageStruct *im, const out_format *f, const char *path, problem *why);

const char *tag_name(unsigned tag);
const char *magic_of(unsigned tag);

#endif
