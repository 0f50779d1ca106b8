// tessera/image.hpp - typed images, views and images of a run-time type.
// Part of the C++ face; <tessera.hpp> includes every family.
#pragma once

#include <tessera/geometry.h>
#include <tessera/imAdditions.h>
#include <tessera/image.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <limits>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "error.hpp"

namespace tessera {

// The budget of results in bytes, for the whole process (tessera_set_budget in <tessera/image.h>):
// resize, scale, border, crop and rendering refuse larger results with tessera::error.
inline uint64_t budget() noexcept { return tessera_budget(); }
// Sets it and returns the one it replaces; 0 restores the default, 1 GiB.
inline uint64_t set_budget(uint64_t bytes) noexcept { return tessera_set_budget(bytes); }

// ---- images ------------------------------------------------------------------------------------

namespace detail {
// The header of an empty view: no pixels anywhere.
inline constexpr ImageHeader no_pixels{};

// The format a file name's extension names when the core library does not write it (it writes
// its own P4, P5, P6 and Q files whatever the name): a save by that name would put one format
// under another's name, so the face refuses it. Null for the core's own and unknown extensions.
inline const char *foreign_format(const std::filesystem::path &path) {
    std::string ext = path.extension().string();
    for (char &c : ext) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    static constexpr const char *names[][2] = {{".png", "PNG"},  {".jpg", "JPEG"},  {".jpeg", "JPEG"}, {".jpe", "JPEG"},
                                               {".tif", "TIFF"}, {".tiff", "TIFF"}, {".pam", "PAM"},   {".gif", "GIF"},
                                               {".bmp", "BMP"},  {".webp", "WebP"}};
    for (const auto &n : names)
        if (ext == n[0]) return n[1];
    return nullptr;
}
#if TESSERA_HPP_THROWS
inline void refuse_foreign(const char *doing, const std::filesystem::path &path) {
    if (const char *f = foreign_format(path))
        throw std::invalid_argument(std::string(doing) + ": '" + path.string() + "' names a " + f +
                                    " file, which the core library does not write (it writes its own P4, P5, P6 "
                                    "and Q files): tessera::io::save writes " +
                                    f);
}
#endif
} // namespace detail

// The two three-float element types, told apart by their tags and files ("Q10", "Q11").
struct float3a {
    float a, b, c;
};
struct float3b {
    float a, b, c;
};

template <class T> inline constexpr uint16_t tag_of = 0;
template <> inline constexpr uint16_t tag_of<uint8_t> = IMAGE_GRAY;
template <> inline constexpr uint16_t tag_of<int8_t> = IMAGE_BINARY;
template <> inline constexpr uint16_t tag_of<int16_t> = IMAGE_SHORT;
template <> inline constexpr uint16_t tag_of<int32_t> = IMAGE_INT;
template <> inline constexpr uint16_t tag_of<float> = IMAGE_FLOAT;
template <> inline constexpr uint16_t tag_of<double> = IMAGE_DOUBLE;
template <> inline constexpr uint16_t tag_of<RGB> = IMAGE_RGB;
template <> inline constexpr uint16_t tag_of<float3a> = IMAGE_FLOAT3A;
template <> inline constexpr uint16_t tag_of<float3b> = IMAGE_FLOAT3B;
template <> inline constexpr uint16_t tag_of<RGBA> = IMAGE_RGBA;
template <> inline constexpr uint16_t tag_of<uint16_t> = IMAGE_GRAY16;
template <> inline constexpr uint16_t tag_of<RGB16> = IMAGE_RGB16;
template <> inline constexpr uint16_t tag_of<RGBA16> = IMAGE_RGBA16;

// An element type with a tag: a pixel of image<T>.
template <class T>
concept pixel = tag_of<std::remove_const_t<T>>
!= 0;

// A rectangle in an image's coordinates.
struct rect {
    int32_t x = 0, y = 0, width = 0, height = 0;
    friend bool operator==(const rect &, const rect &) = default;
};

// A non-owning typed view of an image (const T for a read-only one).
template <class T>
requires pixel<T>
class image_view {
  public:
    using value_type = std::remove_const_t<T>;
    image_view() = default;
    image_view(T *const *rows, const ImageHeader *h) : rows_(rows), h_(h ? h : &detail::no_pixels) {}
    template <class U>
    requires std::is_same_v<const U, T> image_view(const image_view<U> &other)
        : rows_(other.data()), h_(other.header()) {}

    int32_t width() const { return h_->width; }
    int32_t height() const { return h_->height; }
    int32_t xoffset() const { return h_->xoffset; }
    int32_t yoffset() const { return h_->yoffset; }
    rect bounds() const { return {h_->xoffset, h_->yoffset, h_->width, h_->height}; }
    bool contains(int32_t x, int32_t y) const {
        return x >= h_->xoffset && y >= h_->yoffset && int64_t{x} < int64_t{h_->xoffset} + h_->width &&
               int64_t{y} < int64_t{h_->yoffset} + h_->height;
    }
    // Pixel (x, y) in the image's own coordinates; unchecked.
    T &operator()(int32_t x, int32_t y) const { return rows_[y][x]; }
#if TESSERA_HPP_THROWS
    T &at(int32_t x, int32_t y) const {
        detail::require_inside(contains(x, y), "tessera::image: pixel outside the image");
        return rows_[y][x];
    }
#endif
    // Row y, from its first column; a row outside the image throws std::out_of_range (without
    // exceptions, it is empty).
    std::span<T> row(int32_t y) const {
        if (!contains(h_->xoffset, y)) {
#if TESSERA_HPP_THROWS
            detail::require_inside(false, "tessera::image: row outside the image");
#endif
            return {};
        }
        return {rows_[y] + h_->xoffset, static_cast<std::size_t>(h_->width)};
    }
    // The rows, top to bottom (the range holds a copy of the view).
    class row_range {
      public:
        explicit row_range(image_view v) : v_(v) {}
        class iterator {
          public:
            using value_type = std::span<T>;
            using difference_type = std::ptrdiff_t;
            iterator() = default;
            iterator(image_view v, int32_t y) : v_(v), y_(y) {}
            std::span<T> operator*() const { return v_.row(y_); }
            iterator &operator++() {
                ++y_;
                return *this;
            }
            iterator operator++(int) {
                iterator before = *this;
                ++y_;
                return before;
            }
            bool operator==(const iterator &o) const { return y_ == o.y_; }

          private:
            image_view v_;
            int32_t y_ = 0;
        };
        iterator begin() const { return {v_, v_.yoffset()}; }
        iterator end() const { return {v_, v_.yoffset() + v_.height()}; }

      private:
        image_view v_;
    };
    row_range rows() const { return row_range(*this); }
    T *const *data() const { return rows_; }
    const ImageHeader *header() const { return h_; }

  private:
    T *const *rows_ = nullptr;
    const ImageHeader *h_ = &detail::no_pixels; // an empty view has no pixels, never a null header
};

// The filters of resize (docs/geometry.md defines them).
enum class filter {
    nearest = TESSERA_NEAREST,
    box = TESSERA_BOX,
    bilinear = TESSERA_BILINEAR,
    bicubic = TESSERA_BICUBIC,
    lanczos3 = TESSERA_LANCZOS3
};

namespace detail {
inline void free_any(AnyImageStruct *im) { im_Free_(im, im->header->tag); }

// The geometry of image<T> and any_image: each gives a new image of the same element type.
template <class Image> class transforms {
  public:
#if TESSERA_HPP_THROWS
    // Resampled to width x height at pixel centres with f (offsets 0). A side of 0 keeps the
    // aspect (tessera_resize_size): resize(800, 0) is 800 wide. 8-bit gray and RGB samples are
    // within 1 of the exact values, which exact gives (TESSERA_EXACT).
    Image resize(int32_t width, int32_t height, filter f = filter::bicubic, bool exact = false) const {
        require(width >= 0 && height >= 0 && (width > 0 || height > 0),
                "tessera::image::resize: width and height must be above 0 (one may be 0: the aspect is kept)");
        require(f >= filter::nearest && f <= filter::lanczos3, "tessera::image::resize: an unknown filter");
        const AnyImageStruct *im = source("tessera::image::resize");
        int32_t w = 0, h = 0;
        if (tessera_resize_size(im->header->width, im->header->height, width, height, &w, &h) != 0)
            detail::raise("tessera::image::resize");
        return made(tessera_resize(im, w, h, static_cast<int>(f) | (exact ? TESSERA_EXACT : 0)),
                    "tessera::image::resize");
    }
    // Mirrored left to right, and top to bottom (offsets kept).
    Image flip_horizontal() const {
        return made(tessera_flip_horizontal(source("tessera::image::flip_horizontal")),
                    "tessera::image::flip_horizontal");
    }
    Image flip_vertical() const {
        return made(tessera_flip_vertical(source("tessera::image::flip_vertical")), "tessera::image::flip_vertical");
    }
    // Turned clockwise by 90, 180 or 270 degrees (negative: anticlockwise); a quarter turn swaps
    // the offsets.
    Image rotate(int32_t degrees) const {
        require(tessera_rotation_allowed(degrees), "tessera::image::rotate: a rotation of 90, 180 or 270 degrees");
        return made(tessera_rotate(source("tessera::image::rotate"), degrees), "tessera::image::rotate");
    }
    // Mirrored about the main diagonal: pixel (x, y) goes to (y, x), and the offsets swap.
    Image transpose() const {
        return made(tessera_transpose(source("tessera::image::transpose")), "tessera::image::transpose");
    }
    // This image with top laid over it by alpha where their indices meet (tessera_over): RGB or
    // RGBA images of one depth; the result has this image's type, size and offsets.
    template <class Top> Image overlaid(const Top &top) const {
        require(top.valid(), "tessera::image::overlaid: an empty image on top");
        return made(tessera_over(top.get(), source("tessera::image::overlaid")), "tessera::image::overlaid");
    }

  private:
    const AnyImageStruct *source(const char *doing) const {
        const Image &self = static_cast<const Image &>(*this);
        if (!self.valid()) throw std::invalid_argument(std::string(doing) + ": an empty image");
        return self.get();
    }
    static Image made(AnyImageStruct *c, const char *doing) {
        if (!c) raise(doing);
        return Image::adopt(c);
    }
#endif
};

using image_owner = owner<AnyImageStruct, free_any>;
inline AnyImageStruct *mutable_handle(const AnyImageStruct *im) { return const_cast<AnyImageStruct *>(im); }
} // namespace detail

// An image of element type T that owns its pixels (or wraps caller memory).
template <class T>
requires pixel<T>
class image : public detail::transforms<image<T>> {
  public:
    image() = default;
#if TESSERA_HPP_THROWS
    // A zero-filled image of width x height whose first pixel is (xoffset, yoffset).
    image(int32_t width, int32_t height, int32_t xoffset = 0, int32_t yoffset = 0) {
        detail::require(width > 0 && height > 0, "tessera::image: width and height must be above 0");
        im_.reset(static_cast<AnyImageStruct *>(
            im_NewOrWrap_(tag_of<T>, width, height, xoffset, yoffset, nullptr, 0, 0, nullptr)));
        if (!im_) detail::raise("tessera::image");
    }
    // An image over caller memory of width * height elements, row after row; the memory must
    // outlive the image, which never frees it.
    static image wrap(std::span<T> pixels, int32_t width, int32_t height, int32_t xoffset = 0, int32_t yoffset = 0) {
        detail::require(width > 0 && height > 0, "tessera::image::wrap: width and height must be above 0");
        detail::require(pixels.size() >= static_cast<std::size_t>(width) * static_cast<std::size_t>(height),
                        "tessera::image::wrap: fewer elements than width * height");
        image out;
        out.im_.reset(static_cast<AnyImageStruct *>(
            im_NewOrWrap_(tag_of<T>, width, height, xoffset, yoffset, pixels.data(), 0, 0, nullptr)));
        if (!out.im_) detail::raise("tessera::image::wrap");
        return out;
    }
    static image load(const std::filesystem::path &path) {
        if (std::optional<image> im = try_load(path)) return std::move(*im);
        const int saved = errno;
        detail::raise_file("tessera::image::load", path, saved);
    }
    // Reads from where the stream stands (which must be a seekable file).
    static image load(std::FILE *stream) {
        detail::require(stream != nullptr, "tessera::image::load: no stream");
        if (std::optional<image> im = try_load(stream)) return std::move(*im);
        const int saved = errno;
        detail::raise_file("tessera::image::load", {}, saved);
    }
    // Writes the library's own file (P4, P5, P6 or a Q file); a name whose extension is another
    // format's (.png, .jpg, .tif, ...) is refused: tessera::io::save writes those.
    void save(const std::filesystem::path &path) const {
        detail::require(valid(), "tessera::image::save: an empty image");
        detail::refuse_foreign("tessera::image::save", path);
        if (!try_save(path)) {
            const int saved = errno;
            detail::raise_file("tessera::image::save", path, saved);
        }
    }
    void save(std::FILE *stream) const {
        detail::require(stream != nullptr, "tessera::image::save: no stream");
        if (!try_save(stream)) {
            const int saved = errno;
            detail::raise_file("tessera::image::save", {}, saved);
        }
    }
    image dup() const {
        detail::require(valid(), "tessera::image::dup: an empty image");
        image out(adopt(im_Dup_(handle(), header())));
        if (!out.im_) detail::raise("tessera::image::dup");
        return out;
    }
    // A new image of the rectangle r of this one, in this image's coordinates.
    image crop(const rect &r) const {
        require_inside(r, "tessera::image::crop");
        image out(adopt(im_Crop_(handle(), header(), r.x, r.y, r.width, r.height)));
        if (!out.im_) detail::raise("tessera::image::crop");
        return out;
    }
    // Copies the rectangle r of this image into into, with r's corner at (to_x, to_y).
    void crop_into(image &into, const rect &r, int32_t to_x, int32_t to_y) const {
        require_inside(r, "tessera::image::crop_into");
        detail::require(into.valid(), "tessera::image::crop_into: no image to copy into");
        detail::require_inside(holds(into.view(), to_x, to_y, r.width, r.height),
                               "tessera::image::crop_into: the rectangle does not fit the target");
        if (!im_Crop_Into_(handle(), header(), into.handle(), r.x, r.y, to_x, to_y, r.width, r.height))
            detail::raise("tessera::image::crop_into");
    }
    // A new image with n zero pixels around this one (offsets 0).
    image border(int32_t n) const {
        detail::require(valid(), "tessera::image::border: an empty image");
        detail::require(n >= 0, "tessera::image::border: a negative border");
        image out(adopt(imBorders(detail::mutable_handle(im_.get()), n)));
        if (!out.im_) detail::raise("tessera::image::border");
        return out;
    }
    // A new width x height image sampled by nearest neighbour (offsets 0).
    image scale(int32_t width, int32_t height) const {
        detail::require(valid(), "tessera::image::scale: an empty image");
        detail::require(width > 0 && height > 0, "tessera::image::scale: width and height must be above 0");
        image out(adopt(imScale(detail::mutable_handle(im_.get()), width, height)));
        if (!out.im_) detail::raise("tessera::image::scale");
        return out;
    }
    void fill(const T &value) {
        detail::require(valid(), "tessera::image::fill: an empty image");
        im_Init_(handle(), header(), const_cast<T *>(&value));
    }
    // The largest and the smallest pixel (channel by channel for RGB).
    std::pair<T, T> extrema() const {
        detail::require(valid(), "tessera::image::extrema: an empty image");
        T mx{}, mn{};
        im_MaxAndMin_(handle(), header(), &mx, &mn);
        return {mx, mn};
    }
#endif
    // The non-throwing forms: nothing (or false) on failure, the reason in tessera_last_error().
    static std::optional<image> try_load(const std::filesystem::path &path) noexcept {
        image out(adopt(im_Load(tag_of<T>, path.c_str())));
        if (!out.im_) return std::nullopt;
        return out;
    }
    static std::optional<image> try_load(std::FILE *stream) noexcept {
        if (!stream || std::fseek(stream, std::ftell(stream), SEEK_SET) != 0) return std::nullopt;
        image out(adopt(im_LoadH(tag_of<T>, fileno(stream))));
        if (!out.im_) return std::nullopt;
        return out;
    }
    // False also for a name of a format the core does not write (see save).
    bool try_save(const std::filesystem::path &path) const noexcept {
        return valid() && !detail::foreign_format(path) && im_Save_(handle(), header(), path.c_str()) == 0;
    }
    bool try_save(std::FILE *stream) const noexcept {
        return valid() && stream && std::fflush(stream) == 0 && im_SaveH_(handle(), header(), fileno(stream)) == 0;
    }

    bool valid() const noexcept { return static_cast<bool>(im_); }
    // A view of the pixels (an empty view of an empty image).
    image_view<T> view() { return valid() ? image_view<T>(typed_rows(), header()) : image_view<T>(); }
    image_view<const T> view() const {
        return valid() ? image_view<const T>(typed_rows(), header()) : image_view<const T>();
    }
    // Size and place; 0 and an empty rectangle for an empty image.
    int32_t width() const { return valid() ? header()->width : 0; }
    int32_t height() const { return valid() ? header()->height : 0; }
    rect bounds() const { return valid() ? view().bounds() : rect{}; }
    T &operator()(int32_t x, int32_t y) { return typed_rows()[y][x]; }
    const T &operator()(int32_t x, int32_t y) const { return typed_rows()[y][x]; }
#if TESSERA_HPP_THROWS
    T &at(int32_t x, int32_t y) { return view().at(x, y); }
    const T &at(int32_t x, int32_t y) const { return view().at(x, y); }
#endif
    std::span<T> row(int32_t y) { return view().row(y); }
    std::span<const T> row(int32_t y) const { return view().row(y); }
    auto rows() { return view().rows(); }
    // The comment of the file the image came from ("" when none).
    std::string_view comment() const { return valid() ? strGet(header()->comment) : ""; }
    AnyImageStruct *get() const noexcept { return im_.get(); }
    AnyImageStruct *release() noexcept { return im_.release(); }
    // Takes over a C image of T's tag (null gives an empty image).
    static image adopt(void *c_image) noexcept {
        image out;
        out.im_.reset(static_cast<AnyImageStruct *>(c_image));
        return out;
    }

  private:
    T **typed_rows() const { return reinterpret_cast<T **>(im_.get()->data); }
    AnyImageStruct *handle() const { return detail::mutable_handle(im_.get()); }
    ImageHeader *header() const { return im_.get()->header; }
#if TESSERA_HPP_THROWS
    void require_inside(const rect &r, const char *what) const {
        detail::require(valid(), "tessera::image: an empty image");
        detail::require(r.width > 0 && r.height > 0, "tessera::image: a rectangle without pixels");
        detail::require_inside(holds(view(), r.x, r.y, r.width, r.height), what);
    }
    // Whether the width x height rectangle at (x, y) lies inside v (in 64 bits: no overflow).
    template <class V> static bool holds(const V &v, int32_t x, int32_t y, int32_t width, int32_t height) {
        const int64_t right = int64_t{x} + width - 1, bottom = int64_t{y} + height - 1;
        return v.contains(x, y) && right <= INT32_MAX && bottom <= INT32_MAX &&
               v.contains(static_cast<int32_t>(right), static_cast<int32_t>(bottom));
    }
#endif
    detail::image_owner im_;
};

// Whether tag names an element type with a fixed size (every tag but IMAGE_STRUCT).
constexpr bool fixed_tag(uint16_t tag) noexcept {
    switch (tag) {
    case IMAGE_GRAY:
    case IMAGE_BINARY:
    case IMAGE_SHORT:
    case IMAGE_INT:
    case IMAGE_FLOAT:
    case IMAGE_DOUBLE:
    case IMAGE_RGB:
    case IMAGE_FLOAT3A:
    case IMAGE_FLOAT3B:
    case IMAGE_RGBA:
    case IMAGE_GRAY16:
    case IMAGE_RGB16:
    case IMAGE_RGBA16: return true;
    default: return false;
    }
}

// Bytes in one element of a fixed tag (0 for any other).
constexpr std::size_t element_size(uint16_t tag) noexcept {
    switch (tag) {
    case IMAGE_GRAY:
    case IMAGE_BINARY: return 1;
    case IMAGE_SHORT:
    case IMAGE_GRAY16: return 2;
    case IMAGE_INT:
    case IMAGE_FLOAT:
    case IMAGE_RGBA: return 4;
    case IMAGE_RGB16: return 6;
    case IMAGE_DOUBLE:
    case IMAGE_RGBA16: return 8;
    case IMAGE_RGB: return 3;
    case IMAGE_FLOAT3A:
    case IMAGE_FLOAT3B: return 12;
    default: return 0;
    }
}

// An image whose element type is known only at run time (one of the fixed tags).
class any_image : public detail::transforms<any_image> {
  public:
    any_image() = default;
    template <class T> any_image(image<T> &&im) noexcept : im_(im.release()) {}
#if TESSERA_HPP_THROWS
    // A zero-filled image of the element type tag, width x height, first pixel (xoffset, yoffset).
    any_image(uint16_t tag, int32_t width, int32_t height, int32_t xoffset = 0, int32_t yoffset = 0) {
        im_.reset(make(tag, nullptr, width, height, xoffset, yoffset, "tessera::any_image"));
    }
    // An image over caller memory of width * height elements of tag, row after row; the memory
    // must outlive the image, which never frees it.
    static any_image wrap(uint16_t tag, void *pixels, int32_t width, int32_t height, int32_t xoffset = 0,
                          int32_t yoffset = 0) {
        detail::require(pixels != nullptr, "tessera::any_image::wrap: no pixels");
        any_image out;
        out.im_.reset(make(tag, pixels, width, height, xoffset, yoffset, "tessera::any_image::wrap"));
        return out;
    }
    static any_image load(const std::filesystem::path &path) {
        if (std::optional<any_image> im = try_load(path)) return std::move(*im);
        const int saved = errno;
        detail::raise_file("tessera::any_image::load", path, saved);
    }
    void save(const std::filesystem::path &path) const {
        require_valid("tessera::any_image::save");
        detail::refuse_foreign("tessera::any_image::save", path);
        if (im_Save_(im_.get(), header(), path.c_str()) != 0) {
            const int saved = errno;
            detail::raise_file("tessera::any_image::save", path, saved);
        }
    }
    // Moves the image into an image<T>; throws std::invalid_argument when its tag is another.
    template <class T> image<T> as() && {
        detail::require(valid() && tag() == tag_of<T>, "tessera::any_image::as: another element type");
        return image<T>::adopt(im_.release());
    }
    // The operations of image<T>, on the image's own element type.
    any_image dup() const {
        require_valid("tessera::any_image::dup");
        return made(im_Dup_(im_.get(), header()), "tessera::any_image::dup");
    }
    // A new image of the rectangle r, in this image's coordinates (it keeps r's corner as offsets).
    any_image crop(const rect &r) const {
        require_valid("tessera::any_image::crop");
        detail::require(r.width > 0 && r.height > 0, "tessera::any_image::crop: a rectangle without pixels");
        detail::require_inside(holds(r), "tessera::any_image::crop: the rectangle does not lie inside the image");
        return made(im_Crop_(im_.get(), header(), r.x, r.y, r.width, r.height), "tessera::any_image::crop");
    }
    // A new image with n zero pixels around this one (offsets 0).
    any_image border(int32_t n) const {
        require_valid("tessera::any_image::border");
        detail::require(n >= 0, "tessera::any_image::border: a negative border");
        detail::require(n <= (INT32_MAX - width()) / 2 && n <= (INT32_MAX - height()) / 2,
                        "tessera::any_image::border: the result's size would not fit 32 bits");
        return made(imBorders(im_.get(), n), "tessera::any_image::border");
    }
    // A new width x height image sampled by nearest neighbour (offsets 0).
    any_image scale(int32_t new_width, int32_t new_height) const {
        require_valid("tessera::any_image::scale");
        detail::require(new_width > 0 && new_height > 0, "tessera::any_image::scale: width and height must be above 0");
        return made(imScale(im_.get(), new_width, new_height), "tessera::any_image::scale");
    }
    // Replaces the comment saved with the image ("" removes it).
    void set_comment(std::string_view text) {
        require_valid("tessera::any_image::set_comment");
        detail::require(text.find('\0') == std::string_view::npos, "tessera::any_image::set_comment: a NUL character");
        adtStringHeader *c = nullptr;
        if (!text.empty()) {
            c = strMake(std::string(text).c_str());
            if (!c) detail::raise("tessera::any_image::set_comment");
        }
        std::swap(header()->comment, c);
        strFree(c);
    }
#endif
    // Loads a file of any element type a file can hold.
    static std::optional<any_image> try_load(const std::filesystem::path &path) noexcept {
        any_image out;
        out.im_.reset(static_cast<AnyImageStruct *>(im_Load(0xffff, path.c_str())));
        if (!out.im_) return std::nullopt;
        return out;
    }
    // Takes over a C image of a fixed tag (null gives an empty image).
    static any_image adopt(void *c_image) noexcept {
        any_image out;
        out.im_.reset(static_cast<AnyImageStruct *>(c_image));
        return out;
    }
    bool valid() const noexcept { return static_cast<bool>(im_); }
    // The element type's tag; 0 for an empty image.
    uint16_t tag() const { return im_ ? im_.get()->header->tag : 0; }
    // Size, place and memory; 0, an empty rectangle and false for an empty image.
    int32_t width() const { return im_ ? header()->width : 0; }
    int32_t height() const { return im_ ? header()->height : 0; }
    int32_t xoffset() const { return im_ ? header()->xoffset : 0; }
    int32_t yoffset() const { return im_ ? header()->yoffset : 0; }
    rect bounds() const { return {xoffset(), yoffset(), width(), height()}; }
    bool wrapped() const { return im_ && header()->wrapped; }
    std::size_t element_size() const { return tessera::element_size(tag()); }
    bool contains(int64_t x, int64_t y) const {
        return im_ && x >= xoffset() && y >= yoffset() && x < int64_t{xoffset()} + width() &&
               y < int64_t{yoffset()} + height();
    }
    // The comment of the file the image came from ("" when none).
    std::string_view comment() const { return im_ ? strGet(header()->comment) : ""; }
    // Calls f with an image_view<T> of the image's element type; the result is f's. An empty
    // image throws std::invalid_argument (without exceptions, f gets an empty gray view).
    template <class F> decltype(auto) visit(F &&f) {
        AnyImageStruct *im = im_.get();
        if (!im) {
#if TESSERA_HPP_THROWS
            throw std::invalid_argument("tessera::any_image::visit: an empty image");
#else
            return f(image_view<uint8_t>());
#endif
        }
        const auto v = [&]<class T>(T *) { return image_view<T>(reinterpret_cast<T **>(im->data), im->header); };
        switch (tag()) {
        case IMAGE_GRAY: return f(v(static_cast<uint8_t *>(nullptr)));
        case IMAGE_BINARY: return f(v(static_cast<int8_t *>(nullptr)));
        case IMAGE_SHORT: return f(v(static_cast<int16_t *>(nullptr)));
        case IMAGE_INT: return f(v(static_cast<int32_t *>(nullptr)));
        case IMAGE_FLOAT: return f(v(static_cast<float *>(nullptr)));
        case IMAGE_DOUBLE: return f(v(static_cast<double *>(nullptr)));
        case IMAGE_RGB: return f(v(static_cast<RGB *>(nullptr)));
        case IMAGE_FLOAT3A: return f(v(static_cast<float3a *>(nullptr)));
        case IMAGE_RGBA: return f(v(static_cast<RGBA *>(nullptr)));
        case IMAGE_GRAY16: return f(v(static_cast<uint16_t *>(nullptr)));
        case IMAGE_RGB16: return f(v(static_cast<RGB16 *>(nullptr)));
        case IMAGE_RGBA16: return f(v(static_cast<RGBA16 *>(nullptr)));
        default: return f(v(static_cast<float3b *>(nullptr)));
        }
    }
    AnyImageStruct *get() const noexcept { return im_.get(); }
    AnyImageStruct *release() noexcept { return im_.release(); }

  private:
    ImageHeader *header() const { return im_.get()->header; }
#if TESSERA_HPP_THROWS
    void require_valid(const char *doing) const {
        if (!im_) throw std::invalid_argument(std::string(doing) + ": an empty image");
    }
    bool holds(const rect &r) const {
        return contains(r.x, r.y) && contains(int64_t{r.x} + r.width - 1, int64_t{r.y} + r.height - 1);
    }
    static AnyImageStruct *make(uint16_t tag, void *pixels, int32_t width, int32_t height, int32_t xoffset,
                                int32_t yoffset, const char *doing) {
        detail::require(fixed_tag(tag), (std::string(doing) + ": not an element type of fixed size").c_str());
        detail::require(width > 0 && height > 0, (std::string(doing) + ": width and height must be above 0").c_str());
        detail::require(int64_t{xoffset} + width - 1 <= INT32_MAX && int64_t{yoffset} + height - 1 <= INT32_MAX,
                        (std::string(doing) + ": the image's indices would not fit 32 bits").c_str());
        auto *im =
            static_cast<AnyImageStruct *>(im_NewOrWrap_(tag, width, height, xoffset, yoffset, pixels, 0, 0, nullptr));
        if (!im) detail::raise(doing);
        return im;
    }
    static any_image made(void *c_image, const char *doing) {
        if (!c_image) detail::raise(doing);
        return adopt(c_image);
    }
#endif
    detail::image_owner im_;
};

} // namespace tessera
