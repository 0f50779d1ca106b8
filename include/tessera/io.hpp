// tessera/io.hpp - the C++ face of libtessera_io (link tessera::io): images in every format of
// the table, from paths, streams, descriptors and memory.
//
//     tessera::any_image im = tessera::io::load("scan.tif"); // alpha and 16 bits as the file has them
//     tessera::io::save(im, "scan.png");                     // 16-bit PNG when the file was 16-bit
//     std::vector<unsigned char> jpeg = tessera::io::encode(im8, tessera::io::format("jpeg"));
//
// Failures throw tessera::file_error (path, reason, system error code), exhausted memory
// tessera::out_of_memory, and a format name the table does not have std::invalid_argument. The
// try_ forms return std::optional or bool and never throw.
#pragma once

#include <tessera/io.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "../tessera.hpp"

namespace tessera::io {

using format_info = tessera_io_format;
using file_info = tessera_io_info;

enum class depth { own = TESSERA_IO_OWN, reduce = TESSERA_IO_REDUCE, keep = TESSERA_IO_KEEP, raw = TESSERA_IO_RAW };

// What a file carries beside its pixels: the ICC profile, EXIF (its TIFF structure, from the
// byte-order mark on) and the XMP packet, in blocks it owns; empty spans when absent. A load
// fills it when load_options::metadata points to it, a save writes it when
// save_options::metadata does (each block where the format holds it).
class metadata {
  public:
    metadata() noexcept = default;
    metadata(const metadata &) = delete;
    metadata &operator=(const metadata &) = delete;
    metadata(metadata &&o) noexcept : c_(o.c_) { o.c_ = {}; }
    metadata &operator=(metadata &&o) noexcept {
        if (this != &o) {
            tessera_io_metadata_free(&c_);
            c_ = o.c_;
            o.c_ = {};
        }
        return *this;
    }
    ~metadata() { tessera_io_metadata_free(&c_); }

    std::span<const unsigned char> icc() const noexcept { return bytes(c_.icc, c_.icc_size); }
    std::span<const unsigned char> exif() const noexcept { return bytes(c_.exif, c_.exif_size); }
    std::span<const unsigned char> xmp() const noexcept { return bytes(c_.xmp, c_.xmp_size); }
    bool empty() const noexcept { return !c_.icc && !c_.exif && !c_.xmp; }
    void clear() noexcept { tessera_io_metadata_free(&c_); }
    tessera_io_metadata *get() noexcept { return &c_; }
    const tessera_io_metadata *get() const noexcept { return &c_; }

  private:
    static std::span<const unsigned char> bytes(const void *p, std::size_t n) noexcept {
        return {static_cast<const unsigned char *>(p), p ? n : 0};
    }
    tessera_io_metadata c_{};
};

struct load_options {
    uint16_t tag = 0;                 // element type wanted; 0: the file's own
    io::depth depth = depth::own;     // own: alpha and 16 bits kept (IMAGE_RGBA, IMAGE_GRAY16, ...);
                                      // reduce: 8 bits, alpha over the background; keep: 16-bit
                                      // samples as IMAGE_INT / IMAGE_FLOAT3B
    RGB background{0, 0, 0};          // under alpha
    uint64_t max_pixels = 0;          // 0: no pixel limit
    bool keep_orientation = false;    // true: the pixels as stored, not turned by the EXIF orientation
    uint64_t max_bytes = 0;           // the load's budget in bytes; 0: tessera_budget()
    io::metadata *metadata = nullptr; // when set, replaced by the file's metadata on success
    bool to_srgb = false;             // colours converted by the file's ICC profile to sRGB
};

struct save_options {
    int depth = 0;         // 8 or 16; 0: as the image is (16-bit images at 16 where the format holds it)
    int quality = 0;       // JPEG 1..100; 0: 90
    int compression = -1;  // PNG level 0..9 (-1: 6; 1..3 fast); TIFF deflate level 1..9, TESSERA_IO_LZW, else none
    bool lossless = false; // WebP: lossless instead of lossy at quality
    const io::metadata *metadata = nullptr; // profile, EXIF and XMP to write; null: none
};

namespace detail {

inline tessera_io_load_options c_options(const load_options &o) {
    tessera_io_load_options c;
    tessera_io_load_defaults(&c);
    c.tag = o.tag;
    c.depth = static_cast<int>(o.depth);
    c.background = o.background;
    c.keep_orientation = o.keep_orientation ? 1 : 0;
    c.max_pixels = o.max_pixels;
    c.max_bytes = o.max_bytes;
    c.metadata = o.metadata ? o.metadata->get() : nullptr;
    c.to_srgb = o.to_srgb ? 1 : 0;
    return c;
}

inline tessera_io_save_options c_options(const save_options &o) {
    return tessera_io_save_options{o.depth, o.quality, o.compression, o.lossless ? 1 : 0,
                                   o.metadata ? o.metadata->get() : nullptr};
}

#if TESSERA_HPP_THROWS
[[noreturn]] inline void raise(const char *doing, const std::filesystem::path &path) {
    tessera::detail::raise_file(doing, path, tessera_io_last_error(), tessera_io_last_error_code(),
                                tessera_io_last_errno());
}
#endif

} // namespace detail

// The table of formats.
inline std::vector<const format_info *> formats() {
    std::vector<const format_info *> all;
    for (std::size_t i = 0; i < tessera_io_format_count(); ++i) all.push_back(tessera_io_format_at(i));
    return all;
}
inline const format_info *find_format(std::string_view name) noexcept {
    const std::string n(name);
    return tessera_io_format_named(n.c_str());
}

// ---- the forms that never throw ------------------------------------------------------------

inline std::optional<any_image> try_load(const std::filesystem::path &path, const load_options &o = {},
                                         file_info *info = nullptr) {
    const tessera_io_load_options c = detail::c_options(o);
    if (void *im = tessera_io_load(path.c_str(), &c, info)) return any_image::adopt(im);
    return std::nullopt;
}
inline std::optional<any_image> try_load(std::FILE *stream, const load_options &o = {}, file_info *info = nullptr) {
    const tessera_io_load_options c = detail::c_options(o);
    if (void *im = tessera_io_load_file(stream, &c, info)) return any_image::adopt(im);
    return std::nullopt;
}
inline std::optional<any_image> try_load_memory(std::span<const unsigned char> bytes, const load_options &o = {},
                                                file_info *info = nullptr) {
    const tessera_io_load_options c = detail::c_options(o);
    if (void *im = tessera_io_load_memory(bytes.data(), bytes.size(), &c, info)) return any_image::adopt(im);
    return std::nullopt;
}
// What a load would find, from the header alone (see tessera_io_probe): the element type it
// gives, 0 on failure.
inline uint16_t try_probe(const std::filesystem::path &path, const load_options &o = {},
                          file_info *info = nullptr) noexcept {
    const tessera_io_load_options c = detail::c_options(o);
    return tessera_io_probe(path.c_str(), &c, info);
}
// A thumbnail fitting within width x height (see tessera_io_thumbnail).
inline std::optional<any_image> try_thumbnail(const std::filesystem::path &path, int32_t width, int32_t height,
                                              int filter = TESSERA_BICUBIC, const load_options &o = {},
                                              file_info *info = nullptr) {
    const tessera_io_load_options c = detail::c_options(o);
    if (void *im = tessera_io_thumbnail(path.c_str(), width, height, filter, &c, info)) return any_image::adopt(im);
    return std::nullopt;
}
// What a pipeline does to a picture on its way from one file to another (see
// tessera_io_pipeline): a crop, a resize, a turn, a mirror and a change of element type.
using steps = tessera_io_steps;
// Loads in, does s and saves at out (format null: out's extension decides), row by row where
// the reader and steps allow (see tessera_io_pipeline). The picture's metadata goes with it
// unless the save options give their own.
inline bool try_pipeline(const std::filesystem::path &in, const std::filesystem::path &out, const steps &s = {},
                         const load_options &lo = {}, const save_options &so = {}, const format_info *format = nullptr,
                         file_info *info = nullptr) {
    const tessera_io_load_options cl = detail::c_options(lo);
    const tessera_io_save_options cs = detail::c_options(so);
    return tessera_io_pipeline(in.c_str(), out.c_str(), format, &s, &cl, &cs, info) == 0;
}
// What a save reads: any image, typed (image<T>) or not, without taking it.
class image_ref {
  public:
    image_ref(const any_image &im) noexcept : im_(im.valid() ? im.get() : nullptr) {}
    template <class T> image_ref(const image<T> &im) noexcept : im_(im.valid() ? im.get() : nullptr) {}
    AnyImageStruct *get() const noexcept { return im_; }
    bool valid() const noexcept { return im_ != nullptr; }

  private:
    AnyImageStruct *im_;
};

inline bool try_save(image_ref im, const std::filesystem::path &path, const format_info *format = nullptr,
                     const save_options &o = {}) {
    const tessera_io_save_options c = detail::c_options(o);
    return im.valid() && tessera_io_save(im.get(), path.c_str(), format, &c) == 0;
}

#if TESSERA_HPP_THROWS

// A format by name or extension ("png", ".jpg"); std::invalid_argument when the table has none.
inline const format_info *format(std::string_view name) {
    if (const format_info *f = find_format(name)) return f;
    throw std::invalid_argument("tessera::io::format: unknown format '" + std::string(name) + "' (" +
                                tessera_io_format_names() + ")");
}

inline any_image load(const std::filesystem::path &path, const load_options &o = {}, file_info *info = nullptr) {
    if (std::optional<any_image> im = try_load(path, o, info)) return std::move(*im);
    detail::raise("tessera::io::load", path);
}
inline any_image thumbnail(const std::filesystem::path &path, int32_t width, int32_t height,
                           int filter = TESSERA_BICUBIC, const load_options &o = {}, file_info *info = nullptr) {
    if (std::optional<any_image> im = try_thumbnail(path, width, height, filter, o, info)) return std::move(*im);
    detail::raise("tessera::io::thumbnail", path);
}
inline void pipeline(const std::filesystem::path &in, const std::filesystem::path &out, const steps &s = {},
                     const load_options &lo = {}, const save_options &so = {}, const format_info *format = nullptr,
                     file_info *info = nullptr) {
    if (!try_pipeline(in, out, s, lo, so, format, info)) detail::raise("tessera::io::pipeline", in);
}
inline uint16_t probe(const std::filesystem::path &path, const load_options &o = {}, file_info *info = nullptr) {
    if (const uint16_t tag = try_probe(path, o, info)) return tag;
    detail::raise("tessera::io::probe", path);
}
inline any_image load(std::FILE *stream, const load_options &o = {}, file_info *info = nullptr) {
    tessera::detail::require(stream != nullptr, "tessera::io::load: no stream");
    if (std::optional<any_image> im = try_load(stream, o, info)) return std::move(*im);
    detail::raise("tessera::io::load", {});
}
inline any_image load_memory(std::span<const unsigned char> bytes, const load_options &o = {},
                             file_info *info = nullptr) {
    if (std::optional<any_image> im = try_load_memory(bytes, o, info)) return std::move(*im);
    detail::raise("tessera::io::load_memory", {});
}

// Saves without harming what is there (see tessera/io.h); the format is the path's extension
// unless given.
inline void save(image_ref im, const std::filesystem::path &path, const format_info *format = nullptr,
                 const save_options &o = {}) {
    tessera::detail::require(im.valid(), "tessera::io::save: an empty image");
    if (!try_save(im, path, format, o)) detail::raise("tessera::io::save", path);
}
inline void save(image_ref im, std::FILE *stream, const format_info *format, const save_options &o = {}) {
    tessera::detail::require(im.valid() && stream && format, "tessera::io::save: an empty image, stream or format");
    const tessera_io_save_options c = detail::c_options(o);
    if (tessera_io_save_file(im.get(), stream, format, &c) != 0) detail::raise("tessera::io::save", {});
}

// The encoded file.
inline std::vector<unsigned char> encode(image_ref im, const format_info *format, const save_options &o = {}) {
    tessera::detail::require(im.valid() && format, "tessera::io::encode: an empty image or no format");
    const tessera_io_save_options c = detail::c_options(o);
    void *data = nullptr;
    std::size_t size = 0;
    if (tessera_io_save_memory(im.get(), format, &c, &data, &size) != 0) detail::raise("tessera::io::encode", {});
    struct freer {
        void *p;
        ~freer() { std::free(p); }
    } hold{data};
    const auto *bytes = static_cast<const unsigned char *>(data);
    return std::vector<unsigned char>(bytes, bytes + size);
}

// A copy of im as element type tag (the conversion rules of tessera/io.h).
inline any_image convert(const any_image &im, uint16_t tag, bool normalize = false) {
    tessera::detail::require(im.valid(), "tessera::io::convert: an empty image");
    if (void *c = tessera_io_convert(im.get(), tag, normalize ? 1 : 0)) return any_image::adopt(c);
    detail::raise("tessera::io::convert", {});
}

#endif

} // namespace tessera::io
