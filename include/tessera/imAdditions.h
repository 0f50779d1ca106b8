/* tessera/imAdditions.h - borders, crops, copies and nearest-neighbour scaling of whole images.
 * Coordinates count from the image's first column and row, whatever its offsets; new images
 * have offsets 0 and belong to the caller (release with im_Free_). Regions are half-open: a first
 * column and the column after the last. Coordinates outside the images are contract violations. */
#ifndef TESSERA_IMADDITIONS_H
#define TESSERA_IMADDITIONS_H

#include <stdint.h>

#include "export.h"
#include "image.h"

TESSERA_BEGIN_DECLS

/* New image with a zero border of the given width on every side; null for a negative border
 * or when memory runs out. */
TESSERA_API AnyImageStruct *imBorders(AnyImageStruct *image, int32_t border);
/* New image of the region [topX, bottomX) x [topY, bottomY); null for an empty region. */
TESSERA_API AnyImageStruct *imCrop(AnyImageStruct *image, int32_t topX, int32_t topY, int32_t bottomX, int32_t bottomY);
/* Copies the region [left, right) x [top, bottom) of from into into at (toleft, totop). */
TESSERA_API AnyImageStruct *imCropInto(AnyImageStruct *into, AnyImageStruct *from, int32_t top, int32_t left,
                                       int32_t bottom, int32_t right, int32_t toleft, int32_t totop);
/* New image of newWidth x newHeight sampled by nearest neighbour from the top-left corner. */
TESSERA_API AnyImageStruct *imScale(AnyImageStruct *image, int32_t newWidth, int32_t newHeight);
/* Copies every pixel of in over into (same tag and size). */
TESSERA_API AnyImageStruct *imDupInto(AnyImageStruct *into, AnyImageStruct *in);

TESSERA_END_DECLS

#endif
