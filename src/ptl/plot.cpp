// Raster plotting primitives. Every sub-point of a dot is rounded to a pixel on its own and
// pixels outside the image are skipped and reported, exactly as a plot-by-plot drawing would.
//
// Drawings are untrusted (they come from files) and pens can be wide, so the work follows the
// pixels an element covers rather than the plots it makes:
// - a dot with a wide pen is drawn a row at a time: the columns its offsets reach in a row are
//   runs of a monotone function, kept as segments (one per column where floats are sparser than
//   pixels), and each row gets whole spans;
// - consecutive dots of a walk that do exactly the same to the image (a pen much wider than the
//   image) are drawn once, as many times over; in binary, once a dot has set every pixel the
//   walk stops;
// - an element whose dots overlap heavily accumulates per-pixel plot counts over its bounding
//   box and applies them once at the end (an OR for binary images; for colour images the mix
//   of one colour is applied count times, which only depends on the pixel and its count);
// - steps of a line or ellipse whose dots cannot reach the image are skipped in bulk, by exact
//   jumps of the float walk.
// Nothing is dropped: an element that cannot be finished (its walk stops advancing where its
// dots still reach the image, or the rendering's pixel visits run past what its budget allows)
// fails, and with it the rendering (see docs/formats.md).
#include "plot.h"
#include "simd/x86.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <tuple>
#include <type_traits>

#include "support/alloc.h"
#include "support/budget.h"
#include "support/check.h"
#include "support/error.h"
#include "support/per_thread.h"

namespace tessera::detail {

namespace {

constexpr float quarter_turn = 1.5708f;        // a little more than pi/2
constexpr int64_t far_away = int64_t{1} << 62; // a coordinate outside every image
constexpr int64_t most_ellipse_steps = int64_t{1} << 62;
constexpr int64_t literal_pen = 3;                  // dots with at most this many offsets a side are plotted one by one
constexpr int inline_segments = 64;                 // column segments of one side of a dot, held inline
constexpr int64_t most_segments = int64_t{1} << 20; // and at most, on the heap
constexpr float color_step = 1.0f, binary_step = 0.5f; // line steps of the two flavours

__extension__ typedef unsigned __int128 uint128;

// Truncation toward zero of a double, with NaN and values beyond int64 sent far outside.
[[gnu::always_inline]] inline int64_t truncate(double v) {
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
        : c0(h->xoffset), c1(int64_t{h->xoffset} + h->width - 1), r0(h->yoffset),
          r1(int64_t{h->yoffset} + h->height - 1) {}
    bool inside(int64_t c, int64_t r) const { return c >= c0 && c <= c1 && r >= r0 && r <= r1; }
    int64_t area() const { return (c1 - c0 + 1) * (r1 - r0 + 1); }
};

// The two roundings of a coordinate to a pixel: binary images truncate v + 0.5, colour images
// use fround.
struct BinaryRounding {
    [[gnu::always_inline]] static int64_t pixel(float v) { return truncate(static_cast<double>(v) + 0.5); }
};
struct ColorRounding {
    [[gnu::always_inline]] static int64_t pixel(float v) {
        return v < 0 ? truncate(static_cast<double>(v) - 0.5) : truncate(static_cast<double>(v) + 0.5);
    }
};

// The first i in [a, b) at which the monotone predicate holds (false before, true from there on),
// or b. The search starts from a guess and gallops away from it, so a guess within a few steps
// of the answer costs a few evaluations, however wide the range.
template <class P> int64_t first_true(int64_t a, int64_t b, double guess, P pred) {
    if (a >= b) return b;
    const int64_t g = !(guess > static_cast<double>(a))       ? a
                      : !(guess < static_cast<double>(b - 1)) ? b - 1
                                                              : static_cast<int64_t>(guess);
    int64_t lo = a, hi = b; // pred fails below lo; holds at hi (or hi == b)
    if (pred(g)) {
        hi = g;
        for (int64_t step = 1; hi - step >= a; step *= 2) {
            if (!pred(hi - step)) {
                lo = hi - step + 1;
                break;
            }
            hi -= step;
        }
    } else {
        lo = g + 1;
        for (int64_t step = 1; lo + step - 1 < b; step *= 2) {
            if (pred(lo + step - 1)) {
                hi = lo + step - 1;
                break;
            }
            lo += step;
        }
    }
    while (lo < hi) {
        const int64_t m = lo + (hi - lo) / 2;
        if (pred(m)) hi = m;
        else lo = m + 1;
    }
    return lo;
}

// The pen of a dot of diameter size: offsets i, j in [0, n) with i*i + j*j <= r2, the integer
// sum compared as a float.
struct Pen {
    float r2;
    int64_t n;
    explicit Pen(float size) {
        const float r = size * 0.5f + 0.5f;
        n = truncate(r);
        r2 = r * r;
    }
    bool covers(int64_t i, int64_t j) const {
        const uint128 s =
            static_cast<uint128>(i) * static_cast<uint128>(i) + static_cast<uint128>(j) * static_cast<uint128>(j);
        return static_cast<float>(s) <= r2;
    }
    // The largest i <= most (most < n) with covers(i, j); every j < n has i = 0 covered.
    int64_t widest(int64_t j, int64_t most) const {
        if (covers(most, j)) return most;
        // A square root lands near the edge (within a step or two for small pens, within the
        // float rounding of i * i + j * j for large ones).
        const double room = static_cast<double>(r2) - static_cast<double>(j) * static_cast<double>(j);
        if (most <= (int64_t{1} << 21)) { // within a step or two: walk
            int64_t i = room > 0 ? std::min<int64_t>(most - 1, static_cast<int64_t>(std::sqrt(room))) : 0;
            while (i < most - 1 && covers(i + 1, j)) ++i;
            while (i > 0 && !covers(i, j)) --i;
            return i;
        }
        const double guess = room > 0 ? std::sqrt(room) + 1 : 0;
        return first_true(0, most, guess, [&](int64_t i) { return !covers(i, j); }) - 1; // covers(0, j) holds
    }
    // How far from its centre a dot can set a pixel, with a margin for rounding.
    double reach() const { return static_cast<double>(n) + 2.0; }
};

// Offsets i in [0, n) for which pixel(base + dir * i) lies in [lo, hi]: one interval, since the
// pixel moves monotonically with i. Empty when first > last.
template <class R>
void offsets_inside(float base, int64_t n, int dir, int64_t lo, int64_t hi, int64_t *first, int64_t *last) {
    const auto at = [&](int64_t i) { return R::pixel(base + static_cast<float>(dir) * static_cast<float>(i)); };
    // Walking in direction dir, the pixel enters [lo, hi] at the first i that has reached the
    // near edge and leaves it at the first i that has passed the far edge.
    const auto past_start = [&](int64_t i) { return dir > 0 ? at(i) >= lo : at(i) <= hi; };
    const auto before_end = [&](int64_t i) { return dir > 0 ? at(i) <= hi : at(i) >= lo; };
    // Where the sum lands on an edge, give or take the rounding of the sum and the pixel.
    const double b = static_cast<double>(base), l = static_cast<double>(lo), h = static_cast<double>(hi);
    *first = first_true(0, n, dir > 0 ? l - 0.5 - b : b - h - 0.5, past_start);
    *last = first_true(*first, n, dir > 0 ? h + 0.5 - b : b - l + 0.5, [&](int64_t i) { return !before_end(i); }) - 1;
}

// How many offsets after i (whose sum with the base came to v) the sum still moves by exactly
// dir each: while it stays inside one binade whose float spacing divides 1 into an even number of
// steps (|v| below 2^23), a margin of 1 from its edges, and the offsets stay exact (below 2^24).
// There the grid of floats is the same after a shift by 1, roundings to even included, so
// fl(x + k) = fl(x) + k, and either pixel rounding moves by one with it (|v| >= 1 keeps its sign).
int64_t exact_steps(float v, int dir, int64_t i) {
    uint32_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    const int biased = static_cast<int>(bits >> 23 & 0xff); // |v| in [2^(biased - 127), twice that)
    if (biased < 128 || biased >= 150) return 0;            // below 2, at or above 2^23, or not finite
    const auto power = [](int k) {
        const uint64_t b = static_cast<uint64_t>(k + 1023) << 52;
        double d;
        std::memcpy(&d, &b, sizeof d);
        return d;
    };
    const double a = std::fabs(static_cast<double>(v));
    const double lower = power(biased - 127) + 1, upper = power(biased - 126) - 1;
    const bool growing = (v > 0) == (dir > 0);
    const double k = std::floor(growing ? upper - a : a - lower);
    if (k < 1) return 0;
    return std::min(static_cast<int64_t>(k), (int64_t{1} << 24) - 1 - i);
}

// Calls f(pixel, first, last) for each run of offsets in [from, to] with the same pixel,
// in ascending order of offset. Runs are found by galloping, so a long run costs its logarithm.
// Where each offset has a pixel of its own, one after another (see exact_steps), it calls
// stretch(pixel, first, last) for the whole stretch instead: offset first + k lands on pixel +
// dir * k. Either returns false to stop.
template <class R, class F, class S> void each_run(float base, int dir, int64_t from, int64_t to, F f, S stretch) {
    const auto value = [&](int64_t i) { return base + static_cast<float>(dir) * static_cast<float>(i); };
    const auto at = [&](int64_t i) { return R::pixel(value(i)); };
    for (int64_t i = from; i <= to;) {
        const int64_t steps = i < to ? exact_steps(value(i), dir, i) : 0;
        if (steps > 0) {
            const int64_t end = std::min(to, i + steps);
            if (!stretch(at(i), i, end)) return;
            i = end + 1;
            continue;
        }
        const int64_t p = at(i);
        int64_t end = i, stride = 1;
        while (end + stride <= to && at(end + stride) == p) {
            end += stride;
            stride *= 2;
        }
        int64_t a = end + 1, b = std::min(end + stride, to + 1); // first offset of another pixel
        while (a < b) {
            const int64_t m = a + (b - a) / 2;
            if (at(m) == p) a = m + 1;
            else b = m;
        }
        if (!f(p, i, a - 1)) return;
        i = a;
    }
}

template <class R, class F> void each_run(float base, int dir, int64_t from, int64_t to, F f) {
    each_run<R>(base, dir, from, to, f, [&](int64_t p, int64_t a, int64_t b) {
        for (int64_t i = a; i <= b; ++i)
            if (!f(p + dir * (i - a), i, i)) return false;
        return true;
    });
}

// The columns that one side (x + i or x - i) of a dot reaches inside the image, as segments:
// either a stretch of consecutive pixels each reached by one offset (first, first + 1, ...), or
// one pixel reached by the offsets first..last.
struct Segment {
    int64_t pixel, first, last; // a stretch when count > 0
    int64_t count;
};

// Near the origin a side is a stretch or two; where floats are sparser than pixels every column
// it reaches is a segment of its own, and the side grows to hold them (up to most_segments).
class Side {
  public:
    Side() = default;
    Side(const Side &) = delete;
    Side &operator=(const Side &) = delete;
    ~Side() {
        if (seg != inline_) mem_free(seg);
    }
    // False when the side needs more segments than it can hold.
    template <class R> bool build(float base, int d, int64_t n, int64_t lo, int64_t hi) {
        dir = d;
        size = 0;
        int64_t first, last;
        offsets_inside<R>(base, n, d, lo, hi, &first, &last);
        bool ok = true;
        const auto run = [&](int64_t p, int64_t a, int64_t b, int64_t count) {
            if (count > 0 && size > 0) {
                Segment &s = seg[size - 1];
                if (s.count > 0 && s.pixel + d * s.count == p && s.first + s.count == a) {
                    s.count += count;
                    return true;
                }
            }
            if (size == capacity && !grow()) return ok = false;
            seg[size++] = count > 0 ? Segment{p, a, a, count} : Segment{p, a, b, 0};
            return true;
        };
        each_run<R>(
            base, d, first, last, [&](int64_t p, int64_t a, int64_t b) { return run(p, a, b, a == b ? 1 : 0); },
            [&](int64_t p, int64_t a, int64_t b) { return run(p, a, a, b - a + 1); });
        return ok;
    }
    bool empty() const { return size == 0; }
    // The largest offset that reaches the image, or -1.
    int64_t last_offset() const {
        if (size == 0) return -1;
        const Segment &s = seg[size - 1];
        return s.count > 0 ? s.first + s.count - 1 : s.last;
    }
    // Calls f(from, to, count) for the columns the offsets 0..w reach, with count the number
    // of those offsets on each column of [from, to].
    template <class F> [[gnu::always_inline]] void spans(int64_t w, F f) const {
        const Segment *const list = seg; // not read again after each of f's stores
        const int64_t count = size, d = dir;
        for (int64_t k = 0; k < count && list[k].first <= w; ++k) {
            const Segment &s = list[k];
            if (s.count > 0) {
                const int64_t m = std::min(s.count, w - s.first + 1);
                const int64_t end = s.pixel + d * (m - 1);
                f(std::min(s.pixel, end), std::max(s.pixel, end), int64_t{1});
            } else {
                f(s.pixel, s.pixel, std::min(s.last, w) - s.first + 1);
            }
        }
    }

  private:
    bool grow() {
        if (capacity >= most_segments) return false;
        auto *bigger = static_cast<Segment *>(mem_alloc(static_cast<std::size_t>(2 * capacity) * sizeof(Segment)));
        if (!bigger) return false;
        std::memcpy(bigger, seg, static_cast<std::size_t>(size) * sizeof(Segment));
        if (seg != inline_) mem_free(seg);
        seg = bigger;
        capacity *= 2;
        return true;
    }
    Segment inline_[inline_segments];
    Segment *seg = inline_;
    int64_t size = 0, capacity = inline_segments;
    int dir = 1;
};

// ---------------------------------------------------------------------------------------------
// Colour mixing

struct Hsv {
    float h, s, v;
};

// c / 255.0f for every channel value, worked out once (division is correctly rounded at compile
// time as at run time, so the table holds exactly what the division gives).
constexpr auto unit_of = [] {
    std::array<float, 256> t{};
    for (int c = 0; c < 256; ++c) t[static_cast<std::size_t>(c)] = static_cast<float>(c) / 255.0f;
    return t;
}();

Hsv hsv_of(RGB c) {
    Hsv x;
    rgb_to_hsv(unit_of[c.r], unit_of[c.g], unit_of[c.b], &x.h, &x.s, &x.v);
    return x;
}

RGB mix(RGB old, int32_t n, Hsv added);
void mix4(const RGB old[4], const int32_t n[4], const Hsv &added, RGB out[4]);

// Plotting one element's colour on pixels: the first colour on a pixel replaces it (the
// background does not take part), later ones are mixed by count. A pixel that receives k plots
// of the same colour ends where k single plots would leave it; after a plot on count 0 that no
// longer depends on what the pixel was, so those results are tabled once per element.
// Mixes of one element's colour seen so far, this thread's, direct-mapped; an entry belongs to
// the element whose generation it carries, so a new element starts with an empty table
// without clearing it.
struct MixMemo final : ThreadState {
    static constexpr int bits = 12;
    struct Entry {
        uint32_t key; // (pixel, count) + 1
        uint32_t generation;
        RGB out;
    };
    Entry entries[1 << bits] = {};
    // Where one pixel state (p, n) goes under repeated plots: out[t] after t of them. Pixels of a
    // wide pen over another colour start from the same few states and take hundreds of plots.
    static constexpr int chain_bits = 6;
    struct Chain {
        uint32_t key, generation;
        int known; // out[0..known] are worked out
        RGB out[256];
    };
    Chain chains[1 << chain_bits] = {};
    uint32_t generation = 0;
    void release() noexcept override {}
    // A generation for a new element.
    uint32_t next() {
        if (++generation == 0) { // wrapped: forget every entry
            for (Entry &e : entries) e.generation = 0;
            for (Chain &c : chains) c.generation = 0;
            generation = 1;
        }
        return generation;
    }
};

class Mixer {
  public:
    explicit Mixer(RGB color) : color_(color), hsv_(hsv_of(color)), memo_(this_thread<MixMemo>()) {
        table_[1] = color;
        if (memo_) generation_ = memo_->next();
    }
    void plot(RGB &p, uint8_t &n) {
        p = n == 0 ? color_ : mixed(p, n);
        n = static_cast<uint8_t>(n + 1);
    }
    // k plots, where k may be any count at or above 256 that has the true count's residue
    // modulo 256 (see clamp_count).
    void plot(RGB &p, uint8_t &n, uint64_t k) {
        const uint64_t before_wrap = n == 0 ? 0 : 256u - n; // plots before the count reaches 0
        if (k <= before_wrap) {
            if (k > 2 && memo_) {
                p = after(p, n, static_cast<int>(k));
                n = static_cast<uint8_t>(n + k);
                return;
            }
            for (uint64_t t = 0; t < k; ++t) plot(p, n);
            return;
        }
        const uint64_t m = k - before_wrap; // plots from count 0 on
        n = static_cast<uint8_t>(n + k);
        p = after_replace(static_cast<int>((m - 1) % 256) + 1);
    }

    const Hsv &hsv() const { return hsv_; }
    // The mix of this colour into p with count n, when it is remembered.
    bool recall(RGB p, uint8_t n, RGB *out) const {
        if (!memo_) return false;
        const MixMemo::Entry &e = entry(p, n);
        if (e.key != key_of(p, n) || e.generation != generation_) return false;
        *out = e.out;
        return true;
    }
    void remember(RGB p, uint8_t n, RGB out) {
        if (memo_) entry(p, n) = MixMemo::Entry{key_of(p, n), generation_, out};
    }

  private:
    // The mix of this colour into pixel p with count n. The pixels of one element go through
    // the same few (pixel, count) states (the inside of a wide line: the colour, then its mixes
    // with itself), so the results are remembered (without a table, each is computed).
    RGB mixed(RGB p, uint8_t n) {
        if (!memo_) return mix(p, n, hsv_);
        MixMemo::Entry &e = entry(p, n);
        if (e.key != key_of(p, n) || e.generation != generation_)
            e = MixMemo::Entry{key_of(p, n), generation_, mix(p, n, hsv_)};
        return e.out;
    }
    static uint32_t key_of(RGB p, uint8_t n) {
        return (uint32_t{p.r} << 24 | uint32_t{p.g} << 16 | uint32_t{p.b} << 8 | n) + 1;
    }
    MixMemo::Entry &entry(RGB p, uint8_t n) const {
        return memo_->entries[(key_of(p, n) * 2654435761u) >> (32 - MixMemo::bits)];
    }
    // The pixel p with count n > 0 after k plots, k <= 256 - n, through the thread's chains.
    RGB after(RGB p, uint8_t n, int k) {
        MixMemo::Chain &c = memo_->chains[(key_of(p, n) * 2654435761u) >> (32 - MixMemo::chain_bits)];
        if (c.key != key_of(p, n) || c.generation != generation_) {
            c.key = key_of(p, n), c.generation = generation_, c.known = 0;
            c.out[0] = p;
        }
        for (; c.known < k; ++c.known) c.out[c.known + 1] = mixed(c.out[c.known], static_cast<uint8_t>(n + c.known));
        return c.out[k];
    }
    // The pixel after m plots that started on count 0 (1 <= m <= 256).
    RGB after_replace(int m) {
        for (; known_ < m; ++known_) table_[known_ + 1] = mixed(table_[known_], static_cast<uint8_t>(known_));
        return table_[m];
    }
    RGB color_;
    Hsv hsv_;
    MixMemo *memo_;
    uint32_t generation_ = 0;
    RGB table_[257];
    int known_ = 1;
};

// A count of plots in a form that keeps what the mixing needs (the residue modulo 256 and
// whether it reached 256) and cannot overflow when summed.
uint64_t clamp_count(uint64_t k) { return k < 256 ? k : 256 + k % 256; }

// ---------------------------------------------------------------------------------------------
// Painters: where the plots of one element go

// Per-pixel plot counts over a box of the image, kept as a difference array per row; spans are
// added in O(1) and the counts are applied once when the element is done.
class Counts {
  public:
    Counts() = default;
    Counts(const Counts &) = delete;
    Counts &operator=(const Counts &) = delete;
    ~Counts() { mem_free(cells_); }
    bool open(int64_t c0, int64_t c1, int64_t r0, int64_t r1) {
        c0_ = c0, c1_ = c1, r0_ = r0, r1_ = r1;
        stride_ = static_cast<std::size_t>(c1 - c0 + 2);
        cells_ = static_cast<uint64_t *>(mem_calloc(stride_ * static_cast<std::size_t>(r1 - r0 + 1), sizeof(uint64_t)));
        return cells_ != nullptr;
    }
    bool holds(int64_t r, int64_t from, int64_t to) const { return r >= r0_ && r <= r1_ && from >= c0_ && to <= c1_; }
    void add(int64_t r, int64_t from, int64_t to, uint64_t k) {
        uint64_t *row = cells_ + static_cast<std::size_t>(r - r0_) * stride_;
        row[from - c0_] += k;
        row[to - c0_ + 1] -= k;
    }
    // Calls f(r, c0, c1, cells) for each row of the box: cells[c - c0] is the difference of the
    // count of column c from column c - 1's.
    template <class F> void each_row(F f) const {
        for (int64_t r = r0_; r <= r1_; ++r) f(r, c0_, c1_, cells_ + static_cast<std::size_t>(r - r0_) * stride_);
    }
    template <class F> void each(F f) const {
        for (int64_t r = r0_; r <= r1_; ++r) {
            const uint64_t *row = cells_ + static_cast<std::size_t>(r - r0_) * stride_;
            uint64_t k = 0;
            for (int64_t c = c0_; c <= c1_; ++c) {
                k += row[c - c0_];
                if (k) f(c, r, k);
            }
        }
    }

  private:
    uint64_t *cells_ = nullptr;
    std::size_t stride_ = 0;
    int64_t c0_ = 0, c1_ = 0, r0_ = 0, r1_ = 0;
};

// The spacing of floats near |v| (at least the smallest normal spacing).
double spacing(double v) {
    int e = 0;
    std::frexp(std::fabs(v), &e);
    return std::ldexp(1.0, std::max(e, -125) - 24);
}

// The target-specific part of a painter: how a coordinate becomes a pixel and what k plots on
// one pixel or a span of pixels do.
struct BinaryTarget {
    using Rounding = BinaryRounding;
    static constexpr float step = binary_step;
    BinaryImageStruct *im;
    bool plot(int64_t c, int64_t r) {
        im->data[r][c] = 1;
        return false;
    }
    void plot_span(int64_t r, int64_t from, int64_t to, uint64_t) {
        std::memset(im->data[r] + from, 1, static_cast<std::size_t>(to - from + 1));
    }
    void plot_many(int64_t c, int64_t r, uint64_t) { im->data[r][c] = 1; }
    void finish() {}
};

// The plots of one element, gathered per pixel. Every plot of an element has the element's
// colour, so what a pixel ends as depends only on what it was and how many plots it gets, not
// on the order of its plots among other pixels' plots: the plots are counted while the element
// is drawn and applied when it is done. A pixel that was blank, or whose count wraps, takes the
// colour's table; any other needs one exact mix per plot, and those chains run four pixels at a
// time. The table is direct-mapped on the pixel; a pixel displaced by another is applied at once
// (its later plots come after it, as they would have).
struct PlotBatch final : ThreadState {
    static constexpr int bits = 12;
    struct Slot {
        RGB *pixel; // null when free
        uint8_t *count;
        uint32_t k; // plots, as a clamped count
    };
    struct Chain {
        RGB *pixel;
        uint8_t *count;
        RGB p;
        uint8_t n;
        uint16_t steps;
    };
    Slot slots[1 << bits] = {};
    uint16_t used[1 << bits] = {};
    int in_use = 0;
    Chain chains[1 << bits] = {};
    void release() noexcept override {}
};

struct ColorTarget {
    using Rounding = ColorRounding;
    static constexpr float step = color_step;
    RGBImageStruct *im;
    GrayImageStruct *count;
    Mixer mixer;
    PlotBatch *batch; // null: plots go straight to the pixels
    [[gnu::always_inline]] bool plot(int64_t c, int64_t r) {
        add(&im->data[r][c], &count->data[r][c], 1);
        return false;
    }
    // Spans and counted plots of wide pens mostly fall on blank pixels, which take the colour's
    // table, or on the element's own colour, whose mixes are remembered: those are applied at
    // once (the plots of one element commute, so nothing is out of order).
    void plot_span(int64_t r, int64_t from, int64_t to, uint64_t k) {
        for (int64_t c = from; c <= to; ++c) plot_many(c, r, k);
    }
    void plot_many(int64_t c, int64_t r, uint64_t k) {
        RGB &p = im->data[r][c];
        uint8_t &n = count->data[r][c];
        RGB known;
        if (n == 0 || mixer.recall(p, n, &known)) apply(p, n, k);
        else add(&p, &n, k);
    }

    // Applies the gathered plots; call when the element is done.
    void finish() {
        if (!batch || batch->in_use == 0) return;
        int chains = 0;
        for (int u = 0; u < batch->in_use; ++u) {
            PlotBatch::Slot &s = batch->slots[batch->used[u]];
            RGB &p = *s.pixel;
            uint8_t &n = *s.count;
            const uint32_t k = s.k;
            s.pixel = nullptr;
            if (n == 0 || k > 256u - n) { // the table's work
                apply(p, n, k);
                continue;
            }
            RGB now = p;
            auto left = static_cast<uint16_t>(k);
            while (left > 0 && mixer.recall(now, n, &now)) ++n, --left;
            p = now;
            if (left > 0) batch->chains[chains++] = PlotBatch::Chain{&p, &n, now, n, left};
        }
        batch->in_use = 0;
        run(chains);
    }

  private:
    [[gnu::always_inline]] void add(RGB *pixel, uint8_t *n, uint64_t k) {
        if (!batch) return apply(*pixel, *n, k);
        const auto i = static_cast<uint16_t>((reinterpret_cast<uintptr_t>(pixel) * UINT64_C(0x9E3779B97F4A7C15)) >>
                                             (64 - PlotBatch::bits));
        PlotBatch::Slot &s = batch->slots[i];
        if (s.pixel == pixel) {
            s.k = static_cast<uint32_t>(clamp_count(s.k + k));
            return;
        }
        if (s.pixel) apply(*s.pixel, *s.count, s.k);
        else batch->used[batch->in_use++] = i;
        __builtin_prefetch(pixel, 1); // wanted when the element is done
        __builtin_prefetch(n, 1);
        s = PlotBatch::Slot{pixel, n, static_cast<uint32_t>(clamp_count(k))};
    }
    void apply(RGB &p, uint8_t &n, uint64_t k) {
        if (k == 1) mixer.plot(p, n);
        else mixer.plot(p, n, k);
    }
    // The chains of mixes, each pixel's one after the other, four pixels side by side.
    void run(int chains) {
        int lane[4], next = 0;
        const auto take = [&](int l) { lane[l] = next < chains ? next++ : -1; };
        for (int l = 0; l < 4; ++l) take(l);
        while (lane[0] >= 0 || lane[1] >= 0 || lane[2] >= 0 || lane[3] >= 0) {
            RGB old[4], out[4];
            int32_t n[4];
            for (int l = 0; l < 4; ++l) {
                const bool busy = lane[l] >= 0;
                old[l] = busy ? batch->chains[lane[l]].p : RGB{0, 0, 0};
                n[l] = busy ? batch->chains[lane[l]].n : 1;
            }
            mix4(old, n, mixer.hsv(), out);
            for (int l = 0; l < 4; ++l) {
                if (lane[l] < 0) continue;
                PlotBatch::Chain &c = batch->chains[lane[l]];
                mixer.remember(c.p, c.n, out[l]);
                c.p = out[l];
                c.n = static_cast<uint8_t>(c.n + 1);
                if (--c.steps == 0) {
                    *c.pixel = c.p;
                    *c.count = c.n;
                    take(l);
                }
            }
        }
    }
};

// A list that grows on the library's heap; an append that cannot grow fails and leaves it whole.
template <class V> class List {
  public:
    List() = default;
    List(const List &) = delete;
    List &operator=(const List &) = delete;
    ~List() { mem_free(items_); }
    bool push(const V &v) {
        if (size_ == capacity_) {
            const std::size_t more = capacity_ ? 2 * capacity_ : 16;
            auto *bigger = static_cast<V *>(mem_alloc(more * sizeof(V)));
            if (!bigger) return false;
            if (size_) std::memcpy(bigger, items_, size_ * sizeof(V));
            mem_free(items_);
            items_ = bigger, capacity_ = more;
        }
        items_[size_++] = v;
        return true;
    }
    void clear() { size_ = 0; }
    std::size_t size() const { return size_; }
    const V *begin() const { return items_; }
    const V *end() const { return items_ + size_; }
    bool operator==(const List &o) const {
        return size_ == o.size_ && (size_ == 0 || std::memcmp(items_, o.items_, size_ * sizeof(V)) == 0);
    }
    void swap(List &o) { std::swap(items_, o.items_), std::swap(size_, o.size_), std::swap(capacity_, o.capacity_); }

  private:
    V *items_ = nullptr;
    std::size_t size_ = 0, capacity_ = 0;
};

// What a dot whose every row reaches as far as the image lets it does to the image: each of its
// rows gets the same columns, so its plots are the columns' counts times the rows' (how many
// offsets land on each), plus its centre. Consecutive dots of a walk often do exactly the same
// (a pen much wider than the image, moving by a step): such an effect is kept with the number
// of dots that have it and drawn once, that many times over, since the plots of one element
// commute.
struct Effect {
    struct Range {
        int64_t from, to;
        uint64_t times; // plots on each pixel (column or row) of the range, clamped
    };
    List<Range> columns, rows;
    int64_t centre_column = 0, centre_row = 0;
    bool centre = false;
    int64_t visits = 0;  // counted as the dot drawn row by row counts them
    uint64_t repeat = 0; // dots with this effect not yet drawn
    bool same_as(const Effect &o) const {
        return centre == o.centre && (!centre || (centre_column == o.centre_column && centre_row == o.centre_row)) &&
               columns == o.columns && rows == o.rows;
    }
    void swap(Effect &o) {
        columns.swap(o.columns), rows.swap(o.rows);
        std::swap(centre_column, o.centre_column), std::swap(centre_row, o.centre_row);
        std::swap(centre, o.centre), std::swap(visits, o.visits), std::swap(repeat, o.repeat);
    }
};

// Appends a range, joined to the last one when it continues it with the same count; false when
// memory runs out.
bool add_range(List<Effect::Range> &l, int64_t from, int64_t to, uint64_t times) {
    if (l.size() > 0) {
        Effect::Range &last = const_cast<Effect::Range &>(*(l.end() - 1));
        if (last.times == times && last.to + 1 == from) {
            last.to = to;
            return true;
        }
        if (last.times == times && to + 1 == last.from) {
            last.from = from;
            return true;
        }
    }
    return l.push(Effect::Range{from, to, times});
}

// Draws the dots of one element into a target, directly or through a count box.
template <class T> class Painter {
  public:
    using R = typename T::Rounding;
    static constexpr bool binary = std::is_same_v<T, BinaryTarget>;
    Painter(T target, const ImageHeader *h, float size, Allowance &work) : t_(target), b_(h), pen_(size), work_(work) {}
    Painter(const Painter &) = delete;
    Painter &operator=(const Painter &) = delete;
    ~Painter() { t_.finish(); } // nothing is left gathered

    const Bounds &bounds() const { return b_; }
    const Pen &pen() const { return pen_; }
    bool exhausted() const { return work_.left < 0; }
    // Whether the given number of visits is still allowed.
    bool affords(double visits) const { return visits <= static_cast<double>(work_.left); }
    // Every pixel of the image is set (binary): further dots change nothing but clipping.
    bool full() const { return full_; }
    Drawn too_costly() {
        fail(Err::limit,
             "drawing this needs more than the %lld pixel visits a budget of %llu bytes allows (tessera_set_budget)",
             static_cast<long long>(work_.total), static_cast<unsigned long long>(budget()));
        return drawn_failed;
    }

    // Collects counts over the box (clipped to the image) instead of drawing directly, when
    // the element's dots are estimated to make many more plots than the box has pixels.
    void plan(double left, double right, double top, double bottom, double dots) {
        if (pen_.n <= literal_pen) return;
        const auto clip = [](double v, int64_t lo, int64_t hi) {
            return v < static_cast<double>(lo) ? lo : v > static_cast<double>(hi) ? hi : static_cast<int64_t>(v);
        };
        if (!(left <= right) || !(top <= bottom)) return;
        const int64_t c0 = clip(std::floor(left), b_.c0, b_.c1), c1 = clip(std::ceil(right), b_.c0, b_.c1);
        const int64_t r0 = clip(std::floor(top), b_.r0, b_.r1), r1 = clip(std::ceil(bottom), b_.r0, b_.r1);
        const double box = static_cast<double>(c1 - c0 + 1) * static_cast<double>(r1 - r0 + 1);
        const double side = 2.0 * static_cast<double>(pen_.n) + 1.0;
        const double per_dot =
            std::min(side, static_cast<double>(c1 - c0 + 1)) * std::min(side, static_cast<double>(r1 - r0 + 1));
        if (dots * per_dot > 4.0 * box) counting_ = counts_.open(c0, c1, r0, r1);
    }

    // Applies the collected counts; call once after the last dot.
    void finish() {
        flush();
        if (counting_) apply_counts();
        counting_ = false;
        t_.finish();
    }
    // A loop of its own, kept out of the walks so that it keeps its registers.
    [[gnu::noinline]] void apply_counts() {
        if constexpr (binary) {
            int8_t *const *rows = t_.im->data;
            counts_.each_row([&](int64_t r, int64_t c0, int64_t c1, const uint64_t *cells) {
                int8_t *out = rows[r];
                uint64_t k = 0;
                for (int64_t c = c0; c <= c1; ++c) {
                    k += cells[c - c0];
                    out[c] = k ? int8_t{1} : out[c];
                }
            });
        } else {
            counts_.each([&](int64_t c, int64_t r, uint64_t k) { t_.plot_many(c, r, k); });
        }
    }

    // A dot of the element's pen centred at (x, y); true when some plot fell outside.
    bool dot(float x, float y) {
        const int64_t n = pen_.n;
        if (n > literal_pen) return wide_dot(x, y);
        work_.left -= n <= 0 ? 1 : (2 * n - 1) * (2 * n - 1); // the pixels the pen can reach
        bool clipped = plot_point(x, y);
        if (n <= 0) return clipped;
        const float last = static_cast<float>(n - 1);
        if (!clipped && R::pixel(x + last) <= b_.c1 && R::pixel(x - last) >= b_.c0 && R::pixel(y + last) <= b_.r1 &&
            R::pixel(y - last) >= b_.r0) {
            // Wholly inside (every offset lies between the extreme ones): no plot needs a check.
            for (int64_t i = 0; i < n; ++i)
                for (int64_t j = 0; j < n; ++j) {
                    if (!pen_.covers(i, j)) continue;
                    const float fi = static_cast<float>(i), fj = static_cast<float>(j);
                    const int64_t cr = R::pixel(x + fi), cl = R::pixel(x - fi);
                    const int64_t rd = R::pixel(y + fj), ru = R::pixel(y - fj);
                    t_.plot(cr, rd), t_.plot(cr, ru), t_.plot(cl, rd), t_.plot(cl, ru);
                }
            return false;
        }
        for (int64_t i = 0; i < n; ++i)
            for (int64_t j = 0; j < n; ++j) {
                if (!pen_.covers(i, j)) continue;
                const float fi = static_cast<float>(i), fj = static_cast<float>(j);
                clipped |= plot_point(x + fi, y + fj);
                clipped |= plot_point(x + fi, y - fj);
                clipped |= plot_point(x - fi, y + fj);
                clipped |= plot_point(x - fi, y - fj);
            }
        return clipped;
    }

    // Whether a dot at (x, y) would set any pixel of the image. Its plots are (x +- i, y +- j)
    // for every covered (i, j), so it does when some offset i lands inside across and some j
    // along, and the pen covers the smallest of each.
    bool reaches(float x, float y) const {
        if (b_.inside(R::pixel(x), R::pixel(y))) return true;
        const int64_t n = pen_.n;
        if (n <= 0) return false;
        const auto least = [&](float v, int64_t lo, int64_t hi) {
            int64_t a, b, c, d;
            offsets_inside<R>(v, n, +1, lo, hi, &a, &b);
            offsets_inside<R>(v, n, -1, lo, hi, &c, &d);
            return std::min(a <= b ? a : n, c <= d ? c : n);
        };
        const int64_t i = least(x, b_.c0, b_.c1), j = least(y, b_.r0, b_.r1);
        return i < n && j < n && pen_.covers(i, j);
    }

  private:
    // A wide dot, drawn a row at a time. The columns its offsets reach are kept as segments
    // where they are few (see Side); where floats are so sparse that they are many, each row
    // finds its runs of offsets again. Either way a row costs what it reaches, and the dot's
    // visits are the pixels of its rows.
    bool wide_dot(float x, float y) {
        const int64_t n = pen_.n;
        work_.left -= 1;
        // Every offset (i, 0) and (0, j) is inside the pen, so the dot is clipped exactly when
        // one of its four extreme offsets (or its centre) falls outside.
        const float last = static_cast<float>(n - 1);
        const int64_t cx = R::pixel(x), cy = R::pixel(y);
        const bool clipped = !b_.inside(cx, cy) || R::pixel(x + last) > b_.c1 || R::pixel(x - last) < b_.c0 ||
                             R::pixel(y + last) > b_.r1 || R::pixel(y - last) < b_.r0;
        if (full_) return clipped;
        x_ = x;
        const bool segments =
            right_.template build<R>(x, +1, n, b_.c0, b_.c1) && left_.template build<R>(x, -1, n, b_.c0, b_.c1);
        // The offsets whose rows lie in the image, below the centre and above it.
        int64_t first[2], final[2];
        offsets_inside<R>(y, n, +1, b_.r0, b_.r1, &first[0], &final[0]);
        offsets_inside<R>(y, n, -1, b_.r0, b_.r1, &first[1], &final[1]);
        int64_t most;
        if (segments) {
            if (right_.empty() && left_.empty()) {
                plot_point(x, y);
                return clipped;
            }
            // Offsets beyond the last one that reaches the image make no difference to a row.
            most = std::max(right_.last_offset(), left_.last_offset());
            if (fold(y, cx, cy, most, first, final)) return clipped;
            plot_point(x, y);
        } else {
            flush();
            plot_point(x, y);
            offsets_inside<R>(x, n, +1, b_.c0, b_.c1, &right_first_, &right_last_);
            offsets_inside<R>(x, n, -1, b_.c0, b_.c1, &left_first_, &left_last_);
            most = std::max(right_last_, left_last_);
            if (most < 0) return clipped;
        }
        int64_t full_rows = 0;
        for (int k = 0; k < 2; ++k) {
            each_run<R>(y, k == 0 ? +1 : -1, first[k], final[k], [&](int64_t row, int64_t a, int64_t b) {
                // Binary pixels only need the widest row of the run; colour counts every offset,
                // those with the same width together.
                for (int64_t j = a; j <= b && !exhausted();) {
                    const int64_t w = pen_.widest(j, most);
                    int64_t end = j;
                    if constexpr (!binary) end = last_of_width(j, b, w, most);
                    else end = b;
                    const int64_t reached = row_spans(row, w, segments, static_cast<uint64_t>(end - j + 1));
                    work_.left -= std::max<int64_t>(reached, 1);
                    if (binary && whole_row(reached, cx)) ++full_rows;
                    j = end + 1;
                }
                return !exhausted();
            });
        }
        if (binary && whole_column(full_rows, cy)) full_ = true;
        return clipped;
    }
    // Folds a dot whose every row reaches all the columns its sides reach into the effect kept
    // (see Effect); false when it is not such a dot, or memory runs out (it is then drawn).
    bool fold(float y, int64_t cx, int64_t cy, int64_t most, const int64_t first[2], const int64_t last[2]) {
        const int64_t deepest = std::max(first[0] <= last[0] ? last[0] : -1, first[1] <= last[1] ? last[1] : -1);
        if (deepest < 0 || pen_.widest(deepest, most) < most) { // some row is narrower: drawn as it is
            flush();
            return false;
        }
        Effect &e = next_;
        e.columns.clear(), e.rows.clear();
        e.centre = b_.inside(cx, cy), e.centre_column = cx, e.centre_row = cy;
        int64_t reached = 0;
        bool ok = true;
        const auto column = [&](int64_t c0, int64_t c1, int64_t times) {
            reached += c1 - c0 + 1;
            ok = ok && add_range(e.columns, c0, c1, binary ? 1 : clamp_count(static_cast<uint64_t>(times)));
        };
        right_.spans(most, column);
        left_.spans(most, column);
        int64_t rows = 0;
        for (int k = 0; k < 2 && ok; ++k)
            each_run<R>(
                y, k == 0 ? +1 : -1, first[k], last[k],
                [&](int64_t row, int64_t a, int64_t b) {
                    ++rows;
                    return ok = add_range(e.rows, row, row, binary ? 1 : clamp_count(static_cast<uint64_t>(b - a + 1)));
                },
                [&](int64_t row, int64_t a, int64_t b) {
                    const int64_t end = row + (k == 0 ? 1 : -1) * (b - a);
                    rows += b - a + 1;
                    return ok = add_range(e.rows, std::min(row, end), std::max(row, end), 1);
                });
        if (!ok) {
            flush();
            return false;
        }
        e.visits = rows * std::max<int64_t>(reached, 1);
        work_.left -= e.visits;
        if (kept_.repeat > 0 && kept_.same_as(e)) {
            ++kept_.repeat;
            return true;
        }
        flush();
        kept_.swap(e);
        kept_.repeat = 1;
        // In binary, an effect that sets every pixel leaves later dots nothing to change.
        if (binary && whole_row(reached, cx) && whole_column(rows, cy)) full_ = true;
        return true;
    }
    // Draws the kept effect as many times as dots had it.
    void flush() {
        if (kept_.repeat == 0) return;
        const uint64_t k = clamp_count(kept_.repeat);
        for (const Effect::Range &r : kept_.rows) {
            const uint64_t along = clamp_count(r.times * k);
            for (int64_t row = r.from; row <= r.to; ++row)
                for (const Effect::Range &c : kept_.columns) span(row, c.from, c.to, c.times * along);
        }
        if (kept_.centre) span(kept_.centre_row, kept_.centre_column, kept_.centre_column, k);
        kept_.repeat = 0;
    }
    // Whether columns counted on both sides of a dot centred on column cx (or rows counted in both
    // directions from row cy) are every column (row) of the image. The centre's column and row
    // lie on both sides: reached twice, counted once.
    bool whole_row(int64_t columns, int64_t cx) const {
        return columns - (cx >= b_.c0 && cx <= b_.c1 ? 1 : 0) == b_.c1 - b_.c0 + 1;
    }
    bool whole_column(int64_t rows, int64_t cy) const {
        return rows - (cy >= b_.r0 && cy <= b_.r1 ? 1 : 0) == b_.r1 - b_.r0 + 1;
    }
    // The last offset in [j, b] whose row is as wide as w (rows narrow as offsets grow).
    int64_t last_of_width(int64_t j, int64_t b, int64_t w, int64_t most) const {
        int64_t lo = j, hi = b;
        while (lo < hi) {
            const int64_t m = lo + (hi - lo + 1) / 2;
            if (pen_.widest(m, most) == w) lo = m;
            else hi = m - 1;
        }
        return lo;
    }
    // Plots the columns that offsets 0..w reach on one row, k times each offset; returns how many
    // columns that is on each side together.
    int64_t row_spans(int64_t row, int64_t w, bool segments, uint64_t k) {
        int64_t reached = 0;
        const auto emit = [&](int64_t c0, int64_t c1, uint64_t times) {
            reached += c1 - c0 + 1;
            span(row, c0, c1, times);
        };
        if (segments) {
            const auto f = [&](int64_t c0, int64_t c1, int64_t times) {
                emit(c0, c1, clamp_count(clamp_count(static_cast<uint64_t>(times)) * clamp_count(k)));
            };
            right_.spans(w, f);
            left_.spans(w, f);
            return reached;
        }
        // Run by run, pixels next to one another with the same count joined into one span.
        for (const auto &[dir, first, last] :
             {std::tuple{+1, right_first_, right_last_}, {-1, left_first_, left_last_}}) {
            int64_t from = 0, to = -1;
            uint64_t times = 0;
            each_run<R>(x_, dir, first, std::min(last, w), [&](int64_t p, int64_t a, int64_t b) {
                const uint64_t t =
                    binary ? 1 : clamp_count(clamp_count(static_cast<uint64_t>(b - a + 1)) * clamp_count(k));
                if (to >= from && t == times && (p == to + 1 || p == from - 1)) {
                    from = std::min(from, p), to = std::max(to, p);
                } else {
                    if (to >= from) emit(from, to, times);
                    from = to = p, times = t;
                }
                return true;
            });
            if (to >= from) emit(from, to, times);
        }
        return reached;
    }
    bool plot_point(float x, float y) {
        const int64_t c = R::pixel(x), r = R::pixel(y);
        if (!b_.inside(c, r)) return true;
        if (counting_ && counts_.holds(r, c, c)) counts_.add(r, c, c, 1);
        else t_.plot(c, r);
        return false;
    }
    void span(int64_t row, int64_t from, int64_t to, uint64_t k) {
        const uint64_t kk = clamp_count(k);
        if (counting_ && counts_.holds(row, from, to)) counts_.add(row, from, to, kk);
        else t_.plot_span(row, from, to, kk);
    }

    T t_;
    Bounds b_;
    Pen pen_;
    Allowance &work_;
    bool counting_ = false, full_ = false;
    Counts counts_;
    Side right_, left_;
    Effect kept_, next_;
    float x_ = 0;
    int64_t right_first_ = 0, right_last_ = -1, left_first_ = 0, left_last_ = -1;
};

// ---------------------------------------------------------------------------------------------
// Walks

// Floats in their numeric order as unsigned integers (NaN excluded).
uint32_t order_of(float v) {
    uint32_t u;
    std::memcpy(&u, &v, sizeof u);
    return u & 0x80000000u ? ~u : u | 0x80000000u;
}
float float_of(uint32_t k) {
    const uint32_t u = k & 0x80000000u ? k & 0x7fffffffu : ~k;
    float v;
    std::memcpy(&v, &u, sizeof v);
    return v;
}

// The smallest float in [a, b] at which the monotone predicate holds, or NaN if none does.
template <class P> float first_where(float a, float b, P pred) {
    if (!pred(b)) return std::numeric_limits<float>::quiet_NaN();
    uint32_t lo = order_of(a), hi = order_of(b);
    while (lo < hi) {
        const uint32_t m = lo + (hi - lo) / 2;
        if (pred(float_of(m))) hi = m;
        else lo = m + 1;
    }
    return float_of(lo);
}

// The value of t after the fewest steps t = t + step (in single precision) that reach target,
// or the value at which t stops advancing, for a step that is a power of two (the line walks).
// Where the floats near t are no coarser than the step the additions are exact, so runs of steps
// are taken in one jump.
float advance(float t, float step, float target) {
    while (t < target) {
        const float next = t + step;
        if (next == t) return t;
        int e = 0;
        std::frexp(t, &e);
        const double grid = t == 0 ? step : std::ldexp(1.0, e - 24); // spacing of floats near t
        const double limit = std::ldexp(grid, 24);                   // exactly representable below this
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

// The same for an angle walk: t >= 0 and any step. Within one binade of t every addition
// rounds the step to the same multiple of the float spacing there (unless it lies exactly half
// way, where rounding to even alternates), so the walk moves by a constant increment until it
// leaves the binade.
float advance_angle(float t, float step, float target) {
    while (t < target) {
        const float next = t + step;
        if (next == t) return t;
        if (t >= std::numeric_limits<float>::min()) {
            int e = 0;
            std::frexp(t, &e);
            const double grid = std::ldexp(1.0, e - 24), top = std::ldexp(1.0, e);
            const double q = static_cast<double>(step) / grid, whole = std::floor(q);
            if (q - whole != 0.5) {
                const double d = (q - whole < 0.5 ? whole : whole + 1) * grid;
                const double room = std::ceil((top - t) / d) - 1; // steps that stay below top
                const double k = std::min(std::ceil((static_cast<double>(target) - t) / d), room);
                if (k >= 2) {
                    t = static_cast<float>(static_cast<double>(t) + k * d);
                    continue;
                }
            }
        }
        t = next;
    }
    return t;
}

Drawn never_finished(const char *what, float at) {
    fail(Err::limit, "%s's walk stops advancing at %g, where its dots still reach the image: it can never be finished",
         what, static_cast<double>(at));
    return drawn_failed;
}

template <class T> Drawn point(Painter<T> &p, float x, float y) {
    const bool clipped = p.dot(x, y);
    if (p.exhausted()) return p.too_costly();
    p.finish();
    return clipped ? drawn_clipped : drawn_inside;
}

// Dots of the pen along the longer axis, step by step from the lower end. Steps whose dot
// cannot reach the image (along either axis) are skipped in bulk; they are clipped.
template <class T> Drawn line(Painter<T> &p, float x1, float y1, float x2, float y2) {
    const float dx = x2 - x1, dy = y2 - y1;
    if (dx == 0 && dy == 0) return point(p, x1, y1);
    const bool x_major = std::fabs(dx) > std::fabs(dy);
    float m;
    if (x_major) {
        m = dy / dx;
        if (x1 > x2) fswap(&x1, &x2), fswap(&y1, &y2);
    } else {
        m = dx / dy;
        if (y1 > y2) fswap(&x1, &x2), fswap(&y1, &y2);
    }
    const float from = x_major ? x1 : y1, to = x_major ? x2 : y2, base = x_major ? y1 : x1;
    const Bounds &b = p.bounds();
    // How far from its centre a dot can set a pixel along each axis: the pen's offsets, plus the
    // spacing of the floats they are added to (where floats are sparse, x + i rounds by up to
    // half of it), twice over for safety.
    const double pen_reach = p.pen().reach();
    const auto reach_near = [&](int64_t first, int64_t last) {
        const double edge = std::max(std::fabs(static_cast<double>(first)), std::fabs(static_cast<double>(last)));
        return pen_reach + 2 * spacing(std::min(edge + pen_reach, 3.4e38));
    };
    const double reach = x_major ? reach_near(b.c0, b.c1) : reach_near(b.r0, b.r1);
    const double side_reach = x_major ? reach_near(b.r0, b.r1) : reach_near(b.c0, b.c1);
    const double lo = static_cast<double>(x_major ? b.c0 : b.r0) - reach;
    const double hi = static_cast<double>(x_major ? b.c1 : b.r1) + reach;
    const double side_lo = static_cast<double>(x_major ? b.r0 : b.c0) - side_reach;
    const double side_hi = static_cast<double>(x_major ? b.r1 : b.c1) + side_reach;
    const auto across = [&](float pos) { return (pos - from) * m + base; };
    const bool rising = !(m < 0);
    // The dots reach the image across the walk only between entering and leaving the band.
    const auto entered = [&](float pos) {
        const float v = across(pos);
        return rising ? v >= side_lo : v <= side_hi;
    };
    const auto left_band = [&](float pos) {
        const float v = across(pos);
        return !(v >= side_lo && v <= side_hi) && entered(pos);
    };
    const auto near = [&](float pos) { return pos >= lo && pos <= hi && entered(pos) && !left_band(pos); };
    if (!(from <= to)) return drawn_inside; // no step at all (a NaN end point)
    float pos = from;
    Drawn drawn = drawn_inside;
    const double hi_clamped = std::min(hi, 3.4e38), lo_clamped = std::max(lo, -3.4e38);
    const float start = first_where(pos, to, entered);
    if (!(start == start)) return drawn_clipped; // never enters the band: every dot is outside
    const float target = std::max(start, static_cast<float>(lo_clamped));
    if (pos < target) {
        pos = advance(pos, T::step, target);
        drawn = drawn_clipped;
    }
    // A walk that stops advancing would draw the same dot for ever: harmless where that dot
    // cannot reach the image (the rest is outside), impossible to finish where it can.
    float last = std::min(to, static_cast<float>(hi_clamped));
    if (static_cast<double>(last) < std::min(static_cast<double>(to), hi_clamped)) last = std::nextafter(last, to);
    const float stuck = advance(pos, T::step, last);
    if (stuck <= last && stuck + T::step == stuck && near(stuck) &&
        (x_major ? p.reaches(stuck, across(stuck)) : p.reaches(across(stuck), stuck)))
        return never_finished("a line", stuck);
    // The steps left, counted where the walk and the band across it both allow, against the
    // element's budget before any is drawn.
    const double along =
        (std::min(static_cast<double>(to), hi_clamped) - std::max(static_cast<double>(pos), lo_clamped)) / T::step + 1;
    const double band = m == 0 ? along : (side_hi - side_lo) / (std::fabs(static_cast<double>(m)) * T::step) + 2;
    const double steps = std::max(0.0, std::min(along, band));
    if (!p.affords(steps)) return p.too_costly(); // each dot visits a pixel at least
    p.plan(x_major ? from - reach : std::min(x1, x2) - side_reach, x_major ? to + reach : std::max(x1, x2) + side_reach,
           x_major ? std::min(y1, y2) - side_reach : from - reach, x_major ? std::max(y1, y2) + side_reach : to + reach,
           steps);
    while (pos <= to) {
        if (pos > hi || left_band(pos)) {
            drawn = drawn_clipped;
            break;
        }
        if (x_major ? p.dot(pos, across(pos)) : p.dot(across(pos), pos)) drawn = drawn_clipped;
        if (p.exhausted()) return p.too_costly();
        if (p.full() && drawn == drawn_clipped) break; // nothing left to change
        const float next = pos + T::step;
        if (next == pos) { // stopped where no dot reaches the image (checked above)
            drawn = drawn_clipped;
            break;
        }
        pos = next;
    }
    p.finish();
    return drawn;
}

template <class T> Drawn ellipse(Painter<T> &p, float cx, float cy, float rx, float ry) {
    const float R = std::fabs(rx > ry ? rx : ry);
    const double steps = quarter_turn / std::atan2(1.0, static_cast<double>(R)) + 1;
    const int64_t n =
        steps < static_cast<double>(most_ellipse_steps) ? static_cast<int64_t>(steps) : most_ellipse_steps;
    const float step = quarter_turn / static_cast<float>(n);
    // A centre or semi-axis that is not finite puts every dot at an infinite or undefined place.
    if (!std::isfinite(cx) || !std::isfinite(cy) || !std::isfinite(rx) || !std::isfinite(ry)) return drawn_clipped;
    const Bounds &b = p.bounds();
    const double reach = p.pen().reach();
    const double x0 = static_cast<double>(b.c0) - reach, x1 = static_cast<double>(b.c1) + reach;
    const double y0 = static_cast<double>(b.r0) - reach, y1 = static_cast<double>(b.r1) + reach;
    // How far a computed dot centre may lie from the true curve, and how fast the curve moves.
    const double error =
        std::ldexp(std::fabs(double{cx}) + std::fabs(double{rx}) + std::fabs(double{cy}) + std::fabs(double{ry}), -21) +
        2.0;
    // The same for angles up to t: cos(t) * rx is at most |rx|, sin(t) * ry at most |ry| * t.
    const auto error_until = [&](double t) {
        return std::ldexp(std::fabs(double{cx}) + std::fabs(double{rx}) + std::fabs(double{cy}) +
                              std::fabs(double{ry}) * std::min(1.0, t),
                          -21) +
               2.0;
    };
    const double speed = std::max(std::fabs(double{rx}), std::fabs(double{ry}));
    const auto distance = [&](float x, float y) {
        return std::max(std::max(x0 - x, double{x} - x1), std::max(y0 - y, double{y} - y1));
    };
    const double arx = std::fabs(double{rx}), ary = std::fabs(double{ry});
    // Where every dot lies within reach of the image none can be skipped: each costs at least a
    // dot's units, so an ellipse whose steps alone exceed the budget fails before drawing.
    const bool all_near = cx - arx - 2 * error >= x0 && cx + arx + 2 * error <= x1 && cy - ary - 2 * error >= y0 &&
                          cy + ary + 2 * error <= y1;
    if (all_near && !p.affords(4.0 * static_cast<double>(n - 1))) return p.too_costly();
    p.plan(cx - arx - reach, cx + arx + reach, cy - ary - reach, cy + ary + reach,
           4.0 * std::min(static_cast<double>(n), 2.0 * (x1 - x0 + y1 - y0) + 4));
    bool clipped = false;
    for (float theta = 0; theta < quarter_turn;) {
        const auto dx = static_cast<float>(std::cos(static_cast<double>(theta)) * rx);
        const auto dy = static_cast<float>(std::sin(static_cast<double>(theta)) * ry);
        const float xs[] = {cx + dx, cx + dx, cx - dx, cx - dx}, ys[] = {cy + dy, cy - dy, cy + dy, cy - dy};
        double nearest = std::numeric_limits<double>::infinity();
        for (int k = 0; k < 4; ++k) {
            clipped |= p.dot(xs[k], ys[k]);
            nearest = std::min(nearest, distance(xs[k], ys[k]));
        }
        if (p.exhausted()) return p.too_costly();
        if (p.full() && clipped) break; // nothing left to change
        float next = theta + step;
        if (next == theta) { // the same four dots for ever: only harmless where none can reach
            for (int k = 0; k < 4; ++k)
                if (p.reaches(xs[k], ys[k])) return never_finished("an ellipse", theta);
            clipped = true;
            break;
        }
        // Every dot is far: skip the steps that cannot come near. The bound on a dot's error holds
        // for the whole turn; near the start of a flat ellipse (a semi-axis of 1e30 along y) the
        // dots lie close to the centre, with errors as small as their own coordinates, so a bound
        // for the angles up to twice this one lets the walk leave in doubling jumps.
        double reach_limit = quarter_turn, room = nearest - 2 * error;
        if (!(room > 0)) {
            reach_limit = std::min(2.0 * static_cast<double>(theta) + 4.0 * static_cast<double>(step), reach_limit);
            room = nearest - 2 * error_until(reach_limit);
        }
        if (room > 0) {
            const double target = std::min(static_cast<double>(theta) + room / speed * (1 - 1e-6), reach_limit);
            auto t = static_cast<float>(target);
            if (static_cast<double>(t) > target) t = std::nextafter(t, 0.0f);
            next = advance_angle(next, step, t);
        }
        theta = next;
    }
    p.finish();
    return clipped ? drawn_clipped : drawn_inside;
}

Painter<BinaryTarget> binary_painter(BinaryImageStruct *im, float size, Allowance &work) {
    return Painter<BinaryTarget>(BinaryTarget{im}, im->header, size, work);
}
Painter<ColorTarget> color_painter(RGBImageStruct *im, GrayImageStruct *count, RGB color, float size, Allowance &work) {
    return Painter<ColorTarget>(ColorTarget{im, count, Mixer(color), this_thread<PlotBatch>()}, im->header, size, work);
}

} // namespace

int64_t fround(float v) { return ColorRounding::pixel(v); }

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
    rgb_to_hsv(unit_of[old.r], unit_of[old.g], unit_of[old.b], &ho, &so, &vo);
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

// Four mixes of one colour into four pixels at once: four lanes of vectors where the processor
// has them (the same bytes as mix(), lane by lane), else one by one.
void mix4(const RGB old[4], const int32_t n[4], const Hsv &added, RGB out[4]) {
#if TESSERA_SIMD_X86
    if (tessera::detail::simd::sse2()) {
        float r[4], g[4], b[4];
        for (int i = 0; i < 4; ++i) r[i] = unit_of[old[i].r], g[i] = unit_of[old[i].g], b[i] = unit_of[old[i].b];
        uint8_t bytes[16];
        const int odd = tessera::detail::simd::x86::mix4(r, g, b, n, added.h, added.s, added.v, bytes);
        for (int i = 0; i < 4; ++i)
            out[i] = odd >> i & 1 ? mix(old[i], n[i], added) : RGB{bytes[i], bytes[4 + i], bytes[8 + i]};
        return;
    }
#endif
    for (int i = 0; i < 4; ++i) out[i] = mix(old[i], n[i], added);
}

} // namespace

RGB combine(RGB old, int32_t n, RGB color) { return n == 0 ? color : mix(old, n, hsv_of(color)); }

bool plot_color_point_1(RGBImageStruct *im, GrayImageStruct *count, float x, float y, RGB color) {
    const int64_t c = fround(x), r = fround(y);
    if (!Bounds(im->header).inside(c, r)) return true;
    Mixer(color).plot(im->data[r][c], count->data[r][c]);
    return false;
}

bool plot_binary_point_1(BinaryImageStruct *im, float x, float y) {
    const int64_t c = BinaryRounding::pixel(x), r = BinaryRounding::pixel(y);
    if (!Bounds(im->header).inside(c, r)) return true;
    im->data[r][c] = 1;
    return false;
}

Drawn plot_color_point(RGBImageStruct *im, GrayImageStruct *count, float x, float y, float size, RGB color,
                       Allowance &work) {
    auto p = color_painter(im, count, color, size, work);
    return point(p, x, y);
}

Drawn plot_binary_point(BinaryImageStruct *im, float x, float y, float size, Allowance &work) {
    auto p = binary_painter(im, size, work);
    return point(p, x, y);
}

Drawn plot_color_line(RGBImageStruct *im, GrayImageStruct *count, float x1, float y1, float x2, float y2, float width,
                      RGB color, Allowance &work) {
    auto p = color_painter(im, count, color, width, work);
    return line(p, x1, y1, x2, y2);
}

Drawn plot_binary_line(BinaryImageStruct *im, float x1, float y1, float x2, float y2, float width, Allowance &work) {
    auto p = binary_painter(im, width, work);
    return line(p, x1, y1, x2, y2);
}

Drawn plot_color_ellipse(RGBImageStruct *im, GrayImageStruct *count, float cx, float cy, float rx, float ry,
                         float width, RGB color, Allowance &work) {
    auto p = color_painter(im, count, color, width, work);
    return ellipse(p, cx, cy, rx, ry);
}

Drawn plot_binary_ellipse(BinaryImageStruct *im, float cx, float cy, float rx, float ry, float width, Allowance &work) {
    auto p = binary_painter(im, width, work);
    return ellipse(p, cx, cy, rx, ry);
}

Drawn do_color_fill(RGBImageStruct *, GrayImageStruct *, float, float, RGB) { return drawn_inside; }

Allowance Allowance::of_budget() {
    const int64_t most = work_allowed(budget());
    return Allowance{most, most};
}

// ---------------------------------------------------------------------------------------------
// Binary flood fill

namespace {

// A run still to fill: the clear pixels c .. end - 1 of row r, found while filling the span
// [left, right] of row from (which is therefore all set and need not be scanned again from r).
// The scan that found the run knows where it ends when it saw a set pixel or the image's edge
// (ended), and that it starts at c when it saw a set pixel before it (started).
struct Seed {
    int64_t c, r, from, left, right, end;
    bool started, ended;
};

// A stack that grows as needed: the seeds still to visit, and the spans already filled.
template <class Item> class Stack {
  public:
    explicit Stack(const char *what) : what_(what) {}
    Stack(const Stack &) = delete;
    Stack &operator=(const Stack &) = delete;
    ~Stack() { mem_free(items_); }
    bool push(const Item &s) {
        if (size_ == capacity_ && !grow()) return false;
        items_[size_++] = s;
        return true;
    }
    bool pop(Item *s) {
        if (size_ == 0) return false;
        *s = items_[--size_];
        return true;
    }

  private:
    bool grow() {
        const std::size_t capacity = capacity_ ? capacity_ * 2 : 256;
        auto *items = static_cast<Item *>(mem_alloc(capacity * sizeof(Item)));
        if (!items) return fail_memory(capacity * sizeof(Item), what_), false;
        if (size_) std::memcpy(items, items_, size_ * sizeof(Item));
        mem_free(items_);
        items_ = items;
        capacity_ = capacity;
        return true;
    }
    const char *what_;
    Item *items_ = nullptr;
    std::size_t size_ = 0, capacity_ = 0;
};

struct Span {
    int64_t r, left, right;
};
using SeedStack = Stack<Seed>;
using SpanLog = Stack<Span>;

// Scans of a binary row for the next set or clear pixel: 64 and then 16 pixels a test where the
// processor has vectors, else a word at a time. A word holds a zero byte when
// (v - 0x01..) & ~v & 0x80.. is not 0, and a non-zero byte when it is not 0 itself.
constexpr uint64_t ones = 0x0101010101010101ULL, highs = 0x8080808080808080ULL;
bool has_zero_byte(uint64_t v) { return ((v - ones) & ~v & highs) != 0; }
uint64_t word_at(const int8_t *row, int64_t c) {
    uint64_t w;
    std::memcpy(&w, row + c, 8);
    return w;
}

// The first column in [c, last] whose pixel is set, or last + 1.
int64_t next_set(const int8_t *row, int64_t c, int64_t last) {
#if TESSERA_SIMD_X86
    if (tessera::detail::simd::sse2()) {
        namespace x86 = tessera::detail::simd::x86;
        while (c + 63 <= last && !x86::any_set64(row + c)) c += 64;
        for (; c + 15 <= last; c += 16)
            if (const int m = x86::zero_mask16(row + c); m != 0xffff) return c + __builtin_ctz(~m & 0xffff);
    } else
#endif
    {
        while (c + 7 <= last && word_at(row, c) == 0) c += 8;
    }
    while (c <= last && !row[c]) ++c;
    return c;
}

// The first column in [c, last] whose pixel is clear, or last + 1.
int64_t next_clear(const int8_t *row, int64_t c, int64_t last) {
#if TESSERA_SIMD_X86
    if (tessera::detail::simd::sse2()) {
        namespace x86 = tessera::detail::simd::x86;
        while (c + 63 <= last && !x86::any_clear64(row + c)) c += 64;
        for (; c + 15 <= last; c += 16)
            if (const int m = x86::zero_mask16(row + c); m != 0) return c + __builtin_ctz(m);
    } else
#endif
    {
        while (c + 7 <= last && !has_zero_byte(word_at(row, c))) c += 8;
    }
    while (c <= last && row[c]) ++c;
    return c;
}

// The last column in [first, c] whose pixel is set, or first - 1.
int64_t prev_set(const int8_t *row, int64_t c, int64_t first) {
#if TESSERA_SIMD_X86
    if (tessera::detail::simd::sse2()) {
        namespace x86 = tessera::detail::simd::x86;
        while (c - 63 >= first && !x86::any_set64(row + c - 63)) c -= 64;
        for (; c - 15 >= first; c -= 16)
            if (const int m = x86::zero_mask16(row + c - 15); m != 0xffff)
                return c - 15 + (31 - __builtin_clz(~m & 0xffff));
    } else
#endif
    {
        while (c - 7 >= first && word_at(row, c - 7) == 0) c -= 8;
    }
    while (c >= first && !row[c]) --c;
    return c;
}

// Pushes a seed for each run of clear pixels of row nr within [from, to]; false when the stack
// cannot grow.
bool seed_runs(const int8_t *row, int64_t nr, int64_t from, int64_t to, const Seed &parent, const Bounds &b,
               SeedStack &seeds) {
    for (int64_t x = next_clear(row, from, to); x <= to; x = next_clear(row, x, to)) {
        const int64_t end = next_set(row, x, to);
        if (!seeds.push(
                Seed{x, nr, parent.r, parent.left, parent.right, end, x > from || x == b.c0, end <= to || to == b.c1}))
            return false;
        x = end + 1;
    }
    return true;
}

// Sets the 4-connected run of clear pixels containing (c, r), and every clear pixel connected
// to it, scanning a row at a time. False when the seed stack cannot grow.
bool flood(BinaryImageStruct *im, const Bounds &b, int64_t c, int64_t r, SeedStack &seeds, SpanLog &filled_spans) {
    if (!seeds.push(Seed{c, r, b.r0 - 2, 0, -1, c, false, false})) return false; // no parent row
    Seed s;
    while (seeds.pop(&s)) {
        int8_t *row = im->data[s.r];
        // A run filled since it was found has its first pixel set; otherwise it is unchanged.
        if (row[s.c]) continue;
        const int64_t left = s.started ? s.c : prev_set(row, s.c, b.c0) + 1;
        const int64_t right = s.ended ? s.end - 1 : next_set(row, s.end, b.c1) - 1;
        if (!filled_spans.push(Span{s.r, left, right})) return false;
        std::memset(row + left, 1, static_cast<std::size_t>(right - left + 1));
        const Seed filled{s.c, s.r, 0, left, right, 0, false, false};
        for (int64_t nr : {s.r - 1, s.r + 1}) {
            if (nr < b.r0 || nr > b.r1) continue;
            const int8_t *next = im->data[nr];
            if (nr != s.from) {
                if (!seed_runs(next, nr, left, right, filled, b, seeds)) return false;
                continue;
            }
            // The span this seed was found from is all set: scan only what lies beside it.
            if (!seed_runs(next, nr, left, std::min(right, s.left - 1), filled, b, seeds) ||
                !seed_runs(next, nr, std::max(left, s.right + 1), right, filled, b, seeds))
                return false;
        }
    }
    return true;
}

} // namespace

Drawn do_binary_fill(BinaryImageStruct *im, float x, float y) {
    const Bounds b(im->header);
    const int64_t c = fround(x), r = fround(y);
    if (!b.inside(c, r)) return drawn_clipped;
    const int8_t seed_was = im->data[r][c];
    im->data[r][c] = 1;
    // The seed is set even when it already was, and every clear neighbour's region is filled:
    // a seed on an outline fills both sides that touch it.
    SeedStack seeds("a fill's seeds");
    SpanLog filled("a fill's spans");
    const int64_t nc[] = {c - 1, c + 1, c, c}, nr[] = {r, r, r - 1, r + 1};
    for (int k = 0; k < 4; ++k) {
        if (!b.inside(nc[k], nr[k]) || im->data[nr[k]][nc[k]] || flood(im, b, nc[k], nr[k], seeds, filled)) continue;
        // Out of memory: every span set so far was clear, so clearing them again (and putting
        // the seed back) leaves the image as it was.
        Span s;
        while (filled.pop(&s)) std::memset(im->data[s.r] + s.left, 0, static_cast<std::size_t>(s.right - s.left + 1));
        im->data[r][c] = seed_was;
        return drawn_failed;
    }
    return drawn_inside;
}

} // namespace tessera::detail
