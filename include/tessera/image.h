/* tessera/image.h - run-time-typed two-dimensional images with caller-chosen index offsets,
 * their whole-image operations and their files (raw Netpbm "P4", "P5", "P6" and the "Q" formats).
 * Pixel (x, y) of an image im lies at ((char *)im->data[y]) + x * element size for
 * xoffset <= x < xoffset + width and yoffset <= y < yoffset + height. Every operation takes the
 * handle together with its header (im->header). */
#ifndef TESSERA_IMAGE_H
#define TESSERA_IMAGE_H

#include <stdbool.h>
#include <stdint.h>
#include <stdio.h>

#include "adt_strings.h"
#include "export.h"

TESSERA_BEGIN_DECLS

/* Image tags: single bits, so that a set of tags is their bitwise OR. */
#define IMAGE_GRAY 1       /* uint8_t, "P5" */
#define IMAGE_FLOAT 2      /* float, "Q1" */
#define IMAGE_RGB 4        /* RGB, "P6" */
#define IMAGE_DOUBLE 8     /* double, "Q2" */
#define IMAGE_BINARY 16    /* int8_t, 0 clear, other values set, "P4" */
#define IMAGE_INT 32       /* int32_t, "Q3" */
#define IMAGE_POINTER 64   /* void *, no file format */
#define IMAGE_SHORT 128    /* int16_t, "Q4" */
#define IMAGE_FLOAT3A 256  /* three floats, "Q10" */
#define IMAGE_FLOAT3B 512  /* three floats, "Q11" */
#define IMAGE_STRUCT 1024  /* caller-defined element of elemsize bytes, no file format */
#define IMAGE_RGBA 2048    /* RGBA: colour and alpha, 8-bit samples, "Q12" */
#define IMAGE_GRAY16 4096  /* uint16_t, "Q13" */
#define IMAGE_RGB16 8192   /* RGB16, "Q14" */
#define IMAGE_RGBA16 16384 /* RGBA16, "Q15" */

/* A colour: the pixel of IMAGE_RGB images and the colour of point-list elements. */
typedef struct RGB {
    uint8_t r;
    uint8_t g;
    uint8_t b;
} RGB;

/* The pixels of the colour images with alpha and of the 16-bit colour images. Alpha is
 * coverage, not premultiplied: 0 is transparent and the type's largest value opaque. */
typedef struct RGBA {
    uint8_t r;
    uint8_t g;
    uint8_t b;
    uint8_t a;
} RGBA;

typedef struct RGB16 {
    uint16_t r;
    uint16_t g;
    uint16_t b;
} RGB16;

typedef struct RGBA16 {
    uint16_t r;
    uint16_t g;
    uint16_t b;
    uint16_t a;
} RGBA16;

typedef struct ImageHeader {
    int32_t width;            /* columns, at least 1 */
    int32_t height;           /* rows, at least 1 */
    int32_t xoffset;          /* index of the first column */
    int32_t yoffset;          /* index of the first row */
    uint16_t tag;             /* the image tag */
    int16_t elemsize;         /* element size of an IMAGE_STRUCT image, else 0 */
    int16_t structsize;       /* handle size of an IMAGE_STRUCT image */
    void *handle;             /* back to the handle (not kept for IMAGE_STRUCT) */
    adtStringHeader *comment; /* comment of the file the image came from, or null; owned */
    bool wrapped;             /* the pixel block is caller memory */
    int32_t reserved;
} ImageHeader;

/* The handle of an image of any fixed-size tag. An IMAGE_STRUCT handle is a caller-defined
 * record of structsize bytes that starts with data and header. */
typedef struct AnyImageStruct {
    void **data; /* row table indexed by row index */
    ImageHeader *header;
    int32_t user; /* the client's word */
} AnyImageStruct;

typedef struct GrayImageStruct {
    uint8_t **data;
    ImageHeader *header;
    int32_t user;
} GrayImageStruct;

typedef struct RGBImageStruct {
    RGB **data;
    ImageHeader *header;
    int32_t user;
} RGBImageStruct;

typedef struct BinaryImageStruct {
    int8_t **data;
    ImageHeader *header;
    int32_t user;
} BinaryImageStruct;

typedef struct RGBAImageStruct {
    RGBA **data;
    ImageHeader *header;
    int32_t user;
} RGBAImageStruct;

typedef struct Gray16ImageStruct {
    uint16_t **data;
    ImageHeader *header;
    int32_t user;
} Gray16ImageStruct;

typedef struct RGB16ImageStruct {
    RGB16 **data;
    ImageHeader *header;
    int32_t user;
} RGB16ImageStruct;

typedef struct RGBA16ImageStruct {
    RGBA16 **data;
    ImageHeader *header;
    int32_t user;
} RGBA16ImageStruct;

#define imGetWidth(im) ((im)->header->width)
#define imGetHeight(im) ((im)->header->height)

/* New zero-filled image (or one wrapping raw, which must hold width * height elements and
 * outlive the image). elemsize and structsize are for IMAGE_STRUCT only (1 to 32767; structsize
 * at least two pointers); proto, when given, supplies the user word (or the caller's part of a
 * structure handle). Null for a size of 0 or less, a size that does not fit memory, or when
 * memory runs out. Release with im_Free_. */
TESSERA_API void *im_NewOrWrap_(uint16_t type, int32_t width, int32_t height, int32_t xoffset, int32_t yoffset,
                                void *raw, int32_t elemsize, int32_t structsize, void *proto);
/* New image of width x height of a fixed-size element type whose pixels are not set: for a
 * caller that writes every pixel before it reads any (a decoder), it saves clearing them, and a
 * large one is placed for the processor's huge pages, whose first touch is cheaper. Offsets 0.
 * Null with the reason as im_NewOrWrap_, and for IMAGE_STRUCT or a value that is no tag. */
TESSERA_API void *tessera_image_new_unfilled(uint16_t type, int32_t width, int32_t height);
/* Releases the image, its comment and (unless wrapped) its pixels; type is the image's tag. */
TESSERA_API void im_Free_(void *im, uint16_t type);
/* Independent copy with the same tag, size, offsets and user word (no comment); null when
 * memory runs out. */
TESSERA_API void *im_Dup_(void *im, ImageHeader *header);
/* Sets every pixel to the element at value. */
TESSERA_API void im_Init_(void *im, ImageHeader *header, void *value);
/* Re-indexes the image so that its first column and row are newx and newy; no pixel moves. */
TESSERA_API void im_SetOffset_(void *im, ImageHeader *header, int32_t newx, int32_t newy);
/* Does nothing. */
TESSERA_API void im_Apply_(void *im, void *arg, ImageHeader *header);
/* Stores the largest and the smallest element (channel by channel for RGB and three-float
 * images) through max and min, each pointing at one element of the image's type. */
TESSERA_API void im_MaxAndMin_(void *im, ImageHeader *header, void *max, void *min);
/* im_MaxAndMin_ for the integer-valued tags; floating-point images are refused (panic). */
TESSERA_API void im_MaxAndMinNoInf_(void *im, ImageHeader *header, void *max, void *min);
/* New image of cropWidth x cropHeight at offsets (left, top) holding the source pixels of that
 * rectangle (0 outside the source); null when the rectangle misses the source. */
TESSERA_API void *im_Crop_(void *im, ImageHeader *header, int32_t left, int32_t top, int32_t cropWidth,
                           int32_t cropHeight);
/* Copies the source rectangle at (left, top) into into at (toleft, totop); a null into is made
 * new. Returns into, or null (into unchanged) when a rectangle does not fit or tags differ. */
TESSERA_API void *im_Crop_Into_(void *im, ImageHeader *header, void *into, int32_t left, int32_t top, int32_t toleft,
                                int32_t totop, int32_t cropWidth, int32_t cropHeight);

/* Image files. type is a mask of acceptable tags; a null name means standard input or output.
 * Loaders return a new image (offsets 0, comment from the file; the caller releases it with
 * im_Free_) or, for the Into_ forms, im after reading a file of exactly its tag and size; null
 * on any failure (a new image is then freed; an existing one keeps the pixels that arrived).
 * Savers return 0, or -1. Descriptor forms leave the descriptor open.
 * The samples of a "P5" or "P6" file with a maximum value below 255 load as they stand, not
 * scaled, and the maximum value is not kept: saving writes 255, so such a file saved back looks
 * darker (label images rely on the raw values). The tessera tool scales to 8 bits instead; see
 * docs/formats.md. */
TESSERA_API void *im_Load(uint16_t type, const char *name);
TESSERA_API void *im_LoadInto_(void *im, ImageHeader *header, const char *name);
TESSERA_API void *im_LoadH(uint16_t type, int fd);
TESSERA_API void *im_LoadHInto_(void *im, ImageHeader *header, int fd);
TESSERA_API int32_t im_Save_(void *im, ImageHeader *header, const char *name);
TESSERA_API int32_t im_SaveH_(void *im, ImageHeader *header, int fd);
/* im_Load and im_Save_ over an open stream, which stays open; reading stops where the image
 * ends. */
TESSERA_API void *tessera_load_stream(uint16_t type, FILE *in);
TESSERA_API int32_t tessera_save_stream(void *im, FILE *out);

/* The budget of results: an operation that makes a new image out of others (imScale, imBorders,
 * im_Crop_, tessera_resize and the other geometry functions, rendering a point list) refuses a
 * result whose pixels take more bytes than this, returning null with the reason in
 * tessera_last_error() before anything is allocated. Loads through libtessera_io take it as their
 * default limit too. One value for the process, 1 GiB unless set; im_NewOrWrap_ and im_Dup_ are
 * not bounded by it. tessera_set_budget returns the budget it replaces; 0 restores the
 * default and UINT64_MAX sets none (only memory bounds results).
 * The budget bounds work too: a rendering or a JPEG decode may make TESSERA_WORK_PER_BYTE
 * visits (of a pixel, of a coefficient) for each byte of it, about 8.6 billion at 1 GiB. */
#define TESSERA_DEFAULT_BUDGET ((uint64_t)1 << 30)
#define TESSERA_WORK_PER_BYTE 8
TESSERA_API uint64_t tessera_set_budget(uint64_t bytes);
TESSERA_API uint64_t tessera_budget(void);

TESSERA_END_DECLS

#endif
