/* tessera/ptl.h - point lists: small vector drawings of dots, lines, ellipse outlines and flood
 * fills, their text files ("PTL" and "CPTL"), and rendering into binary or RGB images.
 * Reading and colour rendering keep per-thread state (the line being read, the count image of
 * ptlStartRendering, the plots of the element being drawn), so threads may read and render
 * distinct lists at once. */
#ifndef TESSERA_PTL_H
#define TESSERA_PTL_H

#include <stdbool.h>
#include <stdint.h>
#include <stdio.h>

#include "adt_strings.h"
#include "export.h"
#include "image.h"
#include "list.h"

TESSERA_BEGIN_DECLS

/* Element types and their file letters. */
#define PTL_POINT 1   /* "p": a dot of diameter size at (x1, y1) */
#define PTL_LINE 2    /* "l": a line of width size from (x1, y1) to (x2, y2) */
#define PTL_ELLIPSE 3 /* "e": outline of the ellipse at (x1, y1) with semi-axes x2, y2 */
#define PTL_FILL 4    /* "f": a flood fill seeded at (x1, y1) */

typedef struct PointListElemStruct {
    uint8_t type; /* PTL_POINT to PTL_FILL */
    RGB color;
    float size; /* pen width or dot diameter, never negative */
    float x1;
    float y1;
    float x2; /* lines and ellipses only */
    float y2; /* lines and ellipses only */
} PointListElemStruct;

typedef PointListElemStruct *PointListElem;

typedef struct PointListStruct {
    float x;                  /* left edge of the bounds */
    float y;                  /* top edge of the bounds */
    float width;              /* greater than 0 */
    float height;             /* greater than 0 */
    adtStringHeader *comment; /* owned; may be null */
    bool color;               /* elements carry their own colours ("CPTL") */
    List elements;            /* the PointListElems, in drawing order; owned */
} PointListStruct;

typedef PointListStruct *PointList;

/* New empty list over the given bounds; it takes comment (no copy). Null when width or height
 * is not greater than 0 or memory runs out (comment then stays the caller's). Release with
 * ptlFree. */
TESSERA_API PointList ptlNew(bool color, float x, float y, float width, float height, adtStringHeader *comment);
/* Releases the list, its elements and its comment; null is ignored once any list has been made
 * (before the first ptlNew or load of the process, even null fails the check
 * "pointlistchunk != NULLCHUNK" and aborts). */
TESSERA_API void ptlFree(PointList ptl);
/* Appends elem (from ptlNewElem); when memory runs out it is not added and stays the caller's. */
TESSERA_API void ptlAddElem(PointList ptl, PointListElem elem);
/* New element; null for an invalid type or when memory runs out. Release with ptlFreeElem. */
TESSERA_API PointListElem ptlNewElem(unsigned char type, RGB color, float size, float x1, float y1, float x2, float y2);
/* Sets an element (a negative or NaN size becomes 0); -1, changing nothing, for an invalid type. */
TESSERA_API int32_t ptlSetElem(PointListElem elem, unsigned char type, RGB color, float size, float x1, float y1,
                               float x2, float y2);
/* Releases an element; null is ignored once any element has been made (before the first
 * ptlNewElem or element read of the process, even null fails the check
 * "elementchunk != NULLCHUNK" and aborts). */
TESSERA_API void ptlFreeElem(PointListElem elem);
/* Reads a point-list file (null path: standard input); null when it cannot be read. */
TESSERA_API PointList ptlLoad(const char *path);
TESSERA_API PointList ptlLoadF(FILE *fp);
/* Writes a point-list file (null path: standard output); 0, or -1 with the reason set. A path's
 * file is written whole or not at all, through tessera_write_file (<tessera/file.h>), which
 * tells how links, modes and devices are treated. */
TESSERA_API int32_t ptlSave(PointList ptl, const char *path);
TESSERA_API int32_t ptlSaveF(PointList ptl, FILE *fp);
/* Reads the magic, the four bounds and the comment met so far; 0, or -1. */
TESSERA_API int32_t ptlReadHeader(FILE *fp, bool *color, float *x, float *y, float *width, float *height,
                                  adtStringHeader **comment);
/* Writes the header line and the comment block; 0, or -1. */
TESSERA_API int32_t ptlWriteHeader(FILE *fp, bool color, float x, float y, float width, float height,
                                   adtStringHeader *comment);
/* Reads the next element line into elem (or a new element when elem is null). Null at the end
 * of the input (*error false) or for an unreadable line (*error true). */
TESSERA_API PointListElem ptlGetElem(PointListElem elem, bool color, FILE *fp, bool *error);
/* Writes one element line; 0, or -1. */
TESSERA_API int32_t ptlPutElem(PointListElem elem, bool color, FILE *fp);

/* Prepares rendering into an image of type IMAGE_BINARY or IMAGE_RGB of the given geometry
 * (the colour count image is shared by all colour renderings); 0, or -1. */
TESSERA_API int32_t ptlStartRendering(unsigned short type, float xscale, float yscale, int xoffset, int yoffset,
                                      int width, int height);
/* Draws one element into im (whose header is header) at the given scale: 1 when clipped, 0 when
 * not, -1 for an unsupported image or element type, or when the element cannot be drawn (the
 * reason says why: its walk stops advancing where its dots reach the image, it needs more work
 * than the budget docs/formats.md gives, or a fill runs out of memory; a fill then leaves the
 * image as it was, a line or ellipse over its budget may have drawn part of itself). An RGB
 * image must have been prepared with ptlStartRendering at its exact geometry; otherwise nothing
 * is drawn and the result is -1. */
TESSERA_API int32_t ptl_RenderElem_(PointListElem elem, void *im, ImageHeader *header, float xscale, float yscale);
/* Renders a list into a new RGBImageStruct (on background) or BinaryImageStruct; null on
 * failure, including an element that cannot be drawn (never an image with less than the
 * drawing). *clipped (when given) tells whether some drawing fell outside the bounds. */
TESSERA_API void *ptlRender(PointList ptl, unsigned short type, float xscale, float yscale, RGB background,
                            bool *clipped);
/* The geometry of the image ptlRender(ptl, type, xscale, yscale, ...) makes, without making it:
 * its offsets and size (any pointer may be null). 0, or -1 with the reason (scales not above 0,
 * or a rendering with no pixels or beyond 32-bit image coordinates). */
TESSERA_API int32_t tessera_render_geometry(PointList ptl, float xscale, float yscale, int32_t *xoffset,
                                            int32_t *yoffset, int32_t *width, int32_t *height);
/* The part of ptlRender's image that lies in the rectangle at (x, y) of width x height, in that
 * image's own coordinates (offsets included; it lies inside the image): a new image of that
 * geometry holding, pixel for pixel, what ptlRender's image holds there, so that a rendering too
 * large for memory can be made band by band. A pixel depends only on the plots that land on it,
 * so any area can be rendered alone; a flood fill depends on the whole image, and a binary
 * rendering of a drawing with one is refused (colour renderings leave fills out). *clipped (when
 * given) tells whether some element reaches beyond the drawing's bounds, judged from its extent
 * (its points, or centre and semi-axes, widened by half its pen) rather than plot by plot. Null
 * with the reason. */
TESSERA_API void *tessera_render_area(PointList ptl, unsigned short type, float xscale, float yscale, RGB background,
                                      int32_t x, int32_t y, int32_t width, int32_t height, bool *clipped);
/* Renders a point-list file element by element; fp is positioned just after the magic, which
 * the caller read with magicStart and magicGetString (color: the magic was "CPTL"). */
TESSERA_API void *ptlLoadAndRender(FILE *fp, bool color, unsigned short type, float xscale, float yscale,
                                   RGB background, bool *clipped);

TESSERA_END_DECLS

#endif
