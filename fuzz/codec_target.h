// The body of the image-file fuzz targets: arbitrary bytes are loaded from memory (small
// limit, both depths, a coloured background), converted to every element type, and what
// loads in the codec under test is written back in it and loaded again, which must give the
// same pixels (the same size for JPEG). Reading outside memory, leaking, hanging, undefined
// behaviour or a round trip that changes a lossless image is a failure.
#pragma once

#include <tessera/geometry.h>
#include <tessera/io.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace tessera::fuzz {

inline bool same_pixels(const AnyImageStruct *a, const AnyImageStruct *b, std::size_t elem) {
    const ImageHeader *x = a->header, *y = b->header;
    if (x->width != y->width || x->height != y->height || x->tag != y->tag) return false;
    for (int32_t r = 0; r < x->height; ++r)
        if (std::memcmp(a->data[r], b->data[r], static_cast<std::size_t>(x->width) * elem) != 0) return false;
    return true;
}

inline std::size_t element_size(uint16_t tag) {
    switch (tag) {
    case IMAGE_GRAY:
    case IMAGE_BINARY: return 1;
    case IMAGE_SHORT:
    case IMAGE_GRAY16: return 2;
    case IMAGE_RGB: return 3;
    case IMAGE_INT:
    case IMAGE_FLOAT:
    case IMAGE_RGBA: return 4;
    case IMAGE_RGB16: return 6;
    case IMAGE_DOUBLE:
    case IMAGE_RGBA16: return 8;
    default: return 12;
    }
}

// What the header alone says must be what a load in the file's own type found, when it found an
// image (tag 0: none): the same sizes and element type (GIF aside: its header cannot tell whether
// a pixel is transparent). A thumbnail (a JPEG shrunk as it is decoded) must fit its box.
inline void probe_agrees(const uint8_t *data, size_t size, uint16_t tag, const tessera_io_info &loaded) {
    const int fd = memfd_create("fuzz", MFD_CLOEXEC);
    if (fd < 0) return;
    if (write(fd, data, size) == static_cast<ssize_t>(size)) {
        char path[64];
        std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
        tessera_io_load_options o;
        tessera_io_load_defaults(&o);
        tessera_io_metadata meta{};
        o.metadata = &meta;
        tessera_io_info info{};
        const uint16_t probed = tessera_io_probe(path, &o, &info);
        const bool gif = loaded.format && std::strcmp(loaded.format->name, "gif") == 0;
        if (tag && (!probed || info.width != loaded.width || info.height != loaded.height ||
                    info.orientation != loaded.orientation || (probed != tag && !gif)))
            std::abort();
        tessera_io_metadata_free(&meta);
        o.metadata = nullptr;
        o.max_pixels = 1 << 20;
        if (auto *t = static_cast<AnyImageStruct *>(tessera_io_thumbnail(path, 7, 5, TESSERA_LANCZOS3, &o, nullptr))) {
            if (t->header->width > 7 || t->header->height > 5) std::abort();
            im_Free_(t, t->header->tag);
        }
        // PNG, TIFF, PAM, Netpbm and BMP pictures are made row by row where they can be: the rows a
        // resize asks for (every one, or some with nearest sampling) must give what a whole load
        // and the resize give, whenever both succeed
        o.keep_orientation = 1;
        bool rows = false;
        for (const char *name : {"png", "tiff", "pam", "pgm", "ppm", "pbm", "bmp"})
            rows = rows || (loaded.format && std::strcmp(loaded.format->name, name) == 0);
        for (int filter : {TESSERA_NEAREST, TESSERA_BILINEAR}) {
            auto *t =
                rows ? static_cast<AnyImageStruct *>(tessera_io_thumbnail(path, 7, 5, filter, &o, nullptr)) : nullptr;
            auto *whole = t ? static_cast<AnyImageStruct *>(tessera_io_load(path, &o, nullptr)) : nullptr;
            auto *want = whole ? tessera_resize(whole, t->header->width, t->header->height, filter) : nullptr;
            if (whole && (t->header->width == whole->header->width && t->header->height == whole->header->height)) {
                if (want) im_Free_(want, want->header->tag);
                want = whole, whole = nullptr; // within the box: the picture itself
            }
            if (want && (want->header->tag != t->header->tag || !same_pixels(t, want, element_size(t->header->tag))))
                std::abort();
            for (AnyImageStruct *im : {t, whole, want})
                if (im) im_Free_(im, im->header->tag);
        }
    }
    close(fd);
}

// codec: the name of the format whose files get the round trip; null for none.
inline int fuzz_files(const uint8_t *data, size_t size, const char *codec) {
    uint16_t own_tag = 0;
    tessera_io_info own_info{};
    for (int depth : {TESSERA_IO_REDUCE, TESSERA_IO_KEEP, TESSERA_IO_OWN}) {
        tessera_io_load_options o;
        tessera_io_load_defaults(&o);
        o.depth = depth;
        o.background = RGB{10, 200, 30};
        // Small images keep the runs fast; TESSERA_FUZZ_BUDGET=default fuzzes at the default budget,
        // where the decoders' own bounds are what keeps memory and time in check.
        static const bool default_budget = [] {
            const char *b = std::getenv("TESSERA_FUZZ_BUDGET");
            return b && std::strcmp(b, "default") == 0;
        }();
        if (!default_budget) o.max_pixels = 1 << 20;
        // the file's own type also gathers its profile, EXIF and XMP, which the round trip carries
        tessera_io_metadata meta{};
        if (depth == TESSERA_IO_OWN) o.metadata = &meta;
        tessera_io_info info;
        auto *im = static_cast<AnyImageStruct *>(tessera_io_load_memory(data, size, &o, &info));
        o.metadata = nullptr;
        if (!im) continue;
        if (depth == TESSERA_IO_OWN) own_tag = im->header->tag, own_info = info;
        if (depth != TESSERA_IO_KEEP) {
            const uint16_t tags[] = {IMAGE_BINARY,  IMAGE_GRAY, IMAGE_RGB,   IMAGE_SHORT,
                                     IMAGE_FLOAT3A, IMAGE_RGBA, IMAGE_GRAY16};
            for (uint16_t tag : tags)
                for (int normalize = 0; normalize < 2; ++normalize)
                    if (void *c = tessera_io_convert(im, tag, normalize)) im_Free_(c, tag);
        }
        const tessera_io_format *f = codec ? tessera_io_format_named(codec) : nullptr;
        if (f && info.format && std::strcmp(info.format->name, codec) == 0 &&
            tessera_io_target_tag(f, im->header->tag, 0)) {
            void *bytes = nullptr;
            size_t n = 0;
            tessera_io_save_options s;
            tessera_io_save_defaults(&s);
            s.metadata = &meta;
            if (tessera_io_save_memory(im, f, &s, &bytes, &n) == 0) {
                tessera_io_metadata again{};
                o.metadata = &again;
                auto *back = static_cast<AnyImageStruct *>(tessera_io_load_memory(bytes, n, &o, nullptr));
                o.metadata = nullptr;
                if (!back) std::abort(); // what was written cannot be read
                // EXIF and XMP come back as they went (JPEG's markers have room for 64 KB only)
                const auto same = [](const void *a, size_t na, const void *b, size_t nb) {
                    return na == nb && (na == 0 || std::memcmp(a, b, na) == 0);
                };
                if (std::strcmp(codec, "jpeg") != 0 && (!same(meta.exif, meta.exif_size, again.exif, again.exif_size) ||
                                                        !same(meta.xmp, meta.xmp_size, again.xmp, again.xmp_size)))
                    std::abort();
                tessera_io_metadata_free(&again);
                const bool lossy = std::strcmp(codec, "jpeg") == 0 || std::strcmp(codec, "webp") == 0;
                if (!lossy && !same_pixels(im, back, element_size(im->header->tag))) std::abort();
                if (lossy && (back->header->width != im->header->width || back->header->height != im->header->height))
                    std::abort();
                im_Free_(back, back->header->tag);
                std::free(bytes);
            }
        }
        im_Free_(im, im->header->tag);
        tessera_io_metadata_free(&meta);
    }
    probe_agrees(data, size, own_tag, own_info);
    // colours converted by whatever profile the file holds
    tessera_io_load_options o;
    tessera_io_load_defaults(&o);
    o.max_pixels = 1 << 20;
    o.to_srgb = 1;
    if (auto *im = static_cast<AnyImageStruct *>(tessera_io_load_memory(data, size, &o, nullptr)))
        im_Free_(im, im->header->tag);
    return 0;
}

} // namespace tessera::fuzz
