// tessera/ptl.hpp - point lists (drawings) and their rendering.
// Part of the C++ face; <tessera.hpp> includes every family.
#pragma once

#include <tessera/list.h>
#include <tessera/ptl.h>

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

#include "image.hpp"

namespace tessera {

// ---- drawings ----------------------------------------------------------------------------------

// The bounds of a drawing, in its own units.
struct rect_f {
    float x, y, width, height;
};

// One element of a drawing, as the library keeps it.
struct element {
    unsigned char type; // PTL_POINT, PTL_LINE, PTL_ELLIPSE or PTL_FILL
    RGB color;
    float size, x1, y1, x2, y2;
};

// A point list: a drawing of dots, lines, ellipse outlines and fills within bounds.
class drawing {
  public:
#if TESSERA_HPP_THROWS
    // An empty drawing; colored says whether its file keeps the elements' colours (CPTL).
    // comment is saved with the drawing.
    drawing(float x, float y, float width, float height, bool colored = true, std::string_view comment = {}) {
        detail::require(width > 0 && height > 0, "tessera::drawing: width and height must be above 0");
        detail::require(comment.find('\0') == std::string_view::npos,
                        "tessera::drawing: a NUL character in the comment");
        adtStringHeader *c = nullptr;
        if (!comment.empty() && !(c = strMake(std::string(comment).c_str()))) detail::raise("tessera::drawing");
        p_.reset(ptlNew(colored, x, y, width, height, c));
        if (!p_) {
            strFree(c);
            detail::raise("tessera::drawing");
        }
    }
    static drawing load(const std::filesystem::path &path) {
        if (std::optional<drawing> d = try_load(path)) return std::move(*d);
        const int saved = errno;
        detail::raise_file("tessera::drawing::load", path, saved);
    }
    void save(const std::filesystem::path &path) const {
        detail::require(valid(), "tessera::drawing::save: a moved-from drawing");
        if (!try_save(path)) {
            const int saved = errno;
            detail::raise_file("tessera::drawing::save", path, saved);
        }
    }
    drawing &point(float x, float y, float size = 0, RGB color = {255, 255, 255}) {
        return add(PTL_POINT, color, size, x, y, 0, 0);
    }
    drawing &line(float x1, float y1, float x2, float y2, float size = 0, RGB color = {255, 255, 255}) {
        return add(PTL_LINE, color, size, x1, y1, x2, y2);
    }
    drawing &ellipse(float cx, float cy, float rx, float ry, float size = 0, RGB color = {255, 255, 255}) {
        return add(PTL_ELLIPSE, color, size, cx, cy, rx, ry);
    }
    // A fill seeded at (x, y) (color is kept in a colour file; fills draw in binary renderings).
    drawing &fill(float x, float y, RGB color = {255, 255, 255}) { return add(PTL_FILL, color, 0, x, y, 0, 0); }
    image<RGB> render_rgb(float scale_x, float scale_y, RGB background = {0, 0, 0}, bool *clipped = nullptr) const {
        return render<RGB>(IMAGE_RGB, scale_x, scale_y, background, clipped);
    }
    image<int8_t> render_binary(float scale_x, float scale_y, bool *clipped = nullptr) const {
        return render<int8_t>(IMAGE_BINARY, scale_x, scale_y, RGB{0, 0, 0}, clipped);
    }
    // The offsets and size of the image a rendering at these scales makes, without making it.
    rect render_geometry(float scale_x, float scale_y) const {
        detail::require(valid(), "tessera::drawing::render_geometry: a moved-from drawing");
        rect r;
        if (tessera_render_geometry(p_.get(), scale_x, scale_y, &r.x, &r.y, &r.width, &r.height) != 0)
            detail::raise("tessera::drawing::render_geometry");
        return r;
    }
    // The part of the rendering in area (in the image's own coordinates), made alone: pixel for
    // pixel that part of render_rgb's or render_binary's image (tessera_render_area). A binary
    // rendering of a drawing with fills is refused; clipped is judged from the elements' extents.
    image<RGB> render_rgb_area(float scale_x, float scale_y, rect area, RGB background = {0, 0, 0},
                               bool *clipped = nullptr) const {
        return render<RGB>(IMAGE_RGB, scale_x, scale_y, background, clipped, &area);
    }
    image<int8_t> render_binary_area(float scale_x, float scale_y, rect area, bool *clipped = nullptr) const {
        return render<int8_t>(IMAGE_BINARY, scale_x, scale_y, RGB{0, 0, 0}, clipped, &area);
    }
#endif
    static std::optional<drawing> try_load(const std::filesystem::path &path) noexcept {
        drawing d;
        d.p_.reset(ptlLoad(path.c_str()));
        if (!d.p_) return std::nullopt;
        return d;
    }
    bool try_save(const std::filesystem::path &path) const noexcept {
        return p_ && ptlSave(p_.get(), path.c_str()) == 0;
    }
    std::optional<image<RGB>> try_render_rgb(float scale_x, float scale_y, RGB background = {0, 0, 0},
                                             bool *clipped = nullptr) const noexcept {
        return try_render<RGB>(IMAGE_RGB, scale_x, scale_y, background, clipped);
    }
    std::optional<image<int8_t>> try_render_binary(float scale_x, float scale_y,
                                                   bool *clipped = nullptr) const noexcept {
        return try_render<int8_t>(IMAGE_BINARY, scale_x, scale_y, RGB{0, 0, 0}, clipped);
    }
    std::optional<rect> try_render_geometry(float scale_x, float scale_y) const noexcept {
        rect r;
        if (!valid() || tessera_render_geometry(p_.get(), scale_x, scale_y, &r.x, &r.y, &r.width, &r.height) != 0)
            return std::nullopt;
        return r;
    }
    std::optional<image<RGB>> try_render_rgb_area(float scale_x, float scale_y, rect area, RGB background = {0, 0, 0},
                                                  bool *clipped = nullptr) const noexcept {
        return try_render<RGB>(IMAGE_RGB, scale_x, scale_y, background, clipped, &area);
    }
    std::optional<image<int8_t>> try_render_binary_area(float scale_x, float scale_y, rect area,
                                                        bool *clipped = nullptr) const noexcept {
        return try_render<int8_t>(IMAGE_BINARY, scale_x, scale_y, RGB{0, 0, 0}, clipped, &area);
    }

    // A moved-from drawing is empty: no bounds, no elements, no comment.
    bool valid() const noexcept { return static_cast<bool>(p_); }
    rect_f bounds() const { return p_ ? rect_f{p_->x, p_->y, p_->width, p_->height} : rect_f{}; }
    std::size_t size() const { return p_ ? static_cast<std::size_t>(liLen(p_->elements)) : 0; }
    bool colored() const { return p_ && p_->color; }
    std::string_view comment() const { return p_ ? strGet(p_->comment) : ""; }

    // The elements, in drawing order (copies).
    class iterator {
      public:
        using value_type = element;
        using difference_type = std::ptrdiff_t;
        iterator() = default;
        explicit iterator(_ListNode *n) : n_(n) {}
        element operator*() const {
            const auto *e = static_cast<const PointListElemStruct *>(liGet(n_));
            return {e->type, e->color, e->size, e->x1, e->y1, e->x2, e->y2};
        }
        iterator &operator++() {
            n_ = liNext(n_);
            return *this;
        }
        iterator operator++(int) {
            iterator before = *this;
            n_ = liNext(n_);
            return before;
        }
        bool operator==(const iterator &) const = default;

      private:
        _ListNode *n_ = nullptr;
    };
    iterator begin() const { return p_ ? iterator(liFirst(p_->elements)) : iterator(); }
    iterator end() const { return iterator(); }
    PointList get() const noexcept { return p_.get(); }
    // Takes over a C point list (null gives an empty drawing).
    static drawing adopt(PointList p) noexcept {
        drawing d;
        d.p_.reset(p);
        return d;
    }

  private:
    drawing() = default;
#if TESSERA_HPP_THROWS
    drawing &add(unsigned char type, RGB color, float size, float x1, float y1, float x2, float y2) {
        detail::require(valid(), "tessera::drawing: a moved-from drawing");
        PointListElem e = ptlNewElem(type, color, size, x1, y1, x2, y2);
        if (!e) detail::raise("tessera::drawing");
        const std::size_t before = size_of();
        ptlAddElem(p_.get(), e);
        if (size_of() == before) {
            ptlFreeElem(e);
            throw std::bad_alloc();
        }
        return *this;
    }
    std::size_t size_of() const { return static_cast<std::size_t>(liLen(p_->elements)); }
    template <class T> image<T> render(unsigned short type, float scale_x, float scale_y, RGB background, bool *clipped,
                                       const rect *area = nullptr) const {
        detail::require(valid(), "tessera::drawing::render: a moved-from drawing");
        detail::require(scale_x > 0 && scale_y > 0, "tessera::drawing::render: scales must be above 0");
        image<T> out = image<T>::adopt(made(type, scale_x, scale_y, background, clipped, area));
        if (!out.valid()) detail::raise("tessera::drawing::render");
        return out;
    }
#endif
    void *made(unsigned short type, float scale_x, float scale_y, RGB background, bool *clipped,
               const rect *area) const noexcept {
        if (!area) return ptlRender(p_.get(), type, scale_x, scale_y, background, clipped);
        return tessera_render_area(p_.get(), type, scale_x, scale_y, background, area->x, area->y, area->width,
                                   area->height, clipped);
    }
    template <class T> std::optional<image<T>> try_render(unsigned short type, float scale_x, float scale_y,
                                                          RGB background, bool *clipped,
                                                          const rect *area = nullptr) const noexcept {
        if (!valid() || !(scale_x > 0) || !(scale_y > 0)) return std::nullopt;
        image<T> out = image<T>::adopt(made(type, scale_x, scale_y, background, clipped, area));
        if (!out.valid()) return std::nullopt;
        return out;
    }
    detail::owner<PointListStruct, ptlFree> p_;
};

} // namespace tessera
