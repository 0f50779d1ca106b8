// The run-time-typed image: creation, wrapping and release, duplication, filling, re-indexing,
// extrema and cropping. Storage is four pieces: handle, header, a row table positioned by the
// row offset, and one pixel block whose rows are positioned by the column offset.
#include "image_internal.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <sys/mman.h>
#include <type_traits>

#include "simd/x86.h"
#include "support/alloc.h"
#include "support/budget.h"
#include "support/check.h"
#include "support/error.h"
#include "support/handles.h"

#define TESSERA_RCS "$Id: image.cpp 1.0 $"

using tessera::detail::any;
using tessera::detail::first_pixel;
using tessera::detail::mem_calloc;
using tessera::detail::mem_free;
using tessera::detail::pixel_at;
using tessera::detail::pixel_count;
using tessera::detail::shifted;

static_assert(sizeof(RGB) == 3);
static_assert(offsetof(AnyImageStruct, header) == sizeof(void *) &&
              offsetof(AnyImageStruct, user) == 2 * sizeof(void *));
static_assert(offsetof(GrayImageStruct, user) == offsetof(AnyImageStruct, user));
static_assert(offsetof(RGBImageStruct, user) == offsetof(AnyImageStruct, user));
static_assert(offsetof(BinaryImageStruct, user) == offsetof(AnyImageStruct, user));
static_assert(offsetof(ImageHeader, tag) == 16 && offsetof(ImageHeader, elemsize) == 18 &&
              offsetof(ImageHeader, structsize) == 20 && offsetof(ImageHeader, handle) == 24 &&
              offsetof(ImageHeader, comment) == 32 && offsetof(ImageHeader, wrapped) == 40 &&
              offsetof(ImageHeader, reserved) == 44);

namespace tessera::detail {

std::size_t elem_size(const ImageHeader *header) {
    if (header->tag == IMAGE_STRUCT) return static_cast<std::size_t>(header->elemsize);
    const std::size_t size = fixed_elem_size(header->tag);
    if (size == 0) TESSERA_PANIC("bad image tag");
    return size;
}

int32_t round(float x) {
    const auto t = static_cast<int32_t>(x);
    if (std::abs(x - static_cast<float>(t)) < 0.5f) return t;
    return x > 0 ? t + 1 : t - 1;
}

} // namespace tessera::detail

namespace {

constexpr std::size_t pixel_alignment = 64;
// Pixel blocks written whole go on huge pages between these sizes. Measured here: a new 48 MiB
// RGB or 128 MiB double block copies 3 to 4 times faster so, a 192 MiB one scales 3 times faster
// and a 512 MiB one is first written in 110 to 130 ms instead of 490 to 590 (though in one run
// in five, with memory fragmented, the kernel took as long to gather the huge pages); at 16 MiB
// the gain is lost to the larger clearing per fault.
constexpr std::size_t huge_block = std::size_t{32} << 20, huge_block_max = std::size_t{1} << 30;
constexpr std::size_t huge_page = std::size_t{2} << 20;

// A pixel block aligned for whole-block reads and writes; the address the heap returned is kept
// just below the aligned start. Zero-filled blocks come from calloc, which keeps large blocks
// lazily zeroed; a block the caller overwrites whole is not cleared at all.
void *alloc_pixels(std::size_t bytes, bool zero) {
    void *raw;
    if (!zero && bytes >= huge_block && bytes <= huge_block_max) {
        // A block that every pixel of is about to be written: 2 MiB-aligned and marked for
        // transparent huge pages, so that first touching it costs 512 times fewer page faults.
        // Without huge pages (or where the advice is refused) it is an ordinary block.
        const std::size_t size = (bytes + pixel_alignment + huge_page - 1) / huge_page * huge_page;
        raw = tessera::detail::mem_aligned(huge_page, size);
#if defined(MADV_HUGEPAGE)
        if (raw) madvise(raw, size, MADV_HUGEPAGE);
#endif
    } else {
        raw = zero ? mem_calloc(1, bytes + pixel_alignment) : tessera::detail::mem_alloc(bytes + pixel_alignment);
    }
    if (!raw) return nullptr;
    const uintptr_t aligned = (reinterpret_cast<uintptr_t>(raw) + pixel_alignment) & ~(pixel_alignment - 1);
    reinterpret_cast<void **>(aligned)[-1] = raw;
    return reinterpret_cast<void *>(aligned);
}

void free_pixels(void *block) { mem_free(static_cast<void **>(block)[-1]); }

void **allocImage(int32_t width, int32_t height, int32_t xoffset, int32_t yoffset, uint32_t size, void *raw,
                  bool zero = true) {
    TESSERA_CHECK(width > 0 && height > 0);
    const std::size_t row_bytes = static_cast<std::size_t>(width) * size;
    void *block = raw ? raw : alloc_pixels(row_bytes * static_cast<std::size_t>(height), zero);
    if (!block) return nullptr;
    // Slot 0 keeps the pixel allocation itself: the row pointers are shifted by the column
    // offset and may all lie outside it, and leak checkers follow only pointers into a block.
    auto **table = static_cast<void **>(mem_calloc(static_cast<std::size_t>(height) + 1, sizeof(void *)));
    if (!table) {
        if (!raw) free_pixels(block);
        return nullptr;
    }
    table[0] = raw ? nullptr : static_cast<void **>(block)[-1];
    const int64_t column_shift = -static_cast<int64_t>(xoffset) * size;
    for (int32_t i = 0; i < height; ++i)
        table[i + 1] =
            shifted(static_cast<unsigned char *>(block) + static_cast<std::size_t>(i) * row_bytes, column_shift);
    return shifted(table + 1, -static_cast<int64_t>(yoffset) * static_cast<int64_t>(sizeof(void *)));
}

void freeImage(void **data, int32_t xoffset, int32_t yoffset, uint32_t size, bool wrapped) {
    if (!wrapped) free_pixels(shifted(data[yoffset], static_cast<int64_t>(xoffset) * size));
    mem_free(data + yoffset - 1);
}

// The header as allocated: it also keeps the row table's allocation, which data (shifted by the
// row offset) may not point into.
struct HeaderRecord {
    ImageHeader header;
    void **table;
};

} // namespace

namespace tessera::detail {

void *create_image(uint16_t type, int32_t width, int32_t height, int32_t xoffset, int32_t yoffset, void *raw,
                   int32_t elemsize, int32_t structsize, void *proto, bool zero) {
    if (width <= 0 || height <= 0)
        return fail(Err::argument, "%s %d is not a valid size", width <= 0 ? "width" : "height",
                    width <= 0 ? width : height),
               nullptr;
    // Two contracts whose reports are fixed texts: element sizes go only with structure images
    // made here, and a structure image needs its element size (the second check can only fail,
    // but its text is the report a caller sees).
    if (elemsize != 0) {
        TESSERA_CHECK(raw == NULL && type == IMAGE_STRUCT);
    } else if (type == IMAGE_STRUCT) {
        TESSERA_CHECK(type != IMAGE_STRUCT);
    }
    const bool is_struct = type == IMAGE_STRUCT;
    const std::size_t size = is_struct ? static_cast<std::size_t>(elemsize) : tessera::detail::fixed_elem_size(type);
    if (size == 0) TESSERA_PANIC("bad image tag");
    if (is_struct && !struct_sizes_fit(elemsize, structsize, offsetof(AnyImageStruct, user)))
        return fail(Err::argument, "structure element size %d or handle size %d out of range", elemsize, structsize),
               nullptr;
    std::size_t bytes;
    if (!tessera::detail::product_fits(width, height, static_cast<int64_t>(size), &bytes))
        return fail(Err::memory, "a %d x %d image of %zu-byte pixels does not fit in memory", width, height, size),
               nullptr;

    NewRecord<HeaderRecord, AnyImageStruct> parts;
    if (!parts.allocate(is_struct, structsize)) return fail_memory(sizeof(HeaderRecord), "an image header"), nullptr;
    ImageHeader *header = &parts.record->header;
    header->width = width;
    header->height = height;
    header->xoffset = xoffset;
    header->yoffset = yoffset;
    header->tag = type;
    header->elemsize = static_cast<int16_t>(elemsize);
    header->structsize = static_cast<int16_t>(structsize);
    header->wrapped = raw != nullptr;
    void **data = allocImage(width, height, xoffset, yoffset, static_cast<uint32_t>(size), raw, zero);
    if (!data)
        return fail_memory(raw ? (static_cast<std::size_t>(height) + 1) * sizeof(void *) : bytes,
                           raw ? "the row table" : "the pixels"),
               nullptr;
    parts.record->table = shifted(data, (int64_t{yoffset} - 1) * static_cast<int64_t>(sizeof(void *)));
    return parts.complete(is_struct, proto, data);
}

} // namespace tessera::detail

extern "C" {

void *im_NewOrWrap_(uint16_t type, int32_t width, int32_t height, int32_t xoffset, int32_t yoffset, void *raw,
                    int32_t elemsize, int32_t structsize, void *proto) {
    return tessera::detail::create_image(type, width, height, xoffset, yoffset, raw, elemsize, structsize, proto, true);
}

void *tessera_image_new_unfilled(uint16_t type, int32_t width, int32_t height) {
    if (type == IMAGE_STRUCT || tessera::detail::fixed_elem_size(type) == 0)
        return tessera::detail::fail(tessera::detail::Err::argument,
                                     "an unfilled image needs a fixed-size element type, not %u", type),
               nullptr;
    return tessera::detail::create_image(type, width, height, 0, 0, nullptr, 0, 0, nullptr, false);
}

void im_Free_(void *im, uint16_t type) {
    TESSERA_CHECK(im != (void *) NULL);
    ImageHeader *header = any(im)->header;
    std::size_t size = tessera::detail::fixed_elem_size(type);
    if (type == IMAGE_STRUCT) size = static_cast<std::size_t>(header->elemsize);
    else if (size == 0) TESSERA_PANIC("bad image tag");
    strFree(header->comment);
    freeImage(any(im)->data, header->xoffset, header->yoffset, static_cast<uint32_t>(size), header->wrapped);
    mem_free(im);
    mem_free(header);
}

void *im_Dup_(void *im, ImageHeader *header) {
    TESSERA_CHECK(im != (void *)NULL);
    TESSERA_CHECK(header != (ImageHeader *)NULL);
    void *copy =
        tessera::detail::create_image(header->tag, header->width, header->height, header->xoffset, header->yoffset,
                                      nullptr, header->elemsize, header->structsize, im, false);
    if (!copy) return nullptr;
    const std::size_t size = tessera::detail::elem_size(header);
    std::memcpy(first_pixel(copy, header, size), first_pixel(im, header, size), pixel_count(header) * size);
    return copy;
}

void im_Init_(void *im, ImageHeader *header, void *value) {
    TESSERA_CHECK(im != (void *)NULL);
    TESSERA_CHECK(header != (ImageHeader *)NULL);
    const std::size_t size = tessera::detail::elem_size(header);
    tessera::detail::fill_elements(first_pixel(im, header, size), pixel_count(header), value, size);
}

void im_SetOffset_(void *im, ImageHeader *header, int32_t newx, int32_t newy) {
    TESSERA_CHECK(im != (void *)NULL);
    TESSERA_CHECK(header != (ImageHeader *)NULL);
    const int64_t oldx = header->xoffset, oldy = header->yoffset;
    header->xoffset = newx;
    header->yoffset = newy;
    const std::size_t size = tessera::detail::elem_size(header);
    AnyImageStruct *image = any(im);
    image->data = shifted(image->data, (oldy - newy) * static_cast<int64_t>(sizeof(void *)));
    const int64_t column_shift = (oldx - newx) * static_cast<int64_t>(size);
    for (int64_t y = newy; y < int64_t{newy} + header->height; ++y)
        image->data[y] = shifted(image->data[y], column_shift);
}

void im_Apply_(void *, void *, ImageHeader *) {}

} // extern "C"

// ---------------------------------------------------------------------------------------------
// Extrema

namespace {

struct Float3 {
    float v[3];
};

// Largest and smallest of n elements of C channels each, channel by channel, with the
// sequential rule: a value greater than the maximum replaces it; otherwise a value that is not
// greater than or equal to the minimum replaces that.
template <class T, int C> void extrema_exact(const T *p, std::size_t n, T *mx, T *mn) {
    for (int c = 0; c < C; ++c) {
        T hi = p[c], lo = p[c];
        for (std::size_t i = 1; i < n; ++i) {
            const T v = p[i * C + c];
            if (v > hi) hi = v;
            else if (!(v >= lo)) lo = v;
        }
        mx[c] = hi;
        mn[c] = lo;
    }
}

// Independent maxima and minima over blocks of 12 values (a whole number of 3-channel
// elements and of SIMD registers), folded per channel at the end. Without NaNs the sequential
// rule is a plain maximum and minimum: maxps/minps keep their second operand on ties exactly as
// "v > hi ? v : hi" does. For floating point a NaN sends the scan to the exact loop.
template <class T, int C> bool extrema_blocks(const T *p, std::size_t total, T *hi, T *lo, std::size_t *done) {
    constexpr int lanes = 12 * (sizeof(T) <= 4 ? 4 / sizeof(T) : 1);
    constexpr bool floating = std::is_floating_point_v<T>;
    T h[lanes], l[lanes];
    for (int j = 0; j < lanes; ++j) h[j] = l[j] = p[j % C];
    bool unordered = false;
    std::size_t i = 0;
    bool vectored = false;
#if TESSERA_SIMD_X86
    // The vector operations keep max's and min's second operand unless the first is greater (or
    // less), as "v > hi ? v : hi" does.
    if constexpr (floating)
        if (tessera::detail::simd::sse2()) {
            using S = tessera::detail::simd::x86::Lanes<T>;
            constexpr int regs = lanes / S::width;
            typename S::V vh[regs], vl[regs], nan = S::zero();
            for (int k = 0; k < regs; ++k) vh[k] = vl[k] = S::load(h + S::width * k);
            for (; i + lanes <= total; i += lanes)
                for (int k = 0; k < regs; ++k) {
                    const typename S::V v = S::load(p + i + S::width * k);
                    vh[k] = S::max(v, vh[k]);
                    vl[k] = S::min(v, vl[k]);
                    nan = S::either(nan, S::unordered(v));
                }
            for (int k = 0; k < regs; ++k) {
                S::store(h + S::width * k, vh[k]);
                S::store(l + S::width * k, vl[k]);
            }
            unordered = S::any(nan);
            vectored = true;
        }
#endif
    if (!vectored) {
        constexpr int wide = lanes * (192 / (lanes * sizeof(T)) > 0 ? 192 / (lanes * sizeof(T)) : 1);
        T hw[wide], lw[wide];
        for (int j = 0; j < wide; ++j) hw[j] = lw[j] = p[j % C];
        for (; i + wide <= total; i += wide) {
            for (int j = 0; j < wide; ++j) {
                const T v = p[i + static_cast<std::size_t>(j)];
                hw[j] = v > hw[j] ? v : hw[j];
                lw[j] = v < lw[j] ? v : lw[j];
                if constexpr (floating) unordered |= v != v;
            }
        }
        for (int j = 0; j < wide; ++j) {
            if (hw[j] > h[j % lanes]) h[j % lanes] = hw[j];
            if (lw[j] < l[j % lanes]) l[j % lanes] = lw[j];
        }
    }
    for (int j = 0; j < lanes; ++j) {
        const int c = j % C;
        if (h[j] > hi[c]) hi[c] = h[j];
        if (l[j] < lo[c]) lo[c] = l[j];
    }
    *done = i;
    return unordered;
}

template <class T, int C> void extrema(const T *p, std::size_t n, T *mx, T *mn) {
    static_assert(12 % C == 0);
    constexpr bool floating = std::is_floating_point_v<T>;
    for (int c = 0; c < C; ++c) mx[c] = mn[c] = p[c];
    const std::size_t total = n * C;
    std::size_t i = 0;
    bool unordered = extrema_blocks<T, C>(p, total, mx, mn, &i);
    for (; i < total; ++i) {
        const T v = p[i];
        const int c = static_cast<int>(i % C);
        if (v > mx[c]) mx[c] = v;
        if (v < mn[c]) mn[c] = v;
        if constexpr (floating) unordered |= v != v;
    }
    if constexpr (floating) {
        if (unordered) return extrema_exact<T, C>(p, n, mx, mn);
        // Equal values have equal bits, except zeros: the sequential rule keeps the first
        // element equal to the result, so a zero result takes the sign of the first zero.
        for (int c = 0; c < C; ++c) {
            for (T *r : {&mx[c], &mn[c]}) {
                if (*r != 0) continue;
                for (std::size_t k = 0; k < n; ++k)
                    if (p[k * C + c] == 0) {
                        *r = p[k * C + c];
                        break;
                    }
            }
        }
    }
}

template <class T, int C> void extrema_into(const void *run, std::size_t n, void *max, void *min) {
    T mx[C], mn[C];
    extrema<T, C>(static_cast<const T *>(run), n, mx, mn);
    std::memcpy(max, mx, sizeof mx);
    std::memcpy(min, mn, sizeof mn);
}

void max_and_min(void *im, ImageHeader *header, void *max, void *min) {
    const uint16_t tag = header->tag;
    if (tag == IMAGE_POINTER) TESSERA_PANIC("imMaxAndMin() not defined for pointer images");
    if (tag == IMAGE_STRUCT) TESSERA_PANIC("imMaxAndMin() not defined for struct images");
    const ImageHeader *own = any(im)->header; // size and offsets come from the image itself
    const std::size_t size = tessera::detail::elem_size(header);
    const void *run = first_pixel(im, own, size);
    const std::size_t n = pixel_count(own);
    tessera::detail::visit_pixels(tag, [&](auto pixel) {
        using P = decltype(pixel);
        extrema_into<typename P::scalar, P::channels>(run, n, max, min);
    });
}

} // namespace

extern "C" {

void im_MaxAndMin_(void *im, ImageHeader *header, void *max, void *min) {
    TESSERA_CHECK(im != (void *)NULL);
    TESSERA_CHECK(header != (ImageHeader *)NULL);
    max_and_min(im, header, max, min);
}

void im_MaxAndMinNoInf_(void *im, ImageHeader *header, void *max, void *min) {
    TESSERA_CHECK(im != (void *)NULL);
    TESSERA_CHECK(header != (ImageHeader *)NULL);
    const tessera::detail::TagTraits *t = tessera::detail::traits_of(header->tag);
    if (!t || !t->whole_extrema) TESSERA_PANIC("bad image tag");
    max_and_min(im, header, max, min);
}

} // extern "C"

// ---------------------------------------------------------------------------------------------
// Cropping

namespace {

// Copies a w x h rectangle between two images of the same element size, row by row.
void copy_rect(void *to, int64_t tox, int64_t toy, void *from, int64_t fromx, int64_t fromy, int64_t w, int64_t h,
               std::size_t size) {
    for (int64_t r = 0; r < h; ++r)
        std::memcpy(pixel_at(to, tox, toy + r, size), pixel_at(from, fromx, fromy + r, size),
                    static_cast<std::size_t>(w) * size);
}

bool inside(int64_t first, int64_t count, int64_t lo, int64_t n) { return first >= lo && first + count <= lo + n; }

} // namespace

extern "C" {

void *im_Crop_(void *im, ImageHeader *header, int32_t left, int32_t top, int32_t cropWidth, int32_t cropHeight) {
    if (cropWidth <= 0 || cropHeight <= 0) return nullptr;
    const int64_t first_col = std::max<int64_t>(left, header->xoffset);
    const int64_t last_col = std::min<int64_t>(int64_t{left} + cropWidth, int64_t{header->xoffset} + header->width) - 1;
    const int64_t first_row = std::max<int64_t>(top, header->yoffset);
    const int64_t last_row =
        std::min<int64_t>(int64_t{top} + cropHeight, int64_t{header->yoffset} + header->height) - 1;
    // A clipped rectangle of a single column or row is still a rectangle.
    if (last_col < first_col || last_row < first_row) return nullptr;
    const bool is_struct = header->tag == IMAGE_STRUCT;
    const std::size_t size = tessera::detail::elem_size(header);
    // A rectangle reaching past the source makes a larger image than it: that is held to the budget.
    const bool grows = int64_t{cropWidth} * cropHeight > int64_t{header->width} * header->height;
    if (grows && !tessera::detail::within_budget(cropWidth, cropHeight, size, "result")) return nullptr;
    // Pixels outside the source stay 0; a rectangle inside it is overwritten whole.
    const bool covered = first_col == left && first_row == top && last_col - first_col + 1 == cropWidth &&
                         last_row - first_row + 1 == cropHeight;
    void *result = tessera::detail::create_image(header->tag, cropWidth, cropHeight, left, top, nullptr,
                                                 is_struct ? header->elemsize : 0, is_struct ? header->structsize : 0,
                                                 nullptr, !covered);
    if (!result) return nullptr;
    copy_rect(result, first_col, first_row, im, first_col, first_row, last_col - first_col + 1,
              last_row - first_row + 1, size);
    return result;
}

void *im_Crop_Into_(void *im, ImageHeader *header, void *into, int32_t left, int32_t top, int32_t toleft, int32_t totop,
                    int32_t cropWidth, int32_t cropHeight) {
    if (cropWidth <= 0 || cropHeight <= 0) return nullptr;
    if (!inside(left, cropWidth, header->xoffset, header->width) ||
        !inside(top, cropHeight, header->yoffset, header->height))
        return nullptr;
    if (header->tag == IMAGE_STRUCT) TESSERA_PANIC("IMAGE_STRUCT not supported by imCropInto");
    const std::size_t size = tessera::detail::elem_size(header);
    void *created = nullptr;
    if (!into) {
        into = created =
            tessera::detail::create_image(header->tag, cropWidth, cropHeight, 0, 0, nullptr, 0, 0, nullptr, false);
        if (!into) return nullptr;
    }
    const ImageHeader *to = any(into)->header;
    if (to->tag != header->tag || !inside(toleft, cropWidth, to->xoffset, to->width) ||
        !inside(totop, cropHeight, to->yoffset, to->height)) {
        if (created) im_Free_(created, header->tag);
        return nullptr;
    }
    copy_rect(into, toleft, totop, im, left, top, cropWidth, cropHeight, size);
    return into;
}

} // extern "C"
