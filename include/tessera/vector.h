/* tessera/vector.h - run-time-typed one-dimensional vectors with a caller-chosen index offset.
 * Element i of vec lies at ((char *)vec->data) + i * element size for
 * offset <= i < offset + length. */
#ifndef TESSERA_VECTOR_H
#define TESSERA_VECTOR_H

#include <stdint.h>

#include "export.h"

TESSERA_BEGIN_DECLS

/* Vector tags and their elements. */
#define VECTOR_UCHAR 1    /* 1 byte */
#define VECTOR_CHAR 2     /* 1 byte */
#define VECTOR_SHORT 3    /* 2 bytes */
#define VECTOR_INT 4      /* 4 bytes */
#define VECTOR_DOUBLE 6   /* 8 bytes */
#define VECTOR_FLOAT 7    /* 4 bytes */
#define VECTOR_RGB 8      /* 3 bytes */
#define VECTOR_FLOAT3A 9  /* 12 bytes */
#define VECTOR_FLOAT3B 10 /* 12 bytes */
#define VECTOR_STRUCT 11  /* elemsize bytes */

typedef struct VectorHeader {
    int32_t length; /* number of elements, at least 1 */
    int32_t offset; /* index of the first element */
    uint8_t tag;
    void *handle;       /* back to the handle (not kept for VECTOR_STRUCT) */
    int16_t elemsize;   /* element size of a VECTOR_STRUCT vector, else 0 */
    int16_t structsize; /* handle size of a VECTOR_STRUCT vector */
} VectorHeader;

/* The handle of a vector of a fixed-size tag; a VECTOR_STRUCT handle is a caller-defined record
 * of structsize bytes that starts with data and header. */
typedef struct AnyVectorStruct {
    void *data;
    VectorHeader *header;
    int32_t user; /* the client's word */
} AnyVectorStruct;

/* New zero-filled vector; elemsize and structsize are for VECTOR_STRUCT only (1 to 32767;
 * structsize at least two pointers). Null for a length of 0 or less, a size that does not fit
 * memory, or when memory runs out. Release with vec_Free_. */
TESSERA_API void *vec_New_(uint8_t type, int32_t length, int32_t offset, int32_t elemsize, int32_t structsize,
                           void *proto);
/* Releases the vector; type is its tag. */
TESSERA_API void vec_Free_(void *vec, uint8_t type);
/* Independent copy with the same tag, length, offset and user word; null when memory runs out. */
TESSERA_API void *vec_Dup_(void *vec, VectorHeader *header);
/* Sets every element to the element at init. */
TESSERA_API void vec_Init_(void *vec, VectorHeader *header, void *init);
/* Re-indexes the vector so that its first element has index newoffset. */
TESSERA_API void vec_SetOffset_(void *vec, VectorHeader *header, int32_t newoffset);
/* Does nothing. */
TESSERA_API void vec_Apply_(void *vec, void *arg, VectorHeader *header);

TESSERA_END_DECLS

#endif
