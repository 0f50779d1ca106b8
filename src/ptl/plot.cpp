// Raster plotting primitives. Every sub-point is rounded to a pixel on its own; pixels outside
// the image are skipped and reported. Drawings are untrusted (they come from files), so the
// work is bounded by what can reach the image: the pixel ranges a dot can touch are found by
// binary search, walks skip and stop outside the image, and each primitive has a budget of
// pixel plots proportional to the image's area.
#include "plot.h"

#include <cmath>
#include <algorithm>
#include <cstring>
#include <initializer_list>

#include "image/image_internal.h"
#include "support/alloc.h"
#include "support/check.h"

namespace tessera::detail {

namespace {

constexpr float quarter_turn = 1.5708f; // a little more than pi/2
constexpr int64_t far_away = int64_t{1} << 62;

// Truncation toward zero of a double, with NaN and values beyond int64 sent far outside.
int64_t truncate(double v) {
    if (!(v == v)) return -far_away;
    if (v >= static_cast<double>(far_away)) return far_away;
    if (v <= -static_cast<double>(far_away)) return -far_away;
    return static_cast<int64_t>(v);
}

void fswap(float *a, float *b) {
    const float t = *a;
    *a = *b;
    *b = t;
}

struct Bounds {
    int64_t c0, c1, r0, r1; // first and last column and row
    explicit Bounds(const ImageHeader *h)
        : c0(h->xoffset), c1(int64_t{h->xoffset} + h->width - 1), r0(h->yoffset), r1(int64_t{h->yoffset} + h->height - 1) {}
    bool inside(int64_t c, int64_t r) const { return c >= c0 && c <= c1 && r >= r0 && r <= r1; }
};

// A drawing target: where pixels go and how a coordinate becomes a pixel index. Binary images
// round by truncating v + 0.5; colour images use fround.
struct BinaryTarget {
    BinaryImageStruct *im;
    Bounds b;
    int64_t budget;
    static int64_t pixel(float v) { return truncate(static_cast<double>(v) + 0.5); }
    bool plot(float x, float y) {
        --budget;
        return plot_binary_point_1(im, x, y);
    }
};

struct Hsv {
    float h, s, v;
};

Hsv hsv_of(RGB c) {
    Hsv x;
    rgb_to_hsv(c.r / 255.0f, c.g / 255.0f, c.b / 255.0f, &x.h, &x.s, &x.v);
    return x;
}

RGB mix(RGB old, int32_t n, Hsv added);

// The element's colour is converted to HSV once, not at every plot.
struct ColorTarget {
    RGBImageStruct *im;
    GrayImageStruct *count;
    RGB color;
    Bounds b;
    int64_t budget;
    Hsv hsv = hsv_of(color);
    static int64_t pixel(float v) { return fround(v); }
    bool plot(float x, float y) {
        --budget;
        const int64_t c = fround(x), r = fround(y);
        if (!b.inside(c, r)) return true;
        RGB &p = im->data[r][c];
        uint8_t &n = count->data[r][c];
        p = n == 0 ? color : mix(p, n, hsv); // the first colour on a pixel replaces it
        n = static_cast<uint8_t>(n + 1);
        return false;
    }
};

int64_t budget_for(const ImageHeader *h) { return 256 * int64_t{h->width} * h->height + 65536; }

// Offsets i in [0, n) for which pixel(base + dir * i) lies in [lo, hi]: one interval, since the
// pixel moves monotonically with i. Empty when first > last.
template <class T> void offsets_inside(float base, int64_t n, int dir, int64_t lo, int64_t hi, int64_t *first,
                                       int64_t *last) {
    const auto at = [&](int64_t i) { return T::pixel(base + static_cast<float>(dir) * static_cast<float>(i)); };
    // Walking in direction dir, the pixel enters [lo, hi] at the first i that has reached the
    // near edge and leaves it at the first i that has passed the far edge.
    const auto past_start = [&](int64_t i) { return dir > 0 ? at(i) >= lo : at(i) <= hi; };
    const auto before_end = [&](int64_t i) { return dir > 0 ? at(i) <= hi : at(i) >= lo; };
    int64_t a = 0, b = n; // first i with past_start
    while (a < b) {
        const int64_t m = a + (b - a) / 2;
        if (past_start(m)) b = m;
        else a = m + 1;
    }
    *first = a;
    a = *first, b = n; // first i not before_end
    while (a < b) {
        const int64_t m = a + (b - a) / 2;
        if (!before_end(m)) b = m;
        else a = m + 1;
    }
    *last = a - 1;
}

// The union of two intervals of [0, n), visited in ascending order without repeats.
struct Span {
    int64_t a1, b1, a2, b2;
    template <class F> void each(F f) const {
        const int64_t lo = std::min(a1, a2), hi_first = std::max(a1, a2);
        if (a1 > b1 && a2 > b2) return;
        if (a1 > b1 || a2 > b2) {
            const int64_t a = a1 > b1 ? a2 : a1, b = a1 > b1 ? b2 : b1;
            for (int64_t i = a; i <= b; ++i) f(i);
            return;
        }
        const int64_t first_end = a1 <= a2 ? b1 : b2, second_end = a1 <= a2 ? b2 : b1;
        if (hi_first <= first_end + 1) { // overlapping or adjacent
            for (int64_t i = lo; i <= std::max(first_end, second_end); ++i) f(i);
            return;
        }
        for (int64_t i = lo; i <= first_end; ++i) f(i);
        for (int64_t i = hi_first; i <= second_end; ++i) f(i);
    }
    int64_t count() const {
        const int64_t n1 = a1 <= b1 ? b1 - a1 + 1 : 0, n2 = a2 <= b2 ? b2 - a2 + 1 : 0;
        if (n1 == 0 || n2 == 0) return n1 + n2;
        const int64_t shared = std::min(b1, b2) - std::max(a1, a2) + 1;
        return n1 + n2 - (shared > 0 ? shared : 0);
    }
};

template <class T> Span span_of(float base, int64_t n, int64_t lo, int64_t hi) {
    Span s{};
    offsets_inside<T>(base, n, +1, lo, hi, &s.a1, &s.b1);
    offsets_inside<T>(base, n, -1, lo, hi, &s.a2, &s.b2);
    return s;
}

// A dot of diameter size: the centre, then for every (i, j) in [0, n)^2 inside the radius the
// four points (x +- i, y +- j). Offsets whose points all miss the image are not visited; they
// would have been clipped, which is reported.
template <class T> bool dot(T &t, float x, float y, float size) {
    const float r = size * 0.5f + 0.5f;
    const int64_t n = truncate(r);
    const float r2 = r * r;
    bool clipped = t.plot(x, y);
    if (n <= 0) return clipped;
    if (!(x == x) || !(y == y)) return true;
    const Span cols = span_of<T>(x, n, t.b.c0, t.b.c1);
    const Span rows = span_of<T>(y, n, t.b.r0, t.b.r1);
    const int64_t ncols = cols.count(), nrows = rows.count();
    if (ncols < n || nrows < n) clipped = true;
    if (ncols == 0 || nrows == 0) return clipped;
    cols.each([&](int64_t i) {
        if (t.budget <= 0) return;
        const float fi = static_cast<float>(i);
        rows.each([&](int64_t j) {
            if (t.budget <= 0 || static_cast<float>(i * i + j * j) > r2) return;
            const float fj = static_cast<float>(j);
            clipped |= t.plot(x + fi, y + fj);
            clipped |= t.plot(x + fi, y - fj);
            clipped |= t.plot(x - fi, y + fj);
            clipped |= t.plot(x - fi, y - fj);
        });
    });
    return clipped || t.budget <= 0;
}

// The value of t after the fewest steps t = t + step (in single precision) that reach target,
// or the value at which t stops advancing. Within a binade the additions are exact, so runs of
// steps are taken in one jump.
float advance(float t, float step, float target) {
    while (t < target) {
        const float next = t + step;
        if (next == t) return t;
        int e = 0;
        std::frexp(t, &e);
        const double grid = t == 0 ? step : std::ldexp(1.0, e - 24); // spacing of floats near t
        const double limit = std::ldexp(grid, 24);                    // exactly representable below this
        if (grid <= step) {
            const double need = std::ceil((static_cast<double>(target) - t) / step);
            const double room = std::floor((limit - t) / step) - 1;
            const double k = std::min(need, room);
            if (k >= 2) {
                t = static_cast<float>(static_cast<double>(t) + k * step);
                continue;
            }
        }
        t = next;
    }
    return t;
}

// Dots of the pen along the longer axis, step by step from the lower end. Dots whose centre is
// too far from the image to touch it are skipped (and reported as clipped).
template <class T> bool line(T &t, float x1, float y1, float x2, float y2, float width, float step) {
    const float dx = x2 - x1, dy = y2 - y1;
    if (dx == 0 && dy == 0) return dot(t, x1, y1, width);
    const bool x_major = std::fabs(dx) > std::fabs(dy);
    float m;
    if (x_major) {
        m = dy / dx;
        if (x1 > x2) {
            fswap(&x1, &x2);
            fswap(&y1, &y2);
        }
    } else {
        m = dx / dy;
        if (y1 > y2) {
            fswap(&x1, &x2);
            fswap(&y1, &y2);
        }
    }
    const float from = x_major ? x1 : y1, to = x_major ? x2 : y2;
    const double reach = static_cast<double>(width) * 0.5 + 3.0;
    const double lo = static_cast<double>(x_major ? t.b.c0 : t.b.r0) - reach;
    const double hi = static_cast<double>(x_major ? t.b.c1 : t.b.r1) + reach;
    bool clipped = false;
    float pos = from;
    if (pos < lo && pos <= to) {
        pos = advance(pos, step, static_cast<float>(std::max(lo, -3.4e38)));
        clipped = true;
    }
    while (pos <= to) {
        if (pos > hi || t.budget <= 0) return true;
        --t.budget;
        if (x_major) clipped |= dot(t, pos, (pos - from) * m + y1, width);
        else clipped |= dot(t, (pos - from) * m + x1, pos, width);
        const float next = pos + step;
        if (next == pos) return true; // the walk stopped advancing: the rest cannot be drawn
        pos = next;
    }
    return clipped;
}

template <class T> bool ellipse(T &t, float cx, float cy, float rx, float ry, float width) {
    const float R = std::fabs(rx > ry ? rx : ry);
    const double steps = quarter_turn / std::atan2(1.0, static_cast<double>(R)) + 1;
    const int64_t n = steps < 2147483647.0 ? static_cast<int64_t>(steps) : 2147483647;
    const float step = quarter_turn / static_cast<float>(n);
    bool clipped = false;
    for (float theta = 0; theta < quarter_turn;) {
        if (t.budget <= 0) return true;
        --t.budget;
        const auto dx = static_cast<float>(std::cos(static_cast<double>(theta)) * rx);
        const auto dy = static_cast<float>(std::sin(static_cast<double>(theta)) * ry);
        clipped |= dot(t, cx + dx, cy + dy, width);
        clipped |= dot(t, cx + dx, cy - dy, width);
        clipped |= dot(t, cx - dx, cy + dy, width);
        clipped |= dot(t, cx - dx, cy - dy, width);
        const float next = theta + step;
        if (next == theta) return true;
        theta = next;
    }
    return clipped;
}

BinaryTarget binary(BinaryImageStruct *im) { return BinaryTarget{im, Bounds(im->header), budget_for(im->header)}; }
ColorTarget colour(RGBImageStruct *im, GrayImageStruct *count, RGB color) {
    return ColorTarget{im, count, color, Bounds(im->header), budget_for(im->header)};
}

} // namespace

int64_t fround(float v) {
    return v < 0 ? truncate(static_cast<double>(v) - 0.5) : truncate(static_cast<double>(v) + 0.5);
}

void rgb_to_hsv(float r, float g, float b, float *h, float *s, float *v) {
    const float max = std::max(r, std::max(g, b)), min = std::min(r, std::min(g, b));
    *v = max;
    *s = max != 0 ? (max - min) / max : 0.0f;
    if (*s == 0) {
        *h = -1;
        return;
    }
    const float d = max - min;
    float hue;
    if (r == max) hue = (g - b) / d;
    else if (g == max) hue = 2 + (b - r) / d;
    else hue = 4 + (r - g) / d;
    hue = hue * 60;
    if (hue < 0) hue += 360;
    *h = hue;
}

void hsv_to_rgb(float *r, float *g, float *b, float h, float s, float v) {
    if (s == 0) {
        *r = *g = *b = v;
        return;
    }
    if (h >= 360) h -= 360;
    h = h / 60;
    const float fl = std::floor(h);
    const float f = h - fl;
    const float p = v * (1 - s), q = v * (1 - s * f), t = v * (1 - s * (1 - f));
    const int i = fl >= 0 && fl < 6 ? static_cast<int>(fl) : -1;
    switch (i) {
    case 0: *r = v, *g = t, *b = p; return;
    case 1: *r = q, *g = v, *b = p; return;
    case 2: *r = p, *g = v, *b = t; return;
    case 3: *r = p, *g = q, *b = v; return;
    case 4: *r = t, *g = p, *b = v; return;
    case 5: *r = v, *g = p, *b = q; return;
    default: TESSERA_CHECK(0);
    }
}

namespace {

// Mixes a colour given in HSV into a pixel that n colours have been plotted on.
RGB mix(RGB old, int32_t n, Hsv added) {
    float ho, so, vo, hn = added.h;
    const float sn = added.s, vn = added.v;
    rgb_to_hsv(old.r / 255.0f, old.g / 255.0f, old.b / 255.0f, &ho, &so, &vo);
    if (ho - hn > 180) hn += 360;
    else if (hn - ho > 180) hn -= 360;
    const auto nf = static_cast<float>(n), n1 = static_cast<float>(n + 1);
    float h = (nf * ho + hn) / n1;
    while (h >= 360) h -= 360;
    while (h < 0) h += 360;
    const float s = (nf * so + sn) / n1;
    const float v = (nf * vo + vn) / n1;
    float r, g, b;
    hsv_to_rgb(&r, &g, &b, h, s, v);
    const auto channel = [](float c) {
        const int64_t k = fround(c * 256.0f);
        return static_cast<uint8_t>(k >= 255 ? 255 : (k <= 0 ? 0 : k));
    };
    return RGB{channel(r), channel(g), channel(b)};
}

} // namespace

RGB combine(RGB old, int32_t n, RGB color) { return n == 0 ? color : mix(old, n, hsv_of(color)); }

bool plot_color_point_1(RGBImageStruct *im, GrayImageStruct *count, float x, float y, RGB color) {
    const int64_t c = fround(x), r = fround(y);
    if (!Bounds(im->header).inside(c, r)) return true;
    RGB &pixel = im->data[r][c];
    uint8_t &n = count->data[r][c];
    pixel = combine(pixel, n, color);
    n = static_cast<uint8_t>(n + 1);
    return false;
}

bool plot_binary_point_1(BinaryImageStruct *im, float x, float y) {
    const int64_t c = BinaryTarget::pixel(x), r = BinaryTarget::pixel(y);
    if (!Bounds(im->header).inside(c, r)) return true;
    im->data[r][c] = 1;
    return false;
}

bool plot_color_point(RGBImageStruct *im, GrayImageStruct *count, float x, float y, float size, RGB color) {
    ColorTarget t = colour(im, count, color);
    return dot(t, x, y, size);
}

bool plot_binary_point(BinaryImageStruct *im, float x, float y, float size) {
    BinaryTarget t = binary(im);
    return dot(t, x, y, size);
}

bool plot_color_line(RGBImageStruct *im, GrayImageStruct *count, float x1, float y1, float x2, float y2, float width,
                     RGB color) {
    ColorTarget t = colour(im, count, color);
    return line(t, x1, y1, x2, y2, width, 1.0f);
}

bool plot_binary_line(BinaryImageStruct *im, float x1, float y1, float x2, float y2, float width) {
    BinaryTarget t = binary(im);
    return line(t, x1, y1, x2, y2, width, 0.5f);
}

bool plot_color_ellipse(RGBImageStruct *im, GrayImageStruct *count, float cx, float cy, float rx, float ry, float width,
                        RGB color) {
    ColorTarget t = colour(im, count, color);
    return ellipse(t, cx, cy, rx, ry, width);
}

bool plot_binary_ellipse(BinaryImageStruct *im, float cx, float cy, float rx, float ry, float width) {
    BinaryTarget t = binary(im);
    return ellipse(t, cx, cy, rx, ry, width);
}

bool do_color_fill(RGBImageStruct *, GrayImageStruct *, float, float, RGB) { return false; }

// ---------------------------------------------------------------------------------------------
// Binary flood fill

namespace {

// Seeds still to visit, on a stack that grows as needed.
class SeedStack {
  public:
    SeedStack() = default;
    SeedStack(const SeedStack &) = delete;
    SeedStack &operator=(const SeedStack &) = delete;
    ~SeedStack() { mem_free(items_); }
    bool push(int64_t c, int64_t r) {
        if (size_ == capacity_ && !grow()) return false;
        items_[size_++] = Seed{c, r};
        return true;
    }
    bool pop(int64_t *c, int64_t *r) {
        if (size_ == 0) return false;
        --size_;
        *c = items_[size_].c;
        *r = items_[size_].r;
        return true;
    }

  private:
    struct Seed {
        int64_t c, r;
    };
    bool grow() {
        const std::size_t capacity = capacity_ ? capacity_ * 2 : 256;
        auto *items = static_cast<Seed *>(mem_alloc(capacity * sizeof(Seed)));
        if (!items) return false;
        if (size_) std::memcpy(items, items_, size_ * sizeof(Seed));
        mem_free(items_);
        items_ = items;
        capacity_ = capacity;
        return true;
    }
    Seed *items_ = nullptr;
    std::size_t size_ = 0, capacity_ = 0;
};

// Word-at-a-time scans of a row. A word holds a zero byte when (v - 0x01..) & ~v & 0x80.. is
// not 0, and a non-zero byte when it is not 0 itself.
constexpr uint64_t ones = 0x0101010101010101ULL, highs = 0x8080808080808080ULL;
bool has_zero_byte(uint64_t v) { return ((v - ones) & ~v & highs) != 0; }
uint64_t word_at(const int8_t *row, int64_t c) {
    uint64_t w;
    std::memcpy(&w, row + c, 8);
    return w;
}

// The first column in [c, last] whose pixel is set, or last + 1.
int64_t next_set(const int8_t *row, int64_t c, int64_t last) {
    while (c + 7 <= last && word_at(row, c) == 0) c += 8;
    while (c <= last && !row[c]) ++c;
    return c;
}

// The first column in [c, last] whose pixel is clear, or last + 1.
int64_t next_clear(const int8_t *row, int64_t c, int64_t last) {
    while (c + 7 <= last && !has_zero_byte(word_at(row, c))) c += 8;
    while (c <= last && row[c]) ++c;
    return c;
}

// The last column in [first, c] whose pixel is set, or first - 1.
int64_t prev_set(const int8_t *row, int64_t c, int64_t first) {
    while (c - 7 >= first && word_at(row, c - 7) == 0) c -= 8;
    while (c >= first && !row[c]) --c;
    return c;
}

// Sets the 4-connected run of clear pixels containing (c, r), and every clear pixel connected
// to it, scanning a row at a time. False when the seed stack cannot grow.
bool flood(BinaryImageStruct *im, const Bounds &b, int64_t c, int64_t r, SeedStack &seeds) {
    if (!seeds.push(c, r)) return false;
    while (seeds.pop(&c, &r)) {
        int8_t *row = im->data[r];
        if (row[c]) continue;
        const int64_t left = prev_set(row, c, b.c0) + 1;
        const int64_t right = next_set(row, c, b.c1) - 1;
        std::memset(row + left, 1, static_cast<std::size_t>(right - left + 1));
        for (int64_t nr : {r - 1, r + 1}) {
            if (nr < b.r0 || nr > b.r1) continue;
            const int8_t *next = im->data[nr];
            for (int64_t x = next_clear(next, left, right); x <= right; x = next_clear(next, x, right)) {
                if (!seeds.push(x, nr)) return false;
                x = next_set(next, x, right) + 1;
            }
        }
    }
    return true;
}

} // namespace

bool do_binary_fill(BinaryImageStruct *im, float x, float y) {
    const Bounds b(im->header);
    const int64_t c = fround(x), r = fround(y);
    if (!b.inside(c, r)) return true;
    im->data[r][c] = 1;
    // The seed is set even when it already was, and every clear neighbour's region is filled:
    // a seed on an outline fills both sides that touch it.
    SeedStack seeds;
    const int64_t nc[] = {c - 1, c + 1, c, c}, nr[] = {r, r, r - 1, r + 1};
    for (int k = 0; k < 4; ++k)
        if (b.inside(nc[k], nr[k]) && !im->data[nr[k]][nc[k]] && !flood(im, b, nc[k], nr[k], seeds)) return true;
    return false;
}

} // namespace tessera::detail
