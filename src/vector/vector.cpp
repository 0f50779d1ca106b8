// Run-time-typed vectors: a handle, a header and one element block positioned by the offset.
#include <tessera/vector.h>

#include <cstddef>
#include <cstring>

#include "support/alloc.h"
#include "support/bytes.h"
#include "support/check.h"
#include "support/handles.h"

#define TESSERA_RCS "$Id: vector.cpp 1.0 $"

using tessera::detail::mem_calloc;
using tessera::detail::mem_free;
using tessera::detail::shifted;

static_assert(offsetof(AnyVectorStruct, header) == sizeof(void *));
static_assert(offsetof(VectorHeader, tag) == 8 && offsetof(VectorHeader, handle) == 16 &&
              offsetof(VectorHeader, elemsize) == 24 && offsetof(VectorHeader, structsize) == 26);

namespace {

// Element size of a fixed-size tag; 0 for VECTOR_STRUCT and for values that are not tags.
constexpr std::size_t fixed_size(uint8_t tag) {
    constexpr std::size_t sizes[] = {0, 1, 1, 2, 4, 0, 8, 4, 3, 12, 12};
    return tag < sizeof sizes / sizeof sizes[0] ? sizes[tag] : 0;
}

AnyVectorStruct *any(void *vec) { return static_cast<AnyVectorStruct *>(vec); }

std::size_t elem_size(uint8_t tag, const VectorHeader *header) {
    if (tag == VECTOR_STRUCT) return static_cast<std::size_t>(header->elemsize);
    const std::size_t size = fixed_size(tag);
    if (size == 0) TESSERA_PANIC("bad vector tag");
    return size;
}

void *allocVector(int32_t length, int32_t offset, uint32_t size) {
    TESSERA_CHECK(length > 0);
    void *block = mem_calloc(static_cast<std::size_t>(length), size);
    if (!block) return nullptr;
    return shifted(block, -static_cast<int64_t>(offset) * size);
}

void freeVector(void *data, int32_t offset, uint32_t size) {
    mem_free(shifted(data, static_cast<int64_t>(offset) * size));
}

// The header as allocated: it also keeps the element block, which data (shifted by the offset)
// may not point into, for leak checkers that follow only pointers into a block.
struct HeaderRecord {
    VectorHeader header;
    void *block;
};

void *first_element(void *vec, const VectorHeader *header, std::size_t size) {
    return shifted(any(vec)->data, static_cast<int64_t>(header->offset) * static_cast<int64_t>(size));
}

} // namespace

extern "C" {

void *vec_New_(uint8_t type, int32_t length, int32_t offset, int32_t elemsize, int32_t structsize, void *proto) {
    if (length <= 0) return nullptr;
    TESSERA_CHECK((elemsize == 0) != (type == VECTOR_STRUCT));
    const bool is_struct = type == VECTOR_STRUCT;
    const std::size_t size = is_struct ? static_cast<std::size_t>(elemsize) : fixed_size(type);
    if (size == 0) TESSERA_PANIC("bad vector tag");
    if (is_struct && !tessera::detail::struct_sizes_fit(elemsize, structsize, offsetof(AnyVectorStruct, user)))
        return nullptr;
    std::size_t bytes;
    if (!tessera::detail::product_fits(length, static_cast<int64_t>(size), 1, &bytes)) return nullptr;

    tessera::detail::NewRecord<HeaderRecord, AnyVectorStruct> parts;
    if (!parts.allocate(is_struct, structsize)) return nullptr;
    VectorHeader *header = &parts.record->header;
    header->length = length;
    header->offset = offset;
    header->tag = type;
    header->elemsize = static_cast<int16_t>(elemsize);
    header->structsize = static_cast<int16_t>(structsize);
    void *data = allocVector(length, offset, static_cast<uint32_t>(size));
    if (!data) return nullptr;
    parts.record->block = shifted(data, static_cast<int64_t>(offset) * static_cast<int64_t>(size));
    return parts.complete(is_struct, proto, data);
}

void vec_Free_(void *vec, uint8_t type) {
    TESSERA_CHECK(vec != (void *)NULL);
    VectorHeader *header = any(vec)->header;
    freeVector(any(vec)->data, header->offset, static_cast<uint32_t>(elem_size(type, header)));
    mem_free(vec);
    mem_free(header);
}

void *vec_Dup_(void *vec, VectorHeader *header) {
    TESSERA_CHECK(vec != (void *)NULL);
    TESSERA_CHECK(header != (VectorHeader *)NULL);
    void *copy = vec_New_(header->tag, header->length, header->offset, header->elemsize, header->structsize, vec);
    if (!copy) return nullptr;
    const std::size_t size = elem_size(header->tag, header);
    std::memcpy(first_element(copy, header, size), first_element(vec, header, size),
                static_cast<std::size_t>(header->length) * size);
    return copy;
}

void vec_Init_(void *vec, VectorHeader *header, void *init) {
    TESSERA_CHECK(vec != (void *)NULL);
    TESSERA_CHECK(header != (VectorHeader *)NULL);
    const std::size_t size = elem_size(header->tag, header);
    tessera::detail::fill_elements(first_element(vec, header, size), static_cast<std::size_t>(header->length), init,
                                   size);
}

void vec_SetOffset_(void *vec, VectorHeader *header, int32_t newoffset) {
    TESSERA_CHECK(vec != (void *)NULL);
    TESSERA_CHECK(header != (VectorHeader *)NULL);
    const int64_t old = header->offset;
    header->offset = newoffset;
    const std::size_t size = elem_size(header->tag, header);
    any(vec)->data = shifted(any(vec)->data, (old - newoffset) * static_cast<int64_t>(size));
}

void vec_Apply_(void *, void *, VectorHeader *) {}

} // extern "C"
