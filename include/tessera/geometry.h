/* tessera/geometry.h - resizing with filters, flips, rotations by quarter turns and transposes
 * of whole images of every fixed-size element type.
 *
 * Each function returns a new image that belongs to the caller (release it with im_Free_), or
 * null with the reason in tessera_last_error() (a size of 0 or less, an unknown filter or angle,
 * an IMAGE_STRUCT image, a result that does not fit in memory). The source is only read.
 *
 * Offsets: a resized image has offsets 0. A flipped image and one rotated by 180 degrees keep
 * the source's offsets; one rotated by 90 or 270 degrees, or transposed, has them swapped
 * (xoffset is the source's yoffset and yoffset its xoffset). Pixels are placed relative to the
 * first row and column, whatever the offsets.
 *
 * tessera_resize samples at pixel centres: output pixel i of n, from a source of m pixels,
 * is centred at (i + 0.5) * m / n in source pixels. Nearest takes the source pixel under that
 * centre. The other filters weigh the source pixels around it by the filter's kernel, widened
 * by m / n when shrinking so that nothing aliases; rows are filtered first (clamped to the
 * type's range for whole-number types), then columns, in double precision (8-bit gray and RGB
 * in fixed point, within 1, unless TESSERA_EXACT is or'ed into the filter). Integer types are rounded (halves away from
 * zero) and clamped to their range; float and double are not rounded. A binary image is filtered as 0 (clear) and 1
 * (set: any other value) and rounded to 0 or 1; nearest copies its values as they are. The exact definition, enough to
 * reproduce every value, is in docs/geometry.md. */
#ifndef TESSERA_GEOMETRY_H
#define TESSERA_GEOMETRY_H

#include <stdint.h>

#include "export.h"
#include "image.h"

TESSERA_BEGIN_DECLS

/* The filters of tessera_resize. */
#define TESSERA_NEAREST 0  /* the source pixel under the output pixel's centre */
#define TESSERA_BOX 1      /* the average over the output pixel's area */
#define TESSERA_BILINEAR 2 /* triangle of radius 1 */
#define TESSERA_BICUBIC 3  /* Keys' cubic with a = -0.5 (Catmull-Rom), radius 2 */
#define TESSERA_LANCZOS3 4 /* Lanczos windowed sinc, radius 3 */
/* Or'ed into a filter: every value exactly as the definition gives it. Without it, 8-bit gray
 * and RGB images are resampled in fixed point, several times faster, each sample within 1 of
 * the exact one (where the filter's coefficients cannot promise that, the exact way is taken
 * anyway). Other element types are always exact. */
#define TESSERA_EXACT 0x100

/* The filter named name ("nearest", "box", "bilinear", "bicubic", "lanczos3"), or -1; and the
 * name of a filter (TESSERA_EXACT or'ed in or not), or NULL for a number that is none. */
TESSERA_API int tessera_filter_named(const char *name);
TESSERA_API const char *tessera_filter_name(int filter);

/* The size a width x height image is resized to when asked for new_width x new_height, where a
 * side of 0 keeps the image's aspect: the other side scaled and rounded, halves up, to at least
 * one pixel. 0 with the size in *out_width and *out_height, or -1 with the reason (both sides 0,
 * a side below 0, a source without pixels, a result beyond 2147483647 pixels a side). */
TESSERA_API int32_t tessera_resize_size(int32_t width, int32_t height, int64_t new_width, int64_t new_height,
                                        int32_t *out_width, int32_t *out_height);

/* Whether tessera_rotate turns by degrees: 1 for 90, 180, 270, -90, -180 and -270, else 0. */
TESSERA_API int tessera_rotation_allowed(int64_t degrees);

/* New image of width x height resampled from image with filter. */
TESSERA_API AnyImageStruct *tessera_resize(const AnyImageStruct *image, int32_t width, int32_t height, int filter);
/* Reads row y of a source image into row (its width's elements, as an image of the type holds
 * them): 0, or anything else to stop. Rows are asked for top to bottom, each once at most; rows
 * no result row needs are skipped. */
typedef int (*tessera_row_reader)(void *context, int32_t y, void *row);

/* tessera_resize of a width x height image of element type tag whose rows read gives one at a
 * time, so that it never needs to be whole: the same result, byte for byte, in memory set by
 * the widths and the filter's reach (four rows of the source, and as many filtered rows as an
 * output row sums), not by the height. Null with the reason, also when read stops. */
TESSERA_API AnyImageStruct *tessera_resize_rows(uint16_t tag, int32_t width, int32_t height, tessera_row_reader read,
                                                void *context, int32_t new_width, int32_t new_height, int filter);
/* A resize of a source given row by row whose result is made a row at a time, so that neither
 * the source nor the result is ever whole: tessera_resizer_new takes what tessera_resize_rows
 * takes (null with the reason), tessera_resizer_row makes the next row of the result into row
 * (its width's elements), top to bottom, asking read for the source rows it needs (0, or -1 with
 * the reason, also when read stops or every row is made), and tessera_resizer_free ends it.
 * The rows are tessera_resize's, byte for byte; memory is set by the widths and the filter's
 * reach. */
typedef struct tessera_resizer tessera_resizer;
TESSERA_API tessera_resizer *tessera_resizer_new(uint16_t tag, int32_t width, int32_t height, tessera_row_reader read,
                                                 void *context, int32_t new_width, int32_t new_height, int filter);
TESSERA_API int tessera_resizer_row(tessera_resizer *resizer, void *row);
TESSERA_API void tessera_resizer_free(tessera_resizer *resizer);
/* New image mirrored left to right. */
TESSERA_API AnyImageStruct *tessera_flip_horizontal(const AnyImageStruct *image);
/* New image mirrored top to bottom. */
TESSERA_API AnyImageStruct *tessera_flip_vertical(const AnyImageStruct *image);
/* New image turned clockwise by degrees: 90, 180 or 270 (or -90, -180, -270 anticlockwise). */
TESSERA_API AnyImageStruct *tessera_rotate(const AnyImageStruct *image, int32_t degrees);
/* New image mirrored about its main diagonal: pixel (x, y) goes to (y, x). */
TESSERA_API AnyImageStruct *tessera_transpose(const AnyImageStruct *image);

/* A new image of bottom's type, size and offsets with top laid over it by alpha ("over"):
 * pixel (x, y) of top covers pixel (x, y) of bottom, each in its own indices, so top's offsets
 * place it (set them with im_SetOffset_); bottom's pixels that top does not cover stay. Both
 * images are RGB or RGBA of one depth (IMAGE_RGB, IMAGE_RGBA; IMAGE_RGB16, IMAGE_RGBA16); a
 * type without alpha is opaque. With alphas as fractions of the largest sample, the result's
 * alpha is at + ab (1 - at) and each colour (ct at + cb ab (1 - at)) / alpha (0 where alpha is
 * 0), rounded to the nearest sample, halves up. Over an opaque bottom this flattens top. */
TESSERA_API AnyImageStruct *tessera_over(const AnyImageStruct *top, const AnyImageStruct *bottom);

TESSERA_END_DECLS

#endif
